#include "tools/sim/sim_tls.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <strings.h>
#include <thread>
#include <vector>

#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "tools/sim/sim_record.h"

namespace ostrel::sim {
namespace {

std::string opensslError(const char* what) {
    char buffer[256] = {};
    ERR_error_string_n(ERR_get_error(), buffer, sizeof buffer);
    return std::string(what) + ": " + buffer;
}

bool addExtension(X509* cert, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (ext == nullptr) return false;
    const bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

std::string peerAddress(const sockaddr_storage& addr) {
    char text[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, text, sizeof text);
    } else if (addr.ss_family == AF_INET6) {
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr, text, sizeof text);
    }
    return text;
}

bool writeAll(SSL* ssl, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const int n = SSL_write(ssl, bytes.data() + done, static_cast<int>(bytes.size() - done));
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads one HTTP/1.1 request (headers and a Content-Length body) from the TLS stream.
bool readRequest(SSL* ssl, RecordedRequest& out) {
    std::string data;
    char buffer[4096];
    std::size_t headerEnd = std::string::npos;
    while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
        if (data.size() > 65536) return false;
        const int n = SSL_read(ssl, buffer, sizeof buffer);
        if (n <= 0) return false;
        data.append(buffer, static_cast<std::size_t>(n));
    }
    const std::string head = data.substr(0, headerEnd);
    std::string body = data.substr(headerEnd + 4);
    std::size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const auto sp1 = requestLine.find(' ');
    const auto sp2 = requestLine.rfind(' ');
    if (sp1 == std::string::npos || sp2 == sp1) return false;
    out.method = requestLine.substr(0, sp1);
    out.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    out.path = out.target.substr(0, out.target.find('?'));
    std::size_t contentLength = 0;
    std::size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (pos < head.size()) {
        auto next = head.find("\r\n", pos);
        if (next == std::string::npos) next = head.size();
        const std::string line = head.substr(pos, next - pos);
        pos = next + 2;
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        const std::string name = line.substr(0, colon);
        if (::strcasecmp(name.c_str(), "Content-Length") == 0) contentLength = std::strtoul(value.c_str(), nullptr, 10);
        out.headers.emplace_back(name, value);
    }
    std::stable_sort(out.headers.begin(), out.headers.end(), [](const auto& a, const auto& b) {
        return ::strcasecmp(a.first.c_str(), b.first.c_str()) < 0;
    });
    contentLength = std::min<std::size_t>(contentLength, 1 << 20);
    while (body.size() < contentLength) {
        const int n = SSL_read(ssl, buffer, sizeof buffer);
        if (n <= 0) return false;
        body.append(buffer, static_cast<std::size_t>(n));
    }
    out.body = body.substr(0, contentLength);
    return true;
}

void resetConnection(int fd) {
    // A zero linger time turns close() into a reset (RST) instead of an orderly FIN.
    linger lin{};
    lin.l_onoff = 1;
    lin.l_linger = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
    ::close(fd);
}

void serveRaw(int fd, SSL_CTX* ctx, Recorder* recorder, std::string remote, RawEnd end) {
    SSL* ssl = SSL_new(ctx);
    if (ssl == nullptr) {
        ::close(fd);
        return;
    }
    SSL_set_fd(ssl, fd);
    RecordedRequest request;
    request.remote = std::move(remote);
    const bool handshake = SSL_accept(ssl) == 1;
    if (handshake && end == RawEnd::CloseWithoutAnswer && readRequest(ssl, request)) {
        recorder->record(request);
        SSL_shutdown(ssl);
        ::close(fd);
        SSL_free(ssl);
        return;
    }
    if (handshake && end == RawEnd::ResetMidBody && readRequest(ssl, request)) {
        recorder->record(request);
        std::string answer =
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
            std::to_string(kResetAnnouncedBytes) + "\r\nConnection: close\r\n\r\n";
        std::string body = "{\"padding\":\"";
        body.resize(kResetSentBytes, 'x');
        answer += body;
        if (writeAll(ssl, answer)) {
            // Let the client read what was sent before the reset discards the connection.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    }
    resetConnection(fd);
    SSL_free(ssl);
}

}  // namespace

bool makeIdentity(const std::string& commonName, bool expired, Identity& out, std::string& error) {
    out.key.reset(EVP_EC_gen("P-256"));
    if (!out.key) {
        error = opensslError("EC key generation failed");
        return false;
    }
    out.cert.reset(X509_new());
    X509* cert = out.cert.get();
    if (cert == nullptr || X509_set_version(cert, 2) != 1) {
        error = opensslError("X509_new failed");
        return false;
    }
    unsigned char serial[8];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7F;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert));
    BN_free(bn);
    const long day = 24L * 3600L;
    X509_gmtime_adj(X509_getm_notBefore(cert), expired ? -30 * day : -day);
    X509_gmtime_adj(X509_getm_notAfter(cert), expired ? -day : 365 * day);
    X509_set_pubkey(cert, out.key.get());
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Ostrel Ops simulator"),
                               -1, -1, 0);
    X509_set_issuer_name(cert, name);
    std::string san = "DNS:" + commonName;
    if (commonName == "localhost") san += ",IP:127.0.0.1,IP:::1";
    if (!addExtension(cert, NID_subject_alt_name, san) || !addExtension(cert, NID_basic_constraints, "CA:FALSE")) {
        error = opensslError("certificate extensions failed");
        return false;
    }
    if (X509_sign(cert, out.key.get(), EVP_sha256()) == 0) {
        error = opensslError("certificate signing failed");
        return false;
    }
    return true;
}

int listenOn(const std::string& address, int port, int& boundPort, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* result = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(address.c_str(), service.c_str(), &hints, &result) != 0 || result == nullptr) {
        error = "not a numeric address: " + address;
        return -1;
    }
    const int fd = ::socket(result->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (fd < 0 || ::bind(fd, result->ai_addr, result->ai_addrlen) != 0 || ::listen(fd, 64) != 0) {
        error = "cannot listen on " + address + ":" + service + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        ::freeaddrinfo(result);
        return -1;
    }
    ::freeaddrinfo(result);
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    boundPort = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6&>(bound).sin6_port)
                                            : ntohs(reinterpret_cast<sockaddr_in&>(bound).sin_port);
    return fd;
}

void runSilentListener(int listenFd) {
    std::vector<int> held;  // kept open for the life of the process, never read
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) held.push_back(fd);
        else if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void runRawTls(int listenFd, const Identity& identity, Recorder& recorder, RawEnd end) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr || SSL_CTX_use_certificate(ctx, identity.cert.get()) != 1 ||
        SSL_CTX_use_PrivateKey(ctx, identity.key.get()) != 1) {
        std::fprintf(stderr, "ostrel-system-sim: %s\n", opensslError("TLS set-up failed").c_str());
        std::_Exit(2);
    }
    for (;;) {
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        std::thread(serveRaw, fd, ctx, &recorder, peerAddress(peer), end).detach();
    }
}

}  // namespace ostrel::sim
