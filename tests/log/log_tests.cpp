// Logging against real files in temporary folders. Each test runs in its own process,
// so the process-wide logging state starts fresh every time.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "common/utf.h"
#include "log/log.h"
#include "tests/support/test_support.h"

namespace ostrel::log {
namespace {
namespace fs = std::filesystem;
using ostrel::test::ChildProcess;
using ostrel::test::IsolatedUserDirs;
using ostrel::test::readLines;
using ostrel::test::TempDir;

// Redirects standard error into a file for the lifetime of the object.
class CaptureStderr {
public:
    explicit CaptureStderr(const fs::path& file) : file_(file) {
        std::fflush(stderr);
        saved_ = ::dup(2);
        const int fd = ::open(file.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~CaptureStderr() { restore(); }
    std::string text() {
        restore();
        return ostrel::test::readFile(file_);
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        saved_ = -1;
    }
    fs::path file_;
    int saved_ = -1;
};

LogConfig quietConfig(const fs::path& dir, const std::string& source = "unit") {
    LogConfig config;
    config.source = source;
    config.logDir = dir;
    config.consoleSink = false;
    return config;
}

std::vector<nlohmann::json> records(const fs::path& path) {
    std::vector<nlohmann::json> out;
    for (const auto& line : readLines(path)) {
        auto value = nlohmann::json::parse(line, nullptr, false);
        EXPECT_FALSE(value.is_discarded()) << line;
        out.push_back(std::move(value));
    }
    return out;
}

std::set<std::string> keysOf(const nlohmann::json& object) {
    std::set<std::string> keys;
    for (const auto& [key, _] : object.items()) keys.insert(key);
    return keys;
}

TEST(Logging, FileNamesCarryStampAndPidInTheSourceFolder) {
    TempDir tmp;
    IsolatedUserDirs dirs(tmp.path());
    LogConfig config;
    config.source = "control-cli";
    config.consoleSink = false;
    init(config);
    const fs::path pretty = prettyLogPath();
    const fs::path events = eventLogPath();
    shutdown();

    EXPECT_EQ(pretty.parent_path(), dirs.logs() / "control-cli");
    const std::string pid = std::to_string(::getpid());
    EXPECT_TRUE(std::regex_match(pretty.filename().string(), std::regex("Log_\\d{8}_\\d{6}_p" + pid + "\\.log")))
        << pretty;
    EXPECT_TRUE(std::regex_match(events.filename().string(), std::regex("events-\\d{8}_\\d{6}_p" + pid + "\\.ndjson")))
        << events;
    EXPECT_TRUE(fs::exists(pretty));
    EXPECT_TRUE(fs::exists(events));
    EXPECT_TRUE(prettyLogPath().empty());
}

TEST(Logging, RootFollowsXdgStateWhenNoOverrideIsSet) {
    TempDir tmp;
    IsolatedUserDirs dirs(tmp.path());
    {
        ostrel::test::ScopedEnv noOverride("OSTREL_OPS_LOG_DIR", std::string());
        EXPECT_EQ(resolveLogRoot(), dirs.state() / "OstrelOps");
        ostrel::test::ScopedEnv noState("XDG_STATE_HOME", std::nullopt);
        EXPECT_EQ(resolveLogRoot(), tmp.path() / "home" / ".local" / "state" / "OstrelOps");
        ostrel::test::ScopedEnv relativeState("XDG_STATE_HOME", "relative/state");
        EXPECT_EQ(resolveLogRoot(), tmp.path() / "home" / ".local" / "state" / "OstrelOps");
    }
    EXPECT_EQ(resolveLogRoot(), dirs.logs());
    EXPECT_EQ(makeFileStamp(0, 42, false).size(), 15u);
    EXPECT_EQ(makeFileStamp(0, 42, true).substr(15), "_p42");
}

TEST(Logging, PrettyLinesAndRecordsAreExact) {
    TempDir tmp;
    LogConfig config = quietConfig(tmp.path());
    config.systemId = "sys-1";
    config.instanceId = "inst-9";
    config.sessionId = "sess-\"3";
    init(config);
    logf(Warn, "connecting to %s:%d", "10.0.0.5", 8443);
    write(Info, "quote \" back\\slash\ttab\x01 del\x7f \xE2\x80\x94");
    LogEvent event;
    event.name = "ui.thing";
    event.category = "lifecycle";
    event.module = "shell";
    event.stateName = "window";
    event.streamId = "s1";
    event.fields = {{"b", 2}, {"a", 1}};
    write(Error, "something broke", &event);
    const fs::path pretty = prettyLogPath();
    const fs::path events = eventLogPath();
    shutdown();

    const auto lines = readLines(pretty);
    ASSERT_EQ(lines.size(), 5u);
    const std::string ts = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}";
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(ts + " I \\[unit\\] \\{process\\.start\\} unit logging started")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(ts + " W \\[unit\\] connecting to 10\\.0\\.0\\.5:8443"))) << lines[1];
    EXPECT_TRUE(std::regex_match(lines[3], std::regex(ts + " E \\[unit\\] \\(shell\\) \\{ui\\.thing\\} something broke")))
        << lines[3];
    EXPECT_TRUE(std::regex_match(lines[4], std::regex(ts + " I \\[unit\\] \\{process\\.stop\\} unit logging shutting down")))
        << lines[4];

