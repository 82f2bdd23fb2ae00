#include "platform/headless/scripted_ui.h"

#include "common/errors.h"
#include "common/json_bounds.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fstream>
#include <functional>
#include <sstream>

namespace ferrolatch {

namespace {

using nlohmann::json;

const char* styleName(AlertStyle style)
{
    switch (style) {
    case AlertStyle::Warning: return "warning";
    case AlertStyle::Informational: return "informational";
    case AlertStyle::Critical: return "critical";
    }
    return "warning";
}

json describeSize(const Size& size) { return {{"width", size.width}, {"height", size.height}}; }

json describeFont(const Font& font)
{
    static const char* weights[] = {"regular", "medium", "semibold", "bold"};
    return {{"family", font.family == Font::Family::System ? "system" : "monospacedSystem"},
            {"pointSize", font.pointSize},
            {"weight", weights[static_cast<int>(font.weight)]}};
}

json describeControl(const TextField& field)
{
    return {{"kind", "textField"}, {"text", field.text}, {"placeholder", field.placeholder},
            {"size", describeSize(field.size)}, {"firstResponder", field.initialFirstResponder}};
}

json describeControl(const SecureTextField& field)
{
    return {{"kind", "secureTextField"}, {"size", describeSize(field.size)},
            {"firstResponder", field.initialFirstResponder}};
}

json describeControl(const PopUpButton& popUp)
{
    return {{"kind", "popUpButton"}, {"items", popUp.items}, {"selectedIndex", popUp.selectedIndex},
            {"size", describeSize(popUp.size)}, {"pullsDown", popUp.pullsDown}};
}

json describeControl(const WrappingLabel& label)
{
    // The text may be a recovery key: only its shape is recorded.
    return {{"kind", "wrappingLabel"}, {"textBytes", label.text.size()}, {"font", describeFont(label.font)},
            {"size", describeSize(label.size)}, {"maximumNumberOfLines", label.maximumNumberOfLines}};
}

json describeControl(const ScrollingRichText& rich)
{
    static const char* colors[] = {"label", "link", "systemGreen"};
    json runs = json::array();
    // The whole text and where its links lie, in bytes of the UTF-8 text.
    std::string text;
    json links = json::array();
    for (const TextRun& run : rich.runs) {
        if (!run.link.empty())
            links.push_back({{"start", text.size()}, {"length", run.text.size()}, {"url", run.link}});
        text += run.text;
    }
    for (const TextRun& run : rich.runs) {
        json item = {{"text", run.text}, {"color", colors[static_cast<int>(run.color)]}};
        if (run.font)
            item["font"] = describeFont(*run.font);
        if (!run.link.empty())
            item["link"] = run.link;
        if (run.underlined)
            item["underlined"] = true;
        runs.push_back(std::move(item));
    }
    return {{"kind", "scrollingRichText"}, {"text", text}, {"links", links}, {"runs", runs},
            {"baseFont", describeFont(rich.baseFont)}, {"size", describeSize(rich.size)}};
}

json describeControl(const Grid& grid)
{
    json rows = json::array();
    for (const GridRow& row : grid.rows)
        rows.push_back({{"label", row.label}, {"control", std::visit([](const auto& c) { return describeControl(c); }, row.control)}});
    return {{"kind", "grid"}, {"rows", rows}, {"rowSpacing", grid.rowSpacing}, {"columnSpacing", grid.columnSpacing},
            {"size", describeSize(grid.size)}};
}

json describeAlert(const Alert& alert)
{
    json buttons = json::array();
    for (const AlertButton& button : alert.buttons)
        buttons.push_back({{"title", button.title}, {"destructive", button.destructive}});
    json line = {{"kind", "alert"},
                 {"style", styleName(alert.style)},
                 {"message", alert.messageText},
                 {"informative", alert.informativeText},
                 {"buttons", buttons},
                 {"excludedFromCapture", alert.excludedFromCapture}};
    line["accessory"] = alert.accessory ? std::visit([](const auto& c) { return describeControl(c); }, *alert.accessory)
                                        : json(nullptr);
    line["topLeft"] = alert.topLeft ? json {{"x", alert.topLeft->x}, {"y", alert.topLeft->y}} : json(nullptr);
    if (!alert.iconPath.empty())
        line["icon"] = alert.iconPath;
    return line;
}

// The accessory's controls the script can fill in, in the order shown.
struct Controls {
    std::vector<std::variant<TextField*, SecureTextField*>> fields;
    std::vector<PopUpButton*> popUps;
    const WrappingLabel* label = nullptr;

