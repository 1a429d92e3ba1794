// `ostrel-control-cli discover` end to end against simulator responders on loopback.
#include <gtest/gtest.h>

#include <string>

#include "tests/discovery/cli_support.h"
#include "tests/discovery/responder_support.h"

namespace {

using ostrel::test::Responder;
using ostrel::test::TempDir;

TEST(discovery_Cli, PrintsTheDiscoveryEventAndLogsTheCounts) {
    OSTREL_REQUIRE_NETNS();
    TempDir dir;
    const auto record = dir.path() / "rec.jsonl";
    Responder responder(47920, record,
                        {"--system", "id=4f2c0001,name=Wall A,site=North,hostname=nodeA,host=127.0.0.1,port=8443",
                         "--system", "id=a07b0002,name=Wall A,site=North,hostname=nodeB,host=127.0.0.2,port=9443"});
    ASSERT_TRUE(responder.ready());
    const auto run = ostrel::test::runCli(dir.path(), {"discover", "--port", "47920"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out,
              "{\"error\":\"\",\"event\":\"discovery\",\"state\":\"done\",\"systems\":["
              "{\"addresses\":1,\"displayName\":\"North \u2014 Wall A (nodeA \u00b7 4f2c)\",\"host\":\"127.0.0.1\","
              "\"port\":8443,\"status\":\"ok\",\"systemId\":\"4f2c0001\"},"
              "{\"addresses\":1,\"displayName\":\"North \u2014 Wall A (nodeB \u00b7 a07b)\",\"host\":\"127.0.0.2\","
              "\"port\":9443,\"status\":\"ok\",\"systemId\":\"a07b0002\"}]}\n");
    const auto records = ostrel::test::readRecords(record);
    const std::string line = "discovery: 9 probes on 1 interfaces, " +
                             std::to_string(ostrel::test::sumProbeField(records, "validOffersSent")) +
                             " offers (0 rejected), 2 systems";
    EXPECT_NE(run.logs.find(line), std::string::npos) << run.logs;
    for (const auto& probe : ostrel::test::probesOf(records)) {
        EXPECT_NE(probe["text"].get<std::string>().find(R"("client":{"kind":"control-native","os":"linux","ver":"1"})"),
                  std::string::npos);
    }
}

TEST(discovery_Cli, WithoutAnInterfaceTheRunFails) {
    OSTREL_REQUIRE_NETNS();
    TempDir dir;
    // A namespace of its own whose loopback is down: nothing to bind to.
    const auto run = ostrel::test::runCli(dir.path(), {"discover", "--port", "47922"}, {"/usr/bin/unshare", "-n"});
    if (run.exitCode != 1 && run.out.empty()) GTEST_SKIP() << "cannot create a nested network namespace here";
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(
        run.out,
        "{\"error\":\"no usable network interface\",\"event\":\"discovery\",\"state\":\"done\",\"systems\":[]}\n");
    EXPECT_NE(run.logs.find("discovery: 0 probes on 0 interfaces, 0 offers (0 rejected), 0 systems"),
              std::string::npos);
}

TEST(discovery_Cli, BadArgumentsAndAnUnwritableOutputFail) {
    TempDir dir;
    for (const auto& args : std::vector<std::vector<std::string>>{{"discover", "--port"},
                                                                  {"discover", "--port", "0"},
                                                                  {"discover", "--port", "65536"},
                                                                  {"discover", "--port", "12x"},
                                                                  {"discover", "extra"}}) {
        const auto run = ostrel::test::runCli(dir.path(), args);
        EXPECT_EQ(run.exitCode, 2) << args.back();
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find("--port N"), std::string::npos) << run.err;
    }
    if (!ostrel::test::inPrivateNetns()) return;  // the run below sends its probes
    const auto full = ostrel::test::runCli(dir.path(), {"discover", "--port", "47923"}, {}, "/dev/full");
    EXPECT_EQ(full.exitCode, 1);
    EXPECT_NE(full.err.find("could not write"), std::string::npos) << full.err;
}

}  // namespace
