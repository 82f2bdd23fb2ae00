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

TEST(CommandLine, UsageNamesTheArgumentsAndPlacesFollowersAfterTheirCommand)
{
    const Command table[] = {
        {"first", {{"IMAGE", ArgumentKind::File}, {"NAME", ArgumentKind::Text}}},
        {"second", {}},
        {"third", {}, Interface::None, nullptr, "first"},
        {"stray", {}, Interface::None, nullptr, "no-such-command"},
    };
    EXPECT_EQ(usageText(table), "usage:\n"
                                "  ferrolatch-proof first IMAGE NAME\n"
                                "  ferrolatch-proof third\n"
                                "  ferrolatch-proof second\n"
                                "  ferrolatch-proof stray\n");
}

TEST(CommandLine, RelativePathWithoutAWorkingDirectoryIsAnErrorNotAGuess)
{
    std::vector<std::string> relative {"p", "lock-drive", "m.json"};
    Invocation invocation = parseCommandLine(relative, "");
    EXPECT_EQ(invocation.kind, Invocation::Kind::Command);
    EXPECT_EQ(invocation.argumentError,
              "cannot resolve the relative path m.json because the current directory cannot be determined");

    std::vector<std::string> absolute {"p", "lock-drive", "/a/./m.json"};
    Invocation fine = parseCommandLine(absolute, "");
    EXPECT_TRUE(fine.argumentError.empty());
    EXPECT_EQ(fine.arguments[0].value, "/a/m.json");

    std::vector<std::string> text {"p", "inspect-drive", "disk4"};
    EXPECT_TRUE(parseCommandLine(text, "").argumentError.empty());
}
