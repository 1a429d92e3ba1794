#pragma once
// LAN discovery: a JSON probe by UDP multicast and broadcast, JSON offers back by unicast.
// The logic here is portable; sockets, interfaces and crypto live in the platform file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace ostrel {

inline constexpr int kDiscoveryPort = 47820;
inline constexpr const char* kDiscoveryGroup = "239.255.90.14";
inline constexpr std::size_t kProbeSize = 256;        // every probe is padded up to this size
inline constexpr std::size_t kMaxOfferBytes = 2048;   // larger datagrams are rejected
inline constexpr std::int64_t kDiscoveryWindowMs = 2000;

struct DiscoveryOptions {
    int port = 0;            // <= 0: 47820
    std::string group;       // empty: 239.255.90.14
    std::string siteKey;     // empty: no "siteAuth"
    std::string clientKind;  // empty: "source-native"
};

struct ProbeRequest {
    std::string nonce;
    std::string clientKind;
    std::string clientVersion = "1";
    std::string clientOs;  // "linux" on Linux, "win" on Windows
    std::string siteAuth;
};

struct DiscoveryOffer {
    int edp = 0;
    std::string nonce, systemId, systemName, site, hostname;
    std::string scheme = "https";
    std::string host;
    std::int32_t port = 0;
    std::string publicUrl, certSha256;
    std::vector<std::string> certNames;
    std::string status = "ok";
    bool pinRequired = true;
    bool joinRequests = false;
    std::string version, keyId, sig;
    // Filled by the receiver.
    std::uint32_t ifAddress = 0;  // host byte order
    std::uint32_t ifNetmask = 0;  // host byte order
    std::int64_t receivedMs = 0;
};

struct DiscoveredAddress {
    std::string host;
    std::int32_t port = 0;
    bool onLink = true;
    bool loopback = false;
    std::int64_t firstSeenMs = 0;
};

struct DiscoveredSystem {
    std::string systemId, systemName, site, hostname, status;
    std::vector<DiscoveredAddress> addresses;
    bool duplicateName = false;
};

struct DiscoveryResult {
    std::vector<DiscoveredSystem> systems;
    std::int32_t probes = 0;
    std::int32_t interfaces = 0;
    std::int32_t offers = 0;
    std::int32_t rejected = 0;
    bool failed = false;
    std::string error;
};

struct InterfaceAddress {
    std::uint32_t address = 0;  // host byte order
    std::uint32_t netmask = 0;  // host byte order
};

// Portable logic.
std::string base64UrlEncode(const unsigned char* bytes, std::size_t length);
std::string buildProbe(const ProbeRequest& request);
bool parseOffer(const char* bytes, std::size_t length, DiscoveryOffer& out);
// Merge (by systemId, in acceptance order), order and mark duplicate names.
std::vector<DiscoveredSystem> mergeOffers(const std::vector<DiscoveryOffer>& accepted);
// Strict dotted-decimal IPv4 ("a.b.c.d", 0..255, no leading zeros); host byte order.
bool parseIpv4Literal(const std::string& text, std::uint32_t& address);
// The address an offer brings, with onLink/loopback judged against the receiving interface.
DiscoveredAddress makeAddress(const DiscoveryOffer& offer);
std::string displayName(const DiscoveredSystem& system);
// The "systems" array of the "discovery" event (systems without addresses skipped).
nlohmann::json discoverySystemsJson(const std::vector<DiscoveredSystem>& systems);
const char* discoveryClientOs();  // "linux" / "win"

// Platform part.
bool randomNonce(unsigned char (&bytes)[16]);
bool hmacSha256(const std::string& key, const std::string& message, unsigned char (&digest)[32]);
std::vector<InterfaceAddress> listInterfaces();
DiscoveryResult runDiscovery(const DiscoveryOptions& options);

}  // namespace ostrel
