// The HTTPS client against the simulator (and a few raw sockets) over loopback.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
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

constexpr std::size_t kMiB = 1048576;

std::set<std::string> headerNames(const json& request) {
    std::set<std::string> names;
    for (const auto& pair : request["headers"]) names.insert(pair[0].get<std::string>());
    return names;
}

class NetTest : public ::testing::Test {
protected:
    test::NoProxyEnv noProxy_;
};
using net_HttpsHeaders = NetTest;
using net_HttpsAnswers = NetTest;
using net_HttpsBody = NetTest;
using net_HttpsHosts = NetTest;
using net_HttpsFailures = NetTest;

// A loopback TCP listener whose every connection gets `reply` (maybe nothing) and is then closed.
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
            if (!reply_.empty()) {
                // Wait for the client's first bytes so the reply answers them.
                char buffer[4096];
                (void)::recv(c, buffer, sizeof buffer, 0);
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

// --- What goes out -------------------------------------------------------------------------

TEST_F(net_HttpsHeaders, GetSendsOnlyHostAndUserAgent) {
    SimProcess sim;
    ASSERT_TRUE(sim.ready()) << sim.failure();
    const HttpResult r = httpsRequest("GET", "127.0.0.1", sim.port(), "/api/source-config", "");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status, 200u);
    EXPECT_TRUE(r.error.empty());
    const json body = json::parse(r.body, nullptr, false);
    ASSERT_TRUE(body.is_object()) << r.body;
    EXPECT_EQ(body.value("systemId", ""), sim.systemId());

    const auto requests = sim.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["method"], "GET");
    EXPECT_EQ(requests[0]["target"], "/api/source-config");
    EXPECT_EQ(headerNames(requests[0]), (std::set<std::string>{"Host", "User-Agent"}));
    EXPECT_EQ(recordedHeader(requests[0], "User-Agent"), std::vector<std::string>{std::string(kUserAgent)});
    EXPECT_EQ(recordedHeader(requests[0], "Host"),
              std::vector<std::string>{"127.0.0.1:" + std::to_string(sim.port())});
}

TEST_F(net_HttpsHeaders, EmptyPostSendsNoContentTypeAndNoBody) {
    SimProcess sim;
    ASSERT_TRUE(sim.ready()) << sim.failure();
    const HttpResult r = httpsRequest("POST", "127.0.0.1", sim.port(), "/api/control-logout", "");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status, 200u);
    const auto requests = sim.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["method"], "POST");
    EXPECT_EQ(requests[0]["body"], "");
    EXPECT_TRUE(recordedHeader(requests[0], "Content-Type").empty());
    const auto names = headerNames(requests[0]);
    EXPECT_TRUE(names == (std::set<std::string>{"Host", "User-Agent", "Content-Length"}) ||
                names == (std::set<std::string>{"Host", "User-Agent"}))
        << requests[0].dump();
}

