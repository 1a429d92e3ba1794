#pragma once
// Simulator discovery responders for the network tests, and what they recorded.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/test_support.h"

namespace ostrel::test {

// Discovery sends broadcasts: only inside the private namespace of ./scripts/test-env.
#define OSTREL_REQUIRE_NETNS()             \
    if (!::ostrel::test::inPrivateNetns()) \
    GTEST_SKIP() << "discovery broadcasts run only inside ./scripts/test-env's network namespace"

class Responder {
public:
    Responder(int port, const std::filesystem::path& record, const std::vector<std::string>& args) {
        std::vector<std::string> argv = {programPath("OSTREL_SIM"), "discovery", "--port",
                                         std::to_string(port),      "--record",  record.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        child_ = std::make_unique<ChildProcess>(argv);
        readyLine_ = nlohmann::json::parse(child_->readLine(std::chrono::seconds(20)).value_or(""), nullptr, false);
    }
    bool ready() const { return readyLine_.is_object() && readyLine_.value("discoveryPort", 0) > 0; }
    const nlohmann::json& readyLine() const { return readyLine_; }

private:
    std::unique_ptr<ChildProcess> child_;
    nlohmann::json readyLine_;
};

// The "probe" records of a responders' record file.
inline std::vector<nlohmann::json> probesOf(const std::filesystem::path& record) {
    std::vector<nlohmann::json> out;
    for (const auto& line : readLines(record)) {
        auto value = nlohmann::json::parse(line, nullptr, false);
        if (value.is_object() && value.value("event", "") == "probe") out.push_back(std::move(value));
    }
    return out;
}

// Sum of one counter over probe records.
inline long long sumOf(const std::vector<nlohmann::json>& probes, const char* field) {
    long long total = 0;
    for (const auto& p : probes) total += p.value(field, 0LL);
    return total;
}

}  // namespace ostrel::test
