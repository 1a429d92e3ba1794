#include "ctl/bridge_protocol.h"

#include "common/json_read.h"

#include <cstdint>

#include "common/version.h"

namespace ostrel::ctl {
namespace {

using json_read::readBool;
using json_read::readString;

using nlohmann::json;

// A port the network layer can use as it is: a JSON integer in 1..65535. Anything wider would
// be cut to 16 bits further down (70000 would become 4464), so it is refused here.
bool readPort(const json& object, const char* key, int& out) {
    const auto it = object.find(key);
    if (it == object.end()) return true;
    if (it->is_number_unsigned()) {
        const auto value = it->get<std::uint64_t>();
        if (value < 1 || value > 65535) return false;
        out = static_cast<int>(value);
        return true;
    }
    if (it->is_number_integer()) {
        const auto value = it->get<std::int64_t>();
        if (value < 1 || value > 65535) return false;
        out = static_cast<int>(value);
        return true;
    }
    return false;
}

}  // namespace

const char* phaseName(Phase phase) {
    switch (phase) {
        case Phase::Host:
            return "host";
        case Phase::Connecting:
            return "connecting";
        case Phase::Password:
            return "password";
        case Phase::SigningIn:
            return "signing-in";
        case Phase::SignedIn:
            return "signed-in";
    }
    return "host";
}

Command parseCommand(const std::string& text) {
    Command command;
    const json message = json_read::parse(text);
    if (message.is_discarded() || !message.is_object()) return command;
    std::string name;
    if (!readString(message, "cmd", name)) return command;

    Command parsed;
    bool usable = true;
    if (name == "getState") {
        parsed.kind = Command::Kind::GetState;
    } else if (name == "connect") {
        parsed.kind = Command::Kind::Connect;
        usable = readString(message, "host", parsed.host) && readPort(message, "port", parsed.port);
    } else if (name == "login") {
        parsed.kind = Command::Kind::Login;
        usable = readString(message, "password", parsed.password) && readBool(message, "remember", parsed.remember);
    } else if (name == "cancel") {
        parsed.kind = Command::Kind::Cancel;
    } else if (name == "back") {
        parsed.kind = Command::Kind::Back;
    } else if (name == "forget") {
        parsed.kind = Command::Kind::Forget;
        usable = readString(message, "systemId", parsed.systemId);
    } else if (name == "discoverSystems") {
        parsed.kind = Command::Kind::DiscoverSystems;
    } else if (name == "setSiteKey") {
        parsed.kind = Command::Kind::SetSiteKey;
        usable = readString(message, "siteKey", parsed.siteKey);
    } else {
        return command;
    }
    return usable ? parsed : command;
}

std::string stateEventText(const StateSnapshot& state) {
    json systems = json::array();
    for (const auto& system : state.systems) {
        systems.push_back({{"host", system.host},
                           {"lastUsedMs", system.lastUsedMs},
                           {"name", system.name},
                           {"port", system.port},
                           {"savedPassword", system.savedPassword},
                           {"systemId", system.systemId}});
    }
    const json event = {
        {"app", {{"build", std::string(kProgramVersion)}, {"version", std::string(kReleaseName)}}},
        {"error", state.error},
        {"event", "state"},
        {"form", {{"host", state.formHost}, {"port", state.formPort}}},
        {"notice", state.notice},
        {"phase", phaseName(state.phase)},
        {"siteKeySet", state.siteKeySet},
        {"systems", std::move(systems)},
        {"target",
         {{"host", state.target.host},
          {"name", state.target.name},
          {"port", state.target.port},
          {"savedPassword", state.targetSavedPassword},
          {"systemId", state.target.systemId}}},
    };
    // Replace invalid UTF-8 rather than throw: texts come from the network and from typing.
    return event.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string discoveryEventText(const std::string& state, const nlohmann::json& systems, const std::string& error) {
    const json event = {
        {"error", error},
        {"event", "discovery"},
        {"state", state},
        {"systems", systems.is_array() ? systems : json::array()},
    };
    return event.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace ostrel::ctl
