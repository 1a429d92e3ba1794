#pragma once
// Starts ostrel-system-sim (from $OSTREL_SIM) for one test and reads what it recorded.
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/test_support.h"

namespace ostrel::test {

class SimProcess {
public:
    // `args` are the simulator's options; --record and --exit-with-parent are added (so the simulator
    // ends with the thread that made this object). Check ready() before using the port.
    explicit SimProcess(const std::vector<std::string>& args = {},
                        std::chrono::milliseconds readyTimeout = std::chrono::seconds(15));
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool ready() const { return port_ > 0; }
    std::string failure() const { return failure_; }  // why it is not ready (for test messages)
    int port() const { return port_; }
    const nlohmann::json& readyLine() const { return readyLine_; }

    // The requests recorded so far, in order; with a `path`, only those to it.
    std::vector<nlohmann::json> requests(const std::string& path = "") const;
    // Merges a config object at run time (one line on the simulator's stdin); true when accepted.
    bool configure(const nlohmann::json& config);

private:
    TempDir dir_;
    std::filesystem::path recordPath_;
    std::unique_ptr<ChildProcess> child_;
    std::string failure_;
    int port_ = 0;
    nlohmann::json readyLine_;
};

// The values of every header named `name` (case-insensitive) in one recorded request.
std::vector<std::string> recordedHeader(const nlohmann::json& request, const std::string& name);

// A TCP port on 127.0.0.1 that nothing listens on (bound, read and released at once).
int closedLoopbackPort();

}  // namespace ostrel::test
