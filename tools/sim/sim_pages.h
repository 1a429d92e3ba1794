#pragma once
// The simulated Control UI: small HTML pages with stable element ids for end-to-end tests.
#include <string>

namespace ostrel::sim {

// `cookieState`: "valid", "unknown" or "absent" (the server's view of the session cookie).
std::string controlPage(const std::string& systemName, const std::string& cookieState, int pollMs);
std::string popupPage(const std::string& cookieState);
std::string sourcePage();

}  // namespace ostrel::sim
