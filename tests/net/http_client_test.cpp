// The HTTPS client against the simulator (and one raw socket) over loopback.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/version.h"
#include "net/http_client.h"
#include "net/system_api.h"
#include "tests/support/sim_process.h"

namespace ostrel {
namespace {

using nlohmann::json;
using test::recordedHeader;
using test::SimProcess;
using Strings = std::vector<std::string>;

HttpResult get(int port, const std::string& host = "127.0.0.1") {
    return httpsRequest("GET", host, port, "/api/source-config", "");
}
HttpResult post(int port, const std::string& path, const std::string& body) {
    return httpsRequest("POST", "127.0.0.1", port, path, body);
}

double secondsFor(const std::function<void()>& run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(net_Https, SendsOnlyTheExpectedHeadersAndBodies) {
    SimProcess sim({"--password", "right", "--set-cookie"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    const HttpResult r = get(sim.port());
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status, 200u);
    EXPECT_EQ(json::parse(r.body, nullptr, false)["systemId"], sim.readyLine()["systemId"]);
    // A short body, one long enough that libcurl would ask for "100-continue" on its own, and none.
    const std::string shortBody = signInRequestBody("right"), longBody = signInRequestBody(std::string(4000, 'p'));
    EXPECT_EQ(post(sim.port(), "/api/control-auth", shortBody).status, 200u);
    EXPECT_EQ(post(sim.port(), "/api/control-auth", longBody).status, 401u);
    EXPECT_EQ(post(sim.port(), "/api/control-logout", "").status, 200u);
    EXPECT_TRUE(get(sim.port() + 65536).ok);  // only the low sixteen bits of the port count

    const auto requests = sim.requests();
    ASSERT_EQ(requests.size(), 5u);
    const auto names = [](const json& request) {
        std::set<std::string> out;
        for (const auto& pair : request["headers"]) out.insert(pair[0].get<std::string>());
        return out;
    };
    EXPECT_EQ(names(requests[0]), (std::set<std::string>{"Host", "User-Agent"}));
    EXPECT_EQ(recordedHeader(requests[0], "User-Agent"), Strings{std::string(kUserAgent)});
    EXPECT_EQ(recordedHeader(requests[0], "Host"), Strings{"127.0.0.1:" + std::to_string(sim.port())});
    for (int i : {1, 2}) {
        EXPECT_EQ(requests[i]["method"], "POST");
        EXPECT_EQ(names(requests[i]), (std::set<std::string>{"Host", "User-Agent", "Content-Length", "Content-Type"}));
        EXPECT_EQ(recordedHeader(requests[i], "Content-Type"), Strings{"application/json"});
    }
    EXPECT_TRUE(requests[1]["body"] == shortBody && requests[2]["body"] == longBody);
    EXPECT_EQ(requests[3]["body"], "");
    EXPECT_TRUE(recordedHeader(requests[3], "Content-Type").empty());
    EXPECT_TRUE(recordedHeader(requests[4], "Cookie").empty()) << "a Set-Cookie is never sent back";
}

TEST(net_Https, AnswersAreTakenAsTheyCome) {
    SimProcess redirect({"--redirect", "--cert-expired", "--cert-cn", "wrong.example"});
    SimProcess big({"--big-body-mib", "3"});
    SimProcess reset({"--reset-mid-body"});
    ASSERT_TRUE(redirect.ready() && big.ready() && reset.ready()) << redirect.failure() << big.failure();
    const HttpResult r = get(redirect.port());  // any certificate, and no redirect followed
    EXPECT_TRUE(r.ok && r.status == 302u) << r.error;
    EXPECT_EQ(redirect.requests().size(), 1u);
    const HttpResult capped = get(big.port());
    EXPECT_TRUE(capped.ok) << capped.error;
    EXPECT_GT(capped.body.size(), 1048576u);
    EXPECT_LE(capped.body.size(), 1048576u + 65536u);
    const HttpResult cut = get(reset.port());  // the headers arrived: an answer with what came
    EXPECT_TRUE(cut.ok && cut.status == 200u && cut.error.empty()) << cut.error;
    EXPECT_EQ(cut.body.size(), 4096u);
}

TEST(net_Https, RetryAfterIsRawTextUpToSixtyThreeCharacters) {
    SimProcess sim({"--auth-status", "429"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    std::string accented;
    for (int i = 0; i < 63; ++i) accented += "\xC3\xA9";  // counted in characters, not bytes
    const std::string date = "Wed, 21 Oct 2026 07:28:00 GMT", sevens(63, '7');
    const std::pair<json, std::string> cases[] = {{"30", "30"},       {date, date},         {sevens, sevens},
                                                  {sevens + "7", ""}, {accented, accented}, {"", ""},
                                                  {" \t ", ""},       {nullptr, ""}};
    for (const auto& [value, expected] : cases) {
        ASSERT_TRUE(sim.configure({{"controlAuth", {{"retryAfter", value}}}}));
        const HttpResult r = post(sim.port(), "/api/control-auth", "{}");
        EXPECT_EQ(r.status, 429u);
        EXPECT_EQ(r.retryAfter, expected) << value;
    }
}

TEST(net_Https, Ipv6LiteralWithAndWithoutBrackets) {
    SimProcess sim({"--address", "::1"});
    if (!sim.ready()) GTEST_SKIP() << "no IPv6 loopback here: " << sim.failure();
    for (const std::string host : {"[::1]", "::1"}) EXPECT_EQ(get(sim.port(), host).status, 200u) << host;
    EXPECT_EQ(recordedHeader(sim.requests().at(0), "Host"), Strings{"[::1]:" + std::to_string(sim.port())});
}

TEST(net_Https, FailuresReadAsTheOperatorPhrases) {
    SimProcess resetAfterHandshake({"--reset-after-handshake"});
    SimProcess closeWithoutAnswer({"--close-without-answer"});
    ASSERT_TRUE(resetAfterHandshake.ready() && closeWithoutAnswer.ready());
    // A plain HTTP server: it reads the greeting and answers in clear text.
    const int plain = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    ASSERT_TRUE(::bind(plain, reinterpret_cast<sockaddr*>(&addr), len) == 0 && ::listen(plain, 1) == 0 &&
                ::getsockname(plain, reinterpret_cast<sockaddr*>(&addr), &len) == 0);
    std::thread server([plain] {
        const int c = ::accept(plain, nullptr, nullptr);
        char buffer[4096];
        const std::string reply = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        if (c >= 0 && ::recv(c, buffer, sizeof buffer, 0) > 0)
            (void)::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
        if (c >= 0) ::close(c);
    });
    const std::pair<int, const char*> cases[] = {
        {test::closedLoopbackPort(), "nothing answered at that address and port"},
        {ntohs(addr.sin_port), "the secure connection could not be set up"},
        {resetAfterHandshake.port(), "the connection was reset"},
        {closeWithoutAnswer.port(), "the connection was reset"},
    };
    for (const auto& [port, phrase] : cases) {
        const HttpResult r = get(port);
        EXPECT_TRUE(!r.ok && r.status == 0u && r.body.empty()) << phrase;
        EXPECT_EQ(r.error, phrase);
    }
    ::shutdown(plain, SHUT_RDWR);
    server.join();
    ::close(plain);
    EXPECT_EQ(closeWithoutAnswer.requests().size(), 1u);  // the request did arrive
    EXPECT_EQ(get(8443, "[]").error, "the host name could not be resolved");
    if (test::inPrivateNetns(true)) {
        EXPECT_EQ(get(8443, "ostrel-no-such-system.invalid").error, "the host name could not be resolved");
    }
    EXPECT_EQ(curlErrorText("curl_easy_perform", 8), "curl_easy_perform failed (libcurl error 8)");
}

// A system that trickles its answer (one byte every half second) satisfies every stall limit;
// the request's deadline ends it, keeping what arrived, as for any body cut short.
TEST(net_Https, TricklingAnswerEndsAtTheRequestDeadline) {
    SimProcess sim({"--trickle-ms", "500", "--big-body-mib", "1"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    HttpResult r;
    const double seconds = secondsFor([&] { r = get(sim.port()); });
    ASSERT_TRUE(r.ok && r.status == 200u) << r.error;
    EXPECT_GE(r.body.size(), 40u);
    EXPECT_LT(r.body.size(), 100u);
    EXPECT_EQ(r.body.rfind("{\"padding\":\"xxx", 0), 0u);
    EXPECT_GE(seconds, 29.0);
    EXPECT_LE(seconds, 40.0);
}

// A listener that never speaks, and a server that reads the request and never answers.
class net_HttpsStall : public ::testing::TestWithParam<Strings> {};
TEST_P(net_HttpsStall, TimesOutAfterEightSeconds) {
    SimProcess sim(GetParam());
    ASSERT_TRUE(sim.ready()) << sim.failure();
    HttpResult r;
    const double seconds = secondsFor([&] { r = get(sim.port()); });
    EXPECT_EQ(r.error, "the connection timed out");
    EXPECT_GE(seconds, 7.0);
    EXPECT_LE(seconds, 12.0);
}
INSTANTIATE_TEST_SUITE_P(Stalls, net_HttpsStall,
                         ::testing::Values(Strings{"--silence"}, Strings{"--delay-ms", "60000"}));

}  // namespace
}  // namespace ostrel
