// Discovery: the portable logic (probe text, offers, merge, order, names, encoding) as tables; then, inside the
// private namespace against simulator responders, directly and through `ostrel-control-cli discover`, what only
// the network adds (bursts, counts, the receiving interface, the site key). Each network test has its own port.
#include <map>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "net/discovery.h"
#include "tests/support/test_support.h"

namespace ostrel {
namespace {

using nlohmann::json;
using namespace std::string_literals;
using Strings = std::vector<std::string>;

TEST(discovery_Text, Base64UrlAndStrictIpv4Literals) {
    const std::string in[] = {"", "f", "fo", "foo", "fooba", "\xfb\xef\xbe", "\xff\xff\xff", "\0\x10\x83"s, "\xff\xfe"};
    const char* out[] = {"", "Zg", "Zm8", "Zm9v", "Zm9vYmE", "----", "____", "ABCD", "__4"};
    for (std::size_t i = 0; i < std::size(in); ++i) {
        EXPECT_EQ(base64UrlEncode(reinterpret_cast<const unsigned char*>(in[i].data()), in[i].size()), out[i]);
    }
    std::uint32_t a = 0;
    for (const auto& [text, value] : std::vector<std::pair<const char*, std::uint32_t>>{
             {"192.168.1.20", 0xC0A80114u}, {"0.0.0.0", 0u}, {"255.255.255.255", 0xFFFFFFFFu}}) {
        EXPECT_TRUE(parseIpv4Literal(text, a) && a == value) << text;
    }
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "01.2.3.4", "1..2.3", "1.2.3.4 ", "1.2.3.x", "::1",
                            "1.2.3.", "1234.1.1.1"}) {
        EXPECT_FALSE(parseIpv4Literal(bad, a)) << bad;
    }
}

TEST(discovery_Probe, IsCompactSortedAndPaddedTo256Bytes) {
    ProbeRequest request{"0123456789012345678901", "control-native", "1", "linux", ""};
    const std::string head =
        R"({"client":{"kind":"control-native","os":"linux","ver":"1"},"edp":1,"nonce":"0123456789012345678901",)"
        R"("op":"probe","pad":")";
    for (const std::string auth : {"", "sig-of-43-characters-xxxxxxxxxxxxxxxxxxxxx"}) {
        request.siteAuth = auth;
        const std::string tail = auth.empty() ? R"("})" : R"(","siteAuth":")" + auth + R"("})";
        EXPECT_EQ(buildProbe(request), head + std::string(256 - head.size() - tail.size(), 'A') + tail);
    }
    // Unpadded length -> probe length: under 247 pads to 256, 247..255 grows by 10, 256+ stays.
    request = {"n", "k", "1", "linux", ""};
    const std::size_t base =
        buildProbe(request).size() - json::parse(buildProbe(request))["pad"].get<std::string>().size() - 9;
    for (const auto& [unpadded, expected] :
         std::vector<std::pair<std::size_t, std::size_t>>{{246, 256}, {247, 257}, {255, 265}, {256, 256}, {300, 300}}) {
        request.clientKind = "k" + std::string(unpadded - base, 'x');
        EXPECT_EQ(buildProbe(request).size(), expected) << unpadded;
    }
    request.clientKind = "bad\xff";  // never throws
    EXPECT_EQ(buildProbe(request).size(), 256u);
}

// Offers as texts, or as a valid offer patched with a change (a null takes a member out).
std::string patched(const std::string& change) {
    json offer = {{"op", "offer"}, {"edp", 1}, {"nonce", "n"}, {"systemId", "s"}, {"host", "h"}, {"port", 8443}};
    offer.merge_patch(json::parse(change));
    return offer.dump();
}

