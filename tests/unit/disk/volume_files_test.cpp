#include "disk/volume_files.h"
#include "tests/support/fakes.h"

#include <gtest/gtest.h>

using namespace ferrolatch;
using namespace ferrolatch::testing;

namespace {

const std::string root = "/Volumes/PRIVATE";
const std::string marker = root + "/.ferrolatch-proof";
const std::string legacy = root + "/FERROLATCH-USB-PROOF.txt";
const std::string markerText = "Ferrolatch passkey unwrap proof\n";
constexpr std::uint32_t hidden = 0x8000;
constexpr std::uint32_t immutable = 0x2;

void expectProtectedMarker(MemoryFiles& files)
{
    ASSERT_TRUE(files.exists(marker));
    const auto& entry = files.entries.at(marker);
    EXPECT_EQ(entry.contents, markerText);
    EXPECT_EQ(entry.mode, 0444u);
    EXPECT_EQ(entry.flags, hidden | immutable);
}

}

TEST(ProtectHiddenFile, HidesThenMakesReadOnlyThenImmutable)
{
    MemoryFiles files;
    files.put("/v/ferrolatch.json", "{}");
    protectHiddenFile(files, "/v/ferrolatch.json");
    EXPECT_EQ(files.operations, (std::vector<std::string> {"setFlags /v/ferrolatch.json 32768",
                                                           "setMode /v/ferrolatch.json 292",
                                                           "setFlags /v/ferrolatch.json 2"}));
}

TEST(ProtectHiddenFile, AFailingStepStopsTheLaterOnes)
{
    for (const char* failing : {"setFlags", "setMode"}) {
        SCOPED_TRACE(failing);
        MemoryFiles files;
        files.put("/v/f", "x");
        files.failOperation(failing);
        EXPECT_THROW(protectHiddenFile(files, "/v/f"), PlatformError);
        EXPECT_EQ(files.entries.at("/v/f").flags & immutable, 0u);
    }
    MemoryFiles files;
    files.put("/v/f", "x");
    files.failOperation("setFlags", 2); // the immutable step
    try {
        protectHiddenFile(files, "/v/f");
        ADD_FAILURE() << "no error";
    } catch (const PlatformError& failure) {
        EXPECT_EQ(failure.code(), EIO); // the platform's error, unchanged
    }
    EXPECT_EQ(files.entries.at("/v/f").mode, 0444u);
}

TEST(ProofMarker, CorrectMarkerIsLeftAloneAndNothingIsLogged)
{
    MemoryFiles files;
    files.put(marker, markerText, 0444, hidden | immutable);
    RecordingLog log;
    ensureProofMarker(files, log, root);
    EXPECT_EQ(files.mutations, 0);
    EXPECT_TRUE(log.lines.empty());
}

