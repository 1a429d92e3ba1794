// The controller's side of LAN discovery: start, throttle, worker result and the event.
#include <gtest/gtest.h>

#include <string>

#include "tests/ctl/controller_fixture.h"

namespace ostrel::ctl::testing {
namespace {

using nlohmann::json;

DiscoveryResult oneSystem() {
    DiscoveryResult result;
    result.probes = 6;
    result.interfaces = 2;
    result.offers = 3;
    result.rejected = 1;
    DiscoveredSystem system;
    system.systemId = "4f2c0000";
    system.systemName = "Wall A";
    system.site = "North";
    system.status = "ok";
    system.addresses.push_back({"10.0.0.5", 8443, true, false, 12});
    system.addresses.push_back({"10.0.1.5", 8443, false, false, 30});
    result.systems.push_back(system);
    return result;
}

class ctlDiscovery : public ControllerTest {
protected:
    void SetUp() override {
        ControllerTest::SetUp();
        start();
        world.threads = FakeWorld::Threads::Queued;
        world.discovery = [] { return oneSystem(); };
    }
    void discover() { command({{"cmd", "discoverSystems"}}); }
    json lastDiscovery() const {
        auto all = eventsOf("discovery");
        return all.empty() ? json() : all.back();
    }
};

TEST_F(ctlDiscovery, RunPublishesSearchingThenTheSystems) {
    world.siteKey = "site-secret";
    discover();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], R"({"error":"","event":"discovery","state":"searching","systems":[]})");
    pump();
    ASSERT_EQ(world.discoveryOptions.size(), 1u);
    EXPECT_EQ(world.discoveryOptions[0].clientKind, "control-native");
    EXPECT_TRUE(world.discoveryOptions[0].siteKey == "site-secret");
    EXPECT_EQ(world.discoveryOptions[0].port, 0);
    EXPECT_EQ(world.discoveryOptions[0].group, "");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1],
              "{\"error\":\"\",\"event\":\"discovery\",\"state\":\"done\",\"systems\":[{\"addresses\":2,"
              "\"displayName\":\"North \xE2\x80\x94 Wall A\",\"host\":\"10.0.0.5\",\"port\":8443,\"status\":\"ok\","
              "\"systemId\":\"4f2c0000\"}]}");
    EXPECT_TRUE(log.contains("discovery: 6 probes on 2 interfaces, 3 offers (1 rejected), 1 systems"));
    EXPECT_EQ(log.settledText().find("site-secret"), std::string::npos);
}

TEST_F(ctlDiscovery, SecondStartWhileSearchingIsIgnored) {
    discover();
    discover();
    EXPECT_EQ(events.size(), 1u);
    EXPECT_EQ(world.queuedJobs(), 1u);
}

TEST_F(ctlDiscovery, ThrottleCountsFromTheLastAcceptedStart) {
    discover();
    pump();
    world.monoMs += 4999;
    discover();
    json throttled = lastDiscovery();
    EXPECT_EQ(throttled["state"], "throttled");
    EXPECT_EQ(throttled["systems"].size(), 1u);  // the previous run's list stays
    EXPECT_EQ(world.queuedJobs(), 0u);
    // A throttled call does not move the start time.
    world.monoMs += 1;
    discover();
    EXPECT_EQ(lastDiscovery()["state"], "searching");
    EXPECT_EQ(lastDiscovery()["systems"].size(), 1u);
    EXPECT_EQ(world.queuedJobs(), 1u);
}

TEST_F(ctlDiscovery, ThrottleIsSharedByEveryControllerOfTheProcess) {
    discover();
    pump();
    auto other = std::make_shared<AppController>(world.services(dir.path() / "other.json"));
    std::vector<std::string> otherEvents;
    other->setEventSink([&](const std::string& text) { otherEvents.push_back(text); });
    world.monoMs += 100;
    other->handleCommand(R"({"cmd":"discoverSystems"})");
    ASSERT_EQ(otherEvents.size(), 1u);
    EXPECT_NE(otherEvents[0].find("\"throttled\""), std::string::npos);
}

TEST_F(ctlDiscovery, FailureShowsItsErrorWithNoSystems) {
    world.discovery = [] {
        DiscoveryResult result;
        result.failed = true;
        result.error = "no usable network interface";
        return result;
    };
    discover();
    pump();
    EXPECT_EQ(events.back(),
              R"({"error":"no usable network interface","event":"discovery","state":"done","systems":[]})");
    EXPECT_TRUE(log.contains("discovery: 0 probes on 0 interfaces, 0 offers (0 rejected), 0 systems"));
    // The next run clears the error while searching.
    world.monoMs += 5000;
    discover();
    EXPECT_EQ(lastDiscovery()["error"], "");
}

TEST_F(ctlDiscovery, GetStateRepeatsTheLastDiscovery) {
    command({{"cmd", "getState"}});
    EXPECT_EQ(events.size(), 1u);
    discover();
    pump();
    events.clear();
    command({{"cmd", "getState"}});
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(eventsOf("state").size(), 1u);
    EXPECT_EQ(lastDiscovery()["state"], "done");
}

TEST_F(ctlDiscovery, ThreadThatCannotStartEndsTheRun) {
    world.threads = FakeWorld::Threads::Fail;
    discover();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1],
              R"({"error":"could not start a discovery run","event":"discovery","state":"done","systems":[]})");
}

}  // namespace
}  // namespace ostrel::ctl::testing
