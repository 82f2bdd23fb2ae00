#include "commands/offline_recovery.h"

#include "tests/support/recovery_fakes.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace ferrolatch;
using namespace ferrolatch::recovery_testing;

namespace {

const std::string key43 = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefg";
const std::string uuid = "6A0D3C2E-1F4B-4E8A-9C7D-5B3A2F1E0D9C";

const std::string expectedCard = "Volume: Backup\nUUID: " + uuid
    + "\n\n0123 4567 89AB CDEF GHIJ KLMN OPQR STUV WXYZ abcd efg"
      "\n\nManual recovery: open Disk Utility, select Backup, choose Mount or Unlock, and enter the key without spaces.";

FakeUi::Answer card(std::optional<std::size_t> button) { return {"Offline Ferrolatch recovery key", button, {}, {}}; }
FakeUi::Answer confirm(std::optional<std::size_t> button, std::optional<std::string> typed)
{
    return {"Confirm your offline copy", button, std::move(typed), {}};
}

struct CardFixture : ::testing::Test {
    FakeUi ui;
    std::ostringstream out;
    SecretBytes password = SecretBytes::copyOf(key43);

    void show() { showOfflineRecoveryCard(ui, out, password, "Backup", uuid); }
};

}

TEST_F(CardFixture, ShowsTheCardCaptureExcludedThenConfirmsTheExactCode)
{
    ui.answers = {card(0), confirm(0, "Zabcdefg")};
    show();
    EXPECT_EQ(out.str(), "OFFLINE RECOVERY CARD CONFIRMED\n");

    ASSERT_EQ(ui.shown.size(), 2u);
    const ShownAlert& shownCard = ui.shown[0];
    EXPECT_EQ(shownCard.style, AlertStyle::Critical);
    EXPECT_EQ(shownCard.informative,
              "Write this key on paper or store it in an independent offline record. Anyone with it can unlock the "
              "disk. Never save it on the Ferrolatch disk or send it to QUORVEL. Spaces below are only for readability.");
    EXPECT_EQ(shownCard.buttons, (std::vector<std::string> {"I Saved This Key", "Later"}));
    EXPECT_TRUE(shownCard.excludedFromCapture);
    EXPECT_EQ(shownCard.accessoryKind, "label");
    EXPECT_EQ(shownCard.labelText, expectedCard);
    EXPECT_EQ(shownCard.labelFont.family, Font::Family::MonospacedSystem);
    EXPECT_EQ(shownCard.labelFont.pointSize, 15);
    EXPECT_EQ(shownCard.labelFont.weight, Font::Weight::Medium);
    EXPECT_EQ(shownCard.accessorySize.width, 560);
    EXPECT_EQ(shownCard.accessorySize.height, 170);
    EXPECT_EQ(shownCard.maximumNumberOfLines, 0);

    const ShownAlert& shownConfirm = ui.shown[1];
    EXPECT_EQ(shownConfirm.style, AlertStyle::Informational);
    EXPECT_EQ(shownConfirm.informative, "Enter the final 8 characters from the recovery key you saved.");
    EXPECT_EQ(shownConfirm.buttons, (std::vector<std::string> {"Confirm", "Show Key Again"}));
    EXPECT_TRUE(shownConfirm.excludedFromCapture);
    EXPECT_EQ(shownConfirm.accessoryKind, "secure");
    EXPECT_EQ(shownConfirm.accessorySize.width, 320);
    EXPECT_EQ(shownConfirm.accessorySize.height, 24);
    EXPECT_TRUE(shownConfirm.firstResponder);

    // The card comes to the front after layout; the confirmation is not activated again.
    EXPECT_EQ(ui.events, (std::vector<std::string> {"layout Offline Ferrolatch recovery key", "activate",
                                                    "run Offline Ferrolatch recovery key",
                                                    "layout Confirm your offline copy", "run Confirm your offline copy"}));
    EXPECT_TRUE(password.equals(key43)) << "the caller's bytes are not touched";
}

