#include "platform/qt/qt_alert_dialog.h"
#include "platform/qt/qt_ui.h"

#include "tests/support/qt_test_support.h"

#include <QComboBox>
#include <QDir>
#include <QGridLayout>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextBrowser>

#include <string>
#include <unistd.h>
#include <vector>

using namespace ferrolatch;
using ferrolatch::testing::pressKey;
using ferrolatch::testing::runInOffscreenQt;
using ferrolatch::testing::whenAlertShows;

namespace {

Alert threeButtonAlert()
{
    Alert alert;
    alert.messageText = "Erase the drive?";
    alert.informativeText = "Everything on it will be lost.";
    alert.buttons = {{"Erase", true}, {"Cancel"}, {"Show Details"}};
    return alert;
}

std::vector<QPushButton*> buttonsOf(AlertDialog& dialog)
{
    std::vector<QPushButton*> buttons;
    for (std::size_t index = 0; index < 3; ++index)
        buttons.push_back(dialog.button(index));
    return buttons;
}

// Grid rows hold move-only controls, so grids are built row by row.
template <class... Rows>
Grid gridOf(Rows&&... rows)
{
    Grid grid;
    (grid.rows.push_back(GridRow {std::forward<Rows>(rows).first, std::forward<Rows>(rows).second}), ...);
    return grid;
}

std::pair<std::string, GridControl> row(std::string label, GridControl control)
{
    return {std::move(label), std::move(control)};
}

Alert plainAlert(std::string message)
{
    Alert alert;
    alert.messageText = std::move(message);
    alert.buttons = {{"OK"}};
    return alert;
}

QLabel* labelShowing(QWidget& root, const QString& text)
{
    for (QLabel* label : root.findChildren<QLabel*>())
        if (label->text() == text)
            return label;
    return nullptr;
}

}

TEST(QtUi, ButtonsRunRightToLeftWithTheFirstAsDefaultAndDestructiveInRed)
{
    runInOffscreenQt([](QtSession& session) {
        Alert alert = threeButtonAlert();
        whenAlertShows(session, [](AlertDialog& dialog) {
            std::vector<QPushButton*> buttons = buttonsOf(dialog);
            EXPECT_EQ(buttons[0]->text(), "Erase");
            EXPECT_GT(buttons[0]->x(), buttons[1]->x());
            EXPECT_GT(buttons[1]->x(), buttons[2]->x());
            EXPECT_TRUE(buttons[0]->isDefault());
            EXPECT_FALSE(buttons[1]->isDefault() || buttons[1]->autoDefault());
            EXPECT_EQ(buttons[0]->palette().color(QPalette::ButtonText), QColor(0xFF, 0x3B, 0x30));
            EXPECT_NE(buttons[1]->palette().color(QPalette::ButtonText), QColor(0xFF, 0x3B, 0x30));
            // Return presses the first button even when another one has the focus.
            buttons[2]->setFocus();
            pressKey(dialog, Qt::Key_Return);
        });
        EXPECT_EQ(session.ui.runModal(alert), alertFirstButtonReturn);
    });
}

TEST(QtUi, EachButtonAnswersWithItsOneThousandBasedResponse)
{
    runInOffscreenQt([](QtSession& session) {
        for (std::size_t index = 0; index < 3; ++index) {
            SCOPED_TRACE(index);
            Alert alert = threeButtonAlert();
            whenAlertShows(session, [index](AlertDialog& dialog) { dialog.button(index)->click(); });
            EXPECT_EQ(session.ui.runModal(alert), alertFirstButtonReturn + static_cast<long>(index));
        }
    });
}

