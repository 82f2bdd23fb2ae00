// The About window's texts, styles and buttons, and the update page address.
#include "commands/about_window.h"
#include "platform/platform.h"
#include "tests/support/fakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

using namespace ferrolatch;
using namespace ferrolatch::testing;

namespace {

const AboutConfiguration configuration {"https://ferrolatch.example", "https://www.quorvel.example/about",
                                        "© 2026 QUORVEL"};
const std::string infoPath = "/Applications/Ferrolatch.app/Contents/Info.plist";

std::string infoPlist(const std::string& entries)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + entries
        + "</dict>\n</plist>\n";
}

// Keeps the alert it was shown and answers with one response.
class OneAnswerUi final : public Ui {
public:
    explicit OneAnswerUi(long answer) : m_answer(answer) {}
    void prepareApplication() override { events.push_back("prepare"); }
    void activate() override { events.push_back("activate"); }
    void beep() override {}
    Size layoutSize(const Alert&) override { return {}; }
    long runModal(Alert& alert) override
    {
        events.push_back("run");
        shown = std::move(alert); // alerts are move-only; the caller reads nothing back
        return m_answer;
    }
    void abortModal() override {}
    std::unique_ptr<Window> createWindow(const WindowDescription&) override { return nullptr; }

    std::vector<std::string> events;
    std::optional<Alert> shown;

private:
    long m_answer;
};

struct Bundle {
    MemoryFiles files;
    FakePaths paths;
    FakeWorkspace workspace;
    Bundle(const std::string& entries = "<key>CFBundleShortVersionString</key><string>1.4.2</string>\n"
                                        "<key>CFBundleVersion</key><string>57</string>\n")
    {
        files.put(infoPath, infoPlist(entries));
    }
};

