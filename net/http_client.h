#pragma once
// One blocking HTTPS request: any certificate accepted, no redirects, no cookies, 8-second limits
// per phase and 30 seconds for the whole request.
#include <cstdint>
#include <functional>
#include <string>

namespace ostrel {

struct HttpResult {
    bool ok = false;           // the response headers arrived
    std::uint32_t status = 0;
    std::string body;          // at most a little over 1 MiB
    std::string retryAfter;    // raw header text; empty when absent or longer than 63 characters
    std::string error;         // operator-readable reason when !ok
};

HttpResult httpsRequest(const std::string& method, const std::string& host, int port,
                        const std::string& path, const std::string& body);

// The reason text for a failed step and its library error code: one of the five operator phrases
// ("the connection timed out", ...) or "<step> failed (libcurl error N)".
std::string curlErrorText(const char* step, int code);

using HttpFunction = std::function<HttpResult(const std::string& method, const std::string& host, int port,
                                              const std::string& path, const std::string& body)>;

}  // namespace ostrel