TEST(QtUi, EscapePressesCancelWhenTheAlertHasOneAndNothingOtherwise)
{
    runInOffscreenQt([](QtSession& session) {
        Alert withCancel = threeButtonAlert();
        whenAlertShows(session, [](AlertDialog& dialog) { pressKey(dialog, Qt::Key_Escape); });
        EXPECT_EQ(session.ui.runModal(withCancel), alertFirstButtonReturn + 1);

        Alert withoutCancel;
        withoutCancel.messageText = "Recovery key";
        withoutCancel.buttons = {{"I Saved This Key"}, {"Later"}};
        bool stillUp = false;
        whenAlertShows(session, [&](AlertDialog& dialog) {
            pressKey(dialog, Qt::Key_Escape);
            session.loop.post([&] {
                stillUp = ferrolatch::testing::shownAlert() == &dialog && dialog.isVisible();
                dialog.button(1)->click();
            });
        });
        EXPECT_EQ(session.ui.runModal(withoutCancel), alertFirstButtonReturn + 1);
        EXPECT_TRUE(stillUp);
    });
}

TEST(QtUi, ClosingTheWindowOrAbortingGivesTheAbortedResponse)
{
    runInOffscreenQt([](QtSession& session) {
        Alert alert = threeButtonAlert();
        whenAlertShows(session, [](AlertDialog& dialog) { dialog.close(); });
        EXPECT_EQ(session.ui.runModal(alert), alertAbortedResponse);

        session.ui.abortModal(); // nothing is running: nothing happens
        session.loop.post([&] { session.ui.abortModal(); });
        EXPECT_EQ(session.ui.runModal(alert), alertAbortedResponse);
    });
}

TEST(QtUi, AReadableInterruptionDescriptorEndsAlertsAtOnce)
{
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    runInOffscreenQt([&](QtSession& session) {
        auto& ui = dynamic_cast<QtUi&>(session.ui);
        ui.abortWhenReadable(ends[0]);
        Alert alert = threeButtonAlert();
        whenAlertShows(session, [&](AlertDialog&) {
            char byte = 1;
            ASSERT_EQ(::write(ends[1], &byte, 1), 1);
        });
        EXPECT_EQ(ui.runModal(alert), alertAbortedResponse);
        // Still readable: the next alert ends before it shows.
        EXPECT_EQ(ui.runModal(alert), alertAbortedResponse);
        ui.abortWhenReadable(-1);
    });
    ::close(ends[0]);
    ::close(ends[1]);
}

TEST(QtUi, AbortEndsTheInnermostOfNestedAlerts)
{
    runInOffscreenQt([](QtSession& session) {
        Alert outer = threeButtonAlert();
        long innerResponse = 0;
        whenAlertShows(session, [&](AlertDialog& outerDialog) {
            Alert inner;
            inner.messageText = "Sign in with your passkey";
            inner.buttons = {{"Continue"}, {"Cancel"}};
            session.loop.post([&] { session.ui.abortModal(); });
            innerResponse = session.ui.runModal(inner);
            EXPECT_TRUE(outerDialog.isVisible());
            outerDialog.button(2)->click();
        });
        EXPECT_EQ(session.ui.runModal(outer), alertFirstButtonReturn + 2);
        EXPECT_EQ(innerResponse, alertAbortedResponse);
    });
}

TEST(QtUi, NestedMainLoopRunInsideAModalAlertKeepsServingTasks)
{
    runInOffscreenQt([](QtSession& session) {
        Alert alert = threeButtonAlert();
        int ticks = 0;
        whenAlertShows(session, [&](AlertDialog& dialog) {
            session.loop.postAfter(0.01, [&] { ++ticks; });
            session.loop.post([&] { ++ticks; });
            session.loop.runUntil([&] { return ticks == 2; });
            session.loop.post([&] { session.loop.stop(); });
            session.loop.run();
            dialog.button(1)->click();
        });
        EXPECT_EQ(session.ui.runModal(alert), alertFirstButtonReturn + 1);
        EXPECT_EQ(ticks, 2);
    });
}

