// The connect probe and the sign-in answer: pure cases through a scripted HTTP function, and the
// real client against the simulator.
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "net/system_api.h"
#include "tests/net/net_test_env.h"
#include "tests/support/sim_process.h"

namespace ostrel {
namespace {

using nlohmann::json;

HttpResult answer(std::uint32_t status, std::string body, std::string retryAfter = {}) {
    HttpResult r;
    r.ok = true;
    r.status = status;
    r.body = std::move(body);
    r.retryAfter = std::move(retryAfter);
    return r;
}

HttpResult failure(std::string error) {
    HttpResult r;
    r.error = std::move(error);
    return r;
}

// Answers by path and remembers every call.
struct ScriptedHttp {
    struct Call {
        std::string method, host, path, body;
        int port;
    };
    std::map<std::string, HttpResult> byPath;
    std::vector<Call> calls;

    HttpFunction function() {
        return [this](const std::string& method, const std::string& host, int port, const std::string& path,
                      const std::string& body) {
            calls.push_back({method, host, path, body, port});
            const auto it = byPath.find(path);
            return it == byPath.end() ? failure("nothing scripted") : it->second;
        };
    }
};

FindSystemFunction knowsNothing() {
    return [](const std::string&, SystemEntry&) { return false; };
}

FindSystemFunction knows(const std::string& systemId, std::vector<std::string> hosts) {
    return [=](const std::string& id, SystemEntry& out) {
        if (id != systemId) return false;
        out.systemId = id;
        out.hosts = hosts;
        return true;
    };
}

// --- Connect probe, scripted ---------------------------------------------------------------

TEST(net_Probe, UnreachableAddressReportsLabelAndPhraseAndStops) {
    ScriptedHttp http;
    http.byPath["/api/source-config"] = failure("the connection timed out");
    const ConnectResult r = runConnectProbe("10.0.0.5", 8443, http.function(), knowsNothing());
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "Couldn't reach 10.0.0.5:8443: the connection timed out.");
    EXPECT_EQ(r.target.host, "10.0.0.5");
    EXPECT_EQ(r.target.port, 8443);
    EXPECT_TRUE(r.target.hosts.empty());
    EXPECT_FALSE(r.trusted);
    ASSERT_EQ(http.calls.size(), 1u);
    EXPECT_EQ(http.calls[0].method, "GET");
    EXPECT_EQ(http.calls[0].path, "/api/source-config");
    EXPECT_EQ(http.calls[0].body, "");
}

TEST(net_Probe, AnswersThatAreNotASystem) {
    const std::vector<std::pair<const char*, HttpResult>> cases = {
        {"404 with an id", answer(404, R"({"systemId":"abc"})")},
        {"200 with an empty id", answer(200, R"({"systemId":""})")},
        {"200 with a numeric id", answer(200, R"({"systemId":42})")},
        {"200 without an id", answer(200, R"({"systemName":"x"})")},
        {"200 not JSON", answer(200, "<html>hello</html>")},
        {"200 a JSON array", answer(200, R"([{"systemId":"abc"}])")},
        {"200 a JSON string", answer(200, R"("abc")")},
        {"302 redirect", answer(302, R"({"systemId":"abc"})")},
        {"200 cut short", answer(200, R"({"padding":"xxxx)")},
        {"200 then a NUL", answer(200, std::string(R"({"systemId":"abc"})") + '\0')},
        {"200 nested too deep", answer(200, R"({"systemId":"abc","x":)" + std::string(64, '[') + std::string(64, ']') + "}")},
    };
    for (const auto& [what, result] : cases) {
        SCOPED_TRACE(what);
        ScriptedHttp http;
        http.byPath["/api/source-config"] = result;
        const ConnectResult r = runConnectProbe("nas.local", 9000, http.function(), knowsNothing());
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, "nas.local:9000 answered, but not as an Ostrel Ops system.");
        EXPECT_EQ(http.calls.size(), 1u);  // no session check for something that is not a system
    }
}

TEST(net_Probe, NameIsTheSystemNameOrElseTheHostText) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"systemId":"abc","systemName":"Lab"})", "Lab"},
        {R"({"systemId":"abc"})", "10.0.0.5"},
        {R"({"systemId":"abc","systemName":""})", "10.0.0.5"},
        {R"({"systemId":"abc","systemName":7})", "10.0.0.5"},
        {R"({"systemId":"abc","systemName":null})", "10.0.0.5"},
    };
    for (const auto& [body, name] : cases) {
        SCOPED_TRACE(body);
        ScriptedHttp http;
        http.byPath["/api/source-config"] = answer(200, body);
        http.byPath["/api/control-session"] = answer(200, "{}");
        const ConnectResult r = runConnectProbe("10.0.0.5", 8443, http.function(), knowsNothing());
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_TRUE(r.error.empty());
        EXPECT_EQ(r.target.systemId, "abc");
        EXPECT_EQ(r.target.name, name);
    }
}

