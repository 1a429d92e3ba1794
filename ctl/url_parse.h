#pragma once
// URL splitting on the platform's URL parser (libcurl's URL API on Linux).
#include <optional>
#include <string>

#include "ctl/page_policy.h"

namespace ostrel::ctl {

// nullopt when the parser refuses the text or the reading would be ambiguous. The path comes
// back exactly as written (dot segments and escapes kept): the page policy resolves it the way
// a browser does.
std::optional<CrackedUrl> parseUrl(const std::string& url);

}  // namespace ostrel::ctl