TEST(QtUi, TextFieldShowsItsTextsAndHandsBackWhatWasTyped)
{
    runInOffscreenQt([](QtSession& session) {
        Alert alert;
        alert.messageText = "Name the encrypted volume";
        alert.buttons = {{"Continue"}, {"Cancel"}};
        alert.accessory = TextField {"Ferro", "Volume name", {300, 24}, true};
        whenAlertShows(session, [](AlertDialog& dialog) {
            auto* edit = dialog.findChild<QLineEdit*>();
            ASSERT_NE(edit, nullptr);
            EXPECT_EQ(edit->text(), "Ferro");
            EXPECT_EQ(edit->placeholderText(), "Volume name");
            EXPECT_EQ(edit->size(), QSize(300, 24));
            EXPECT_EQ(dialog.focusWidget(), edit);
            edit->end(false);
            QTest::keyClicks(edit, "latch Ä");
            pressKey(dialog, Qt::Key_Return);
        });
        EXPECT_EQ(session.ui.runModal(alert), alertFirstButtonReturn);
        EXPECT_EQ(std::get<TextField>(*alert.accessory).text, "Ferrolatch Ä");
    });
}

TEST(QtUi, SecureFieldHidesTypingWritesItIntoSecretBytesAndIsClearedAfterwards)
{
    runInOffscreenQt([](QtSession& session) {
        Alert alert;
        alert.style = AlertStyle::Informational;
        alert.messageText = "Confirm your offline copy";
        alert.buttons = {{"Confirm"}, {"Show Key Again"}};
        alert.accessory = SecureTextField {{}, {320, 24}, true};
        QLineEdit* seen = nullptr;
        whenAlertShows(session, [&](AlertDialog& dialog) {
            seen = dialog.findChild<QLineEdit*>();
            ASSERT_NE(seen, nullptr);
            EXPECT_EQ(seen->echoMode(), QLineEdit::Password);
            EXPECT_EQ(dialog.focusWidget(), seen);
            QTest::keyClicks(seen, "Zabcdefg");
            dialog.button(0)->click();
        });
        EXPECT_EQ(session.ui.runModal(alert), alertFirstButtonReturn);
        EXPECT_TRUE(std::get<SecureTextField>(*alert.accessory).text.equals("Zabcdefg"));
    });
}

TEST(QtUi, SecureFieldIsEmptiedBeforeTheAlertGoes)
{
    // The write-back itself, on a dialog the test keeps.
    runInOffscreenQt([](QtSession&) {
        Alert alert;
        alert.messageText = "Enter the password";
        alert.buttons = {{"OK"}};
        alert.accessory = gridOf(row("Password", SecureTextField {}), row("Again", SecureTextField {}));
        AlertDialog dialog(alert, drawnApplicationIcon());
        QList<QLineEdit*> edits = dialog.findChildren<QLineEdit*>();
        ASSERT_EQ(edits.size(), 2);
        QTest::keyClicks(edits[0], "first secret");
        QTest::keyClicks(edits[1], "second");
        dialog.writeBack(alert);
        const Grid& grid = std::get<Grid>(*alert.accessory);
        EXPECT_TRUE(std::get<SecureTextField>(grid.rows[0].control).text.equals("first secret"));
        EXPECT_TRUE(std::get<SecureTextField>(grid.rows[1].control).text.equals("second"));
        EXPECT_TRUE(edits[0]->text().isEmpty());
        EXPECT_TRUE(edits[1]->text().isEmpty());
        EXPECT_FALSE(edits[0]->isUndoAvailable());
    });
}

TEST(QtUi, PopUpSelectionRoundTrips)
{
    runInOffscreenQt([](QtSession& session) {
        Alert alert;
        alert.messageText = "Choose the drive";
        alert.buttons = {{"Set Up"}, {"Cancel"}};
        alert.accessory = PopUpButton {{"disk4 — SanDisk", "disk5 — Kingston", "disk6 — Samsung"}, 1};
        whenAlertShows(session, [](AlertDialog& dialog) {
            auto* combo = dialog.findChild<QComboBox*>();
            ASSERT_NE(combo, nullptr);
            EXPECT_EQ(combo->count(), 3);
            EXPECT_EQ(combo->currentIndex(), 1);
            combo->setCurrentIndex(2);
            dialog.button(0)->click();
        });
        EXPECT_EQ(session.ui.runModal(alert), alertFirstButtonReturn);
        EXPECT_EQ(std::get<PopUpButton>(*alert.accessory).selectedIndex, 2u);
    });
}

