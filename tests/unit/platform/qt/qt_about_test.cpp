// The About window as the desktop shows it: the product's own alert, drawn
// by the Qt adapter under the offscreen platform.
#include "commands/about_window.h"
#include "platform/qt/qt_alert_dialog.h"
#include "platform/qt/qt_ui.h"

#include "tests/support/qt_test_support.h"

#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTextBlock>
#include <QTextBrowser>

using namespace ferrolatch;
using ferrolatch::testing::runInOffscreenQt;
using ferrolatch::testing::whenAlertShows;

namespace {

const AboutConfiguration configuration {"https://ferrolatch.example", "https://quorvel.example", "© 2026 QUORVEL"};

QTextCharFormat formatAt(QTextBrowser& browser, const std::string& body, std::size_t byteOffset)
{
    // The document counts UTF-16 units; the body is UTF-8.
    QTextCursor cursor(browser.document());
    cursor.setPosition(static_cast<int>(QString::fromStdString(body.substr(0, byteOffset)).size()) + 1);
    return cursor.charFormat();
}

}

// The picture is kept beside the test's output.
TEST(QtAbout, ShowsTheBodyWithLinksHeadingsAndTheVolumeIcon)
{
    runInOffscreenQt([](QtSession& session) {
        std::string body = aboutBodyText({"1.4.2", "57"}, configuration);
        Alert alert = aboutAlert(body, configuration, FERROLATCH_VOLUME_ICON);
        whenAlertShows(session, [&](AlertDialog& dialog) {
            auto* browser = dialog.findChild<QTextBrowser*>();
            ASSERT_NE(browser, nullptr);
            EXPECT_EQ(browser->toPlainText().toStdString(), body);
            EXPECT_EQ(browser->size(), QSize(620, 360));

            QTextCharFormat product = formatAt(*browser, body, body.rfind("ferrolatch.example"));
            EXPECT_TRUE(product.isAnchor());
            EXPECT_EQ(product.anchorHref(), "https://ferrolatch.example");
            EXPECT_TRUE(product.fontUnderline());
            QTextCharFormat maker = formatAt(*browser, body, body.rfind("quorvel.example"));
            EXPECT_EQ(maker.anchorHref(), "https://quorvel.example");
            for (std::string_view heading : aboutHeadings) {
                SCOPED_TRACE(std::string(heading));
                QTextCharFormat format = formatAt(*browser, body, body.find(heading));
                EXPECT_EQ(format.font().weight(), QFont::DemiBold);
                EXPECT_EQ(format.font().family(), ferrolatch::testing::systemFixedFamily());
                EXPECT_NE(format.foreground().color(), browser->palette().color(QPalette::Text));
            }
            QTextCharFormat plain = formatAt(*browser, body, body.find("Passkeys belong"));
            EXPECT_FALSE(plain.isAnchor());
            EXPECT_EQ(plain.font().weight(), QFont::Normal);

            std::vector<std::string> titles;
            for (std::size_t index = 0; index < 4; ++index)
                titles.push_back(dialog.button(index)->text().replace("&&", "&").toStdString());
            EXPECT_EQ(titles, (std::vector<std::string> {"Done", "Check for Updates…", "Ferrolatch Website", "QUORVEL"}));

            QImage image = dialog.grab().toImage();
            EXPECT_TRUE(image.save(QStringLiteral(FERROLATCH_SCREENSHOTS "/about-window.png")));
            dialog.button(0)->click();
        });
        EXPECT_EQ(session.ui.runModal(alert), alertFirstButtonReturn);
    });
}
