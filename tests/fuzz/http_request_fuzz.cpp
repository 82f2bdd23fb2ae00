// Any local process can connect to the proof server: whatever bytes it sends,
// in whatever pieces, reading, routing and decoding must end in a request or
// one of the server's own failures, never read past the input or crash.
#include "ceremony/proof_server.h"

#include "common/errors.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

using namespace ferrolatch;

namespace {

struct FuzzClock final : ferrolatch::Clock {
    double time = 0;
    double now() override { return time; }
};

// Serves the input in pieces of one size, each costing a little time.
struct PiecewiseConnection final : LoopbackConnection {
    FuzzClock& clock;
    std::span<const std::uint8_t> rest;
    std::size_t piece;
    PiecewiseConnection(FuzzClock& c, std::span<const std::uint8_t> bytes, std::size_t size)
        : clock(c), rest(bytes), piece(size) {}
    std::size_t receive(std::span<std::uint8_t> buffer, double timeoutSeconds) override
    {
        clock.time += std::min(timeoutSeconds, 0.01);
        std::size_t count = std::min({piece, buffer.size(), rest.size()});
        std::copy_n(rest.begin(), count, buffer.begin());
        rest = rest.subspan(count);
        return count;
    }
    std::size_t send(std::span<const std::uint8_t> bytes) override { return bytes.size(); }
};

}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    std::size_t piece = 1 + data[0] % 64;
    std::span<const std::uint8_t> input(data + 1, size - 1);

    FuzzClock clock;
    PiecewiseConnection connection(clock, input, piece);
    HTTPRequest request = readHTTPRequest(connection, clock, 1000.0);
    if (request.bytes.size() > input.size() || !std::equal(request.bytes.begin(), request.bytes.end(), input.begin()))
        std::abort();
    if (request.malformed)
        return 0;

    std::optional<std::string> header = requestHeaderText(request.bytes);
    if (!header)
        return 0;
    std::span<const std::uint8_t> all(request.bytes);
    std::size_t bodyStart = std::string_view(reinterpret_cast<const char*>(all.data()), all.size()).find("\r\n\r\n") + 4;
    try {
        Bytes body = decodeRequestBody(all.subspan(bodyStart), *header);
        if (body.size() > all.size() - bodyStart)
            std::abort();
        BrowserReply reply = decodeBrowserReply(body);
        checkBrowserReply(reply, std::nullopt);
        if (reply.credentialID.empty() || reply.prfOutput.size() > browserReplyFieldBound)
            std::abort();
    } catch (const ProofError&) {
    } catch (const PlatformError&) {
    }
    return 0;
}
