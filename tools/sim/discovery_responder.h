#pragma once
// `ostrel-system-sim discovery [options]`: a UDP discovery responder that plays one or more systems.

namespace ostrel::sim {

// argv[0] is "discovery"; returns the process exit code.
int runDiscoveryResponder(int argc, char** argv);

}  // namespace ostrel::sim
