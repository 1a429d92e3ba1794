// Discovery on loopback inside the private namespace against simulator responders, directly and through
// `ostrel-control-cli discover`: what only the network adds (bursts and their timing, counts, the
// receiving interface, the site key) and the CLI's own output and exit codes. Every test uses its own
// destination port so tests may run in parallel.
#include <map>
#include <set>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "net/discovery.h"
#include "tests/support/test_support.h"

namespace ostrel {
namespace {

using nlohmann::json;
using Strings = std::vector<std::string>;

// Discovery sends broadcasts: only inside the private namespace of ./scripts/test-env.
#define REQUIRE_NETNS() \
    if (!test::inPrivateNetns()) GTEST_SKIP() << "discovery broadcasts run only inside ./scripts/test-env"

// A simulator discovery responder on `port`, recording every probe it receives to `record`.
struct Responder {
    Responder(int port, const std::filesystem::path& record, Strings args)
        : child([&] {
              args.insert(args.begin(), {test::programPath("OSTREL_SIM"), "discovery", "--port", std::to_string(port),
                                         "--record", record.string()});
              return args;
          }()),
          ready(json::parse(child.readLine(std::chrono::seconds(20)).value_or(""), nullptr, false)) {}
    bool up() const { return ready.is_object() && ready.value("discoveryPort", 0) > 0; }
    test::ChildProcess child;
    json ready;
};

std::vector<json> probesOf(const std::filesystem::path& record) {
    std::vector<json> out;
    for (const auto& line : test::readLines(record)) {
        auto value = json::parse(line, nullptr, false);
        if (value.is_object() && value.value("event", "") == "probe") out.push_back(std::move(value));
    }
    return out;
}

long long sumOf(const std::vector<json>& probes, const char* field) {
    long long total = 0;
    for (const auto& p : probes) total += p.value(field, 0LL);
    return total;
}

TEST(discovery_Cli, ThreeBurstsAt0And250And750MsThenOneEventLine) {
    REQUIRE_NETNS();
    test::TempDir dir;
    const auto record = dir.path() / "rec.jsonl";
    Responder responder(47901, record, {"--system", "id=4f2c0001,name=Wall A,site=North,host=127.0.0.1,port=8443"});
    ASSERT_TRUE(responder.up());
    const auto run = test::runCli(dir.path(), {"discover", "--port", "47901"});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, R"({"error":"","event":"discovery","state":"done","systems":[{"addresses":1,"displayName":)"
                       "\"North \u2014 Wall A\""
                       R"(,"host":"127.0.0.1","port":8443,"status":"ok","systemId":"4f2c0001"}]})"
                       "\n");
    // Inside the namespace only loopback is up: group, 127.255.255.255 and 255.255.255.255, three times.
    const auto probes = probesOf(record);
    const std::string line = "discovery: 9 probes on 1 interfaces, " +
                             std::to_string(sumOf(probes, "validOffersSent")) + " offers (0 rejected), 1 systems";
    EXPECT_NE(run.logs.find(line), std::string::npos) << run.logs;
    EXPECT_TRUE(!responder.ready.value("joined", false) || probes.size() == 9u) << probes.size();
    ASSERT_GE(probes.size(), 3u);
    const std::string nonce = probes[0]["nonce"];
    EXPECT_EQ(probes[0]["text"], buildProbe({nonce, "control-native", "1", "linux", ""}));
    EXPECT_EQ(nonce.size(), 22u);
    std::vector<double> bursts;  // ms after the first datagram at which each burst began
    for (const auto& p : probes) {
        EXPECT_EQ(p["text"], probes[0]["text"]) << "all bursts of one run carry one nonce";
        const double ms =
            static_cast<double>(p["receivedUs"].get<long long>() - probes[0]["receivedUs"].get<long long>());
        if (bursts.empty() || ms / 1000 - bursts.back() > 100) bursts.push_back(ms / 1000);
    }
    ASSERT_EQ(bursts.size(), 3u);
    EXPECT_NEAR(bursts[1], 250, 60);
    EXPECT_NEAR(bursts[2], 750, 60);
}

TEST(discovery_Cli, FailuresAndBadArguments) {
    test::TempDir dir;
    for (const Strings& args : {Strings{"discover", "--port", "0"}, Strings{"discover", "extra"}}) {
        const auto run = test::runCli(dir.path(), args);
        EXPECT_TRUE(run.code == 2 && run.out.empty() && run.err.find("--port N") != std::string::npos) << run.err;
    }
    REQUIRE_NETNS();  // the runs below send probes
    const auto full =
        test::runCli(dir.path(), {"discover", "--port", "47923"}, {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full"});
    EXPECT_TRUE(full.code == 1 && full.err.find("could not write") != std::string::npos) << full.err;
    // A namespace of its own whose loopback is down: nothing to bind to.
    const auto run = test::runCli(dir.path(), {"discover", "--port", "47922"}, {"/usr/bin/unshare", "-n"});
    if (run.code != 1 && run.out.empty()) GTEST_SKIP() << "cannot create a nested network namespace here";
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, R"({"error":"no usable network interface","event":"discovery","state":"done","systems":[]})"
                       "\n");
    EXPECT_NE(run.logs.find("discovery: 0 probes on 0 interfaces, 0 offers (0 rejected), 0 systems"),
              std::string::npos);
}

// Every datagram counts once: an offer, a rejected one (malformed, over 2048 bytes), or both (a
// well-formed offer for another probe's nonce); duplicates merge and the receiving interface
// (127.0.0.1/8) ranks the addresses. The probes carry the site key, which one responder requires.
TEST(discovery_Run, EveryAnswerIsCountedAndMerged) {
    REQUIRE_NETNS();
    test::TempDir dir;
    const auto record = dir.path() / "rec.jsonl";
    const std::vector<Strings> kinds = {
        {"--duplicate", "--system", "id=twice,host=127.0.0.1", "--system", "id=multi,name=Multi,host=10.1.2.3",
         "--system", "id=multi,host=nodeb.local", "--system", "id=multi,host=127.0.0.9,port=9443"},
        {"--malformed", "--system", "id=next-to-malformed"},
        {"--offer-size", "2049", "--system", "id=oversized"},  // cut to 2048 bytes it would still parse
        {"--offer-size", "2048", "--system", "id=exactly-2048"},
        {"--foreign-nonce", "--system", "id=foreign"},
        {"--site-key", "discovery-net-test-key", "--system", "id=guarded,host=127.0.0.2"},
    };
    std::vector<std::unique_ptr<Responder>> responders;
    for (const auto& args : kinds) {
        responders.push_back(std::make_unique<Responder>(47902, record, args));
        ASSERT_TRUE(responders.back()->up());
    }
    const auto result = runDiscovery({47902, "", "discovery-net-test-key", ""});  // port, group, site key, client kind
    std::map<std::string, Strings> hosts;
    for (const auto& system : result.systems) {
        for (const auto& a : system.addresses) {
            hosts[system.systemId].push_back(a.host + ":" + std::to_string(a.port) + (a.onLink ? "" : " off-link"));
        }
    }
    EXPECT_EQ(hosts, (std::map<std::string, Strings>{
                         {"twice", {"127.0.0.1:8443"}},
                         {"multi", {"127.0.0.9:9443", "nodeb.local:8443", "10.1.2.3:8443 off-link"}},
                         {"next-to-malformed", {"127.0.0.1:8443"}},
                         {"exactly-2048", {"127.0.0.1:8443"}},
                         {"guarded", {"127.0.0.2:8443"}}}));
    const auto probes = probesOf(record);
    const long long foreign = sumOf(probes, "foreignOffersSent"), invalid = sumOf(probes, "invalidSent");
    EXPECT_TRUE(foreign > 0 && invalid > 0 && !result.failed);
    EXPECT_EQ(result.offers, sumOf(probes, "validOffersSent") + foreign);
    EXPECT_EQ(result.rejected, invalid + foreign);
}

}  // namespace
}  // namespace ostrel
