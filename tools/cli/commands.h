#pragma once
// Subcommands of ostrel-control-cli. Each returns the process exit code; logging is initialised.
#include <string>
#include <vector>

namespace ostrel::cli {

int runProbe(const std::vector<std::string>& args);     // probe HOST[:PORT]
int runDiscover(const std::vector<std::string>& args);  // discover
int runBridge(const std::vector<std::string>& args);    // bridge

}  // namespace ostrel::cli
