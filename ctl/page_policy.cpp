#include "ctl/page_policy.h"

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>

#include "ctl/url_parse.h"
#include "host_script_rest.h"

namespace ostrel::ctl {
namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    }
    return true;
}

// The system's source client never shows in the app: "/source" and everything below it.
bool isSourcePath(std::string_view path) {
    return path == "/source" || startsWith(path, "/source/");
}

bool isSingleDot(std::string_view segment) {
    return segment == "." || equalsIgnoringAsciiCase(segment, "%2e");
}

bool isDoubleDot(std::string_view segment) {
    return segment == ".." || equalsIgnoringAsciiCase(segment, ".%2e") || equalsIgnoringAsciiCase(segment, "%2e.") ||
           equalsIgnoringAsciiCase(segment, "%2e%2e");
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "%XX" escapes decoded as a server decodes them; a "%" without two hex digits stays as it is.
std::string percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

// IPv4 numbers in any base, or IPv6 with an optional zone of unreserved characters; lower case.
bool looksLikeAddress(std::string_view host) {
    const std::size_t percent = host.find('%');
    const std::string_view address = host.substr(0, percent);
    const std::string_view zone = percent == std::string_view::npos ? "" : host.substr(percent + 1);
    const bool ipv6 = address.find(':') != std::string_view::npos;
    return !address.empty() && address.find_first_not_of("0123456789abcdefx.:") == std::string_view::npos &&
           (percent == std::string_view::npos ||
            (ipv6 && !zone.empty() &&
             zone.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789._~-") == std::string_view::npos));
}

}  // namespace

std::string normalizeHost(std::string_view host) {
    std::string out(host);
    if (out.size() > 2 && out.front() == '[' && out.back() == ']') out = out.substr(1, out.size() - 2);
    std::transform(out.begin(), out.end(), out.begin(), lowerAscii);
    // An address has many spellings ("127.1", "0x7f.0.0.1", "fe80:0::1") and the URL parser gives
    // a page's host in its own canonical one: a system typed in another spelling would otherwise
    // not be its own host. Only text that can be an address goes through the parser, so a host
    // such as "x@10.0.0.5" never becomes the host of a URL made from it.
    if (looksLikeAddress(out)) {
        if (const auto url = parseUrl("https://" + urlHost(out) + "/"); url && !url->host.empty()) out = url->host;
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

bool hasControlCharacter(std::string_view url) {
    return std::any_of(url.begin(), url.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

std::string browserPath(std::string_view path) {
    std::vector<std::string_view> segments;
    std::size_t start = !path.empty() && (path.front() == '/' || path.front() == '\\') ? 1 : 0;
    for (;;) {
        const std::size_t end = path.find_first_of("/\\", start);
        const bool last = end == std::string_view::npos;
        const std::string_view segment = path.substr(start, last ? std::string_view::npos : end - start);
        if (isDoubleDot(segment)) {
            if (!segments.empty()) segments.pop_back();
            if (last) segments.emplace_back();
        } else if (isSingleDot(segment)) {
            if (last) segments.emplace_back();
        } else {
            segments.push_back(segment);
        }
        if (last) break;
        start = end + 1;
    }
    std::string out;
    for (const auto segment : segments) {
        out += '/';
        out += segment;
    }
    return out.empty() ? "/" : out;
}

std::optional<CrackedUrl> crackUrl(const std::string& url) {
    // Parsers disagree about control characters (one stops at a NUL, a browser drops tabs and
    // line breaks), so the host a rule would judge need not be the host the engine loads.
    if (hasControlCharacter(url)) return std::nullopt;
    return parseUrl(url);
}

bool isSignedInSystemUrl(const std::string& url, bool signedIn, const std::vector<std::string>& hosts) {
    if (!signedIn) return false;
    const auto cracked = crackUrl(url);
    if (!cracked) return false;
    if (!equalsIgnoringAsciiCase(cracked->scheme, "https")) return false;
    if (!isTargetHost(cracked->host, hosts)) return false;

    // Judged on the path alone ("/source#x" as well as "/source?x"), in the form the browser
    // requests ("/x/%2e%2e/source" and "/source\x" are under /source/), and once more as the
    // server reads that request: escapes decoded ("/%73ource") and dot segments resolved again.
    const std::string_view raw = std::string_view(cracked->path).substr(0, cracked->path.find_first_of("?#"));
    const std::string requested = browserPath(raw);
    if (isSourcePath(requested)) return false;
    const std::string decoded = percentDecoded(requested);
    if (hasControlCharacter(decoded)) return false;  // cannot be judged
    return !isSourcePath(browserPath(decoded));
}

bool opensInDefaultBrowser(const std::string& url) {
    // Only a URL that parses is handed on: the page chose it, the desktop opens it.
    return (startsWith(url, "https://") || startsWith(url, "http://")) && crackUrl(url).has_value();
}

Decision decideNavigation(const std::string& url, bool isMain, bool signedIn,
                          const std::vector<std::string>& hosts, const std::string& startPagePrefix) {
    if (hasControlCharacter(url)) return Decision::Cancel;
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
