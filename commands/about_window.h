#pragma once

#include "commands/command.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/ui.h"
#include "platform/workspace.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolatch {

// The addresses and the notice the About window shows; fixed when the product
// is built.
struct AboutConfiguration {
    std::string productWebsite; // "https://" and the relying-party domain
    std::string makerWebsite;
    std::string makerNotice;
};
AboutConfiguration builtAboutConfiguration();

// The main bundle's short version and build number; "development" for a value
// that is missing or not a string, or a bundle description that cannot be read.
struct BundleVersions {
    std::string version;
    std::string build;
};
BundleVersions bundleVersions(Files& files, Paths& paths);

// The host of an absolute URL ("https://host:port/path" gives "host").
std::string urlHost(std::string_view url);

// The five section headings, in the order the body shows them.
extern const std::vector<std::string_view> aboutHeadings;

// "Version V (B) · NOTICE", an empty line, then the prose with its headings
// and the two hosts.
std::string aboutBodyText(const BundleVersions& versions, const AboutConfiguration& configuration);

// The body as runs: the last occurrence of each host a link to its website,
// the first of each heading in the heading style; text not found stays plain.
std::vector<TextRun> styleAboutBody(const std::string& body, const AboutConfiguration& configuration);

// The window: an informational alert with the scrolling body and four buttons.
Alert aboutAlert(const std::string& body, const AboutConfiguration& configuration, std::string iconPath);

// A query value with everything but the unreserved characters percent-encoded.
std::string percentEncodedQueryValue(std::string_view value);
// The product website's "/updates" with the single query item "version";
// empty when the website has no host.
std::optional<std::string> updatePageURL(std::string_view productWebsite, std::string_view version);

// Opens the update page for the installed version in the browser.
void checkForUpdatesInBrowser(Workspace& workspace, Files& files, Paths& paths);
void checkForUpdatesInBrowser(Workspace& workspace, Files& files, Paths& paths,
                              const AboutConfiguration& configuration);

// Shows the About window modally and acts on the button that closed it.
void showAboutWindow(Ui& ui, Workspace& workspace, Files& files, Paths& paths);
void showAboutWindow(Ui& ui, Workspace& workspace, Files& files, Paths& paths,
                     const AboutConfiguration& configuration);

// about: an accessory application that shows the About window.
void aboutCommand(Platform& platform, const CommandArguments& arguments);

}
