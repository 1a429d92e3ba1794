#include "ctl/page_policy.h"

#include <memory>
#include <nlohmann/json.hpp>

#include "ctl/url_parse.h"
#include "host_script_rest.h"

namespace ostrel::ctl {
namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// The system's source client never shows in the app: "/source" and everything below it.
bool isSourcePath(std::string_view path) {
    return path == "/source" || startsWith(path, "/source/");
}

}  // namespace

std::string normalizeHost(std::string_view host) {
    std::string out(host);
    if (out.size() > 2 && out.front() == '[' && out.back() == ']') out = out.substr(1, out.size() - 2);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool isTargetHost(std::string_view host, const std::vector<std::string>& hosts) {
    const std::string wanted = normalizeHost(host);
    if (wanted.empty()) return false;
    for (const auto& entry : hosts) {
        if (normalizeHost(entry) == wanted) return true;
    }
    return false;
}

std::optional<CrackedUrl> crackUrl(const std::string& url) {
    auto parsed = parseUrl(url);
    if (!parsed) return std::nullopt;
    return std::move(parsed->cracked);
}

bool isSignedInSystemUrl(const std::string& url, bool signedIn, const std::vector<std::string>& hosts) {
    if (!signedIn) return false;
    const auto parsed = parseUrl(url);
    if (!parsed) return false;
    const CrackedUrl& cracked = parsed->cracked;
    if (!equalsIgnoringAsciiCase(cracked.scheme, "https")) return false;
    if (!isTargetHost(cracked.host, hosts)) return false;

    // Judged on the path alone, so that "/source#x" is caught as well as "/source?x"; and once
    // more with its escapes decoded, because the server decodes "/%73ource" to "/source".
    std::string_view path = cracked.path;
    path = path.substr(0, path.find_first_of("?#"));
    if (path.empty()) path = "/";
    if (isSourcePath(path)) return false;
    if (!parsed->decodedPath || isSourcePath(*parsed->decodedPath)) return false;
    return true;
}

bool opensInDefaultBrowser(const std::string& url) {
    // Only a URL that parses is handed on: the page chose it, the desktop opens it.
    return (startsWith(url, "https://") || startsWith(url, "http://")) && crackUrl(url).has_value();
}

Decision decideNavigation(const std::string& url, bool isMain, bool signedIn,
                          const std::vector<std::string>& hosts, const std::string& startPagePrefix) {
    // An empty prefix would match every URL.
    if (isMain && !startPagePrefix.empty() && startsWith(url, startPagePrefix)) return Decision::Allow;
    if (url == "about:blank") return Decision::Allow;
    if (isSignedInSystemUrl(url, signedIn, hosts)) return Decision::Allow;
    return opensInDefaultBrowser(url) ? Decision::OpenExternal : Decision::Cancel;
}

Decision decideNewWindow(const std::string& url, const std::string& windowName, bool signedIn,
                         const std::vector<std::string>& hosts, bool canCreatePopups) {
    if (windowName == kSourceTabWindowName) return Decision::Refuse;
    if (!isSignedInSystemUrl(url, signedIn, hosts))
        return opensInDefaultBrowser(url) ? Decision::OpenExternal : Decision::Refuse;
    return canCreatePopups ? Decision::Popup : Decision::Refuse;
}

Decision decideCertificateError(const std::string& url, bool signedIn, const std::vector<std::string>& hosts) {
    if (!signedIn) return Decision::Refuse;
    const auto cracked = crackUrl(url);
    return cracked && isTargetHost(cracked->host, hosts) ? Decision::Allow : Decision::Refuse;
}

std::string urlHost(std::string_view host) {
    // A host typed as "fe80::1" is kept as typed; only a URL needs the brackets.
    if (host.find(':') == std::string_view::npos || host.front() == '[') return std::string(host);
    std::string out = "[";
    for (const char c : host) out += c == '%' ? std::string("%25") : std::string(1, c);
    return out + "]";
}

std::string controlUrl(const Target& target) {
    return "https://" + urlHost(target.host) + ":" + std::to_string(target.port) + "/control/";
}

SessionCookie makeSessionCookie(const Target& target, const std::string& token, bool remember,
                                std::int64_t nowSeconds) {
    // Built in one go: GCC 12 at -O3 takes assigning a literal to a member string here for an
    // overlapping copy (a false -Wrestrict).
    SessionCookie cookie{kSessionCookieName, token, normalizeHost(target.host), "/", true, true, "Strict", {}};
    if (remember) cookie.expires = nowSeconds + kRememberedCookieSeconds;
    return cookie;
}

std::string hostScriptHosts(const std::vector<std::string>& hosts) {
    nlohmann::json array = nlohmann::json::array();
    for (const auto& host : hosts) array.push_back(normalizeHost(host));
    // Hosts come from the network: bytes that are not UTF-8 become U+FFFD instead of an exception.
    return array.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string hostScriptText(const std::vector<std::string>& hosts) {
    return "(function () {\n  var hosts = " + hostScriptHosts(hosts) + generated::kHostScriptRest;
}

}  // namespace ostrel::ctl
