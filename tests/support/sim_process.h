#pragma once
// Starts ostrel-system-sim (from $OSTREL_SIM) for one test and reads what it recorded.
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/test_support.h"

namespace ostrel::test {

class SimProcess : NoCopy {
public:
    // `args` are the simulator's options; --record and --exit-with-parent are added (so the simulator
    // ends with the thread that made this object). Check ready() before using the port.
    explicit SimProcess(std::vector<std::string> args = {}) {
        args.insert(args.begin(), programPath("OSTREL_SIM"));
        args.insert(args.end(), {"--exit-with-parent", "--record", record().string()});
        child_ = std::make_unique<ChildProcess>(args);
        const auto line = child_->readLine(std::chrono::seconds(15));
        readyLine_ = nlohmann::json::parse(line.value_or(""), nullptr, false);
        if (!ready())
            failure_ = "no ready line from the simulator: " +
                       line.value_or(child_->readAll(true, std::chrono::milliseconds(300)));
    }

    bool ready() const { return readyLine_.is_object() && readyLine_.value("port", 0) > 0; }
    std::string failure() const { return failure_; }  // why it is not ready (for test messages)
    int port() const { return readyLine_.value("port", 0); }

    // The requests recorded so far, in order; with a `path`, only those to it.
    std::vector<nlohmann::json> requests(const std::string& path = "") const {
        std::vector<nlohmann::json> out;
        for (const auto& line : readLines(record())) {
            auto value = nlohmann::json::parse(line, nullptr, false);
            if (value.is_object() && (path.empty() || value.value("path", "") == path)) out.push_back(std::move(value));
        }
        return out;
    }

    // Merges a config object at run time (one line on the simulator's stdin); true when accepted.
    bool configure(const nlohmann::json& config) {
        if (!ready() || !child_->writeStdin(config.dump() + "\n")) return false;
        const auto answer =
            nlohmann::json::parse(child_->readLine(std::chrono::seconds(10)).value_or(""), nullptr, false);
        return answer.is_object() && answer.value("configured", false);
    }

private:
    std::filesystem::path record() const { return dir_.path() / "requests.jsonl"; }

    TempDir dir_;
    std::unique_ptr<ChildProcess> child_;
    std::string failure_;
    nlohmann::json readyLine_;
};

}  // namespace ostrel::test