    void add(TextField& field) { fields.emplace_back(&field); }
    void add(SecureTextField& field) { fields.emplace_back(&field); }
    void add(PopUpButton& popUp) { popUps.push_back(&popUp); }
    void add(WrappingLabel& wrapping) { label = &wrapping; }
    void add(ScrollingRichText&) {}
    void add(Grid& grid)
    {
        for (GridRow& row : grid.rows)
            std::visit([this](auto& control) { add(control); }, row.control);
    }
};

Controls controlsOf(Alert& alert)
{
    Controls controls;
    if (alert.accessory)
        std::visit([&](auto& control) { controls.add(control); }, *alert.accessory);
    return controls;
}

bool isContinuationByte(std::uint8_t byte) { return (byte & 0xC0) == 0x80; }

// The part of a previous label a script asked for, never held as a string.
SecretBytes takeFromLabel(const SecretBytes& label, const ScriptedField& field, const std::string& message)
{
    std::span<const std::uint8_t> text = label.bytes();
    std::size_t start = 0;
    for (std::size_t paragraph = 0; paragraph < field.paragraph; ++paragraph) {
        std::size_t index = start;
        while (index + 1 < text.size() && !(text[index] == '\n' && text[index + 1] == '\n'))
            ++index;
        if (index + 1 >= text.size())
            throw ProofError("the UI script asked for label paragraph " + std::to_string(field.paragraph)
                             + " before alert \"" + message + "\", but the previous alert's label has fewer");
        start = index + 2;
    }
    std::size_t end = start;
    while (end < text.size() && !(text[end] == '\n' && end + 1 < text.size() && text[end + 1] == '\n'))
        ++end;

    SecretBytes picked(end - start);
    std::size_t size = 0;
    for (std::size_t index = start; index < end; ++index) {
        if (field.withoutSpaces && text[index] == ' ')
            continue;
        picked.data()[size++] = text[index];
    }
    std::size_t from = 0;
    if (field.last) {
        std::size_t characters = 0;
        from = size;
        while (from > 0 && characters < *field.last) {
            --from;
            if (!isContinuationByte(picked.data()[from]))
                ++characters;
        }
    }
    return SecretBytes::copyOf(std::span<const std::uint8_t>(picked.data() + from, size - from));
}

// Fills the text fields as a script asked and returns what the transcript
// shows of them: plain text as typed, secure fields only by their length.
json typeIntoFields(const std::vector<ScriptedField>& fields, Controls& controls, const SecretBytes& previousLabel,
                    const std::string& message, const std::function<void(const std::string&)>& refuse)
{
    json typed = json::array();
    for (std::size_t index = 0; index < fields.size(); ++index) {
        const ScriptedField& field = fields[index];
        if (field.kind == ScriptedField::Kind::Keep) {
            typed.push_back(nullptr);
            continue;
        }
        if (field.kind == ScriptedField::Kind::FromPreviousLabel && previousLabel.empty())
            refuse("the UI script copies from the previous alert's label, but none came before alert \"" + message
                   + "\"");
        SecretBytes value = field.kind == ScriptedField::Kind::Text ? SecretBytes::copyOf(field.text)
                                                                    : takeFromLabel(previousLabel, field, message);
        if (auto* plain = std::get_if<TextField*>(&controls.fields[index])) {
            (*plain)->text.assign(reinterpret_cast<const char*>(value.data()), value.size());
            typed.push_back((*plain)->text);
        } else {
            SecureTextField& secure = *std::get<SecureTextField*>(controls.fields[index]);
            secure.text = std::move(value);
            typed.push_back({{"secureBytes", secure.text.size()}});
        }
    }
    return typed;
}

}

ScriptedUi::ScriptedUi(std::vector<ScriptedAnswer> script, std::string transcriptPath,
                       std::unique_ptr<AnswerCursor> sharedCursor)
    : m_script(std::move(script)), m_sharedCursor(std::move(sharedCursor)), m_transcriptPath(std::move(transcriptPath))
{
}

void ScriptedUi::record(const std::string& jsonLine)
{
    if (m_transcriptPath.empty())
        return;
    std::ofstream stream(m_transcriptPath, std::ios::app | std::ios::binary);
    stream << jsonLine << '\n';
    stream.flush();
    if (!stream)
        throw PlatformError::fromErrno(errno ? errno : EIO, "cannot write the UI transcript " + m_transcriptPath);
}

void ScriptedUi::prepareApplication() { record(json {{"kind", "prepareApplication"}}.dump()); }

void ScriptedUi::activate() { record(json {{"kind", "activate"}}.dump()); }

void ScriptedUi::beep() { record(json {{"kind", "beep"}}.dump()); }

Size ScriptedUi::layoutSize(const Alert& alert)
{
    // A deterministic stand-in for the Mac's layout, roughly its proportions.
    Size accessory;
    if (alert.accessory) {
        accessory = std::visit([](const auto& control) { return control.size; }, *alert.accessory);
    }
    double width = std::max(420.0, accessory.width + 140.0);
    double lines = std::ceil(static_cast<double>(alert.informativeText.size()) / 60.0);
    double height = 150.0 + 16.0 * lines + accessory.height + (accessory.height > 0 ? 16.0 : 0.0);
    return {width, height};
}

long ScriptedUi::runModal(Alert& alert)
{
    json line = describeAlert(alert);
    SecretBytes previousLabel = std::move(m_previousLabel);
    Controls controls = controlsOf(alert);
    if (controls.label)
        m_previousLabel = controls.label->text.clone();

    auto refuse = [&](const std::string& message) {
        line["answer"] = nullptr;
        line["error"] = message;
        record(line.dump());
        throw ProofError(message);
    };

    std::size_t taken = m_sharedCursor ? m_sharedCursor->take() : m_next++;
    if (taken >= m_script.size())
        refuse("unexpected alert \"" + alert.messageText + "\": the UI script has no answers left");
    const ScriptedAnswer& answer = m_script[taken];
    if (!alert.messageText.starts_with(answer.expect))
        refuse("unexpected alert \"" + alert.messageText + "\": the UI script expected one beginning \""
               + answer.expect + "\"");

    long response = alertAbortedResponse;
    if (answer.button) {
        auto found = std::find_if(alert.buttons.begin(), alert.buttons.end(),
                                  [&](const AlertButton& button) { return button.title == *answer.button; });
        if (found == alert.buttons.end())
            refuse("the UI script pressed \"" + *answer.button + "\", which alert \"" + alert.messageText
                   + "\" does not have");
        response = alertFirstButtonReturn + (found - alert.buttons.begin());
    }
    if (answer.fields.size() > controls.fields.size())
        refuse("the UI script types into " + std::to_string(answer.fields.size()) + " fields, but alert \""
               + alert.messageText + "\" has " + std::to_string(controls.fields.size()));
    if (answer.select.size() > controls.popUps.size())
        refuse("the UI script selects in " + std::to_string(answer.select.size()) + " pop-up buttons, but alert \""
               + alert.messageText + "\" has " + std::to_string(controls.popUps.size()));

    json typed = typeIntoFields(answer.fields, controls, previousLabel, alert.messageText, refuse);
    for (std::size_t index = 0; index < answer.select.size(); ++index) {
        PopUpButton& popUp = *controls.popUps[index];
        if (answer.select[index] >= popUp.items.size())
            refuse("the UI script selects item " + std::to_string(answer.select[index]) + " of a pop-up button with "
                   + std::to_string(popUp.items.size()) + " items on alert \"" + alert.messageText + "\"");
        popUp.selectedIndex = answer.select[index];
    }

    line["answer"] = {{"button", answer.button ? json(*answer.button) : json(nullptr)},
                      {"response", response},
                      {"fields", typed},
                      {"select", answer.select}};
    record(line.dump());
    return response;
}

namespace {

class HeadlessWindow final : public Window {
public:
    HeadlessWindow(ScriptedUi& ui, WindowDescription description) : m_ui(ui), m_description(std::move(description)) {}
    void makeKeyAndOrderFront() override { report(true); }
    void orderOut() override { report(false); }

private:
    void report(bool visible)
    {
        m_ui.record(json {{"kind", "window"},
                          {"title", m_description.title},
                          {"size", describeSize(m_description.contentSize)},
                          {"visible", visible}}
                        .dump());
    }

    ScriptedUi& m_ui;
    WindowDescription m_description;
};

}

std::unique_ptr<Window> ScriptedUi::createWindow(const WindowDescription& description)
{
    return std::make_unique<HeadlessWindow>(*this, description);
}

std::string uiScriptText(const std::string& setting)
{
    std::size_t first = setting.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && (setting[first] == '[' || setting[first] == '{'))
        return setting;
    std::ifstream stream(setting, std::ios::binary);
    if (!stream)
        throw PlatformError::fromErrno(errno ? errno : ENOENT, "cannot read the UI script " + setting);
    // One byte past the bound is enough for the parser to refuse it.
    std::string contents(outsideJSONByteLimit + 1, '\0');
    stream.read(contents.data(), static_cast<std::streamsize>(contents.size()));
    contents.resize(static_cast<std::size_t>(stream.gcount()));
    return contents;
}

}
