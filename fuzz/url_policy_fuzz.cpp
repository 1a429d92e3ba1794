// URLs through crackUrl and the three policy decisions. The decisions are checked against a
// reading of the URL made here the way a browser reads it (authority, IPv4 forms, backslashes,
// dot segments), so a URL the policy allows is one whose page really belongs to the system.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ctl/page_policy.h"
#include "fuzz/fuzz_support.h"

namespace {

using namespace ostrel::ctl;
using ostrel::fuzz::contains;

const char* const kHostChoices[] = {"10.0.0.5", "[FE80::1]", "Ops.Example", "127.0.0.1", "xn--bcher-kva.example",
                                    "ops.example."};
const std::string kStartPrefix = "ostrel-app://control.ui/";

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool isSpecialScheme(const std::string& scheme) {
    return scheme == "http" || scheme == "https" || scheme == "ws" || scheme == "wss" || scheme == "ftp";
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string percentDecode(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 && hexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// One IPv4 part as a browser reads it: "0x" hex, a leading 0 octal, else decimal.
std::optional<std::uint64_t> ipv4Number(std::string_view part) {
    int base = 10;
    if (part.size() >= 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
        base = 16;
        part.remove_prefix(2);
    } else if (part.size() >= 2 && part[0] == '0') {
        base = 8;
        part.remove_prefix(1);
    }
    if (part.empty()) return 0;
    std::uint64_t value = 0;
    for (const char c : part) {
        const int digit = hexDigit(c);
        if (digit < 0 || digit >= base) return std::nullopt;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
        if (value > 0xFFFFFFFFull) return std::nullopt;
    }
    return value;
}

// The browser's host for an ASCII domain: IPv4 forms made canonical; nullopt when a browser
// would refuse it or when this model cannot tell (non-ASCII needs IDNA).
std::optional<std::string> browserHost(const std::string& raw) {
    if (raw.empty()) return std::nullopt;
    if (raw.front() == '[') {
        // Zone ids are not part of browser URLs; anything else in brackets is an IPv6 literal.
        if (raw.back() != ']' || contains(raw, "%")) return std::nullopt;
        return lower(raw.substr(1, raw.size() - 2));
    }
    const std::string host = lower(percentDecode(raw));
    for (const char c : host) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80 || byte <= 0x20 || contains("#%/:<>?@[\\]^|", std::string(1, c))) return std::nullopt;
    }
    std::vector<std::string_view> parts;
    std::string_view rest = host;
    for (;;) {
        const auto dot = rest.find('.');
        parts.push_back(rest.substr(0, dot));
        if (dot == std::string_view::npos) break;
        rest.remove_prefix(dot + 1);
    }
    if (parts.size() > 1 && parts.back().empty()) parts.pop_back();
    // A host whose last label is a number is an IPv4 address, in any of the browser's forms.
    const std::string_view lastLabel = parts.back();
    const bool digits = !lastLabel.empty() &&
                        std::all_of(lastLabel.begin(), lastLabel.end(), [](char c) { return c >= '0' && c <= '9'; });
    const bool hex = lastLabel.size() >= 2 && lastLabel[0] == '0' && (lastLabel[1] | 0x20) == 'x' &&
                     std::all_of(lastLabel.begin() + 2, lastLabel.end(), [](char c) { return hexDigit(c) >= 0; });
    if (!digits && !hex) return host;  // a domain
    if (parts.size() > 4) return std::nullopt;
    std::uint64_t address = 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const auto number = ipv4Number(parts[i]);
        if (!number || parts[i].empty()) return std::nullopt;
        const bool last = i + 1 == parts.size();
        const std::uint64_t limit = last ? (1ull << (8 * (5 - parts.size()))) : 256;
        if (*number >= limit) return std::nullopt;
        address = last ? address * limit + *number : address * 256 + *number;
    }
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 255) + "." +
           std::to_string((address >> 8) & 255) + "." + std::to_string(address & 255);
}

struct BrowserUrl {
    std::string scheme;
    std::optional<std::string> host;  // nullopt: not modelled
    std::string path;                 // raw, without query and fragment
};

std::optional<BrowserUrl> browserRead(const std::string& url) {
    const auto colon = url.find(':');
    if (colon == std::string::npos || colon == 0) return std::nullopt;
    BrowserUrl out;
    out.scheme = lower(url.substr(0, colon));
    if (!isSpecialScheme(out.scheme)) return out;
    std::size_t at = colon + 1;
    while (at < url.size() && (url[at] == '/' || url[at] == '\\')) ++at;
    const std::size_t end = std::min(url.find_first_of("/\\?#", at), url.size());
    std::string authority = url.substr(at, end - at);
    if (const auto user = authority.rfind('@'); user != std::string::npos) authority.erase(0, user + 1);
    std::string host = authority;
    if (!host.empty() && host.front() == '[') {
        host = host.substr(0, host.find(']') == std::string::npos ? host.size() : host.find(']') + 1);
    } else {
        host = host.substr(0, host.find(':'));
    }
    out.host = browserHost(host);
    out.path = url.substr(end, url.find_first_of("?#", end) - std::min(end, url.size()));
    if (end < url.size() && (url[end] == '?' || url[end] == '#')) out.path.clear();
    return out;
}

