// Logging against real files; each test runs in its own process, so logging starts fresh every time.
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

#include "log/log.h"
#include "tests/support/test_support.h"

namespace ostrel::log {
namespace {
namespace fs = std::filesystem;
using Entries = std::vector<std::pair<std::string, std::string>>;

LogConfig quietConfig(const fs::path& dir) {
    LogConfig config;
    config.source = "u";
    config.logDir = dir;
    config.consoleSink = false;
    return config;
}

// Shuts logging down and returns each pretty line with its event record, once the line's time is
// shown to be the record's: without the time, with the pid as P and without the record's `tail`.
Entries finish(const std::string& tail) {
    const fs::path prettyPath = prettyLogPath(), eventPath = eventLogPath();
    shutdown();
    const auto pretty = test::readLines(prettyPath), records = test::readLines(eventPath);
    const std::regex time(R"re(,"ts":(\d+),"ts_local":"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.(\d{3}))","v":1\}$)re");
    const std::regex pid("\"pid\":" + std::to_string(::getpid()));
    Entries out;
    for (std::size_t i = 0; i < std::min(pretty.size(), records.size()); ++i) {
        std::smatch m;
        EXPECT_TRUE(std::regex_search(records[i], m, time) && pretty[i].starts_with(m[2].str() + " ") &&
                    std::stoll(m[1]) % 1000 == std::stoll(m[3]))
            << pretty[i] + "\n" + records[i];
        std::string record = std::regex_replace(m.prefix().str() + "}", pid, "\"pid\":P");
        if (record.ends_with(tail)) record.resize(record.size() - tail.size());
        out.emplace_back(pretty[i].substr(24), record);
    }
    return out;
}

// Two sessions and the times around them, standard error caught throughout.
TEST(Logging, EveryKindOfEntryIsWrittenExactlyAndStandardErrorServesOutsideASession) {
    test::TempDir tmp;
    test::IsolatedUserDirs dirs(tmp.path());
    testing::internal::CaptureStderr();
    logf(Warn, "before %s", "init");
    write(static_cast<LogLevel>(42), "odd\nlevel");

    LogConfig identified = quietConfig({});  // no folder given: the log root's folder for the source
    identified.systemId = "s";
    identified.instanceId = "i";
    identified.sessionId = "q\"";
    init(identified);
    init(quietConfig(tmp.path() / "b"));  // ignored while the first runs
    const fs::path pretty = prettyLogPath(), events = eventLogPath();
    logf(Warn, "to %s:%d", "10.0.0.5", 8443);
    LogEvent event{"k", "c", Info, "m", "s1", {}, "w", {}, {{"b", 2}, {"a", 1}}, {}};
    write(Error, "broke", &event);
    const Entries first = finish(R"(,"pid":P,"sessionId":"q\"","source":"u","systemId":"s"})");
    logf(Error, "after shutdown");

    // Without identity texts. A line break and terminal controls must not forge a second pretty line; long
    // texts are cut to 4,095 bytes (here inside a character); invalid UTF-8 is repaired.
    const std::string dir = tmp.path().string();
    init(quietConfig(dir));
    write(
        Info,
        "quote \" back\\slash\ttab\x01 del\x7f \xE2\x80\x94\r\n2026-01-01 00:00:00.000 I [u] x\x1B[2J\xC2\x9B\xC2\xA0");
    emitEvent("d", "c", "debug", "below the minimum", {{"k", "v"}});
    emitEvent("e", "c", "error", "E", nlohmann::json::array({1, 2}));  // fields only from an object
    logf(Debug, "below the minimum");
    emitInfo("i", "c", "I", "st", "cl");
    const std::string x(4094, 'x'), bad = "\xEF\xBF\xBD";
    logf(Info, "%s", (x + "\xE2\x80\x94" + "tail").c_str());
    emitEvent("b", "c", "info", "B\xC3", {{"k", "v\xE2\x82"}});
    const Entries second = finish(R"(,"pid":P,"source":"u"})");

    test::writeFile(tmp.path() / "blocked", "x");  // a log folder below a regular file cannot exist
    init(quietConfig(tmp.path() / "blocked" / "sub"));
    logf(Info, "after failed init");
    EXPECT_EQ(std::regex_replace(testing::internal::GetCapturedStderr(), std::regex("(init failed): .*"), "$1"),
              "W before init\n? odd\\nlevel\nE after shutdown\nostrel::log::init failed\nI after failed init\n");

