// Logging against real files in temporary folders. Each test runs in its own process, so the
// process-wide logging state starts fresh every time.
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
using nlohmann::json;
using test::readLines;
using Keys = std::set<std::string>;

LogConfig quietConfig(const fs::path& dir, const std::string& source = "unit") {
    LogConfig config;
    config.source = source;
    config.logDir = dir;
    config.consoleSink = false;
    return config;
}

// Shuts logging down and reads both files: the pretty lines, the raw event lines and their records.
struct Logged {
    std::vector<std::string> pretty, raw;
    std::vector<json> recs;
};
Logged finish() {
    const fs::path pretty = prettyLogPath(), events = eventLogPath();
    shutdown();
    Logged out{readLines(pretty), readLines(events), {}};
    for (const auto& line : out.raw) {
        out.recs.push_back(json::parse(line, nullptr, false));
        EXPECT_TRUE(out.recs.back().is_object()) << line;
    }
    return out;
}

Keys keysOf(const json& object) {
    Keys keys;
    for (const auto& [key, _] : object.items()) keys.insert(key);
    return keys;
}
Keys baseKeysAnd(std::initializer_list<const char*> more) {
    Keys keys{"v", "ts", "ts_local", "source", "level", "pid", "msg"};
    keys.insert(more.begin(), more.end());
    return keys;
}

TEST(Logging, FilesLiveInTheSourceFolderUnderTheRoot) {
    test::TempDir tmp;
    test::IsolatedUserDirs dirs(tmp.path());
    LogConfig config;
    config.source = "control-cli";
    config.consoleSink = false;
    init(config);
    const fs::path pretty = prettyLogPath(), events = eventLogPath();
    shutdown();
    EXPECT_TRUE(prettyLogPath().empty());
    EXPECT_EQ(pretty.parent_path(), dirs.logs() / "control-cli");
    const std::string pid = std::to_string(::getpid());
    EXPECT_TRUE(std::regex_match(pretty.filename().string(), std::regex("Log_\\d{8}_\\d{6}_p" + pid + "\\.log")));
    EXPECT_TRUE(std::regex_match(events.filename().string(), std::regex("events-\\d{8}_\\d{6}_p" + pid + "\\.ndjson")));
    EXPECT_TRUE(fs::exists(pretty) && fs::exists(events));
    EXPECT_EQ(makeFileStamp(0, 42, false).size(), 15u);

    // Without the override: the XDG state folder, and HOME's when that is unset or relative.
    test::ScopedEnv noOverride("OSTREL_OPS_LOG_DIR", std::string());
    EXPECT_EQ(resolveLogRoot(), dirs.state() / "OstrelOps");
    for (const auto& state : {std::optional<std::string>(), std::optional<std::string>("rel/x")}) {
        test::ScopedEnv xdg("XDG_STATE_HOME", state);
        EXPECT_EQ(resolveLogRoot(), tmp.path() / "home" / ".local" / "state" / "OstrelOps");
    }
}

