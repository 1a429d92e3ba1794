#pragma once
// Where the start page lives. The controller owns the start-page protocol, so it owns the
// address too; the shell serves the bundle there. WebKitGTK will not hand http(s) to a custom
// handler, so the bundle lives under a scheme of its own; the origin is two-label like a host.
#include <string_view>

namespace ostrel::ctl {

inline constexpr std::string_view kStartPageScheme = "ostrel-app";
inline constexpr std::string_view kStartPageHost = "control.ui";
// Every URL of the bundle begins with this prefix (exact, case-sensitive).
inline constexpr std::string_view kStartPageOrigin = "ostrel-app://control.ui/";
inline constexpr std::string_view kStartPageUrl = "ostrel-app://control.ui/index.html";

}  // namespace ostrel::ctl
