// In-process cost of one connect probe against a running simulator ($OSTREL_BENCH_PORT on
// 127.0.0.1): the product's client and probe, against bare libcurl making the same two GETs on two
// fresh connections with certificate checks off (what `curl -k` does), without the probe's logic.
#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include "net/http_client.h"
#include "net/system_api.h"

namespace {

int benchPort() {
    const char* text = std::getenv("OSTREL_BENCH_PORT");
    return text == nullptr ? 0 : std::atoi(text);
}

std::size_t discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

bool plainGet(const std::string& url) {
    CURL* h = curl_easy_init();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, discard);
    const bool ok = curl_easy_perform(h) == CURLE_OK;
    curl_easy_cleanup(h);
    return ok;
}

void BM_ProbeWithProductClient(benchmark::State& state) {
    const int port = benchPort();
    for (auto _ : state) {
        const ostrel::ConnectResult r = ostrel::runConnectProbe("127.0.0.1", port, ostrel::httpsRequest, {});
        if (!r.ok) state.SkipWithError(r.error.c_str());
        benchmark::DoNotOptimize(r);
    }
}

void BM_TwoGetsWithPlainLibcurl(benchmark::State& state) {
    const std::string base = "https://127.0.0.1:" + std::to_string(benchPort());
    for (auto _ : state) {
        const bool ok = plainGet(base + "/api/source-config") && plainGet(base + "/api/control-session");
        if (!ok) state.SkipWithError("plain libcurl request failed");
    }
}

BENCHMARK(BM_ProbeWithProductClient)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5)->Repetitions(30);
BENCHMARK(BM_TwoGetsWithPlainLibcurl)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5)->Repetitions(30);

}  // namespace

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    if (benchPort() == 0) {
        std::fputs("set OSTREL_BENCH_PORT to the port of a running ostrel-system-sim (see bench/probe/run)\n", stderr);
        return 2;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
