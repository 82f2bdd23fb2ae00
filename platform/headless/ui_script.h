#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolatch {

// What to type into one text field of an alert.
struct ScriptedField {
    enum class Kind {
        Keep,             // null: leave the field as it is
        Text,             // a string: type it
        FromPreviousLabel // an object: copy part of the previous alert's label
    } kind = Kind::Keep;
    std::string text;
    // FromPreviousLabel: the paragraph (blocks split at blank lines, counted from
    // 0), with its spaces removed when withoutSpaces, and only its last `last`
    // characters when `last` is given. This is how a script confirms a code
    // that the previous alert showed without the code being in the script.
    std::size_t paragraph = 0;
    bool withoutSpaces = false;
    std::optional<std::size_t> last;
};

// One answer of an automation script: it answers the next alert shown.
struct ScriptedAnswer {
    std::string expect;                // a prefix of the alert's message text
    std::optional<std::string> button; // the title to press; absent with dismiss
    bool dismiss = false;              // close the alert without a button
    std::vector<ScriptedField> fields; // the accessory's text fields, in order
    std::vector<std::size_t> select;   // the accessory's pop-up buttons, in order
};

// Parses a script: a JSON array of objects with "expect", and "button" or
// "dismiss": true, and optionally "fields" and "select" (a number or an array
// of numbers). Anything else fails with a ProofError naming the entry.
std::vector<ScriptedAnswer> parseUiScript(std::string_view json);

}
