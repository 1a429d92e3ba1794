// The connect probe and the sign-in answer through a scripted HTTP function, and one probe of the
// real client against the simulator.
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/system_api.h"
#include "tests/net/net_test_env.h"
#include "tests/support/sim_process.h"

namespace ostrel {
namespace {

HttpResult answer(std::uint32_t status, std::string body, std::string retryAfter = {}) {
    return HttpResult{true, status, std::move(body), std::move(retryAfter), {}};
}

HttpResult failure(std::string error) {
    HttpResult r;
    r.error = std::move(error);
    return r;
}

// Answers by path and remembers every call ("GET host:port/path").
struct ScriptedHttp {
    std::map<std::string, HttpResult> byPath;
    std::vector<std::string> calls;
    HttpFunction function() {
        return [this](const std::string& method, const std::string& host, int port, const std::string& path,
                      const std::string& body) {
            calls.push_back(method + " " + host + ":" + std::to_string(port) + path + body);
            const auto it = byPath.find(path);
            return it == byPath.end() ? failure("nothing scripted") : it->second;
        };
    }
};

FindSystemFunction knows(const std::string& systemId, std::vector<std::string> hosts) {
    return [=](const std::string& id, SystemEntry& out) {
        if (id != systemId) return false;
        out.hosts = hosts;
        return true;
    };
}

TEST(net_Probe, WhatIsNotASystemStopsBeforeTheSessionCheck) {
    const std::pair<HttpResult, std::string> cases[] = {
        {failure("the connection timed out"), "Couldn't reach [fe80::1]:9000: the connection timed out."},
        {answer(404, R"({"systemId":"abc"})"), "[fe80::1]:9000 answered, but not as an Ostrel Ops system."},
        {answer(302, R"({"systemId":"abc"})"), "[fe80::1]:9000 answered, but not as an Ostrel Ops system."},
        {answer(200, R"({"systemId":""})"), "[fe80::1]:9000 answered, but not as an Ostrel Ops system."},
        {answer(200, R"({"systemId":42})"), "[fe80::1]:9000 answered, but not as an Ostrel Ops system."},
        {answer(200, R"([{"systemId":"abc"}])"), "[fe80::1]:9000 answered, but not as an Ostrel Ops system."},
        {answer(200, R"({"padding":"xxxx)"), "[fe80::1]:9000 answered, but not as an Ostrel Ops system."},
        {answer(200, std::string(R"({"systemId":"abc"})") + '\0'), "[fe80::1]:9000 answered, but not as an Ostrel Ops system."},
        {answer(200, R"({"systemId":"abc","x":)" + std::string(64, '[') + std::string(64, ']') + "}"),
         "[fe80::1]:9000 answered, but not as an Ostrel Ops system."},
    };
    for (const auto& [result, error] : cases) {
        ScriptedHttp http;
        http.byPath["/api/source-config"] = result;
        const ConnectResult r = runConnectProbe("[fe80::1]", 9000, http.function(), knows("abc", {"x"}));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, error);
        EXPECT_EQ(r.target.host, "[fe80::1]");
        EXPECT_EQ(r.target.port, 9000);
        EXPECT_TRUE(r.target.hosts.empty());
        EXPECT_EQ(http.calls, std::vector<std::string>{"GET [fe80::1]:9000/api/source-config"});
    }
}

TEST(net_Probe, NameHostsAndTrustOfASystem) {
    struct Case {
        std::string config;
        HttpResult session;
        std::string host;
        FindSystemFunction find;
        std::string name;
        std::vector<std::string> hosts;
        bool trusted;
    };
    const Case cases[] = {
        {R"({"systemId":"abc","systemName":"Lab"})",
         answer(200, R"({"trusted":true})"),
         "b",
         knows("abc", {"a", "b"}),
         "Lab",
         {"a", "b"},
         true},
        {R"({"systemId":"abc"})",
         answer(200, R"({"trusted":false})"),
         "c",
         knows("abc", {"a", "b"}),
         "c",
         {"a", "b", "c"},
         false},
        {R"({"systemId":"abc","systemName":""})",
         answer(200, R"({"trusted":"true"})"),
         "B",
         knows("abc", {"b"}),
         "B",
         {"b", "B"},
         false},
        {R"({"systemId":"abc","systemName":7})",
         answer(401, R"({"trusted":true})"),
         "h",
         knows("other", {"a"}),
         "h",
         {"h"},
         false},
        {R"({"systemId":"abc"})", answer(200, R"([true])"), "h", FindSystemFunction(), "h", {"h"}, false},
        {R"({"systemId":"abc"})", answer(200, "trusted"), "h", nullptr, "h", {"h"}, false},
        {R"({"systemId":"abc"})", failure("the connection was reset"), "h", nullptr, "h", {"h"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config + " " + c.session.body);
        ScriptedHttp http;
        http.byPath["/api/source-config"] = answer(200, c.config);
        http.byPath["/api/control-session"] = c.session;
        const ConnectResult r = runConnectProbe(c.host, 8443, http.function(), c.find);
        ASSERT_TRUE(r.ok) << r.error;  // the session check never fails the probe
        EXPECT_TRUE(r.error.empty());
        EXPECT_EQ(r.target.systemId, "abc");
        EXPECT_EQ(r.target.name, c.name);
        EXPECT_EQ(r.target.hosts, c.hosts);
        EXPECT_EQ(r.trusted, c.trusted);
        ASSERT_EQ(http.calls.size(), 2u);
        EXPECT_EQ(http.calls[1], "GET " + c.host + ":8443/api/control-session");
    }
}

TEST(net_SignIn, RequestAndAnswerTable) {
    EXPECT_EQ(signInRequestBody("pa ss\"w\\ord"), R"({"password":"pa ss\"w\\ord"})");
    EXPECT_EQ(signInRequestBody("ab\xFF"), "{\"password\":\"ab\xEF\xBF\xBD\"}");  // never throws
    ScriptedHttp http;
    http.byPath["/api/control-auth"] = answer(200, R"({"token":"t-1","other":1})");
    const HttpResult sent = runSignInRequest(Target{"h", 9, "", "", {}}, "{}", http.function());
    EXPECT_EQ(http.calls, std::vector<std::string>{"POST h:9/api/control-auth{}"});
    const SignInOutcome ok = interpretSignIn(sent, false);
    EXPECT_EQ(ok.kind, SignInOutcome::Kind::SignedIn);
    EXPECT_TRUE(ok.token == "t-1" && ok.error.empty() && !ok.deleteSavedPassword);

    using K = SignInOutcome::Kind;
    const std::tuple<HttpResult, bool, K, std::string, bool> cases[] = {
        {failure("the connection timed out"), true, K::Unreachable,
         "Couldn't reach the system: the connection timed out.", false},
        {answer(401, "{}"), true, K::Refused, "Incorrect password.", false},
        {answer(401, "{}"), false, K::Refused, "The saved password is no longer correct. Type the current one.", true},
        {answer(429, "{}", "12"), true, K::Refused, "Too many attempts. Try again in 12 seconds.", false},
        {answer(429, "{}", "Wed, 21 Oct 2026 07:28:00 GMT"), true, K::Refused,
         "Too many attempts. Try again in Wed, 21 Oct 2026 07:28:00 GMT seconds.", false},
        {answer(429, "{}"), false, K::Refused, "Too many attempts. Wait a moment and try again.", false},
        {answer(200, R"({"token":""})"), true, K::Refused, "Sign-in failed (HTTP 200).", false},
        {answer(200, R"({"token":5})"), false, K::Refused, "Sign-in failed (HTTP 200).", false},
        {answer(200, "token"), true, K::Refused, "Sign-in failed (HTTP 200).", false},
        {answer(302, R"({"token":"t"})"), true, K::Refused, "Sign-in failed (HTTP 302).", false},
        {answer(500, ""), false, K::Refused, "Sign-in failed (HTTP 500).", false},
    };
    for (const auto& [result, typed, kind, error, deleteSaved] : cases) {
        SCOPED_TRACE(error);
        const SignInOutcome o = interpretSignIn(result, typed);
        EXPECT_EQ(o.kind, kind);
        EXPECT_EQ(o.error, error);
        EXPECT_EQ(o.deleteSavedPassword, deleteSaved);
        EXPECT_TRUE(o.token.empty());
    }
}

TEST(net_ProbeSim, RealClientAgainstATrustingSystem) {
    test::NoProxyEnv noProxy;
    test::SimProcess sim({"--system-id", "lab-7", "--system-name", "Lab seven", "--trusted", "true"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    const ConnectResult r = runConnectProbe("127.0.0.1", sim.port(), httpsRequest, knows("lab-7", {"lab.example"}));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.target.name, "Lab seven");
    EXPECT_EQ(r.target.hosts, (std::vector<std::string>{"lab.example", "127.0.0.1"}));
    EXPECT_TRUE(r.trusted);
    const auto requests = sim.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1]["path"], "/api/control-session");
}

}  // namespace
}  // namespace ostrel