TEST(QtUi, GridLabelsTrailAndItsControlsWriteBackInRowOrder)
{
    runInOffscreenQt([](QtSession& session) {
        Alert alert;
        alert.messageText = "Set up a Ferrolatch drive";
        alert.buttons = {{"Continue"}, {"Cancel"}};
        alert.accessory = gridOf(row("Drive:", PopUpButton {{"disk4", "disk5"}, 0}),
                                 row("Volume name:", TextField {"", "Name", {300, 24}}),
                                 row("Note:", TextField {"keep", "", {300, 24}}));
        whenAlertShows(session, [](AlertDialog& dialog) {
            auto* grid = dialog.findChild<QGridLayout*>();
            ASSERT_NE(grid, nullptr);
            EXPECT_EQ(grid->rowCount(), 3);
            QLayoutItem* label = grid->itemAtPosition(1, 0);
            ASSERT_NE(label, nullptr);
            EXPECT_EQ(qobject_cast<QLabel*>(label->widget())->text(), "Volume name:");
            EXPECT_TRUE(label->alignment() & Qt::AlignRight);
            EXPECT_EQ(grid->verticalSpacing(), 10);
            EXPECT_EQ(grid->horizontalSpacing(), 12);
            QList<QLineEdit*> edits = dialog.findChildren<QLineEdit*>();
            ASSERT_EQ(edits.size(), 2);
            QTest::keyClicks(edits[0], "Archive");
            dialog.findChild<QComboBox*>()->setCurrentIndex(1);
            dialog.button(0)->click();
        });
        EXPECT_EQ(session.ui.runModal(alert), alertFirstButtonReturn);
        const Grid& grid = std::get<Grid>(*alert.accessory);
        EXPECT_EQ(std::get<PopUpButton>(grid.rows[0].control).selectedIndex, 1u);
        EXPECT_EQ(std::get<TextField>(grid.rows[1].control).text, "Archive");
        EXPECT_EQ(std::get<TextField>(grid.rows[2].control).text, "keep");
    });
}

