#pragma once
// Helpers shared by the store tests: a private log per test and counting what it holds.
#include <glib.h>

#include <filesystem>
#include <string>

#include "log/log.h"
#include "store/settings_store.h"
#include "tests/support/test_support.h"

namespace ostrel::test {

// Routes the process log into `folder` for one test; `finish` shuts logging down (which
// flushes) and returns everything written to the log files.
class LogCapture {
public:
    explicit LogCapture(std::filesystem::path folder) : folder_(std::move(folder)) {
        std::filesystem::create_directories(folder_);
        log::LogConfig config;
        config.source = "store-test";
        config.logDir = folder_;
        config.consoleSink = false;
        config.minLevel = log::Trace;
        log::init(config);
        pretty_ = log::prettyLogPath();
    }
    ~LogCapture() {
        if (!finished_) log::shutdown();
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // The pretty log alone: each line appears once (the event log repeats it as JSON).
    std::string finish() {
        shutdownOnce();
        return readFile(pretty_);
    }

    // Every log file in the folder, for checks that something appears nowhere.
    std::string finishAll() {
        shutdownOnce();
        std::string all;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder_)) {
            if (entry.is_regular_file()) all += readFile(entry.path());
        }
        return all;
    }

private:
    void shutdownOnce() {
        if (!finished_) {
            log::shutdown();
            finished_ = true;
        }
    }

    std::filesystem::path folder_;
    std::filesystem::path pretty_;
    bool finished_ = false;
};

// GLib's critical warnings (a null handed to a GLib call) end the vault tests instead of scrolling
// by; a process-wide setting, made before the first test runs.
inline const bool kGlibCriticalsAreFatal = [] {
    g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL));
    return true;
}();

inline std::size_t countOf(const std::string& haystack, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++count;
    return count;
}

}  // namespace ostrel::test
