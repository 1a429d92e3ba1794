// ostrel-system-sim: plays an Ostrel Ops system on a local address for tests and demonstrations.
// See docs/simulator.md for the options, the config format, the ready line and the record format.
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/sim/discovery_responder.h"
#include "tools/sim/sim_config.h"
#include "tools/sim/sim_record.h"
#include "tools/sim/sim_server.h"
#include "tools/sim/sim_tls.h"

namespace {

using nlohmann::json;
using namespace ostrel::sim;

constexpr const char* kUsage =
    "usage: ostrel-system-sim [--address ADDR] [--port N] [--record FILE] [--config FILE]\n"
    "                         [answer switches] [--cert-cn NAME] [--cert-expired]\n"
    "                         [--silence | --reset-mid-body | --reset-after-handshake | --close-without-answer]\n"
    "                         [--exit-with-parent]\n"
    "       ostrel-system-sim discovery [OPTIONS]\n"
    "See docs/simulator.md for every switch and the config file format.\n";

struct Options {
    std::string address = "127.0.0.1";
    int port = 0;
    std::string recordPath;
    std::string certCommonName = "localhost";
    bool certExpired = false;
    bool exitWithParent = false;
    enum class Mode { Https, Silence, Raw } mode = Mode::Https;
    RawEnd rawEnd = RawEnd::ResetMidBody;
};

std::mutex stdoutMutex;

void printLine(const json& value) {
    std::lock_guard<std::mutex> lock(stdoutMutex);
    std::fputs((value.dump(-1, ' ', false, json::error_handler_t::replace) + "\n").c_str(), stdout);
    std::fflush(stdout);
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "ostrel-system-sim: %s\n%s", message.c_str(), kUsage);
    return 2;
}

bool readConfigFile(const std::string& path, json& out, std::string& error) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    std::fclose(file);
    out = json::parse(text, nullptr, false);
    if (out.is_discarded()) {
        error = path + " is not valid JSON";
        return false;
    }
    return true;
}

bool parseArgs(const std::vector<std::string>& args, Options& options, SimConfig& config, std::string& error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string text;
        if (arg == "--address") {
            if (!value(options.address)) return false;
        } else if (arg == "--port") {
            if (!value(text)) return false;
            char* end = nullptr;
            const long port = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || port < 0 || port > 65535) {
                error = "--port needs 0..65535";
                return false;
            }
            options.port = static_cast<int>(port);
        } else if (arg == "--record") {
            if (!value(options.recordPath)) return false;
        } else if (arg == "--config") {
            json patch;
            if (!value(text) || !readConfigFile(text, patch, error) || !config.merge(patch, error)) return false;
        } else if (arg == "--silence") {
            options.mode = Options::Mode::Silence;
        } else if (arg == "--reset-mid-body" || arg == "--reset-after-handshake" || arg == "--close-without-answer") {
            options.mode = Options::Mode::Raw;
            options.rawEnd = arg == "--reset-mid-body"          ? RawEnd::ResetMidBody
                             : arg == "--reset-after-handshake" ? RawEnd::ResetAfterHandshake
                                                                : RawEnd::CloseWithoutAnswer;
        } else if (arg == "--cert-cn") {
            if (!value(options.certCommonName)) return false;
        } else if (arg == "--cert-expired") {
            options.certExpired = true;
        } else if (arg == "--exit-with-parent") {
            options.exitWithParent = true;
        } else {
            json patch;
            bool handled = false;
            if (!answerSwitchPatch(args, i, patch, handled, error)) return false;
            if (!handled) {
                error = "unknown option: " + arg;
                return false;
            }
            if (!config.merge(patch, error)) return false;
        }
    }
    return true;
}

// Run-time changes: one config object per line on standard input, each answered on stdout.
void readStdinConfig(SimConfig* config) {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.empty()) continue;
        const json patch = json::parse(line, nullptr, false);
        std::string error;
        if (patch.is_discarded()) {
            printLine({{"configured", false}, {"error", "not valid JSON"}});
        } else if (!config->merge(patch, error)) {
            printLine({{"configured", false}, {"error", error}});
        } else {
            printLine({{"configured", true}});
        }
    }
}

extern "C" void endAtOnce(int) { ::_exit(0); }

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "discovery") == 0) {
        return ostrel::sim::runDiscoveryResponder(argc - 1, argv + 1);
    }
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const auto& arg : args) {
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    Options options;
    static SimConfig config;
    std::string error;
    if (!parseArgs(args, options, config, error)) return usageError(error);

    if (options.exitWithParent) {
        // A test that dies must not leave its simulator behind. The signal follows the thread
        // that started us; a parent gone before the call shows as a changed parent pid.
        const pid_t parent = ::getppid();
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) return 0;
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGTERM, endAtOnce);
    std::signal(SIGINT, endAtOnce);

    static Recorder recorder;
    if (!recorder.open(options.recordPath, error)) return usageError(error);
    static Identity identity;
    if (!makeIdentity(options.certCommonName, options.certExpired, identity, error)) {
        std::fprintf(stderr, "ostrel-system-sim: %s\n", error.c_str());
        return 2;
    }

    auto announce = [&](int boundPort) {
        printLine({{"address", options.address}, {"port", boundPort}, {"systemId", config.systemIdValue()}});
        std::thread(readStdinConfig, &config).detach();
    };

    if (options.mode == Options::Mode::Https) {
        static SystemBehaviour behaviour(config);
        return runHttpsServer(options.address, options.port, identity, behaviour, recorder, announce);
    }
    int boundPort = 0;
    const int fd = listenOn(options.address, options.port, boundPort, error);
    if (fd < 0) {
        std::fprintf(stderr, "ostrel-system-sim: %s\n", error.c_str());
        return 2;
    }
    announce(boundPort);
    if (options.mode == Options::Mode::Silence) runSilentListener(fd);
    runRawTls(fd, identity, recorder, options.rawEnd);
}
