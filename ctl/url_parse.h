#pragma once
// URL splitting on the platform's URL parser (libcurl's URL API on Linux).
#include <optional>
#include <string>

#include "ctl/page_policy.h"

namespace ostrel::ctl {

struct ParsedUrl {
    CrackedUrl cracked;
    // The path alone (no query, no fragment) with its percent escapes decoded; nullopt when it
    // does not decode to text without control characters.
    std::optional<std::string> decodedPath;
};

// nullopt when the parser refuses the text or the reading would be ambiguous.
std::optional<ParsedUrl> parseUrl(const std::string& url);

}  // namespace ostrel::ctl
