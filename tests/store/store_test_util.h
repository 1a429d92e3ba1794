#pragma once
// Shared by the store tests: a private log per test and counting what it holds.
#include "log/log.h"
#include "tests/support/test_support.h"

namespace ostrel::test {

// Routes the process log into `folder` (each test runs in its own process).
inline void logInto(const std::filesystem::path& folder) {
    log::LogConfig config;
    config.source = "store-test";
    config.logDir = folder;
    config.consoleSink = false;
    log::init(config);
}

// Shuts logging down (which flushes) and returns the pretty log.
inline std::string loggedText() {
    const auto pretty = log::prettyLogPath();
    log::shutdown();
    return readFile(pretty);
}

inline std::size_t countOf(const std::string& haystack, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++count;
    return count;
}

}  // namespace ostrel::test