TEST(discovery_Offer, ReadsMembersAndRejectsEachInvalidForm) {
    const auto read = [](const std::string& text) {
        DiscoveryOffer o;
        if (!parseOffer(text.data(), text.size(), o)) return "-"s;
        std::string line = o.nonce + " " + o.systemId + " " + o.host + ":" + std::to_string(o.port) + " " + o.scheme +
                           " " + o.status + " '" + o.systemName + "' " + o.site + " " + o.hostname + " [";
        for (const auto& name : o.certNames) line += name + ";";
        return line + "]" + (o.pinRequired ? " pin" : "") + (o.joinRequests ? " join" : "");
    };
    const std::string valid = patched("{}"), exact = valid + std::string(2048 - valid.size(), ' ');
    for (const std::string& text : {valid, exact, patched(R"({"certNames":"x"})")}) {
        EXPECT_EQ(read(text), "n s h:8443 https ok ''   [] pin");
    }
    for (const std::string port : {"1", "65535"}) {
        EXPECT_EQ(read(patched(R"({"port":)" + port + "}")), "n s h:" + port + " https ok ''   [] pin");
    }
    EXPECT_EQ(read(patched(R"({"systemName":"Wall A","site":"North","hostname":"nodeA","status":"degraded",
                  "certNames":["a",7,"b"],"pinRequired":false,"joinRequests":true,"unknown":[1]})")),
              "n s h:8443 https degraded 'Wall A' North nodeA [a;b;] join");
    // Not an object, cut short, a NUL after a valid offer, over 2048 bytes; then each wrong member, nesting
    // deeper than any offer and each required member taken out.
    Strings invalid = {"", "not json", "[1,2]", R"({"op":"offer")", "{} {}", valid + "\0"s + "x", exact + " "};
    for (const std::string& change :
         Strings{R"({"port":0})", R"({"port":65536})", R"({"port":"8443"})", R"({"port":8443.0})",
                 R"({"port":18446744073709551615})", R"({"host":""})", R"({"systemId":""})", R"({"nonce":""})",
                 R"({"op":"probe"})", R"({"edp":2})", R"({"edp":"1"})", R"({"pinRequired":"yes"})",
                 R"({"joinRequests":1})", R"({"systemName":5})", R"({"sig":{}})",
                 R"({"extra":)" + std::string(64, '[') + std::string(64, ']') + "}"}) {
        invalid.push_back(patched(change));
    }
    for (const char* member : {"op", "edp", "nonce", "systemId", "host", "port"}) {
        invalid.push_back(patched(json{{member, nullptr}}.dump()));
    }
    for (const auto& text : invalid) EXPECT_EQ(read(text), "-") << text;
    DiscoveryOffer o;
    EXPECT_FALSE(parseOffer(nullptr, 10, o));
}

// An accepted offer as runDiscovery stamps it: received `ms` after the start on 10.0.0.2/24.
DiscoveryOffer accepted(const std::string& id, const std::string& host, int port, std::int64_t ms,
                        const std::string& name = "", const std::string& site = "", const std::string& hostname = "") {
    DiscoveryOffer o;
    o.nonce = "n";
    o.systemId = id, o.host = host, o.port = port, o.receivedMs = ms;
    o.systemName = name, o.site = site, o.hostname = hostname;
    o.ifAddress = 0x0A000002, o.ifNetmask = 0xFFFFFF00;
    return o;
}

// Systems in order, one line each: id, display name, status, then every address in order ("off":
// off-link, "lo": loopback) with the time it was first seen.
Strings render(const std::vector<DiscoveredSystem>& systems) {
    Strings out;
    for (const auto& s : systems) {
        std::string line = s.systemId + " " + displayName(s) + " " + s.status + ":";
        for (const auto& a : s.addresses) {
            line += " " + a.host + ":" + std::to_string(a.port) + (a.onLink ? "" : " off") + (a.loopback ? " lo" : "") +
                    " @" + std::to_string(a.firstSeenMs);
        }
        out.push_back(line);
    }
    return out;
}

