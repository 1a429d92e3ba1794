// The connect probe and the sign-in answer through a scripted HTTP function (the real client against
// the simulator: the CLI probe test).
#include <map>

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

// Answers by path and remembers every call ("GET host:port/path" and the body).
struct ScriptedHttp {
    std::map<std::string, HttpResult> byPath;
    Strings calls;
    HttpFunction function() {
        return [this](const std::string& method, const std::string& host, int port, const std::string& path,
                      const std::string& body) {
            calls.push_back(method + " " + host + ":" + std::to_string(port) + path + body);
            return byPath.count(path) ? byPath[path] : failure("nothing scripted");
        };
    }
};

// A probe's whole result on one line; a failed one ends in "! <error>".
std::string render(const ConnectResult& r) {
    std::string out =
        r.target.host + ":" + std::to_string(r.target.port) + "/" + r.target.systemId + " '" + r.target.name + "'";
    for (const auto& host : r.target.hosts) out += " " + host;
    return out + (r.trusted ? " trusted" : "") + (r.ok ? "" : " ! ") + r.error;
}

TEST(net_Probe, IdentityNameHostsAndTrust) {
    const std::string notASystem = "h:9/ '' ! h:9 answered, but not as an Ostrel Ops system.";
    const auto config = [](const std::string& members) { return answer(200, R"({"systemId":"abc")" + members + "}"); };
    // The system "abc" is known with the hosts "a" and "b" (`known` false: nothing is looked up at all).
    const struct {
        HttpResult config, session;
        std::string host;
        bool known;
        std::string expected;
    } cases[] = {
        {failure("the connection timed out"), {}, "h", true, "h:9/ '' ! Couldn't reach h:9: the connection timed out."},
        {answer(404, R"({"systemId":"abc"})"), {}, "h", true, notASystem},
        {answer(200, R"({"systemId":""})"), {}, "h", true, notASystem},
        {answer(200, R"({"systemId":42})"), {}, "h", true, notASystem},
        {answer(200, R"([{"systemId":"abc"}])"), {}, "h", true, notASystem},
        {answer(200, std::string(R"({"systemId":"abc"})") + '\0'), {}, "h", true, notASystem},  // strict JSON
        {config(R"(,"systemName":"Lab")"), answer(200, R"({"trusted":true})"), "b", true, "b:9/abc 'Lab' a b trusted"},
        {config(""), answer(200, R"({"trusted":false})"), "c", true, "c:9/abc 'c' a b c"},
        {config(R"(,"systemName":"")"), answer(200, R"({"trusted":"true"})"), "B", true, "B:9/abc 'B' a b B"},
        {config(R"(,"systemName":7)"), answer(401, R"({"trusted":true})"), "h", true, "h:9/abc 'h' a b h"},
        {config(""), answer(200, "trusted"), "h", false, "h:9/abc 'h' h"},
        {config(""), failure("the connection was reset"), "h", false, "h:9/abc 'h' h"},
    };
    for (const auto& c : cases) {
        ScriptedHttp http{{{"/api/source-config", c.config}, {"/api/control-session", c.session}}, {}};
        const FindSystemFunction knows = [](const std::string& id, SystemEntry& out) {
            return id == "abc" && (out.hosts = {"a", "b"}, true);
        };
        const ConnectResult r = runConnectProbe(c.host, 9, http.function(), c.known ? knows : nullptr);
        EXPECT_EQ(render(r), c.expected);
        Strings calls = {"GET " + c.host + ":9/api/source-config"};
        if (r.ok) calls.push_back("GET " + c.host + ":9/api/control-session");  // which never fails the probe
        EXPECT_EQ(http.calls, calls) << c.expected;
    }
}

TEST(net_SignIn, RequestAndAnswerTable) {
    EXPECT_EQ(signInRequestBody("pa ss\"w\\ord"), R"({"password":"pa ss\"w\\ord"})");
    EXPECT_EQ(signInRequestBody("ab\xFF"), "{\"password\":\"ab\xEF\xBF\xBD\"}");  // never throws
    ScriptedHttp http;
    runSignInRequest(Target{"h", 9, "", "", {}}, "{}", http.function());
    EXPECT_EQ(http.calls, Strings{"POST h:9/api/control-auth{}"});

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
    for (const auto& [result, typed, expected] : cases) {
        const SignInOutcome o = interpretSignIn(result, typed);
        const char* kinds[] = {"SignedIn", "Refused", "Unreachable"};
        EXPECT_EQ(
            kinds[static_cast<int>(o.kind)] + (": " + o.error) + o.token + (o.deleteSavedPassword ? " [forget]" : ""),
            expected);
    }
}

}  // namespace
}  // namespace ostrel
