// The portable discovery logic and the crypto helpers: probe text, offer parsing, merge, order, names.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "net/discovery.h"

namespace ostrel {
namespace {

using nlohmann::json;

std::string b64(const std::string& bytes) {
    return base64UrlEncode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

json validOffer() {
    return json{{"op", "offer"},       {"edp", 1},           {"nonce", "n0nce"},
                {"systemId", "sys-1"}, {"host", "10.0.0.5"}, {"port", 8443}};
}

bool parse(const std::string& text, DiscoveryOffer& out) {
    return parseOffer(text.data(), text.size(), out);
}

// An accepted offer as runDiscovery stamps it: received on 10.0.0.2/24 unless told otherwise.
DiscoveryOffer accepted(const std::string& id, const std::string& host, int port, std::int64_t ms,
                        const std::string& name = "", const std::string& site = "", const std::string& hostname = "") {
    DiscoveryOffer offer;
    offer.nonce = "n";
    offer.systemId = id;
    offer.host = host;
    offer.port = port;
    offer.systemName = name;
    offer.site = site;
    offer.hostname = hostname;
    offer.ifAddress = 0x0A000002;
    offer.ifNetmask = 0xFFFFFF00;
    offer.receivedMs = ms;
    return offer;
}

TEST(discovery_Crypto, Base64UrlHmacAndNonces) {
    const std::pair<std::string, std::string> vectors[] = {{"", ""},
                                                           {"f", "Zg"},
                                                           {"fo", "Zm8"},
                                                           {"foo", "Zm9v"},
                                                           {"foob", "Zm9vYg"},
                                                           {"fooba", "Zm9vYmE"},
                                                           {"\xfb\xef\xbe", "----"},
                                                           {"\xff\xff\xff", "____"},
                                                           {std::string("\x00\x10\x83", 3), "ABCD"},
                                                           {"\xff\xfe", "__4"}};
    for (const auto& [in, out] : vectors) EXPECT_EQ(b64(in), out) << out;

    unsigned char digest[32];
    // RFC 4231 test case 6: a key longer than the block size is hashed first.
    ASSERT_TRUE(hmacSha256(std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First", digest));
    EXPECT_EQ(b64(std::string(reinterpret_cast<char*>(digest), 32)), "YOQxWR7gtn8Niiaqy_W3f44LxiE3KMUUBUYEDw7jf1Q");
    ASSERT_TRUE(hmacSha256("Jefe", "what do ya want for nothing?", digest));
    EXPECT_EQ(b64(std::string(reinterpret_cast<char*>(digest), 32)), "W9zBRr9gdU5qBCQmCJV1x1oAPwidJzmDnexYuWTsOEM");

    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i) {
        unsigned char raw[16];
        ASSERT_TRUE(randomNonce(raw));
        seen.insert(base64UrlEncode(raw, sizeof raw));
        EXPECT_EQ(seen.rbegin()->size(), 22u);
    }
    EXPECT_EQ(seen.size(), 20u);
}

TEST(discovery_Probe, IsCompactSortedAndPaddedTo256Bytes) {
    ProbeRequest request;
    request.nonce = "0123456789012345678901";
    request.clientKind = "control-native";
    request.clientOs = "linux";
    for (const std::string auth : {"", "sig-of-43-characters-xxxxxxxxxxxxxxxxxxxxx"}) {
        request.siteAuth = auth;
        const std::string text = buildProbe(request);
        const json probe = json::parse(text);
        EXPECT_EQ(text.size(), 256u);
        EXPECT_EQ(probe.dump(), text);
        EXPECT_EQ(probe["client"], (json{{"kind", "control-native"}, {"os", "linux"}, {"ver", "1"}}));
        EXPECT_EQ(probe["op"], "probe");
        EXPECT_EQ(probe["edp"], 1);
        EXPECT_EQ(probe.contains("siteAuth"), !auth.empty());
        EXPECT_EQ(probe["pad"].get<std::string>().find_first_not_of('A'), std::string::npos);
    }
    // Unpadded length -> probe length: under 247 pads to 256, 247..255 grows by 10, 256+ stays.
    request.siteAuth.clear();
    request.clientKind = "k";
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

TEST(discovery_Offer, ReadsMembersAndRejectsEachInvalidForm) {
    DiscoveryOffer offer;
    ASSERT_TRUE(parse(validOffer().dump(), offer));
    EXPECT_EQ(offer.port, 8443);
    EXPECT_EQ(offer.scheme, "https");
    EXPECT_EQ(offer.status, "ok");
    EXPECT_TRUE(offer.pinRequired);
    json full = validOffer();
    full.update(json{{"systemName", "Wall A"},
                     {"site", "North"},
                     {"hostname", "nodeA"},
                     {"status", "degraded"},
                     {"certNames", {"a", 7, "b"}},
                     {"pinRequired", false},
                     {"joinRequests", true},
                     {"unknown", {1}}});
    ASSERT_TRUE(parse(full.dump(), offer));
    EXPECT_EQ(offer.systemName + offer.site + offer.hostname + offer.status, "Wall ANorthnodeAdegraded");
    EXPECT_EQ(offer.certNames, (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(offer.pinRequired);
    EXPECT_TRUE(offer.joinRequests);
    for (const json& fine : {json{{"port", 1}}, json{{"port", 65535}}, json{{"certNames", "x"}}}) {
        json o = validOffer();
        o.update(fine);
        EXPECT_TRUE(parse(o.dump(), offer)) << fine;
    }

    const json changes[] = {{{"port", 0}},
                            {{"port", 65536}},
                            {{"port", "8443"}},
                            {{"port", 8443.0}},
                            {{"port", 18446744073709551615ull}},
                            {{"host", ""}},
                            {{"systemId", ""}},
                            {{"nonce", ""}},
                            {{"op", "probe"}},
                            {{"edp", 2}},
                            {{"edp", "1"}},
                            {{"pinRequired", "yes"}},
                            {{"joinRequests", 1}},
                            {{"systemName", nullptr}},
                            {{"sig", json::object()}}};
    for (const auto& change : changes) {
        json o = validOffer();
        o.update(change);
        EXPECT_FALSE(parse(o.dump(), offer)) << change;
    }
    for (const char* absent : {"op", "edp", "nonce", "systemId", "host", "port"}) {
        json o = validOffer();
        o.erase(absent);
        EXPECT_FALSE(parse(o.dump(), offer)) << absent;
    }
    for (const std::string text : {"", "not json", "[1,2]", "{\"op\":\"offer\"", "{} {}"}) {
        EXPECT_FALSE(parse(text, offer)) << text;
    }
    EXPECT_FALSE(parseOffer(nullptr, 10, offer));
    std::string exact = validOffer().dump();
    exact.resize(2048, ' ');
    EXPECT_TRUE(parse(exact, offer));
    EXPECT_FALSE(parse(exact + " ", offer));
    // A valid offer followed by a NUL, or holding a member nested deeper than any offer.
    EXPECT_FALSE(parse(validOffer().dump() + std::string(1, '\0') + "x", offer));
    json deep = validOffer();
    deep["extra"] = json::parse(std::string(64, '[') + std::string(64, ']'));
    EXPECT_FALSE(parse(deep.dump(), offer));
}

TEST(discovery_Address, StrictIpv4LiteralsAndTheLinkFlags) {
    std::uint32_t a = 0;
    for (const auto& [text, value] : std::vector<std::pair<const char*, std::uint32_t>>{
             {"192.168.1.20", 0xC0A80114u}, {"0.0.0.0", 0u}, {"255.255.255.255", 0xFFFFFFFFu}}) {
        ASSERT_TRUE(parseIpv4Literal(text, a)) << text;
        EXPECT_EQ(a, value);
    }
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "01.2.3.4", "1..2.3", "1.2.3.4 ", "1.2.3.x", "::1",
                            "1.2.3.", "1234.1.1.1"}) {
        EXPECT_FALSE(parseIpv4Literal(bad, a)) << bad;
    }
    // Received on 10.0.0.2/24; names are taken on trust; without a netmask nothing is off-link.
    EXPECT_TRUE(makeAddress(accepted("s", "10.0.0.77", 1, 0)).onLink);
    EXPECT_FALSE(makeAddress(accepted("s", "10.0.1.77", 1, 0)).onLink);
    EXPECT_TRUE(makeAddress(accepted("s", "node.local", 1, 0)).onLink);
    const auto lo = makeAddress(accepted("s", "127.0.0.9", 1, 0));
    EXPECT_TRUE(!lo.onLink && lo.loopback);
    auto offer = accepted("s", "172.16.0.1", 1, 0);
    offer.ifNetmask = 0;
    EXPECT_TRUE(makeAddress(offer).onLink);
    EXPECT_FALSE(makeAddress(offer).loopback);
}

TEST(discovery_Merge, OneSystemPerIdOrderedByLinkAndTime) {
    auto first = accepted("mixed", "10.9.9.9", 8443, 2, "First", "North", "nodeA");  // off-link first
    auto later = accepted("mixed", "10.0.0.8", 8443, 6, "Second", "South", "nodeB");
    later.status = "degraded";
    const auto systems = mergeOffers({
        accepted("far", "192.168.9.9", 8443, 1),
        first,
        accepted("mixed", "nodeB", 8443, 5),
        later,
        accepted("mixed", "10.0.0.8", 8443, 9),   // the same address again: dropped
        accepted("mixed", "10.0.0.8", 9443, 10),  // another port is another address
        accepted("late", "10.0.0.30", 8443, 7),
        accepted("early", "10.0.0.31", 8443, 3),
    });
    std::vector<std::string> ids;
    for (const auto& s : systems) ids.push_back(s.systemId);
    // On-link systems first, by the time of their best address; the off-link one last.
    EXPECT_EQ(ids, (std::vector<std::string>{"early", "mixed", "late", "far"}));
    const auto& mixed = systems[1];
    EXPECT_EQ(mixed.systemName + mixed.site + mixed.hostname + mixed.status, "FirstNorthnodeAok");  // the first offer's
    std::vector<std::string> hosts;
    for (const auto& address : mixed.addresses) hosts.push_back(address.host + ":" + std::to_string(address.port));
    EXPECT_EQ(hosts, (std::vector<std::string>{"nodeB:8443", "10.0.0.8:8443", "10.0.0.8:9443", "10.9.9.9:8443"}));
    EXPECT_EQ(mixed.addresses[1].firstSeenMs, 6);
    EXPECT_EQ(mergeOffers({accepted("s", "NodeA", 1, 0), accepted("s", "nodea", 1, 0)})[0].addresses.size(), 2u);
    // Equal times keep the order of arrival, for addresses and for systems.
    const auto ties = mergeOffers({accepted("t1", "10.0.0.21", 1, 4), accepted("t1", "10.0.0.22", 1, 4),
                                   accepted("t2", "10.0.0.23", 1, 4)});
    EXPECT_EQ(ties[0].systemId + " " + ties[0].addresses[0].host, "t1 10.0.0.21");

    // Loopback comes before other on-link addresses when the receiving interface is loopback.
    std::vector<DiscoveryOffer> viaLo = {accepted("lo", "10.1.2.3", 8443, 1), accepted("lo", "nodeb.local", 8443, 2),
                                         accepted("lo", "127.0.0.9", 9443, 3)};
    for (auto& offer : viaLo) offer.ifAddress = 0x7F000001, offer.ifNetmask = 0xFF000000;
    const json event = discoverySystemsJson(mergeOffers(viaLo));
    EXPECT_EQ(
        event.dump(),
        R"([{"addresses":3,"displayName":"Ostrel Ops System","host":"127.0.0.9","port":9443,"status":"ok","systemId":"lo"}])");
    DiscoveredSystem empty;
    EXPECT_TRUE(discoverySystemsJson({empty}).empty());
}

TEST(discovery_Names, DuplicateNamesGetHostAndIdHints) {
    const auto systems = mergeOffers({
        accepted("4f2c9d1e", "10.0.0.5", 8443, 1, "Wall A", "North", "nodeA"),
        accepted("a07b5511", "10.0.0.6", 8443, 2, "Wall A", "North", "nodeB"),
        accepted("c3", "10.0.0.7", 8443, 3, "Wall A", "South", "nodeC"),  // other site: no hint
        accepted("d4", "10.0.0.8", 8443, 4, "Wall A", "", "nodeD"), accepted("id-one", "10.0.0.9", 1, 5),
        accepted("id-two", "10.0.0.10", 1, 6),  // unnamed twins
    });
    std::vector<std::string> names;
    for (const auto& s : systems) names.push_back(displayName(s));
    EXPECT_EQ(names, (std::vector<std::string>{"North \u2014 Wall A (nodeA \u00b7 4f2c)",
                                               "North \u2014 Wall A (nodeB \u00b7 a07b)", "South \u2014 Wall A",
                                               "Wall A", "Ostrel Ops System (id-o)", "Ostrel Ops System (id-t)"}));
    DiscoveredSystem s;
    s.hostname = "nodeA";
    EXPECT_EQ(displayName(s), "nodeA");
    s.duplicateName = true;
    s.site = "North";
    EXPECT_EQ(displayName(s), "North \u2014 nodeA (nodeA)");
    s.hostname.clear();
    s.systemId = "a\xc3\xa9\xe2\x82\xac";  // the id hint never ends in half a character
    EXPECT_EQ(displayName(s), "North \u2014 Ostrel Ops System (a\xc3\xa9)");
}

}  // namespace
}  // namespace ostrel
