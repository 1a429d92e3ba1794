// The HTTPS client against the simulator (and a few raw sockets) over loopback.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/version.h"
#include "net/http_client.h"
#include "net/system_api.h"
#include "tests/net/net_test_env.h"
#include "tests/support/sim_process.h"

namespace ostrel {
namespace {

using nlohmann::json;
using test::recordedHeader;
using test::SimProcess;

std::set<std::string> headerNames(const json& request) {
    std::set<std::string> names;
    for (const auto& pair : request["headers"]) names.insert(pair[0].get<std::string>());
    return names;
}

HttpResult get(int port, const std::string& host = "127.0.0.1") {
    return httpsRequest("GET", host, port, "/api/source-config", "");
}

// A loopback TCP listener that answers its one connection with `reply` (or nothing) and closes.
class RawListener {
public:
    explicit RawListener(std::string reply) : reply_(std::move(reply)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 8) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            return;
        }
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] {
            const int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            char buffer[4096];
            if (!reply_.empty() && ::recv(c, buffer, sizeof buffer, 0) > 0) {
                (void)::send(c, reply_.data(), reply_.size(), MSG_NOSIGNAL);
            }
            ::close(c);
        });
    }
    ~RawListener() {
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        if (thread_.joinable()) thread_.join();
    }
    int port() const { return port_; }

private:
    std::string reply_;
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
};

class NetTest : public ::testing::Test {
    test::NoProxyEnv noProxy_;
};
using net_Https = NetTest;

TEST_F(net_Https, SendsOnlyTheExpectedHeadersAndBodies) {
    SimProcess sim({"--password", "right", "--set-cookie"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    const HttpResult r = get(sim.port());
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status, 200u);
    EXPECT_EQ(json::parse(r.body, nullptr, false).value("systemId", ""), sim.systemId());
    // A short body, one long enough that libcurl would ask for "100-continue" on its own, and none.
    const std::string shortBody = signInRequestBody("right");
    const std::string longBody = signInRequestBody(std::string(4000, 'p'));
    EXPECT_EQ(httpsRequest("POST", "127.0.0.1", sim.port(), "/api/control-auth", shortBody).status, 200u);
    EXPECT_EQ(httpsRequest("POST", "127.0.0.1", sim.port(), "/api/control-auth", longBody).status, 401u);
    EXPECT_EQ(httpsRequest("POST", "127.0.0.1", sim.port(), "/api/control-logout", "").status, 200u);
    EXPECT_TRUE(get(sim.port() + 65536).ok);  // only the low sixteen bits of the port count

    const auto requests = sim.requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(headerNames(requests[0]), (std::set<std::string>{"Host", "User-Agent"}));
    EXPECT_EQ(recordedHeader(requests[0], "User-Agent"), std::vector<std::string>{std::string(kUserAgent)});
    EXPECT_EQ(recordedHeader(requests[0], "Host"), std::vector<std::string>{"127.0.0.1:" + std::to_string(sim.port())});
    for (int i : {1, 2}) {
        EXPECT_EQ(requests[i]["method"], "POST");
        EXPECT_EQ(headerNames(requests[i]),
                  (std::set<std::string>{"Host", "User-Agent", "Content-Length", "Content-Type"}));
        EXPECT_EQ(recordedHeader(requests[i], "Content-Type"), std::vector<std::string>{"application/json"});
    }
    EXPECT_TRUE(requests[1]["body"] == shortBody && requests[2]["body"] == longBody);
    EXPECT_EQ(requests[3]["body"], "");
    EXPECT_TRUE(recordedHeader(requests[3], "Content-Type").empty());
    EXPECT_TRUE(recordedHeader(requests[4], "Cookie").empty()) << "a Set-Cookie is never sent back";
}

TEST_F(net_Https, AnswersAreTakenAsTheyCome) {
    SimProcess redirect({"--redirect", "--cert-expired", "--cert-cn", "wrong.example"});
    ASSERT_TRUE(redirect.ready()) << redirect.failure();
    const HttpResult r = get(redirect.port());  // any certificate, and no redirect followed
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status, 302u);
    EXPECT_EQ(redirect.requests().size(), 1u);

    SimProcess big({"--big-body-mib", "3"});
    ASSERT_TRUE(big.ready()) << big.failure();
    const HttpResult capped = get(big.port());
    ASSERT_TRUE(capped.ok) << capped.error;
    EXPECT_GT(capped.body.size(), 1048576u);
    EXPECT_LE(capped.body.size(), 1048576u + 65536u);

    SimProcess reset({"--reset-mid-body"});
    ASSERT_TRUE(reset.ready()) << reset.failure();
    const HttpResult cut = get(reset.port());  // the headers arrived: an answer with what came
    ASSERT_TRUE(cut.ok) << cut.error;
    EXPECT_EQ(cut.status, 200u);
    EXPECT_EQ(cut.body.size(), 4096u);
    EXPECT_TRUE(cut.error.empty());
}

