#include "platform/headless/ui_script.h"

#include "common/errors.h"
#include "common/json_bounds.h"

#include <nlohmann/json.hpp>

namespace ferrolatch {

namespace {

using nlohmann::json;

[[noreturn]] void fail(std::size_t index, const std::string& problem)
{
    throw ProofError("UI script entry " + std::to_string(index + 1) + " " + problem);
}

std::size_t indexValue(const json& value, std::size_t entry, const char* what)
{
    if (!value.is_number_unsigned())
        fail(entry, std::string("has a ") + what + " that is not a non-negative integer");
    return value.get<std::size_t>();
}

ScriptedField parseField(const json& value, std::size_t entry)
{
    ScriptedField field;
    if (value.is_null())
        return field;
    if (value.is_string()) {
        field.kind = ScriptedField::Kind::Text;
        field.text = value.get<std::string>();
        return field;
    }
    if (!value.is_object() || !value.contains("fromPreviousLabel") || value.size() != 1)
        fail(entry, "has a field that is neither null, a string nor {\"fromPreviousLabel\": {...}}");
    const json& source = value["fromPreviousLabel"];
    if (!source.is_object())
        fail(entry, "has a fromPreviousLabel that is not an object");
    field.kind = ScriptedField::Kind::FromPreviousLabel;
    for (const auto& [key, item] : source.items()) {
        if (key == "paragraph")
            field.paragraph = indexValue(item, entry, "paragraph");
        else if (key == "last")
            field.last = indexValue(item, entry, "last");
        else if (key == "withoutSpaces" && item.is_boolean())
            field.withoutSpaces = item.get<bool>();
        else
            fail(entry, "has an unknown or mistyped fromPreviousLabel key \"" + key + "\"");
    }
    return field;
}

ScriptedAnswer parseAnswer(const json& value, std::size_t entry)
{
    if (!value.is_object())
        fail(entry, "is not an object");
    ScriptedAnswer answer;
    bool hasExpect = false;
    for (const auto& [key, item] : value.items()) {
        if (key == "expect" && item.is_string()) {
            answer.expect = item.get<std::string>();
            hasExpect = true;
        } else if (key == "button" && item.is_string()) {
            answer.button = item.get<std::string>();
        } else if (key == "dismiss" && item.is_boolean()) {
            answer.dismiss = item.get<bool>();
        } else if (key == "fields" && item.is_array()) {
            for (const json& field : item)
                answer.fields.push_back(parseField(field, entry));
        } else if (key == "select" && item.is_array()) {
            for (const json& index : item)
                answer.select.push_back(indexValue(index, entry, "select index"));
        } else if (key == "select") {
            answer.select.push_back(indexValue(item, entry, "select index"));
        } else {
            fail(entry, "has an unknown or mistyped key \"" + key + "\"");
        }
    }
    if (!hasExpect)
        fail(entry, "has no \"expect\"");
    if (answer.button.has_value() == answer.dismiss)
        fail(entry, "needs exactly one of \"button\" and \"dismiss\": true");
    return answer;
}

json parseBounded(std::string_view text)
{
    if (text.size() > outsideJSONByteLimit)
        throw ProofError("UI script is larger than 64 KiB");
    if (jsonNestsDeeperThan(text, outsideJSONDepthLimit))
        throw ProofError("UI script is nested more than 32 levels deep");
    return json::parse(text.begin(), text.end(), nullptr, false);
}

std::vector<ScriptedAnswer> parseAnswers(const json& document)
{
    if (document.is_discarded() || !document.is_array())
        throw ProofError("UI script is not a JSON array of alert answers");
    std::vector<ScriptedAnswer> answers;
    for (std::size_t index = 0; index < document.size(); ++index)
        answers.push_back(parseAnswer(document[index], index));
    return answers;
}

}

std::vector<ScriptedAnswer> parseUiScript(std::string_view text)
{
    return parseAnswers(parseBounded(text));
}

UiScript parseUiScriptSetting(std::string_view text)
{
    json document = parseBounded(text);
    if (!document.is_object())
        return {parseAnswers(document), false};
    if (document.size() != 2 || !document.contains("answers") || !document.contains("acrossProcesses")
        || !document["acrossProcesses"].is_boolean())
        throw ProofError("UI script object needs exactly \"acrossProcesses\": true or false and \"answers\"");
    return {parseAnswers(document["answers"]), document["acrossProcesses"].get<bool>()};
}

}