    const auto raw = readLines(events);
    ASSERT_EQ(raw.size(), 5u);
    const auto recs = records(events);
    // Plain line: only the base members plus the configured identity texts.
    EXPECT_EQ(keysOf(recs[1]), (std::set<std::string>{"v", "ts", "ts_local", "source", "level", "pid", "msg",
                                                        "systemId", "instanceId", "sessionId"}));
    EXPECT_EQ(recs[1]["level"], "warn");
    EXPECT_EQ(recs[1]["pid"], ::getpid());
    EXPECT_EQ(recs[1]["v"], 1);
    EXPECT_EQ(lines[1].substr(0, 23), recs[1]["ts_local"].get<std::string>());
    // Compact, keys in byte order: every line is exactly what the JSON library writes.
    for (std::size_t i = 0; i < raw.size(); ++i) EXPECT_EQ(raw[i], recs[i].dump()) << i;
    EXPECT_EQ(recs[2]["msg"], "quote \" back\\slash\ttab\x01 del\x7f \xE2\x80\x94");
    EXPECT_EQ(recs[3]["kind"], "ui.thing");
    EXPECT_EQ(recs[3]["cat"], "lifecycle");
    EXPECT_EQ(recs[3]["module"], "shell");
    EXPECT_EQ(recs[3]["state"], (nlohmann::json{{"name", "window"}, {"phase", "enter"}}));
    EXPECT_EQ(recs[3]["streamId"], "s1");
    EXPECT_FALSE(recs[3].contains("clientId"));
    EXPECT_EQ(recs[3]["fields"], (nlohmann::json{{"a", 1}, {"b", 2}}));
    EXPECT_EQ(recs[0]["fields"]["logDir"], tmp.path().string());
    EXPECT_FALSE(recs[4].contains("fields"));
    const auto ts0 = recs[0]["ts"].get<std::int64_t>();
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_LE(ts0, now);
    EXPECT_GT(ts0, now - 60000);
}

TEST(Logging, EmitEventMapsLevelsAndFiltersBelowMinimum) {
    TempDir tmp;
    init(quietConfig(tmp.path()));
    emitEvent("e.fatal", "c", "fatal", "fatal text", nlohmann::json::object());
    emitEvent("e.trace", "c", "trace", "trace text", nlohmann::json::object());
    emitEvent("e.debug", "c", "debug", "debug text", nlohmann::json::object());  // below info: dropped
    emitEvent("e.warn", "c", "warn", "warn text", nlohmann::json::object());
    emitEvent("e.error", "c", "error", "error text", nlohmann::json::object());
    emitEvent("e.odd", "c", "WARN", "odd text", nlohmann::json::object());  // not an exact name: info
    logf(Debug, "debug line %d", 1);                                          // filtered
    write(Debug, "direct write is not filtered");
    emitInfo("e.info", "c", "info text", "stream", "client");
    const fs::path events = eventLogPath();
    shutdown();

    std::vector<std::pair<std::string, std::string>> seen;
    for (const auto& r : records(events)) seen.emplace_back(r["msg"].get<std::string>(), r["level"].get<std::string>());
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"unit logging started", "info"}, {"fatal text", "info"},      {"trace text", "info"},
        {"warn text", "warn"},            {"error text", "error"},     {"odd text", "info"},
        {"direct write is not filtered", "debug"}, {"info text", "info"}, {"unit logging shutting down", "info"}};
    EXPECT_EQ(seen, expected);
    const auto recs = records(events);
    EXPECT_EQ(recs[7]["streamId"], "stream");
    EXPECT_EQ(recs[7]["clientId"], "client");
}

