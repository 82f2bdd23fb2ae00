#pragma once

// A virtual Mac with USB disks, driven through the real ferrolatch-proof
// binary with scripted answers, for the drive command suites.
#include "common/constants.h"
#include "crypto/manifest.h"
#include "crypto/password_wrap.h"
#include "crypto/base64url.h"
#include "platform/macsim/passkey_store.h"
#include "tests/e2e/e2e_harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>
#include <sys/stat.h>

namespace ferrolatch::e2e::drive {

using nlohmann::json;
namespace fs = std::filesystem;

inline const json enrollAnswer = {{"expect", "Create a passkey for " + std::string(relyingPartyDomain)},
                                  {"button", "Continue"}};
inline const json signInAnswer = {{"expect", "Sign in to " + std::string(relyingPartyDomain)}, {"button", "Continue"}};
inline const json passwordsLater = {{"expect", "Save a manual recovery password"}, {"button", "Later"}};
inline const json cardLater = {{"expect", "Create an offline recovery card?"}, {"button", "Later"}};

// What init-drive asks when every step succeeds and both offers are put off.
// The permission bits of a file.
inline std::uint32_t modeOf(const std::string& path)
{
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
        throw std::runtime_error("no file " + path);
    return status.st_mode & 07777;
}

inline json initScript() { return json::array({enrollAnswer, signInAnswer, passwordsLater, cardLater}); }

inline std::vector<json> jsonLines(const std::string& text)
{
    std::vector<json> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        if (!line.empty())
            lines.push_back(json::parse(line));
    return lines;
}

inline std::string loginName()
{
    const passwd* user = getpwuid(getuid());
    if (user && user->pw_name)
        return user->pw_name;
    const char* name = std::getenv("USER");
    return name ? name : "";
}

struct DriveBench {
    VirtualMac mac;
    std::string work = mac.sysroot() + "/work";
    std::string transcript = mac.sysroot() + "/ui-transcript.jsonl";
    std::string home = mac.sysroot() + "/Users/" + loginName();
    std::string everything; // every run's stdout, stderr and transcript

    explicit DriveBench(const std::vector<std::string>& initArguments = {}) : mac(initArguments)
    {
        // Only the script may answer; no display of the machine running the tests.
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "FERROLATCH_UI_SCRIPT",
                                 "FERROLATCH_UI_TRANSCRIPT"})
            unsetenv(name);
        fs::create_directories(work);
    }

    // The first USB disk becomes disk4, the next one disk5 …
    void addDisk(const std::string& media = "SanDisk Ultra", const std::string& size = "128m")
    {
        mac.macsimOrThrow({"disk", "add", "--media", media, "--size", size, "--bus", "USB"});
    }

    std::string token(const std::string& disk)
    {
        RunResult inspected = mac.ferrolatch({"inspect-drive", disk});
        if (inspected.status != 0)
            throw std::runtime_error("inspect-drive failed: " + inspected.err);
        return json::parse(inspected.out)["confirmationToken"];
    }

    // Runs the product with a fresh transcript.
    RunResult ferrolatch(const std::vector<std::string>& arguments, const json& script = json::array())
    {
        fs::remove(transcript);
        RunResult result =
            mac.ferrolatch(arguments, {{"FERROLATCH_UI_SCRIPT", script.dump()}, {"FERROLATCH_UI_TRANSCRIPT", transcript}});
        everything += result.out + result.err + (fs::exists(transcript) ? readTextFile(transcript) : "");
        return result;
    }

    RunResult initDrive(const std::string& disk, const std::string& manifestPath, const std::string& name = "PRIVATE",
                        const json& script = initScript())
    {
        return ferrolatch({"init-drive", disk, token(disk), name, manifestPath}, script);
    }

    std::vector<json> shown()
    {
        return fs::exists(transcript) ? jsonLines(readTextFile(transcript)) : std::vector<json> {};
    }
    std::vector<std::string> alertMessages()
    {
        std::vector<std::string> messages;
        for (const json& line : shown())
            if (line["kind"] == "alert")
                messages.push_back(line["message"]);
        return messages;
    }

    std::vector<json> audit() { return jsonLines(mac.macsimOrThrow({"audit"})); }
    json state() { return json::parse(mac.macsimOrThrow({"state"})); }

    // The volumes of one container, as the virtual Mac holds them.
    std::vector<json> volumesOf(const std::string& container)
    {
        std::vector<json> found;
        json current = state();
        for (const json& volume : current["volumes"])
            if (volume["container"] == container)
                found.push_back(volume);
        return found;
    }
    std::optional<json> volumeNamed(const std::string& name)
    {
        json current = state();
        for (const json& volume : current["volumes"])
            if (volume["name"] == name && volume["internal"] == false)
                return volume;
        return std::nullopt;
    }

    std::string passkeyStorePath() const { return home + "/Library/Keychains/ferrolatch-platform-passkeys.db"; }
    std::size_t passkeyCount() const
    {
        if (!fs::exists(passkeyStorePath()))
            return 0;
        std::string file = readTextFile(passkeyStorePath());
        return decodePasskeyStore({reinterpret_cast<const std::uint8_t*>(file.data()), file.size()}).size();
    }

    // The volume password, learnt the way only the passkey's owner could: the
    // authenticator's stored secret gives the PRF output that opens the wrap.
    std::string learnPassword(const std::string& manifestPath)
    {
        Manifest manifest = decodeManifest(readTextFile(manifestPath));
        std::string file = readTextFile(passkeyStorePath());
        auto credential = base64URLDecode(manifest.credentialID).value();
        auto salt = base64URLDecode(manifest.prfSalt).value();
        for (const StoredPasskey& passkey :
             decodePasskeyStore({reinterpret_cast<const std::uint8_t*>(file.data()), file.size()})) {
            if (passkey.credentialID != credential)
                continue;
            SecretBytes password = openWrappedPassword(manifest, passkeyPrf(passkey.secret, salt), relyingPartyDomain);
            return std::string(password.bytes().begin(), password.bytes().end());
        }
        throw std::runtime_error("no stored passkey for the manifest's credential");
    }

    // Every regular file of the sysroot whose bytes hold the text.
    std::vector<std::string> sysrootFilesHolding(const std::string& text)
    {
        std::vector<std::string> holding;
        for (const auto& entry : fs::recursive_directory_iterator(mac.sysroot())) {
            if (entry.is_symlink() || !entry.is_regular_file())
                continue;
            if (readTextFile(entry.path().string()).find(text) != std::string::npos)
                holding.push_back(entry.path().string());
        }
        return holding;
    }

    // A USB disk that already holds someone's data: what a refused set-up must leave alone.
    std::string formatWithData(const std::string& disk)
    {
        RunResult erased = mac.tool("/usr/sbin/diskutil", {"eraseDisk", "APFS", "OLDDATA", "GPT", "/dev/" + disk});
        if (erased.status != 0)
            throw std::runtime_error("could not format " + disk + ": " + erased.err);
        std::string file = mac.sysroot() + "/Volumes/OLDDATA/family-photos.txt";
        std::ofstream(file) << "precious";
        return file;
    }

    // The disks, partitions, containers and volumes, without the disks' identity
    // texts that a test may change on purpose.
    json layout()
    {
        json current = state();
        return json {{"partitions", current["partitions"]}, {"containers", current["containers"]},
                     {"volumes", current["volumes"]}};
    }
};

// One fresh virtual Mac per test.
struct DriveMac : ::testing::Test, DriveBench {};

}