TEST(net_Probe, HostsListBuildsOnTheStoredEntry) {
    struct Case {
        const char* what;
        std::string host;
        FindSystemFunction find;
        std::vector<std::string> hosts;
    };
    const std::vector<Case> cases = {
        {"known address", "b", knows("abc", {"a", "b"}), {"a", "b"}},
        {"new address", "c", knows("abc", {"a", "b"}), {"a", "b", "c"}},
        {"case differs", "B", knows("abc", {"a", "b"}), {"a", "b", "B"}},
        {"first time", "10.0.0.5", knowsNothing(), {"10.0.0.5"}},
        {"another system known", "10.0.0.5", knows("other", {"a"}), {"10.0.0.5"}},
        {"no store", "10.0.0.5", FindSystemFunction(), {"10.0.0.5"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedHttp http;
        http.byPath["/api/source-config"] = answer(200, R"({"systemId":"abc"})");
        http.byPath["/api/control-session"] = answer(200, "{}");
        const ConnectResult r = runConnectProbe(c.host, 8443, http.function(), c.find);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.target.hosts, c.hosts);
    }
}

TEST(net_Probe, TrustedOnlyFromA200WithABoolean) {
    const std::vector<std::tuple<const char*, HttpResult, bool>> cases = {
        {"true", answer(200, R"({"trusted":true})"), true},
        {"false", answer(200, R"({"trusted":false})"), false},
        {"absent", answer(200, R"({})"), false},
        {"string", answer(200, R"({"trusted":"true"})"), false},
        {"number", answer(200, R"({"trusted":1})"), false},
        {"401", answer(401, R"({"trusted":true})"), false},
        {"302", answer(302, R"({"trusted":true})"), false},
        {"not JSON", answer(200, "trusted"), false},
        {"array", answer(200, R"([true])"), false},
        {"unreachable", failure("the connection was reset"), false},
    };
    for (const auto& [what, session, trusted] : cases) {
        SCOPED_TRACE(what);
        ScriptedHttp http;
        http.byPath["/api/source-config"] = answer(200, R"({"systemId":"abc"})");
        http.byPath["/api/control-session"] = session;
        const ConnectResult r = runConnectProbe("10.0.0.5", 8443, http.function(), knowsNothing());
        EXPECT_TRUE(r.ok);  // the session check never fails the probe
        EXPECT_TRUE(r.error.empty());
        EXPECT_EQ(r.trusted, trusted);
        ASSERT_EQ(http.calls.size(), 2u);
        EXPECT_EQ(http.calls[1].method, "GET");
        EXPECT_EQ(http.calls[1].path, "/api/control-session");
    }
}

TEST(net_Probe, BracketedHostIsKeptInLabelTargetAndRequest) {
    ScriptedHttp http;
    http.byPath["/api/source-config"] = failure("nothing answered at that address and port");
    const ConnectResult r = runConnectProbe("[fe80::1]", 8443, http.function(), knowsNothing());
    EXPECT_EQ(r.error, "Couldn't reach [fe80::1]:8443: nothing answered at that address and port.");
    EXPECT_EQ(r.target.host, "[fe80::1]");
    ASSERT_EQ(http.calls.size(), 1u);
    EXPECT_EQ(http.calls[0].host, "[fe80::1]");
    EXPECT_EQ(http.calls[0].port, 8443);
}

// --- Connect probe, real client and simulator ---------------------------------------------

class SimTest : public ::testing::Test {
protected:
    test::NoProxyEnv noProxy_;
};
using net_ProbeSim = SimTest;
using net_SignInSim = SimTest;

TEST_F(net_ProbeSim, TrustedSystemAnswersWithIdentityAndTrust) {
    test::SimProcess sim({"--system-id", "lab-7", "--system-name", "Lab seven", "--trusted", "true"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    const ConnectResult r = runConnectProbe("127.0.0.1", sim.port(), httpsRequest, knows("lab-7", {"lab.example"}));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.target.systemId, "lab-7");
    EXPECT_EQ(r.target.name, "Lab seven");
    EXPECT_EQ(r.target.hosts, (std::vector<std::string>{"lab.example", "127.0.0.1"}));
    EXPECT_TRUE(r.trusted);
    const auto requests = sim.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0]["path"], "/api/source-config");
    EXPECT_EQ(requests[1]["path"], "/api/control-session");
}

