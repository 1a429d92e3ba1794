#pragma once
// Starts simulator discovery responders for the network tests and reads what they recorded.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/test_support.h"

namespace ostrel::test {

// Discovery sends broadcasts: only inside the private namespace of ./scripts/test-env.
inline bool inPrivateNetns() {
    const char* value = std::getenv("OSTREL_IN_NETNS");
    return value != nullptr && std::string(value) == "1";
}

#define OSTREL_REQUIRE_NETNS()                                                                          \
    do {                                                                                                \
        if (!::ostrel::test::inPrivateNetns())                                                          \
            GTEST_SKIP() << "discovery broadcasts run only inside ./scripts/test-env's network namespace"; \
    } while (0)

class Responder {
public:
    Responder(int port, const std::filesystem::path& record, const std::vector<std::string>& args) {
        std::vector<std::string> argv = {programPath("OSTREL_SIM"), "discovery", "--port", std::to_string(port),
                                         "--record", record.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        child_ = std::make_unique<ChildProcess>(argv);
        if (auto line = child_->readLine(std::chrono::seconds(20))) {
            readyLine_ = nlohmann::json::parse(*line, nullptr, false);
        }
    }
    bool ready() const {
        return readyLine_.is_object() && readyLine_.value("discoveryPort", 0) > 0;
    }
    const nlohmann::json& readyLine() const { return readyLine_; }
    std::string stderrText() { return child_->readAllStderr(std::chrono::milliseconds(200)); }

private:
    std::unique_ptr<ChildProcess> child_;
    nlohmann::json readyLine_;
};

inline std::vector<nlohmann::json> readRecords(const std::filesystem::path& path) {
    std::vector<nlohmann::json> out;
    for (const auto& line : readLines(path)) {
        auto value = nlohmann::json::parse(line, nullptr, false);
        if (value.is_object()) out.push_back(std::move(value));
    }
    return out;
}

// Sum of one counter over the "probe" records of responders.
inline long long sumProbeField(const std::vector<nlohmann::json>& records, const char* field) {
    long long total = 0;
    for (const auto& r : records) {
        if (r.value("event", "") == "probe") total += r.value(field, 0LL);
    }
    return total;
}

inline std::vector<nlohmann::json> probesOf(const std::vector<nlohmann::json>& records) {
    std::vector<nlohmann::json> out;
    for (const auto& r : records) {
        if (r.value("event", "") == "probe") out.push_back(r);
    }
    return out;
}

}  // namespace ostrel::test
