// Placeholder until the probe subcommand lands.
#include <cstdio>

#include "tools/cli/commands.h"

namespace ostrel::cli {

int runProbe(const std::vector<std::string>&) {
    std::fputs("ostrel-control-cli: 'probe' is not available in this build\n", stderr);
    return 2;
}

}  // namespace ostrel::cli
