#include "net/system_api.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "common/json_read.h"

namespace ostrel {
namespace {

using nlohmann::json;

// Answers are parsed leniently: anything that is not a JSON object counts as an object without keys.
json parseObject(const std::string& body) {
    json value = json_read::parse(body);
    if (value.is_discarded() || !value.is_object()) return json::object();
    return value;
}

// A member of the wrong type counts as missing.
std::string stringMember(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return {};
    return it->get<std::string>();
}

}  // namespace

ConnectResult runConnectProbe(const std::string& host, int port, const HttpFunction& http,
                              const FindSystemFunction& findSystem) {
    ConnectResult result;
    result.target.host = host;
    result.target.port = port;
    const std::string label = host + ":" + std::to_string(port);

    const HttpResult config = http("GET", host, port, "/api/source-config", "");
    if (!config.ok) {
        result.error = "Couldn't reach " + label + ": " + config.error + ".";
        return result;
    }
    const json identity = parseObject(config.body);
    const std::string systemId = stringMember(identity, "systemId");
    if (config.status != 200 || systemId.empty()) {
        result.error = label + " answered, but not as an Ostrel Ops system.";
        return result;
    }
    result.target.systemId = systemId;
    result.target.name = stringMember(identity, "systemName");
    if (result.target.name.empty()) result.target.name = host;

    SystemEntry known;
    if (findSystem && findSystem(systemId, known)) result.target.hosts = known.hosts;
    auto& hosts = result.target.hosts;
    if (std::find(hosts.begin(), hosts.end(), host) == hosts.end()) hosts.push_back(host);

    const HttpResult session = http("GET", host, port, "/api/control-session", "");
    if (session.ok && session.status == 200) {
        const json answer = parseObject(session.body);
        const auto it = answer.find("trusted");
        if (it != answer.end() && it->is_boolean()) result.trusted = it->get<bool>();
    }
    result.ok = true;
    return result;
}

std::string signInRequestBody(const std::string& password) {
    // A password with bytes that are not UTF-8 must not throw; such bytes become U+FFFD.
    return json{{"password", password}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

HttpResult runSignInRequest(const Target& target, const std::string& body, const HttpFunction& http) {
    return http("POST", target.host, target.port, "/api/control-auth", body);
}

SignInOutcome interpretSignIn(const HttpResult& result, bool typed) {
    SignInOutcome outcome;
    if (!result.ok) {
        outcome.kind = SignInOutcome::Kind::Unreachable;
        outcome.error = "Couldn't reach the system: " + result.error + ".";
        return outcome;
    }
    if (result.status == 200) {
        const std::string token = stringMember(parseObject(result.body), "token");
        if (!token.empty()) {
            outcome.kind = SignInOutcome::Kind::SignedIn;
            outcome.token = token;
            return outcome;
        }
    }
    outcome.kind = SignInOutcome::Kind::Refused;
    if (result.status == 401) {
        if (typed) {
            outcome.error = "Incorrect password.";
        } else {
            outcome.error = "The saved password is no longer correct. Type the current one.";
            outcome.deleteSavedPassword = true;
        }
    } else if (result.status == 429) {
        outcome.error = result.retryAfter.empty() ? "Too many attempts. Wait a moment and try again."
                                                  : "Too many attempts. Try again in " + result.retryAfter + " seconds.";
    } else {
        outcome.error = "Sign-in failed (HTTP " + std::to_string(result.status) + ").";
    }
    return outcome;
}

}  // namespace ostrel
