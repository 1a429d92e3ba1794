#pragma once
// What the simulated system answers: one JSON object, merged from the command line, config files
// and run-time lines on standard input, read by the request handlers under a lock.
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace ostrel::sim {

enum class Endpoint { SourceConfig, ControlSession, ControlAuth, ControlLogout };

const char* endpointKey(Endpoint endpoint);  // "sourceConfig", ...

// The answer settings of one endpoint after the endpoint object has overridden the top level.
struct EndpointAnswer {
    std::optional<int> status;
    std::optional<std::string> body;
    std::optional<std::string> redirect;
    std::optional<std::string> retryAfter;
    std::optional<std::string> setCookie;
    std::vector<std::pair<std::string, std::string>> headers;
    int delayMs = 0;
    int trickleMs = 0;  // > 0: the body leaves one byte per this many milliseconds
    int bigBodyMiB = 0;
};

class SimConfig {
public:
    SimConfig();

    // Checks and merges `patch`; on a bad patch returns false with `error` set and changes nothing.
    bool merge(const nlohmann::json& patch, std::string& error);

    // Thread-safe snapshots for the handlers.
    EndpointAnswer answer(Endpoint endpoint) const;
    nlohmann::json sourceConfigBody() const;   // {"systemId","systemName"} as configured
    nlohmann::json sessionBody() const;        // {"trusted"} as configured
    nlohmann::json systemIdValue() const;      // the configured value; null when omitted
    std::string systemNameText() const;        // for page titles; empty unless a string
    std::string password() const;
    std::optional<std::string> fixedToken() const;
    int pollMs() const;

private:
    static bool check(const nlohmann::json& patch, std::string& error);

    mutable std::mutex mutex_;
    nlohmann::json config_;
};

// The command-line switches that shape answers, turned into a config patch. `i` points at the
// switch; it is advanced past the switch's value. Returns false with `error` for a bad value;
// returns true with `handled` false when the switch is not an answer switch.
bool answerSwitchPatch(const std::vector<std::string>& args, std::size_t& i, nlohmann::json& patch, bool& handled,
                       std::string& error);

}  // namespace ostrel::sim