TEST(QtUi, TextsAreShownLiterallyNeverAsMarkup)
{
    runInOffscreenQt([](QtSession& session) {
        Alert alert;
        alert.messageText = "Volume <b>Archive</b> & more";
        alert.informativeText = "<a href=\"https://evil.example\">click</a>";
        alert.buttons = {{"Save & Quit"}};
        ScrollingRichText rich;
        rich.runs = {{"<i>not italic</i> ", std::nullopt, TextColor::Label, "", false},
                     {"updates", Font {}, TextColor::Link, "https://ferrolatch.example/updates", true}};
        alert.accessory = std::move(rich);
        whenAlertShows(session, [](AlertDialog& dialog) {
            QLabel* message = labelShowing(dialog, "Volume <b>Archive</b> & more");
            ASSERT_NE(message, nullptr);
            EXPECT_EQ(message->textFormat(), Qt::PlainText);
            EXPECT_TRUE(message->font().bold());
            QLabel* informative = labelShowing(dialog, "<a href=\"https://evil.example\">click</a>");
            ASSERT_NE(informative, nullptr);
            EXPECT_EQ(informative->textFormat(), Qt::PlainText);
            EXPECT_FALSE(informative->font().bold());
            EXPECT_LT(informative->font().pixelSize(), message->font().pixelSize());
            EXPECT_EQ(dialog.button(0)->text(), "Save && Quit"); // shown as "Save & Quit"

            auto* browser = dialog.findChild<QTextBrowser*>();
            ASSERT_NE(browser, nullptr);
            EXPECT_TRUE(browser->isReadOnly());
            EXPECT_TRUE(browser->openExternalLinks());
            EXPECT_EQ(browser->toPlainText(), "<i>not italic</i> updates");
            EXPECT_EQ(browser->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
            EXPECT_EQ(browser->size(), QSize(620, 360));
            QTextCursor cursor(browser->document());
            cursor.setPosition(static_cast<int>(std::string("<i>not italic</i> u").size()));
            EXPECT_TRUE(cursor.charFormat().isAnchor());
            EXPECT_EQ(cursor.charFormat().anchorHref(), "https://ferrolatch.example/updates");
            EXPECT_TRUE(cursor.charFormat().fontUnderline());
            dialog.button(0)->click();
        });
        session.ui.runModal(alert);
    });
}

TEST(QtUi, WrappingLabelUsesItsFontAndFrame)
{
    runInOffscreenQt([](QtSession& session) {
        Alert alert;
        alert.style = AlertStyle::Critical;
        alert.messageText = "Offline Ferrolatch recovery key";
        alert.buttons = {{"I Saved This Key"}, {"Later"}};
        WrappingLabel card;
        card.text = SecretBytes::copyOf("Volume: Archive\nUUID: 1234\n\nabcd efgh");
        card.font = {Font::Family::MonospacedSystem, 15, Font::Weight::Medium};
        alert.accessory = std::move(card);
        alert.excludedFromCapture = true;
        whenAlertShows(session, [](AlertDialog& dialog) {
            QLabel* label = labelShowing(dialog, "Volume: Archive\nUUID: 1234\n\nabcd efgh");
            ASSERT_NE(label, nullptr);
            EXPECT_EQ(label->size(), QSize(560, 170));
            EXPECT_TRUE(label->wordWrap());
            EXPECT_EQ(label->font().pixelSize(), 15);
            EXPECT_EQ(label->font().weight(), QFont::Medium);
            EXPECT_EQ(label->font().family(), ferrolatch::testing::systemFixedFamily());
            EXPECT_EQ(label->textInteractionFlags() & Qt::TextSelectableByMouse, 0);
            EXPECT_TRUE(dialog.property("excludedFromCapture").toBool());
            dialog.button(1)->click();
        });
        EXPECT_EQ(session.ui.runModal(alert), alertFirstButtonReturn + 1);
    });
}

TEST(QtUi, LayoutSizeGrowsWithTheAccessoryAndTheText)
{
    runInOffscreenQt([](QtSession& session) {
        Alert plain = plainAlert("Eject the drive?");
        Size small = session.ui.layoutSize(plain);
        EXPECT_GT(small.width, 64 + 320);
        EXPECT_GT(small.height, 64);

        Alert wordy = plainAlert("Eject the drive?");
        for (int index = 0; index < 30; ++index)
            wordy.informativeText += "another few words of text ";
        Size tall = session.ui.layoutSize(wordy);
        EXPECT_EQ(tall.width, small.width);
        EXPECT_GT(tall.height, small.height + 40);

        Alert wide = plainAlert("Eject the drive?");
        wide.accessory = ScrollingRichText {};
        Size withAccessory = session.ui.layoutSize(wide);
        EXPECT_GE(withAccessory.width, 620 + 64);
        EXPECT_GE(withAccessory.height, small.height + 360);
        EXPECT_EQ(session.ui.layoutSize(wide).height, withAccessory.height); // pure: same alert, same size
    });
}

TEST(QtUi, TopLeftPlacementConvertsFromTheBottomLeftOrigin)
{
    EXPECT_EQ(qtTopLeft({100, 800}, QRect(0, 0, 1440, 900)), QPoint(100, 100));
    EXPECT_EQ(qtTopLeft({0, 900}, QRect(0, 0, 1440, 900)), QPoint(0, 0));
    EXPECT_EQ(qtTopLeft({20.4, 0}, QRect(10, 30, 800, 600)), QPoint(30, 630));

    runInOffscreenQt([](QtSession& session) {
        QRect screen = QGuiApplication::primaryScreen()->geometry();
        Alert alert = threeButtonAlert();
        alert.topLeft = Point {40, static_cast<double>(screen.height()) - 60};
        whenAlertShows(session, [&](AlertDialog& dialog) {
            EXPECT_EQ(dialog.pos(), QPoint(screen.x() + 40, screen.y() + 60));
            dialog.button(0)->click();
        });
        session.ui.runModal(alert);
    });
}

TEST(QtUi, IconIsTheGivenImageOrTheApplicationsWithCriticalBadged)
{
    runInOffscreenQt([](QtSession&) {
        QPixmap red(64, 64);
        red.fill(Qt::red);
        QString path = QDir::temp().filePath("ferrolatch-qt-icon-test.png");
        ASSERT_TRUE(red.save(path));
        QIcon application = drawnApplicationIcon();

        Alert alert;
        alert.iconPath = path.toStdString();
        QImage given = alertIcon(alert, application).toImage();
        EXPECT_EQ(given.pixelColor(32, 32), QColor(Qt::red));

        alert.iconPath = "/nonexistent/icon.png";
        QImage fallback = alertIcon(alert, application).toImage();
        EXPECT_EQ(fallback.pixelColor(40, 48), application.pixmap(64, 64).toImage().pixelColor(40, 48));

        alert.iconPath = path.toStdString();
        alert.style = AlertStyle::Critical;
        QImage critical = alertIcon(alert, application).toImage();
        EXPECT_EQ(critical.pixelColor(56, 56), QColor(Qt::red)); // the badge, bottom right
        EXPECT_NE(critical.pixelColor(32, 20), QColor(Qt::red)); // the caution sign above it
        QFile::remove(path);
    });
}

TEST(QtUi, AnchorWindowIsAPlainTitledWindowThatShowsAndHides)
{
    runInOffscreenQt([](QtSession& session) {
        std::unique_ptr<Window> window = session.ui.createWindow({"Ferrolatch", {460, 180}, true, true});
        QWidget* widget = nullptr;
        for (QWidget* candidate : QApplication::topLevelWidgets()) {
            if (candidate->windowTitle() == "Ferrolatch")
                widget = candidate;
        }
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->size(), QSize(460, 180));
        EXPECT_FALSE(widget->isVisible());
        window->makeKeyAndOrderFront();
        EXPECT_TRUE(widget->isVisible());
        session.ui.activate();
        window->orderOut();
        EXPECT_FALSE(widget->isVisible());

        std::unique_ptr<Window> fixed = session.ui.createWindow({"Fixed", {200, 100}, false, false});
        for (QWidget* candidate : QApplication::topLevelWidgets()) {
            if (candidate->windowTitle() == "Fixed") {
                EXPECT_FALSE(candidate->windowFlags() & Qt::WindowCloseButtonHint);
            }
        }
        window.reset();
        EXPECT_EQ(QApplication::topLevelWidgets().size(), 1);
    });
}

