// `probe HOST[:PORT]`: the connect probe the app runs before sign-in, printed as one JSON line.
#include <cstdio>

#include <nlohmann/json.hpp>

#include "common/version.h"
#include "ctl/host_input.h"
#include "net/http_client.h"
#include "net/system_api.h"
#include "store/settings_store.h"
#include "tools/cli/commands.h"

namespace ostrel::cli {

int runProbe(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        std::fputs("usage: ostrel-control-cli probe HOST[:PORT]\n", stderr);
        return 2;
    }
    const ctl::HostInput input = ctl::normalizeHostInput(args.front(), kDefaultPort);
    if (input.host.empty()) {
        std::fputs("ostrel-control-cli probe: no host in the argument\n", stderr);
        return 2;
    }
    // The app quietly keeps its default for a port it cannot use; a command line says so.
    int port = 0;
    if (input.portText && !parsePortArgument(*input.portText, port)) {
        std::fputs("usage: ostrel-control-cli probe HOST[:PORT]   (PORT: 1-65535)\n", stderr);
        return 2;
    }
    // The known systems give the probe their other addresses, as in the app.
    SettingsStore store;
    store.load();
    const ConnectResult result = runConnectProbe(
        input.host, input.port, httpsRequest,
        [&store](const std::string& systemId, SystemEntry& out) { return store.findSystem(systemId, out); });

    const nlohmann::json line = {
        {"ok", result.ok},
        {"error", result.error},
        {"target",
         {{"host", result.target.host},
          {"port", result.target.port},
          {"systemId", result.target.systemId},
          {"name", result.target.name},
          {"hosts", result.target.hosts}}},
        {"trusted", result.trusted},
    };
    std::printf("%s\n", line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    if (!finishOutput("probe")) return 1;
    return result.ok ? 0 : 1;
}

}  // namespace ostrel::cli