TEST_F(net_ProbeSim, RefusedSessionCheckStillConnectsUntrusted) {
    test::SimProcess sim({"--trusted", "true", "--session-status", "401"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    const ConnectResult r = runConnectProbe("127.0.0.1", sim.port(), httpsRequest, knowsNothing());
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_FALSE(r.trusted);
}

TEST_F(net_ProbeSim, NonJsonAndRedirectAnswersAreNotASystem) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--source-config-body", "<html></html>"},
                                                  std::vector<std::string>{"--redirect"}}) {
        test::SimProcess sim(args);
        ASSERT_TRUE(sim.ready()) << sim.failure();
        const ConnectResult r = runConnectProbe("127.0.0.1", sim.port(), httpsRequest, knowsNothing());
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, "127.0.0.1:" + std::to_string(sim.port()) + " answered, but not as an Ostrel Ops system.");
    }
}

TEST_F(net_ProbeSim, BracketedIpv6LoopbackKeepsItsBrackets) {
    test::SimProcess sim({"--address", "::1"});
    if (!sim.ready()) GTEST_SKIP() << "no IPv6 loopback here: " << sim.failure();
    const ConnectResult r = runConnectProbe("[::1]", sim.port(), httpsRequest, knowsNothing());
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.target.host, "[::1]");
    EXPECT_EQ(r.target.hosts, std::vector<std::string>{"[::1]"});
    EXPECT_EQ(r.target.name, "Simulated System");
}

// --- Sign-in ----------------------------------------------------------------------------------

TEST(net_SignIn, RequestBodyIsCompactJsonWithOnlyThePassword) {
    EXPECT_EQ(signInRequestBody("pa ss\"w\\ord"), R"({"password":"pa ss\"w\\ord"})");
    EXPECT_EQ(signInRequestBody(""), R"({"password":""})");
    // Bytes that are not UTF-8 must not throw on the way out.
    const json parsed = json::parse(signInRequestBody("ab\xFF"), nullptr, false);
    ASSERT_TRUE(parsed.is_object());
    EXPECT_EQ(parsed["password"], "ab\xEF\xBF\xBD");
}

