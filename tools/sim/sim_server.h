#pragma once
// The simulated system's HTTPS answers: the four API endpoints, the Control UI pages and the
// sessions that sign-in creates and sign-out ends.
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tools/sim/sim_config.h"
#include "tools/sim/sim_record.h"

namespace ostrel::sim {

// A request as the handlers see it (independent of the HTTP library).
struct SimRequest {
    std::string method;
    std::string path;
    std::string cookieHeader;  // all Cookie header values joined with "; "
    std::string body;
};

struct SimAnswer {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    int delayMs = 0;
    int trickleMs = 0;
};

class SystemBehaviour {
public:
    explicit SystemBehaviour(const SimConfig& config) : config_(config) {}
    SimAnswer answer(const SimRequest& request);

    static constexpr const char* kSessionCookie = "ostrel_control_session";

private:
    SimAnswer api(Endpoint endpoint, const SimRequest& request);
    // "valid", "unknown" or "absent"; `token` receives the cookie's value.
    std::string cookieState(const std::string& cookieHeader, std::string& token);
    std::string newToken();

    const SimConfig& config_;
    std::mutex mutex_;
    std::set<std::string> sessions_;
};

// Serves HTTPS with cpp-httplib until the process ends. Prints the ready line through `ready`
// once bound; returns the exit code when the listener cannot be set up.
struct Identity;
int runHttpsServer(const std::string& address, int port, const Identity& identity, SystemBehaviour& behaviour,
                   Recorder& recorder, const std::function<void(int boundPort)>& ready);

}  // namespace ostrel::sim
