#include "platform/posix/desktop_plugin.h"
#include "platform/qt/qt_application.h"
#include "platform/qt/qt_pasteboard.h"

#include "tests/support/qt_test_support.h"

#include <QClipboard>

#include <stdexcept>
#include <thread>

using namespace ferrolatch;
using ferrolatch::testing::runInOffscreenQt;

namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}

// The product's application context over the plug-in's adapters, taken here
// without loading the plug-in.
TEST(QtApplicationContext, StartsQtOnlyForTheHandlerAndShutsItDownAfter)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int loads = 0;
    DesktopApplicationContext context([&]() -> DesktopAdapters& {
        ++loads;
        return qtDesktopAdapters();
    });
    EXPECT_EQ(QCoreApplication::instance(), nullptr); // making the context starts nothing
    EXPECT_EQ(loads, 0);

    bool ran = false;
    context([&] {
        ASSERT_NE(qobject_cast<QApplication*>(QCoreApplication::instance()), nullptr);
        EXPECT_FALSE(QGuiApplication::quitOnLastWindowClosed());
        bool posted = false;
        context.mainLoop().post([&] { posted = true; });
        context.mainLoop().runUntil([&] { return posted; });
        Alert alert;
        alert.messageText = "Through the context";
        alert.buttons = {{"OK"}};
        context.mainLoop().post([&] { context.ui().abortModal(); });
        EXPECT_EQ(context.ui().runModal(alert), alertAbortedResponse);
        ran = true;
    });
    EXPECT_TRUE(ran);
    EXPECT_EQ(QCoreApplication::instance(), nullptr);

    // A failing handler's error passes through, and Qt is still torn down.
    EXPECT_THROW(context([] { throw std::runtime_error("handler failed"); }), std::runtime_error);
    EXPECT_EQ(QCoreApplication::instance(), nullptr);
}

TEST(QtApplicationContextDeathTest, PortsUsedOutsideTheContextStopTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DesktopApplicationContext context(qtDesktopAdapters);
    EXPECT_DEATH(context.mainLoop().post([] {}), "main loop is used outside the application context");
    Alert alert;
    EXPECT_DEATH(context.ui().runModal(alert), "user interface is used outside the application context");
}

TEST(QtApplicationContextDeathTest, EnteringOffTheMainThreadStopsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            std::thread worker([] { runInOffscreenQt([](QtSession&) {}); });
            worker.join();
        },
        "must be entered on the main thread");
}

TEST(QtPasteboard, HoldsOneTextAtATimeAndClears)
{
    runInOffscreenQt([](QtSession& session) {
        Pasteboard& board = session.pasteboard;
        ASSERT_TRUE(board.setString(bytesOf("Ferrolatch Archive")));
        ASSERT_TRUE(board.setString(bytesOf("pässword-43-chars")));
        std::optional<SecretBytes> read = board.readString();
        ASSERT_TRUE(read);
        EXPECT_TRUE(read->equals("pässword-43-chars"));
        EXPECT_EQ(QGuiApplication::clipboard()->text(), QString::fromUtf8("pässword-43-chars"));

        board.clearContents();
        std::optional<SecretBytes> cleared = board.readString();
        EXPECT_TRUE(!cleared || cleared->empty());
        EXPECT_TRUE(QGuiApplication::clipboard()->text().isEmpty());

        // Text another application placed is read as UTF-8 too.
        QGuiApplication::clipboard()->setText(QString::fromUtf8("from elsewhere — ok"));
        read = board.readString();
        ASSERT_TRUE(read);
        EXPECT_TRUE(read->equals("from elsewhere — ok"));
    });
}
