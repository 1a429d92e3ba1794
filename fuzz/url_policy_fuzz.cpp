// URLs through crackUrl and the three policy decisions. What they let through is checked against
// the URL as a browser reads it, read here apart from the product's parser on purpose: the host
// after any user part (IPv4 numbers in any base) and the path a server serves.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <optional>

#include "ctl/page_policy.h"
#include "fuzz/fuzz_support.h"

using namespace ostrel::ctl;
using ostrel::fuzz::contains;
using ostrel::fuzz::splitOn;

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    return text;
}

std::string decoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The host a browser loads for a URL's host text; nullopt where this reading cannot tell
// (non-ASCII needs IDNA, IPv6 zones) or where the browser refuses the host.
std::optional<std::string> browserHost(const std::string& raw) {
    if (!raw.empty() && raw.front() == '[') {
        if (raw.back() != ']' || contains(raw, "%")) return std::nullopt;
        return lower(raw.substr(1, raw.size() - 2));
    }
    const std::string host = lower(decoded(raw));
    if (host.empty() || host.find_first_of("#%/:<>?@[\\]^|") != std::string::npos ||
        std::any_of(host.begin(), host.end(), [](char c) { return c <= 0x20 || c >= 0x7F; })) {
        return std::nullopt;
    }
    auto parts = splitOn(host, '.');
    if (parts.size() > 1 && parts.back().empty()) parts.pop_back();
    // A last label that is a number makes the host an IPv4 address in one of the browser's forms.
    const std::string_view last = parts.back();
    if (last.empty() || last.find_first_not_of(last.starts_with("0x") ? "0123456789abcdefx" : "0123456789") !=
                            std::string_view::npos) {
        return host;
    }
    if (parts.size() > 4) return std::nullopt;
    std::uint64_t address = 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string part(parts[i]);
        char* end = nullptr;
        const std::uint64_t number = part.empty() ? 0 : std::strtoull(part.c_str(), &end, 0);  // 0x hex, 0 octal
        const std::uint64_t limit = i + 1 == parts.size() ? 1ull << (8 * (5 - parts.size())) : 256;
        if (part.empty() || *end != '\0' || part.find_first_not_of("0123456789abcdefx") != std::string::npos ||
            number >= limit) {
            return std::nullopt;
        }
        address = i + 1 == parts.size() ? address * limit + number : address * 256 + number;
    }
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 255) + "." +
           std::to_string((address >> 8) & 255) + "." + std::to_string(address & 255);
}

// For a URL of a scheme with an authority: the host text after any user part and the path
// text before the query and the fragment.
struct Read {
    std::string scheme, host, path;
};
std::optional<Read> browserRead(const std::string& url) {
    const std::string scheme = lower(url.substr(0, url.find(':')));
    if (url.find(':') == std::string::npos || (scheme != "https" && scheme != "http" && scheme != "wss" && scheme != "ws" &&
                                               scheme != "ftp")) {
        return std::nullopt;
    }
    std::size_t at = scheme.size() + 1;
    while (at < url.size() && (url[at] == '/' || url[at] == '\\')) ++at;
    const std::size_t end = std::min(url.find_first_of("/\\?#", at), url.size());
    std::string host = url.substr(at, end - at);
    if (const auto user = host.rfind('@'); user != std::string::npos) host.erase(0, user + 1);
    const auto close = host.find(']');
    host = host.starts_with("[") ? host.substr(0, close == std::string::npos ? close : close + 1) : host.substr(0, host.find(':'));
    const bool bare = end < url.size() && (url[end] == '?' || url[end] == '#');
    return Read{scheme, host, bare ? std::string() : url.substr(end, url.find_first_of("?#", end) - end)};
}

// The path a server serves: escapes decoded, "\" read as "/", dot segments resolved.
bool servesSource(const std::string& path) {
    std::string text = decoded(path);
    std::replace(text.begin(), text.end(), '\\', '/');
    const auto segments = splitOn(std::string_view(text).substr(text.starts_with("/") ? 1 : 0), '/');
    std::vector<std::string_view> stack;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const bool up = segments[i] == "..";
        if (up && !stack.empty()) stack.pop_back();
        if (!up && segments[i] != ".") stack.push_back(segments[i]);
        if ((up || segments[i] == ".") && i + 1 == segments.size()) stack.emplace_back();
    }
    return !stack.empty() && stack[0] == "source";
}

bool inHosts(const std::optional<std::string>& host, const std::vector<std::string>& hosts) {
    return !host || std::any_of(hosts.begin(), hosts.end(), [&](const std::string& h) { return normalizeHost(h) == *host; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char* const kHostChoices[] = {"10.0.0.5",  "[FE80::1]", "Ops.Example", "127.0.0.1", "xn--bcher-kva.example",
                                               "ops.example."};
    const std::string startPrefix = "ostrel-app://control.ui/";
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
    const bool signedIn = (flags >> 7) & 1, isMain = (flags >> 8) & 1, canCreatePopups = (flags >> 9) & 1;

    const auto cracked = crackUrl(url);
    const Decision navigation = decideNavigation(url, isMain, signedIn, hosts, startPrefix);
    const Decision newWindow = decideNewWindow(url, windowName, signedIn, hosts, canCreatePopups);
    const Decision certificate = decideCertificateError(url, signedIn, hosts);
    const bool systemUrl = isSignedInSystemUrl(url, signedIn, hosts);
    const bool special = (isMain && url.starts_with(startPrefix)) || url == "about:blank";
    const std::string detail = "url=" + url + " signedIn=" + std::to_string(signedIn);

    if (hasControlCharacter(url)) {
        FUZZ_CHECK(!cracked && navigation == Decision::Cancel && newWindow == Decision::Refuse &&
                       certificate == Decision::Refuse,
                   detail);
        return 0;
    }
    FUZZ_CHECK(!cracked || cracked->path.empty() || contains("/?#", cracked->path.substr(0, 1)), detail);
    const auto read = browserRead(url);
    if (navigation == Decision::Allow && !special) {
        FUZZ_CHECK(signedIn && systemUrl && cracked && isTargetHost(cracked->host, hosts), detail);
        FUZZ_CHECK(read && read->scheme == "https" && inHosts(browserHost(read->host), hosts), detail);
        FUZZ_CHECK(!servesSource(read->path), detail);
    }
    if (certificate == Decision::Allow) {
        FUZZ_CHECK(signedIn && cracked && isTargetHost(cracked->host, hosts), detail);
        FUZZ_CHECK(!read || inHosts(browserHost(read->host), hosts), detail);
    }
    if (navigation == Decision::OpenExternal) {
        FUZZ_CHECK((url.starts_with("https://") || url.starts_with("http://")) && cracked, detail);
    }
    // The same URL is a system page for the navigation rule exactly when it gets a popup.
    if (windowName == kSourceTabWindowName) {
        FUZZ_CHECK(newWindow == Decision::Refuse, detail);
    } else if (!special) {
        FUZZ_CHECK((navigation == Decision::Allow) == systemUrl, detail);
        FUZZ_CHECK((newWindow == Decision::Popup) == (systemUrl && canCreatePopups), detail);
    }
    if (!signedIn) FUZZ_CHECK(certificate == Decision::Refuse && newWindow != Decision::Popup && !systemUrl, detail);
    const std::string path = browserPath(url);
    FUZZ_CHECK(path.starts_with("/") && browserPath(path) == path, "path=" + url + " -> " + path);
    return 0;
}
