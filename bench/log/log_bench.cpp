// Caller-side cost of a log call: ours against a raw spdlog async logger with the same sinks
// (rotating files for the pretty log and the event log) on the same thread pool, in one run.
// Run: build/release/bench/log/ostrel_log_bench
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include "log/log.h"

namespace {
namespace fs = std::filesystem;

fs::path benchFolder() {
    static const fs::path folder = [] {
        char pattern[] = "/tmp/ostrel-log-bench-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        return fs::path(made != nullptr ? made : "/tmp");
    }();
    return folder;
}

std::shared_ptr<spdlog::logger> rawLogger() {
    static std::shared_ptr<spdlog::logger> logger = [] {
        const auto dir = benchFolder() / "raw";
        fs::create_directories(dir);
        auto pretty = std::make_shared<spdlog::sinks::rotating_file_sink_mt>((dir / "Log_raw.log").string(), 10485760, 100);
        auto events = std::make_shared<spdlog::sinks::rotating_file_sink_mt>((dir / "events-raw.ndjson").string(), 10485760, 100);
        pretty->set_pattern("%Y-%m-%d %H:%M:%S.%e %L [bench] %v");
        events->set_pattern("{\"level\":\"%l\",\"msg\":\"%v\",\"source\":\"bench\",\"ts\":%E}");
        spdlog::sinks_init_list sinks{pretty, events};
        auto l = std::make_shared<spdlog::async_logger>("raw", sinks, spdlog::thread_pool(),
                                                        spdlog::async_overflow_policy::overrun_oldest);
        l->set_level(spdlog::level::trace);
        l->flush_on(spdlog::level::info);
        return l;
    }();
    return logger;
}

// The same traffic as ours: one async logger per file, each entry flushed at info.
std::pair<std::shared_ptr<spdlog::logger>, std::shared_ptr<spdlog::logger>> rawPair() {
    static auto pair = [] {
        const auto dir = benchFolder() / "raw2";
        fs::create_directories(dir);
        auto make = [&](const char* name, const char* file) {
            auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>((dir / file).string(), 10485760, 100);
            sink->set_pattern("%v");
            auto l = std::make_shared<spdlog::async_logger>(name, sink, spdlog::thread_pool(),
                                                            spdlog::async_overflow_policy::overrun_oldest);
            l->set_level(spdlog::level::trace);
            l->flush_on(spdlog::level::info);
            return std::shared_ptr<spdlog::logger>(l);
        };
        return std::make_pair(make("raw.pretty", "Log_raw2.log"), make("raw.events", "events-raw2.ndjson"));
    }();
    return pair;
}

void setUp() {
    if (ostrel::log::initialized()) return;
    ostrel::log::LogConfig config;
    config.source = "bench";
    config.logDir = benchFolder() / "ours";
    config.consoleSink = false;
    ostrel::log::init(config);
}

void BM_RawSpdlog(benchmark::State& state) {
    setUp();
    auto logger = rawLogger();
    int i = 0;
    for (auto _ : state) logger->info("connecting to {}:{}", "10.0.0.5", ++i);
}

void BM_RawSpdlogTwoLoggers(benchmark::State& state) {
    setUp();
    auto [pretty, events] = rawPair();
    int i = 0;
    for (auto _ : state) {
        ++i;
        pretty->info("connecting to {}:{}", "10.0.0.5", i);
        events->info("{{\"msg\":\"connecting to {}:{}\"}}", "10.0.0.5", i);
    }
}

void BM_Logf(benchmark::State& state) {
    setUp();
    int i = 0;
    for (auto _ : state) ostrel::log::logf(ostrel::log::Info, "connecting to %s:%d", "10.0.0.5", ++i);
}

void BM_EmitEvent(benchmark::State& state) {
    setUp();
    const nlohmann::json fields = {{"host", "10.0.0.5"}, {"port", 8443}};
    for (auto _ : state) ostrel::log::emitEvent("bench.connect", "lifecycle", "info", "connecting", fields);
}

BENCHMARK(BM_RawSpdlog);
BENCHMARK(BM_RawSpdlogTwoLoggers);
BENCHMARK(BM_Logf);
BENCHMARK(BM_EmitEvent);
BENCHMARK(BM_RawSpdlog)->Threads(2);
BENCHMARK(BM_Logf)->Threads(2);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ostrel::log::shutdown();
    std::error_code ec;
    fs::remove_all(benchFolder(), ec);
    return 0;
}