// One system per id; on-link systems first, by the time of their best address; the off-link one last.
TEST(discovery_Merge, OneSystemPerIdOrderedByLinkAndTimeWithNameHints) {
    auto later = accepted("mixed", "10.0.0.8", 8443, 6, "Second", "South", "nodeB");
    later.status = "degraded";
    auto noMask = accepted("no-mask", "172.16.0.1", 1, 13, "NoMask");  // without a netmask nothing is off-link
    noMask.ifNetmask = 0;
    const auto systems = mergeOffers({
        accepted("far", "192.168.9.9", 8443, 1, "Far"),
        accepted("mixed", "10.9.9.9", 8443, 2, "First", "North", "nodeA"),  // the first offer names the system
        accepted("mixed", "nodeB", 8443, 5),                                // names are taken on trust
        later, accepted("mixed", "10.0.0.8", 8443, 9),                      // the same address again: dropped
        accepted("mixed", "10.0.0.8", 9443, 10),                            // another port is another address
        accepted("mixed", "127.0.0.9", 8443, 11), accepted("late", "10.0.0.30", 8443, 7, "Late"),
        accepted("early", "10.0.0.31", 8443, 3, "Early"),
        accepted("t1", "10.0.0.21", 1, 4, "T1"),  // equal times keep the order of arrival
        accepted("t1", "10.0.0.22", 1, 4), accepted("t2", "10.0.0.23", 1, 4, "T2"), noMask,
        // Names shared within a site get the host name and the id's first four bytes as hints.
        accepted("4f2c9d1e", "10.0.0.5", 1, 21, "Wall A", "North", "nodeA"),
        accepted("a07b5511", "10.0.0.6", 1, 22, "Wall A", "North", "nodeB"),
        accepted("c3", "10.0.0.7", 1, 23, "Wall A", "South", "nodeC"),

        accepted("h", "10.0.0.11", 1, 27, "", "West", "nodeH"), accepted("e1", "10.0.0.12", 1, 28, "", "East", "nodeE"),
        accepted("a\xc3\xa9\xe2\x82\xac", "10.0.0.13", 1, 29, "", "East"),  // never half a character
    });
    EXPECT_EQ(
        render(systems),
        (Strings{
            "early Early ok: 10.0.0.31:8443 @3", "t1 T1 ok: 10.0.0.21:1 @4 10.0.0.22:1 @4", "t2 T2 ok: 10.0.0.23:1 @4",
            "mixed North \u2014 First ok: nodeB:8443 @5 10.0.0.8:8443 @6 10.0.0.8:9443 @10 127.0.0.9:8443 "
            "off lo @11 10.9.9.9:8443 off @2",
            "late Late ok: 10.0.0.30:8443 @7", "no-mask NoMask ok: 172.16.0.1:1 @13",
            "4f2c9d1e North \u2014 Wall A (nodeA \u00b7 4f2c) ok: 10.0.0.5:1 @21",
            "a07b5511 North \u2014 Wall A (nodeB \u00b7 a07b) ok: 10.0.0.6:1 @22",
            "c3 South \u2014 Wall A ok: 10.0.0.7:1 @23",

            "h West \u2014 nodeH ok: 10.0.0.11:1 @27", "e1 East \u2014 nodeE (nodeE \u00b7 e1) ok: 10.0.0.12:1 @28",
            "a\xc3\xa9\xe2\x82\xac East \u2014 Ostrel Ops System (a\xc3\xa9) ok: 10.0.0.13:1 @29",
            "far Far ok: 192.168.9.9:8443 off @1"}));
    EXPECT_TRUE(discoverySystemsJson({DiscoveredSystem{}}).empty());
}

// Discovery sends broadcasts: only inside the private namespace of ./scripts/test-env.
#define REQUIRE_NETNS() \
    if (!test::inPrivateNetns()) GTEST_SKIP() << "discovery broadcasts run only inside ./scripts/test-env"

// Simulator discovery responders on one port, recording every probe they receive to one file.
struct Responders {
    // The responder's ready line (null when it did not start).
    json start(int port, Strings args) {
        args.insert(args.begin(), {test::programPath("OSTREL_SIM"), "discovery", "--port", std::to_string(port),
                                   "--record", (dir.path() / "rec.jsonl").string()});
        children.push_back(std::make_unique<test::ChildProcess>(args));
        const json ready =
            json::parse(children.back()->readLine(std::chrono::seconds(20)).value_or(""), nullptr, false);
        return ready.is_object() && ready.value("discoveryPort", 0) > 0 ? ready : json();
    }
    // The probes received so far and the sum of one count over them.
    std::vector<json> probes() const {
        std::vector<json> out;
        for (const auto& line : test::readLines(dir.path() / "rec.jsonl")) {
            auto value = json::parse(line, nullptr, false);
            if (value.is_object() && value.value("event", "") == "probe") out.push_back(std::move(value));
        }
        return out;
    }
    long long sum(const char* field) const {
        long long total = 0;
        for (const auto& p : probes()) total += p.value(field, 0LL);
        return total;
    }

    test::TempDir dir;
    std::vector<std::unique_ptr<test::ChildProcess>> children;
};

