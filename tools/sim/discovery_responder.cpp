// Placeholder until the discovery responder lands.
#include "tools/sim/discovery_responder.h"

#include <cstdio>

namespace ostrel::sim {

int runDiscoveryResponder(int, char**) {
    std::fputs("ostrel-system-sim: the discovery responder is not available in this build\n", stderr);
    return 2;
}

}  // namespace ostrel::sim
