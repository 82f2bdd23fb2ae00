#include "ceremony/browser_ceremony.h"

#include "ceremony/proof_page.h"
#include "common/errors.h"
#include "crypto/base64url.h"
#include "crypto/random.h"

#include <exception>
#include <memory>

namespace ferrolatch {

namespace {

constexpr std::string_view textPlain = "text/plain; charset=utf-8";

struct ServedRequest {
    std::optional<BrowserReply> reply;  // the accepted result
    std::exception_ptr failure;         // the first rejected result ends the ceremony with it
};

std::string acceptedText(const std::string& mode)
{
    if (mode == "enroll")
        return "Passkey enrolled. Ferrolatch is creating and sealing the disposable APFS proof.";
    return "Passkey accepted. Ferrolatch is verifying the disposable APFS proof.";
}

class Ceremony {
public:
    Ceremony(BrowserCeremonyServices& services, const std::string& mode, std::string token, std::string page,
             const std::optional<std::string>& expectedCredential)
        : m_services(services), m_mode(mode), m_token(std::move(token)), m_page(std::move(page)),
          m_expected(expectedCredential)
    {
    }

    ServedRequest serve(LoopbackConnection& connection, double deadline)
    {
        double readDeadline = std::min(deadline, m_services.clock.now() + m_services.requestReadSeconds);
        HTTPRequest request = readHTTPRequest(connection, m_services.clock, readDeadline);
        std::optional<std::string> header = request.malformed ? std::nullopt : requestHeaderText(request.bytes);
        if (!header) {
            answer(connection, "400 Bad Request", textPlain, "Malformed request");
            return {};
        }
        std::string firstLine = header->substr(0, header->find_first_of("\r\n"));
        if (firstLine.starts_with("GET /proof/" + m_token + " ")) {
            answer(connection, "200 OK", "text/html; charset=utf-8", m_page);
            return {};
        }
        if (!firstLine.starts_with("POST /result/" + m_token + " ")) {
            answer(connection, "404 Not Found", textPlain, "Not found");
            return {};
        }
        try {
            // Only a header that is valid UTF-8 can name the route, so its
            // text is exactly the bytes before the blank line.
            std::size_t bodyStart = header->size() + 4;
            std::span<const std::uint8_t> body(request.bytes);
            Bytes decoded = decodeRequestBody(body.subspan(bodyStart), *header);
            struct Wiper {
                Bytes& bytes;
                ~Wiper() { wipeBytes(bytes); }
            } wiper {decoded};
            BrowserReply reply = decodeBrowserReply(decoded);
            checkBrowserReply(reply, m_expected);
            answer(connection, "200 OK", textPlain, acceptedText(m_mode));
            return {std::move(reply), nullptr};
        } catch (const std::exception& rejection) {
            answer(connection, "400 Bad Request", textPlain, "Rejected: " + std::string(rejection.what()));
            return {std::nullopt, std::current_exception()};
        }
    }

private:
    static void answer(LoopbackConnection& connection, std::string_view status, std::string_view type,
                       std::string_view body)
    {
        writeResponse(connection, httpResponse(status, type, body));
    }

    BrowserCeremonyServices& m_services;
    const std::string& m_mode;
    std::string m_token;
    std::string m_page;
    const std::optional<std::string>& m_expected;
};

}

BrowserReply runBrowserCeremony(BrowserCeremonyServices& services, const std::string& mode,
                                std::span<const std::uint8_t> salt, const std::optional<std::string>& expectedCredential)
{
    // The identifier comes from a manifest on some drive and stands unescaped
    // in the page's script: anything but base64url text could inject script.
    if (expectedCredential && !isBase64URLText(*expectedCredential))
        throw ProofError(malformedBase64URLMessage);

    LoopbackListening listening = services.sockets.listen(proofServerBacklog);
    switch (listening.failure) {
    case LoopbackSetupFailure::None: break;
    case LoopbackSetupFailure::Socket: throw ProofError("could not create local proof socket");
    case LoopbackSetupFailure::Bind: throw ProofError("could not bind the localhost proof server");
    case LoopbackSetupFailure::Address: throw ProofError("could not resolve the localhost proof port");
    }
    std::unique_ptr<LoopbackListener> listener = std::move(listening.listener);
    if (!listener || listener->port() == 0)
        throw ProofError("could not resolve the localhost proof port");

    std::string token = base64URLEncode(randomBytes(24).bytes());
    std::string userID = base64URLEncode(randomBytes(16).bytes());
    std::string saltText = base64URLEncode(salt);
    Ceremony ceremony(services, mode, token, proofPage(mode, token, userID, saltText, expectedCredential),
                      expectedCredential);

    std::string url = "http://localhost:" + std::to_string(listener->port()) + "/proof/" + token;
    services.openURL(url);
    services.out << "Safari opened for the " << mode
                 << " ceremony. Complete its passkey prompt within five minutes." << std::endl;

    double deadline = services.clock.now() + services.deadlineSeconds;
    while (services.clock.now() < deadline) {
        std::unique_ptr<LoopbackConnection> connection = listener->accept(1.0);
        if (!connection) {
            services.clock.idleUntil(std::min(deadline, services.clock.now() + 1.0));
            continue;
        }
        ServedRequest served = ceremony.serve(*connection, deadline);
        if (served.reply)
            return std::move(*served.reply);
        if (served.failure)
            std::rethrow_exception(served.failure);
    }
    throw ProofError("passkey ceremony timed out");
}

}
