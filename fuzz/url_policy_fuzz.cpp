// URLs through crackUrl and the three policy decisions. What they let through is checked against
// the URL as a browser reads it, read here apart from the product's parser on purpose: the host
// after any user part (IPv4 numbers in any base) and the path a server serves.
#include <arpa/inet.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <optional>

#include "ctl/page_policy.h"
#include "fuzz/fuzz_support.h"

using namespace ostrel::ctl;
using ostrel::fuzz::splitOn;

namespace {

std::string lower(std::string text) {
    for (char& c : text) c = c >= 'A' && c <= 'Z' ? char(c + 32) : c;
    return text;
}

std::string decoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool escape = text[i] == '%' && i + 2 < text.size() && std::isxdigit((unsigned char)text[i + 1]) &&
                            std::isxdigit((unsigned char)text[i + 2]);
        out += escape ? static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)) : text[i];
        i += escape ? 2 : 0;
    }
    return out;
}

// A host whose last label is a number is an IPv4 address to a browser; forms other than dotted
// decimal (hex, octal, fewer parts, a final dot) are not read here.
bool otherIpv4Form(std::string_view host) {
    const bool trailingDot = host.ends_with(".");
    if (trailingDot) host.remove_suffix(1);
    const auto last = host.substr(host.rfind('.') + 1);
    if (last.empty() ||
        last.find_first_not_of(last.starts_with("0x") ? "0123456789abcdefx" : "0123456789") != last.npos) {
        return false;
    }
    const auto parts = splitOn(host, '.');
    return trailingDot || parts.size() != 4 || std::any_of(parts.begin(), parts.end(), [](std::string_view p) {
               return p.empty() || p.size() > 3 || (p.size() > 1 && p[0] == '0') ||
                      p.find_first_not_of("0123456789") != p.npos || std::stoi(std::string(p)) > 255;
           });
}

// IPv6 literals compared as addresses: "fe80:0::1" is "fe80::1", however either side spells it.
std::string addressText(const std::string& host) {
    in6_addr address{};
    char text[INET6_ADDRSTRLEN];
    return inet_pton(AF_INET6, host.c_str(), &address) == 1 && inet_ntop(AF_INET6, &address, text, sizeof text)
               ? std::string(text)
               : host;
}

// Whether the host a browser loads for a URL's host text is one of `hosts`; true where this
// reading cannot tell (non-ASCII needs IDNA, IPv6 zones, other IPv4 forms).
bool browserHostIn(const std::string& raw, const std::vector<std::string>& hosts) {
    const bool bracketed = raw.starts_with("[") && raw.ends_with("]") && raw.find('%') == std::string::npos;
    const std::string host = addressText(lower(bracketed ? raw.substr(1, raw.size() - 2) : decoded(raw)));
    const bool unreadable = host.empty() || raw.starts_with("[") || host.find_first_of("#%/:<>?@[\\]^|") != host.npos ||
                            std::any_of(host.begin(), host.end(), [](char c) { return c <= 0x20 || c >= 0x7F; }) ||
                            otherIpv4Form(host);
    return (!bracketed && unreadable) || std::any_of(hosts.begin(), hosts.end(), [&](const std::string& h) {
               return addressText(normalizeHost(h)) == host;
           });
}

