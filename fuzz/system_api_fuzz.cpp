// The system's answers (or something pretending to be a system) through the connect probe and the
// sign-in interpretation. Input, parts separated by the byte 0x1F: the answers to /api/source-config,
// /api/control-session and /api/control-auth ("STATUS[:RETRY-AFTER] BODY", STATUS "x" a transport
// failure), then the stored hosts of the system (blank-separated; no part: the system is unknown).
#include <algorithm>

#include "common/json_read.h"
#include "fuzz/fuzz_support.h"
#include "net/system_api.h"

using namespace ostrel;
using namespace ostrel::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto parts = splitOn(std::string_view(reinterpret_cast<const char*>(data), size), '\x1f');
    std::vector<std::string> stored;
    for (const auto host : parts.size() > 3 ? splitOn(parts[3], ' ') : std::vector<std::string_view>{})
        stored.emplace_back(host);
    parts.resize(3, "x");

    std::vector<std::string> paths;
    const HttpFunction http = [&](const std::string& method, const std::string& host, int port, const std::string& path,
                                  const std::string& body) {
        FUZZ_CHECK(host == "10.0.0.5" && port == 9443 && body.empty() && method == "GET" && paths.size() < 2, path);
        paths.push_back(path);
        return scriptedAnswer(parts[paths.size() - 1]);
    };
    std::string foundId;
    const ConnectResult result = runConnectProbe("10.0.0.5", 9443, http, [&](const std::string& id, SystemEntry& out) {
        foundId = id;
        out.hosts = stored;
        return !stored.empty();
    });
    const auto& target = result.target;
    FUZZ_CHECK(target.host == "10.0.0.5" && target.port == 9443 && paths.size() == (result.ok ? 2u : 1u) &&
                   paths[0] == "/api/source-config" && (!result.ok || paths[1] == "/api/control-session"),
               "the probe's requests");
    FUZZ_CHECK(result.ok ? result.error.empty() && !target.systemId.empty() && target.systemId == foundId &&
                               !target.name.empty() && std::count(target.hosts.begin(), target.hosts.end(), "10.0.0.5")
                         : !result.trusted && target.systemId.empty() && result.error.ends_with('.'),
               "a probe that succeeds knows the system, one that fails trusts nothing: " + result.error);

    const HttpResult answer = scriptedAnswer(parts[2]);
    for (const bool typed : {true, false}) {
        const SignInOutcome outcome = interpretSignIn(answer, typed);
        const auto failed = answer.ok ? SignInOutcome::Kind::Refused : SignInOutcome::Kind::Unreachable;
        FUZZ_CHECK(outcome.kind == SignInOutcome::Kind::SignedIn
                       ? answer.ok && answer.status == 200 && !outcome.token.empty()
                       : outcome.kind == failed && !outcome.error.empty() && outcome.token.empty(),
                   outcome.error);
        FUZZ_CHECK(!outcome.deleteSavedPassword || (!typed && answer.status == 401), "only a refused saved password");
    }
    // The request body carries the password and nothing else, whatever its bytes.
    const nlohmann::json body = json_read::parse(signInRequestBody(std::string(parts[2])));
    FUZZ_CHECK(body.is_object() && body.size() == 1 && body.value("password", nlohmann::json()).is_string(), parts[2]);
    return 0;
}
