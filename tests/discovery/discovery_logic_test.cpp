// The portable discovery logic and the crypto helpers: probe text, offer parsing, merge, order, names.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "net/discovery.h"

namespace ostrel {
namespace {

using nlohmann::json;
using namespace std::string_literals;
using Strings = std::vector<std::string>;

TEST(discovery_Crypto, Base64Url) {
    const std::string in[] = {
        "", "f", "fo", "foo", "foob", "fooba", "\xfb\xef\xbe", "\xff\xff\xff", "\0\x10\x83"s, "\xff\xfe"};
    const char* out[] = {"", "Zg", "Zm8", "Zm9v", "Zm9vYg", "Zm9vYmE", "----", "____", "ABCD", "__4"};
    for (std::size_t i = 0; i < std::size(in); ++i) {
        EXPECT_EQ(base64UrlEncode(reinterpret_cast<const unsigned char*>(in[i].data()), in[i].size()), out[i]);
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

TEST(discovery_Offer, ReadsMembersAndRejectsEachInvalidForm) {
    const auto parse = [](const std::string& text, DiscoveryOffer& out) {
        return parseOffer(text.data(), text.size(), out);
    };
    // A valid offer patched with `change` (a null takes a member out).
    const auto with = [](const std::string& change) {
        json offer = {{"op", "offer"}, {"edp", 1}, {"nonce", "n"}, {"systemId", "s"}, {"host", "h"}, {"port", 8443}};
        offer.merge_patch(json::parse(change));
        return offer.dump();
    };
    DiscoveryOffer o;
    ASSERT_TRUE(parse(with("{}"), o));
    EXPECT_TRUE(o.port == 8443 && o.scheme == "https" && o.status == "ok" && o.pinRequired && !o.joinRequests);
    ASSERT_TRUE(parse(with(R"({"systemName": "Wall A", "site": "North", "hostname": "nodeA", "status": "degraded",
        "certNames": ["a", 7, "b"], "pinRequired": false, "joinRequests": true, "unknown": [1]})"),
                      o));
    EXPECT_EQ(o.nonce + o.systemId + o.host + o.systemName + o.site + o.hostname + o.status,
              "nshWall ANorthnodeAdegraded");
    EXPECT_EQ(o.certNames, (Strings{"a", "b"}));
    EXPECT_TRUE(!o.pinRequired && o.joinRequests);
    for (const char* fine : {R"({"port": 1})", R"({"port": 65535})", R"({"certNames": "x"})"}) {
        EXPECT_TRUE(parse(with(fine), o)) << fine;
    }
    const std::string exact = with("{}") + std::string(2048 - with("{}").size(), ' ');
    EXPECT_TRUE(parse(exact, o));
    // Each wrong member; not an object, cut short, a NUL after a valid offer, nested deeper than any offer,
    // over 2048 bytes.
    std::vector<std::string> invalid = {"",
                                        "not json",
                                        "[1,2]",
                                        R"({"op":"offer")",
                                        "{} {}",
                                        with("{}") + "\0"s + "x",
                                        with(R"({"extra": )" + std::string(64, '[') + std::string(64, ']') + "}"),
                                        exact + " "};
    for (const char* change : {R"({"port": 0})",
                               R"({"port": 65536})",
                               R"({"port": "8443"})",
                               R"({"port": 8443.0})",
                               R"({"port": 18446744073709551615})",
                               R"({"host": ""})",
                               R"({"systemId": ""})",
                               R"({"nonce": ""})",
                               R"({"op": "probe"})",
                               R"({"edp": 2})",
                               R"({"edp": "1"})",
                               R"({"pinRequired": "yes"})",
                               R"({"joinRequests": 1})",
                               R"({"systemName": 5})",
                               R"({"sig": {}})",
                               R"({"op": null})",
                               R"({"edp": null})",
                               R"({"nonce": null})",
                               R"({"systemId": null})",
                               R"({"host": null})",
                               R"({"port": null})"}) {
        invalid.push_back(with(change));
    }
    for (const auto& text : invalid) EXPECT_FALSE(parse(text, o)) << text;
    EXPECT_FALSE(parseOffer(nullptr, 10, o));
}

TEST(discovery_Address, StrictIpv4Literals) {
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

}  // namespace
}  // namespace ostrel
