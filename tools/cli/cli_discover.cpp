// `ostrel-control-cli discover [--port N]`: one discovery run, printed as the final "discovery" event.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "log/log.h"
#include "net/discovery.h"
#include "store/vault.h"
#include "tools/cli/commands.h"

namespace ostrel::cli {
namespace {

constexpr const char* kDiscoverUsage =
    "usage: ostrel-control-cli discover [--port N]\n"
    "  Sends the discovery probe as the app does and prints the resulting \"discovery\" event.\n"
    "  --port N   diagnostic: destination port of the probes (1-65535, default 47820)\n";

}  // namespace

bool parsePortArgument(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5) return false;
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return false;
    port = value;
    return true;
}

bool finishOutput(const char* command) {
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return true;
    std::fprintf(stderr, "ostrel-control-cli %s: could not write the result to standard output\n", command);
    return false;
}

int runDiscover(const std::vector<std::string>& args) {
    DiscoveryOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--port" && i + 1 < args.size() && parsePortArgument(args[i + 1], options.port)) {
            ++i;
            continue;
        }
        std::fputs(kDiscoverUsage, stderr);
        return 2;
    }
    options.clientKind = "control-native";
    options.siteKey = readSiteKey();

    const DiscoveryResult result = runDiscovery(options);
    options.siteKey.assign(options.siteKey.size(), '\0');
    const nlohmann::json systems = discoverySystemsJson(result.systems);
    log::logf(log::Info, "discovery: %d probes on %d interfaces, %d offers (%d rejected), %d systems", result.probes,
              result.interfaces, result.offers, result.rejected, static_cast<int>(result.systems.size()));

    const nlohmann::json event = {{"event", "discovery"},
                                  {"state", "done"},
                                  {"systems", systems},
                                  {"error", result.failed ? result.error : std::string()}};
    const std::string line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    if (!finishOutput("discover")) return 1;
    return result.failed ? 1 : 0;
}

}  // namespace ostrel::cli