TEST_F(net_Https, RetryAfterIsRawTextUpToSixtyThreeCharacters) {
    SimProcess sim({"--auth-status", "429"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    std::string accented;
    for (int i = 0; i < 63; ++i) accented += "\xC3\xA9";  // counted in characters, not bytes
    const std::pair<json, std::string> cases[] = {{"30", "30"},
                                                  {"Wed, 21 Oct 2026 07:28:00 GMT", "Wed, 21 Oct 2026 07:28:00 GMT"},
                                                  {std::string(63, '7'), std::string(63, '7')},
                                                  {std::string(64, '7'), ""},
                                                  {accented, accented},
                                                  {"", ""},
                                                  {" \t ", ""},
                                                  {nullptr, ""}};
    for (const auto& [value, expected] : cases) {
        ASSERT_TRUE(sim.configure({{"controlAuth", {{"retryAfter", value}}}}));
        const HttpResult r = httpsRequest("POST", "127.0.0.1", sim.port(), "/api/control-auth", "{}");
        EXPECT_EQ(r.status, 429u);
        EXPECT_EQ(r.retryAfter, expected) << value;
    }
}

TEST_F(net_Https, Ipv6LiteralWithAndWithoutBrackets) {
    SimProcess sim({"--address", "::1"});
    if (!sim.ready()) GTEST_SKIP() << "no IPv6 loopback here: " << sim.failure();
    for (const std::string host : {"[::1]", "::1"}) EXPECT_EQ(get(sim.port(), host).status, 200u) << host;
    EXPECT_EQ(recordedHeader(sim.requests().at(0), "Host"),
              std::vector<std::string>{"[::1]:" + std::to_string(sim.port())});
}

TEST_F(net_Https, FailuresReadAsTheOperatorPhrases) {
    RawListener plain("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    RawListener closer("");
    SimProcess resetAfterHandshake({"--reset-after-handshake"});
    SimProcess closeWithoutAnswer({"--close-without-answer"});
    ASSERT_TRUE(resetAfterHandshake.ready() && closeWithoutAnswer.ready());
    const std::pair<int, const char*> cases[] = {
        {test::closedLoopbackPort(), "nothing answered at that address and port"},
        {plain.port(), "the secure connection could not be set up"},
        {closer.port(), "the secure connection could not be set up"},
        {resetAfterHandshake.port(), "the connection was reset"},
        {closeWithoutAnswer.port(), "the connection was reset"},
    };
    for (const auto& [port, phrase] : cases) {
        const HttpResult r = get(port);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.status, 0u);
        EXPECT_TRUE(r.body.empty());
        EXPECT_EQ(r.error, phrase);
    }
    EXPECT_EQ(closeWithoutAnswer.requests().size(), 1u);  // the request did arrive
    EXPECT_EQ(get(8443, "[]").error, "the host name could not be resolved");
    if (test::lookupsConfined()) {
        EXPECT_EQ(get(8443, "ostrel-no-such-system.invalid").error, "the host name could not be resolved");
    }
    EXPECT_EQ(curlErrorText("curl_easy_perform", 8), "curl_easy_perform failed (libcurl error 8)");
}

// A system that trickles its answer (one byte every half second) satisfies every stall limit;
// the request's deadline ends it, keeping what arrived, as for any body cut short.
TEST_F(net_Https, TricklingAnswerEndsAtTheRequestDeadline) {
    SimProcess sim({"--trickle-ms", "500", "--big-body-mib", "1"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    const auto start = std::chrono::steady_clock::now();
    const HttpResult r = get(sim.port());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status, 200u);
    EXPECT_GE(r.body.size(), 40u);
    EXPECT_LT(r.body.size(), 100u);
    EXPECT_EQ(r.body.rfind("{\"padding\":\"xxx", 0), 0u);
    EXPECT_GE(seconds, 29.0);
    EXPECT_LE(seconds, 40.0);
}

// A listener that never speaks, and a server that reads the request and never answers.
void expectTimeoutAfterEightSeconds(const std::vector<std::string>& args) {
    SimProcess sim(args);
    ASSERT_TRUE(sim.ready()) << sim.failure();
    const auto start = std::chrono::steady_clock::now();
    const HttpResult r = get(sim.port());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.error, "the connection timed out");
    EXPECT_GE(seconds, 7.0);
    EXPECT_LE(seconds, 12.0);
}
TEST_F(net_Https, SilentListenerTimesOut) {
    expectTimeoutAfterEightSeconds({"--silence"});
}
TEST_F(net_Https, UnansweredRequestTimesOut) {
    expectTimeoutAfterEightSeconds({"--delay-ms", "60000"});
}

}  // namespace
}  // namespace ostrel