TEST_F(CardFixture, AnythingButTheExactCodeBeepsAndShowsTheSameCardAgain)
{
    const std::pair<const char*, FakeUi::Answer> misses[] = {
        {"with the space the card shows", confirm(0, "Z abcdefg")},
        {"upper case", confirm(0, "ZABCDEFG")},
        {"lower case", confirm(0, "zabcdefg")},
        {"leading space", confirm(0, " Zabcdefg")},
        {"trailing line feed", confirm(0, "Zabcdefg\n")},
        {"seven characters", confirm(0, "abcdefg")},
        {"the whole key", confirm(0, key43)},
        {"empty", confirm(0, "")},
        {"right code, Show Key Again", confirm(1, "Zabcdefg")},
        {"right code, dismissed", confirm(std::nullopt, "Zabcdefg")},
    };
    for (const auto& [name, miss] : misses) {
        SCOPED_TRACE(name);
        ui = FakeUi {};
        out.str("");
        ui.answers = {card(0), miss, card(0), confirm(0, "Zabcdefg")};
        show();
        EXPECT_EQ(out.str(), "OFFLINE RECOVERY CARD CONFIRMED\n");
        ASSERT_EQ(ui.shown.size(), 4u);
        EXPECT_EQ(ui.shown[2].labelText, expectedCard);
        EXPECT_EQ(std::count(ui.events.begin(), ui.events.end(), "beep"), 1);
        auto beep = std::find(ui.events.begin(), ui.events.end(), "beep");
        auto secondCard = std::find(beep, ui.events.end(), "run Offline Ferrolatch recovery key");
        EXPECT_NE(secondCard, ui.events.end()) << "the beep comes before the card returns";
    }
}

TEST_F(CardFixture, LaterOrDismissalDefersAfterAnyNumberOfRounds)
{
    ui.answers = {card(0), confirm(1, {}), card(0), confirm(0, "nope"), card(1)};
    show();
    EXPECT_EQ(out.str(), "OFFLINE RECOVERY CARD DEFERRED\n");
    EXPECT_EQ(std::count(ui.events.begin(), ui.events.end(), "beep"), 2);

    ui = FakeUi {};
    out.str("");
    ui.answers = {card(std::nullopt)};
    show();
    EXPECT_EQ(out.str(), "OFFLINE RECOVERY CARD DEFERRED\n");
}

TEST_F(CardFixture, RefusesPasswordsTooShortOrNotUTF8BeforeShowingAnything)
{
    for (std::string bad : {std::string("1234567"), std::string("abcdefg\xFF"), std::string()}) {
        password = SecretBytes::copyOf(bad);
        try {
            show();
            ADD_FAILURE() << "accepted a password of " << bad.size() << " bytes";
        } catch (const ProofError& error) {
            EXPECT_STREQ(error.what(), "recovery password was not valid UTF-8");
        }
    }
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_EQ(out.str(), "");

    password = SecretBytes::copyOf("12345678");
    ui.answers = {card(0), confirm(0, "12345678")};
    show();
    EXPECT_EQ(out.str(), "OFFLINE RECOVERY CARD CONFIRMED\n");
}

TEST_F(CardFixture, TheOfferLeadsToTheCardOrDefers)
{
    ui.answers = {{"Create an offline recovery card?", 1, {}, {}}};
    offerOfflineRecoveryCard(ui, out, password, "Backup", uuid);
    EXPECT_EQ(out.str(), "OFFLINE RECOVERY CARD DEFERRED\n");
    ASSERT_EQ(ui.shown.size(), 1u);
    const ShownAlert& offer = ui.shown[0];
    EXPECT_EQ(offer.message, "Create an offline recovery card?");
    EXPECT_EQ(offer.style, AlertStyle::Informational);
    EXPECT_EQ(offer.informative,
              "Recommended: keep one copy of the APFS recovery key outside iCloud Passwords. It can recover this disk "
              "if you lose access to your Apple Account, passkey, or Ferrolatch. You can also create it later from the "
              "Ferrolatch menu.");
    EXPECT_EQ(offer.buttons, (std::vector<std::string> {"Create Recovery Card", "Later"}));
    EXPECT_FALSE(offer.excludedFromCapture) << "the offer shows no key";
    EXPECT_EQ(ui.events.front(), "activate");

    ui = FakeUi {};
    out.str("");
    ui.answers = {{"Create an offline recovery card?", 0, {}, {}}, card(0), confirm(0, "Zabcdefg")};
    offerOfflineRecoveryCard(ui, out, password, "Backup", uuid);
    EXPECT_EQ(out.str(), "OFFLINE RECOVERY CARD CONFIRMED\n");

    // A card failure reaches the caller of the offer.
    ui = FakeUi {};
    out.str("");
    SecretBytes shortPassword = SecretBytes::copyOf("short");
    ui.answers = {{"Create an offline recovery card?", 0, {}, {}}};
    EXPECT_THROW(offerOfflineRecoveryCard(ui, out, shortPassword, "Backup", uuid), ProofError);
    EXPECT_EQ(out.str(), "");
}
