// `ostrel-system-sim discovery`: answers discovery probes the way systems do, plus the faulty
// answers a client has to survive. It only ever answers senders on loopback.
#include "tools/sim/discovery_responder.h"

#include "common/json_read.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace ostrel::sim {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kUsage =
    "usage: ostrel-system-sim discovery [options]\n"
    "  --port N                 UDP port to listen on (default 47820)\n"
    "  --system K=V,...         a system to play; keys id, name, site, hostname, host, port, status\n"
    "                           (repeatable; without --system/--config one default system is played)\n"
    "  --config FILE            JSON {\"systems\":[{offer members}]}; members are sent as given\n"
    "  --site-key KEY           answer only probes whose siteAuth is valid for KEY\n"
    "  --site-key-file FILE     the same, key read from the first line of FILE\n"
    "  --foreign-nonce          answer with a nonce other than the probe's\n"
    "  --duplicate              send every offer twice\n"
    "  --malformed              also send a set of invalid offers for every probe\n"
    "  --offer-size N           pad every offer with trailing blanks to N bytes (over 2048: oversized)\n"
    "  --garbage N              send N garbage datagrams to the prober for every probe\n"
    "  --garbage-stream MS      after the first probe of a sender, stream garbage to it for MS ms\n"
    "  --garbage-interval-us US spacing of the garbage stream (default 1000)\n"
    "  --garbage-only           play no system (with the garbage switches: a pure noise source)\n"
    "  --record FILE            append one JSON line per probe received (with its monotonic arrival\n"
    "                           time, receivedUs) and per garbage stream\n"
    "The responder ends on SIGTERM/SIGINT or when its parent process ends.\n";

volatile sig_atomic_t gStop = 0;

void onStopSignal(int) {
    gStop = 1;
}

struct Options {
    int port = 47820;
    std::vector<json> systems;
    bool systemsGiven = false;
    std::string siteKey;
    bool requireAuth = false;
    bool foreignNonce = false;
    bool duplicate = false;
    bool malformed = false;
    std::size_t offerSize = 0;
    int garbagePerProbe = 0;
    int garbageStreamMs = 0;
    int garbageIntervalUs = 1000;
    bool garbageOnly = false;
    std::string recordPath;
};

bool parseInt(const std::string& text, long long min, long long max, long long& out) {
    if (text.empty() || text.size() > 12) return false;
    long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < min || value > max) return false;
    out = value;
    return true;
}

bool parseSystemSpec(const std::string& spec, json& out) {
    static const std::map<std::string, std::string> kKeys = {{"id", "systemId"}, {"name", "systemName"},
                                                            {"site", "site"},    {"hostname", "hostname"},
                                                            {"host", "host"},    {"port", "port"},
                                                            {"status", "status"}};
    out = json::object();
    std::stringstream in(spec);
    std::string item;
    while (std::getline(in, item, ',')) {
        const auto eq = item.find('=');
        if (eq == std::string::npos) return false;
        const auto key = kKeys.find(item.substr(0, eq));
        if (key == kKeys.end()) return false;
        const std::string value = item.substr(eq + 1);
        if (key->second == "port") {
            long long port = 0;
            if (!parseInt(value, 0, 1000000, port)) return false;
            out["port"] = port;
        } else {
            out[key->second] = value;
        }
    }
    if (!out.contains("port")) out["port"] = 8443;
    if (!out.contains("host")) out["host"] = "127.0.0.1";
    return true;
}