TEST(BundleVersions, FallBackToDevelopment)
{
    struct Case {
        std::string name;
        std::optional<std::string> info;
        std::string version;
        std::string build;
    } cases[] = {
        {"both strings", infoPlist("<key>CFBundleShortVersionString</key><string>1.4.2</string>"
                                   "<key>CFBundleVersion</key><string>57</string>"), "1.4.2", "57"},
        {"no short version", infoPlist("<key>CFBundleVersion</key><string>57</string>"), "development", "57"},
        {"numbers, not strings", infoPlist("<key>CFBundleShortVersionString</key><integer>1</integer>"
                                           "<key>CFBundleVersion</key><real>5.7</real>"), "development", "development"},
        {"no Info.plist", std::nullopt, "development", "development"},
        {"damaged Info.plist", std::string("<plist><dict><key>CFBundleVersion"), "development", "development"},
        {"not a dictionary", std::string("<plist version=\"1.0\"><array/></plist>"), "development", "development"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryFiles files;
        FakePaths paths;
        if (c.info)
            files.put(infoPath, *c.info);
        BundleVersions versions = bundleVersions(files, paths);
        EXPECT_EQ(versions.version, c.version);
        EXPECT_EQ(versions.build, c.build);
    }
}

TEST(AboutBody, OpensWithTheVersionAndNoticeAndHasEveryPart)
{
    std::string body = aboutBodyText({"1.4.2", "57"}, configuration);
    EXPECT_TRUE(body.starts_with("Version 1.4.2 (57) · © 2026 QUORVEL\n\n")) << body.substr(0, 80);
    EXPECT_GT(body.size(), 1800u);
    std::size_t last = 0;
    for (std::string_view heading : aboutHeadings) {
        SCOPED_TRACE(std::string(heading));
        std::size_t at = body.find("\n" + std::string(heading) + "\n");
        ASSERT_NE(at, std::string::npos);
        EXPECT_GT(at, last); // in the fixed order
        last = at;
    }
    std::size_t learnMore = body.find("\nLearn more: ferrolatch.example\nCompany: www.quorvel.example\n");
    ASSERT_NE(learnMore, std::string::npos);
    EXPECT_LT(learnMore, body.find("TECHNICAL OVERVIEW"));
    EXPECT_GT(learnMore, body.find("RECOVERY"));
}

TEST(AboutBody, HostsAreLinksAndHeadingsAreStyledOnceEach)
{
    // The version names the product host first: the link goes on its last occurrence.
    std::string body = aboutBodyText({"1.4.2-ferrolatch.example", "57"}, configuration);
    std::vector<TextRun> runs = styleAboutBody(body, configuration);

    std::string joined;
    for (const TextRun& run : runs)
        joined += run.text;
    EXPECT_EQ(joined, body);

    std::vector<std::string> headingRuns;
    std::vector<std::pair<std::string, std::string>> links;
    std::size_t offset = 0;
    std::size_t productLinkAt = 0;
    for (const TextRun& run : runs) {
        if (run.font) {
            EXPECT_EQ(run.font->family, Font::Family::MonospacedSystem);
            EXPECT_EQ(run.font->pointSize, 11.5);
            EXPECT_EQ(run.font->weight, Font::Weight::Semibold);
            EXPECT_EQ(run.color, TextColor::SystemGreen);
            headingRuns.push_back(run.text);
        }
        if (!run.link.empty()) {
            EXPECT_EQ(run.color, TextColor::Link);
            EXPECT_TRUE(run.underlined);
            links.emplace_back(run.text, run.link);
            if (run.text == "ferrolatch.example")
                productLinkAt = offset;
        }
        offset += run.text.size();
    }
    EXPECT_EQ(headingRuns, (std::vector<std::string> {"WHY FERROLATCH", "WHY THIS WEBSITE EXISTS", "PRIVACY",
                                                       "RECOVERY", "TECHNICAL OVERVIEW"}));
    EXPECT_EQ(links, (std::vector<std::pair<std::string, std::string>> {
                         {"ferrolatch.example", "https://ferrolatch.example"},
                         {"www.quorvel.example", "https://www.quorvel.example/about"}}));
    EXPECT_EQ(productLinkAt, body.rfind("ferrolatch.example"));
}

TEST(AboutBody, AHostThatIsNotFoundStaysPlain)
{
    AboutConfiguration noMakerHost = configuration;
    noMakerHost.makerWebsite = "not a url";
    std::string body = aboutBodyText({"1", "1"}, noMakerHost);
    std::vector<TextRun> runs = styleAboutBody(body, noMakerHost);
    long linkCount = std::count_if(runs.begin(), runs.end(), [](const TextRun& run) { return !run.link.empty(); });
    EXPECT_EQ(linkCount, 1);
}

TEST(UpdatePage, CarriesTheVersionPercentEncoded)
{
    struct Case {
        std::string version;
        std::string url;
    } cases[] = {
        {"1.4.2", "https://ferrolatch.example/updates?version=1.4.2"},
        {"development", "https://ferrolatch.example/updates?version=development"},
        {"2.0 beta+1&x=y#z", "https://ferrolatch.example/updates?version=2.0%20beta%2B1%26x%3Dy%23z"},
        {"1.0~rc_1-é/?", "https://ferrolatch.example/updates?version=1.0~rc_1-%C3%A9%2F%3F"},
        {"", "https://ferrolatch.example/updates?version="},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        EXPECT_EQ(updatePageURL("https://ferrolatch.example", c.version), c.url);
    }
    EXPECT_EQ(updatePageURL("https://", "1"), std::nullopt);
    EXPECT_EQ(updatePageURL("https://ferrolatch.example/", "1"), "https://ferrolatch.example/updates?version=1");
}

TEST(CheckForUpdates, OpensTheUpdatePageForTheInstalledVersion)
{
    Bundle escaped("<key>CFBundleShortVersionString</key><string>3.0 (beta)</string>\n");
    checkForUpdatesInBrowser(escaped.workspace, escaped.files, escaped.paths, configuration);
    EXPECT_EQ(escaped.workspace.openedURLs,
              std::vector<std::string> {"https://ferrolatch.example/updates?version=3.0%20%28beta%29"});

    Bundle missing("");
    checkForUpdatesInBrowser(missing.workspace, missing.files, missing.paths, configuration);
    EXPECT_EQ(missing.workspace.openedURLs,
              std::vector<std::string> {"https://ferrolatch.example/updates?version=development"});
}

TEST(AboutWindow, EachButtonDoesItsOneThing)
{
    struct Case {
        std::string name;
        long response;
        std::vector<std::string> opened;
    } cases[] = {
        {"Done", alertFirstButtonReturn, {}},
        {"Check for Updates…", alertFirstButtonReturn + 1, {"https://ferrolatch.example/updates?version=1.4.2"}},
        {"Ferrolatch Website", alertFirstButtonReturn + 2, {"https://ferrolatch.example"}},
        {"QUORVEL", alertFirstButtonReturn + 3, {"https://www.quorvel.example/about"}},
        {"closed otherwise", alertAbortedResponse, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bundle bundle;
        OneAnswerUi ui(c.response);
        showAboutWindow(ui, bundle.workspace, bundle.files, bundle.paths, configuration);
        EXPECT_EQ(ui.events, (std::vector<std::string> {"activate", "run"}));
        EXPECT_EQ(bundle.workspace.openedURLs, c.opened);
    }
}

TEST(AboutWindow, IsAnInformationalAlertWithTheBodyAndTheVolumeIcon)
{
    Bundle bundle;
    OneAnswerUi ui(alertFirstButtonReturn);
    showAboutWindow(ui, bundle.workspace, bundle.files, bundle.paths, configuration);
    ASSERT_TRUE(ui.shown);
    const Alert& alert = *ui.shown;
    EXPECT_EQ(alert.style, AlertStyle::Informational);
    EXPECT_EQ(alert.messageText, "Ferrolatch");
    EXPECT_EQ(alert.informativeText, "Passkey-unlocked APFS encryption for removable drives.");
    std::vector<std::string> titles;
    for (const AlertButton& button : alert.buttons)
        titles.push_back(button.title);
    EXPECT_EQ(titles, (std::vector<std::string> {"Done", "Check for Updates…", "Ferrolatch Website", "QUORVEL"}));
    EXPECT_EQ(alert.iconPath, "/Applications/Ferrolatch.app/Contents/Resources/FerrolatchVolumeIconMetal.icns");
    const auto* text = std::get_if<ScrollingRichText>(&*alert.accessory);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->size.width, 620);
    EXPECT_EQ(text->size.height, 360);
    EXPECT_EQ(text->textContainerWidth, 600);
    EXPECT_EQ(text->inset.width, 10);
    EXPECT_EQ(text->baseFont.pointSize, 12.5);
    ASSERT_FALSE(text->runs.empty());
    EXPECT_TRUE(text->runs.front().text.starts_with("Version 1.4.2 (57) · © 2026 QUORVEL\n\n"));
}

TEST(AboutWindow, FallsBackToTheApplicationIcon)
{
    struct Case {
        std::string name;
        bool resource;
        bool loads;
        bool throws;
    } cases[] = {{"missing", false, true, false}, {"does not load", true, false, false}, {"read fails", true, true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bundle bundle;
        bundle.paths.hasIcon = c.resource;
        bundle.workspace.imageLoads = c.loads;
        bundle.workspace.loadThrows = c.throws;
        OneAnswerUi ui(alertFirstButtonReturn);
        showAboutWindow(ui, bundle.workspace, bundle.files, bundle.paths, configuration);
        ASSERT_TRUE(ui.shown);
        EXPECT_EQ(ui.shown->iconPath, "");
    }
}

TEST(AboutCommand, PreparesTheApplicationThenShowsTheWindow)
{
    Bundle bundle;
    OneAnswerUi ui(alertFirstButtonReturn + 1);
    FakeToolRunner tools;
    std::ostringstream out;
    RecordingLog log;
    Platform platform {.tools = tools, .out = out, .files = bundle.files, .log = log, .paths = bundle.paths,
                       .workspace = bundle.workspace, .ui = ui};
    aboutCommand(platform, {});
    EXPECT_EQ(ui.events, (std::vector<std::string> {"prepare", "activate", "run"}));
    ASSERT_EQ(bundle.workspace.openedURLs.size(), 1u);
    EXPECT_TRUE(bundle.workspace.openedURLs[0].ends_with("/updates?version=1.4.2"));
    EXPECT_EQ(out.str(), "");
}

TEST(UrlHost, TakesTheHostAlone)
{
    EXPECT_EQ(urlHost("https://quorvel.example"), "quorvel.example");
    EXPECT_EQ(urlHost("https://user@quorvel.example:8443/a?b#c"), "quorvel.example");
    EXPECT_EQ(urlHost("quorvel.example"), "");
}

}
