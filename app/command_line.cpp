#include "app/command_line.h"

#include "common/path_text.h"

#include <vector>

namespace ferrolatch {

std::string usageText()
{
    std::string text = "usage:\n";
    for (std::string_view line : {
             "enroll IMAGE MANIFEST",
             "unlock IMAGE MANIFEST",
             "native-enroll IMAGE MANIFEST",
             "native-unlock IMAGE MANIFEST",
             "native-enroll-bundle CREDENTIAL_MANIFEST BUNDLE MANIFEST SIZE VOLUME_NAME",
             "native-unlock-bundle BUNDLE MANIFEST",
             "native-mount-bundle BUNDLE MANIFEST",
             "setup-drive",
             "init-drive WHOLE_DISK CONFIRMATION_TOKEN DATA_NAME MANIFEST",
             "native-unlock-volume MANIFEST",
             "mount-drive MANIFEST",
             "lock-drive MANIFEST",
             "restore-drive MANIFEST SOURCE_DIR SHA256_RECEIPT",
             "native-share-recovery MANIFEST",
             "native-copy-recovery MANIFEST",
             "native-passwords-recovery MANIFEST",
             "native-offline-recovery MANIFEST",
             "enroll-volume CONTAINER NAME CREDENTIAL_MANIFEST VOLUME_MANIFEST",
             "unlock-volume VOLUME_MANIFEST",
             "store-recovery VOLUME_MANIFEST",
             "share-recovery VOLUME_MANIFEST",
             "copy-recovery VOLUME_MANIFEST",
             "inspect-drive WHOLE_DISK",
             "agent-enable",
             "agent-disable",
             "agent-status",
             "about",
             "self-test",
         }) {
        text += "  ferrolatch-proof ";
        text += line;
        text += '\n';
    }
    return text;
}

std::string normalizedAbsolutePath(std::string_view path, std::string_view workingDirectory)
{
    std::string joined;
    if (path.empty() || path.front() != '/') {
        joined = workingDirectory;
        joined += '/';
    }
    joined += path;
    return lexicallyNormalizedPath(joined);
}

Invocation parseCommandLine(std::span<const std::string> words, std::string_view workingDirectory)
{
    if (words.size() == 1)
        return {Invocation::Kind::Agent, nullptr, {}, {}};
    if (words.size() < 2)
        return {};

    for (const Command& command : commandTable()) {
        if (command.word != words[1])
            continue;
        if (words.size() != command.arguments.size() + 2)
            return {};
        Invocation invocation {Invocation::Kind::Command, &command, {}, {}};
        for (std::size_t index = 0; index < command.arguments.size(); ++index) {
            ArgumentKind kind = command.arguments[index];
            const std::string& word = words[index + 2];
            if (kind != ArgumentKind::Text && workingDirectory.empty() && !word.starts_with('/')
                && invocation.argumentError.empty())
                invocation.argumentError = "cannot resolve the relative path " + word
                    + " because the current directory cannot be determined";
            invocation.arguments.push_back(
                {kind == ArgumentKind::Text ? word : normalizedAbsolutePath(word, workingDirectory), kind});
        }
        return invocation;
    }
    return {};
}

}
