// The portable discovery logic and the crypto helpers: probe text, offer parsing, merge, order, names.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "net/discovery.h"

namespace {

using nlohmann::json;
using ostrel::DiscoveredSystem;
using ostrel::DiscoveryOffer;

constexpr const char* kUrlAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string b64(const std::string& bytes) {
    return ostrel::base64UrlEncode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string hex(const unsigned char* bytes, std::size_t length) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        out.push_back(kHex[bytes[i] >> 4]);
        out.push_back(kHex[bytes[i] & 15]);
    }
    return out;
}

json validOffer() {
    return json{{"op", "offer"},   {"edp", 1},     {"nonce", "n0nce"}, {"systemId", "sys-1"},
                {"host", "10.0.0.5"}, {"port", 8443}};
}

bool parse(const std::string& text, DiscoveryOffer& out) {
    return ostrel::parseOffer(text.data(), text.size(), out);
}

bool parse(const json& offer) {
    DiscoveryOffer out;
    return parse(offer.dump(), out);
}

ostrel::ProbeRequest controllerProbe(bool withAuth) {
    ostrel::ProbeRequest request;
    unsigned char raw[16];
    EXPECT_TRUE(ostrel::randomNonce(raw));
    request.nonce = ostrel::base64UrlEncode(raw, sizeof raw);
    request.clientKind = "control-native";
    request.clientOs = ostrel::discoveryClientOs();
    if (withAuth) {
        unsigned char digest[32];
        EXPECT_TRUE(ostrel::hmacSha256("site key", request.nonce, digest));
        request.siteAuth = ostrel::base64UrlEncode(digest, sizeof digest);
    }
    return request;
}

// An accepted offer as runDiscovery stamps it: received on 10.0.0.2/24 unless told otherwise.
DiscoveryOffer accepted(const std::string& id, const std::string& host, int port, std::int64_t ms,
                        const std::string& name = "", const std::string& site = "",
                        const std::string& hostname = "") {
    DiscoveryOffer offer;
    offer.edp = 1;
    offer.nonce = "n";
    offer.systemId = id;
    offer.host = host;
    offer.port = port;
    offer.systemName = name;
    offer.site = site;
    offer.hostname = hostname;
    offer.ifAddress = 0x0A000002;  // 10.0.0.2
    offer.ifNetmask = 0xFFFFFF00;
    offer.receivedMs = ms;
    return offer;
}

TEST(discovery_Encoding, Base64UrlMatchesTheRfcVectorsWithoutPadding) {
    const std::vector<std::pair<std::string, std::string>> vectors = {
        {"", ""},         {"f", "Zg"},         {"fo", "Zm8"},          {"foo", "Zm9v"},
        {"foob", "Zm9vYg"}, {"fooba", "Zm9vYmE"}, {"foobar", "Zm9vYmFy"}};
    for (const auto& [in, out] : vectors) EXPECT_EQ(b64(in), out) << in;
    // The two characters where the URL alphabet differs from the standard one.
    EXPECT_EQ(b64("\xfb\xef\xbe"), "----");
    EXPECT_EQ(b64("\xff\xff\xff"), "____");
    EXPECT_EQ(b64(std::string("\x00\x10\x83", 3)), "ABCD");
    EXPECT_EQ(b64("\xff"), "_w");
    EXPECT_EQ(b64("\xff\xfe"), "__4");
}