bool readFirstLine(const std::string& path, std::string& line) {
    std::ifstream in(path, std::ios::binary);
    if (!in || !std::getline(in, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

int parseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        long long n = 0;
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return -1;
        }
        if (arg == "--port" && hasValue && parseInt(argv[i + 1], 1, 65535, n)) {
            o.port = static_cast<int>(n);
            ++i;
        } else if (arg == "--system" && hasValue) {
            json system;
            if (!parseSystemSpec(argv[++i], system)) {
                std::fprintf(stderr, "ostrel-system-sim discovery: bad --system value\n");
                return 2;
            }
            o.systems.push_back(std::move(system));
            o.systemsGiven = true;
        } else if (arg == "--config" && hasValue) {
            std::ifstream in(argv[++i], std::ios::binary);
            std::stringstream text;
            text << in.rdbuf();
            const json config = json::parse(text.str(), nullptr, false);
            const auto systems = config.is_object() ? config.find("systems") : config.end();
            if (!in || config.is_discarded() || systems == config.end() || !systems->is_array()) {
                std::fprintf(stderr, "ostrel-system-sim discovery: the config needs a \"systems\" array\n");
                return 2;
            }
            for (const auto& system : *systems) {
                if (!system.is_object()) {
                    std::fprintf(stderr, "ostrel-system-sim discovery: every system must be an object\n");
                    return 2;
                }
                o.systems.push_back(system);
            }
            o.systemsGiven = true;
        } else if (arg == "--site-key" && hasValue) {
            o.siteKey = argv[++i];
            o.requireAuth = true;
        } else if (arg == "--site-key-file" && hasValue) {
            if (!readFirstLine(argv[++i], o.siteKey)) {
                std::fprintf(stderr, "ostrel-system-sim discovery: cannot read the site key file\n");
                return 2;
            }
            o.requireAuth = true;
        } else if (arg == "--foreign-nonce") {
            o.foreignNonce = true;
        } else if (arg == "--duplicate") {
            o.duplicate = true;
        } else if (arg == "--malformed") {
            o.malformed = true;
        } else if (arg == "--offer-size" && hasValue && parseInt(argv[i + 1], 1, 65000, n)) {
            o.offerSize = static_cast<std::size_t>(n);
            ++i;
        } else if (arg == "--garbage" && hasValue && parseInt(argv[i + 1], 0, 100000, n)) {
            o.garbagePerProbe = static_cast<int>(n);
            ++i;
        } else if (arg == "--garbage-stream" && hasValue && parseInt(argv[i + 1], 0, 600000, n)) {
            o.garbageStreamMs = static_cast<int>(n);
            ++i;
        } else if (arg == "--garbage-interval-us" && hasValue && parseInt(argv[i + 1], 1, 10000000, n)) {
            o.garbageIntervalUs = static_cast<int>(n);
            ++i;
        } else if (arg == "--garbage-only") {
            o.garbageOnly = true;
        } else if (arg == "--record" && hasValue) {
            o.recordPath = argv[++i];
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (o.garbageOnly) {
        o.systems.clear();
    } else if (!o.systemsGiven) {
        o.systems.push_back(json{{"systemId", "sim-discovery-0001"},
                                 {"systemName", "Simulated System"},
                                 {"hostname", "sim-host"},
                                 {"host", "127.0.0.1"},
                                 {"port", 8443}});
    }
    return 0;
}

std::string base64Url(const unsigned char* bytes, int length) {
    std::string standard(static_cast<std::size_t>((length + 2) / 3 * 4) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(standard.data()), bytes, length);
    standard.resize(static_cast<std::size_t>(n));
    while (!standard.empty() && standard.back() == '=') standard.pop_back();
    for (char& c : standard) {
        if (c == '+') c = '-';
        if (c == '/') c = '_';
    }
    return standard;
}

bool siteAuthValid(const std::string& key, const std::string& nonce, const std::string& siteAuth) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    static const unsigned char kEmpty = 0;
    if (HMAC(EVP_sha256(), key.empty() ? &kEmpty : reinterpret_cast<const unsigned char*>(key.data()),
             static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(nonce.data()), nonce.size(), digest,
             &length) == nullptr) {
        return false;
    }
    const std::string expected = base64Url(digest, static_cast<int>(length));
    OPENSSL_cleanse(digest, sizeof digest);
    return expected.size() == siteAuth.size() && CRYPTO_memcmp(expected.data(), siteAuth.data(), expected.size()) == 0;
}

bool isLoopback(const sockaddr_in& from) {
    return (ntohl(from.sin_addr.s_addr) >> 24) == 127;
}

std::string endpointText(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

// Datagrams that look like answers to the probe but must each be refused by a client.
std::vector<std::string> malformedOffers(const std::string& nonce) {
    auto offer = [&](const char* id) {
        return json{{"op", "offer"}, {"edp", 1},        {"nonce", nonce},
                    {"systemId", id}, {"host", "127.0.0.1"}, {"port", 8443}};
    };
    std::vector<json> variants;
    json v = offer("malformed-port-0");
    v["port"] = 0;
    variants.push_back(v);
    v = offer("malformed-port-65536");
    v["port"] = 65536;
    variants.push_back(v);
    v = offer("malformed-port-string");
    v["port"] = "8443";
    variants.push_back(v);
    v = offer("malformed-port-float");
    v["port"] = 8443.0;
    variants.push_back(v);
    v = offer("malformed-empty-host");
    v["host"] = "";
    variants.push_back(v);
    v = offer("malformed-op");
    v["op"] = "answer";
    variants.push_back(v);
    v = offer("malformed-edp-2");
    v["edp"] = 2;
    variants.push_back(v);
    v = offer("malformed-pin-type");
    v["pinRequired"] = "yes";
    variants.push_back(v);
    v = offer("malformed-name-null");
    v["systemName"] = nullptr;
    variants.push_back(v);
    v = offer("");
    variants.push_back(v);
    std::vector<std::string> out;
    for (const auto& variant : variants) out.push_back(variant.dump());
    out.push_back("not json at all");
    out.push_back("[" + offer("malformed-array").dump() + "]");
    out.push_back(offer("malformed-truncated").dump().substr(0, 40));
    return out;
}

class Responder {
public:
    explicit Responder(Options options) : o_(std::move(options)), random_(static_cast<unsigned>(::getpid())) {}

    int run() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return fail("cannot create the UDP socket");
        const int on = 1;
        // Several responders may share the port; each of them receives every broadcast.
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(static_cast<std::uint16_t>(o_.port));
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            return fail("cannot bind the UDP port");
        }
        const bool joined = joinGroupOnLoopback();
        if (!o_.recordPath.empty()) {
            recordFd_ = ::open(o_.recordPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
            if (recordFd_ < 0) return fail("cannot open the record file");
        }

        const json ready = {{"discoveryPort", o_.port},
                            {"group", "239.255.90.14"},
                            {"joined", joined},
                            {"malformedPerProbe", o_.malformed ? malformedOffers("x").size() : 0},
                            {"systems", o_.systems.size()}};
        std::printf("%s\n", ready.dump().c_str());
        std::fflush(stdout);

        std::vector<char> buffer(65536);
        while (!gStop) {
            pollfd p{fd_, POLLIN, 0};
            const timespec timeout = pollTimeout();
            const int r = ::ppoll(&p, 1, &timeout, nullptr);
            pumpGarbageStreams();
            if (r <= 0 || (p.revents & POLLIN) == 0) continue;
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n < 0 || !isLoopback(from)) continue;
            handleProbe(std::string(buffer.data(), static_cast<std::size_t>(n)), from);
        }
        for (auto& [key, stream] : streams_) finishStream(stream);
        if (recordFd_ >= 0) ::close(recordFd_);
        ::close(fd_);
        return 0;
    }

private:
    struct GarbageStream {
        sockaddr_in to{};
        Clock::time_point next;
        Clock::time_point end;
        long long sent = 0;
        bool done = false;
    };

    int fail(const char* what) {
        std::fprintf(stderr, "ostrel-system-sim discovery: %s (%s)\n", what, std::strerror(errno));
        return 1;
    }

    bool joinGroupOnLoopback() {
        bool joined = false;
        ifaddrs* list = nullptr;
        if (::getifaddrs(&list) != 0) return false;
        for (const ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
            if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
            const auto address = reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr;
            if ((ntohl(address.s_addr) >> 24) != 127) continue;
            ip_mreq request{};
            ::inet_pton(AF_INET, "239.255.90.14", &request.imr_multiaddr);
            request.imr_interface = address;
            if (::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) == 0) joined = true;
        }
        ::freeifaddrs(list);
        return joined;
    }

    void record(const json& line) {
        if (recordFd_ < 0) return;
        const std::string text = line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
        // One write per line with O_APPEND keeps lines whole when several responders share a file.
        [[maybe_unused]] const ssize_t n = ::write(recordFd_, text.data(), text.size());
    }

    bool sendDatagram(const std::string& datagram, const sockaddr_in& to) {
        const ssize_t n = ::sendto(fd_, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                                   reinterpret_cast<const sockaddr*>(&to), sizeof to);
        return n > 0;
    }

    std::string garbage() {
        std::uniform_int_distribution<int> length(1, 700);
        std::uniform_int_distribution<int> byte(0, 255);
        std::string out(static_cast<std::size_t>(length(random_)), '\0');
        for (char& c : out) c = static_cast<char>(byte(random_));
        // Never a JSON object, whatever the random bytes are.
        out[0] = '#';
        return out;
    }

    std::string foreignNonce(const std::string& nonce) {
        std::string other = nonce;
        other[0] = other[0] == 'A' ? 'B' : 'A';
        return other;
    }

    std::string makeOffer(const json& system, const std::string& nonce) {
        json offer = system;
        if (!offer.contains("op")) offer["op"] = "offer";
        if (!offer.contains("edp")) offer["edp"] = 1;
        if (!offer.contains("nonce")) offer["nonce"] = o_.foreignNonce ? foreignNonce(nonce) : nonce;
        if (!offer.contains("scheme")) offer["scheme"] = "https";
        std::string text = offer.dump(-1, ' ', false, json::error_handler_t::replace);
        if (text.size() < o_.offerSize) text.append(o_.offerSize - text.size(), ' ');
        return text;
    }

    void handleProbe(const std::string& datagram, const sockaddr_in& from) {
        const json probe = json_read::parse(datagram);
        const auto nonce = probe.is_object() ? probe.find("nonce") : probe.end();
        const auto op = probe.is_object() ? probe.find("op") : probe.end();
        if (nonce == probe.end() || !nonce->is_string() || nonce->get_ref<const std::string&>().empty() ||
            op == probe.end() || *op != "probe") {
            record({{"event", "ignored"}, {"bytes", datagram.size()}, {"from", endpointText(from)}});
            return;
        }
        const std::string nonceText = nonce->get<std::string>();
        const auto auth = probe.find("siteAuth");
        const bool hasAuth = auth != probe.end() && auth->is_string();
        const bool authorized =
            !o_.requireAuth || (hasAuth && siteAuthValid(o_.siteKey, nonceText, auth->get_ref<const std::string&>()));

        long long validSent = 0, foreignSent = 0, invalidSent = 0;
        if (authorized) {
            const int copies = o_.duplicate ? 2 : 1;
            for (const auto& system : o_.systems) {
                const std::string offer = makeOffer(system, nonceText);
                for (int c = 0; c < copies; ++c) {
                    if (!sendDatagram(offer, from)) continue;
                    if (offer.size() > 2048) {
                        ++invalidSent;
                    } else if (o_.foreignNonce) {
                        ++foreignSent;
                    } else {
                        ++validSent;
                    }
                }
            }
            if (o_.malformed) {
                for (const auto& bad : malformedOffers(nonceText)) invalidSent += sendDatagram(bad, from) ? 1 : 0;
            }
            for (int g = 0; g < o_.garbagePerProbe; ++g) invalidSent += sendDatagram(garbage(), from) ? 1 : 0;
            if (o_.garbageStreamMs > 0) startStream(from);
        }
        record({{"event", "probe"},
                {"receivedUs", std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch()).count()},
                {"bytes", datagram.size()},
                {"from", endpointText(from)},
                {"nonce", nonceText},
                {"siteAuth", hasAuth},
                {"authorized", authorized},
                {"text", datagram},
                {"validOffersSent", validSent},
                {"foreignOffersSent", foreignSent},
                {"invalidSent", invalidSent}});
    }

    void startStream(const sockaddr_in& to) {
        const std::string key = endpointText(to);
        if (streams_.count(key) != 0) return;
        GarbageStream stream;
        stream.to = to;
        stream.next = Clock::now();
        stream.end = stream.next + std::chrono::milliseconds(o_.garbageStreamMs);
        streams_.emplace(key, stream);
        pumpGarbageStreams();
    }

    void pumpGarbageStreams() {
        const auto now = Clock::now();
        for (auto& [key, stream] : streams_) {
            if (stream.done) continue;
            // Catch up on what a late wake-up missed, in bounded bursts.
            for (int burst = 0; burst < 64 && stream.next <= now && stream.next < stream.end; ++burst) {
                if (sendDatagram(garbage(), stream.to)) ++stream.sent;
                stream.next += std::chrono::microseconds(o_.garbageIntervalUs);
            }
            if (stream.next >= stream.end) finishStream(stream);
        }
    }

    void finishStream(GarbageStream& stream) {
        if (stream.done) return;
        stream.done = true;
        record({{"event", "garbage-stream"}, {"to", endpointText(stream.to)}, {"sent", stream.sent}});
    }

    // Sub-millisecond so a fast garbage stream sleeps between datagrams instead of spinning.
    timespec pollTimeout() const {
        long long waitNs = 200'000'000;
        const auto now = Clock::now();
        for (const auto& [key, stream] : streams_) {
            if (stream.done) continue;
            const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(stream.next - now).count();
            waitNs = std::min<long long>(waitNs, std::max<long long>(wait, 0));
        }
        return timespec{static_cast<time_t>(waitNs / 1'000'000'000), static_cast<long>(waitNs % 1'000'000'000)};
    }

    Options o_;
    std::mt19937 random_;
    int fd_ = -1;
    int recordFd_ = -1;
    std::map<std::string, GarbageStream> streams_;
};

}  // namespace

int runDiscoveryResponder(int argc, char** argv) {
    Options options;
    if (const int code = parseOptions(argc, argv, options); code != 0) return code < 0 ? 0 : code;

    // A responder started in the background must not outlive whoever started it.
    const pid_t parent = ::getppid();
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) return 0;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);

    Responder responder(std::move(options));
    return responder.run();
}

}  // namespace ostrel::sim