TEST(Logging, PrettyLinesAndRecordsAreExact) {
    test::TempDir tmp;
    LogConfig config = quietConfig(tmp.path());
    config.systemId = "sys-1";
    config.instanceId = "inst-9";
    config.sessionId = "sess-\"3";
    init(config);
    logf(Warn, "connecting to %s:%d", "10.0.0.5", 8443);
    // A text holding a line break and terminal controls must not forge a second pretty line.
    const std::string forging =
        "quote \" back\\slash\ttab\x01 del\x7f \xE2\x80\x94\r\n2026-01-01 00:00:00.000 I [unit] "
        "forged \x1B[2J\xC2\x9B\xC2\xA0";
    write(Info, forging);
    LogEvent event{"ui.thing", "lifecycle", Info, "shell", "s1", {}, "window", {}, {{"b", 2}, {"a", 1}}, {}};
    write(Error, "something broke", &event);
    const auto [lines, raw, recs] = finish();

    ASSERT_EQ(lines.size(), 5u);
    const std::string ts = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}";
    const std::string expected[] = {" I \\[unit\\] \\{process\\.start\\} unit logging started",
                                    " W \\[unit\\] connecting to 10\\.0\\.0\\.5:8443", "",
                                    " E \\[unit\\] \\(shell\\) \\{ui\\.thing\\} something broke",
                                    " I \\[unit\\] \\{process\\.stop\\} unit logging shutting down"};
    for (int i : {0, 1, 3, 4}) EXPECT_TRUE(std::regex_match(lines[i], std::regex(ts + expected[i]))) << lines[i];
    EXPECT_EQ(lines[2].substr(23),
              " I [unit] quote \" back\\slash\\ttab\\u0001 del\\u007f \xE2\x80\x94\\r\\n2026-01-01 "
              "00:00:00.000 I [unit] forged \\u001b[2J\\u009b\xC2\xA0");

    ASSERT_EQ(recs.size(), 5u);
    // Compact, keys in byte order: every line is exactly what the JSON library writes.
    for (std::size_t i = 0; i < raw.size(); ++i) EXPECT_EQ(raw[i], recs[i].dump()) << i;
    // The configured identity texts in plain and event records alike.
    EXPECT_EQ(keysOf(recs[1]), baseKeysAnd({"systemId", "instanceId", "sessionId"}));
    EXPECT_EQ(keysOf(recs[3]), baseKeysAnd({"systemId", "instanceId", "sessionId", "kind", "cat", "module", "state",
                                            "streamId", "fields"}));
    EXPECT_TRUE(recs[1]["sessionId"] == "sess-\"3" && recs[3]["instanceId"] == "inst-9" &&
                recs[3]["systemId"] == "sys-1");
    EXPECT_TRUE(recs[1]["level"] == "warn" && recs[1]["pid"] == ::getpid());
    EXPECT_EQ(lines[1].substr(0, 23), recs[1]["ts_local"].get<std::string>());
    EXPECT_EQ(recs[2]["msg"], forging);
    EXPECT_EQ(recs[3]["state"], (json{{"name", "window"}, {"phase", "enter"}}));
    EXPECT_EQ(recs[3]["fields"], (json{{"a", 1}, {"b", 2}}));
    EXPECT_EQ(recs[3]["streamId"], "s1");
    EXPECT_EQ(recs[0]["fields"]["logDir"], tmp.path().string());
    const auto now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch());
    EXPECT_LE(recs[0]["ts"].get<std::int64_t>(), now.count());
    EXPECT_GT(recs[0]["ts"].get<std::int64_t>(), now.count() - 60000);
}

TEST(Logging, EventLevelsFieldsAndTheMinimumLevel) {
    test::TempDir tmp;
    init(quietConfig(tmp.path()));
    emitEvent("e.fatal", "c", "fatal", "fatal text", json::object());  // not a name emitEvent knows: info
    emitEvent("e.debug", "c", "debug", "debug text", json::object());  // below info: dropped
    emitEvent("e.warn", "c", "warn", "warn text", {{"k", "v"}});
    emitEvent("e.error", "c", "error", "error text", json::array({1, 2}));
    emitEvent("e.odd", "c", "WARN", "odd text", nullptr);
    logf(Debug, "debug line %d", 1);
    write(Debug, "direct write is not filtered");
    emitInfo("e.info", "c", "info text", "stream", "client");
    const auto recs = finish().recs;
    std::vector<std::string> seen;
    for (const auto& r : recs) seen.push_back(r["msg"].get<std::string>() + "/" + r["level"].get<std::string>());
    ASSERT_EQ(seen, (std::vector<std::string>{"unit logging started/info", "fatal text/info", "warn text/warn",
                                              "error text/error", "odd text/info", "direct write is not filtered/debug",
                                              "info text/info", "unit logging shutting down/info"}));
    // Fields only for a non-empty object; no identity members that were not configured.
    EXPECT_EQ(keysOf(recs[1]), baseKeysAnd({"kind", "cat"}));
    EXPECT_EQ(recs[2]["fields"], (json{{"k", "v"}}));
    EXPECT_FALSE(recs[3].contains("fields"));
    EXPECT_EQ(keysOf(recs[5]), baseKeysAnd({}));
    EXPECT_EQ(keysOf(recs[6]), baseKeysAnd({"kind", "cat", "streamId", "clientId"}));
}

