#pragma once
// Rules for the system's pages inside the app: which navigations stay, which windows open,
// which certificates pass, the session cookie and the host script. Pure functions of the
// controller's state so every rule can be checked alone.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ctl/browser.h"
#include "net/system_api.h"

namespace ostrel::ctl {

inline constexpr const char* kSessionCookieName = "ostrel_control_session";
inline constexpr const char* kSourceTabWindowName = "ostrelSourceTab";
inline constexpr const char* kLogoutScript = "fetch('/api/control-logout', { method: 'POST', credentials: 'same-origin' })";
inline constexpr std::int64_t kRememberedCookieSeconds = 315360000;  // 3650 days

// Brackets of an IPv6 literal removed, ASCII letters lower-cased.
std::string normalizeHost(std::string_view host);
bool isTargetHost(std::string_view host, const std::vector<std::string>& hosts);

struct CrackedUrl {
    std::string scheme;
    std::string host;  // as the URL parser gives it (IPv6 without brackets)
    std::string path;  // keeps the query and fragment: "/source?x=1"
};
std::optional<CrackedUrl> crackUrl(const std::string& url);

bool isSignedInSystemUrl(const std::string& url, bool signedIn, const std::vector<std::string>& hosts);

// `startPagePrefix` is the shell's start-page origin prefix ("<scheme>://<host>/").
Decision decideNavigation(const std::string& url, bool isMain, bool signedIn,
                          const std::vector<std::string>& hosts, const std::string& startPagePrefix);
// Popup when the request is for a page of the signed-in system and popups can be made.
Decision decideNewWindow(const std::string& url, const std::string& windowName, bool signedIn,
                         const std::vector<std::string>& hosts, bool canCreatePopups);
Decision decideCertificateError(const std::string& url, bool signedIn, const std::vector<std::string>& hosts);
// Whether a cancelled URL may be handed to the default browser (http and https only).
bool opensInDefaultBrowser(const std::string& url);

std::string controlUrl(const Target& target);
SessionCookie makeSessionCookie(const Target& target, const std::string& token, bool remember,
                                std::int64_t nowSeconds);
// The JSON array of normalised hosts placed in the host script, compact.
std::string hostScriptHosts(const std::vector<std::string>& hosts);
std::string hostScriptText(const std::vector<std::string>& hosts);

}  // namespace ostrel::ctl
