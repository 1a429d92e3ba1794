// The portable discovery logic and the crypto helpers: probe text, offer parsing, merge, order, names.
#include <gtest/gtest.h>

#include <set>

#include <nlohmann/json.hpp>

#include "net/discovery.h"

namespace ostrel {
namespace {

using nlohmann::json;
using Strings = std::vector<std::string>;

std::string b64(const std::string& bytes) {
    return base64UrlEncode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

bool parse(const std::string& text, DiscoveryOffer& out) {
    return parseOffer(text.data(), text.size(), out);
}
// A valid offer with the members of `change` (JSON text) put in.
std::string offerWith(const std::string& change = "{}") {
    json offer = {{"op", "offer"},       {"edp", 1},           {"nonce", "n0nce"},
                  {"systemId", "sys-1"}, {"host", "10.0.0.5"}, {"port", 8443}};
    offer.update(json::parse(change));
    return offer.dump();
}

// An accepted offer as runDiscovery stamps it: received on 10.0.0.2/24.
DiscoveryOffer accepted(const std::string& id, const std::string& host, int port, std::int64_t ms,
                        const std::string& name = "", const std::string& site = "", const std::string& hostname = "") {
    DiscoveryOffer o;
    o.nonce = "n";
    o.systemId = id, o.host = host, o.port = port, o.receivedMs = ms;
    o.systemName = name, o.site = site, o.hostname = hostname;
    o.ifAddress = 0x0A000002, o.ifNetmask = 0xFFFFFF00;
    return o;
}

TEST(discovery_Crypto, Base64UrlHmacAndNonces) {
    const std::string in[] = {
        "",        "f", "fo", "foo", "foob", "fooba", "\xfb\xef\xbe", "\xff\xff\xff", std::string("\x00\x10\x83", 3),
        "\xff\xfe"};
    const char* out[] = {"", "Zg", "Zm8", "Zm9v", "Zm9vYg", "Zm9vYmE", "----", "____", "ABCD", "__4"};
    for (std::size_t i = 0; i < std::size(in); ++i) EXPECT_EQ(b64(in[i]), out[i]) << out[i];

    unsigned char digest[32];
    // RFC 4231 test case 6: a key longer than the block size is hashed first.
    ASSERT_TRUE(hmacSha256(std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First", digest));
    EXPECT_EQ(base64UrlEncode(digest, 32), "YOQxWR7gtn8Niiaqy_W3f44LxiE3KMUUBUYEDw7jf1Q");
    ASSERT_TRUE(hmacSha256("Jefe", "what do ya want for nothing?", digest));
    EXPECT_EQ(base64UrlEncode(digest, 32), "W9zBRr9gdU5qBCQmCJV1x1oAPwidJzmDnexYuWTsOEM");

    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i) {
        unsigned char raw[16];
        ASSERT_TRUE(randomNonce(raw));
        EXPECT_EQ(seen.insert(base64UrlEncode(raw, sizeof raw)).first->size(), 22u);
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
        EXPECT_TRUE(probe["op"] == "probe" && probe["edp"] == 1);
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
    ASSERT_TRUE(parse(offerWith(), offer));
    EXPECT_TRUE(offer.port == 8443 && offer.scheme == "https" && offer.status == "ok" && offer.pinRequired);
    ASSERT_TRUE(parse(offerWith(R"({"systemName": "Wall A", "site": "North", "hostname": "nodeA", "status": "degraded",
        "certNames": ["a", 7, "b"], "pinRequired": false, "joinRequests": true, "unknown": [1]})"),
                      offer));
    EXPECT_EQ(offer.systemName + offer.site + offer.hostname + offer.status, "Wall ANorthnodeAdegraded");
    EXPECT_EQ(offer.certNames, (Strings{"a", "b"}));
    EXPECT_TRUE(!offer.pinRequired && offer.joinRequests);
    for (const char* fine : {R"({"port": 1})", R"({"port": 65535})", R"({"certNames": "x"})"}) {
        EXPECT_TRUE(parse(offerWith(fine), offer)) << fine;
    }
    for (const char* change :
         {R"({"port": 0})", R"({"port": 65536})", R"({"port": "8443"})", R"({"port": 8443.0})",
          R"({"port": 18446744073709551615})", R"({"host": ""})", R"({"systemId": ""})", R"({"nonce": ""})",
          R"({"op": "probe"})", R"({"edp": 2})", R"({"edp": "1"})", R"({"pinRequired": "yes"})",
          R"({"joinRequests": 1})", R"({"systemName": null})", R"({"sig": {}})"}) {
        EXPECT_FALSE(parse(offerWith(change), offer)) << change;
    }
    for (const char* absent : {"op", "edp", "nonce", "systemId", "host", "port"}) {
        json o = json::parse(offerWith());
        o.erase(absent);
        EXPECT_FALSE(parse(o.dump(), offer)) << absent;
    }
    // Not an object, cut short, a NUL after a valid offer, nested deeper than any offer, over 2048 bytes.
    for (const std::string text : {"", "not json", "[1,2]", "{\"op\":\"offer\"", "{} {}"})
        EXPECT_FALSE(parse(text, offer));
    EXPECT_FALSE(parseOffer(nullptr, 10, offer));
    EXPECT_FALSE(parse(offerWith() + std::string(1, '\0') + "x", offer));
    EXPECT_FALSE(parse(offerWith(R"({"extra": )" + std::string(64, '[') + std::string(64, ']') + "}"), offer));
    std::string exact = offerWith();
    exact.resize(2048, ' ');
    EXPECT_TRUE(parse(exact, offer));
    EXPECT_FALSE(parse(exact + " ", offer));
}

TEST(discovery_Address, StrictIpv4LiteralsAndTheLinkFlags) {
    std::uint32_t a = 0;
    for (const auto& [text, value] : std::vector<std::pair<const char*, std::uint32_t>>{
             {"192.168.1.20", 0xC0A80114u}, {"0.0.0.0", 0u}, {"255.255.255.255", 0xFFFFFFFFu}}) {
        EXPECT_TRUE(parseIpv4Literal(text, a) && a == value) << text;
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
    EXPECT_TRUE(makeAddress(offer).onLink && !makeAddress(offer).loopback);
}

Strings hostsOf(const DiscoveredSystem& system) {
    Strings out;
    for (const auto& address : system.addresses) out.push_back(address.host + ":" + std::to_string(address.port));
    return out;
}

TEST(discovery_Merge, OneSystemPerIdOrderedByLinkAndTime) {
    auto later = accepted("mixed", "10.0.0.8", 8443, 6, "Second", "South", "nodeB");
    later.status = "degraded";
    const auto systems = mergeOffers({
        accepted("far", "192.168.9.9", 8443, 1),
        accepted("mixed", "10.9.9.9", 8443, 2, "First", "North", "nodeA"),
        accepted("mixed", "nodeB", 8443, 5),
        later,
        accepted("mixed", "10.0.0.8", 8443, 9),   // the same address again: dropped
        accepted("mixed", "10.0.0.8", 9443, 10),  // another port is another address
        accepted("late", "10.0.0.30", 8443, 7),
        accepted("early", "10.0.0.31", 8443, 3),
    });
    // On-link systems first, by the time of their best address; the off-link one last.
    Strings ids;
    for (const auto& s : systems) ids.push_back(s.systemId);
    EXPECT_EQ(ids, (Strings{"early", "mixed", "late", "far"}));
    const auto& mixed = systems[1];
    EXPECT_EQ(mixed.systemName + mixed.site + mixed.hostname + mixed.status, "FirstNorthnodeAok");  // the first offer's
    EXPECT_EQ(hostsOf(mixed), (Strings{"nodeB:8443", "10.0.0.8:8443", "10.0.0.8:9443", "10.9.9.9:8443"}));
    EXPECT_EQ(mixed.addresses[1].firstSeenMs, 6);
    EXPECT_EQ(mergeOffers({accepted("s", "NodeA", 1, 0), accepted("s", "nodea", 1, 0)})[0].addresses.size(), 2u);
    // Equal times keep the order of arrival, for addresses and for systems.
    const auto ties = mergeOffers(
        {accepted("t1", "10.0.0.21", 1, 4), accepted("t1", "10.0.0.22", 1, 4), accepted("t2", "10.0.0.23", 1, 4)});
    EXPECT_EQ(ties[0].systemId + " " + ties[0].addresses[0].host, "t1 10.0.0.21");

    // Loopback comes before other on-link addresses when the receiving interface is loopback.
    std::vector<DiscoveryOffer> viaLo = {accepted("lo", "10.1.2.3", 8443, 1), accepted("lo", "nodeb.local", 8443, 2),
                                         accepted("lo", "127.0.0.9", 9443, 3)};
    for (auto& offer : viaLo) offer.ifAddress = 0x7F000001, offer.ifNetmask = 0xFF000000;
    EXPECT_EQ(
        discoverySystemsJson(mergeOffers(viaLo)).dump(),
        R"([{"addresses":3,"displayName":"Ostrel Ops System","host":"127.0.0.9","port":9443,"status":"ok","systemId":"lo"}])");
    EXPECT_TRUE(discoverySystemsJson({DiscoveredSystem{}}).empty());
}

TEST(discovery_Names, DuplicateNamesGetHostAndIdHints) {
    const auto systems = mergeOffers({
        accepted("4f2c9d1e", "10.0.0.5", 8443, 1, "Wall A", "North", "nodeA"),
        accepted("a07b5511", "10.0.0.6", 8443, 2, "Wall A", "North", "nodeB"),
        accepted("c3", "10.0.0.7", 8443, 3, "Wall A", "South", "nodeC"),  // other site: no hint
        accepted("d4", "10.0.0.8", 8443, 4, "Wall A", "", "nodeD"), accepted("id-one", "10.0.0.9", 1, 5),
        accepted("id-two", "10.0.0.10", 1, 6),  // unnamed twins
    });
    Strings names;
    for (const auto& s : systems) names.push_back(displayName(s));
    EXPECT_EQ(names,
              (Strings{"North \u2014 Wall A (nodeA \u00b7 4f2c)", "North \u2014 Wall A (nodeB \u00b7 a07b)",
                       "South \u2014 Wall A", "Wall A", "Ostrel Ops System (id-o)", "Ostrel Ops System (id-t)"}));
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
