// Where the logs live on Linux: OSTREL_OPS_LOG_DIR, else the XDG state folder.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "log/log.h"

namespace ostrel::log {
namespace {

std::filesystem::path homeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
    return "/tmp";
}

}  // namespace

std::filesystem::path resolveLogRoot() {
    if (const char* dir = std::getenv("OSTREL_OPS_LOG_DIR"); dir != nullptr && *dir != '\0') return dir;
    // Relative XDG values are invalid by the XDG rules and ignored.
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
        return std::filesystem::path(state) / "OstrelOps";
    }
    return homeFolder() / ".local" / "state" / "OstrelOps";
}

}  // namespace ostrel::log
