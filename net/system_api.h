#pragma once
// The system's HTTP API as the program uses it: the connect probe and the sign-in request,
// as plain functions of an HTTP function so they can be tested alone.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/http_client.h"
#include "store/settings_store.h"

namespace ostrel {

struct Target {
    std::string host;
    std::int32_t port = 8443;
    std::string systemId;
    std::string name;
    std::vector<std::string> hosts;
};

struct ConnectResult {
    bool ok = false;
    std::string error;
    Target target;
    bool trusted = false;
};

using FindSystemFunction = std::function<bool(const std::string& systemId, SystemEntry& out)>;

// GET /api/source-config, then GET /api/control-session.
ConnectResult runConnectProbe(const std::string& host, int port, const HttpFunction& http,
                              const FindSystemFunction& findSystem);

// {"password":...}, compact.
std::string signInRequestBody(const std::string& password);

// POST /api/control-auth with the body.
HttpResult runSignInRequest(const Target& target, const std::string& body, const HttpFunction& http);

// What a /api/control-auth answer means for the operator.
struct SignInOutcome {
    enum class Kind { SignedIn, Refused, Unreachable };
    Kind kind = Kind::Refused;
    std::string token;                 // SignedIn
    std::string error;                 // Refused, Unreachable: the operator text
    bool deleteSavedPassword = false;  // a saved (not typed) password was refused with 401
};
SignInOutcome interpretSignIn(const HttpResult& result, bool typed);

}  // namespace ostrel