TEST_F(net_HttpsHeaders, JsonPostSendsExactlyOneJsonContentTypeAndNoExpect) {
    SimProcess sim({"--password", "right"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    // A short body and one long enough that libcurl would ask for "100-continue" on its own.
    const std::string shortBody = signInRequestBody("right");
    const std::string longBody = signInRequestBody(std::string(4000, 'p'));
    const HttpResult first = httpsRequest("POST", "127.0.0.1", sim.port(), "/api/control-auth", shortBody);
    const HttpResult second = httpsRequest("POST", "127.0.0.1", sim.port(), "/api/control-auth", longBody);
    ASSERT_TRUE(first.ok) << first.error;
    ASSERT_TRUE(second.ok) << second.error;
    EXPECT_EQ(first.status, 200u);
    EXPECT_EQ(second.status, 401u);

    const auto requests = sim.requests();
    ASSERT_EQ(requests.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(recordedHeader(requests[i], "Content-Type"), std::vector<std::string>{"application/json"});
        EXPECT_EQ(headerNames(requests[i]), (std::set<std::string>{"Host", "User-Agent", "Content-Length", "Content-Type"}));
    }
    EXPECT_TRUE(requests[0]["body"] == shortBody);
    EXPECT_TRUE(requests[1]["body"] == longBody);
}

// --- What comes back -----------------------------------------------------------------------

TEST_F(net_HttpsAnswers, RedirectIsReturnedNotFollowed) {
    SimProcess sim({"--redirect"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    const HttpResult r = httpsRequest("GET", "127.0.0.1", sim.port(), "/api/source-config", "");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status, 302u);
    const auto requests = sim.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["path"], "/api/source-config");
}

TEST_F(net_HttpsAnswers, SetCookieIsNeverSentBack) {
    SimProcess sim({"--set-cookie"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    for (int i = 0; i < 2; ++i) {
        const HttpResult r = httpsRequest("GET", "127.0.0.1", sim.port(), "/api/source-config", "");
        ASSERT_TRUE(r.ok) << r.error;
    }
    const auto requests = sim.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(recordedHeader(requests[1], "Cookie").empty()) << requests[1].dump();
}

TEST_F(net_HttpsAnswers, ExpiredAndWronglyNamedCertificateIsAccepted) {
    SimProcess sim({"--cert-expired", "--cert-cn", "wrong.example"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    const HttpResult r = httpsRequest("GET", "127.0.0.1", sim.port(), "/api/source-config", "");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status, 200u);
}

TEST_F(net_HttpsAnswers, RetryAfterIsRawTextUpToSixtyThreeCharacters) {
    SimProcess sim({"--auth-status", "429"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    auto retryAfterFor = [&](const json& value) {
        EXPECT_TRUE(sim.configure({{"controlAuth", {{"retryAfter", value}}}}));
        const HttpResult r = httpsRequest("POST", "127.0.0.1", sim.port(), "/api/control-auth", "{}");
        EXPECT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.status, 429u);
        return r.retryAfter;
    };
    EXPECT_EQ(retryAfterFor("30"), "30");
    EXPECT_EQ(retryAfterFor("Wed, 21 Oct 2026 07:28:00 GMT"), "Wed, 21 Oct 2026 07:28:00 GMT");
    const std::string sixtyThree(63, '7');
    EXPECT_EQ(retryAfterFor(sixtyThree), sixtyThree);
    EXPECT_EQ(retryAfterFor(std::string(64, '7')), "");
    // Counted in characters, not bytes: 63 two-byte characters still fit.
    std::string accented;
    for (int i = 0; i < 63; ++i) accented += "\xC3\xA9";
    EXPECT_EQ(retryAfterFor(accented), accented);
    EXPECT_EQ(retryAfterFor(nullptr), "");
}

TEST_F(net_HttpsBody, ThreeMiBIsCutJustPastOneMiB) {
    SimProcess sim({"--big-body-mib", "3"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    const HttpResult r = httpsRequest("GET", "127.0.0.1", sim.port(), "/api/source-config", "");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status, 200u);
    EXPECT_GT(r.body.size(), kMiB);
    EXPECT_LE(r.body.size(), kMiB + 65536);
    EXPECT_EQ(r.body.rfind("{\"padding\":\"xxx", 0), 0u);
}

TEST_F(net_HttpsBody, ResetMidBodyKeepsWhatArrived) {
    SimProcess sim({"--reset-mid-body"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    const HttpResult r = httpsRequest("GET", "127.0.0.1", sim.port(), "/api/source-config", "");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status, 200u);
    EXPECT_TRUE(r.error.empty());
    EXPECT_EQ(r.body.size(), 4096u);
    EXPECT_EQ(r.body.rfind("{\"padding\":\"xxx", 0), 0u);
}

// --- Hosts and ports -----------------------------------------------------------------------

TEST_F(net_HttpsHosts, Ipv6LiteralWithAndWithoutBrackets) {
    SimProcess sim({"--address", "::1"});
    if (!sim.ready()) GTEST_SKIP() << "no IPv6 loopback here: " << sim.failure();
    for (const std::string host : {"[::1]", "::1"}) {
        SCOPED_TRACE(host);
        const HttpResult r = httpsRequest("GET", host, sim.port(), "/api/source-config", "");
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.status, 200u);
    }
    const auto requests = sim.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(recordedHeader(requests[0], "Host"), std::vector<std::string>{"[::1]:" + std::to_string(sim.port())});
}

TEST_F(net_HttpsHosts, EmptyBracketsAreNotAnAddress) {
    // "[]" is not stripped to an empty host; as a name it cannot be resolved.
    const HttpResult r = httpsRequest("GET", "[]", 8443, "/api/source-config", "");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.error, "the host name could not be resolved");
}

TEST_F(net_HttpsHosts, OnlyTheLowSixteenBitsOfThePortCount) {
    SimProcess sim;
    ASSERT_TRUE(sim.ready()) << sim.failure();
    const HttpResult r = httpsRequest("GET", "127.0.0.1", sim.port() + 65536, "/api/source-config", "");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status, 200u);
}

// --- Failures ------------------------------------------------------------------------------

TEST_F(net_HttpsFailures, ClosedPortNothingAnswered) {
    const int port = test::closedLoopbackPort();
    ASSERT_NE(port, 0);
    const HttpResult r = httpsRequest("GET", "127.0.0.1", port, "/api/source-config", "");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.status, 0u);
    EXPECT_TRUE(r.body.empty());
    EXPECT_EQ(r.error, "nothing answered at that address and port");
}

TEST_F(net_HttpsFailures, UnknownNameIsNotResolved) {
    if (!test::lookupsConfined()) GTEST_SKIP() << "name look-ups run only inside the private network namespace";
    const HttpResult r = httpsRequest("GET", "ostrel-no-such-system.invalid", 8443, "/api/source-config", "");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "the host name could not be resolved");
}

TEST_F(net_HttpsFailures, PlainHttpServerIsNoSecureConnection) {
    RawListener plain("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    ASSERT_NE(plain.port(), 0);
    const HttpResult r = httpsRequest("GET", "127.0.0.1", plain.port(), "/api/source-config", "");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "the secure connection could not be set up");
}

TEST_F(net_HttpsFailures, ServerClosingBeforeTheHandshakeIsNoSecureConnection) {
    RawListener closer("");
    ASSERT_NE(closer.port(), 0);
    const HttpResult r = httpsRequest("GET", "127.0.0.1", closer.port(), "/api/source-config", "");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "the secure connection could not be set up");
}

double secondsFor(const std::function<void()>& action) {
    const auto start = std::chrono::steady_clock::now();
    action();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(net_HttpsFailures, SilentListenerTimesOutAfterEightSeconds) {
    SimProcess sim({"--silence"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    HttpResult r;
    const double seconds = secondsFor([&] { r = httpsRequest("GET", "127.0.0.1", sim.port(), "/api/source-config", ""); });
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "the connection timed out");
    EXPECT_GE(seconds, 7.0);
    EXPECT_LE(seconds, 12.0);
}

TEST_F(net_HttpsFailures, ServerSilentAfterTheRequestTimesOutAfterEightSeconds) {
    SimProcess sim({"--delay-ms", "60000"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    HttpResult r;
    const double seconds = secondsFor([&] { r = httpsRequest("GET", "127.0.0.1", sim.port(), "/api/source-config", ""); });
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.error, "the connection timed out");
    EXPECT_GE(seconds, 7.0);
    EXPECT_LE(seconds, 12.0);
    EXPECT_EQ(sim.requests().size(), 1u);  // the request itself did arrive
}

// A system that trickles its answer (one byte every half second) satisfies every stall limit;
// the request's deadline ends it, keeping what arrived, as for any body cut short.
TEST_F(net_HttpsFailures, TricklingAnswerEndsAtTheRequestDeadline) {
    SimProcess sim({"--trickle-ms", "500", "--big-body-mib", "1"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    HttpResult r;
    const double seconds = secondsFor([&] { r = httpsRequest("GET", "127.0.0.1", sim.port(), "/api/source-config", ""); });
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status, 200u);
    EXPECT_GE(r.body.size(), 40u);
    EXPECT_LT(r.body.size(), 100u);
    EXPECT_EQ(r.body.rfind("{\"padding\":\"xxx", 0), 0u);
    EXPECT_GE(seconds, 29.0);
    EXPECT_LE(seconds, 40.0);
}

TEST(net_HttpsErrorText, PhrasesForWhatAnOperatorCanActOnAndTheStepForTheRest) {
    EXPECT_EQ(curlErrorText("curl_easy_perform", 28), "the connection timed out");
    EXPECT_EQ(curlErrorText("curl_easy_perform", 6), "the host name could not be resolved");
    EXPECT_EQ(curlErrorText("curl_easy_perform", 7), "nothing answered at that address and port");
    EXPECT_EQ(curlErrorText("curl_easy_perform", 56), "the connection was reset");
    EXPECT_EQ(curlErrorText("curl_easy_perform", 35), "the secure connection could not be set up");
    EXPECT_EQ(curlErrorText("curl_easy_perform", 8), "curl_easy_perform failed (libcurl error 8)");
    EXPECT_EQ(curlErrorText("curl_global_init", 2), "curl_global_init failed (libcurl error 2)");
}

}  // namespace
}  // namespace ostrel