TEST(Logging, LongAndInvalidTextIsCutAndRepaired) {
    test::TempDir tmp;
    init(quietConfig(tmp.path()));
    // 4094 ASCII bytes then a 3-byte character: the 4,095-byte cut lands inside it.
    logf(Info, "%s", (std::string(4094, 'x') + "\xE2\x80\x94" + "tail").c_str());
    logf(Info, "%s", std::string(5000, 'y').c_str());
    write(Warn, "bad \xFF\xFE bytes");
    emitEvent("bad.fields", "c", "info", "fields \xC3", {{"k", "v\xE2\x82"}});
    const auto logged = finish();
    ASSERT_EQ(logged.recs.size(), 6u);
    EXPECT_EQ(logged.recs[1]["msg"], std::string(4094, 'x') + "\xEF\xBF\xBD");
    EXPECT_EQ(logged.recs[2]["msg"], std::string(4095, 'y'));
    EXPECT_EQ(logged.recs[3]["msg"], "bad \xEF\xBF\xBD\xEF\xBF\xBD bytes");
    EXPECT_EQ(logged.recs[4]["fields"]["k"], "v\xEF\xBF\xBD");
    for (const auto& line : logged.pretty) EXPECT_TRUE(isValidUtf8(line));
}

TEST(Logging, StandardErrorOutsideTheLifetimeASecondInitAndReinit) {
    test::TempDir tmp;
    std::fflush(stderr);
    const int saved = ::dup(2);
    const int fd = ::open((tmp.path() / "stderr.txt").c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    ::dup2(fd, 2);
    ::close(fd);
    logf(Warn, "before %s", "init");
    write(static_cast<LogLevel>(42), "odd level");
    init(quietConfig(tmp.path() / "a", "first"));
    init(quietConfig(tmp.path() / "b", "second"));  // ignored while the first runs
    const fs::path first = prettyLogPath();
    write(Info, "inside");
    shutdown();
    const bool secondIgnored = !fs::exists(tmp.path() / "b");
    logf(Error, "after shutdown");
    init(quietConfig(tmp.path() / "b", "second"));
    write(Info, "two");
    const auto reinit = finish().pretty;
    test::writeFile(tmp.path() / "blocked", "x");  // a log folder below a regular file cannot exist
    init(quietConfig(tmp.path() / "blocked" / "sub"));
    const bool failedInit = !initialized();
    logf(Info, "after failed init");
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    EXPECT_TRUE(failedInit && secondIgnored);
    EXPECT_EQ(first.parent_path(), tmp.path() / "a");
    ASSERT_EQ(reinit.size(), 3u);
    EXPECT_NE(reinit[1].find("[second] two"), std::string::npos);
    const std::string text = test::readFile(tmp.path() / "stderr.txt");
    for (const char* line : {"W before init\n", "? odd level\n", "E after shutdown\n",
                             "ostrel::log::init failed: ", "I after failed init\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << " in " << text;
    }
    EXPECT_TRUE(text.find("inside") == std::string::npos && text.find("two") == std::string::npos);
}

TEST(Logging, ManyThreadsLoseNothingAndAnInfoLineReachesTheDiskWithoutAFlush) {
    test::TempDir tmp;
    init(quietConfig(tmp.path()));
    logf(Info, "on disk soon");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
    bool pretty = false, events = false;
    while (!(pretty && events) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pretty = test::readFile(prettyLogPath()).find("on disk soon") != std::string::npos;
        events = test::readFile(eventLogPath()).find("on disk soon") != std::string::npos;
    }
    EXPECT_TRUE(pretty && events);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i) logf(Info, "thread %d line %d", t, i);
        });
    }
    for (auto& th : threads) th.join();
    std::set<std::string> messages;
    for (const auto& r : finish().recs) messages.insert(r["msg"].get<std::string>());
    EXPECT_EQ(messages.size(), 8u * 500u + 3u);
}

TEST(Logging, FilesRotateAtTheSizeLimitKeepingMaxFiles) {
    test::TempDir tmp;
    LogConfig config = quietConfig(tmp.path());
    config.maxFileBytes = 4096;
    config.maxFiles = 2;
    init(config);
    const std::string pretty = prettyLogPath().stem().string(), events = eventLogPath().stem().string();
    for (int i = 0; i < 200; ++i) logf(Info, "line %03d %s", i, std::string(80, 'r').c_str());
    shutdown();
    // The index goes before the extension; the current file and maxFiles older ones are kept.
    std::set<std::string> names;
    for (const auto& file : test::listFiles(tmp.path())) {
        names.insert(file.filename().string());
        EXPECT_LE(fs::file_size(file), 4096u) << file;
    }
    EXPECT_EQ(names, (std::set<std::string>{pretty + ".log", pretty + ".1.log", pretty + ".2.log", events + ".ndjson",
                                            events + ".1.ndjson", events + ".2.ndjson"}));
    EXPECT_NE(test::readFile(tmp.path() / (pretty + ".log")).find("logging shutting down"), std::string::npos);
}

}  // namespace
}  // namespace ostrel::log
