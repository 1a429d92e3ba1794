#include <gtest/gtest.h>

#include "log/log.h"
#include "tests/support/test_support.h"

namespace ostrel::log {
namespace {
namespace fs = std::filesystem;

// A folder of log files, each made `hours` old.
struct Folder {
    test::TempDir tmp;
    void make(const std::string& name, int hours) {
        test::writeFile(tmp.path() / name, "x");
        fs::last_write_time(tmp.path() / name, fs::file_time_type::clock::now() - std::chrono::hours(hours));
    }
    bool has(const std::string& name) const { return fs::exists(tmp.path() / name); }
    int count(const std::string& prefix) const {
        int n = 0;
        for (const auto& f : test::listFiles(tmp.path())) n += f.filename().string().rfind(prefix, 0) == 0;
        return n;
    }
};

TEST(PruneLogs, KeepsTheNewestWithinCountAndAgeAndLeavesOtherFilesAlone) {
    Folder f;
    for (int i = 0; i < 150; ++i) f.make("Log_" + std::to_string(i) + ".log", i + 1);
    for (int i = 0; i < 5; ++i) f.make("events-" + std::to_string(i) + ".ndjson", 1);
    f.make("notes.txt", 24 * 400);
    f.make("log_lowercase.log", 24 * 400);
    fs::create_directory(f.tmp.path() / "Log_folder");
    pruneLogs(f.tmp.path(), 100, 30);
    EXPECT_EQ(f.count("Log_"), 100);
    EXPECT_TRUE(f.has("Log_0.log") && f.has("Log_99.log") && !f.has("Log_100.log"));  // the newest kept
    EXPECT_EQ(f.count("events-"), 5);                                                 // counted per kind
    EXPECT_TRUE(f.has("notes.txt") && f.has("log_lowercase.log") && fs::is_directory(f.tmp.path() / "Log_folder"));

    Folder aged;
    aged.make("Log_new.log", 24 * 29);
    aged.make("Log_old.log", 24 * 31);
    aged.make("events-old.ndjson", 24 * 31);
    aged.make("events-mid.ndjson", 24 * 6);
    pruneLogs(aged.tmp.path(), 100, 0);  // 0 means 30 days
    EXPECT_TRUE(aged.has("Log_new.log") && !aged.has("Log_old.log"));
    EXPECT_TRUE(!aged.has("events-old.ndjson") && aged.has("events-mid.ndjson"));
    pruneLogs(aged.tmp.path(), 0, 5);  // no count limit, five days
    EXPECT_TRUE(!aged.has("events-mid.ndjson") && !aged.has("Log_new.log"));
    pruneLogs(aged.tmp.path() / "missing", 1, 1);  // a missing folder is no error
}

TEST(PruneLogs, InitPrunesBeforeOpeningItsOwnFiles) {
    Folder f;
    for (int i = 0; i < 4; ++i) f.make("Log_old" + std::to_string(i) + ".log", i + 1);
    LogConfig config;
    config.logDir = f.tmp.path();
    config.consoleSink = false;
    config.maxFiles = 2;
    init(config);
    shutdown();
    EXPECT_EQ(f.count("Log_"), 3);  // two survivors plus the new file
    EXPECT_TRUE(f.has("Log_old0.log") && f.has("Log_old1.log"));
}

}  // namespace
}  // namespace ostrel::log
