// What one received datagram costs the discovery loop, and what merging a flood of offers costs.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "net/discovery.h"

namespace {

std::string offerText(int i) {
    return nlohmann::json{{"op", "offer"},
                          {"edp", 1},
                          {"nonce", "AAAAAAAAAAAAAAAAAAAAAA"},
                          {"systemId", "system-" + std::to_string(i)},
                          {"systemName", "Wall " + std::to_string(i % 7)},
                          {"site", "North"},
                          {"hostname", "node" + std::to_string(i)},
                          {"host", "10.0.0." + std::to_string(i % 250 + 1)},
                          {"port", 8443},
                          {"certSha256", std::string(64, 'a')},
                          {"certNames", {"node", "node.local"}},
                          {"status", "ok"}}
        .dump();
}

void BM_ParseValidOffer(benchmark::State& state) {
    const std::string text = offerText(1);
    for (auto _ : state) {
        ostrel::DiscoveryOffer offer;
        benchmark::DoNotOptimize(ostrel::parseOffer(text.data(), text.size(), offer));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseValidOffer);

void BM_ParseGarbage(benchmark::State& state) {
    std::string text(700, '\x9c');
    text[0] = '#';
    for (auto _ : state) {
        ostrel::DiscoveryOffer offer;
        benchmark::DoNotOptimize(ostrel::parseOffer(text.data(), text.size(), offer));
    }
}
BENCHMARK(BM_ParseGarbage);

// A hostile flood: N accepted offers from N/4 systems, each answering from several addresses.
void BM_MergeOffers(benchmark::State& state) {
    std::vector<ostrel::DiscoveryOffer> offers;
    for (int i = 0; i < state.range(0); ++i) {
        const std::string text = offerText(i / 4);
        ostrel::DiscoveryOffer offer;
        ostrel::parseOffer(text.data(), text.size(), offer);
        offer.port = 8443 + i % 4;
        offer.ifAddress = 0x0A000002;
        offer.ifNetmask = 0xFFFFFF00;
        offer.receivedMs = i;
        offers.push_back(offer);
    }
    for (auto _ : state) benchmark::DoNotOptimize(ostrel::mergeOffers(offers));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_MergeOffers)->Arg(200)->Arg(20000);

}  // namespace

BENCHMARK_MAIN();
