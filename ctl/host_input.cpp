#include "ctl/host_input.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace ostrel::ctl {
namespace {

// Decimal with leading white space and a sign, stopping at the first non-digit, like strtol.
// Only a value in 1..65535 replaces the port; anything else leaves it alone.
void applyPortText(const std::string& text, int& port) {
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || errno == ERANGE) return;
    if (value >= 1 && value <= 65535) port = static_cast<int>(value);
}

}  // namespace

HostInput normalizeHostInput(std::string_view text, int port) {
    std::string s(text);
    const auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    size_t first = 0;
    while (first < s.size() && isBlank(s[first])) ++first;
    s.erase(0, first);
    while (!s.empty() && isBlank(s.back())) s.pop_back();

    if (const auto scheme = s.find("://"); scheme != std::string::npos) s.erase(0, scheme + 3);
    if (const auto cut = s.find_first_of("/?#"); cut != std::string::npos) s.erase(cut);
    if (const auto at = s.rfind('@'); at != std::string::npos) s.erase(0, at + 1);

    HostInput out;
    out.port = port;
    if (!s.empty() && s.front() == '[') {
        const auto close = s.find(']');
        if (close != std::string::npos && close + 1 < s.size() &&
            s[close + 1] == ':' && close + 2 < s.size()) {
            out.portText = s.substr(close + 2);
            applyPortText(*out.portText, out.port);
            s.erase(close + 1);
        }
    } else if (const auto colon = s.find(':'); colon != std::string::npos && s.find(':', colon + 1) == std::string::npos) {
        out.portText = s.substr(colon + 1);
        applyPortText(*out.portText, out.port);
        s.erase(colon);
    }
    out.host = std::move(s);
    return out;
}

}  // namespace ostrel::ctl
