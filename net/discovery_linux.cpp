// Linux half of LAN discovery: random bytes and HMAC from OpenSSL, interfaces from getifaddrs,
// and the probe/receive loop on POSIX UDP sockets.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "net/discovery.h"

namespace ostrel {
namespace {

constexpr std::size_t kMaxInterfaces = 64;
constexpr int kWaitStepMs = 50;
constexpr std::int64_t kBurstDueMs[] = {0, 250, 750};

std::int64_t monotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct ProbeSocket {
    int fd = -1;
    InterfaceAddress iface;
};

sockaddr_in sockAddr(std::uint32_t hostOrderAddress, int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    sa.sin_addr.s_addr = htonl(hostOrderAddress);
    return sa;
}

int openProbeSocket(const InterfaceAddress& iface) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    const unsigned char ttl = 1;
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    in_addr out{};
    out.s_addr = htonl(iface.address);
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out);
    const sockaddr_in local = sockAddr(iface.address, 0);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int sendTo(int fd, const std::string& datagram, std::uint32_t address, int port) {
    const sockaddr_in to = sockAddr(address, port);
    ssize_t n;
    do {
        n = ::sendto(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                     sizeof to);
    } while (n < 0 && errno == EINTR);
    return n > 0 ? 1 : 0;
}

}  // namespace

bool randomNonce(unsigned char (&bytes)[16]) {
    return RAND_bytes(bytes, sizeof bytes) == 1;
}

bool hmacSha256(const std::string& key, const std::string& message, unsigned char (&digest)[32]) {
    unsigned int length = 0;
    static const unsigned char kEmpty = 0;
    const void* keyBytes = key.empty() ? &kEmpty : static_cast<const void*>(key.data());
    const unsigned char* result =
        HMAC(EVP_sha256(), keyBytes, static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest, &length);
    return result != nullptr && length == sizeof digest;
}

std::vector<InterfaceAddress> listInterfaces() {
    std::vector<InterfaceAddress> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (const ifaddrs* it = list; it != nullptr && out.size() < kMaxInterfaces; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
        if ((it->ifa_flags & IFF_UP) == 0) continue;
        InterfaceAddress entry;
        entry.address = ntohl(reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr);
        if (entry.address == 0) continue;
        if (it->ifa_netmask != nullptr && it->ifa_netmask->sa_family == AF_INET) {
            entry.netmask = ntohl(reinterpret_cast<const sockaddr_in*>(it->ifa_netmask)->sin_addr.s_addr);
        }
        out.push_back(entry);
    }
    ::freeifaddrs(list);
    return out;
}

DiscoveryResult runDiscovery(const DiscoveryOptions& options) {
    DiscoveryResult result;
    const int port = options.port > 0 && options.port <= 65535 ? options.port : kDiscoveryPort;
    const std::string groupText = options.group.empty() ? std::string(kDiscoveryGroup) : options.group;
    std::uint32_t group = 0;
    if (!parseIpv4Literal(groupText, group)) parseIpv4Literal(kDiscoveryGroup, group);

    unsigned char raw[16];
    if (!randomNonce(raw)) {
        result.failed = true;
        result.error = "could not generate a discovery nonce";
        return result;
    }
    ProbeRequest request;
    request.nonce = base64UrlEncode(raw, sizeof raw);
    request.clientKind = options.clientKind.empty() ? "source-native" : options.clientKind;
    request.clientOs = discoveryClientOs();
    if (!options.siteKey.empty()) {
        unsigned char digest[32];
        if (hmacSha256(options.siteKey, request.nonce, digest)) request.siteAuth = base64UrlEncode(digest, sizeof digest);
        OPENSSL_cleanse(digest, sizeof digest);
    }
    const std::string probe = buildProbe(request);

    std::vector<ProbeSocket> sockets;
    for (const auto& iface : listInterfaces()) {
        const int fd = openProbeSocket(iface);
        if (fd >= 0) sockets.push_back({fd, iface});
    }
    result.interfaces = static_cast<std::int32_t>(sockets.size());
    if (sockets.empty()) {
        result.failed = true;
        result.error = "no usable network interface";
        return result;
    }

    std::vector<pollfd> pollSet;
    for (const auto& s : sockets) pollSet.push_back({s.fd, POLLIN, 0});
    std::vector<DiscoveryOffer> accepted;
    // MSG_TRUNC makes recv report the real length of a larger datagram, which is then refused
    // instead of being parsed cut short (its first 2048 bytes may well be a valid offer).
    char buffer[kMaxOfferBytes];
    std::size_t burstsSent = 0;

    const std::int64_t start = monotonicMs();
    for (std::int64_t elapsed = 0; elapsed <= kDiscoveryWindowMs; elapsed = monotonicMs() - start) {
        while (burstsSent < std::size(kBurstDueMs) && elapsed >= kBurstDueMs[burstsSent]) {
            for (const auto& s : sockets) {
                result.probes += sendTo(s.fd, probe, group, port);
                if (s.iface.netmask != 0) {
                    result.probes += sendTo(s.fd, probe, s.iface.address | ~s.iface.netmask, port);
                }
                result.probes += sendTo(s.fd, probe, 0xFFFFFFFFu, port);
            }
            ++burstsSent;
        }

        for (auto& p : pollSet) p.revents = 0;
        const int ready = ::poll(pollSet.data(), pollSet.size(), kWaitStepMs);
        if (ready <= 0) continue;

        for (std::size_t i = 0; i < pollSet.size(); ++i) {
            if ((pollSet[i].revents & (POLLIN | POLLERR)) == 0) continue;
            const ssize_t n = ::recv(pollSet[i].fd, buffer, sizeof buffer, MSG_TRUNC | MSG_DONTWAIT);
            if (n < 1) continue;
            const std::int64_t receivedMs = monotonicMs() - start;
            DiscoveryOffer offer;
            if (static_cast<std::size_t>(n) > sizeof buffer || !parseOffer(buffer, static_cast<std::size_t>(n), offer)) {
                ++result.rejected;
                continue;
            }
            ++result.offers;
            if (offer.nonce != request.nonce) {
                ++result.rejected;
                continue;
            }
            offer.ifAddress = sockets[i].iface.address;
            offer.ifNetmask = sockets[i].iface.netmask;
            offer.receivedMs = receivedMs;
            accepted.push_back(std::move(offer));
        }
    }

    for (const auto& s : sockets) ::close(s.fd);
    result.systems = mergeOffers(accepted);
    return result;
}

}  // namespace ostrel