TEST(discovery_Crypto, HmacSha256MatchesRfc4231) {
    unsigned char digest[32];
    // Test case 2 (a text key) and test case 1 (a binary key).
    ASSERT_TRUE(ostrel::hmacSha256("Jefe", "what do ya want for nothing?", digest));
    EXPECT_EQ(hex(digest, 32), "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    ASSERT_TRUE(ostrel::hmacSha256(std::string(20, '\x0b'), "Hi There", digest));
    EXPECT_EQ(hex(digest, 32), "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    // Test case 6: a key longer than the block size is hashed first.
    ASSERT_TRUE(ostrel::hmacSha256(std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
                                   digest));
    EXPECT_EQ(hex(digest, 32), "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
}

TEST(discovery_Crypto, NoncesAre22UrlSafeCharactersAndDiffer) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        unsigned char raw[16];
        ASSERT_TRUE(ostrel::randomNonce(raw));
        const std::string nonce = ostrel::base64UrlEncode(raw, sizeof raw);
        ASSERT_EQ(nonce.size(), 22u);
        EXPECT_EQ(nonce.find_first_not_of(kUrlAlphabet), std::string::npos) << nonce;
        seen.insert(nonce);
    }
    EXPECT_EQ(seen.size(), 50u);
}

TEST(discovery_Probe, Is256BytesWithAndWithoutSiteAuth) {
    for (const bool withAuth : {false, true}) {
        const auto request = controllerProbe(withAuth);
        const std::string text = ostrel::buildProbe(request);
        EXPECT_EQ(text.size(), 256u) << text;
        const json probe = json::parse(text, nullptr, false);
        ASSERT_TRUE(probe.is_object()) << text;
        // Compact, keys in byte order: the text is exactly what the library writes back.
        EXPECT_EQ(probe.dump(), text);
        EXPECT_EQ(probe["edp"], 1);
        EXPECT_EQ(probe["op"], "probe");
        EXPECT_EQ(probe["nonce"], request.nonce);
        EXPECT_EQ(probe["client"], (json{{"kind", "control-native"}, {"os", "linux"}, {"ver", "1"}}));
        EXPECT_EQ(probe.contains("siteAuth"), withAuth);
        if (withAuth) {
            EXPECT_EQ(probe["siteAuth"].get<std::string>().size(), 43u);
        }
        const std::string pad = probe["pad"].get<std::string>();
        EXPECT_EQ(pad.find_first_not_of('A'), std::string::npos);
    }
}

TEST(discovery_Probe, PaddingRuleAroundTheBoundary) {
    ostrel::ProbeRequest request;
    request.nonce = "0123456789012345678901";
    request.clientOs = "linux";
    request.clientKind = "k";
    const std::size_t base = [&] {
        json unpadded = {{"edp", 1}, {"op", "probe"}, {"nonce", request.nonce},
                         {"client", {{"kind", "k"}, {"ver", "1"}, {"os", "linux"}}}};
        return unpadded.dump().size();
    }();
    // Unpadded length -> probe length: under 247 pads to 256, 247..255 grows by 10, 256+ stays.
    const std::vector<std::pair<std::size_t, std::size_t>> cases = {
        {246, 256}, {247, 257}, {250, 260}, {255, 265}, {256, 256}, {300, 300}};
    for (const auto& [unpadded, expected] : cases) {
        request.clientKind = "k" + std::string(unpadded - base, 'x');
        const std::string text = ostrel::buildProbe(request);
        EXPECT_EQ(text.size(), expected) << "unpadded " << unpadded;
        EXPECT_EQ(json::parse(text).contains("pad"), unpadded < 256) << "unpadded " << unpadded;
    }
}

TEST(discovery_Probe, AnInvalidUtf8ClientKindDoesNotThrow) {
    ostrel::ProbeRequest request;
    request.nonce = "0123456789012345678901";
    request.clientKind = "bad\xff";
    request.clientOs = "linux";
    std::string text;
    EXPECT_NO_THROW(text = ostrel::buildProbe(request));
    EXPECT_EQ(text.size(), 256u);
}

TEST(discovery_Offer, ReadsEveryMemberAndTheDefaults) {
    DiscoveryOffer offer;
    ASSERT_TRUE(parse(validOffer().dump(), offer));
    EXPECT_EQ(offer.edp, 1);
    EXPECT_EQ(offer.port, 8443);
    EXPECT_EQ(offer.scheme, "https");
    EXPECT_EQ(offer.status, "ok");
    EXPECT_TRUE(offer.pinRequired);
    EXPECT_FALSE(offer.joinRequests);
    EXPECT_TRUE(offer.certNames.empty());

    json full = validOffer();
    full.update(json{{"systemName", "Wall A"}, {"site", "North"}, {"hostname", "nodeA"}, {"scheme", "http"},
                     {"publicUrl", "https://x/"}, {"certSha256", "ab"}, {"certNames", {"a", 7, "b", nullptr}},
                     {"status", "degraded"}, {"pinRequired", false}, {"joinRequests", true}, {"version", "9"},
                     {"keyId", "k1"}, {"sig", "s"}, {"unknownMember", {1, 2}}});
    ASSERT_TRUE(parse(full.dump(), offer));
    EXPECT_EQ(offer.systemName, "Wall A");
    EXPECT_EQ(offer.site, "North");
    EXPECT_EQ(offer.hostname, "nodeA");
    EXPECT_EQ(offer.scheme, "http");
    EXPECT_EQ(offer.status, "degraded");
    EXPECT_FALSE(offer.pinRequired);
    EXPECT_TRUE(offer.joinRequests);
    EXPECT_EQ(offer.certNames, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(offer.sig, "s");
}

TEST(discovery_Offer, RejectsEachInvalidForm) {
    const std::vector<std::pair<const char*, json>> changes = {
        {"port 0", {{"port", 0}}},
        {"port 65536", {{"port", 65536}}},
        {"port -1", {{"port", -1}}},
        {"port string", {{"port", "8443"}}},
        {"port float", {{"port", 8443.0}}},
        {"port beyond 64 bits", {{"port", 18446744073709551615ull}}},
        {"empty host", {{"host", ""}}},
        {"empty systemId", {{"systemId", ""}}},
        {"empty nonce", {{"nonce", ""}}},
        {"op answer", {{"op", "answer"}}},
        {"op probe", {{"op", "probe"}}},
        {"edp 2", {{"edp", 2}}},
        {"edp string", {{"edp", "1"}}},
        {"edp float", {{"edp", 1.0}}},
        {"pinRequired string", {{"pinRequired", "yes"}}},
        {"joinRequests number", {{"joinRequests", 1}}},
        {"systemName null", {{"systemName", nullptr}}},
        {"status number", {{"status", 3}}},
        {"sig object", {{"sig", json::object()}}},
        {"host array", {{"host", {"10.0.0.5"}}}},
    };
    for (const auto& [what, change] : changes) {
        json offer = validOffer();
        offer.update(change);
        EXPECT_FALSE(parse(offer)) << what;
    }
    for (const char* absent : {"op", "edp", "nonce", "systemId", "host", "port"}) {
        json offer = validOffer();
        offer.erase(absent);
        EXPECT_FALSE(parse(offer)) << "without " << absent;
    }
    DiscoveryOffer out;
    for (const std::string text : {"", "not json", "[1,2]", "\"offer\"", "{\"op\":\"offer\"", "{} {}"}) {
        EXPECT_FALSE(parse(text, out)) << text;
    }
    // A valid offer followed by a NUL, or holding a member nested deeper than any offer.
    const std::string valid = validOffer().dump();
    EXPECT_FALSE(parse(valid + std::string(1, '\0') + "x", out));
    json deep = validOffer();
    deep["extra"] = json::parse(std::string(64, '[') + std::string(64, ']'));
    EXPECT_FALSE(parse(deep.dump(), out));
    EXPECT_FALSE(ostrel::parseOffer(nullptr, 10, out));
}

TEST(discovery_Offer, PortLimitsAndIgnoredCertNames) {
    for (const int port : {1, 65535}) {
        json offer = validOffer();
        offer["port"] = port;
        DiscoveryOffer out;
        ASSERT_TRUE(parse(offer.dump(), out)) << port;
        EXPECT_EQ(out.port, port);
    }
    json offer = validOffer();
    offer["certNames"] = "x";
    EXPECT_TRUE(parse(offer));
    offer["certNames"] = json::object();
    EXPECT_TRUE(parse(offer));
}

TEST(discovery_Offer, SizeLimitIs2048Bytes) {
    const std::string body = validOffer().dump();
    DiscoveryOffer out;
    std::string text = body + std::string(2048 - body.size(), ' ');
    ASSERT_EQ(text.size(), 2048u);
    EXPECT_TRUE(parse(text, out));
    text.push_back(' ');
    EXPECT_FALSE(parse(text, out));
}

TEST(discovery_Address, Ipv4LiteralsAreStrictDottedDecimal) {
    std::uint32_t a = 0;
    ASSERT_TRUE(ostrel::parseIpv4Literal("192.168.1.20", a));
    EXPECT_EQ(a, 0xC0A80114u);
    ASSERT_TRUE(ostrel::parseIpv4Literal("0.0.0.0", a));
    EXPECT_EQ(a, 0u);
    ASSERT_TRUE(ostrel::parseIpv4Literal("255.255.255.255", a));
    EXPECT_EQ(a, 0xFFFFFFFFu);
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "01.2.3.4", "1..2.3", "1.2.3.4 ", " 1.2.3.4",
                            "1.2.3.x", "nodeA", "::1", "1.2.3.", "1234.1.1.1", "-1.2.3.4"}) {
        EXPECT_FALSE(ostrel::parseIpv4Literal(bad, a)) << bad;
    }
}

