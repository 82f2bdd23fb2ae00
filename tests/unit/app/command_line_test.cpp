#include "app/command_line.h"

#include <gtest/gtest.h>

using namespace ferrolatch;

TEST(PathNormalisation, ResolvesAgainstTheWorkingDirectoryLexically)
{
    struct Case {
        const char* path;
        const char* workingDirectory;
        const char* expected;
    };
    const Case cases[] = {
        {"x/../m.json", "/Users/a/work", "/Users/a/work/m.json"},
        {"/tmp/./d/../m.json", "/Users/a/work", "/tmp/m.json"},
        {"m.json", "/", "/m.json"},
        {"../../../../m.json", "/Users/a", "/m.json"},
        {"a//b/", "/w", "/w/a/b"},
        {".", "/w/x", "/w/x"},
        {"", "/w", "/w"},
        {"/", "/w", "/"},
        {"link/../f", "/w", "/w/f"}, // lexical: a symbolic link named link is not followed
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(normalizedAbsolutePath(c.path, c.workingDirectory), c.expected);
    }
}

TEST(CommandLine, MatchesWordAndCountExactly)
{
    auto parse = [](std::vector<std::string> words) { return parseCommandLine(words, "/w"); };
    EXPECT_EQ(parse({"ferrolatch-proof"}).kind, Invocation::Kind::Agent);
    EXPECT_EQ(parse({}).kind, Invocation::Kind::Usage);
    EXPECT_EQ(parse({"p", "lock-drive"}).kind, Invocation::Kind::Usage);
    EXPECT_EQ(parse({"p", "Lock-drive", "m"}).kind, Invocation::Kind::Usage);
    EXPECT_EQ(parse({"p", "self-test", "x"}).kind, Invocation::Kind::Usage);

    Invocation selfTest = parse({"p", "self-test"});
    ASSERT_EQ(selfTest.kind, Invocation::Kind::Command);
    EXPECT_EQ(selfTest.command->word, "self-test");
    EXPECT_TRUE(selfTest.arguments.empty());
}

TEST(CommandLine, ConvertsPathArgumentsAndPassesTextUnchanged)
{
    std::vector<std::string> words {"p", "init-drive", "disk4", "ERASE-disk4-x", "My ../Data", "sub/../m.json"};
    Invocation invocation = parseCommandLine(words, "/Users/a");
    ASSERT_EQ(invocation.kind, Invocation::Kind::Command);
    ASSERT_EQ(invocation.arguments.size(), 4u);
    EXPECT_EQ(invocation.arguments[0].value, "disk4");
    EXPECT_EQ(invocation.arguments[2].value, "My ../Data");
    EXPECT_EQ(invocation.arguments[3].value, "/Users/a/m.json");
    EXPECT_EQ(invocation.arguments[3].kind, ArgumentKind::File);

    std::vector<std::string> restore {"p", "restore-drive", "m.json", "backup/", "r.sha256"};
    Invocation restoreInvocation = parseCommandLine(restore, "/w");
    ASSERT_EQ(restoreInvocation.kind, Invocation::Kind::Command);
    EXPECT_EQ(restoreInvocation.arguments[1].value, "/w/backup");
    EXPECT_EQ(restoreInvocation.arguments[1].kind, ArgumentKind::Directory);
    EXPECT_EQ(restoreInvocation.arguments[2].kind, ArgumentKind::File);
}

TEST(CommandLine, TableHoldsTheTwentyEightCommandsWithTheirCounts)
{
    // argc per command word, including the program name.
    const std::pair<const char*, std::size_t> expected[] = {
        {"enroll", 4}, {"unlock", 4}, {"native-enroll", 4}, {"native-unlock", 4}, {"native-enroll-bundle", 7},
        {"native-unlock-bundle", 4}, {"native-mount-bundle", 4}, {"setup-drive", 2}, {"init-drive", 6},
        {"native-unlock-volume", 3}, {"mount-drive", 3}, {"lock-drive", 3}, {"restore-drive", 5},
        {"native-share-recovery", 3}, {"native-copy-recovery", 3}, {"native-offline-recovery", 3},
        {"native-passwords-recovery", 3}, {"enroll-volume", 6}, {"unlock-volume", 3}, {"store-recovery", 3},
        {"share-recovery", 3}, {"copy-recovery", 3}, {"inspect-drive", 3}, {"agent-enable", 2},
        {"agent-disable", 2}, {"agent-status", 2}, {"about", 2}, {"self-test", 2},
    };
    auto table = commandTable();
    ASSERT_EQ(table.size(), std::size(expected));
    for (std::size_t index = 0; index < table.size(); ++index) {
        SCOPED_TRACE(expected[index].first);
        EXPECT_EQ(table[index].word, expected[index].first);
        EXPECT_EQ(table[index].arguments.size() + 2, expected[index].second);
    }
}
