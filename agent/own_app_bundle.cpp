#include "agent/own_app_bundle.h"

#include "common/errors.h"
#include "common/hex.h"
#include "common/on_failure.h"
#include "common/path_text.h"
#include "common/utf8.h"
#include "crypto/random.h"
#include "disk/system_tools.h"

namespace ferrolatch {

namespace {

constexpr std::string_view programPrefix = "ferrolatch-proof:";
// An error line is one sentence; a longer tail is not worth an alert.
constexpr std::size_t longestErrorLine = 1000;

std::string ownBundle(Paths& paths)
{
    std::string bundle = paths.mainBundle();
    if (!bundle.empty() && bundle.front() == '/')
        bundle = lexicallyNormalizedPath(bundle);
    while (bundle.size() > 1 && bundle.back() == '/')
        bundle.pop_back();
    if (bundle.empty() || bundle.front() != '/' || !bundle.ends_with(".app") || lastPathComponent(bundle) == ".app")
        throw ProofError("Ferrolatch could not locate its signed application bundle");
    return bundle;
}

std::string readIgnoringErrors(Files& files, const std::string& path)
{
    try {
        return files.readFile(path);
    } catch (const std::exception&) {
        return {};
    }
}

}

std::optional<std::string> childErrorLine(std::string_view standardError)
{
    if (!isValidUTF8(standardError))
        return std::nullopt;
    constexpr std::string_view blank = " \t\r\n";
    std::size_t end = standardError.find_last_not_of(blank);
    if (end == std::string_view::npos)
        return std::nullopt;
    std::size_t start = standardError.find_last_of("\r\n", end);
    std::string_view line = standardError.substr(start == std::string_view::npos ? 0 : start + 1,
                                                 end + 1 - (start == std::string_view::npos ? 0 : start + 1));
    line.remove_prefix(std::min(line.find_first_not_of(blank), line.size()));
    if (line.starts_with(programPrefix)) {
        line.remove_prefix(programPrefix.size());
        line.remove_prefix(std::min(line.find_first_not_of(blank), line.size()));
    }
    if (line.empty() || line.size() > longestErrorLine)
        return std::nullopt;
    return std::string(line);
}

void runInOwnAppBundle(ToolRunner& tools, Paths& paths, Files& files, const std::vector<std::string>& arguments)
{
    std::string bundle = ownBundle(paths);
    SecretBytes name = randomBytes(16);
    std::string errors = paths.temporaryDirectory() + "/com.quorvel.ferrolatch.child-" + hexString(name.bytes()) + ".txt";
    auto remove = atScopeExit([&] {
        if (files.exists(errors))
            files.removeFile(errors);
    });
    std::vector<std::string> words {"-n", "-W", "--stderr", errors, bundle, "--args"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    ToolOutcome outcome = tools.launch(tools::open, words, nullptr);
    if (outcome.status != 0)
        if (std::optional<std::string> line = childErrorLine(readIgnoringErrors(files, errors)))
            throw ProofError(*line);
    finishTool(tools::open, std::move(outcome));
}

}
