#pragma once
// Reads what the process logged since the capture began. Logging is initialised once per
// process into a folder of its own; lines are written asynchronously, so checks poll.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

#include "log/log.h"
#include "tests/support/test_support.h"

namespace ostrel::ctl::testing {

class LogCapture {
public:
    LogCapture() {
        static ostrel::test::TempDir folder;
        static const bool initialised = [] {
            ostrel::log::LogConfig config;
            config.source = "ctl-test";
            config.logDir = folder.path();
            config.consoleSink = false;
            config.minLevel = ostrel::log::Info;
            ostrel::log::init(config);
            return true;
        }();
        (void)initialised;
        ostrel::log::flush();
        std::error_code ec;
        const auto size = std::filesystem::file_size(ostrel::log::prettyLogPath(), ec);
        offset_ = ec ? 0 : size;
    }

    // Everything written after the capture began (after a flush and a short settle).
    std::string text() const {
        ostrel::log::flush();
        const std::string all = ostrel::test::readFile(ostrel::log::prettyLogPath());
        return all.size() > offset_ ? all.substr(offset_) : std::string();
    }

    // Waits until `needle` shows up (the writer runs on its own thread).
    bool contains(const std::string& needle, std::chrono::milliseconds timeout = std::chrono::seconds(3)) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (text().find(needle) != std::string::npos) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // For absence checks: lets the writer catch up first.
    std::string settledText() const {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return text();
    }

private:
    std::uintmax_t offset_ = 0;
};

}  // namespace ostrel::ctl::testing