TEST(Logging, FieldsAreWrittenOnlyForNonEmptyObjects) {
    TempDir tmp;
    init(quietConfig(tmp.path()));
    emitEvent("f.array", "c", "info", "array", nlohmann::json::array({1, 2}));
    emitEvent("f.string", "c", "info", "string", "text");
    emitEvent("f.empty", "c", "info", "empty", nlohmann::json::object());
    emitEvent("f.null", "c", "info", "null", nlohmann::json());
    emitEvent("f.object", "c", "info", "object", {{"k", "v"}});
    const fs::path events = eventLogPath();
    shutdown();
    const auto recs = records(events);
    ASSERT_EQ(recs.size(), 7u);
    for (int i = 1; i <= 4; ++i) EXPECT_FALSE(recs[i].contains("fields")) << recs[i].dump();
    EXPECT_EQ(recs[5]["fields"], (nlohmann::json{{"k", "v"}}));
}

TEST(Logging, LongAndInvalidTextNeverFailsAndIsRepaired) {
    TempDir tmp;
    init(quietConfig(tmp.path()));
    // 4094 ASCII bytes then a 3-byte character: the 4,095-byte cut lands inside it.
    const std::string longText = std::string(4094, 'x') + "\xE2\x80\x94" + "tail";
    logf(Info, "%s", longText.c_str());
    logf(Info, "%s", std::string(5000, 'y').c_str());
    write(Warn, "bad \xFF\xFE bytes");
    emitEvent("bad.fields", "c", "info", "fields \xC3", {{"k", "v\xE2\x82"}, {"ok", "\xE2\x82\xAC"}});
    const fs::path pretty = prettyLogPath();
    const fs::path events = eventLogPath();
    shutdown();

    const auto recs = records(events);  // every line parses: nothing invalid reached the file
    ASSERT_EQ(recs.size(), 6u);
    const std::string cut = recs[1]["msg"];
    EXPECT_EQ(cut, std::string(4094, 'x') + "\xEF\xBF\xBD");
    EXPECT_EQ(recs[2]["msg"].get<std::string>(), std::string(4095, 'y'));
    EXPECT_EQ(recs[3]["msg"], "bad \xEF\xBF\xBD\xEF\xBF\xBD bytes");
    EXPECT_EQ(recs[4]["fields"]["k"], "v\xEF\xBF\xBD");
    EXPECT_EQ(recs[4]["fields"]["ok"], "\xE2\x82\xAC");
    for (const auto& line : readLines(pretty)) EXPECT_TRUE(isValidUtf8(line));
}

