// The request reader and body decoder over real sockets and over scripted
// connections on a clock the test moves.
#include "ceremony/proof_server.h"

#include "common/errors.h"
#include "platform/posix/posix_loopback_sockets.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <sys/socket.h>
#include <thread>

using namespace ferrolatch;

namespace {

struct SteadyClock final : Clock {
    double now() override
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }
};

struct ManualClock final : Clock {
    double time = 1000.0;
    double now() override { return time; }
    void idleUntil(double deadline) override { time = std::max(time, deadline); }
};

// Hands out scripted pieces, one per receive; each costs the clock `pause`
// seconds. Past the script it is silent forever, or trickles when asked to.
struct ScriptedConnection final : LoopbackConnection {
    ManualClock& clock;
    std::deque<std::string> pieces;
    double pause = 0.0;
    bool trickleForever = false;
    std::string sent;
    int receives = 0;

    ScriptedConnection(ManualClock& c, std::deque<std::string> p, double seconds = 0.0)
        : clock(c), pieces(std::move(p)), pause(seconds) {}

    std::size_t receive(std::span<std::uint8_t> buffer, double timeoutSeconds) override
    {
        ++receives;
        if (pieces.empty() && !trickleForever) {
            clock.time += timeoutSeconds;
            return 0;
        }
        clock.time += std::min(pause, timeoutSeconds);
        if (pause > timeoutSeconds)
            return 0;
        std::string piece = pieces.empty() ? std::string("x") : pieces.front();
        if (!pieces.empty())
            pieces.pop_front();
        std::size_t count = std::min(piece.size(), buffer.size());
        std::copy_n(piece.begin(), count, buffer.begin());
        return count;
    }
    std::size_t send(std::span<const std::uint8_t> bytes) override
    {
        sent.append(bytes.begin(), bytes.end());
        return bytes.size();
    }
};

std::string text(const Bytes& bytes)
{
    return {bytes.begin(), bytes.end()};
}

Bytes bytesOf(std::string_view text)
{
    return {text.begin(), text.end()};
}

struct SocketPair {
    int ends[2] {-1, -1};
    SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0); }
    ~SocketPair()
    {
        for (int end : ends)
            if (end >= 0)
                ::close(end);
    }
    void sendFromPeer(std::string_view bytes) { ASSERT_EQ(::send(ends[1], bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size())); }
    PosixLoopbackConnection serverEnd() { return PosixLoopbackConnection(FileDescriptor(std::exchange(ends[0], -1))); }
};

}

