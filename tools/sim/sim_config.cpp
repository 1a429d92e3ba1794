#include "tools/sim/sim_config.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <set>

namespace ostrel::sim {
namespace {

using nlohmann::json;

const std::set<std::string> kTopKeys = {
    "systemId", "systemName", "omitSystemId", "omitSystemName", "trusted", "omitTrusted", "password",
    "token",    "pollMs",     "delayMs",      "trickleMs",      "bigBodyMiB", "setCookie", "redirect", "headers",
    "sourceConfig", "controlSession", "controlAuth", "controlLogout"};
const std::set<std::string> kEndpointKeys = {"status",    "body",       "delayMs", "trickleMs", "bigBodyMiB",
                                             "redirect",  "headers",    "retryAfter", "setCookie"};
constexpr std::array<const char*, 4> kEndpointNames = {"sourceConfig", "controlSession", "controlAuth",
                                                       "controlLogout"};

bool isNonNegativeInt(const json& v) { return v.is_number_integer() && v.get<long long>() >= 0; }

bool checkHeaders(const json& v, const std::string& where, std::string& error) {
    if (!v.is_object()) {
        error = where + ".headers must be an object of strings";
        return false;
    }
    for (const auto& [name, value] : v.items()) {
        if (!value.is_string() || name.empty() || name.find_first_of(":\r\n") != std::string::npos ||
            value.get<std::string>().find_first_of("\r\n") != std::string::npos) {
            error = where + ".headers: bad header " + name;
            return false;
        }
    }
    return true;
}

bool checkCommon(const std::string& key, const json& v, const std::string& where, std::string& error) {
    if (key == "delayMs" || key == "trickleMs" || key == "bigBodyMiB") {
        if (!isNonNegativeInt(v) || v.get<long long>() > 3600000) {
            error = where + "." + key + " must be a non-negative integer";
            return false;
        }
    } else if (key == "redirect" || key == "setCookie" || key == "retryAfter") {
        if (!v.is_null() && !v.is_string()) {
            error = where + "." + key + " must be a string or null";
            return false;
        }
        if (v.is_string() && v.get<std::string>().find_first_of("\r\n") != std::string::npos) {
            error = where + "." + key + " must be one line";
            return false;
        }
    } else if (key == "headers") {
        return checkHeaders(v, where, error);
    }
    return true;
}

std::optional<int> parseInt(const std::string& text) {
    int value = 0;
    const auto* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

}  // namespace

const char* endpointKey(Endpoint endpoint) { return kEndpointNames[static_cast<std::size_t>(endpoint)]; }

SimConfig::SimConfig() {
    config_ = {
        {"systemId", "ostrel-sim-0001"},
        {"systemName", "Simulated System"},
        {"omitSystemId", false},
        {"omitSystemName", false},
        {"trusted", false},
        {"omitTrusted", false},
        {"password", "ostrel-sim-password"},
        {"token", nullptr},
        {"pollMs", 3000},
        {"delayMs", 0},
        {"trickleMs", 0},
        {"bigBodyMiB", 0},
        {"setCookie", nullptr},
        {"redirect", nullptr},
        {"headers", json::object()},
    };
    for (const char* name : kEndpointNames) config_[name] = json::object();
}

bool SimConfig::check(const json& patch, std::string& error) {
    if (!patch.is_object()) {
        error = "the config must be a JSON object";
        return false;
    }
    for (const auto& [key, value] : patch.items()) {
        if (kTopKeys.count(key) == 0) {
            error = "unknown config key: " + key;
            return false;
        }
        if (key == "omitSystemId" || key == "omitSystemName" || key == "omitTrusted") {
            if (!value.is_boolean()) {
                error = key + " must be true or false";
                return false;
            }
        } else if (key == "password") {
            if (!value.is_string()) {
                error = "password must be a string";
                return false;
            }
        } else if (key == "token") {
            if (!value.is_null() && !(value.is_string() && !value.get<std::string>().empty())) {
                error = "token must be a non-empty string or null";
                return false;
            }
        } else if (key == "pollMs") {
            if (!value.is_number_integer() || value.get<long long>() < 100 || value.get<long long>() > 3600000) {
                error = "pollMs must be an integer from 100 to 3600000";
                return false;
            }
        } else if (std::find(kEndpointNames.begin(), kEndpointNames.end(), key) != kEndpointNames.end()) {
            if (!value.is_object()) {
                error = key + " must be an object";
                return false;
            }
            for (const auto& [k, v] : value.items()) {
                if (kEndpointKeys.count(k) == 0) {
                    error = "unknown key " + key + "." + k;
                    return false;
                }
                if (k == "status") {
                    if (!v.is_number_integer() || v.get<long long>() < 100 || v.get<long long>() > 999) {
                        error = key + ".status must be an integer from 100 to 999";
                        return false;
                    }
                } else if (k == "body") {
                    if (!v.is_string() && !v.is_null()) {
                        error = key + ".body must be a string (sent as is) or null";
                        return false;
                    }
                } else if (!checkCommon(k, v, key, error)) {
                    return false;
                }
            }
        } else if (!checkCommon(key, value, "config", error)) {
            return false;
        }
        // systemId, systemName and trusted take any JSON value.
    }
    return true;
}

bool SimConfig::merge(const json& patch, std::string& error) {
    if (!check(patch, error)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [key, value] : patch.items()) {
        // Endpoint objects and the header set merge member by member; every other key is replaced.
        const bool nested = key == "headers" ||
                            std::find(kEndpointNames.begin(), kEndpointNames.end(), key) != kEndpointNames.end();
        if (nested) {
            for (const auto& [k, v] : value.items()) config_[key][k] = v;
        } else {
            config_[key] = value;
        }
    }
    return true;
}

EndpointAnswer SimConfig::answer(Endpoint endpoint) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const json& top = config_;
    const json& own = config_.at(endpointKey(endpoint));
    // The top level always holds these keys (see the constructor).
    auto pick = [&](const char* key) -> const json& { return own.contains(key) ? own.at(key) : top.at(key); };
    EndpointAnswer a;
    if (own.contains("status")) a.status = own.at("status").get<int>();
    if (own.contains("body") && own.at("body").is_string()) a.body = own.at("body").get<std::string>();
    if (own.contains("retryAfter") && own.at("retryAfter").is_string()) {
        a.retryAfter = own.at("retryAfter").get<std::string>();
    }
    if (pick("redirect").is_string()) a.redirect = pick("redirect").get<std::string>();
    if (pick("setCookie").is_string()) a.setCookie = pick("setCookie").get<std::string>();
    a.delayMs = pick("delayMs").get<int>();
    a.trickleMs = pick("trickleMs").get<int>();
    a.bigBodyMiB = pick("bigBodyMiB").get<int>();
    for (const auto& [name, value] : top.at("headers").items()) {
        if (!own.contains("headers") || !own.at("headers").contains(name)) {
            a.headers.emplace_back(name, value.get<std::string>());
        }
    }
    if (own.contains("headers")) {
        for (const auto& [name, value] : own.at("headers").items()) a.headers.emplace_back(name, value.get<std::string>());
    }
    return a;
}

json SimConfig::sourceConfigBody() const {
    std::lock_guard<std::mutex> lock(mutex_);
    json body = json::object();
    if (!config_.at("omitSystemId").get<bool>()) body["systemId"] = config_.at("systemId");
    if (!config_.at("omitSystemName").get<bool>()) body["systemName"] = config_.at("systemName");
    return body;
}

json SimConfig::sessionBody() const {
    std::lock_guard<std::mutex> lock(mutex_);
    json body = json::object();
    if (!config_.at("omitTrusted").get<bool>()) body["trusted"] = config_.at("trusted");
    return body;
}

json SimConfig::systemIdValue() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (config_.at("omitSystemId").get<bool>()) return nullptr;
    return config_.at("systemId");
}

