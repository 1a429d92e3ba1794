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

// Brackets of an IPv6 literal removed, ASCII letters lower-cased, an IP address in the URL
// parser's canonical spelling ("127.1" -> "127.0.0.1", "[FE80:0::1]" -> "fe80::1").
std::string normalizeHost(std::string_view host);
bool isTargetHost(std::string_view host, const std::vector<std::string>& hosts);

struct CrackedUrl {
    std::string scheme;
    std::string host;  // as the URL parser gives it (IPv6 without brackets; "fe80::1%eth0" with a zone)
    // As written, with the query and fragment: "/source?x=1"; escapes and dot segments kept.
    std::string path;
};
// A C0 control character or DEL anywhere: such a URL is never allowed, opened or judged.
bool hasControlCharacter(std::string_view url);
// nullopt for what the parser refuses: "mailto:", "about:", "javascript:", relative URLs, bad
// ports, blanks, control characters, and a backslash in the user part (where browsers and the
// parser disagree on the host). Every rule below treats nullopt as "not the system".
std::optional<CrackedUrl> crackUrl(const std::string& url);

// The path an https URL's path text (no query, no fragment) requests once a browser has read
// it: "\" separates segments like "/", "." and ".." segments (also written "%2e") are
// resolved, other escapes stay. "/x/%2e%2e/source" -> "/source", "/source\" -> "/source/".
std::string browserPath(std::string_view path);

// Signed in, scheme https (any case), host one of `hosts` (any port), and a path that is not
// "/source" or below it: judged without query and fragment, in the form the browser requests
// (browserPath) and in the form a server reads (escapes decoded, dot segments resolved again).
bool isSignedInSystemUrl(const std::string& url, bool signedIn, const std::vector<std::string>& hosts);

// Navigation of a view (any URL with a control character: Cancel). `startPagePrefix` is the shell's start-page origin prefix
// ("<scheme>://<host>/"); it counts only in the main view and only when not empty.
//   Allow         start page (main view only, exact case-sensitive prefix), "about:blank"
//                 exactly, or isSignedInSystemUrl
//   OpenExternal  anything else that opensInDefaultBrowser
//   Cancel        the rest (mailto:, javascript:, file:, other schemes, unparseable URLs)
// The caller logs "navigation kept out of the app: %s" for OpenExternal and Cancel.
Decision decideNavigation(const std::string& url, bool isMain, bool signedIn,
                          const std::vector<std::string>& hosts, const std::string& startPagePrefix);
// New-window request of a view:
//   Refuse        window name exactly "ostrelSourceTab", signed in or not (the caller logs
//                 "Add Source popup refused - this app does not host a source client")
//   OpenExternal  not a signed-in system URL, and opensInDefaultBrowser
//   Refuse        not a signed-in system URL otherwise (nothing opens)
//   Popup         a signed-in system URL and canCreatePopups (environment known, request deferrable)
//   Refuse        a signed-in system URL without canCreatePopups
Decision decideNewWindow(const std::string& url, const std::string& windowName, bool signedIn,
                         const std::vector<std::string>& hosts, bool canCreatePopups);
// Allow (always for this host) when signed in and the URL's host is one of `hosts`; scheme,
// port and path play no part. Otherwise Refuse; the caller logs "certificate error refused for %s".
Decision decideCertificateError(const std::string& url, bool signedIn, const std::vector<std::string>& hosts);
// Whether a cancelled URL may be handed to the default browser: begins with "https://" or
// "http://" (exact, lower case) and parses.
bool opensInDefaultBrowser(const std::string& url);

// A host as it goes into a URL: a bare IPv6 literal ("fe80::1", "fe80::1%eth0") in brackets, with
// the zone's "%" escaped; every other host text unchanged.
std::string urlHost(std::string_view host);
// "https://" + urlHost(host) + ":" + port + "/control/"
std::string controlUrl(const Target& target);
SessionCookie makeSessionCookie(const Target& target, const std::string& token, bool remember,
                                std::int64_t nowSeconds);
// The JSON array of normalised hosts placed in the host script, compact.
std::string hostScriptHosts(const std::vector<std::string>& hosts);
// The document-creation script for the system's pages (ctl/host_script.js with the host list
// filled in). Its messages to the host, as JSON objects: {"ostrelHost":"signedOut","reason":
// "logout"} and {"ostrelHost":"signedOut","reason":"expired"}, through chrome.webview.postMessage
// on WebView2 and the main-world script message handler "ostrelHost" on WebKitGTK.
std::string hostScriptText(const std::vector<std::string>& hosts);

}  // namespace ostrel::ctl