TEST(Logging, FallsBackToStandardErrorOutsideItsLifetime) {
    TempDir tmp;
    CaptureStderr capture(tmp.path() / "stderr.txt");
    logf(Warn, "before %s", "init");
    write(Fatal, "fatal before");
    write(static_cast<LogLevel>(42), "odd level");
    init(quietConfig(tmp.path() / "logs"));
    write(Info, "inside");
    shutdown();
    logf(Error, "after shutdown");
    // A log folder that is a regular file makes initialisation fail.
    test::writeFile(tmp.path() / "blocked", "x");
    init(quietConfig(tmp.path() / "blocked" / "sub"));
    EXPECT_FALSE(initialized());
    logf(Info, "after failed init");
    const std::string text = capture.text();
    EXPECT_NE(text.find("W before init\n"), std::string::npos) << text;
    EXPECT_NE(text.find("F fatal before\n"), std::string::npos);
    EXPECT_NE(text.find("? odd level\n"), std::string::npos);
    EXPECT_NE(text.find("E after shutdown\n"), std::string::npos);
    EXPECT_NE(text.find("ostrel::log::init failed: "), std::string::npos);
    EXPECT_NE(text.find("I after failed init\n"), std::string::npos);
    EXPECT_EQ(text.find("inside"), std::string::npos);
}

TEST(Logging, SecondInitIsIgnoredAndReinitAfterShutdownWorks) {
    TempDir tmp;
    init(quietConfig(tmp.path() / "a", "first"));
    init(quietConfig(tmp.path() / "b", "second"));
    write(Info, "one");
    const fs::path first = prettyLogPath();
    shutdown();
    EXPECT_EQ(first.parent_path(), tmp.path() / "a");
    EXPECT_FALSE(fs::exists(tmp.path() / "b"));
    init(quietConfig(tmp.path() / "b", "second"));
    write(Info, "two");
    const fs::path second = prettyLogPath();
    shutdown();
    ASSERT_EQ(readLines(second).size(), 3u);
    EXPECT_NE(readLines(second)[1].find("[second] two"), std::string::npos);
}

TEST(Logging, ManyThreadsLoseNothingAtInfo) {
    TempDir tmp;
    init(quietConfig(tmp.path()));
    constexpr int kThreads = 8;
    constexpr int kPerThread = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kPerThread; ++i) logf(Info, "thread %d line %d", t, i);
        });
    }
    for (auto& th : threads) th.join();
    const fs::path pretty = prettyLogPath();
    const fs::path events = eventLogPath();
    shutdown();
    std::set<std::string> messages;
    for (const auto& r : records(events)) messages.insert(r["msg"].get<std::string>());
    EXPECT_EQ(messages.size(), static_cast<std::size_t>(kThreads * kPerThread + 2));
    EXPECT_EQ(readLines(pretty).size(), static_cast<std::size_t>(kThreads * kPerThread + 2));
}

TEST(Logging, TwoProcessesStartedTogetherGetDifferentFiles) {
    TempDir tmp;
    const std::map<std::string, std::string> env = {{"OSTREL_OPS_LOG_DIR", tmp.path().string()}};
    const std::string cli = test::programPath("OSTREL_CLI");
    ChildProcess a({cli, "--version"}, env);
    ChildProcess b({cli, "--version"}, env);
    EXPECT_EQ(a.wait(std::chrono::seconds(20)), 0);
    EXPECT_EQ(b.wait(std::chrono::seconds(20)), 0);
    const auto files = test::listFiles(tmp.path() / "control-cli");
    int prettyCount = 0;
    int eventCount = 0;
    for (const auto& f : files) {
        const auto name = f.filename().string();
        if (name.rfind("Log_", 0) == 0) ++prettyCount;
        if (name.rfind("events-", 0) == 0) {
            ++eventCount;
            const auto recs = records(f);
            ASSERT_GE(recs.size(), 2u);  // plain lines (the crash handler's) may sit in between
            EXPECT_EQ(recs.front()["kind"], "process.start");
            EXPECT_EQ(recs.back()["kind"], "process.stop");
        }
    }
    EXPECT_EQ(prettyCount, 2);
    EXPECT_EQ(eventCount, 2);
}

}  // namespace
}  // namespace ostrel::log