TEST(ReadHTTPRequest, StopsWhereTheRequestEnds)
{
    struct Case {
        const char* name;
        std::deque<std::string> pieces;
        std::string expected; // what is returned
        bool malformed = false;
    };
    const std::string json57 = R"({"credentialID":"abc","prfOutput":"0123456789abcdefgh"})";
    ASSERT_EQ(json57.size(), 55u);
    const std::string body57 = json57 + "\r\n";
    const Case cases[] = {
        {"GET ends at its blank line", {"GET /proof/t HTTP/1.1\r\nHost: x\r\n\r\n", "trailing"},
         "GET /proof/t HTTP/1.1\r\nHost: x\r\n\r\n"},
        {"Content-Length in pieces", {"POST /r HTTP/1.1\r\nContent-Length: 57\r\n\r\n", body57.substr(0, 20), body57.substr(20), "more"},
         "POST /r HTTP/1.1\r\nContent-Length: 57\r\n\r\n" + body57},
        {"header name in any case, a plus sign and LF lines", {"POST /r HTTP/1.1\ncOnTeNt-LeNgTh:  +3 \n\r\n\r\nab", "c", "def"},
         "POST /r HTTP/1.1\ncOnTeNt-LeNgTh:  +3 \n\r\n\r\nabc"},
        {"POST without a length is read until the pause", {"POST /r HTTP/1.1\r\n\r\n", "ab", "cd"},
         "POST /r HTTP/1.1\r\n\r\nabcd"},
        {"a length that is no number counts as none", {"GET / HTTP/1.1\r\nContent-Length: ten\r\n\r\n", "x"},
         "GET / HTTP/1.1\r\nContent-Length: ten\r\n\r\n"},
        {"no blank line: until the pause", {"GET /proof/t HTTP/1.1\r\n", "Host: x\r\n"}, "GET /proof/t HTTP/1.1\r\nHost: x\r\n"},
        {"empty length", {"POST /r HTTP/1.1\r\nContent-Length:\r\n\r\nabc"}, "", true},
        {"negative length", {"POST /r HTTP/1.1\r\nContent-Length: -5\r\n\r\nabc"}, "", true},
        {"length past the end of memory", {"POST /r HTTP/1.1\r\nContent-Length: 18446744073709551615\r\n\r\n"}, "", true},
        {"length of more digits than any number", {"POST /r HTTP/1.1\r\nContent-Length: 999999999999999999999999\r\n\r\n"}, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ManualClock clock;
        ScriptedConnection connection(clock, c.pieces);
        HTTPRequest request = readHTTPRequest(connection, clock, clock.time + 10.0);
        EXPECT_EQ(request.malformed, c.malformed);
        if (!c.malformed) {
            EXPECT_EQ(text(request.bytes), c.expected);
        }
    }
}

TEST(ReadHTTPRequest, StopsOnceMoreThanTheBoundIsBuffered)
{
    ManualClock clock;
    ScriptedConnection connection(clock, {"POST /r HTTP/1.1\r\n\r\n"});
    connection.trickleForever = true;
    std::string big(httpReadSize, 'a');
    for (int i = 0; i < 200; ++i)
        connection.pieces.push_back(big);
    HTTPRequest request = readHTTPRequest(connection, clock, clock.time + 10.0);
    EXPECT_GT(request.bytes.size(), httpRequestBound);
    EXPECT_LE(request.bytes.size(), httpRequestBound + httpReadSize);
}

// A local process that sends one byte every 0.2 s never pauses for 0.25 s;
// its reading ends at the deadline it was given, not when it stops sending.
TEST(ReadHTTPRequest, ATricklingClientIsCutOffAtTheReadDeadline)
{
    ManualClock clock;
    ScriptedConnection connection(clock, {}, 0.2);
    connection.trickleForever = true;
    double deadline = clock.time + 10.0;
    HTTPRequest request = readHTTPRequest(connection, clock, deadline);
    EXPECT_LE(clock.time, deadline + 1e-9);
    EXPECT_GE(clock.time, deadline - 0.2);
    EXPECT_GE(request.bytes.size(), 49u);
    EXPECT_LE(request.bytes.size(), 50u);
}

TEST(ReadHTTPRequest, AKnownLengthCompletesWithoutWaitingForThePause)
{
    SocketPair pair;
    std::string request = "POST /result/t HTTP/1.1\r\nContent-Length: 57\r\n\r\n" + std::string(57, 'x');
    pair.sendFromPeer(request); // the peer stays open: only the length can end the read
    PosixLoopbackConnection connection = pair.serverEnd();
    SteadyClock clock;
    double started = clock.now();
    HTTPRequest read = readHTTPRequest(connection, clock, started + 10.0);
    EXPECT_LT(clock.now() - started, 0.2);
    EXPECT_EQ(text(read.bytes), request);
}

TEST(ReadHTTPRequest, ARequestWithoutItsBlankLineIsReadUntilTheSenderPauses)
{
    SocketPair pair;
    pair.sendFromPeer("GET /proof/t HTTP/1.1\r\n");
    PosixLoopbackConnection connection = pair.serverEnd();
    SteadyClock clock;
    double started = clock.now();
    HTTPRequest read = readHTTPRequest(connection, clock, started + 10.0);
    EXPECT_GE(clock.now() - started, 0.24);
    EXPECT_LT(clock.now() - started, 2.0);
    EXPECT_EQ(text(read.bytes), "GET /proof/t HTTP/1.1\r\n");
}

TEST(LoopbackConnection, WritingToAClosedPeerFailsQuietlyInsteadOfEndingTheProcess)
{
    SocketPair pair;
    PosixLoopbackConnection connection = pair.serverEnd();
    ::close(std::exchange(pair.ends[1], -1));
    std::string big(1 << 20, 'a');
    Bytes response = httpResponse("200 OK", "text/plain", big);
    writeResponse(connection, response); // SIGPIPE would end this test process
    EXPECT_EQ(connection.send(response), 0u);
}

TEST(DecodeRequestBody, UndoesTheChunkedCodingOrNamesTheFault)
{
    struct Case {
        const char* name;
        std::string header;
        std::string body;
        std::string decoded; // or, with error set, nothing
        std::string error;
    };
    const std::string chunked = "POST /r HTTP/1.1\r\nTransfer-Encoding: chunked";
    const std::string letters = "abcdefghijklmnopqrstuvwxyz";
    const Case cases[] = {
        {"not chunked: unchanged", "POST /r HTTP/1.1\r\nContent-Length: 3", "1\r\nx", "1\r\nx", ""},
        {"the exact words only", "POST /r HTTP/1.1\r\nTransfer-Encoding:chunked", "1\r\nx", "1\r\nx", ""},
        {"1a then 0", chunked, "1a\r\n" + letters + "\r\n0\r\n\r\n", letters, ""},
        {"upper-case hex, an extension, unexamined trailers", "TRANSFER-ENCODING: CHUNKED",
         "1A;name=value\r\n" + letters + "\r\n2\r\n!!\r\n0\r\nTrailer: x\r\n", letters + "!!", ""},
        {"0x prefix", chunked, "0x1a\r\n" + letters + "\r\n0\r\n\r\n", "", "invalid chunk-size line"},
        {"a plus sign", chunked, "+1a\r\n" + letters + "\r\n0\r\n\r\n", "", "invalid chunk-size line"},
        {"a minus sign", chunked, "-1\r\nx\r\n0\r\n\r\n", "", "invalid chunk-size line"},
        {"white space", chunked, "1a \r\n" + letters + "\r\n0\r\n\r\n", "", "invalid chunk-size line"},
        {"an empty size", chunked, "\r\nx\r\n0\r\n\r\n", "", "invalid chunk-size line"},
        {"an empty size before an extension", chunked, ";x\r\nx\r\n0\r\n\r\n", "", "invalid chunk-size line"},
        {"a size line that is not ASCII", chunked, "1\xC3\xA9\r\nx\r\n0\r\n\r\n", "", "invalid chunk-size line"},
        {"data without CR LF after it", chunked, "1a\r\n" + letters + "XY0\r\n\r\n", "", "invalid chunk terminator"},
        {"no terminal chunk", chunked, "1a\r\n" + letters + "\r\n", "", "chunked request omitted its terminal chunk"},
        {"an empty body", chunked, "", "", "chunked request omitted its terminal chunk"},
        {"a size line without its CR LF", chunked, "1a", "", "truncated chunk-size line"},
        {"data shorter than its size", chunked, "1b\r\n" + letters + "\r\n", "", "truncated chunked request body"},
        {"a size past any body", chunked, "ffffffffffffffffffffffff\r\nx\r\n", "", "truncated chunked request body"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes body = bytesOf(c.body);
        if (c.error.empty()) {
            EXPECT_EQ(text(decodeRequestBody(body, c.header)), c.decoded);
        } else {
            try {
                decodeRequestBody(body, c.header);
                ADD_FAILURE() << "decoded";
            } catch (const ProofError& error) {
                EXPECT_EQ(std::string(error.what()), c.error);
            }
        }
    }
}

TEST(HTTPResponse, HasTheExactHeaderAndBody)
{
    EXPECT_EQ(text(httpResponse("404 Not Found", "text/plain; charset=utf-8", "Not found")),
              "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 9\r\n"
              "Cache-Control: no-store\r\nConnection: close\r\n\r\nNot found");
    EXPECT_EQ(text(httpResponse("200 OK", "text/html", "")),
              "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 0\r\n"
              "Cache-Control: no-store\r\nConnection: close\r\n\r\n");
}

TEST(RequestHeaderText, IsTheUTF8BeforeTheBlankLine)
{
    EXPECT_EQ(requestHeaderText(bytesOf("GET / HTTP/1.1\r\nA: b\r\n\r\nbody")), "GET / HTTP/1.1\r\nA: b");
    EXPECT_EQ(requestHeaderText(bytesOf("GET /\xFF HTTP/1.1\r\n\r\n")), "");
    EXPECT_EQ(requestHeaderText(bytesOf("GET / HTTP/1.1\r\n\n\n")), std::nullopt);
}
