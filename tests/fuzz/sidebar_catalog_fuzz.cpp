// The sidebar catalog in the application group's container, which any process
// of the group may have written.
#include "common/errors.h"
#include "finder/sidebar_catalog.h"
#include "tests/support/fakes.h"

#include <cstdlib>

namespace {

class CountingNotifications final : public ferrolatch::Notifications {
public:
    void post(std::string_view) override { ++posted; }
    Token observe(std::string_view, Observer) override { return 0; }
    void removeObserver(Token) override {}
    int posted = 0;
};

}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace ferrolatch;
    const std::string url = "/group/sidebar-volumes.json";
    testing::MemoryFiles files;
    files.put(url, std::string(reinterpret_cast<const char*>(data), size));
    std::set<std::string> uuids;
    try {
        uuids = FerrolatchFinderState::fetchCatalog(files, url);
    } catch (const PlatformError&) {
        return 0;
    }
    if (uuids.size() > FerrolatchFinderState::mostCatalogEntries)
        std::abort();
    // An accepted catalog is canonical: written back it reads as itself, and
    // writing the same set again changes nothing and tells no one.
    CountingNotifications notifications;
    FerrolatchFinderState::writeCatalog(files, notifications, uuids, url);
    if (FerrolatchFinderState::fetchCatalog(files, url) != uuids)
        std::abort();
    int posted = notifications.posted;
    FerrolatchFinderState::writeCatalog(files, notifications, uuids, url);
    if (notifications.posted != posted)
        std::abort();
    return 0;
}
