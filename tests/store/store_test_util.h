#pragma once
// Helpers shared by the store tests: a private log per test and counting what it holds.
#include <glib.h>

#include "log/log.h"
#include "tests/support/test_support.h"

namespace ostrel::test {

// Routes the process log into `folder` for one test; `finish` shuts logging down (which flushes)
// and returns the pretty log (each line once) or, with `all`, every log file (to check that
// something appears nowhere).
class LogCapture {
public:
    explicit LogCapture(std::filesystem::path folder) : folder_(std::move(folder)) {
        log::LogConfig config;
        config.source = "store-test";
        config.logDir = folder_;
        config.consoleSink = false;
        config.minLevel = log::Trace;
        log::init(config);
        pretty_ = log::prettyLogPath();
    }
    ~LogCapture() { log::shutdown(); }
    std::string finish(bool all = false) {
        log::shutdown();
        return all ? readTree(folder_) : readFile(pretty_);
    }

private:
    std::filesystem::path folder_, pretty_;
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
