// The HTTPS client and `ostrel-control-cli probe` against the simulator over loopback; the connect probe and
// the sign-in answer through a scripted HTTP function.
#include <algorithm>
#include <latch>
#include <map>
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

// One system through the client (exact requests, then Retry-After answers) and through the CLI probe, whose
// known hosts come from the operator's settings.
TEST(net_Https, ExactRequestsRetryAfterAndTheCliProbe) {
    SimProcess sim({"--password", "right", "--set-cookie", "--system-id", "lab-7", "--system-name", "Lab seven",
                    "--trusted", "true"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    EXPECT_EQ(get(sim.port()).status, 200u);
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

    // Retry-After is raw text up to 63 UTF-16 units, not bytes: "\xC3\xA9" is one, "\xF0\x9F\x99\x82" two.
    std::string e63, s31, s32, n63(63, '7'), n64(64, '7'), date = "Wed, 21 Oct 2026 07:28:00 GMT";
    for (int i = 0; i < 63; ++i) e63 += "\xC3\xA9";
    for (int i = 0; i < 32; ++i) (i < 31 ? s31 : s32) += "\xF0\x9F\x99\x82";
    const std::pair<json, std::string> cases[] = {{" 30\t", "30"}, {date, date}, {n63, n63},
                                                  {n64, ""},       {e63, e63},   {s31, s31},
                                                  {s31 + s32, ""}, {" \t ", ""}, {nullptr, ""}};
    for (const auto& [value, expected] : cases) {
        ASSERT_TRUE(sim.configure({{"controlAuth", {{"status", 429}, {"retryAfter", value}}}}));
        const HttpResult refused = post(sim.port(), "/api/control-auth", "{}");
        EXPECT_TRUE(refused.status == 429u && refused.retryAfter == expected)
            << value << " gave " << refused.retryAfter;
    }

    // The CLI prints one sorted JSON line and exits with the outcome.
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
    const auto failed = probe("127.0.0.1:1");  // nothing listens on port 1
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

// Every answer at once, each from its own simulator, so libcurl's one-time set-up is raced too. An answer whose
// headers arrived is kept with what came of the body (capped near 1 MiB); one without them is a failure. Silence
// ends a request after eight seconds; a trickle (a byte every half second) only at the 30-second deadline.
TEST(net_Https, AnswersFailuresAndStallsSideBySide) {
    const std::string timedOut = "the connection timed out", reset = "the connection was reset";
    // Simulator options; status, error; body size range; requests recorded; seconds taken (0, 0: any).
    const std::tuple<Strings, std::uint32_t, std::string, std::size_t, std::size_t, std::size_t, double, double>
        cases[] = {
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
    for (const auto& c : cases) {
        sims.push_back(std::make_unique<SimProcess>(std::get<0>(c)));
        ASSERT_TRUE(sims.back()->ready()) << sims.back()->failure();
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
        const auto& [args, status, error, least, most, requests, from, to] = cases[i];
        const HttpResult& r = results[i];
        SCOPED_TRACE(args[0]);
        EXPECT_TRUE(r.ok == error.empty() && r.status == status && r.error == error) << r.error;
        EXPECT_TRUE(r.body.size() >= least && r.body.size() <= most) << r.body.size();
        EXPECT_EQ(sims[i]->requests().size(), requests);
        EXPECT_TRUE(to == 0 || (seconds[i] >= from && seconds[i] <= to)) << seconds[i];
    }
}

// A plain HTTP server answers the TLS greeting in clear text; a host text that cannot form a URL; IPv6
// literals with and without brackets.
TEST(net_Https, OtherFailuresAndIpv6Literals) {
    test::ChildProcess plain({"/usr/bin/python3", "-u", "-m", "http.server", "--bind", "127.0.0.1", "0"});
    const std::string serving = plain.readLine(std::chrono::seconds(20)).value_or("");  // "Serving ... port N ..."
    ASSERT_NE(serving.find(" port "), std::string::npos) << serving;
    EXPECT_EQ(get(std::stoi(serving.substr(serving.find(" port ") + 6))).error,
              "the secure connection could not be set up");
    EXPECT_EQ(get(8443, "[]").error, "the host name could not be resolved");
    EXPECT_EQ(curlErrorText("curl_easy_perform", 8), "curl_easy_perform failed (libcurl error 8)");
    SimProcess sim({"--address", "::1"});
    if (!sim.ready()) GTEST_SKIP() << "no IPv6 loopback here: " << sim.failure();
    for (const std::string host : {"[::1]", "::1"}) EXPECT_EQ(get(sim.port(), host).status, 200u) << host;
    EXPECT_EQ(recorded(sim.requests().at(0)).at(1), "Host: [::1]:" + std::to_string(sim.port()));
}

HttpResult answer(std::uint32_t status, std::string body, std::string retryAfter = {}) {
    return HttpResult{true, status, std::move(body), std::move(retryAfter), {}};
}
HttpResult failure(std::string error) {
    return HttpResult{false, 0, {}, {}, std::move(error)};
}

// Answers by path and remembers every call ("GET host:port/path" and the body).
HttpFunction scripted(std::map<std::string, HttpResult> byPath, Strings& calls) {
    return [byPath, &calls](const std::string& method, const std::string& host, int port, const std::string& path,
                            const std::string& body) {
        calls.push_back(method + " " + host + ":" + std::to_string(port) + path + body);
        return byPath.count(path) ? byPath.at(path) : failure("nothing scripted");
    };
}

TEST(net_Probe, IdentityNameHostsAndTrust) {
    const std::string notASystem = "h:9/ '' ! h:9 answered, but not as an Ostrel Ops system.";
    const auto identity = [](const std::string& more) { return answer(200, R"({"systemId":"abc")" + more + "}"); };
    // Source-config and session answers, host, whether the system "abc" is known (with the hosts "a" and "b";
    // false: nothing is looked up at all), the result.
    const std::tuple<HttpResult, HttpResult, std::string, bool, std::string> cases[] = {
        {failure("the connection timed out"), {}, "h", true, "h:9/ '' ! Couldn't reach h:9: the connection timed out."},
        {answer(404, R"({"systemId":"abc"})"), {}, "h", true, notASystem},
        {answer(200, R"({"systemId":""})"), {}, "h", true, notASystem},
        {answer(200, R"({"systemId":42})"), {}, "h", true, notASystem},
        {answer(200, R"([{"systemId":"abc"}])"), {}, "h", true, notASystem},
        {answer(200, std::string(R"({"systemId":"abc"})") + '\0'), {}, "h", true, notASystem},  // strict JSON
        {identity(R"(,"systemName":"Lab")"), answer(200, R"({"trusted":true})"), "b", true,
         "b:9/abc 'Lab' a b trusted"},
        {identity(""), answer(200, R"({"trusted":false})"), "c", true, "c:9/abc 'c' a b c"},
        {identity(R"(,"systemName":"")"), answer(200, R"({"trusted":"true"})"), "B", true, "B:9/abc 'B' a b B"},
        {identity(R"(,"systemName":7)"), answer(401, R"({"trusted":true})"), "h", true, "h:9/abc 'h' a b h"},
        {identity(""), answer(200, "trusted"), "h", false, "h:9/abc 'h' h"},
        {identity(""), failure("the connection was reset"), "h", false, "h:9/abc 'h' h"},
    };
    const FindSystemFunction knows = [](const std::string& id, SystemEntry& out) {
        return id == "abc" && (out.hosts = {"a", "b"}, true);
    };
    for (const auto& [config, session, host, known, expected] : cases) {
        Strings calls;
        const auto http = scripted({{"/api/source-config", config}, {"/api/control-session", session}}, calls);
        const ConnectResult r = runConnectProbe(host, 9, http, known ? knows : nullptr);
        // The whole result on one line; a failed one ends in "! <error>".
        std::string line =
            r.target.host + ":" + std::to_string(r.target.port) + "/" + r.target.systemId + " '" + r.target.name + "'";
        for (const auto& name : r.target.hosts) line += " " + name;
        EXPECT_EQ(line + (r.trusted ? " trusted" : "") + (r.ok ? "" : " ! ") + r.error, expected);
        Strings expectedCalls = {"GET " + host + ":9/api/source-config"};
        if (r.ok) expectedCalls.push_back("GET " + host + ":9/api/control-session");  // which never fails the probe
        EXPECT_EQ(calls, expectedCalls) << expected;
    }
}

TEST(net_SignIn, RequestAndAnswerTable) {
    EXPECT_EQ(signInRequestBody("pa ss\"w\\ord"), R"({"password":"pa ss\"w\\ord"})");
    EXPECT_EQ(signInRequestBody("ab\xFF"), "{\"password\":\"ab\xEF\xBF\xBD\"}");  // never throws
    Strings calls;
    runSignInRequest(Target{"h", 9, "", "", {}}, "{}", scripted({}, calls));
    EXPECT_EQ(calls, Strings{"POST h:9/api/control-auth{}"});

    const std::string failed = "Refused: Sign-in failed (HTTP ";
    const std::tuple<HttpResult, bool, std::string> cases[] = {
        {answer(200, R"({"token":"t-1","other":1})"), false, "SignedIn: t-1"},
        {failure("the connection timed out"), true,
         "Unreachable: Couldn't reach the system: the connection timed out."},
        {answer(401, "{}"), true, "Refused: Incorrect password."},
        {answer(401, "{}"), false, "Refused: The saved password is no longer correct. Type the current one. [forget]"},
        {answer(429, "{}", "12"), true, "Refused: Too many attempts. Try again in 12 seconds."},
        {answer(429, "{}"), false, "Refused: Too many attempts. Wait a moment and try again."},
        {answer(200, R"({"token":""})"), true, failed + "200)."},
        {answer(302, R"({"token":"t"})"), false, failed + "302)."},
    };
    const char* kinds[] = {"SignedIn", "Refused", "Unreachable"};
    for (const auto& [result, typed, expected] : cases) {
        const SignInOutcome o = interpretSignIn(result, typed);
        EXPECT_EQ(
            kinds[static_cast<int>(o.kind)] + (": " + o.error) + o.token + (o.deleteSavedPassword ? " [forget]" : ""),
            expected);
    }
}

}  // namespace
}  // namespace ostrel