TEST(net_SignIn, AnswerTable) {
    struct Case {
        const char* what;
        HttpResult result;
        bool typed;
        SignInOutcome::Kind kind;
        std::string error;
        bool deleteSaved;
    };
    using K = SignInOutcome::Kind;
    const std::vector<Case> cases = {
        {"unreachable", failure("the connection timed out"), true, K::Unreachable,
         "Couldn't reach the system: the connection timed out.", false},
        {"401 typed", answer(401, "{}"), true, K::Refused, "Incorrect password.", false},
        {"401 saved", answer(401, "{}"), false, K::Refused,
         "The saved password is no longer correct. Type the current one.", true},
        {"429 seconds", answer(429, "{}", "12"), true, K::Refused, "Too many attempts. Try again in 12 seconds.", false},
        {"429 date", answer(429, "{}", "Wed, 21 Oct 2026 07:28:00 GMT"), true, K::Refused,
         "Too many attempts. Try again in Wed, 21 Oct 2026 07:28:00 GMT seconds.", false},
        {"429 no header", answer(429, "{}"), false, K::Refused, "Too many attempts. Wait a moment and try again.", false},
        {"200 empty object", answer(200, "{}"), true, K::Refused, "Sign-in failed (HTTP 200).", false},
        {"200 empty token", answer(200, R"({"token":""})"), true, K::Refused, "Sign-in failed (HTTP 200).", false},
        {"200 numeric token", answer(200, R"({"token":5})"), true, K::Refused, "Sign-in failed (HTTP 200).", false},
        {"200 not JSON", answer(200, "token"), true, K::Refused, "Sign-in failed (HTTP 200).", false},
        {"302", answer(302, R"({"token":"t"})"), true, K::Refused, "Sign-in failed (HTTP 302).", false},
        {"500", answer(500, ""), false, K::Refused, "Sign-in failed (HTTP 500).", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const SignInOutcome o = interpretSignIn(c.result, c.typed);
        EXPECT_EQ(o.kind, c.kind);
        EXPECT_EQ(o.error, c.error);
        EXPECT_EQ(o.deleteSavedPassword, c.deleteSaved);
        EXPECT_TRUE(o.token.empty());
    }
    const SignInOutcome ok = interpretSignIn(answer(200, R"({"token":"t-1","other":1})"), false);
    EXPECT_EQ(ok.kind, SignInOutcome::Kind::SignedIn);
    EXPECT_TRUE(ok.token == "t-1");
    EXPECT_TRUE(ok.error.empty());
    EXPECT_FALSE(ok.deleteSavedPassword);
}

TEST_F(net_SignInSim, RightWrongAndThrottledPasswords) {
    test::SimProcess sim({"--password", "open sesame", "--token", "sim-token-1"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    Target target;
    target.host = "127.0.0.1";
    target.port = sim.port();

    const HttpResult right = runSignInRequest(target, signInRequestBody("open sesame"), httpsRequest);
    const SignInOutcome in = interpretSignIn(right, true);
    EXPECT_EQ(in.kind, SignInOutcome::Kind::SignedIn);
    EXPECT_TRUE(in.token == "sim-token-1");

    const SignInOutcome wrong = interpretSignIn(runSignInRequest(target, signInRequestBody("nope"), httpsRequest), true);
    EXPECT_EQ(wrong.error, "Incorrect password.");

    ASSERT_TRUE(sim.configure({{"controlAuth", {{"status", 429}, {"retryAfter", "12"}}}}));
    const SignInOutcome throttled =
        interpretSignIn(runSignInRequest(target, signInRequestBody("open sesame"), httpsRequest), true);
    EXPECT_EQ(throttled.error, "Too many attempts. Try again in 12 seconds.");

    ASSERT_TRUE(sim.configure({{"controlAuth", {{"status", 200}, {"body", "{}"}, {"retryAfter", nullptr}}}}));
    const SignInOutcome empty =
        interpretSignIn(runSignInRequest(target, signInRequestBody("open sesame"), httpsRequest), true);
    EXPECT_EQ(empty.error, "Sign-in failed (HTTP 200).");

    const auto requests = sim.requests("/api/control-auth");
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0]["method"], "POST");
    EXPECT_TRUE(requests[0]["body"] == R"({"password":"open sesame"})");
}

}  // namespace
}  // namespace ostrel
