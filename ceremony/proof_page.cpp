#include "ceremony/proof_page.h"

namespace ferrolatch {

namespace {

// Everything after the five constants. The base64url helpers follow the
// server's rules; the PRF result is posted exactly as the server reads it.
constexpr std::string_view proofScript = R"JS(
const statusElement = document.getElementById("status");
const button = document.getElementById("go");
function fromBase64URL(text) {
  let base64 = text.replace(/-/g, "+").replace(/_/g, "/");
  while (base64.length % 4 !== 0) base64 += "=";
  const binary = atob(base64);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
  return bytes;
}
function toBase64URL(buffer) {
  const bytes = new Uint8Array(buffer);
  let binary = "";
  for (const byte of bytes) binary += String.fromCharCode(byte);
  return btoa(binary).replace(/\+/g, "-").replace(/\//g, "_").replace(/=+$/, "");
}
function randomChallenge() {
  return crypto.getRandomValues(new Uint8Array(32));
}
const challenge = randomChallenge();
function prfResultOf(credential) {
  const results = credential.getClientExtensionResults();
  return results && results.prf && results.prf.results ? results.prf.results.first : undefined;
}
function assertCredential(credentialText) {
  return navigator.credentials.get({
    publicKey: {
      challenge: randomChallenge(),
      rpId: "localhost",
      allowCredentials: [{ type: "public-key", id: fromBase64URL(credentialText) }],
      userVerification: "required",
      extensions: { prf: { eval: { first: fromBase64URL(salt) } } }
    }
  });
}
function show(text) {
  statusElement.textContent = text;
}
class ProofStop extends Error {}
async function ceremony() {
  if (!window.PublicKeyCredential || typeof PublicKeyCredential.isUserVerifyingPlatformAuthenticatorAvailable !== "function")
    throw new ProofStop(NO_WEBAUTHN);
  if (!(await PublicKeyCredential.isUserVerifyingPlatformAuthenticatorAvailable()))
    throw new ProofStop(NO_PLATFORM_AUTHENTICATOR);
  show(RUNNING_STATUS);
  let credentialText;
  let prf;
  if (mode === "enroll") {
    const credential = await navigator.credentials.create({
      publicKey: {
        challenge,
        rp: { id: "localhost", name: "Ferrolatch local proof" },
        user: { id: fromBase64URL(userID), name: "ferrolatch-proof", displayName: "Ferrolatch proof" },
        pubKeyCredParams: [{ type: "public-key", alg: -7 }, { type: "public-key", alg: -257 }],
        timeout: 120000,
        attestation: "none",
        authenticatorSelection: { residentKey: "required", requireResidentKey: true, userVerification: "required" },
        extensions: { prf: { eval: { first: fromBase64URL(salt) } } }
      }
    });
    credentialText = toBase64URL(credential.rawId);
    prf = prfResultOf(credential);
    if (!prf) {
      show(SECOND_CONFIRMATION_STATUS);
      prf = prfResultOf(await assertCredential(credentialText));
    }
  } else {
    const credential = await assertCredential(existingCredential);
    credentialText = toBase64URL(credential.rawId);
    prf = prfResultOf(credential);
  }
  if (!prf) throw new ProofStop(NO_PRF);
  show(COMPLETING_STATUS);
  const answer = await fetch("/result/" + token, {
    method: "POST",
    headers: { "Content-Type": "application/json" },
    body: JSON.stringify({ credentialID: credentialText, prfOutput: toBase64URL(prf) })
  });
  const text = await answer.text();
  if (!answer.ok) throw new ProofStop(text);
  show(text);
}
button.addEventListener("click", async () => {
  button.disabled = true;
  try {
    await ceremony();
  } catch (error) {
    show(STOPPED_PREFIX + (error && error.message ? error.message : String(error)));
    button.disabled = false;
  }
});
)JS";

// The page's own fixed texts, as JavaScript string literals (none holds a
// quote or a backslash).
std::string literal(std::string_view text)
{
    return "\"" + std::string(text) + "\"";
}

}

ProofPageTexts proofPageTexts(std::string_view mode)
{
    if (mode == "enroll")
        return {"Create Ferrolatch proof passkey", "Create passkey", "Creating the proof passkey…"};
    return {"Unlock Ferrolatch proof", "Use passkey", "Requesting the proof passkey…"};
}

bool isBase64URLText(std::string_view text)
{
    if (text.empty())
        return false;
    for (char c : text) {
        bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!allowed)
            return false;
    }
    return true;
}

std::string proofPage(std::string_view mode, std::string_view token, std::string_view userID, std::string_view salt,
                      const std::optional<std::string>& existingCredential)
{
    ProofPageTexts texts = proofPageTexts(mode);
    std::string page;
    page += "<!doctype html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    page += "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">\n";
    page += "<title>" + std::string(texts.title) + "</title>\n";
    page += "<style>\n"
            ":root { color-scheme: light dark; font: 16px system-ui; }\n"
            "body { max-width: 42rem; margin: 12vh auto; padding: 2rem; }\n"
            "button { font: inherit; padding: .8rem 1.2rem; }\n"
            "#status { margin-top: 1.25rem; white-space: pre-wrap; }\n"
            "</style>\n</head>\n<body>\n";
    page += "<h1>" + std::string(texts.title) + "</h1>\n";
    page += "<p>" + std::string(proofPageIntroduction) + "</p>\n";
    page += "<button id=\"go\">" + std::string(texts.buttonText) + "</button>\n";
    page += "<div id=\"status\">" + std::string(proofPageWaitingStatus) + "</div>\n";
    page += "<script>\n";
    page += "const mode = " + literal(mode) + ";\n";
    page += "const token = " + literal(token) + ";\n";
    page += "const userID = " + literal(userID) + ";\n";
    page += "const salt = " + literal(salt) + ";\n";
    page += "const existingCredential = " + (existingCredential ? literal(*existingCredential) : "null") + ";\n";
    page += "const RUNNING_STATUS = " + literal(texts.runningStatus) + ";\n";
    page += "const SECOND_CONFIRMATION_STATUS = " + literal(proofPageSecondConfirmationStatus) + ";\n";
    page += "const COMPLETING_STATUS = " + literal(proofPageCompletingStatus) + ";\n";
    page += "const STOPPED_PREFIX = " + literal(proofPageStoppedPrefix) + ";\n";
    page += "const NO_WEBAUTHN = " + literal(proofPageNoWebAuthn) + ";\n";
    page += "const NO_PLATFORM_AUTHENTICATOR = " + literal(proofPageNoPlatformAuthenticator) + ";\n";
    page += "const NO_PRF = " + literal(proofPageNoPRF) + ";\n";
    page += proofScript;
    page += "</script>\n</body>\n</html>\n";
    return page;
}

}
