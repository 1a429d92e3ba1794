// Placeholder until the bridge subcommand lands.
#include <cstdio>

#include "tools/cli/commands.h"

namespace ostrel::cli {

int runBridge(const std::vector<std::string>&) {
    std::fputs("ostrel-control-cli: 'bridge' is not available in this build\n", stderr);
    return 2;
}

}  // namespace ostrel::cli
