#pragma once

#include "common/secret_bytes.h"
#include "platform/loopback_sockets.h"
#include "platform/main_loop.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolatch {

using Bytes = std::vector<std::uint8_t>;

// What the page posts back: both fields base64url text, as received. The PRF
// output's text is as secret as its bytes, so it is held like them.
struct BrowserReply {
    std::string credentialID;
    SecretBytes prfOutput;
};

inline constexpr std::size_t httpReadSize = 8192;
inline constexpr std::size_t httpRequestBound = 0xFFFFF; // no further read once more is buffered
inline constexpr double httpReceiveTimeout = 0.25;       // seconds of silence that end a request
inline constexpr std::size_t browserReplyFieldBound = 2048;

// A request as read; it may carry a PRF output, so its bytes are zeroed when
// it goes.
struct HTTPRequest {
    HTTPRequest() = default;
    HTTPRequest(HTTPRequest&&) = default;
    HTTPRequest& operator=(HTTPRequest&&) = default;
    ~HTTPRequest();
    Bytes bytes;
    // The header announced a length that cannot be honoured (empty, signed,
    // or past the end of memory): the request is answered as malformed.
    bool malformed = false;
};

// Reads one request: up to its Content-Length, or, for a POST without one,
// until the sender pauses; never past the bound, and never after
// readDeadline on clock, so a client that trickles bytes cannot hold the
// ceremony open.
HTTPRequest readHTTPRequest(LoopbackConnection& connection, Clock& clock, double readDeadline);

// The chunked transfer coding undone when the header asks for it; otherwise
// the body as it is. Fails with the ProofError of the first fault. The
// result never reallocates, so wiping it (wipeBytes) leaves no copy behind.
Bytes decodeRequestBody(std::span<const std::uint8_t> body, std::string_view headerText);

Bytes httpResponse(std::string_view statusText, std::string_view contentType, std::span<const std::uint8_t> body);
Bytes httpResponse(std::string_view statusText, std::string_view contentType, std::string_view body);

// The posted JSON as a reply; a missing key or a value that is not a string
// fails with the decoder's description.
BrowserReply decodeBrowserReply(std::span<const std::uint8_t> body);

// Validates a decoded reply against the ceremony; fails with the reason the
// browser is told.
void checkBrowserReply(const BrowserReply& reply, const std::optional<std::string>& expectedCredential);

// The header text of a request: the bytes before the first blank line as
// UTF-8, or empty when they are not UTF-8; nothing when there is no blank line.
std::optional<std::string> requestHeaderText(std::span<const std::uint8_t> request);

// Overwrites the bytes with zeros.
void wipeBytes(Bytes& bytes);

// Writes all of the bytes, stopping silently when the peer takes no more.
void writeResponse(LoopbackConnection& connection, std::span<const std::uint8_t> response);

}
