#include "ceremony/proof_server.h"

#include "ceremony/proof_page.h"
#include "common/errors.h"
#include "common/json_bounds.h"
#include "common/utf8.h"
#include "crypto/base64url.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <nlohmann/json.hpp>
#include <openssl/crypto.h>

namespace ferrolatch {

namespace {

using Json = nlohmann::json;

constexpr std::string_view headerTerminator = "\r\n\r\n";

std::string_view textOf(std::span<const std::uint8_t> bytes)
{
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string lowercase(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// Lines end at CR LF or a lone LF.
std::vector<std::string_view> headerLines(std::string_view text)
{
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        std::string_view line = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    return lines;
}

std::string_view trimmed(std::string_view text)
{
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; };
    while (!text.empty() && space(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && space(text.back()))
        text.remove_suffix(1);
    return text;
}

enum class LengthVerdict { Absent, Length, Malformed };

struct ContentLength {
    LengthVerdict verdict = LengthVerdict::Absent;
    std::size_t value = 0;
};

// A decimal number with an optional sign. Text that is no number at all is
// treated as no length, as before; a length that is empty, negative or too
// large to add to the header's end is refused outright.
ContentLength parseContentLength(std::string_view line)
{
    std::string_view value = trimmed(line.substr(line.find(':') + 1));
    if (value.empty())
        return {LengthVerdict::Malformed};
    bool negative = false;
    if (value.front() == '+' || value.front() == '-') {
        negative = value.front() == '-';
        value.remove_prefix(1);
    }
    if (value.empty() || !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return {LengthVerdict::Absent};
    std::size_t number = 0;
    for (char digit : value) {
        if (number > (std::numeric_limits<std::size_t>::max() - 9) / 10)
            return {LengthVerdict::Malformed};
        number = number * 10 + static_cast<std::size_t>(digit - '0');
    }
    if (negative && number != 0)
        return {LengthVerdict::Malformed};
    return {LengthVerdict::Length, number};
}

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::size_t hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<std::size_t>(c - '0');
    return static_cast<std::size_t>((c | 0x20) - 'a' + 10);
}

PlatformError readCorrupt(const std::string& reason)
{
    return PlatformError("NSCocoaErrorDomain", 4864,
                         "The data couldn’t be read because it isn’t in the correct format: " + reason + ".");
}

const std::string& replyString(const Json& object, const char* key)
{
    auto member = object.find(key);
    if (member == object.end() || member->is_null())
        throw PlatformError("NSCocoaErrorDomain", 4865,
                            "The data couldn’t be read because it is missing: no value for key \"" + std::string(key)
                                + "\".");
    if (!member->is_string())
        throw readCorrupt("expected a string for key \"" + std::string(key) + "\" but found another type");
    return member->get_ref<const std::string&>();
}

}

HTTPRequest::~HTTPRequest()
{
    wipeBytes(bytes);
}

void wipeBytes(Bytes& bytes)
{
    if (!bytes.empty())
        OPENSSL_cleanse(bytes.data(), bytes.size());
}

HTTPRequest readHTTPRequest(LoopbackConnection& connection, Clock& clock, double readDeadline)
{
    HTTPRequest request;
    Bytes& buffer = request.bytes;
    // Room for the largest request up front: a growing buffer would leave
    // copies of a posted PRF output behind in freed memory.
    buffer.reserve(httpRequestBound + 1 + httpReadSize);
    std::optional<std::size_t> expectedLength;
    bool headerPending = true;
    std::uint8_t chunk[httpReadSize];

    while (buffer.size() <= httpRequestBound) {
        double remaining = readDeadline - clock.now();
        if (remaining <= 0)
            break;
        std::size_t count = connection.receive(chunk, std::min(httpReceiveTimeout, remaining));
        if (count == 0)
            break;
        buffer.insert(buffer.end(), chunk, chunk + count);

        if (headerPending) {
            std::string_view received = textOf(buffer);
            std::size_t terminator = received.find(headerTerminator);
            if (terminator == std::string_view::npos)
                continue;
            std::size_t headerEnd = terminator + headerTerminator.size();
            std::string_view header = received.substr(0, terminator);
            if (!isValidUTF8(header))
                header = {};
            std::optional<std::string_view> lengthLine;
            for (std::string_view line : headerLines(header)) {
                if (lowercase(line.substr(0, 15)) == "content-length:") {
                    lengthLine = line;
                    break;
                }
            }
            ContentLength length = lengthLine ? parseContentLength(*lengthLine) : ContentLength {};
            if (length.verdict == LengthVerdict::Malformed
                || (length.verdict == LengthVerdict::Length
                    && length.value > std::numeric_limits<std::size_t>::max() - headerEnd)) {
                request.malformed = true;
                break;
            }
            if (length.verdict == LengthVerdict::Length) {
                expectedLength = headerEnd + length.value;
                headerPending = false;
            } else if (!header.starts_with("POST ")) {
                expectedLength = headerEnd;
                headerPending = false;
            }
            // A POST without a length is read until its sender pauses.
        }
        if (expectedLength && buffer.size() >= *expectedLength)
            break;
    }
    OPENSSL_cleanse(chunk, sizeof chunk);
    return request;
}

Bytes decodeRequestBody(std::span<const std::uint8_t> body, std::string_view headerText)
{
    if (lowercase(headerText).find("transfer-encoding: chunked") == std::string::npos)
        return Bytes(body.begin(), body.end());

    std::string_view text = textOf(body);
    Bytes result;
    result.reserve(body.size());
    std::size_t position = 0;
    while (true) {
        if (position >= text.size())
            throw ProofError("chunked request omitted its terminal chunk");
        std::size_t lineEnd = text.find("\r\n", position);
        if (lineEnd == std::string_view::npos)
            throw ProofError("truncated chunk-size line");
        std::string_view sizeLine = text.substr(position, lineEnd - position);
        if (std::any_of(sizeLine.begin(), sizeLine.end(), [](char c) { return static_cast<unsigned char>(c) > 0x7F; }))
            throw ProofError("invalid chunk-size line");
        sizeLine = sizeLine.substr(0, sizeLine.find(';'));
        if (sizeLine.empty() || !std::all_of(sizeLine.begin(), sizeLine.end(), isHexDigit))
            throw ProofError("invalid chunk-size line");
        // Saturates: a size past any body is simply too long for this one.
        std::size_t size = 0;
        for (char digit : sizeLine)
            size = size > (std::numeric_limits<std::size_t>::max() >> 4) ? std::numeric_limits<std::size_t>::max()
                                                                          : (size << 4) | hexValue(digit);
        if (size == 0)
            return result;
        std::size_t dataStart = lineEnd + 2;
        std::size_t available = text.size() - dataStart;
        if (size > available || available - size < 2)
            throw ProofError("truncated chunked request body");
        result.insert(result.end(), body.begin() + static_cast<std::ptrdiff_t>(dataStart),
                      body.begin() + static_cast<std::ptrdiff_t>(dataStart + size));
        if (text.substr(dataStart + size, 2) != "\r\n")
            throw ProofError("invalid chunk terminator");
        position = dataStart + size + 2;
    }
}

Bytes httpResponse(std::string_view statusText, std::string_view contentType, std::span<const std::uint8_t> body)
{
    std::string head = "HTTP/1.1 " + std::string(statusText) + "\r\nContent-Type: " + std::string(contentType)
        + "\r\nContent-Length: " + std::to_string(body.size())
        + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
    Bytes response(head.begin(), head.end());
    response.insert(response.end(), body.begin(), body.end());
    return response;
}

Bytes httpResponse(std::string_view statusText, std::string_view contentType, std::string_view body)
{
    return httpResponse(statusText, contentType,
                        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
}

BrowserReply decodeBrowserReply(std::span<const std::uint8_t> body)
{
    std::string_view text = textOf(body);
    // The body may be up to a megabyte from any local process: no nesting
    // deep enough to exhaust the decoder's stack.
    if (jsonNestsDeeperThan(text, outsideJSONDepthLimit))
        throw readCorrupt("the given data was nested too deeply");
    Json object = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (object.is_discarded())
        throw readCorrupt("the given data was not valid JSON");
    if (!object.is_object())
        throw readCorrupt("expected a dictionary");
    // The decoder's own copy of the PRF text is zeroed however decoding ends.
    struct Wiper {
        Json& object;
        ~Wiper()
        {
            auto member = object.find("prfOutput");
            if (member != object.end() && member->is_string()) {
                std::string& held = member->get_ref<std::string&>();
                OPENSSL_cleanse(held.data(), held.size());
            }
        }
    } wiper {object};
    BrowserReply reply;
    reply.credentialID = replyString(object, "credentialID");
    const std::string& prf = replyString(object, "prfOutput");
    reply.prfOutput = SecretBytes::copyOf(std::string_view(prf));
    return reply;
}

void checkBrowserReply(const BrowserReply& reply, const std::optional<std::string>& expectedCredential)
{
    if (reply.credentialID.size() > browserReplyFieldBound || reply.prfOutput.size() > browserReplyFieldBound)
        throw ProofError("browser reply exceeded proof bounds");
    if (expectedCredential && reply.credentialID != *expectedCredential)
        throw ProofError("browser returned a different credential");
    // The identifier goes into a manifest and, later, into a page's script.
    if (!isBase64URLText(reply.credentialID))
        throw ProofError(malformedBase64URLMessage);
    auto prf = base64URLDecodeSecret(reply.prfOutput.bytes());
    if (!prf)
        throw ProofError(malformedBase64URLMessage);
    if (prf->size() != 32)
        throw ProofError("passkey PRF output was " + std::to_string(prf->size()) + " bytes, expected 32");
}

std::optional<std::string> requestHeaderText(std::span<const std::uint8_t> request)
{
    std::string_view text = textOf(request);
    std::size_t terminator = text.find(headerTerminator);
    if (terminator == std::string_view::npos)
        return std::nullopt;
    std::string_view header = text.substr(0, terminator);
    return isValidUTF8(header) ? std::string(header) : std::string();
}

void writeResponse(LoopbackConnection& connection, std::span<const std::uint8_t> response)
{
    while (!response.empty()) {
        std::size_t written = connection.send(response);
        if (written == 0)
            return;
        response = response.subspan(written);
    }
}

}
