// `ostrel-control-cli probe` end to end: the JSON line, the exit codes, the operator texts of the
// transport failures, and the known hosts taken from the operator's settings.
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "store/settings_store.h"
#include "tests/net/net_test_env.h"
#include "tests/support/sim_process.h"
#include "tests/support/test_support.h"

namespace ostrel {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

struct CliRun {
    std::optional<int> code;
    std::string out, err;
};

class net_CliProbe : public ::testing::Test {
protected:
    CliRun probe(const std::string& argument, const char* stdoutFile = nullptr) {
        std::vector<std::string> argv = {test::programPath("OSTREL_CLI"), "probe", argument};
        if (stdoutFile) argv.insert(argv.begin(), {"/bin/sh", "-c", std::string("exec \"$0\" \"$@\" >") + stdoutFile});
        test::ChildProcess cli(argv, test::childEnvWithoutProxy());
        CliRun run;
        run.out = cli.readAllStdout(30s);
        run.err = cli.readAllStderr(5s);
        run.code = cli.wait(10s);
        return run;
    }

    test::NoProxyEnv noProxy_;
    test::TempDir dir_;
    test::IsolatedUserDirs user_{dir_.path()};
};

TEST_F(net_CliProbe, PrintsTheProbeAsOneSortedJsonLineWithTheKnownHosts) {
    test::SimProcess sim({"--system-id", "lab-7", "--system-name", "Lab seven", "--trusted", "true"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    {
        SettingsStore store;
        store.recordSignIn(SystemEntry{"lab-7", "Lab seven", "lab.example", 8443, {"10.0.0.7"}, 0, false});
    }
    const CliRun run = probe("https://127.0.0.1:" + std::to_string(sim.port()) + "/control/");
    ASSERT_EQ(run.code, 0) << run.err;
    const json expected = {{"ok", true},
                           {"error", ""},
                           {"target",
                            {{"host", "127.0.0.1"},
                             {"port", sim.port()},
                             {"systemId", "lab-7"},
                             {"name", "Lab seven"},
                             {"hosts", {"lab.example", "10.0.0.7", "127.0.0.1"}}}},
                           {"trusted", true}};
    EXPECT_EQ(run.out, expected.dump() + "\n");  // keys in ascending order, compact
    EXPECT_EQ(probe("127.0.0.1:" + std::to_string(sim.port()), "/dev/full").code, 1);
}

TEST_F(net_CliProbe, FailuresExitOneWithTheOperatorText) {
    test::SimProcess notASystem({"--source-config-status", "404"});
    test::SimProcess reset({"--reset-after-handshake"});
    test::SimProcess silent({"--close-without-answer"});
    ASSERT_TRUE(notASystem.ready() && reset.ready() && silent.ready());
    const int closed = test::closedLoopbackPort();
    const std::pair<int, std::string> cases[] = {
        {closed, ": nothing answered at that address and port."},
        {reset.port(), ": the connection was reset."},
        {silent.port(), ": the connection was reset."},
        {notASystem.port(), " answered, but not as an Ostrel Ops system."},
    };
    for (const auto& [port, text] : cases) {
        const std::string label = "127.0.0.1:" + std::to_string(port);
        const CliRun run = probe(label);
        EXPECT_EQ(run.code, 1) << label;
        const json line = json::parse(run.out, nullptr, false);
        EXPECT_EQ(line["ok"], false);
        const std::string expected = (port == notASystem.port() ? "" : "Couldn't reach ") + label + text;
        EXPECT_EQ(line["error"], expected);
        EXPECT_EQ(line["target"]["hosts"], json::array());
    }
    if (test::lookupsConfined()) {  // port 8443 is only known to be free inside the private namespace
        const json line = json::parse(probe("127.0.0.1").out, nullptr, false);
        EXPECT_EQ(line["target"]["port"], 8443);
    }
}

TEST_F(net_CliProbe, NoHostOrAnUnusablePortIsAUsageError) {
    for (const std::string argument :
         {"", "   ", "https://", "box:70000", "box:0", "box:abc", "box:12x", "[::1]:99999"}) {
        const CliRun run = probe(argument);
        EXPECT_EQ(run.code, 2) << argument;
        EXPECT_EQ(run.out, "") << argument;
        EXPECT_NE(run.err, "") << argument;
    }
}

}  // namespace
}  // namespace ostrel
