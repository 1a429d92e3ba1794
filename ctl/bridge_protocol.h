#pragma once
// The start-page protocol as data: commands parsed from the page's JSON, and the "state" and
// "discovery" events built for it. No controller state lives here.
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "net/system_api.h"

namespace ostrel::ctl {

enum class Phase : std::int32_t { Host, Connecting, Password, SigningIn, SignedIn };
// "host", "connecting", "password", "signing-in", "signed-in"
const char* phaseName(Phase phase);

struct Command {
    enum class Kind { Ignored, GetState, Connect, Login, Cancel, Back, Forget, DiscoverSystems, SetSiteKey };
    Kind kind = Kind::Ignored;
    std::string host;      // connect: the text as typed, not yet normalised
    int port = 8443;       // connect: the "port" member, 1..65535
    std::string password;  // login (may be empty: use the saved one)
    bool remember = true;  // login
    std::string systemId;  // forget
    std::string siteKey;   // setSiteKey
};

// Ignored: not a JSON object, "cmd" missing, unknown or not a string, an argument of another
// JSON type than the protocol gives it, or a "connect" whose "port" lies outside 1..65535.
Command parseCommand(const std::string& json);

struct StateSystem {
    std::string systemId;
    std::string name;
    std::string host;
    std::int32_t port = 8443;
    std::int64_t lastUsedMs = 0;
    bool savedPassword = false;
};

struct StateSnapshot {
    Phase phase = Phase::Host;
    std::string error;
    std::string notice;
    std::string formHost;
    std::int32_t formPort = 8443;
    Target target;
    bool targetSavedPassword = false;
    bool siteKeySet = false;
    std::vector<StateSystem> systems;
};

std::string stateEventText(const StateSnapshot& state);
std::string discoveryEventText(const std::string& state, const nlohmann::json& systems, const std::string& error);

}  // namespace ostrel::ctl
