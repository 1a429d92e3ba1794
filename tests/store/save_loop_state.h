#pragma once
// The states the crash-safety helper saves, one per iteration N, and the text each must produce.
#include <algorithm>
#include <string>

#include <nlohmann/json.hpp>

#include "store/settings_store.h"

namespace ostrel::test {

inline SystemEntry loopEntry(long n) {
    SystemEntry e;
    e.systemId = "loop-" + std::to_string(n);
    // Lengths vary from state to state so a torn or mixed file cannot pass for a whole one.
    e.name = "System " + std::to_string(n) + " " + std::string(static_cast<std::size_t>(n % 37), 'x');
    e.host = "10.0." + std::to_string(n % 250) + "." + std::to_string(n % 199 + 1);
    e.port = static_cast<std::int32_t>(8000 + n % 1000);
    e.lastUsedMs = 1767225600000 + n * 1000;
    e.sessionRemembered = n % 2 == 1;
    return e;
}

// Built independently of the store: after N iterations the list holds N, N-1, ... (at most 32).
inline std::string expectedLoopText(long n) {
    nlohmann::json systems = nlohmann::json::array();
    for (long i = n; i >= std::max(1L, n - 31); --i) {
        const SystemEntry e = loopEntry(i);
        systems.push_back({{"host", e.host},
                           {"hosts", nlohmann::json::array({e.host})},
                           {"lastUsedMs", e.lastUsedMs},
                           {"name", e.name},
                           {"port", e.port},
                           {"sessionRemembered", e.sessionRemembered},
                           {"systemId", e.systemId}});
    }
    return nlohmann::json{{"autoSignIn", false}, {"lastSystemId", ""}, {"systems", systems}, {"version", 2}}.dump(2);
}

// N of a saved state (the id of its first system), 0 for an empty list, -1 when not a loop state.
inline long loopStateNumber(const std::vector<SystemEntry>& systems) {
    if (systems.empty()) return 0;
    const std::string& id = systems.front().systemId;
    if (id.rfind("loop-", 0) != 0) return -1;
    return std::stol(id.substr(5));
}

}  // namespace ostrel::test
