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

// A script setting: its answers, and whether every process of the Mac that
// runs with it takes the answers from one shared sequence. A JSON array is a
// script of one process: each process that reads it starts at its first
// answer. An object {"acrossProcesses": true, "answers": [...]} is one script
// for all the processes of one virtual Mac that run with it (the agent and
// the child instances it starts with `open -n -W`, each of which inherits the
// setting): each alert, in whichever process it shows, takes the next answer
// not yet taken by any of them, under a lock. The place reached is kept in
// the sysroot under the script's SHA-256 (private/var/run/macsim/ui-script/),
// so running the same shared script again on the same Mac goes on where it
// stopped; remove that folder to start over.
struct UiScript {
    std::vector<ScriptedAnswer> answers;
    bool acrossProcesses = false;
};
UiScript parseUiScriptSetting(std::string_view json);

// Parses a script: a JSON array of objects with "expect", and "button" or
// "dismiss": true, and optionally "fields" and "select" (a number or an array
// of numbers). Anything else fails with a ProofError naming the entry.
std::vector<ScriptedAnswer> parseUiScript(std::string_view json);

}
