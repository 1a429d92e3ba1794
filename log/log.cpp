#include "log/log.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <system_error>
#include <vector>

#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include "common/utf.h"

namespace ostrel::log {
namespace fs = std::filesystem;

namespace {

constexpr const char* kPrettyLoggerName = "ostrel.pretty";
constexpr const char* kEventLoggerName = "ostrel.ndjson";
constexpr std::size_t kQueueSize = 8192;
constexpr std::size_t kLogfBufferSize = 4096;

struct State {
    std::string source = "ostrel";
    std::string systemId;
    std::string sessionId;
    std::string instanceId;
    long long pid = 0;
    fs::path prettyPath;
    fs::path eventPath;
    std::string recordHead;    // the plain record up to "level"
    std::string recordMiddle;  // the plain record from "pid" to "systemId"
    std::shared_ptr<spdlog::logger> pretty;
    std::shared_ptr<spdlog::logger> events;
};

// Writers read the flag and level without a lock; the loggers themselves sit behind a
// reader/writer lock so a late writer can never touch a logger that shutdown is releasing.
std::atomic<bool> gInitialized{false};
std::atomic<std::int32_t> gMinLevel{Info};
std::mutex gInitMutex;
std::shared_mutex gStateMutex;
State gState;

spdlog::level::level_enum libraryLevel(std::int32_t level) {
    switch (level) {
        case Trace: return spdlog::level::trace;
        case Debug: return spdlog::level::debug;
        case Info: return spdlog::level::info;
        case Warn: return spdlog::level::warn;
        case Error: return spdlog::level::err;
        case Fatal: return spdlog::level::critical;
        default: return spdlog::level::info;
    }
}

// JSON text that never throws: invalid UTF-8 in any string becomes U+FFFD.
std::string dumpCompact(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void writeFallback(std::int32_t level, std::string_view message) {
    const std::string text = sanitizeUtf8(message);
    std::fprintf(stderr, "%c %s\n", levelLetter(level), text.c_str());
}

std::string buildPrettyLine(const std::string& timestamp, std::int32_t level, const std::string& source,
                            std::string_view message, const LogEvent* event) {
    std::string line;
    line.reserve(timestamp.size() + source.size() + message.size() + 48);
    line += timestamp;
    line += ' ';
    line += levelLetter(level);
    line += " [";
    line += source;
    line += ']';
    if (event != nullptr) {
        if (!event->module.empty()) {
            line += " (";
            line += sanitizeUtf8(event->module);
            line += ')';
        }
        if (!event->name.empty()) {
            line += " {";
            line += sanitizeUtf8(event->name);
            line += '}';
        }
    }
    line += ' ';
    line += message;
    return line;
}

// A JSON string literal for `text` (valid UTF-8). Text with nothing to escape is quoted as it
// stands; anything else goes through the JSON library's serializer.
void appendJsonString(std::string& out, std::string_view text) {
    const bool plain = std::none_of(text.begin(), text.end(), [](char c) {
        return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    if (plain) {
        out += '"';
        out.append(text);
        out += '"';
    } else {
        out += dumpCompact(nlohmann::json(std::string(text)));
    }
}

// The record of a plain line, built from text the JSON library serialised once at start-up.
// Byte for byte what dumping the record object would give (keys in ascending order).
std::string buildPlainRecord(std::int64_t epochMs, const std::string& timestamp, std::int32_t level,
                             const std::string& recordHead, const std::string& recordMiddle,
                             std::string_view message) {
    std::string out;
    out.reserve(recordHead.size() + recordMiddle.size() + message.size() + 96);
    out += recordHead;  // {"instanceId":...,
    out += "\"level\":\"";
    out += levelName(level);
    out += "\",\"msg\":";
    appendJsonString(out, message);
    out += recordMiddle;  // ,"pid":N,"sessionId":...,"source":...,"systemId":...
    out += ",\"ts\":";
    out += std::to_string(epochMs);
    out += ",\"ts_local\":\"";
    out += timestamp;
    out += "\",\"v\":1}";
    return out;
}

std::string buildRecord(std::int64_t epochMs, const std::string& timestamp, std::int32_t level,
                        const State& state, const std::string& message, const LogEvent* event) {
    nlohmann::json record = nlohmann::json::object();
    record["v"] = 1;
    record["ts"] = epochMs;
    record["ts_local"] = timestamp;
    if (!state.systemId.empty()) record["systemId"] = state.systemId;
    if (!state.sessionId.empty()) record["sessionId"] = state.sessionId;
    record["source"] = state.source;
    if (!state.instanceId.empty()) record["instanceId"] = state.instanceId;
    record["level"] = levelName(level);
    record["pid"] = state.pid;
    if (event != nullptr) {
        if (!event->module.empty()) record["module"] = event->module;
        if (!event->name.empty()) record["kind"] = event->name;
        if (!event->category.empty()) record["cat"] = event->category;
        if (event->stateName) {
            record["state"] = {{"name", *event->stateName},
                               {"phase", event->statePhase ? *event->statePhase : std::string("enter")}};
        }
        if (event->streamId) record["streamId"] = *event->streamId;
        if (event->clientId) record["clientId"] = *event->clientId;
        const bool emptyObject = event->fields.is_object() && event->fields.empty();
        if (!event->fields.is_null() && !emptyObject) record["fields"] = event->fields;
    }
    record["msg"] = message;
    return dumpCompact(record);
}

std::shared_ptr<spdlog::logger> makeLogger(const char* name, std::vector<spdlog::sink_ptr> sinks) {
    auto logger = std::make_shared<spdlog::async_logger>(name, sinks.begin(), sinks.end(), spdlog::thread_pool(),
                                                         spdlog::async_overflow_policy::overrun_oldest);
    logger->set_level(spdlog::level::trace);
    logger->flush_on(spdlog::level::info);
    return logger;
}

}  // namespace

char levelLetter(std::int32_t level) {
    switch (level) {
        case Trace: return 'T';
        case Debug: return 'D';
        case Info: return 'I';
        case Warn: return 'W';
        case Error: return 'E';
        case Fatal: return 'F';
        default: return '?';
    }
}

const char* levelName(std::int32_t level) {
    switch (level) {
        case Trace: return "trace";
        case Debug: return "debug";
        case Info: return "info";
        case Warn: return "warn";
        case Error: return "error";
        case Fatal: return "fatal";
        default: return "info";
    }
}

std::string formatLocalTimestamp(std::int64_t epochMs) {
    std::int64_t seconds = epochMs / 1000;
    std::int64_t millis = epochMs % 1000;
    if (millis < 0) {
        millis += 1000;
        seconds -= 1;
    }
    // The date and time part changes once a second; each thread keeps its last one so a burst
    // of entries does not pay for a local-time conversion each.
    thread_local std::int64_t cachedSecond = INT64_MIN;
    thread_local char cachedPrefix[40];
    if (seconds != cachedSecond) {
        const std::time_t t = static_cast<std::time_t>(seconds);
        std::tm local{};
        ::localtime_r(&t, &local);
        std::snprintf(cachedPrefix, sizeof cachedPrefix, "%04d-%02d-%02d %02d:%02d:%02d.", local.tm_year + 1900,
                      local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
        cachedSecond = seconds;
    }
    std::string out(cachedPrefix);
    out += static_cast<char>('0' + millis / 100);
    out += static_cast<char>('0' + (millis / 10) % 10);
    out += static_cast<char>('0' + millis % 10);
    return out;
}

std::string makeFileStamp(std::int64_t epochSeconds, long long pid, bool pidInFileNames) {
    const std::time_t t = static_cast<std::time_t>(epochSeconds);
    std::tm local{};
    ::localtime_r(&t, &local);
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%04d%02d%02d_%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    std::string stamp = buffer;
    if (pidInFileNames && !stamp.empty() && stamp.size() <= 47) {
        std::snprintf(buffer, sizeof buffer, "_p%lld", pid);
        stamp += buffer;
    }
    return stamp;
}

void pruneLogs(const fs::path& folder, std::int32_t maxFiles, std::int32_t maxAgeDays) {
    struct Entry {
        fs::path path;
        bool hasTime = false;
        fs::file_time_type time;
    };
    std::vector<Entry> pretty;
    std::vector<Entry> events;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeEc;
        if (!it->is_regular_file(typeEc)) continue;
        const std::string name = it->path().filename().string();
        std::vector<Entry>* list = nullptr;
        if (name.rfind("Log_", 0) == 0) {
            list = &pretty;
        } else if (name.rfind("events-", 0) == 0) {
            list = &events;
        } else {
            continue;
        }
        Entry entry{it->path(), false, {}};
        std::error_code timeEc;
        entry.time = fs::last_write_time(it->path(), timeEc);
        entry.hasTime = !timeEc;
        list->push_back(std::move(entry));
    }

    const auto ageLimit = std::chrono::hours(24) * (maxAgeDays > 0 ? maxAgeDays : 30);
    const auto cutoff = fs::file_time_type::clock::now() - ageLimit;
    for (auto* list : {&pretty, &events}) {
        std::vector<Entry> kept;
        for (auto& entry : *list) {
            if (entry.hasTime && entry.time < cutoff) {
                std::error_code removeEc;
                fs::remove(entry.path, removeEc);
            } else {
                kept.push_back(std::move(entry));
            }
        }
        if (maxFiles > 0 && kept.size() > static_cast<std::size_t>(maxFiles)) {
            std::stable_sort(kept.begin(), kept.end(), [](const Entry& a, const Entry& b) {
                if (a.hasTime != b.hasTime) return !a.hasTime;  // unknown time counts as oldest
                return a.hasTime && a.time < b.time;
            });
            const std::size_t excess = kept.size() - static_cast<std::size_t>(maxFiles);
            for (std::size_t i = 0; i < excess; ++i) {
                std::error_code removeEc;
                fs::remove(kept[i].path, removeEc);
            }
        }
    }
}

void init(const LogConfig& config) {
    std::lock_guard<std::mutex> initLock(gInitMutex);
    if (gInitialized.load(std::memory_order_acquire)) return;

    State state;
    state.source = config.source.empty() ? std::string("ostrel") : config.source;
    state.systemId = config.systemId;
    state.sessionId = config.sessionId;
    state.instanceId = config.instanceId;
    state.pid = static_cast<long long>(::getpid());
    {
        nlohmann::json head = nlohmann::json::object();
        if (!state.instanceId.empty()) head["instanceId"] = state.instanceId;
        std::string text = dumpCompact(head);  // "{}" or {"instanceId":"..."}
        text.pop_back();
        state.recordHead = text.size() > 1 ? text + "," : text;
        nlohmann::json middle = nlohmann::json::object();
        middle["pid"] = state.pid;
        if (!state.sessionId.empty()) middle["sessionId"] = state.sessionId;
        middle["source"] = state.source;
        if (!state.systemId.empty()) middle["systemId"] = state.systemId;
        text = dumpCompact(middle);
        state.recordMiddle = "," + text.substr(1, text.size() - 2);
    }

    try {
        const fs::path folder = config.logDir.empty() ? resolveLogRoot() / state.source : config.logDir;
        std::error_code ec;
        fs::create_directories(folder, ec);  // a failure shows up when the files are opened
        pruneLogs(folder, config.maxFiles, config.maxAgeDays);

        const auto now = std::chrono::system_clock::now();
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
        const std::string stamp = makeFileStamp(seconds, state.pid, config.pidInFileNames);
        state.prettyPath = folder / ("Log_" + stamp + ".log");
        state.eventPath = folder / ("events-" + stamp + ".ndjson");

        spdlog::init_thread_pool(kQueueSize, 1);
        const auto maxFiles = static_cast<std::size_t>(std::max<std::int32_t>(config.maxFiles, 0));
        const auto maxBytes = static_cast<std::size_t>(config.maxFileBytes);

        std::vector<spdlog::sink_ptr> prettySinks;
        auto prettyFile = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(state.prettyPath.string(), maxBytes, maxFiles);
        prettyFile->set_pattern("%v");
        prettySinks.push_back(prettyFile);
        // debuggerSink: there is no debugger-output channel on Linux; the option stays for Windows.
        if (config.consoleSink) {
            auto console = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
            console->set_pattern("%^%v%$");
            prettySinks.push_back(console);
        }
        auto eventFile = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(state.eventPath.string(), maxBytes, maxFiles);
        eventFile->set_pattern("%v");

        state.pretty = makeLogger(kPrettyLoggerName, std::move(prettySinks));
        state.events = makeLogger(kEventLoggerName, {eventFile});
        spdlog::register_logger(state.pretty);
        spdlog::register_logger(state.events);
        spdlog::flush_every(std::chrono::seconds(2));

        const std::string folderText = folder.string();
        {
            std::unique_lock<std::shared_mutex> lock(gStateMutex);
            gState = std::move(state);
        }
        gMinLevel.store(config.minLevel, std::memory_order_relaxed);
        gInitialized.store(true, std::memory_order_release);

        LogEvent start;
        start.name = "process.start";
        start.category = "lifecycle";
        start.fields = {{"logDir", sanitizeUtf8(folderText)}};
        const std::string message = gState.source + " logging started";
        start.message = message;
        write(Info, message, &start);
    } catch (const std::exception& e) {
        gInitialized.store(false, std::memory_order_release);
        {
            std::unique_lock<std::shared_mutex> lock(gStateMutex);
            gState = State{};
        }
        spdlog::shutdown();
        std::fprintf(stderr, "ostrel::log::init failed: %s\n", e.what());
    }
}

void shutdown() {
    std::lock_guard<std::mutex> initLock(gInitMutex);
    if (!gInitialized.load(std::memory_order_acquire)) return;

    LogEvent stop;
    stop.name = "process.stop";
    stop.category = "lifecycle";
    std::string message;
    {
        std::shared_lock<std::shared_mutex> lock(gStateMutex);
        message = gState.source + " logging shutting down";
    }
    stop.message = message;
    write(Info, message, &stop);

    std::shared_ptr<spdlog::logger> pretty;
    std::shared_ptr<spdlog::logger> events;
    {
        std::unique_lock<std::shared_mutex> lock(gStateMutex);
        gInitialized.store(false, std::memory_order_release);
        pretty = std::move(gState.pretty);
        events = std::move(gState.events);
        gState = State{};
    }
    try {
        pretty->flush();
        events->flush();
        spdlog::drop(kPrettyLoggerName);
        spdlog::drop(kEventLoggerName);
        pretty.reset();
        events.reset();
        // Stops the periodic flusher and the worker; queued entries are written before it stops.
        spdlog::shutdown();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ostrel::log::shutdown: %s\n", e.what());
    }
}

void write(LogLevel level, std::string_view message, const LogEvent* event) {
    if (!gInitialized.load(std::memory_order_acquire)) {
        writeFallback(level, message);
        return;
    }
    try {
        const auto now = std::chrono::system_clock::now();
        const std::int64_t epochMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
        const std::string timestamp = formatLocalTimestamp(epochMs);
        std::string repaired;
        const bool valid = isValidUtf8(message);
        if (!valid) repaired = sanitizeUtf8(message);
        const std::string_view text = valid ? message : std::string_view(repaired);

        std::shared_lock<std::shared_mutex> lock(gStateMutex);
        if (!gState.pretty || !gState.events) {
            lock.unlock();
            writeFallback(level, message);
            return;
        }
        const std::string line = buildPrettyLine(timestamp, level, gState.source, text, event);
        const std::string record =
            event == nullptr
                ? buildPlainRecord(epochMs, timestamp, level, gState.recordHead, gState.recordMiddle, text)
                : buildRecord(epochMs, timestamp, level, gState, std::string(text), event);
        const auto libLevel = libraryLevel(level);
        gState.pretty->log(libLevel, spdlog::string_view_t(line.data(), line.size()));
        gState.events->log(libLevel, spdlog::string_view_t(record.data(), record.size()));
    } catch (...) {
        // A log call must never take its caller down; the entry is lost, the program goes on.
    }
}

void logf(LogLevel level, const char* format, ...) {
    if (level < gMinLevel.load(std::memory_order_relaxed)) return;
    char buffer[kLogfBufferSize];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) buffer[0] = '\0';
    write(level, buffer);
}

void emitEvent(const std::string& name, const std::string& category, const std::string& level,
               const std::string& message, const nlohmann::json& fields, const std::string& streamId,
               const std::string& clientId) {
    LogEvent event;
    event.name = name;
    event.category = category;
    event.message = message;
    if (level == "error") {
        event.level = Error;
    } else if (level == "warn") {
        event.level = Warn;
    } else if (level == "debug") {
        event.level = Debug;
    } else {
        event.level = Info;
    }
    event.fields = fields.is_object() ? fields : nlohmann::json::object();
    if (!streamId.empty()) event.streamId = streamId;
    if (!clientId.empty()) event.clientId = clientId;
    if (event.level >= gMinLevel.load(std::memory_order_relaxed)) write(event.level, message, &event);
}

void emitInfo(const std::string& name, const std::string& category, const std::string& message,
              const std::string& streamId, const std::string& clientId) {
    emitEvent(name, category, "info", message, nlohmann::json(), streamId, clientId);
}

void flush() {
    if (!gInitialized.load(std::memory_order_acquire)) return;
    std::shared_lock<std::shared_mutex> lock(gStateMutex);
    try {
        if (gState.pretty) gState.pretty->flush();
        if (gState.events) gState.events->flush();
    } catch (...) {
    }
}

bool flushAndWait(std::chrono::milliseconds timeout) {
    if (!gInitialized.load(std::memory_order_acquire)) return true;
    std::shared_ptr<spdlog::details::thread_pool> pool;
    {
        std::shared_lock<std::shared_mutex> lock(gStateMutex);
        if (!gState.pretty || !gState.events) return true;
        try {
            gState.pretty->flush();
            gState.events->flush();
            // The one writer takes requests in order: once the queue is empty, at most this last
            // request is still being carried out, and everything before it is done.
            gState.events->flush();
        } catch (...) {
            return false;
        }
        pool = spdlog::thread_pool();
    }
    if (!pool) return false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pool->queue_size() != 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        ::usleep(1000);
    }
    return true;
}

bool initialized() { return gInitialized.load(std::memory_order_acquire); }

std::int32_t minLevel() { return gMinLevel.load(std::memory_order_relaxed); }

fs::path prettyLogPath() {
    std::shared_lock<std::shared_mutex> lock(gStateMutex);
    return gState.prettyPath;
}

fs::path eventLogPath() {
    std::shared_lock<std::shared_mutex> lock(gStateMutex);
    return gState.eventPath;
}

}  // namespace ostrel::log