TEST(discovery_Address, OnLinkAndLoopbackFlags) {
    // Received on 10.0.0.2/24.
    EXPECT_TRUE(ostrel::makeAddress(accepted("s", "10.0.0.77", 1, 0)).onLink);
    EXPECT_FALSE(ostrel::makeAddress(accepted("s", "10.0.1.77", 1, 0)).onLink);
    EXPECT_TRUE(ostrel::makeAddress(accepted("s", "node.local", 1, 0)).onLink);  // names are taken on trust
    auto lo = ostrel::makeAddress(accepted("s", "127.0.0.9", 1, 0));
    EXPECT_FALSE(lo.onLink);
    EXPECT_TRUE(lo.loopback);
    // Without a netmask nothing is judged off-link.
    auto offer = accepted("s", "172.16.0.1", 1, 0);
    offer.ifNetmask = 0;
    EXPECT_TRUE(ostrel::makeAddress(offer).onLink);
    EXPECT_FALSE(ostrel::makeAddress(offer).loopback);
}

TEST(discovery_Merge, DuplicateAnswersGiveOneAddressWithTheFirstTime) {
    const auto systems = ostrel::mergeOffers(
        {accepted("s1", "10.0.0.5", 8443, 3), accepted("s1", "10.0.0.5", 8443, 1), accepted("s1", "10.0.0.5", 9443, 4),
         accepted("s1", "10.0.0.5", 8443, 9)});
    ASSERT_EQ(systems.size(), 1u);
    ASSERT_EQ(systems[0].addresses.size(), 2u);
    EXPECT_EQ(systems[0].addresses[0].port, 8443);
    EXPECT_EQ(systems[0].addresses[0].firstSeenMs, 3);  // the first kept; later copies dropped
    // Host text is compared exactly.
    EXPECT_EQ(ostrel::mergeOffers({accepted("s", "NodeA", 1, 0), accepted("s", "nodea", 1, 0)})[0].addresses.size(), 2u);
}