// The path a server serves for a path text: escapes decoded, "\" read as "/", dot segments resolved.
bool servesSource(std::string path) {
    path = decoded(path);
    std::replace(path.begin(), path.end(), '\\', '/');
    const auto segments = splitOn(std::string_view(path).substr(path.starts_with("/") ? 1 : 0), '/');
    std::vector<std::string_view> stack;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const bool dots = segments[i] == ".." || segments[i] == ".";
        if (segments[i] == ".." && !stack.empty()) stack.pop_back();
        if (!dots || i + 1 == segments.size()) stack.push_back(dots ? "" : segments[i]);
    }
    return !stack.empty() && stack[0] == "source";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char* const kHostChoices[] = {
        "10.0.0.5", "[FE80::1]", "Ops.Example", "127.0.0.1", "xn--bcher-kva.example", "ops.example."};
    const std::string startPrefix = "ostrel-app://control.ui/";
    FuzzedDataProvider input(data, size);
    const auto flags = input.ConsumeIntegral<std::uint16_t>();
    std::vector<std::string> hosts{input.ConsumeRandomLengthString(64)};
    const std::string windowName = input.ConsumeRandomLengthString(32);
    const std::string url = input.ConsumeRemainingBytesAsString();
    if (!(flags & 64)) hosts.clear();
    for (std::size_t i = 0; i < std::size(kHostChoices); ++i) {
        if ((flags >> i) & 1) hosts.emplace_back(kHostChoices[i]);
    }
    const bool signedIn = (flags >> 7) & 1, isMain = (flags >> 8) & 1, canCreatePopups = (flags >> 9) & 1;

    const auto cracked = crackUrl(url);
    const Decision navigation = decideNavigation(url, isMain, signedIn, hosts, startPrefix);
    const Decision newWindow = decideNewWindow(url, windowName, signedIn, hosts, canCreatePopups);
    const Decision certificate = decideCertificateError(url, signedIn, hosts);
    const bool systemUrl = isSignedInSystemUrl(url, signedIn, hosts);
    const bool special = (isMain && url.starts_with(startPrefix)) || url == "about:blank";
    const std::string requested = browserPath(url);
    FUZZ_CHECK(requested.starts_with("/") && browserPath(requested) == requested, url + " -> " + requested);
    if (hasControlCharacter(url)) {
        FUZZ_CHECK(!cracked && navigation == Decision::Cancel && newWindow == Decision::Refuse &&
                       certificate == Decision::Refuse,
                   url);
        return 0;
    }
    FUZZ_CHECK(!cracked || cracked->path.empty() || std::string_view("/?#").find(cracked->path[0]) != std::string::npos,
               url);

    // A browser's reading of URLs with an authority: the host after any user part, the path before query and fragment.
    const std::string scheme = lower(url.substr(0, url.find(':')));
    const bool authority = url.find(':') != std::string::npos && (scheme == "https" || scheme == "http" ||
                                                                  scheme == "wss" || scheme == "ws" || scheme == "ftp");
    const std::size_t start = url.find_first_not_of("/\\", scheme.size() + 1);
    const std::size_t end = std::min(url.find_first_of("/\\?#", start), url.size());
    std::string host = start == std::string::npos ? "" : url.substr(start, end - start);
    host.erase(0, std::min(host.rfind('@') + 1, host.size()));
    host = host.starts_with("[") ? host.substr(0, std::min(host.find(']'), host.size() - 1) + 1)
                                 : host.substr(0, host.find(':'));
    const bool pathFollows = end == url.size() || url[end] == '/' || url[end] == '\\';
    const std::string path = pathFollows ? url.substr(end, url.find_first_of("?#", end) - end) : "";
    if (navigation == Decision::Allow && !special) {
        FUZZ_CHECK(signedIn && systemUrl && cracked && isTargetHost(cracked->host, hosts), url);
        FUZZ_CHECK(scheme == "https" && authority && browserHostIn(host, hosts) && !servesSource(path), url);
    }
    if (certificate == Decision::Allow) {
        FUZZ_CHECK(
            signedIn && cracked && isTargetHost(cracked->host, hosts) && (!authority || browserHostIn(host, hosts)),
            url);
    }
    if (navigation == Decision::OpenExternal)
        FUZZ_CHECK((url.starts_with("https://") || url.starts_with("http://")) && cracked, url);
    // The same URL is a system page for the navigation rule exactly when it gets a popup.
    if (windowName == kSourceTabWindowName) {
        FUZZ_CHECK(newWindow == Decision::Refuse, url);
    } else if (!special) {
        FUZZ_CHECK((navigation == Decision::Allow) == systemUrl &&
                       (newWindow == Decision::Popup) == (systemUrl && canCreatePopups),
                   url);
    }
    if (!signedIn) FUZZ_CHECK(certificate == Decision::Refuse && newWindow != Decision::Popup && !systemUrl, url);
    return 0;
}