// Dot segments resolved with "\" as a separator and "%2e" as a dot, written apart from the
// product's own resolver on purpose.
std::string resolved(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    std::vector<std::string> stack;
    std::size_t start = path.empty() || path[0] != '/' ? 0 : 1;
    for (;;) {
        const std::size_t slash = path.find('/', start);
        std::string segment = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        std::string dots = lower(segment);
        for (std::size_t p; (p = dots.find("%2e")) != std::string::npos;) dots.replace(p, 3, ".");
        const bool last = slash == std::string::npos;
        if (dots == "..") {
            if (!stack.empty()) stack.pop_back();
            if (last) stack.emplace_back();
        } else if (dots == ".") {
            if (last) stack.emplace_back();
        } else {
            stack.push_back(segment);
        }
        if (last) break;
        start = slash + 1;
    }
    std::string out;
    for (const auto& segment : stack) out += "/" + segment;
    return out.empty() ? "/" : out;
}

bool underSource(const std::string& path) { return path == "/source" || path.rfind("/source/", 0) == 0; }

bool inHosts(const std::string& host, const std::vector<std::string>& hosts) {
    return std::any_of(hosts.begin(), hosts.end(), [&](const std::string& h) { return normalizeHost(h) == host; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const auto flags = input.ConsumeIntegral<std::uint16_t>();
    const std::string extraHost = input.ConsumeRandomLengthString(64);
    const std::string windowName = input.ConsumeRandomLengthString(32);
    const std::string url = input.ConsumeRemainingBytesAsString();

    std::vector<std::string> hosts;
    for (std::size_t i = 0; i < std::size(kHostChoices); ++i) {
        if ((flags >> i) & 1) hosts.emplace_back(kHostChoices[i]);
    }
    if ((flags >> 6) & 1) hosts.push_back(extraHost);
    const bool signedIn = (flags >> 7) & 1;
    const bool isMain = (flags >> 8) & 1;
    const bool canCreatePopups = (flags >> 9) & 1;

    const auto cracked = crackUrl(url);
    const Decision navigation = decideNavigation(url, isMain, signedIn, hosts, kStartPrefix);
    const Decision newWindow = decideNewWindow(url, windowName, signedIn, hosts, canCreatePopups);
    const Decision certificate = decideCertificateError(url, signedIn, hosts);
    const bool systemUrl = isSignedInSystemUrl(url, signedIn, hosts);
    const bool startPage = isMain && url.rfind(kStartPrefix, 0) == 0;
    const std::string detail = "url=" + url + " signedIn=" + std::to_string(signedIn);

    if (hasControlCharacter(url)) {
        FUZZ_CHECK(!cracked && navigation == Decision::Cancel && newWindow == Decision::Refuse &&
                       certificate == Decision::Refuse,
                   detail);
        return 0;
    }
    if (cracked) {
        FUZZ_CHECK(cracked->path.empty() || cracked->path[0] == '/' || cracked->path[0] == '?' || cracked->path[0] == '#',
                   detail + " path=" + cracked->path);
    }

    // What the navigation rule lets through.
    if (navigation == Decision::Allow && !startPage && url != "about:blank") {
        FUZZ_CHECK(signedIn && systemUrl && cracked, detail);
        FUZZ_CHECK(lower(cracked->scheme) == "https", detail);
        FUZZ_CHECK(isTargetHost(cracked->host, hosts), detail);
        const auto browser = browserRead(url);
        FUZZ_CHECK(browser && browser->scheme == "https", detail);
        if (browser->host) FUZZ_CHECK(inHosts(*browser->host, hosts), detail + " browser host=" + *browser->host);
        const std::string requested = resolved(browser->path);
        FUZZ_CHECK(!underSource(requested), detail + " requested=" + requested);
        FUZZ_CHECK(!underSource(resolved(percentDecode(requested))), detail + " requested=" + requested);
    }
    if (navigation == Decision::OpenExternal) {
        FUZZ_CHECK((url.rfind("https://", 0) == 0 || url.rfind("http://", 0) == 0) && cracked, detail);
    }
    // The same URL is a system page for the navigation rule exactly when it gets a popup.
    if (url != "about:blank" && !startPage && windowName != kSourceTabWindowName) {
        const bool allowed = navigation == Decision::Allow;
        FUZZ_CHECK(allowed == systemUrl, detail);
        FUZZ_CHECK((newWindow == Decision::Popup) == (systemUrl && canCreatePopups), detail);
    }
    if (windowName == kSourceTabWindowName) FUZZ_CHECK(newWindow == Decision::Refuse, detail);
    if (!signedIn) {
        FUZZ_CHECK(certificate == Decision::Refuse && newWindow != Decision::Popup, detail);
        FUZZ_CHECK(navigation != Decision::Allow || startPage || url == "about:blank", detail);
    }
    if (certificate == Decision::Allow) {
        FUZZ_CHECK(signedIn && cracked && isTargetHost(cracked->host, hosts), detail);
        const auto browser = browserRead(url);
        if (browser && isSpecialScheme(browser->scheme) && browser->host) {
            FUZZ_CHECK(inHosts(*browser->host, hosts), detail + " browser host=" + *browser->host);
        }
    }
    // browserPath: always absolute, and resolving twice changes nothing.
    const std::string once = browserPath(url);
    FUZZ_CHECK(!once.empty() && once[0] == '/' && browserPath(once) == once, "path=" + url + " -> " + once);
    return 0;
}