std::string SimConfig::systemNameText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (config_.at("omitSystemName").get<bool>() || !config_.at("systemName").is_string()) return {};
    return config_.at("systemName").get<std::string>();
}

std::string SimConfig::password() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_.at("password").get<std::string>();
}

std::optional<std::string> SimConfig::fixedToken() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (config_.at("token").is_string()) return config_.at("token").get<std::string>();
    return std::nullopt;
}

int SimConfig::pollMs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_.at("pollMs").get<int>();
}

bool answerSwitchPatch(const std::vector<std::string>& args, std::size_t& i, json& patch, bool& handled,
                       std::string& error) {
    handled = true;
    const std::string& name = args[i];
    // Switches without a value.
    if (name == "--no-system-id") {
        patch = {{"omitSystemId", true}};
        return true;
    }
    if (name == "--no-system-name") {
        patch = {{"omitSystemName", true}};
        return true;
    }
    if (name == "--no-trusted") {
        patch = {{"omitTrusted", true}};
        return true;
    }
    if (name == "--redirect") {
        patch = {{"redirect", "/redirected"}};
        return true;
    }
    if (name == "--set-cookie") {
        patch = {{"setCookie", "ostrel_sim_probe=1; Path=/; Secure"}};
        return true;
    }

    static const std::set<std::string> withValue = {
        "--config-json",  "--system-id",   "--system-id-json", "--system-name", "--system-name-json",
        "--password",     "--token",       "--trusted",        "--source-config-status",
        "--source-config-body", "--session-status", "--session-body", "--auth-status", "--auth-body",
        "--retry-after",  "--logout-status", "--delay-ms",     "--trickle-ms", "--big-body-mib", "--header", "--poll-ms"};
    if (withValue.count(name) == 0) {
        handled = false;
        return true;
    }
    if (i + 1 >= args.size()) {
        error = name + " needs a value";
        return false;
    }
    const std::string value = args[++i];
    auto rawJson = [&](json& out) {
        out = json::parse(value, nullptr, false);
        if (out.is_discarded()) {
            error = name + ": not a JSON value: " + value;
            return false;
        }
        return true;
    };
    auto integer = [&](int& out) {
        const auto parsed = parseInt(value);
        if (!parsed) {
            error = name + ": not an integer: " + value;
            return false;
        }
        out = *parsed;
        return true;
    };
    json v;
    int n = 0;
    if (name == "--config-json") {
        if (!rawJson(v)) return false;
        patch = v;
    } else if (name == "--system-id") {
        patch = {{"systemId", value}, {"omitSystemId", false}};
    } else if (name == "--system-id-json") {
        if (!rawJson(v)) return false;
        patch = {{"systemId", v}, {"omitSystemId", false}};
    } else if (name == "--system-name") {
        patch = {{"systemName", value}, {"omitSystemName", false}};
    } else if (name == "--system-name-json") {
        if (!rawJson(v)) return false;
        patch = {{"systemName", v}, {"omitSystemName", false}};
    } else if (name == "--password") {
        patch = {{"password", value}};
    } else if (name == "--token") {
        patch = {{"token", value}};
    } else if (name == "--trusted") {
        if (!rawJson(v)) return false;
        patch = {{"trusted", v}, {"omitTrusted", false}};
    } else if (name == "--source-config-status") {
        if (!integer(n)) return false;
        patch = {{"sourceConfig", {{"status", n}}}};
    } else if (name == "--source-config-body") {
        patch = {{"sourceConfig", {{"body", value}}}};
    } else if (name == "--session-status") {
        if (!integer(n)) return false;
        patch = {{"controlSession", {{"status", n}}}};
    } else if (name == "--session-body") {
        patch = {{"controlSession", {{"body", value}}}};
    } else if (name == "--auth-status") {
        if (!integer(n)) return false;
        patch = {{"controlAuth", {{"status", n}}}};
    } else if (name == "--auth-body") {
        patch = {{"controlAuth", {{"body", value}}}};
    } else if (name == "--retry-after") {
        patch = {{"controlAuth", {{"retryAfter", value}}}};
    } else if (name == "--logout-status") {
        if (!integer(n)) return false;
        patch = {{"controlLogout", {{"status", n}}}};
    } else if (name == "--delay-ms") {
        if (!integer(n)) return false;
        patch = {{"delayMs", n}};
    } else if (name == "--trickle-ms") {
        if (!integer(n)) return false;
        patch = {{"trickleMs", n}};
    } else if (name == "--big-body-mib") {
        if (!integer(n)) return false;
        patch = {{"bigBodyMiB", n}};
    } else if (name == "--poll-ms") {
        if (!integer(n)) return false;
        patch = {{"pollMs", n}};
    } else if (name == "--header") {
        const auto colon = value.find(':');
        if (colon == std::string::npos || colon == 0) {
            error = "--header needs NAME:VALUE";
            return false;
        }
        std::string headerValue = value.substr(colon + 1);
        headerValue.erase(0, headerValue.find_first_not_of(' '));
        patch = {{"headers", {{value.substr(0, colon), headerValue}}}};
    }
    return true;
}

}  // namespace ostrel::sim
