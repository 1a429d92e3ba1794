// `ostrel-control-cli discover` end to end against simulator responders on loopback.
#include <gtest/gtest.h>

#include "tests/discovery/responder_support.h"

namespace ostrel::test {
namespace {

TEST(discovery_Cli, PrintsTheDiscoveryEventAndLogsTheCounts) {
    OSTREL_REQUIRE_NETNS();
    TempDir dir;
    Responder responder(47920, dir.path() / "rec.jsonl",
                        {"--system", "id=4f2c0001,name=Wall A,site=North,hostname=nodeA,host=127.0.0.1,port=8443",
                         "--system", "id=a07b0002,name=Wall A,site=North,hostname=nodeB,host=127.0.0.2,port=9443"});
    ASSERT_TRUE(responder.ready());
    const auto run = runCli(dir.path(), {"discover", "--port", "47920"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out,
              "{\"error\":\"\",\"event\":\"discovery\",\"state\":\"done\",\"systems\":["
              "{\"addresses\":1,\"displayName\":\"North \u2014 Wall A (nodeA \u00b7 4f2c)\",\"host\":\"127.0.0.1\","
              "\"port\":8443,\"status\":\"ok\",\"systemId\":\"4f2c0001\"},"
              "{\"addresses\":1,\"displayName\":\"North \u2014 Wall A (nodeB \u00b7 a07b)\",\"host\":\"127.0.0.2\","
              "\"port\":9443,\"status\":\"ok\",\"systemId\":\"a07b0002\"}]}\n");
    const auto probes = probesOf(dir.path() / "rec.jsonl");
    const std::string line = "discovery: 9 probes on 1 interfaces, " +
                             std::to_string(sumOf(probes, "validOffersSent")) + " offers (0 rejected), 2 systems";
    EXPECT_NE(run.logs.find(line), std::string::npos) << run.logs;
    for (const auto& probe : probes) {
        EXPECT_NE(probe["text"].get<std::string>().find(R"("client":{"kind":"control-native","os":"linux","ver":"1"})"),
                  std::string::npos);
    }
}

TEST(discovery_Cli, FailuresAndBadArguments) {
    TempDir dir;
    for (const std::vector<std::string>& args : {std::vector<std::string>{"discover", "--port"},
                                                 {"discover", "--port", "0"},
                                                 {"discover", "--port", "65536"},
                                                 {"discover", "--port", "12x"},
                                                 {"discover", "extra"}}) {
        const auto run = runCli(dir.path(), args);
        EXPECT_TRUE(run.code == 2 && run.out.empty()) << args.back();
        EXPECT_NE(run.err.find("--port N"), std::string::npos) << run.err;
    }
    OSTREL_REQUIRE_NETNS();  // the runs below send probes
    const auto full = runCli(dir.path(), {"discover", "--port", "47923"}, {}, "/dev/full");
    EXPECT_EQ(full.code, 1);
    EXPECT_NE(full.err.find("could not write"), std::string::npos) << full.err;
    // A namespace of its own whose loopback is down: nothing to bind to.
    const auto run = runCli(dir.path(), {"discover", "--port", "47922"}, {"/usr/bin/unshare", "-n"});
    if (run.code != 1 && run.out.empty()) GTEST_SKIP() << "cannot create a nested network namespace here";
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(
        run.out,
        "{\"error\":\"no usable network interface\",\"event\":\"discovery\",\"state\":\"done\",\"systems\":[]}\n");
    EXPECT_NE(run.logs.find("discovery: 0 probes on 0 interfaces, 0 offers (0 rejected), 0 systems"),
              std::string::npos);
}

}  // namespace
}  // namespace ostrel::test
