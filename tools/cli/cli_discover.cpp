// Placeholder until the discover subcommand lands.
#include <cstdio>

#include "tools/cli/commands.h"

namespace ostrel::cli {

int runDiscover(const std::vector<std::string>&) {
    std::fputs("ostrel-control-cli: 'discover' is not available in this build\n", stderr);
    return 2;
}

}  // namespace ostrel::cli
