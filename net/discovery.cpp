// Portable half of LAN discovery: the probe text, offer parsing, merging, ordering and naming.
#include "net/discovery.h"

#include "common/json_read.h"

#include <algorithm>
#include <limits>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace ostrel {
namespace {

using json_read::readBool;
using json_read::readString;

using nlohmann::json;

// Every text in a probe or offer is valid UTF-8 by construction or by parsing, but a caller may
// hand in anything as the client kind; serialising must never throw.
std::string dumpCompact(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Typed readers: an absent member keeps the default, a present member of another type fails.
// An integer member as a 64-bit value; a float, a string or an integer beyond the signed 64-bit
// range fails, so that a huge value can never wrap into range.
bool readInteger(const json& object, const char* key, std::int64_t& out) {
    const auto it = object.find(key);
    if (it == object.end()) return true;
    if (it->is_number_unsigned()) {
        const auto value = it->get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
        out = static_cast<std::int64_t>(value);
        return true;
    }
    if (!it->is_number_integer()) return false;
    out = it->get<std::int64_t>();
    return true;
}

// Length of the longest prefix of `text` of at most `limit` bytes that ends on a UTF-8
// character boundary, so a cut never leaves half a character behind.
std::size_t utf8Prefix(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) return text.size();
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return cut;
}

std::string addressKey(const std::string& host, std::int32_t port) {
    std::string key = host;
    key.push_back('\0');
    key += std::to_string(port);
    return key;
}

}  // namespace

const char* discoveryClientOs() {
#ifdef _WIN32
    return "win";
#else
    return "linux";
#endif
}

std::string base64UrlEncode(const unsigned char* bytes, std::size_t length) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    out.reserve((length + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(kAlphabet[(v >> 6) & 63]);
        out.push_back(kAlphabet[v & 63]);
    }
    const std::size_t rest = length - i;
    if (rest == 1) {
        const std::uint32_t v = std::uint32_t{bytes[i]} << 16;
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
    } else if (rest == 2) {
        const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8);
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(kAlphabet[(v >> 6) & 63]);
    }
    return out;
}

std::string buildProbe(const ProbeRequest& request) {
    json probe = json::object();
    probe["edp"] = 1;
    probe["op"] = "probe";
    probe["nonce"] = request.nonce;
    probe["client"] = json{{"kind", request.clientKind}, {"ver", request.clientVersion}, {"os", request.clientOs}};
    if (!request.siteAuth.empty()) probe["siteAuth"] = request.siteAuth;
    std::string text = dumpCompact(probe);
    if (text.size() < kProbeSize) {
        // The member adds 9 + n bytes, so below 247 bytes the probe comes out at exactly 256.
        const std::size_t room = kProbeSize - text.size();
        const std::size_t n = room > 9 ? room - 9 : 1;
        probe["pad"] = std::string(n, 'A');
        text = dumpCompact(probe);
    }
    return text;
}

bool parseOffer(const char* bytes, std::size_t length, DiscoveryOffer& out) {
    if (bytes == nullptr || length < 1 || length > kMaxOfferBytes) return false;
    const json doc = json_read::parse(std::string_view(bytes, length));
    if (doc.is_discarded() || !doc.is_object()) return false;

    DiscoveryOffer offer;
    std::string op;
    std::int64_t edp = 0;
    if (!readString(doc, "op", op) || op != "offer") return false;
    if (!readInteger(doc, "edp", edp) || edp != 1) return false;
    offer.edp = 1;

    std::int64_t port = 0;
    const bool typesOk = readString(doc, "nonce", offer.nonce) && readString(doc, "systemId", offer.systemId) &&
                         readString(doc, "systemName", offer.systemName) && readString(doc, "site", offer.site) &&
                         readString(doc, "hostname", offer.hostname) && readString(doc, "scheme", offer.scheme) &&
                         readString(doc, "host", offer.host) && readInteger(doc, "port", port) &&
                         readString(doc, "publicUrl", offer.publicUrl) &&
                         readString(doc, "certSha256", offer.certSha256) && readString(doc, "status", offer.status) &&
                         readBool(doc, "pinRequired", offer.pinRequired) &&
                         readBool(doc, "joinRequests", offer.joinRequests) &&
                         readString(doc, "version", offer.version) && readString(doc, "keyId", offer.keyId) &&
                         readString(doc, "sig", offer.sig);
    if (!typesOk) return false;

    // certNames is the one member whose wrong type is ignored instead of rejecting the offer.
    const auto names = doc.find("certNames");
    if (names != doc.end() && names->is_array()) {
        for (const auto& name : *names) {
            if (name.is_string()) offer.certNames.push_back(name.get<std::string>());
        }
    }

    if (offer.nonce.empty() || offer.systemId.empty() || offer.host.empty()) return false;
    if (port < 1 || port > 65535) return false;
    offer.port = static_cast<std::int32_t>(port);
    out = std::move(offer);
    return true;
}