// Draws a representative alert so its look can be checked by eye: set
// FERROLATCH_QT_SNAPSHOT to a PNG path to keep the picture.
TEST(QtUi, RepresentativeAlertRendersItsParts)
{
    runInOffscreenQt([](QtSession& session) {
        Alert alert;
        alert.style = AlertStyle::Warning;
        alert.messageText = "Set up the drive “SanDisk Ultra”?";
        alert.informativeText = "Ferrolatch erases the whole disk and creates an encrypted volume that your passkey "
                                "unlocks. Everything on the disk will be lost.";
        alert.buttons = {{"Erase and Set Up", true}, {"Cancel"}};
        Grid grid = gridOf(row("Volume name:", TextField {"Ferrolatch Data", "Name", {300, 24}}),
                           row("Drive:", PopUpButton {{"disk4 — SanDisk Ultra, 64 GB"}, 0, {300, 26}}));
        grid.size = {420, 60};
        alert.accessory = std::move(grid);
        whenAlertShows(session, [](AlertDialog& dialog) {
            QImage image = dialog.grab().toImage();
            EXPECT_EQ(image.size(), dialog.size());
            QColor background = image.pixelColor(2, 2);
            EXPECT_NE(image.pixelColor(20 + 32, 16 + 60), background); // the icon's lock body
            QByteArray snapshot = qgetenv("FERROLATCH_QT_SNAPSHOT");
            if (!snapshot.isEmpty()) {
                EXPECT_TRUE(image.save(QString::fromLocal8Bit(snapshot)));
            }
            dialog.button(1)->click();
        });
        session.ui.runModal(alert);
    });
}
