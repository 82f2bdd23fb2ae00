// The proof server as the browser meets it: real loopback connections from a
// client thread that the "browser opener" starts, answered byte for byte.
#include "ceremony/browser_ceremony.h"

#include "ceremony/proof_page.h"
#include "common/errors.h"
#include "crypto/base64url.h"
#include "platform/posix/posix_loopback_sockets.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace ferrolatch;

namespace {

struct SteadyClock final : Clock {
    double now() override
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }
};

const std::string credential = "Q3JlZGVudGlhbC0x";
const std::string prf32 = base64URLEncode(std::string(32, 'p'));
const std::string validBody = R"({"credentialID":")" + credential + R"(","prfOutput":")" + prf32 + R"(","extra":1})";

std::string post(const std::string& body, const std::string& path = "/result/{TOKEN}")
{
    return "POST " + path + " HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\nContent-Length: "
        + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string plainResponse(const std::string& status, const std::string& body)
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: "
        + std::to_string(body.size()) + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
}

const std::string notFound = plainResponse("404 Not Found", "Not found");
const std::string malformed = plainResponse("400 Bad Request", "Malformed request");
const std::string unlockAccepted =
    plainResponse("200 OK", "Passkey accepted. Ferrolatch is verifying the disposable APFS proof.");

// One request on its own connection; the whole answer, up to the server's close.
std::string roundTrip(std::uint16_t port, const std::string& request)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout {5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buffer[65536];
        ssize_t count;
        while ((count = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            answer.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(fd);
    return answer;
}

struct CeremonyRun {
    std::string url;
    std::string token;
    std::vector<std::string> answers;
    std::optional<BrowserReply> reply;
    std::string error;
    std::string out;
};

// Runs a ceremony whose "browser" sends these requests in turn ("{TOKEN}"
// stands for the ceremony's token).
CeremonyRun runCeremony(const std::string& mode, const std::optional<std::string>& expected,
                const std::vector<std::string>& requests)
{
    CeremonyRun run;
    PosixLoopbackSockets sockets;
    SteadyClock clock;
    std::ostringstream out;
    std::thread client;
    BrowserCeremonyServices services {sockets,
                                      [&](const std::string& url) {
                                          run.url = url;
                                          run.token = url.substr(url.rfind('/') + 1);
                                          auto port = static_cast<std::uint16_t>(
                                              std::stoi(url.substr(17, url.find('/', 17) - 17)));
                                          client = std::thread([&run, port, requests] {
                                              for (std::string request : requests) {
                                                  for (std::size_t at; (at = request.find("{TOKEN}")) != std::string::npos;)
                                                      request.replace(at, 7, run.token);
                                                  run.answers.push_back(roundTrip(port, request));
                                              }
                                          });
                                      },
                                      out, clock, 20.0};
    try {
        run.reply = runBrowserCeremony(services, mode, std::vector<std::uint8_t>(32, 7), expected);
    } catch (const std::exception& error) {
        run.error = error.what();
    }
    if (client.joinable())
        client.join();
    run.out = out.str();
    return run;
}

}

TEST(BrowserCeremony, ServesThePageAndKeepsWaitingThroughWrongRequests)
{
    CeremonyRun run = runCeremony("unlock", credential, {
        "GET /proof/{TOKEN} HTTP/1.1\r\nHost: localhost\r\n\r\n",
        "GET /proof/{TOKEN} HTTP/1.1\r\n\r\n",
        "GET /proof/{TOKEN}?x=1 HTTP/1.1\r\n\r\n",
        "GET /proof/{TOKEN}/ HTTP/1.1\r\n\r\n",
        "GET /proof/wrongtoken HTTP/1.1\r\n\r\n",
        "GET /result/{TOKEN} HTTP/1.1\r\n\r\n",
        "POST /proof/{TOKEN} HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
        "get /proof/{TOKEN} HTTP/1.1\r\n\r\n",
        "GET /proof/{TOKEN} HTTP/1.1\r\n",                        // no blank line: read until the pause
        "POST /result/{TOKEN} HTTP/1.1\r\nContent-Length:\r\n\r\n", // no length at all
        "POST /result/{TOKEN} HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n",
        post(validBody, "/result/{TOKEN}?x"),
        post(validBody),
    });
    ASSERT_EQ(run.error, "");
    ASSERT_TRUE(run.reply);
    EXPECT_EQ(run.reply->credentialID, credential);
    EXPECT_TRUE(run.reply->prfOutput.equals(prf32));
    EXPECT_EQ(run.out, "Safari opened for the unlock ceremony. Complete its passkey prompt within five minutes.\n");
    EXPECT_TRUE(run.url.starts_with("http://localhost:"));
    EXPECT_EQ(run.token.size(), 32u);
    EXPECT_TRUE(isBase64URLText(run.token));

    ASSERT_EQ(run.answers.size(), 13u);
    for (int page : {0, 1}) {
        const std::string& answer = run.answers[static_cast<std::size_t>(page)];
        std::size_t bodyAt = answer.find("\r\n\r\n") + 4;
        EXPECT_EQ(answer.substr(0, bodyAt),
                  "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: "
                      + std::to_string(answer.size() - bodyAt)
                      + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n");
        EXPECT_NE(answer.find("const token = \"" + run.token + "\";"), std::string::npos);
        EXPECT_NE(answer.find("const existingCredential = \"" + credential + "\";"), std::string::npos);
    }
    for (std::size_t wrong = 2; wrong <= 7; ++wrong)
        EXPECT_EQ(run.answers[wrong], notFound) << "request " << wrong;
    EXPECT_EQ(run.answers[8], malformed);
    EXPECT_EQ(run.answers[9], malformed);
    EXPECT_EQ(run.answers[10], malformed);
    EXPECT_EQ(run.answers[11], notFound);
    EXPECT_EQ(run.answers[12], unlockAccepted);
}

TEST(BrowserCeremony, AcceptsAChunkedResultAndAnswersByMode)
{
    std::string first = validBody.substr(0, 0x1a);
    std::string rest = validBody.substr(0x1a);
    std::ostringstream size;
    size << std::hex << rest.size();
    std::string chunked = "POST /result/{TOKEN} HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1a\r\n" + first
        + "\r\n" + size.str() + ";ext=1\r\n" + rest + "\r\n0\r\n\r\n";
    CeremonyRun run = runCeremony("enroll", std::nullopt, {chunked});
    ASSERT_EQ(run.error, "");
    EXPECT_EQ(run.reply->credentialID, credential);
    EXPECT_EQ(run.answers.at(0),
              plainResponse("200 OK", "Passkey enrolled. Ferrolatch is creating and sealing the disposable APFS proof."));
}

// The first result that fails its checks ends the ceremony with that failure,
// and the browser is told why.
TEST(BrowserCeremony, RejectsAFaultyResultAndEndsWithItsFailure)
{
    auto reply = [](const std::string& id, const std::string& prf) {
        return R"({"credentialID":")" + id + R"(","prfOutput":")" + prf + R"("})";
    };
    auto chunkedPost = [](const std::string& encodedBody) {
        return "POST /result/{TOKEN} HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + encodedBody;
    };
    struct Case {
        const char* name;
        std::optional<std::string> expected;
        std::string request;
        std::string error;
    };
    const Case cases[] = {
        {"another credential", credential, post(reply("T3RoZXI", prf32)), "browser returned a different credential"},
        {"a 31-byte PRF output", credential, post(reply(credential, base64URLEncode(std::string(31, 'p')))),
         "passkey PRF output was 31 bytes, expected 32"},
        {"a 2,049-character PRF output", credential, post(reply(credential, std::string(2049, '!'))),
         "browser reply exceeded proof bounds"},
        {"a 2,049-character credential", std::nullopt, post(reply(std::string(2049, 'A'), prf32)),
         "browser reply exceeded proof bounds"},
        {"a PRF output that is not base64url", credential, post(reply(credential, "not*base64")),
         "browser returned malformed Base64URL"},
        {"a credential that could not stand in a manifest", std::nullopt, post(reply("a\\\"b", prf32)),
         "browser returned malformed Base64URL"},
        {"a missing key", credential, post(R"({"credentialID":"Q3JlZGVudGlhbC0x"})"),
         "The data couldn’t be read because it is missing: no value for key \"prfOutput\"."},
        {"not JSON", credential, post("credentialID=x"),
         "The data couldn’t be read because it isn’t in the correct format: the given data was not valid JSON."},
        {"a body cut short", credential, "POST /result/{TOKEN} HTTP/1.1\r\nContent-Length: 500\r\n\r\n{\"a\":",
         "The data couldn’t be read because it isn’t in the correct format: the given data was not valid JSON."},
        {"a 0x chunk size", credential, chunkedPost("0x5\r\nhello\r\n0\r\n\r\n"), "invalid chunk-size line"},
        {"a signed chunk size", credential, chunkedPost("-5\r\nhello\r\n0\r\n\r\n"), "invalid chunk-size line"},
        {"a bad chunk terminator", credential, chunkedPost("5\r\nhelloXX0\r\n\r\n"), "invalid chunk terminator"},
        {"no terminal chunk", credential, chunkedPost("5\r\nhello\r\n"), "chunked request omitted its terminal chunk"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CeremonyRun run = runCeremony("unlock", c.expected, {c.request});
        EXPECT_EQ(run.error, c.error);
        EXPECT_FALSE(run.reply);
        ASSERT_EQ(run.answers.size(), 1u);
        EXPECT_EQ(run.answers[0], plainResponse("400 Bad Request", "Rejected: " + c.error));
    }
}

namespace {

struct ManualClock final : Clock {
    double time = 5000.0;
    double now() override { return time; }
    void idleUntil(double deadline) override { time = std::max(time, deadline); }
};

// A connection that sends one byte every 0.2 s on the manual clock, forever,
// or a scripted request at once.
struct FakeConnection final : LoopbackConnection {
    ManualClock& clock;
    std::string request;
    bool trickle;
    std::string& sent;
    FakeConnection(ManualClock& c, std::string r, bool t, std::string& s) : clock(c), request(std::move(r)), trickle(t), sent(s) {}
    std::size_t receive(std::span<std::uint8_t> buffer, double timeoutSeconds) override
    {
        if (trickle) {
            if (timeoutSeconds < 0.2) {
                clock.time += timeoutSeconds;
                return 0;
            }
            clock.time += 0.2;
            buffer[0] = 'G';
            return 1;
        }
        if (request.empty()) {
            clock.time += timeoutSeconds;
            return 0;
        }
        std::size_t count = std::min(request.size(), buffer.size());
        std::copy_n(request.begin(), count, buffer.begin());
        request.erase(0, count);
        return count;
    }
    std::size_t send(std::span<const std::uint8_t> bytes) override
    {
        sent.append(bytes.begin(), bytes.end());
        return bytes.size();
    }
};

struct FakeListener final : LoopbackListener {
    ManualClock& clock;
    std::vector<std::unique_ptr<LoopbackConnection>>& queue;
    bool& closed;
    FakeListener(ManualClock& c, std::vector<std::unique_ptr<LoopbackConnection>>& q, bool& flag)
        : clock(c), queue(q), closed(flag) {}
    ~FakeListener() override { closed = true; }
    std::uint16_t port() const override { return 4242; }
    std::unique_ptr<LoopbackConnection> accept(double) override
    {
        if (queue.empty())
            return nullptr; // the ceremony idles the clock forward
        auto next = std::move(queue.front());
        queue.erase(queue.begin());
        return next;
    }
};

struct FakeSockets final : LoopbackSockets {
    ManualClock& clock;
    LoopbackSetupFailure failure = LoopbackSetupFailure::None;
    int listens = 0;
    bool closed = false;
    std::vector<std::unique_ptr<LoopbackConnection>> queue;
    explicit FakeSockets(ManualClock& c) : clock(c) {}
    LoopbackListening listen(int backlog) override
    {
        ++listens;
        EXPECT_EQ(backlog, 8);
        if (failure != LoopbackSetupFailure::None)
            return {nullptr, failure};
        return {std::make_unique<FakeListener>(clock, queue, closed), LoopbackSetupFailure::None};
    }
};

struct FakeCeremony {
    ManualClock clock;
    FakeSockets sockets {clock};
    std::ostringstream out;
    std::vector<std::string> opened;
    std::function<void()> onOpen;
    BrowserCeremonyServices services {sockets,
                                      [this](const std::string& url) {
                                          opened.push_back(url);
                                          if (onOpen)
                                              onOpen();
                                      },
                                      out, clock};

    std::string failureOf(const std::optional<std::string>& expected)
    {
        try {
            runBrowserCeremony(services, "unlock", std::vector<std::uint8_t>(32, 1), expected);
        } catch (const std::exception& error) {
            return error.what();
        }
        return "";
    }
};

}

// The identifier stands unescaped in the page's script; one that is not
// base64url text never gets as far as a socket.
TEST(BrowserCeremony, RefusesAnExpectedCredentialThatIsNotBase64URLBeforeOpeningAnything)
{
    for (std::string bad : {std::string("abc\";alert(1);\""), std::string("</script><script>x"), std::string("a b"),
                            std::string("YWJj="), std::string("YW+j"), std::string("")}) {
        SCOPED_TRACE(bad);
        FakeCeremony ceremony;
        EXPECT_EQ(ceremony.failureOf(bad), "browser returned malformed Base64URL");
        EXPECT_EQ(ceremony.sockets.listens, 0);
        EXPECT_TRUE(ceremony.opened.empty());
        EXPECT_EQ(ceremony.out.str(), "");
    }
}

TEST(BrowserCeremony, NamesTheSetUpStepThatFailed)
{
    struct Case {
        LoopbackSetupFailure failure;
        const char* message;
    };
    for (const Case& c : {Case {LoopbackSetupFailure::Socket, "could not create local proof socket"},
                          Case {LoopbackSetupFailure::Bind, "could not bind the localhost proof server"},
                          Case {LoopbackSetupFailure::Address, "could not resolve the localhost proof port"}}) {
        FakeCeremony ceremony;
        ceremony.sockets.failure = c.failure;
        EXPECT_EQ(ceremony.failureOf(credential), c.message);
        EXPECT_TRUE(ceremony.opened.empty());
    }
}

TEST(BrowserCeremony, ClosesTheListenerWhenTheBrowserCannotBeOpened)
{
    FakeCeremony ceremony;
    ceremony.onOpen = [] { throw ProofError("open failed: no Safari"); };
    EXPECT_EQ(ceremony.failureOf(credential), "open failed: no Safari");
    EXPECT_TRUE(ceremony.sockets.closed);
    EXPECT_EQ(ceremony.out.str(), "");
}

TEST(BrowserCeremony, TimesOutAfterThreeHundredSecondsAndClosesTheListener)
{
    FakeCeremony ceremony;
    double start = ceremony.clock.time;
    EXPECT_EQ(ceremony.failureOf(credential), "passkey ceremony timed out");
    EXPECT_TRUE(ceremony.sockets.closed);
    EXPECT_GE(ceremony.clock.time - start, 300.0);
    EXPECT_LT(ceremony.clock.time - start, 302.0);
    ASSERT_EQ(ceremony.opened.size(), 1u);
    EXPECT_TRUE(ceremony.opened[0].starts_with("http://localhost:4242/proof/"));
}

// A stray local process that trickles a byte every 0.2 s is cut off after
// ten seconds and told its request was malformed; the browser's result,
// queued behind it, is still served.
TEST(BrowserCeremony, ATricklingClientCannotHoldTheCeremony)
{
    FakeCeremony ceremony;
    std::string trickled, served;
    ceremony.onOpen = [&] {
        std::string token = ceremony.opened[0].substr(ceremony.opened[0].rfind('/') + 1);
        std::string request = post(validBody);
        request.replace(request.find("{TOKEN}"), 7, token);
        ceremony.sockets.queue.push_back(std::make_unique<FakeConnection>(ceremony.clock, "", true, trickled));
        ceremony.sockets.queue.push_back(std::make_unique<FakeConnection>(ceremony.clock, request, false, served));
    };
    double start = ceremony.clock.time;
    EXPECT_EQ(ceremony.failureOf(credential), "");
    EXPECT_NEAR(ceremony.clock.time - start, 10.0, 0.5);
    EXPECT_EQ(trickled, malformed);
    EXPECT_EQ(served, unlockAccepted);
}

// Even with no per-request bound, reading never runs past the deadline.
TEST(BrowserCeremony, ATricklingClientIsCutOffAtTheDeadline)
{
    FakeCeremony ceremony;
    ceremony.services.requestReadSeconds = 1e9;
    std::string trickled;
    ceremony.onOpen = [&] {
        ceremony.sockets.queue.push_back(std::make_unique<FakeConnection>(ceremony.clock, "", true, trickled));
    };
    double start = ceremony.clock.time;
    EXPECT_EQ(ceremony.failureOf(credential), "passkey ceremony timed out");
    EXPECT_LE(ceremony.clock.time - start, 300.0 + 1e-6);
    EXPECT_EQ(trickled, malformed);
}
