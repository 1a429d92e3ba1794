// Discovery on loopback inside the private namespace against simulator responders: what only the
// network adds (bursts and their timing, counts, the receiving interface, the site key). Every test
// uses its own destination port so tests may run in parallel.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "net/discovery.h"
#include "tests/discovery/responder_support.h"

namespace ostrel {
namespace {

using test::Responder;

DiscoveryResult discover(int port, const std::string& siteKey = "") {
    DiscoveryOptions options;
    options.port = port;
    options.siteKey = siteKey;
    return runDiscovery(options);
}

TEST(discovery_Run, ThreeBurstsAt0And250And750MsWithOneNonce) {
    OSTREL_REQUIRE_NETNS();
    test::TempDir dir;
    Responder listener(47901, dir.path() / "rec.jsonl", {"--garbage-only"});
    ASSERT_TRUE(listener.ready());
    const auto start = std::chrono::steady_clock::now();
    const auto result = discover(47901);
    const auto wall = std::chrono::steady_clock::now() - start;
    // Inside the namespace only loopback is up: group, 127.255.255.255 and 255.255.255.255.
    EXPECT_FALSE(result.failed);
    EXPECT_TRUE(result.interfaces == 1 && result.probes == 9 && result.offers + result.rejected == 0);
    EXPECT_TRUE(result.systems.empty());
    EXPECT_GE(wall, std::chrono::milliseconds(2000));
    EXPECT_LT(wall, std::chrono::milliseconds(3000));

    const auto probes = test::probesOf(dir.path() / "rec.jsonl");
    ASSERT_GE(probes.size(), 3u);
    std::set<std::string> nonces;
    std::vector<double> bursts;  // ms after the first datagram at which each burst began
    for (const auto& p : probes) {
        EXPECT_EQ(p["bytes"], 256);
        EXPECT_FALSE(p["siteAuth"].get<bool>());
        nonces.insert(p["nonce"].get<std::string>());
        const double ms =
            static_cast<double>(p["receivedUs"].get<long long>() - probes[0]["receivedUs"].get<long long>()) / 1000;
        if (bursts.empty() || ms - bursts.back() > 100) bursts.push_back(ms);
    }
    EXPECT_EQ(nonces.size(), 1u) << "all bursts of one run carry one nonce";
    ASSERT_EQ(bursts.size(), 3u);
    EXPECT_NEAR(bursts[1], 250, 60);
    EXPECT_NEAR(bursts[2], 750, 60);
    EXPECT_TRUE(!listener.readyLine().value("joined", false) || probes.size() == 9u) << probes.size();
}

// Every datagram counts once: an offer, a rejected one (malformed, over 2048 bytes), or both (a
// well-formed offer for another probe's nonce); duplicates merge and the receiving interface
// (127.0.0.1/8) ranks the addresses.
TEST(discovery_Run, EveryAnswerIsCountedAndMerged) {
    OSTREL_REQUIRE_NETNS();
    test::TempDir dir;
    const auto record = dir.path() / "rec.jsonl";
    const std::vector<std::vector<std::string>> kinds = {
        {"--duplicate", "--system", "id=twice,host=127.0.0.1", "--system", "id=multi,name=Multi,host=10.1.2.3",
         "--system", "id=multi,host=nodeb.local", "--system", "id=multi,host=127.0.0.9,port=9443"},
        {"--malformed", "--system", "id=next-to-malformed"},
        {"--offer-size", "2049", "--system", "id=oversized"},  // cut to 2048 bytes it would still parse
        {"--offer-size", "2048", "--system", "id=exactly-2048"},
        {"--foreign-nonce", "--system", "id=foreign"},
    };
    std::vector<std::unique_ptr<Responder>> responders;
    for (const auto& args : kinds) {
        responders.push_back(std::make_unique<Responder>(47902, record, args));
        ASSERT_TRUE(responders.back()->ready());
    }
    const auto result = discover(47902);
    std::map<std::string, std::vector<std::string>> hosts;
    for (const auto& system : result.systems) {
        for (const auto& a : system.addresses) hosts[system.systemId].push_back(a.host + ":" + std::to_string(a.port));
        EXPECT_TRUE(system.systemId != "multi" || !system.addresses.back().onLink);
    }
    EXPECT_EQ(hosts, (std::map<std::string, std::vector<std::string>>{
                         {"twice", {"127.0.0.1:8443"}},
                         {"multi", {"127.0.0.9:9443", "nodeb.local:8443", "10.1.2.3:8443"}},
                         {"next-to-malformed", {"127.0.0.1:8443"}},
                         {"exactly-2048", {"127.0.0.1:8443"}}}));
    const auto probes = test::probesOf(record);
    const long long foreign = test::sumOf(probes, "foreignOffersSent"), invalid = test::sumOf(probes, "invalidSent");
    EXPECT_TRUE(foreign > 0 && invalid > 0);
    EXPECT_EQ(result.offers, test::sumOf(probes, "validOffersSent") + foreign);
    EXPECT_EQ(result.rejected, invalid + foreign);
}

TEST(discovery_Run, OnlyTheRightSiteKeyGetsAnswers) {
    OSTREL_REQUIRE_NETNS();
    test::TempDir dir;
    const std::string key = "discovery-net-test-key";
    test::writeFile(dir.path() / "key", key + "\n");
    const auto record = dir.path() / "rec.jsonl";
    Responder responder(47907, record, {"--site-key-file", (dir.path() / "key").string(), "--system", "id=guarded"});
    ASSERT_TRUE(responder.ready());
    EXPECT_EQ(discover(47907, key).systems.size(), 1u);
    const std::size_t seen = test::probesOf(record).size();
    EXPECT_TRUE(discover(47907, key + "x").systems.empty());
    const auto probes = test::probesOf(record);
    ASSERT_GT(probes.size(), seen);
    for (std::size_t i = 0; i < probes.size(); ++i) {
        EXPECT_TRUE(probes[i]["siteAuth"].get<bool>());
        EXPECT_EQ(probes[i]["authorized"].get<bool>(), i < seen);
    }
}

}  // namespace
}  // namespace ostrel
