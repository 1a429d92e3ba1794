// Page messages while signed in. Input: the first line holds the system's hosts (blank-separated;
// the first is the one connected to), every further line one message "SOURCE-URL MESSAGE-JSON".
// Only a "signedOut" signal from a page of the system may change anything, and a session that
// ends is undone completely.
#include <algorithm>

#include "common/json_read.h"
#include "fuzz/controller_harness.h"

using namespace ostrel;
using namespace ostrel::fuzz;

OSTREL_FUZZ_QUIET_LOGGING

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto lines = splitOn(std::string_view(reinterpret_cast<const char*>(data), size), '\n');
    if (lines.size() < 2 || lines.size() > 64) return 0;
    const auto dump = [](const nlohmann::json& j) {
        return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    };
    // A known system with every host of the first line, on a trusted machine: connecting to the first signs in at once.
    ScriptedWorld run;
    nlohmann::json hosts = nlohmann::json::array();
    for (const auto host : splitOn(lines[0], ' ')) hosts.push_back(std::string(host));
    writeText(ScriptedWorld::settingsPath(),
              dump({{"version", 2}, {"systems", {{{"systemId", "fz"}, {"host", "x"}, {"hosts", hosts}}}}}));
    run.start();
    run.world.answers = {scriptedAnswer(R"(200 {"systemId":"fz","systemName":"Fuzz"})"),
                         scriptedAnswer(R"(200 {"trusted":true})")};
    run.controller->handleCommand(dump({{"cmd", "connect"}, {"host", hosts[0]}}));
    run.pump();
    auto& c = *run.controller;
    if (!c.signedIn()) return 0;  // a host text the connect command does not take as it is
    const std::vector<std::string> targetHosts = c.target().hosts;
    const auto hostCount = std::ssize(targetHosts);

    for (const auto line : std::vector(lines.begin() + 1, lines.end())) {
        const auto [source, message] = firstWord(line);
        const bool wasSignedIn = c.signedIn();
        run.log.lines.clear();
        c.handlePageMessage(std::string(source), std::string(message));
        run.checkController();
        const auto& calls = run.log.lines;
        const auto count = [&](std::string_view what) {
            return std::count_if(calls.begin(), calls.end(),
                                 [&](const std::string& call) { return call.starts_with(what); });
        };
        const auto cracked = ctl::crackUrl(std::string(source));
        const auto signal = json_read::parse(message);
        if (!wasSignedIn || !cracked || !ctl::isTargetHost(cracked->host, targetHosts) || !signal.is_object() ||
            signal.value("ostrelHost", nlohmann::json()) != "signedOut") {
            FUZZ_CHECK(calls.empty() && c.signedIn() == wasSignedIn,
                       "an ignored message had an effect: " + std::string(line));
            continue;
        }
        // The cookie goes for every host of the system whatever the reason; an unknown reason does no more.
        FUZZ_CHECK(count("deleteCookies") == hostCount && (!c.signedIn() || std::ssize(calls) == hostCount), line);
        if (c.signedIn()) continue;
        FUZZ_CHECK(c.phase() == ctl::Phase::Host || c.phase() == ctl::Phase::Password, line);
        FUZZ_CHECK(count("closePopups") && count("clearCertificateDecisions") && count("removeScript") &&
                       !count("setCookie") && calls.back() == "navigate " + std::string(ctl::kStartPageUrl),
                   "an end of session left something: " + std::string(line));
    }
    return 0;
}
