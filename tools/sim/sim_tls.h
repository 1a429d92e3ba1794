#pragma once
// The simulator's TLS identity (made in memory at start) and the raw transport modes that an
// HTTP library will not produce: a listener that never speaks, resets and closes without an answer.
#include <memory>
#include <string>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace ostrel::sim {

struct Identity {
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key{nullptr, EVP_PKEY_free};
    std::unique_ptr<X509, void (*)(X509*)> cert{nullptr, X509_free};
};

// EC P-256 key and a self-signed certificate for `commonName` (also its DNS name; loopback
// addresses are added for "localhost"). `expired`: validity ended a day ago.
bool makeIdentity(const std::string& commonName, bool expired, Identity& out, std::string& error);

// A bound, listening TCP socket on a numeric address; `port` 0 picks one. -1 on failure.
int listenOn(const std::string& address, int port, int& boundPort, std::string& error);

class Recorder;

// Accepts connections on `listenFd` and keeps them open without reading or writing. Never returns.
[[noreturn]] void runSilentListener(int listenFd);

// How a raw TLS connection ends, for the answers an HTTP library will not give.
enum class RawEnd {
    ResetMidBody,        // read one request (recorded), send 200 headers announcing 65536 body
                         // bytes and the first 4096, wait a moment, reset the connection (RST)
    ResetAfterHandshake, // reset the connection as soon as the handshake is done
    CloseWithoutAnswer,  // read one request (recorded), close in order without a byte of answer
};

// Accepts connections, completes each TLS handshake and ends it as `end` says. Never returns.
[[noreturn]] void runRawTls(int listenFd, const Identity& identity, Recorder& recorder, RawEnd end);

inline constexpr std::size_t kResetAnnouncedBytes = 65536;
inline constexpr std::size_t kResetSentBytes = 4096;

}  // namespace ostrel::sim