TEST(discovery_Cli, ThreeBurstsAt0And250And750MsThenOneEventLineOrFailure) {
    REQUIRE_NETNS();
    Responders responders;
    const json ready =
        responders.start(47901, {"--system", "id=4f2c0001,name=Wall A,site=North,host=127.0.0.1,port=8443"});
    ASSERT_FALSE(ready.is_null());
    const auto discover = [&](const Strings& args, const Strings& prefix = {}) {
        return test::runCli(responders.dir.path(), args, prefix);
    };
    const auto run = discover({"discover", "--port", "47901"});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, R"({"error":"","event":"discovery","state":"done","systems":[{"addresses":1,"displayName":)"
                       "\"North \u2014 Wall A\""
                       R"(,"host":"127.0.0.1","port":8443,"status":"ok","systemId":"4f2c0001"}]})"
                       "\n");
    // Inside the namespace only loopback is up: group, 127.255.255.255 and 255.255.255.255, three times.
    const auto probes = responders.probes();
    const std::string line = "discovery: 9 probes on 1 interfaces, " +
                             std::to_string(responders.sum("validOffersSent")) + " offers (0 rejected), 1 systems";
    EXPECT_NE(run.logs.find(line), std::string::npos) << run.logs;
    EXPECT_TRUE(!ready.value("joined", false) || probes.size() == 9u) << probes.size();
    ASSERT_GE(probes.size(), 3u);
    const std::string nonce = probes[0]["nonce"];
    EXPECT_EQ(probes[0]["text"], buildProbe({nonce, "control-native", "1", "linux", ""}));
    EXPECT_EQ(nonce.size(), 22u);
    std::vector<double> bursts;  // ms after the first datagram at which each burst began
    for (const auto& p : probes) {
        EXPECT_EQ(p["text"], probes[0]["text"]) << "all bursts of one run carry one nonce";
        const double ms = (p["receivedUs"].get<double>() - probes[0]["receivedUs"].get<double>()) / 1000;
        if (bursts.empty() || ms - bursts.back() > 100) bursts.push_back(ms);
    }
    ASSERT_EQ(bursts.size(), 3u);
    EXPECT_NEAR(bursts[1], 250, 60);
    EXPECT_NEAR(bursts[2], 750, 60);

    const auto bad = discover({"discover", "--port", "47901", "extra"});
    EXPECT_TRUE(bad.code == 2 && bad.out.empty() && bad.err.find("--port N") != std::string::npos) << bad.err;
    const auto full = discover({"discover", "--port", "47923"}, {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full"});
    EXPECT_TRUE(full.code == 1 && full.err.find("could not write") != std::string::npos) << full.err;
    // A namespace of its own whose loopback is down: nothing to bind to.
    const auto none = discover({"discover", "--port", "47922"}, {"/usr/bin/unshare", "-n"});
    if (none.code != 1 && none.out.empty()) GTEST_SKIP() << "cannot create a nested network namespace here";
    EXPECT_EQ(none.code, 1);
    EXPECT_EQ(none.out, R"({"error":"no usable network interface","event":"discovery","state":"done","systems":[]})"
                        "\n");
}

// Every datagram counts once: an offer, a rejected one (malformed, over 2048 bytes), or both (a
// well-formed offer for another probe's nonce); duplicates merge and the receiving interface
// (127.0.0.1/8) ranks the addresses. The probes carry the site key, which one responder requires.
TEST(discovery_Run, EveryAnswerIsCountedAndMerged) {
    REQUIRE_NETNS();
    Responders responders;
    for (const Strings& args : std::vector<Strings>{
             {"--duplicate", "--system", "id=twice,host=127.0.0.1", "--system", "id=multi,name=Multi,host=10.1.2.3",
              "--system", "id=multi,host=nodeb.local", "--system", "id=multi,host=127.0.0.9,port=9443"},
             {"--malformed", "--system", "id=next-to-malformed"},
             {"--offer-size", "2049", "--system", "id=oversized"},  // cut to 2048 bytes it would still parse
             {"--offer-size", "2048", "--system", "id=exactly-2048"},
             {"--foreign-nonce", "--system", "id=foreign"},
             {"--site-key", "discovery-net-test-key", "--system", "id=guarded,host=127.0.0.2"}}) {
        ASSERT_FALSE(responders.start(47902, args).is_null()) << args[0];
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
    const long long foreign = responders.sum("foreignOffersSent"), invalid = responders.sum("invalidSent");
    EXPECT_TRUE(foreign > 0 && invalid > 0 && !result.failed);
    EXPECT_EQ(result.offers, responders.sum("validOffersSent") + foreign);
    EXPECT_EQ(result.rejected, invalid + foreign);
}

}  // namespace
}  // namespace ostrel
