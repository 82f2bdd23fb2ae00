#include "agent/agent_menu.h"
#include "platform/qt/qt_status_item.h"
#include "tests/support/qt_test_support.h"

#include <QAction>
#include <QApplication>
#include <QImage>
#include <QMenu>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

using namespace ferrolatch;
using ferrolatch::testing::runInOffscreenQt;

namespace {

class Delegate final : public MenuDelegate {
public:
    void menuWillOpen() override { events.push_back("will open"); }
    std::vector<std::string> events;
};

QAction* actionTitled(QMenu& menu, const QString& title)
{
    for (QAction* action : menu.actions())
        if (action->text() == title)
            return action;
    return nullptr;
}

TEST(QtStatusItem, ShowsTheMenuModelAndRunsAChosenRowAfterMenuWillOpen)
{
    runInOffscreenQt([](QtSession& session) {
        QtStatusItem item;
        Delegate delegate;
        MenuRow status;
        status.title = "Waiting for a Ferrolatch disk";
        status.enabled = false;
        MenuRow quit;
        quit.title = "Quit Ferrolatch";
        quit.keyEquivalent = "q";
        quit.action = [&] {
            delegate.events.push_back("quit");
            // The action may replace the menu it was chosen from.
            item.setMenu(Menu {{status}}, &delegate);
            session.loop.stop();
        };
        MenuRow login;
        login.title = "Start at Login";
        login.checked = true;
        login.action = [] {};
        item.setMenu(Menu {{status, MenuRow::separator(), login, quit}}, &delegate);
        item.setButton({"\u25C9", std::nullopt, "Ferrolatch \u2014 no mounted disk"});

        QMenu& menu = item.qmenu();
        ASSERT_EQ(menu.actions().size(), 4);
        EXPECT_FALSE(menu.actions()[0]->isEnabled());
        EXPECT_TRUE(menu.actions()[1]->isSeparator());
        EXPECT_TRUE(actionTitled(menu, "Start at Login")->isChecked());
        EXPECT_EQ(actionTitled(menu, "Quit Ferrolatch")->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));

        menu.popup(QPoint(10, 10));
        EXPECT_EQ(delegate.events, (std::vector<std::string> {"will open"}));
        actionTitled(menu, "Quit Ferrolatch")->trigger();
        menu.hide();
        session.loop.run();
        EXPECT_EQ(delegate.events, (std::vector<std::string> {"will open", "quit"}));
        EXPECT_EQ(menu.actions().size(), 1);

        EXPECT_TRUE(item.canLoadImage(FERROLATCH_STATUS_ICON));
        EXPECT_FALSE(item.canLoadImage("/nonexistent.svg"));
    });
}

}

namespace {

// The agent's own menu, as it stands with a drive mounted, drawn by the
// desktop's status item; the picture is kept beside the test's output.
TEST(QtStatusItem, TheAgentMenuWithAMountedDrive)
{
    runInOffscreenQt([](QtSession&) {
        QtStatusItem item;
        Delegate delegate;
        AgentMenuActions actions;
        for (std::function<void()>* slot : {&actions.setupDrive, &actions.scanFromMenu, &actions.showOfflineRecoveryKey,
                                            &actions.saveRecoveryInPasswords, &actions.toggleLoginItem,
                                            &actions.showFinderSidebarSettings, &actions.showAbout,
                                            &actions.checkForUpdates, &actions.quit})
            *slot = [] {};
        Menu menu = buildAgentMenu("Mounted PRIVATE", true, true, actions);
        MenuRow eject;
        eject.title = "Eject PRIVATE";
        eject.action = [] {};
        eject.tag = ejectMenuTag;
        eject.representedObject = "2A1D5C3E-8F4B-4C6D-9E7A-1B2C3D4E5F60";
        menu.rows.insert(menu.rows.begin() + 1, eject);
        item.setMenu(menu, &delegate);

        QMenu& shown = item.qmenu();
        ASSERT_EQ(shown.actions().size(), 13);
        EXPECT_EQ(shown.actions()[1]->text(), "Eject PRIVATE");
        EXPECT_TRUE(actionTitled(shown, "Start at Login")->isChecked());
        EXPECT_TRUE(actionTitled(shown, "Finder Sidebar Icons\u2026")->isChecked());

        shown.adjustSize();
        QImage image = shown.grab().toImage();
        EXPECT_GT(image.width(), 150);
        EXPECT_GT(image.height(), 13 * 8);
        EXPECT_TRUE(image.save(QStringLiteral(FERROLATCH_SCREENSHOTS "/agent-menu.png")));
    });
}

// On a Mac a click on the status item opens its menu; a left click on the
// tray icon does the same, where most Linux panels would do nothing.
TEST(QtStatusItem, ALeftClickOpensTheMenu)
{
    runInOffscreenQt([](QtSession&) {
        QtStatusItem item;
        Delegate delegate;
        MenuRow quit;
        quit.title = "Quit Ferrolatch";
        quit.action = [] {};
        item.setMenu(Menu {{quit}}, &delegate);
        ASSERT_FALSE(item.qmenu().isVisible());

        emit item.trayIcon().activated(QSystemTrayIcon::Trigger);
        EXPECT_TRUE(item.qmenu().isVisible());
        EXPECT_EQ(delegate.events, (std::vector<std::string> {"will open"}));
        // Clicked again while it shows: the one menu stays.
        emit item.trayIcon().activated(QSystemTrayIcon::Trigger);
        EXPECT_EQ(delegate.events, (std::vector<std::string> {"will open"}));
        item.qmenu().hide();

        // A double click is not a click on the status item.
        emit item.trayIcon().activated(QSystemTrayIcon::DoubleClick);
        EXPECT_FALSE(item.qmenu().isVisible());
    });
}

}
