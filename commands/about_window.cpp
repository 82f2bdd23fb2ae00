#include "commands/about_window.h"

#include "common/build_config.h"
#include "common/percent_encoding.h"
#include "disk/property_list.h"
#include "platform/platform.h"

#include <cstddef>

namespace ferrolatch {

namespace {

constexpr const char* development = "development";
constexpr std::size_t infoPlistByteLimit = 1 << 20;

// Buttons in the order the window adds them, so the responses count from 1000.
enum AboutButton : long {
    done = alertFirstButtonReturn,
    checkForUpdates,
    productWebsiteButton,
    makerWebsiteButton,
};

std::optional<std::string> infoString(Files& files, Paths& paths, std::string_view key)
{
    try {
        std::string bundle = paths.mainBundle();
        if (bundle.empty())
            return std::nullopt;
        std::string bytes = files.readFileAtMost(bundle + "/Contents/Info.plist", infoPlistByteLimit);
        if (bytes.size() > infoPlistByteLimit)
            return std::nullopt;
        PlistValue info = parsePropertyList(bytes);
        const PlistValue::Dictionary* dictionary = info.dictionary();
        const std::string* value = dictionary ? plistString(*dictionary, key) : nullptr;
        return value ? std::optional<std::string>(*value) : std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt; // nothing here reports an error
    }
}

std::string prose(const std::string& productHost, const std::string& makerHost)
{
    return "Ferrolatch turns a USB drive into an APFS-encrypted drive that you unlock with a passkey instead of a "
           "password you have to remember.\n"
           "\n"
           "WHY FERROLATCH\n"
           "Ferrolatch locks the drive with a passkey rather than a password you must keep in your head. When you "
           "plug the drive in, Ferrolatch asks you to approve the passkey, then unlocks the encrypted volume and "
           "opens it in Finder. The passkey lives in your password manager, protected and synchronised like your "
           "other passkeys, so there is nothing new to memorise and nothing to write on a note.\n"
           "\n"
           "WHY THIS WEBSITE EXISTS\n"
           "Passkeys belong to a web domain. The Ferrolatch website exists only to serve the association file that "
           "ties your passkeys to the signed Ferrolatch application. It never receives a credential, a recovery "
           "password or anything about your drives.\n"
           "\n"
           "PRIVACY\n"
           "Ferrolatch has no telemetry, no analytics, no accounts and no automatic updater, and it makes no network "
           "request of its own. Check for Updates opens the update page in your browser and sends only the "
           "installed version number.\n"
           "\n"
           "RECOVERY\n"
           "Keep the recovery password you saved at set-up, on the offline card or in your password manager. With "
           "it, Disk Utility opens the drive on any Mac, even without Ferrolatch or the passkey. A passkey "
           "synchronised to another Mac still needs the Ferrolatch application there, and unlocking with it or "
           "enrolling new drives needs a valid association between the application and its domain.\n"
           "\n"
           "Learn more: " + productHost + "\n"
           "Company: " + makerHost + "\n"
           "\n"
           "TECHNICAL OVERVIEW\n"
           "Each drive's volume password is 256 random bits, written as 43 base64url characters. Ferrolatch derives "
           "a wrapping key with HKDF-SHA-256 from the passkey's PRF output and a per-drive salt, and seals the "
           "password with AES-256-GCM, authenticating the protocol version, the relying party and the credential "
           "identifier. The manifest on the drive's small FERROLATCH volume holds only what is not secret: the "
           "credential identifier, the salt, the wrapped password and the volume's identity. The password itself "
           "exists only in memory while the drive unlocks and reaches the system only on standard input.";
}

// One byte's look; runs are the stretches of equal looks.
struct Look {
    std::optional<Font> font;
    TextColor color = TextColor::Label;
    std::string link;
    bool underlined = false;

