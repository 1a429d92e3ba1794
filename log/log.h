#pragma once
// Process-wide structured logging: a human-readable pretty log and an NDJSON event log,
// written asynchronously. Every call is safe from any thread and never throws.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace ostrel::log {

enum LogLevel : std::int32_t {
    Trace = 0,
    Debug = 1,
    Info = 2,
    Warn = 3,
    Error = 4,
    Fatal = 5,
};

struct LogConfig {
    std::string source;  // empty means "ostrel"
    std::string systemId;
    std::string sessionId;
    std::string instanceId;
    std::filesystem::path logDir;  // empty: resolveLogRoot() / source
    std::int32_t minLevel = Info;
    std::uint64_t maxFileBytes = 10485760;
    std::int32_t maxFiles = 100;
    std::int32_t maxAgeDays = 30;
    bool debuggerSink = true;  // no counterpart on Linux: kept, nothing behind it
    bool consoleSink = true;
    bool pidInFileNames = true;
    bool forwardToCollector = false;
    std::string collectorHost = "127.0.0.1";
    std::uint16_t collectorPort = 9095;
};

struct LogEvent {
    std::string name;
    std::string category;
    LogLevel level = Info;
    std::string module;
    std::optional<std::string> streamId;
    std::optional<std::string> clientId;
    std::optional<std::string> stateName;
    std::optional<std::string> statePhase;
    nlohmann::json fields;
    std::string message;
};

void init(const LogConfig& config);
void shutdown();
// Writes one entry without filtering by minLevel (callers filter).
void write(LogLevel level, std::string_view message, const LogEvent* event = nullptr);
// printf-style; texts longer than 4095 bytes are cut to 4095 bytes.
void logf(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void emitEvent(const std::string& name, const std::string& category, const std::string& level,
               const std::string& message, const nlohmann::json& fields,
               const std::string& streamId = std::string(), const std::string& clientId = std::string());
void emitInfo(const std::string& name, const std::string& category, const std::string& message,
              const std::string& streamId = std::string(), const std::string& clientId = std::string());
void flush();
// Flushes both logs and waits, at most `timeout`, until everything written before the call is in
// the files (a process about to die needs that; flush() only asks the writer). False on time-out.
bool flushAndWait(std::chrono::milliseconds timeout);

std::filesystem::path resolveLogRoot();
void pruneLogs(const std::filesystem::path& folder, std::int32_t maxFiles, std::int32_t maxAgeDays);

// Introspection for tools and tests.
bool initialized();
std::int32_t minLevel();
std::filesystem::path prettyLogPath();  // empty when not initialised
std::filesystem::path eventLogPath();   // empty when not initialised

// Pure formatting, exposed so the byte-exact forms can be checked without files.
char levelLetter(std::int32_t level);
const char* levelName(std::int32_t level);
std::string formatLocalTimestamp(std::int64_t epochMs);  // "YYYY-MM-DD HH:MM:SS.mmm", local time
std::string makeFileStamp(std::int64_t epochSeconds, long long pid, bool pidInFileNames);

}  // namespace ostrel::log
