#include "app/crash_handler.h"

#include "log/log.h"

namespace ostrel::crash {

std::filesystem::path dumpFolder(std::string_view source) {
    return log::resolveLogRoot() / std::filesystem::path(std::string(source));
}

CrashSettings settingsFor(std::string_view source) {
    CrashSettings settings;
    settings.dumpDir = dumpFolder(source).string();
    settings.appName = std::string(source);
    return settings;
}

}  // namespace ostrel::crash
