// The HTTPS client and `ostrel-control-cli probe` against the simulator over loopback.
#include <algorithm>
#include <latch>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/version.h"
#include "net/http_client.h"
#include "net/system_api.h"
#include "store/settings_store.h"
#include "tests/support/sim_process.h"

namespace ostrel {
namespace {

using nlohmann::json;
using test::SimProcess;
using Strings = std::vector<std::string>;

HttpResult get(int port, const std::string& host = "127.0.0.1") {
    return httpsRequest("GET", host, port, "/api/source-config", "");
}
HttpResult post(int port, const std::string& path, const std::string& body) {
    return httpsRequest("POST", "127.0.0.1", port, path, body);
}

// One recorded request: the request line, the headers in name order, the body.
Strings recorded(const json& request) {
    Strings out;
    for (const auto& h : request["headers"]) out.push_back(h[0].get<std::string>() + ": " + h[1].get<std::string>());
    std::sort(out.begin(), out.end());
    out.insert(out.begin(), request["method"].get<std::string>() + " " + request["path"].get<std::string>());
    out.push_back(request["body"]);
    return out;
}

TEST(net_Https, SendsOnlyTheExpectedHeadersAndBodies) {
    SimProcess sim({"--password", "right", "--set-cookie"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    const HttpResult r = get(sim.port());
    EXPECT_TRUE(r.ok && r.status == 200u && r.error.empty()) << r.error;
    EXPECT_EQ(json::parse(r.body, nullptr, false)["systemId"], sim.readyLine()["systemId"]);
    // A short body, one long enough that libcurl would ask for "100-continue" on its own, and none.
    const std::string shortBody = signInRequestBody("right"), longBody = signInRequestBody(std::string(4000, 'p'));
    EXPECT_EQ(post(sim.port(), "/api/control-auth", shortBody).status, 200u);
    EXPECT_EQ(post(sim.port(), "/api/control-auth", longBody).status, 401u);
    EXPECT_EQ(post(sim.port(), "/api/control-logout", "").status, 200u);
    EXPECT_TRUE(get(sim.port() + 65536).ok);  // only the low sixteen bits of the port count; no cookie sent back

    const std::string host = "Host: 127.0.0.1:" + std::to_string(sim.port()), type = "Content-Type: application/json";
    const std::string agent = "User-Agent: " + std::string(kUserAgent), auth = "POST /api/control-auth";
    const auto length = [](const std::string& body) { return "Content-Length: " + std::to_string(body.size()); };
    const std::vector<Strings> expected = {
        {"GET /api/source-config", host, agent, ""},
        {auth, length(shortBody), type, host, agent, shortBody},
        {auth, length(longBody), type, host, agent, longBody},
        {"POST /api/control-logout", "Content-Length: 0", host, agent, ""},
        {"GET /api/source-config", host, agent, ""},
    };
    std::vector<Strings> requests;
    for (const auto& request : sim.requests()) requests.push_back(recorded(request));
    EXPECT_EQ(requests, expected);
}

// Every answer at once, each from its own simulator; the process's first requests start together, so
// libcurl's one-time set-up is raced too. An answer whose headers arrived is kept with what came of the
// body (capped near 1 MiB); one without them is a failure. Silence in any phase ends a request after
// eight seconds; a system that trickles its answer (a byte every half second) satisfies every stall
// limit until the request's deadline ends it.
TEST(net_Https, AnswersFailuresAndStallsSideBySide) {
    const std::string timedOut = "the connection timed out", reset = "the connection was reset";
    const struct {
        Strings args;
        std::uint32_t status;
        std::string error;
        std::size_t least, most, requests;
        double from, to;  // seconds, for the rows about time
    } cases[] = {
        {{"--redirect", "--cert-expired", "--cert-cn", "wrong.example"}, 302, "", 0, 1024, 1, 0, 0},
        {{"--big-body-mib", "3"}, 200, "", 1048577, 1048576 + 65536, 1, 0, 0},
        {{"--reset-mid-body"}, 200, "", 4096, 4096, 1, 0, 0},
        {{"--reset-after-handshake"}, 0, reset, 0, 0, 0, 0, 0},
        {{"--close-without-answer"}, 0, reset, 0, 0, 1, 0, 0},
        {{"--silence"}, 0, timedOut, 0, 0, 0, 7, 12},
        {{"--delay-ms", "60000"}, 0, timedOut, 0, 0, 1, 7, 12},
        {{"--trickle-ms", "500", "--big-body-mib", "1"}, 200, "", 40, 100, 1, 29, 40},
    };
    constexpr std::size_t n = std::size(cases);
    std::vector<std::unique_ptr<SimProcess>> sims;
    std::vector<std::thread> threads;
    std::latch start(n);
    HttpResult results[n];
    double seconds[n];
    for (std::size_t i = 0; i < n; ++i) {
        sims.push_back(std::make_unique<SimProcess>(cases[i].args));
        ASSERT_TRUE(sims[i]->ready()) << sims[i]->failure();
    }
    for (std::size_t i = 0; i < n; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            const auto begin = std::chrono::steady_clock::now();
            results[i] = get(sims[i]->port());
            seconds[i] = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        });
    }
    for (std::size_t i = 0; i < n; ++i) {
        threads[i].join();
        const auto& [c, r] = std::tie(cases[i], results[i]);
        SCOPED_TRACE(c.args[0]);
        EXPECT_TRUE(r.ok == c.error.empty() && r.status == c.status && r.error == c.error) << r.error;
        EXPECT_TRUE(r.body.size() >= c.least && r.body.size() <= c.most) << r.body.size();
        EXPECT_EQ(sims[i]->requests().size(), c.requests);
        EXPECT_TRUE(c.to == 0 || (seconds[i] >= c.from && seconds[i] <= c.to)) << seconds[i];
    }
}

TEST(net_Https, OtherFailuresReadAsTheOperatorPhrases) {
    // A plain HTTP server answers the TLS greeting in clear text.
    test::ChildProcess plain({"/usr/bin/python3", "-u", "-m", "http.server", "--bind", "127.0.0.1", "0"});
    const std::string serving = plain.readLine(std::chrono::seconds(20)).value_or("");  // "Serving ... port N ..."
    ASSERT_NE(serving.find(" port "), std::string::npos) << serving;
    EXPECT_EQ(get(std::stoi(serving.substr(serving.find(" port ") + 6))).error,
              "the secure connection could not be set up");
    EXPECT_EQ(get(1).error, "nothing answered at that address and port");  // nothing listens on port 1
    EXPECT_EQ(get(8443, "[]").error, "the host name could not be resolved");
    if (test::inPrivateNetns()) {  // name look-ups stay inside the namespace
        EXPECT_EQ(get(8443, "ostrel-no-such-system.invalid").error, "the host name could not be resolved");
    }
    EXPECT_EQ(curlErrorText("curl_easy_perform", 8), "curl_easy_perform failed (libcurl error 8)");
}

TEST(net_Https, RetryAfterIsRawTextUpToSixtyThreeCharacters) {
    SimProcess sim({"--auth-status", "429"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    // Counted in UTF-16 units, not bytes: "\xC3\xA9" is one, "\xF0\x9F\x99\x82" two.
    std::string e63, s31, s32, n63(63, '7'), n64(64, '7'), date = "Wed, 21 Oct 2026 07:28:00 GMT";
    for (int i = 0; i < 63; ++i) e63 += "\xC3\xA9";
    for (int i = 0; i < 32; ++i) (i < 31 ? s31 : s32) += "\xF0\x9F\x99\x82";
    const std::pair<json, std::string> cases[] = {{" 30\t", "30"}, {date, date}, {n63, n63},
                                                  {n64, ""},       {e63, e63},   {s31, s31},
                                                  {s31 + s32, ""}, {" \t ", ""}, {nullptr, ""}};
    for (const auto& [value, expected] : cases) {
        ASSERT_TRUE(sim.configure({{"controlAuth", {{"retryAfter", value}}}}));
        const HttpResult r = post(sim.port(), "/api/control-auth", "{}");
        EXPECT_TRUE(r.status == 429u && r.retryAfter == expected) << value << " gave " << r.retryAfter;
    }
}

TEST(net_Https, Ipv6LiteralWithAndWithoutBrackets) {
    SimProcess sim({"--address", "::1"});
    if (!sim.ready()) GTEST_SKIP() << "no IPv6 loopback here: " << sim.failure();
    for (const std::string host : {"[::1]", "::1"}) EXPECT_EQ(get(sim.port(), host).status, 200u) << host;
    EXPECT_EQ(recorded(sim.requests().at(0)).at(1), "Host: [::1]:" + std::to_string(sim.port()));
}

// The JSON line and the exit codes; the known hosts come from the operator's settings.
TEST(net_CliProbe, PrintsOneSortedJsonLineAndExitsWithTheOutcome) {
    SimProcess sim({"--system-id", "lab-7", "--system-name", "Lab seven", "--trusted", "true"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    test::TempDir dir;
    {
        test::IsolatedUserDirs user(dir.path());  // the same settings folder the program is given
        SettingsStore().recordSignIn(SystemEntry{"lab-7", "Lab seven", "lab.example", 8443, {"10.0.0.7"}, 0, false});
    }
    const auto probe = [&](const std::string& argument, const Strings& prefix = {}) {
        return test::runCli(dir.path(), {"probe", argument}, prefix);
    };
    const std::string port = std::to_string(sim.port());
    const auto run = probe("https://127.0.0.1:" + port + "/control/");
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, R"({"error":"","ok":true,"target":{"host":"127.0.0.1","hosts":["lab.example","10.0.0.7",)"
                       R"("127.0.0.1"],"name":"Lab seven","port":)" +
                           port + R"(,"systemId":"lab-7"},"trusted":true})" + "\n");
    EXPECT_EQ(probe("127.0.0.1:" + port, {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full"}).code, 1);
    const auto failed = probe("127.0.0.1:1");
    EXPECT_EQ(failed.code, 1);
    EXPECT_EQ(json::parse(failed.out, nullptr, false)["error"],
              "Couldn't reach 127.0.0.1:1: nothing answered at that address and port.");
    if (test::inPrivateNetns()) {  // port 8443 is only known to be free inside the private namespace
        EXPECT_EQ(json::parse(probe("127.0.0.1").out, nullptr, false)["target"]["port"], 8443);
    }
    for (const char* argument : {"", "   ", "https://", "box:70000", "box:0", "box:12x", "[::1]:99999"}) {
        const auto bad = probe(argument);
        EXPECT_TRUE(bad.code == 2 && bad.out.empty() && !bad.err.empty()) << argument;
    }
}

}  // namespace
}  // namespace ostrel
