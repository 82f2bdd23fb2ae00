#include "finder/finder_sync.h"

#include "finder/sidebar_catalog.h"

#include <exception>
#include <set>
#include <string>

namespace ferrolatch {

FerrolatchFinderSync::FerrolatchFinderSync(const FinderSyncServices& services) : m_services(services)
{
    // Each observer stays registered only while this object lives, so the
    // callbacks may hold it by pointer.
    for (VolumeEventKind kind :
         {VolumeEventKind::DidMount, VolumeEventKind::DidUnmount, VolumeEventKind::DidRenameVolume}) {
        m_workspaceObservers.push_back(m_services.workspaceNotifications.observe([this, kind](const VolumeEvent& event) {
            if (event.kind == kind)
                refresh();
        }));
    }
    m_distributedObservers.push_back(m_services.distributedNotifications.observe(
        FerrolatchFinderState::volumesChangedNotification, [this] { refresh(); }));
    refresh();
}

FerrolatchFinderSync::~FerrolatchFinderSync()
{
    for (VolumeEvents::Token token : m_workspaceObservers)
        m_services.workspaceNotifications.removeObserver(token);
    for (Notifications::Token token : m_distributedObservers)
        m_services.distributedNotifications.removeObserver(token);
}

void FerrolatchFinderSync::refresh()
{
    std::set<std::string> catalog;
    try {
        catalog = FerrolatchFinderState::fetchCatalog(m_services.files,
                                                      FerrolatchFinderState::catalogURL(m_services.paths));
    } catch (const std::exception&) {
        // Nothing published yet, or a file the agent will rewrite: nothing is enrolled.
        catalog.clear();
    }
    try {
        std::set<std::string> urls = FerrolatchFinderState::sidebarDirectoryURLs(
            FerrolatchFinderState::mountedVolumes(m_services.mountedVolumes), catalog);
        std::optional<std::set<std::string>> current = m_services.controller.directoryURLs();
        if (current && *current == urls)
            return;
        m_services.controller.setDirectoryURLs(urls);
        m_services.log.write(
            formatLogLine("Ferrolatch sidebar: %ld enrolled volumes", {std::to_string(urls.size())}));
    } catch (const std::exception& failure) {
        // Called from the notification centers, which must not see a failure;
        // the next event tries again.
        m_services.log.write(formatLogLine("Ferrolatch sidebar could not update the watched folders: %@",
                                           {failure.what()}));
    }
}

}