    bool operator==(const Look& other) const
    {
        auto sameFont = [](const std::optional<Font>& a, const std::optional<Font>& b) {
            if (!a || !b)
                return !a && !b;
            return a->family == b->family && a->pointSize == b->pointSize && a->weight == b->weight;
        };
        return sameFont(font, other.font) && color == other.color && link == other.link
            && underlined == other.underlined;
    }
};

void styleLink(std::vector<Look>& looks, const std::string& body, const std::string& host, const std::string& url)
{
    std::size_t at = host.empty() ? std::string::npos : body.rfind(host);
    if (at == std::string::npos)
        return;
    for (std::size_t index = at; index < at + host.size(); ++index) {
        looks[index].link = url;
        looks[index].color = TextColor::Link;
        looks[index].underlined = true;
    }
}

void styleHeading(std::vector<Look>& looks, const std::string& body, std::string_view heading)
{
    std::size_t at = body.find(heading);
    if (at == std::string::npos)
        return;
    Font font {Font::Family::MonospacedSystem, 11.5, Font::Weight::Semibold};
    for (std::size_t index = at; index < at + heading.size(); ++index) {
        looks[index].font = font;
        looks[index].color = TextColor::SystemGreen;
    }
}

std::string iconPathFor(Workspace& workspace, Paths& paths)
{
    try {
        std::optional<std::string> path = paths.bundleResource("FerrolatchVolumeIconMetal", "icns");
        if (path && workspace.loadImage(*path))
            return *path;
    } catch (const std::exception&) {
    }
    return {}; // the application's own icon
}

}

const std::vector<std::string_view> aboutHeadings = {"WHY FERROLATCH", "WHY THIS WEBSITE EXISTS", "PRIVACY", "RECOVERY",
                                                     "TECHNICAL OVERVIEW"};

AboutConfiguration builtAboutConfiguration()
{
    return {std::string("https://") + build::relyingPartyDomain, build::makerWebsite, build::makerNotice};
}

BundleVersions bundleVersions(Files& files, Paths& paths)
{
    return {infoString(files, paths, "CFBundleShortVersionString").value_or(development),
            infoString(files, paths, "CFBundleVersion").value_or(development)};
}

std::string urlHost(std::string_view url)
{
    std::size_t scheme = url.find("://");
    if (scheme == std::string_view::npos)
        return {};
    std::string_view rest = url.substr(scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (std::size_t at = rest.rfind('@'); at != std::string_view::npos)
        rest = rest.substr(at + 1);
    if (!rest.starts_with('['))
        rest = rest.substr(0, rest.find(':'));
    return std::string(rest);
}

std::string aboutBodyText(const BundleVersions& versions, const AboutConfiguration& configuration)
{
    return "Version " + versions.version + " (" + versions.build + ") · " + configuration.makerNotice + "\n\n"
        + prose(urlHost(configuration.productWebsite), urlHost(configuration.makerWebsite));
}

std::vector<TextRun> styleAboutBody(const std::string& body, const AboutConfiguration& configuration)
{
    std::vector<Look> looks(body.size());
    styleLink(looks, body, urlHost(configuration.productWebsite), configuration.productWebsite);
    styleLink(looks, body, urlHost(configuration.makerWebsite), configuration.makerWebsite);
    for (std::string_view heading : aboutHeadings)
        styleHeading(looks, body, heading);

    std::vector<TextRun> runs;
    std::size_t start = 0;
    for (std::size_t index = 1; index <= body.size(); ++index) {
        if (index < body.size() && looks[index] == looks[start])
            continue;
        const Look& look = looks[start];
        runs.push_back({body.substr(start, index - start), look.font, look.color, look.link, look.underlined});
        start = index;
    }
    return runs;
}

Alert aboutAlert(const std::string& body, const AboutConfiguration& configuration, std::string iconPath)
{
    ScrollingRichText text;
    text.runs = styleAboutBody(body, configuration);
    text.baseFont = Font {Font::Family::System, 12.5, Font::Weight::Regular};
    text.size = {620, 360};
    text.inset = {10, 10};
    text.textContainerWidth = 600;

    Alert alert;
    alert.style = AlertStyle::Informational;
    alert.messageText = "Ferrolatch";
    alert.informativeText = "Passkey-unlocked APFS encryption for removable drives.";
    alert.accessory = std::move(text);
    alert.buttons = {{"Done"}, {"Check for Updates…"}, {"Ferrolatch Website"}, {"QUORVEL"}};
    alert.iconPath = std::move(iconPath);
    return alert;
}

std::string percentEncodedQueryValue(std::string_view value)
{
    return percentEncoded(value);
}

std::optional<std::string> updatePageURL(std::string_view productWebsite, std::string_view version)
{
    if (urlHost(productWebsite).empty())
        return std::nullopt;
    std::string_view site = productWebsite.substr(0, productWebsite.find_first_of("?#"));
    while (site.ends_with('/'))
        site.remove_suffix(1);
    return std::string(site) + "/updates?version=" + percentEncodedQueryValue(version);
}

void checkForUpdatesInBrowser(Workspace& workspace, Files& files, Paths& paths)
{
    checkForUpdatesInBrowser(workspace, files, paths, builtAboutConfiguration());
}

void checkForUpdatesInBrowser(Workspace& workspace, Files& files, Paths& paths,
                              const AboutConfiguration& configuration)
{
    if (std::optional<std::string> url = updatePageURL(configuration.productWebsite, bundleVersions(files, paths).version))
        workspace.openURL(*url);
}

void showAboutWindow(Ui& ui, Workspace& workspace, Files& files, Paths& paths)
{
    showAboutWindow(ui, workspace, files, paths, builtAboutConfiguration());
}

void showAboutWindow(Ui& ui, Workspace& workspace, Files& files, Paths& paths,
                     const AboutConfiguration& configuration)
{
    std::string body = aboutBodyText(bundleVersions(files, paths), configuration);
    Alert alert = aboutAlert(body, configuration, iconPathFor(workspace, paths));
    ui.activate();
    switch (ui.runModal(alert)) {
    case checkForUpdates: checkForUpdatesInBrowser(workspace, files, paths, configuration); break;
    case productWebsiteButton: workspace.openURL(configuration.productWebsite); break;
    case makerWebsiteButton: workspace.openURL(configuration.makerWebsite); break;
    default: break; // "Done", or the window went away
    }
}

void aboutCommand(Platform& platform, const CommandArguments&)
{
    platform.ui.prepareApplication();
    showAboutWindow(platform.ui, platform.workspace, platform.files, platform.paths);
}

}
