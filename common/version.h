#pragma once
// Fixed values of this build, kept in one place.
#include <string_view>

namespace ostrel {

inline constexpr std::string_view kProgramVersion = "1.0.0.40";
inline constexpr std::string_view kReleaseName = "2026 R1";
inline constexpr std::string_view kSourceRevision = "10a309613";
inline constexpr int kDefaultPort = 8443;
inline constexpr std::string_view kUserAgent = "OstrelOpsControl/1.0.0.40";
// The desktop id: single-instance name on the session bus, .desktop file, icon and metainfo.
inline constexpr const char* kApplicationId = "org.ostrelops.Control";

}  // namespace ostrel
