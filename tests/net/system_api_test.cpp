// The connect probe and the sign-in answer through a scripted HTTP function (the real client against
// the simulator: the CLI probe test).
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/system_api.h"

namespace ostrel {
namespace {

using Strings = std::vector<std::string>;

HttpResult answer(std::uint32_t status, std::string body, std::string retryAfter = {}) {
    return HttpResult{true, status, std::move(body), std::move(retryAfter), {}};
}
HttpResult failure(std::string error) {
    return HttpResult{false, 0, {}, {}, std::move(error)};
}

// Answers by path and remembers every call ("GET host:port/path").
struct ScriptedHttp {
    std::map<std::string, HttpResult> byPath;
    Strings calls;
    HttpFunction function() {
        return [this](const std::string& method, const std::string& host, int port, const std::string& path,
                      const std::string& body) {
            calls.push_back(method + " " + host + ":" + std::to_string(port) + path + body);
            const auto it = byPath.find(path);
            return it == byPath.end() ? failure("nothing scripted") : it->second;
        };
    }
};

// Knows `systemId` with `hosts`; an empty id gives no look-up at all.
FindSystemFunction knows(const std::string& systemId, Strings hosts) {
    if (systemId.empty()) return nullptr;
    return [=](const std::string& id, SystemEntry& out) { return id == systemId && (out.hosts = hosts, true); };
}

TEST(net_Probe, WhatIsNotASystemStopsBeforeTheSessionCheck) {
    const std::string notASystem = "[fe80::1]:9000 answered, but not as an Ostrel Ops system.";
    const std::pair<HttpResult, std::string> cases[] = {
        {failure("the connection timed out"), "Couldn't reach [fe80::1]:9000: the connection timed out."},
        {answer(404, R"({"systemId":"abc"})"), notASystem},
        {answer(302, R"({"systemId":"abc"})"), notASystem},
        {answer(200, R"({"systemId":""})"), notASystem},
        {answer(200, R"({"systemId":42})"), notASystem},
        {answer(200, R"([{"systemId":"abc"}])"), notASystem},
        {answer(200, R"({"padding":"xxxx)"), notASystem},
        {answer(200, std::string(R"({"systemId":"abc"})") + '\0'), notASystem},
        {answer(200, R"({"systemId":"abc","x":)" + std::string(64, '[') + std::string(64, ']') + "}"), notASystem},
    };
    for (const auto& [result, error] : cases) {
        ScriptedHttp http;
        http.byPath["/api/source-config"] = result;
        const ConnectResult r = runConnectProbe("[fe80::1]", 9000, http.function(), knows("abc", {"x"}));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, error);
        EXPECT_TRUE(r.target.host == "[fe80::1]" && r.target.port == 9000 && r.target.hosts.empty());
        EXPECT_EQ(http.calls, Strings{"GET [fe80::1]:9000/api/source-config"});
    }
}

TEST(net_Probe, NameHostsAndTrustOfASystem) {
    struct Case {
        std::string config;
        HttpResult session;
        std::string host, knownId;
        Strings known;
        std::string name;
        Strings hosts;
        bool trusted;
    };
    const Case cases[] = {
        {R"(,"systemName":"Lab")", answer(200, R"({"trusted":true})"), "b", "abc", {"a", "b"}, "Lab", {"a", "b"}, true},
        {"", answer(200, R"({"trusted":false})"), "c", "abc", {"a", "b"}, "c", {"a", "b", "c"}, false},
        {R"(,"systemName":"")", answer(200, R"({"trusted":"true"})"), "B", "abc", {"b"}, "B", {"b", "B"}, false},
        {R"(,"systemName":7)", answer(401, R"({"trusted":true})"), "h", "other", {"a"}, "h", {"h"}, false},
        {"", answer(200, R"([true])"), "h", "", {}, "h", {"h"}, false},
        {"", answer(200, "trusted"), "h", "", {}, "h", {"h"}, false},
        {"", failure("the connection was reset"), "h", "", {}, "h", {"h"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config + " " + c.session.body);
        ScriptedHttp http;
        http.byPath["/api/source-config"] = answer(200, std::string(R"({"systemId":"abc")") + c.config + "}");
        http.byPath["/api/control-session"] = c.session;
        const ConnectResult r = runConnectProbe(c.host, 8443, http.function(), knows(c.knownId, c.known));
        ASSERT_TRUE(r.ok && r.error.empty()) << r.error;  // the session check never fails the probe
        EXPECT_EQ(r.target.systemId, "abc");
        EXPECT_EQ(r.target.name, c.name);
        EXPECT_EQ(r.target.hosts, c.hosts);
        EXPECT_EQ(r.trusted, c.trusted);
        EXPECT_EQ(http.calls.at(1), "GET " + c.host + ":8443/api/control-session");
    }
}

TEST(net_SignIn, RequestAndAnswerTable) {
    EXPECT_EQ(signInRequestBody("pa ss\"w\\ord"), R"({"password":"pa ss\"w\\ord"})");
    EXPECT_EQ(signInRequestBody("ab\xFF"), "{\"password\":\"ab\xEF\xBF\xBD\"}");  // never throws
    ScriptedHttp http;
    http.byPath["/api/control-auth"] = answer(200, R"({"token":"t-1","other":1})");
    const SignInOutcome ok =
        interpretSignIn(runSignInRequest(Target{"h", 9, "", "", {}}, "{}", http.function()), false);
    EXPECT_EQ(http.calls, Strings{"POST h:9/api/control-auth{}"});
    EXPECT_TRUE(ok.kind == SignInOutcome::Kind::SignedIn && ok.token == "t-1" && ok.error.empty() &&
                !ok.deleteSavedPassword);

    using K = SignInOutcome::Kind;
    const std::string date = "Wed, 21 Oct 2026 07:28:00 GMT", failed = "Sign-in failed (HTTP ";
    const std::tuple<HttpResult, bool, K, std::string, bool> cases[] = {
        {failure("the connection timed out"), true, K::Unreachable,
         "Couldn't reach the system: the connection timed out.", false},
        {answer(401, "{}"), true, K::Refused, "Incorrect password.", false},
        {answer(401, "{}"), false, K::Refused, "The saved password is no longer correct. Type the current one.", true},
        {answer(429, "{}", "12"), true, K::Refused, "Too many attempts. Try again in 12 seconds.", false},
        {answer(429, "{}", date), true, K::Refused, "Too many attempts. Try again in " + date + " seconds.", false},
        {answer(429, "{}"), false, K::Refused, "Too many attempts. Wait a moment and try again.", false},
        {answer(200, R"({"token":""})"), true, K::Refused, failed + "200).", false},
        {answer(200, R"({"token":5})"), false, K::Refused, failed + "200).", false},
        {answer(200, "token"), true, K::Refused, failed + "200).", false},
        {answer(302, R"({"token":"t"})"), true, K::Refused, failed + "302).", false},
        {answer(500, ""), false, K::Refused, failed + "500).", false},
    };
    for (const auto& [result, typed, kind, error, deleteSaved] : cases) {
        const SignInOutcome o = interpretSignIn(result, typed);
        EXPECT_EQ(o.kind, kind) << error;
        EXPECT_EQ(o.error, error);
        EXPECT_EQ(o.deleteSavedPassword, deleteSaved) << error;
        EXPECT_TRUE(o.token.empty()) << error;
    }
}

}  // namespace
}  // namespace ostrel
