// ostrel-control-cli: the terminal companion of the app, for diagnostics, scripting and tests.
#include <cstdio>
#include <string>
#include <vector>

#include "app/crash_handler.h"
#include "common/version.h"
#include "log/log.h"
#include "tools/cli/commands.h"

namespace {

constexpr const char* kUsage =
    "usage: ostrel-control-cli --version | probe HOST[:PORT] | discover [--port N] | bridge\n";

int usageError() {
    std::fputs(kUsage, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return usageError();
    const std::string command = args.front();
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    int (*handler)(const std::vector<std::string>&) = nullptr;
    if (command == "--version" && rest.empty()) {
        handler = nullptr;
    } else if (command == "probe") {
        handler = ostrel::cli::runProbe;
    } else if (command == "discover") {
        handler = ostrel::cli::runDiscover;
    } else if (command == "bridge") {
        handler = ostrel::cli::runBridge;
    } else {
        return usageError();
    }

    ostrel::log::LogConfig config;
    config.source = "control-cli";
    // Standard output and error belong to the subcommands; the files get everything.
    config.consoleSink = false;
    ostrel::log::init(config);
    ostrel::crash::install(ostrel::crash::settingsFor(config.source));
    int code = 0;
    if (handler == nullptr) {
        std::printf("ostrel-control-cli %.*s (%.*s)\n", static_cast<int>(ostrel::kProgramVersion.size()),
                    ostrel::kProgramVersion.data(), static_cast<int>(ostrel::kReleaseName.size()),
                    ostrel::kReleaseName.data());
        std::fflush(stdout);
    } else {
        code = handler(rest);
    }
    ostrel::log::shutdown();
    return code;
}
