// Per-user folders on Linux follow the XDG base-directory rules: the configuration home for the
// roaming folder and the data home for the local one.
#include "store/app_dirs.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace ostrel {
namespace {

namespace fs = std::filesystem;

// An XDG variable counts only when it holds an absolute path; anything else is to be ignored.
fs::path absoluteFromEnv(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return {};
    fs::path p(value);
    if (!p.is_absolute()) return {};
    return p;
}

fs::path homeDir() {
    if (auto home = absoluteFromEnv("HOME"); !home.empty()) return home;
    // No usable HOME (e.g. a service environment): fall back to the password database.
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* result = nullptr;
    while (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == ERANGE) {
        if (buffer.size() > (1u << 20)) return {};
        buffer.resize(buffer.size() * 2);
    }
    if (result == nullptr || result->pw_dir == nullptr) return {};
    fs::path home(result->pw_dir);
    return home.is_absolute() ? home : fs::path();
}

// Creates every missing component with mode 0700; existing folders are left as they are.
void createPrivateFolders(const fs::path& folder) {
    fs::path current;
    for (const auto& part : folder) {
        current /= part;
        if (::mkdir(current.c_str(), 0700) != 0 && errno != EEXIST) {
            // A component we cannot create makes every deeper one fail too; saving reports it.
            return;
        }
    }
}

}  // namespace

fs::path appDataDir(KnownFolder folder) {
    fs::path base = absoluteFromEnv(folder == KnownFolder::Roaming ? "XDG_CONFIG_HOME" : "XDG_DATA_HOME");
    if (base.empty()) {
        const fs::path home = homeDir();
        if (home.empty()) return {};
        base = folder == KnownFolder::Roaming ? home / ".config" : home / ".local" / "share";
    }
    fs::path dir = base / "OstrelOps" / "control-app";
    createPrivateFolders(dir);
    return dir;
}

}  // namespace ostrel
