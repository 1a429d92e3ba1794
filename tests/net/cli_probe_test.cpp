// `ostrel-control-cli probe` end to end: the JSON line, the exit codes, the transport failures'
// texts, and the known hosts taken from the operator's settings.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "store/settings_store.h"
#include "tests/support/sim_process.h"

namespace ostrel {
namespace {

using nlohmann::json;

class net_CliProbe : public ::testing::Test {
protected:
    test::CliRun probe(const std::string& argument, const std::string& stdoutFile = "") {
        return test::runCli(dir_.path(), {"probe", argument}, {}, stdoutFile);
    }
    test::TempDir dir_;
};

TEST_F(net_CliProbe, PrintsTheProbeAsOneSortedJsonLineWithTheKnownHosts) {
    test::SimProcess sim({"--system-id", "lab-7", "--system-name", "Lab seven", "--trusted", "true"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    {
        test::IsolatedUserDirs user(dir_.path());  // the same settings folder the program is given
        SettingsStore().recordSignIn(SystemEntry{"lab-7", "Lab seven", "lab.example", 8443, {"10.0.0.7"}, 0, false});
    }
    const auto run = probe("https://127.0.0.1:" + std::to_string(sim.port()) + "/control/");
    ASSERT_EQ(run.code, 0) << run.err;
    const json target = {{"host", "127.0.0.1"},
                         {"port", sim.port()},
                         {"systemId", "lab-7"},
                         {"name", "Lab seven"},
                         {"hosts", {"lab.example", "10.0.0.7", "127.0.0.1"}}};
    EXPECT_EQ(run.out, json({{"ok", true}, {"error", ""}, {"target", target}, {"trusted", true}}).dump() + "\n");
    EXPECT_EQ(probe("127.0.0.1:" + std::to_string(sim.port()), "/dev/full").code, 1);
}

TEST_F(net_CliProbe, FailuresExitOneWithTheOperatorTextAndBadInputTwo) {
    const std::string label = "127.0.0.1:" + std::to_string(test::closedLoopbackPort());
    const auto run = probe(label);  // one transport failure: the texts themselves have their unit tables
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, json({{"ok", false},
                             {"error", "Couldn't reach " + label + ": nothing answered at that address and port."},
                             {"target",
                              {{"host", "127.0.0.1"},
                               {"port", std::stoi(label.substr(10))},
                               {"systemId", ""},
                               {"name", ""},
                               {"hosts", json::array()}}},
                             {"trusted", false}})
                               .dump() +
                           "\n");
    if (test::inPrivateNetns(true)) {  // port 8443 is only known to be free inside the private namespace
        EXPECT_EQ(json::parse(probe("127.0.0.1").out, nullptr, false)["target"]["port"], 8443);
    }
    for (const std::string argument :
         {"", "   ", "https://", "box:70000", "box:0", "box:abc", "box:12x", "[::1]:99999"}) {
        const auto run = probe(argument);
        EXPECT_TRUE(run.code == 2 && run.out.empty() && !run.err.empty()) << argument;
    }
}

}  // namespace
}  // namespace ostrel
