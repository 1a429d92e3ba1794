// Page messages through AppController::handlePageMessage while signed in. Input: the first line
// holds the system's hosts (blank-separated; the first is the one connected to), every further
// line one message as "SOURCE-URL MESSAGE-JSON". Only a "signedOut" signal from a page of the
// system may change anything, and a session that ends is undone completely.
#include <cstdint>
#include <string>
#include <vector>

#include "common/json_read.h"
#include "fuzz/controller_harness.h"

namespace {

using namespace ostrel;
using namespace ostrel::fuzz;

bool isSignOutSignal(const std::string& message) {
    const auto value = json_read::parse(message);
    if (!value.is_object()) return false;
    const auto it = value.find("ostrelHost");
    return it != value.end() && it->is_string() && *it == "signedOut";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ScriptedWorld::initQuietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto lines = splitOn(std::string_view(reinterpret_cast<const char*>(data), size), '\n');
    if (lines.size() < 2 || lines.size() > 64) return 0;
    const auto hostWords = splitOn(lines[0], ' ');

    ScriptedWorld world;
    // The system is known with every host of the first line; connecting to the first signs in
    // at once (this machine is trusted).
    nlohmann::json hosts = nlohmann::json::array();
    for (const auto host : hostWords) hosts.push_back(std::string(host));
    const nlohmann::json config = {
        {"version", 2},
        {"systems", {{{"systemId", "fz"}, {"host", "stored.example"}, {"hosts", hosts}}}}};
    {
        std::FILE* file = std::fopen(ScriptedWorld::settingsPath().c_str(), "wb");
        const std::string text = config.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
    }
    world.start();
    HttpResult identity;
    identity.ok = true;
    identity.status = 200;
    identity.body = R"({"systemId":"fz","systemName":"Fuzz"})";
    HttpResult session = identity;
    session.body = R"({"trusted":true})";
    world.answers = {identity, session};
    world.controller->handleCommand(
        nlohmann::json{{"cmd", "connect"}, {"host", std::string(hostWords[0])}}.dump(
            -1, ' ', false, nlohmann::json::error_handler_t::replace));
    world.runJob(0);
    world.controller->runPostedTasks();
    auto& c = *world.controller;
    if (!c.signedIn()) return 0;  // a host text the connect command does not take as it is
    const std::vector<std::string> targetHosts = c.target().hosts;
    std::uint32_t generation = 0;
    checkController(world, generation);

    for (std::size_t i = 1; i < lines.size(); ++i) {
        auto [sourceText, messageText] = firstWord(lines[i]);
        const std::string source(sourceText);
        const std::string message(messageText);
        const bool wasSignedIn = c.signedIn();
        const std::size_t before = world.view->calls.size();
        c.handlePageMessage(source, message);
        checkController(world, generation);
        const std::vector<Call> calls(world.view->calls.begin() + static_cast<std::ptrdiff_t>(before),
                                      world.view->calls.end());
        const std::string detail = "source=" + source + " message=" + message;

        const auto cracked = ctl::crackUrl(source);
        const bool fromSystem = cracked && ctl::isTargetHost(cracked->host, targetHosts);
        if (!wasSignedIn || !fromSystem || !isSignOutSignal(message)) {
            FUZZ_CHECK(calls.empty() && c.signedIn() == wasSignedIn, "an ignored message had an effect: " + detail);
            continue;
        }
        // The cookie goes for every host of the system, whatever the reason.
        FUZZ_CHECK(calls.size() >= targetHosts.size(), detail);
        for (std::size_t h = 0; h < targetHosts.size(); ++h) {
            FUZZ_CHECK(calls[h].what == "deleteCookies" &&
                           calls[h].text == "ostrel_control_session " + ctl::normalizeHost(targetHosts[h]),
                       detail);
        }
        if (c.signedIn()) {
            FUZZ_CHECK(calls.size() == targetHosts.size(), "an unknown reason did more than drop the cookie: " + detail);
            continue;
        }
        FUZZ_CHECK(c.phase() == ctl::Phase::Host || c.phase() == ctl::Phase::Password, detail);
        const auto has = [&](const char* what) {
            return std::any_of(calls.begin(), calls.end(), [&](const Call& call) { return call.what == what; });
        };
        FUZZ_CHECK(has("closePopups") && has("clearCertificateDecisions") && has("removeScript"), detail);
        FUZZ_CHECK(calls.back().what == "navigate" && calls.back().text == ctl::kStartPageUrl, detail);
        FUZZ_CHECK(!has("setCookie"), detail);
    }
    return 0;
}