bool parseIpv4Literal(const std::string& text, std::uint32_t& address) {
    std::uint32_t value = 0;
    int parts = 0;
    std::size_t i = 0;
    while (true) {
        std::size_t digits = 0;
        std::uint32_t part = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            // A leading zero would read as octal elsewhere; dotted-decimal literals have none.
            if (digits == 1 && part == 0) return false;
            part = part * 10 + static_cast<std::uint32_t>(text[i] - '0');
            if (part > 255) return false;
            ++digits;
            ++i;
        }
        if (digits == 0) return false;
        value = (value << 8) | part;
        ++parts;
        if (parts == 4) break;
        if (i >= text.size() || text[i] != '.') return false;
        ++i;
    }
    if (i != text.size()) return false;
    address = value;
    return true;
}

DiscoveredAddress makeAddress(const DiscoveryOffer& offer) {
    DiscoveredAddress address;
    address.host = offer.host;
    address.port = offer.port;
    address.firstSeenMs = offer.receivedMs;
    std::uint32_t literal = 0;
    if (parseIpv4Literal(offer.host, literal)) {
        if (offer.ifNetmask != 0 && (literal & offer.ifNetmask) != (offer.ifAddress & offer.ifNetmask)) {
            address.onLink = false;
        }
        address.loopback = (literal >> 24) == 127;
    }
    return address;
}

std::vector<DiscoveredSystem> mergeOffers(const std::vector<DiscoveryOffer>& accepted) {
    std::vector<DiscoveredSystem> systems;
    std::unordered_map<std::string, std::size_t> positions;
    // Address keys per system, so a flood of answers does not turn the duplicate check quadratic.
    std::vector<std::unordered_set<std::string>> seen;

    for (const auto& offer : accepted) {
        auto [it, inserted] = positions.emplace(offer.systemId, systems.size());
        if (inserted) {
            DiscoveredSystem system;
            system.systemId = offer.systemId;
            system.systemName = offer.systemName;
            system.site = offer.site;
            system.hostname = offer.hostname;
            system.status = offer.status;
            systems.push_back(std::move(system));
            seen.emplace_back();
        }
        const std::size_t index = it->second;
        if (!seen[index].insert(addressKey(offer.host, offer.port)).second) continue;
        systems[index].addresses.push_back(makeAddress(offer));
    }

    for (auto& system : systems) {
        std::stable_sort(system.addresses.begin(), system.addresses.end(),
                         [](const DiscoveredAddress& a, const DiscoveredAddress& b) {
                             if (a.onLink != b.onLink) return a.onLink;
                             if (a.loopback != b.loopback) return a.loopback;
                             return a.firstSeenMs < b.firstSeenMs;
                         });
    }
    std::stable_sort(systems.begin(), systems.end(), [](const DiscoveredSystem& a, const DiscoveredSystem& b) {
        const bool aOn = !a.addresses.empty() && a.addresses.front().onLink;
        const bool bOn = !b.addresses.empty() && b.addresses.front().onLink;
        if (aOn != bOn) return aOn;
        const auto aSeen = a.addresses.empty() ? std::numeric_limits<std::int64_t>::max() : a.addresses.front().firstSeenMs;
        const auto bSeen = b.addresses.empty() ? std::numeric_limits<std::int64_t>::max() : b.addresses.front().firstSeenMs;
        return aSeen < bSeen;
    });

    // Every system that shares its name and site with another is marked; counting per pair of
    // texts gives the same marks as comparing every pair, without the quadratic cost.
    std::unordered_map<std::string, int> nameCounts;
    auto nameKey = [](const DiscoveredSystem& s) {
        std::string key = s.systemName;
        key.push_back('\0');
        key += s.site;
        return key;
    };
    for (const auto& system : systems) ++nameCounts[nameKey(system)];
    for (auto& system : systems) system.duplicateName = nameCounts[nameKey(system)] > 1;
    return systems;
}

std::string displayName(const DiscoveredSystem& system) {
    std::string name = system.systemName;
    if (name.empty()) name = system.hostname;
    if (name.empty()) name = "Ostrel Ops System";
    if (!system.site.empty()) name = system.site + " \u2014 " + name;
    if (system.duplicateName) {
        std::string hint = system.hostname;
        if (!system.systemId.empty()) {
            if (!hint.empty()) hint += " \u00b7 ";
            hint += system.systemId.substr(0, utf8Prefix(system.systemId, 4));
        }
        if (!hint.empty()) name += " (" + hint + ")";
    }
    return name;
}

nlohmann::json discoverySystemsJson(const std::vector<DiscoveredSystem>& systems) {
    json array = json::array();
    for (const auto& system : systems) {
        if (system.addresses.empty()) continue;
        const auto& best = system.addresses.front();
        array.push_back(json{{"systemId", system.systemId},
                             {"displayName", displayName(system)},
                             {"host", best.host},
                             {"port", best.port},
                             {"status", system.status},
                             {"addresses", system.addresses.size()}});
    }
    return array;
}

}  // namespace ostrel
