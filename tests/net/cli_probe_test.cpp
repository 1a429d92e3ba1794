// `ostrel-control-cli probe` against the simulator: the JSON line, the exit codes, and the
// known hosts taken from the operator's settings.
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
    std::string out;
    std::string err;
};

class net_CliProbe : public ::testing::Test {
protected:
    CliRun probe(const std::string& argument) {
        test::ChildProcess cli({test::programPath("OSTREL_CLI"), "probe", argument}, test::childEnvWithoutProxy());
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

TEST_F(net_CliProbe, PrintsTheProbeAsOneSortedJsonLine) {
    test::SimProcess sim({"--system-id", "lab-7", "--system-name", "Lab seven", "--trusted", "true"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    const CliRun run = probe("https://127.0.0.1:" + std::to_string(sim.port()) + "/control/");
    ASSERT_EQ(run.code, 0) << run.err;
    const json expected = {{"ok", true},
                           {"error", ""},
                           {"target",
                            {{"host", "127.0.0.1"},
                             {"port", sim.port()},
                             {"systemId", "lab-7"},
                             {"name", "Lab seven"},
                             {"hosts", {"127.0.0.1"}}}},
                           {"trusted", true}};
    EXPECT_EQ(run.out, expected.dump() + "\n");
    EXPECT_EQ(run.out.find("\"error\""), 1u);  // keys in ascending order, compact
}

TEST_F(net_CliProbe, KnownSystemKeepsItsStoredHosts) {
    test::SimProcess sim({"--system-id", "lab-7"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    {
        SettingsStore store;
        store.load();
        SystemEntry entry;
        entry.systemId = "lab-7";
        entry.name = "Lab seven";
        entry.host = "lab.example";
        entry.hosts = {"lab.example", "10.0.0.7"};
        store.recordSignIn(entry);
    }
    const CliRun run = probe("127.0.0.1:" + std::to_string(sim.port()));
    ASSERT_EQ(run.code, 0) << run.err;
    const json line = json::parse(run.out, nullptr, false);
    ASSERT_TRUE(line.is_object()) << run.out;
    EXPECT_EQ(line["target"]["hosts"], json({"lab.example", "10.0.0.7", "127.0.0.1"}));
    EXPECT_EQ(line["trusted"], false);
}

TEST_F(net_CliProbe, FailedProbeExitsOneWithTheOperatorText) {
    const int port = test::closedLoopbackPort();
    const CliRun run = probe("127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(run.code, 1);
    const json line = json::parse(run.out, nullptr, false);
    ASSERT_TRUE(line.is_object()) << run.out;
    EXPECT_EQ(line["ok"], false);
    EXPECT_EQ(line["error"], "Couldn't reach 127.0.0.1:" + std::to_string(port) +
                                 ": nothing answered at that address and port.");
    EXPECT_EQ(line["target"]["hosts"], json::array());
}

TEST_F(net_CliProbe, SystemAnsweringWrongIsNotASystem) {
    test::SimProcess sim({"--source-config-status", "404"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    const CliRun run = probe("127.0.0.1:" + std::to_string(sim.port()));
    EXPECT_EQ(run.code, 1);
    const json line = json::parse(run.out, nullptr, false);
    ASSERT_TRUE(line.is_object()) << run.out;
    EXPECT_EQ(line["error"], "127.0.0.1:" + std::to_string(sim.port()) + " answered, but not as an Ostrel Ops system.");
}

TEST_F(net_CliProbe, WithoutAPortTheDefaultPortIsProbed) {
    if (!test::lookupsConfined()) GTEST_SKIP() << "port 8443 is only known to be free inside the private namespace";
    const CliRun run = probe("127.0.0.1");
    EXPECT_EQ(run.code, 1);
    const json line = json::parse(run.out, nullptr, false);
    ASSERT_TRUE(line.is_object()) << run.out;
    EXPECT_EQ(line["target"]["port"], 8443);
    EXPECT_EQ(line["error"], "Couldn't reach 127.0.0.1:8443: nothing answered at that address and port.");
}

TEST_F(net_CliProbe, NoHostIsAUsageError) {
    for (const std::string argument : {"", "   ", "https://"}) {
        SCOPED_TRACE(argument);
        const CliRun run = probe(argument);
        EXPECT_EQ(run.code, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err, "");
    }
}

}  // namespace
}  // namespace ostrel