TEST(ProofMarker, RewritesAWrongOrMissingMarkerAndRemovesTheLegacyOne)
{
    struct Case {
        const char* name;
        std::optional<std::string> markerContents;
        bool legacyPresent;
        bool logsRewriting;
    };
    const Case cases[] = {
        {"marker without its final line feed", "Ferrolatch passkey unwrap proof", false, true},
        {"marker with other text", "something else\n", false, true},
        {"correct marker beside a legacy file", markerText, true, true},
        {"no marker at all", std::nullopt, false, false},
        {"only the legacy file", std::nullopt, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryFiles files;
        if (c.markerContents)
            files.put(marker, *c.markerContents, 0444, hidden | immutable); // immutable: must be cleared first
        if (c.legacyPresent)
            files.put(legacy, "FERROLATCH USB PROOF\n");
        RecordingLog log;
        ensureProofMarker(files, log, root);

        expectProtectedMarker(files);
        EXPECT_FALSE(files.exists(legacy));
        std::vector<std::string> expectedLog;
        if (c.logsRewriting)
            expectedLog.push_back("Ferrolatch is rewriting the proof marker on /Volumes/PRIVATE");
        EXPECT_EQ(log.lines, expectedLog);
    }
}

TEST(ProofMarker, ALinkNamedLikeTheMarkerIsReplacedWithoutTouchingItsTarget)
{
    MemoryFiles files;
    files.putLink(marker);
    RecordingLog log;
    ensureProofMarker(files, log, root);
    expectProtectedMarker(files);
    for (const std::string& operation : files.operations)
        EXPECT_EQ(operation.rfind("setMode " + marker + " 420", 0), std::string::npos) << operation;
}

TEST(ProofMarker, FailuresAreLoggedAndSwallowed)
{
    struct Case {
        const char* name;
        std::function<void(MemoryFiles&)> prepare;
        std::string expectedLine;
    };
    const Case cases[] = {
        {"read-only volume",
         [](MemoryFiles& files) { files.makeReadOnly(root); },
         "Ferrolatch could not restore the hidden proof marker on /Volumes/PRIVATE: writeFileAtomically "
         "/Volumes/PRIVATE/.ferrolatch-proof: Read-only file system"},
        {"protection step fails",
         [](MemoryFiles& files) { files.failOperation("setMode"); },
         "Ferrolatch could not restore the hidden proof marker on /Volumes/PRIVATE: setMode "
         "/Volumes/PRIVATE/.ferrolatch-proof: Input/output error"},
        {"legacy file cannot be removed",
         [](MemoryFiles& files) { files.put(legacy, "old", 0444, immutable); },
         "Ferrolatch could not restore the hidden proof marker on /Volumes/PRIVATE: "
         "/Volumes/PRIVATE/FERROLATCH-USB-PROOF.txt: Operation not permitted"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryFiles files;
        c.prepare(files);
        RecordingLog log;
        EXPECT_NO_THROW(ensureProofMarker(files, log, root));
        ASSERT_FALSE(log.lines.empty());
        EXPECT_EQ(log.lines.back(), c.expectedLine);
    }
}

TEST(ProofMarker, StopsAtTheFailingStep)
{
    // An old marker that cannot be deleted: nothing is written over it.
    MemoryFiles files;
    files.put(marker, "stale\n", 0444, hidden | immutable);
    files.put(legacy, "old");
    files.failOperation("removeFile");
    RecordingLog log;
    ensureProofMarker(files, log, root);
    EXPECT_EQ(files.entries.at(marker).contents, "stale\n");
    EXPECT_TRUE(files.exists(legacy));
    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_EQ(log.lines[0], "Ferrolatch is rewriting the proof marker on /Volumes/PRIVATE");
    EXPECT_EQ(log.lines[1].rfind("Ferrolatch could not restore the hidden proof marker on /Volumes/PRIVATE: ", 0), 0u);
}

TEST(VolumeIcon, SetsTheBundledIconOnce)
{
    MemoryFiles files;
    files.putDirectory(root);
    FakePaths paths;
    FakeWorkspace workspace;
    RecordingLog log;
    setVolumeIcon(files, paths, workspace, log, root);
    EXPECT_EQ(workspace.loaded,
              (std::vector<std::string> {"/Applications/Ferrolatch.app/Contents/Resources/FerrolatchVolumeIconMetal.icns"}));
    EXPECT_EQ(workspace.iconsSet, (std::vector<std::string> {root + " <- icns-bytes"}));
    EXPECT_EQ(log.lines, (std::vector<std::string> {"Ferrolatch set the Finder icon for /Volumes/PRIVATE"}));

    // A volume that already has an icon keeps it, silently.
    files.put(root + "/.VolumeIcon.icns", "theirs");
    FakeWorkspace untouched;
    RecordingLog quiet;
    setVolumeIcon(files, paths, untouched, quiet, root);
    EXPECT_TRUE(untouched.loaded.empty());
    EXPECT_TRUE(untouched.iconsSet.empty());
    EXPECT_TRUE(quiet.lines.empty());
}

TEST(VolumeIcon, ReportsEveryReasonItCouldNotSetTheIcon)
{
    struct Case {
        const char* name;
        std::function<void(MemoryFiles&, FakePaths&, FakeWorkspace&)> prepare;
        std::string line;
        bool asksWorkspace; // only a loaded image reaches the workspace
    };
    const std::string unavailable = "Ferrolatch volume icon unavailable for /Volumes/PRIVATE";
    const std::string couldNotSet = "Ferrolatch could not set the Finder icon for /Volumes/PRIVATE";
    const Case cases[] = {
        {"read-only volume", [](MemoryFiles& files, FakePaths&, FakeWorkspace&) { files.makeReadOnly(root); },
         unavailable, false},
        {"mount point cannot be examined",
         [](MemoryFiles& files, FakePaths&, FakeWorkspace&) { files.failOperation("exists"); }, unavailable, false},
        {"resource missing from the bundle", [](MemoryFiles&, FakePaths& paths, FakeWorkspace&) { paths.hasIcon = false; },
         unavailable, false},
        {"resource is not an image",
         [](MemoryFiles&, FakePaths&, FakeWorkspace& workspace) { workspace.imageLoads = false; }, unavailable, false},
        {"loading the image throws",
         [](MemoryFiles&, FakePaths&, FakeWorkspace& workspace) { workspace.loadThrows = true; }, unavailable, false},
        {"workspace refuses",
         [](MemoryFiles&, FakePaths&, FakeWorkspace& workspace) { workspace.setIconSucceeds = false; }, couldNotSet,
         true},
        {"workspace throws", [](MemoryFiles&, FakePaths&, FakeWorkspace& workspace) { workspace.setThrows = true; },
         couldNotSet, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryFiles files;
        files.putDirectory(root);
        FakePaths paths;
        FakeWorkspace workspace;
        c.prepare(files, paths, workspace);
        RecordingLog log;
        EXPECT_NO_THROW(setVolumeIcon(files, paths, workspace, log, root));
        EXPECT_EQ(log.lines, (std::vector<std::string> {c.line}));
        EXPECT_EQ(workspace.iconsSet.size(), c.asksWorkspace ? 1u : 0u);
    }
}