    ASSERT_EQ(first.size(), 4u);  // between the start and stop entries shown below
    EXPECT_EQ(Entries(first.begin() + 1, first.end() - 1),
              (Entries{
                  {"W [u] to 10.0.0.5:8443", R"({"instanceId":"i","level":"warn","msg":"to 10.0.0.5:8443")"},
                  {"E [u] (m) {k} broke",
                   R"({"cat":"c","fields":{"a":1,"b":2},"instanceId":"i","kind":"k","level":"error","module":"m",)"
                   R"("msg":"broke","pid":P,"sessionId":"q\"","source":"u","state":{"name":"w","phase":"enter"},)"
                   R"("streamId":"s1","systemId":"s"})"},
              }));
    EXPECT_EQ(
        second,
        (Entries{
            {"I [u] {process.start} u logging started",
             R"({"cat":"lifecycle","fields":{"logDir":")" + dir +
                 R"("},"kind":"process.start","level":"info","msg":"u logging started")"},
            {"I [u] quote \" back\\slash\\ttab\\u0001 del\\u007f \xE2\x80\x94\\r\\n2026-01-01 00:00:00.000 I [u] "
             "x\\u001b[2J\\u009b\xC2\xA0",
             R"({"level":"info","msg":"quote \" back\\slash\ttab\u0001 del)"
             "\x7f \xE2\x80\x94"
             R"(\r\n2026-01-01 00:00:00.000 I [u] x\u001b[2J)"
             "\xC2\x9B\xC2\xA0\""},
            {"E [u] {e} E", R"({"cat":"c","kind":"e","level":"error","msg":"E")"},
            {"I [u] {i} I",
             R"({"cat":"c","clientId":"cl","kind":"i","level":"info","msg":"I","pid":P,"source":"u","streamId":"st"})"},
            {"I [u] " + x + bad, R"({"level":"info","msg":")" + x + bad + "\""},
            {"I [u] {b} B" + bad,
             R"({"cat":"c","fields":{"k":"v)" + bad + R"("},"kind":"b","level":"info","msg":"B)" + bad + "\""},
            {"I [u] {process.stop} u logging shutting down",
             R"({"cat":"lifecycle","kind":"process.stop","level":"info","msg":"u logging shutting down")"},
        }));

    EXPECT_FALSE(fs::exists(tmp.path() / "b"));
    EXPECT_EQ(pretty.parent_path(), dirs.logs() / "u");
    const std::string stamp = "\\d{8}_\\d{6}_p" + std::to_string(::getpid());
    EXPECT_TRUE(std::regex_match(pretty.filename().string(), std::regex("Log_" + stamp + "\\.log")));
    EXPECT_TRUE(std::regex_match(events.filename().string(), std::regex("events-" + stamp + "\\.ndjson")));
    EXPECT_EQ(makeFileStamp(0, 42, false).size(), 15u);

    // Without the override: the XDG state folder, and HOME's when that is relative.
    test::ScopedEnv noOverride("OSTREL_OPS_LOG_DIR", std::string());
    EXPECT_EQ(resolveLogRoot(), dirs.state() / "OstrelOps");
    test::ScopedEnv relative("XDG_STATE_HOME", "rel/x");
    EXPECT_EQ(resolveLogRoot(), tmp.path() / "home" / ".local" / "state" / "OstrelOps");
}

// Pruning keeps the newest files of each kind within the count and age limits, other files alone. Init prunes
// before opening its files; an info line reaches them within about 2 s without a flush; they rotate at
// maxFileBytes (index before the extension) keeping maxFiles older.
TEST(PruneLogs, KeepsTheNewestWithinCountAndAgePerKindAndFilesRotateKeepingMaxFiles) {
    test::TempDir tmp;
    const auto make = [&](const std::string& name, int hours) {  // a log file made `hours` old
        test::writeFile(tmp.path() / name, "x");
        fs::last_write_time(tmp.path() / name, fs::file_time_type::clock::now() - std::chrono::hours(hours));
    };
    const auto names = [&] {
        std::set<std::string> out;
        for (const auto& entry : fs::directory_iterator(tmp.path())) out.insert(entry.path().filename().string());
        return out;
    };
    for (int i = 0; i < 5; ++i) make("Log_" + std::to_string(i) + ".log", i + 1);
    for (const char* name : {"Log_31d.log", "events-31d.ndjson", "notes.txt", "log_lowercase.log"}) make(name, 24 * 31);
    make("events-0.ndjson", 1);
    make("events-6d.ndjson", 24 * 6);
    fs::create_directory(tmp.path() / "Log_folder");
    pruneLogs(tmp.path(), 0, 0);  // no count limit; 0 days means 30
    std::set<std::string> kept{"Log_folder", "notes.txt", "log_lowercase.log", "events-0.ndjson", "events-6d.ndjson",
                               "Log_0.log",  "Log_1.log", "Log_2.log",         "Log_3.log",       "Log_4.log"};
    EXPECT_EQ(names(), kept);
    pruneLogs(tmp.path() / "missing", 1, 1);  // a missing folder is no error

    LogConfig config = quietConfig(tmp.path());
    config.maxFileBytes = 4096;
    config.maxFiles = 2;
    config.maxAgeDays = 5;
    init(config);
    const fs::path prettyPath = prettyLogPath(), eventPath = eventLogPath();
    logf(Info, "on disk soon");  // within about 2 s, without a flush or a shutdown
    const auto onDisk = [&] {
        return test::readFile(prettyPath).find("on disk soon") != std::string::npos &&
               test::readFile(eventPath).find("on disk soon") != std::string::npos;
    };
    for (int i = 0; i < 50 && !onDisk(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(onDisk());
    for (int i = 0; i < 200; ++i) logf(Info, "line %03d %s", i, std::string(80, 'r').c_str());
    shutdown();
    const std::string pretty = prettyPath.stem().string(), events = eventPath.stem().string();
    for (const char* name : {"Log_2.log", "Log_3.log", "Log_4.log", "events-6d.ndjson"}) kept.erase(name);
    for (const auto& name : {pretty + ".log", pretty + ".1.log", pretty + ".2.log", events + ".ndjson",
                             events + ".1.ndjson", events + ".2.ndjson"})
        kept.insert(name);
    EXPECT_EQ(names(), kept);
}

}  // namespace
}  // namespace ostrel::log
