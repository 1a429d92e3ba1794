#include <gtest/gtest.h>

#include "log/log.h"
#include "tests/support/test_support.h"

namespace ostrel::log {
namespace {
namespace fs = std::filesystem;
using ostrel::test::TempDir;

void makeFile(const fs::path& path, std::chrono::hours age) {
    ostrel::test::writeFile(path, "x");
    fs::last_write_time(path, fs::file_time_type::clock::now() - age);
}

int countPrefix(const fs::path& dir, const std::string& prefix) {
    int n = 0;
    for (const auto& f : ostrel::test::listFiles(dir)) n += f.filename().string().rfind(prefix, 0) == 0;
    return n;
}

TEST(PruneLogs, KeepsTheNewestWithinTheCountAndLeavesOtherFilesAlone) {
    TempDir tmp;
    for (int i = 0; i < 150; ++i) makeFile(tmp.path() / ("Log_" + std::to_string(i) + ".log"), std::chrono::hours(i + 1));
    for (int i = 0; i < 5; ++i) makeFile(tmp.path() / ("events-" + std::to_string(i) + ".ndjson"), std::chrono::hours(1));
    makeFile(tmp.path() / "notes.txt", std::chrono::hours(24 * 400));
    makeFile(tmp.path() / "log_lowercase.log", std::chrono::hours(24 * 400));
    fs::create_directory(tmp.path() / "Log_folder");

    pruneLogs(tmp.path(), 100, 30);

    EXPECT_EQ(countPrefix(tmp.path(), "Log_"), 100);
    EXPECT_TRUE(fs::exists(tmp.path() / "Log_0.log"));    // newest kept
    EXPECT_TRUE(fs::exists(tmp.path() / "Log_99.log"));
    EXPECT_FALSE(fs::exists(tmp.path() / "Log_100.log"));  // oldest gone
    EXPECT_EQ(countPrefix(tmp.path(), "events-"), 5);      // counted per kind
    EXPECT_TRUE(fs::exists(tmp.path() / "notes.txt"));
    EXPECT_TRUE(fs::exists(tmp.path() / "log_lowercase.log"));
    EXPECT_TRUE(fs::is_directory(tmp.path() / "Log_folder"));
}

TEST(PruneLogs, AgeLimitDeletesWhateverTheCount) {
    TempDir tmp;
    makeFile(tmp.path() / "Log_new.log", std::chrono::hours(24 * 29));
    makeFile(tmp.path() / "Log_old.log", std::chrono::hours(24 * 31));
    makeFile(tmp.path() / "events-old.ndjson", std::chrono::hours(24 * 31));
    makeFile(tmp.path() / "events-mid.ndjson", std::chrono::hours(24 * 6));
    pruneLogs(tmp.path(), 100, 0);  // 0 means 30 days
    EXPECT_TRUE(fs::exists(tmp.path() / "Log_new.log"));
    EXPECT_FALSE(fs::exists(tmp.path() / "Log_old.log"));
    EXPECT_FALSE(fs::exists(tmp.path() / "events-old.ndjson"));
    EXPECT_TRUE(fs::exists(tmp.path() / "events-mid.ndjson"));
    pruneLogs(tmp.path(), 0, 5);  // no count limit, five days
    EXPECT_FALSE(fs::exists(tmp.path() / "events-mid.ndjson"));
    EXPECT_FALSE(fs::exists(tmp.path() / "Log_new.log"));
    pruneLogs(tmp.path() / "missing", 1, 1);  // a missing folder is no error
}

TEST(PruneLogs, InitPrunesBeforeOpeningItsOwnFiles) {
    TempDir tmp;
    for (int i = 0; i < 4; ++i) makeFile(tmp.path() / ("Log_old" + std::to_string(i) + ".log"), std::chrono::hours(i + 1));
    LogConfig config;
    config.logDir = tmp.path();
    config.consoleSink = false;
    config.maxFiles = 2;
    init(config);
    shutdown();
    EXPECT_EQ(countPrefix(tmp.path(), "Log_"), 3);  // two survivors plus the new file
    EXPECT_TRUE(fs::exists(tmp.path() / "Log_old0.log"));
    EXPECT_TRUE(fs::exists(tmp.path() / "Log_old1.log"));
}

}  // namespace
}  // namespace ostrel::log
