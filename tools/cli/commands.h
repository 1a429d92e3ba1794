#pragma once
// Subcommands of ostrel-control-cli. Each returns the process exit code; logging is initialised.
#include <string>
#include <vector>

namespace ostrel::cli {

int runProbe(const std::vector<std::string>& args);     // probe HOST[:PORT]
int runDiscover(const std::vector<std::string>& args);  // discover
int runBridge(const std::vector<std::string>& args);    // bridge

// A port on the command line: 1 to 5 decimal digits, 1..65535, nothing else.
bool parsePortArgument(const std::string& text, int& port);
// Flushes standard output; false (with a note on standard error) when it could not be written.
bool finishOutput(const char* command);

}  // namespace ostrel::cli
