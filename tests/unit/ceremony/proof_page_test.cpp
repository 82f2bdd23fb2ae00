#include "ceremony/proof_page.h"

#include <gtest/gtest.h>

using namespace ferrolatch;

namespace {

std::size_t count(const std::string& text, const std::string& part)
{
    std::size_t found = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++found;
    return found;
}

}

TEST(ProofPage, CarriesEachModesTextsAndConstants)
{
    struct Case {
        const char* mode;
        std::optional<std::string> credential;
        const char* title;
        const char* button;
        const char* running;
        const char* existing;
    };
    const Case cases[] = {
        {"enroll", std::nullopt, "Create Ferrolatch proof passkey", "Create passkey", "Creating the proof passkey…",
         "const existingCredential = null;"},
        {"unlock", "Q3JlZA", "Unlock Ferrolatch proof", "Use passkey", "Requesting the proof passkey…",
         "const existingCredential = \"Q3JlZA\";"},
        {"Enroll", "Q3JlZA", "Unlock Ferrolatch proof", "Use passkey", "Requesting the proof passkey…",
         "const existingCredential = \"Q3JlZA\";"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        std::string page = proofPage(c.mode, "dG9rZW4", "dXNlcg", "c2FsdA", c.credential);
        EXPECT_TRUE(page.starts_with("<!doctype html>"));
        EXPECT_EQ(count(page, "<title>" + std::string(c.title) + "</title>"), 1u);
        EXPECT_EQ(count(page, "<h1>" + std::string(c.title) + "</h1>"), 1u);
        EXPECT_EQ(count(page, "<button id=\"go\">" + std::string(c.button) + "</button>"), 1u);
        EXPECT_EQ(count(page, "<div id=\"status\">Waiting for you.</div>"), 1u);
        EXPECT_EQ(count(page, "const RUNNING_STATUS = \"" + std::string(c.running) + "\";"), 1u);
        EXPECT_EQ(count(page, c.existing), 1u);
        // The five constants first, in their order.
        std::size_t at = page.find("<script>");
        for (const std::string& constant :
             {"const mode = \"" + std::string(c.mode) + "\";", std::string("const token = \"dG9rZW4\";"),
              std::string("const userID = \"dXNlcg\";"), std::string("const salt = \"c2FsdA\";"),
              std::string(c.existing)}) {
            std::size_t next = page.find(constant, at);
            ASSERT_NE(next, std::string::npos) << constant;
            EXPECT_EQ(page.substr(at, next - at).find("const "), std::string::npos) << constant;
            at = next + constant.size();
        }
    }
}

TEST(ProofPage, HasTheFixedStructureAndParameters)
{
    std::string page = proofPage("enroll", "dG9rZW4", "dXNlcg", "c2FsdA", std::nullopt);
    for (const char* part : {
             "<meta charset=\"utf-8\">", "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">",
             ":root { color-scheme: light dark; font: 16px system-ui; }",
             "body { max-width: 42rem; margin: 12vh auto; padding: 2rem; }",
             "button { font: inherit; padding: .8rem 1.2rem; }",
             "#status { margin-top: 1.25rem; white-space: pre-wrap; }",
             "<p>This is a local-only Ferrolatch experiment. Safari will use an iCloud Keychain passkey and return a "
             "PRF result to the helper listening on this Mac.</p>",
             "rpId: \"localhost\"", "rp: { id: \"localhost\", name: \"Ferrolatch local proof\" }",
             "name: \"ferrolatch-proof\", displayName: \"Ferrolatch proof\"",
             "{ type: \"public-key\", alg: -7 }, { type: \"public-key\", alg: -257 }", "timeout: 120000",
             "attestation: \"none\"", "residentKey: \"required\"", "userVerification: \"required\"",
             "prf: { eval: { first: fromBase64URL(salt) } }", "fetch(\"/result/\" + token",
             "\"Content-Type\": \"application/json\"",
             "JSON.stringify({ credentialID: credentialText, prfOutput: toBase64URL(prf) })",
             "Passkey created. Confirm once more to produce the PRF output…",
             "Passkey confirmed. Completing the local proof…", "Proof stopped: ",
             "This browser does not expose WebAuthn platform credentials.",
             "No user-verifying platform authenticator is available.",
             "The selected passkey did not return a PRF result."}) {
        EXPECT_NE(page.find(part), std::string::npos) << part;
    }
    // Self-contained: nothing loaded from elsewhere.
    EXPECT_EQ(page.find("src="), std::string::npos);
    EXPECT_EQ(page.find("href="), std::string::npos);
}

TEST(ProofPage, Base64URLTextIsOnlyTheUnpaddedAlphabet)
{
    EXPECT_TRUE(isBase64URLText("AZaz09-_"));
    for (const char* bad : {"", "a=", "a+b", "a/b", "a b", "a\"b", "a<b", "a\\b", "\xC3\xA9", "a\nb"})
        EXPECT_FALSE(isBase64URLText(bad)) << bad;
}
