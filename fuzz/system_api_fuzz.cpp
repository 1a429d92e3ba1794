// The system's answers (or something pretending to be a system) through the connect probe and
// the sign-in interpretation, with a scripted HTTP function. Input: up to four parts separated
// by the byte 0x1F: the /api/source-config answer, the /api/control-session answer, the
// /api/control-auth answer, and the stored hosts of the system (blank-separated). An answer is
// "STATUS[:RETRY-AFTER] BODY"; STATUS "x" is a transport failure.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "common/json_read.h"
#include "fuzz/fuzz_support.h"
#include "net/system_api.h"

namespace {

using namespace ostrel;
using ostrel::fuzz::firstWord;

HttpResult scriptedAnswer(std::string_view part) {
    HttpResult result;
    auto [head, body] = firstWord(part);
    const std::size_t colon = head.find(':');
    const std::string_view status = head.substr(0, colon);
    if (status == "x") {
        result.error = "the connection timed out";
        return result;
    }
    result.ok = true;
    result.status = static_cast<std::uint32_t>(fuzz::leadingNumber(status, 200));
    if (colon != std::string_view::npos) result.retryAfter = std::string(head.substr(colon + 1));
    result.body = std::string(body);
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parts = fuzz::splitOn(text, '\x1f');
    const auto part = [&](std::size_t i) { return i < parts.size() ? parts[i] : std::string_view("x"); };

    std::vector<std::string> stored;
    if (parts.size() > 3) {
        for (const auto host : fuzz::splitOn(parts[3], ' ')) stored.emplace_back(host);
    }
    const std::string host = "10.0.0.5";
    const int port = 9443;

    std::vector<std::string> paths;
    const HttpFunction http = [&](const std::string& method, const std::string& h, int p, const std::string& path,
                                  const std::string& body) {
        FUZZ_CHECK(h == host && p == port && body.empty() && method == "GET", path);
        paths.push_back(path);
        return scriptedAnswer(part(paths.size() - 1));
    };
    std::string foundId;
    const FindSystemFunction find = [&](const std::string& systemId, SystemEntry& out) {
        foundId = systemId;
        if (stored.empty()) return false;
        out.systemId = systemId;
        out.hosts = stored;
        return true;
    };

    const ConnectResult result = runConnectProbe(host, port, http, find);
    FUZZ_CHECK(result.target.host == host && result.target.port == port, "target address");
    FUZZ_CHECK(!paths.empty() && paths.size() <= 2 && paths[0] == "/api/source-config", "request order");
    if (result.ok) {
        FUZZ_CHECK(paths.size() == 2 && paths[1] == "/api/control-session", "the session is asked");
        FUZZ_CHECK(!result.target.systemId.empty() && result.target.systemId == foundId, "systemId");
        FUZZ_CHECK(!result.target.name.empty(), "a name, the host at least");
        FUZZ_CHECK(std::find(result.target.hosts.begin(), result.target.hosts.end(), host) != result.target.hosts.end(),
                   "the probed host is one of the system's hosts");
        FUZZ_CHECK(result.error.empty(), result.error);
    } else {
        FUZZ_CHECK(paths.size() == 1 && !result.trusted && result.target.systemId.empty(), "a failed probe");
        FUZZ_CHECK(!result.error.empty() && result.error.back() == '.', result.error);
    }

    for (const bool typed : {true, false}) {
        const HttpResult answer = scriptedAnswer(part(2));
        const SignInOutcome outcome = interpretSignIn(answer, typed);
        if (outcome.kind == SignInOutcome::Kind::SignedIn) {
            FUZZ_CHECK(answer.ok && answer.status == 200 && !outcome.token.empty(), "signed in");
        } else {
            FUZZ_CHECK(!outcome.error.empty() && outcome.token.empty(), "a refusal has its text");
            FUZZ_CHECK(outcome.kind == (answer.ok ? SignInOutcome::Kind::Refused : SignInOutcome::Kind::Unreachable),
                       "refused or unreachable");
        }
        FUZZ_CHECK(!outcome.deleteSavedPassword || (!typed && answer.status == 401), "only a refused saved password");
    }

    // The request body carries the password and nothing else, whatever its bytes.
    const std::string password(part(2));
    const nlohmann::json body = json_read::parse(signInRequestBody(password));
    FUZZ_CHECK(body.is_object() && body.size() == 1 && body["password"].is_string(), password);
    return 0;
}