TEST(discovery_Merge, TextsComeFromTheFirstOffer) {
    auto first = accepted("s1", "10.0.0.5", 8443, 1, "First", "North", "nodeA");
    first.status = "ok";
    auto second = accepted("s1", "10.0.0.6", 8443, 2, "Second", "South", "nodeB");
    second.status = "degraded";
    const auto systems = ostrel::mergeOffers({first, second});
    ASSERT_EQ(systems.size(), 1u);
    EXPECT_EQ(systems[0].systemName, "First");
    EXPECT_EQ(systems[0].site, "North");
    EXPECT_EQ(systems[0].hostname, "nodeA");
    EXPECT_EQ(systems[0].status, "ok");
}

TEST(discovery_Merge, OrdersAddressesAndSystems) {
    // One system seen first outside the subnet, then on a name, then on loopback.
    const auto systems = ostrel::mergeOffers({
        accepted("far", "192.168.9.9", 8443, 1),
        accepted("mixed", "10.9.9.9", 8443, 2),  // off-link first
        accepted("mixed", "nodeB", 8443, 5),     // on-link, not loopback
        accepted("mixed", "10.0.0.8", 8443, 4),  // on-link, not loopback, earlier than nodeB
        accepted("late", "10.0.0.30", 8443, 7),
        accepted("early", "10.0.0.31", 8443, 3),
    });
    ASSERT_EQ(systems.size(), 4u);
    // On-link systems first, by the time of their best address; the off-link one last.
    EXPECT_EQ(systems[0].systemId, "early");
    EXPECT_EQ(systems[1].systemId, "mixed");
    EXPECT_EQ(systems[2].systemId, "late");
    EXPECT_EQ(systems[3].systemId, "far");
    ASSERT_EQ(systems[1].addresses.size(), 3u);
    EXPECT_EQ(systems[1].addresses[0].host, "10.0.0.8");
    EXPECT_EQ(systems[1].addresses[1].host, "nodeB");
    EXPECT_EQ(systems[1].addresses[2].host, "10.9.9.9");

    // Loopback comes before other on-link addresses when the receiving interface is loopback.
    auto viaLo = [](const std::string& host, std::int64_t ms) {
        auto offer = accepted("lo", host, 8443, ms);
        offer.ifAddress = 0x7F000001;
        offer.ifNetmask = 0xFF000000;
        return offer;
    };
    const auto lo = ostrel::mergeOffers({viaLo("10.1.2.3", 1), viaLo("nodeb.local", 2), viaLo("127.0.0.9", 3)});
    ASSERT_EQ(lo[0].addresses.size(), 3u);
    EXPECT_EQ(lo[0].addresses[0].host, "127.0.0.9");
    EXPECT_EQ(lo[0].addresses[1].host, "nodeb.local");
    EXPECT_EQ(lo[0].addresses[2].host, "10.1.2.3");
    const json array = ostrel::discoverySystemsJson(lo);
    EXPECT_EQ(array[0]["host"], "127.0.0.9");
    EXPECT_EQ(array[0]["addresses"], 3);
}

TEST(discovery_Names, DuplicateNamesGetHostAndIdHints) {
    const auto systems = ostrel::mergeOffers({
        accepted("4f2c9d1e", "10.0.0.5", 8443, 1, "Wall A", "North", "nodeA"),
        accepted("a07b5511", "10.0.0.6", 8443, 2, "Wall A", "North", "nodeB"),
        accepted("c3", "10.0.0.7", 8443, 3, "Wall A", "South", "nodeC"),  // other site: no hint
        accepted("d4", "10.0.0.8", 8443, 4, "Wall A", "", "nodeD"),
    });
    ASSERT_EQ(systems.size(), 4u);
    EXPECT_EQ(ostrel::displayName(systems[0]), "North \u2014 Wall A (nodeA \u00b7 4f2c)");
    EXPECT_EQ(ostrel::displayName(systems[1]), "North \u2014 Wall A (nodeB \u00b7 a07b)");
    EXPECT_EQ(ostrel::displayName(systems[2]), "South \u2014 Wall A");
    EXPECT_EQ(ostrel::displayName(systems[3]), "Wall A");
    EXPECT_FALSE(systems[2].duplicateName);
    EXPECT_FALSE(systems[3].duplicateName);
}

TEST(discovery_Names, FallbacksAndShortHints) {
    DiscoveredSystem s;
    s.systemId = "abc";
    EXPECT_EQ(ostrel::displayName(s), "Ostrel Ops System");
    s.hostname = "nodeA";
    EXPECT_EQ(ostrel::displayName(s), "nodeA");
    s.duplicateName = true;
    EXPECT_EQ(ostrel::displayName(s), "nodeA (nodeA \u00b7 abc)");
    s.hostname.clear();
    s.site = "North";
    EXPECT_EQ(ostrel::displayName(s), "North \u2014 Ostrel Ops System (abc)");
    s.systemId.clear();
    EXPECT_EQ(ostrel::displayName(s), "North \u2014 Ostrel Ops System");

    // Two unnamed systems are duplicates of each other too.
    const auto systems = ostrel::mergeOffers({accepted("id-one", "10.0.0.5", 1, 1), accepted("id-two", "10.0.0.6", 1, 2)});
    EXPECT_EQ(ostrel::displayName(systems[0]), "Ostrel Ops System (id-o)");

    // The id hint never ends in half a character.
    s.systemId = "a\xc3\xa9\xe2\x82\xac";  // "a", e-acute (2 bytes), euro sign (3 bytes)
    const std::string name = ostrel::displayName(s);
    EXPECT_NE(name.find("(a\xc3\xa9)"), std::string::npos) << name;
    EXPECT_NO_THROW((void)json(name).dump());
}

TEST(discovery_Event, SystemObjectsCarryTheBestAddressAndACount) {
    auto a = accepted("s1", "10.9.0.1", 9000, 1, "One", "", "h1");  // off-link
    auto b = accepted("s1", "10.0.0.9", 8443, 2, "One", "", "h1");
    b.status = "ignored-later";
    auto first = a;
    first.status = "busy";
    auto systems = ostrel::mergeOffers({first, b});
    DiscoveredSystem empty;
    empty.systemId = "no-address";
    systems.push_back(empty);
    const json array = ostrel::discoverySystemsJson(systems);
    ASSERT_EQ(array.size(), 1u);
    EXPECT_EQ(array.dump(),
              R"([{"addresses":2,"displayName":"One","host":"10.0.0.9","port":8443,"status":"busy","systemId":"s1"}])");
    EXPECT_TRUE(ostrel::discoverySystemsJson({}).is_array());
}

}  // namespace
