// Real worker threads against a UI thread that pumps the task queue, as the shell does; also run
// under TSan (ctest -L concurrency).
#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <thread>

#include "tests/ctl/controller_fixture.h"
#include "tests/support/test_support.h"

namespace ostrel::ctl::testing {
namespace {

struct ctlConcurrency : ::testing::Test, test::TempDir, Harness {
    ctlConcurrency() : Harness(path() / "config.json") { start(); }
};

TEST_F(ctlConcurrency, TasksPostedFromManyThreadsRunOnceInOrder) {
    constexpr int kThreads = 4, kPerThread = 2000;
    std::vector<int> order(kPerThread);
    std::iota(order.begin(), order.end(), 0);
    std::vector<std::vector<int>> seen(kThreads), expected(kThreads, order);  // `seen`: touched only by this thread
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) controller->post([&seen, t, i] { seen[t].push_back(i); });
        });
    }
    for (int round = 0; round < 1000000 && seen != expected; ++round) controller->runPostedTasks();  // as the UI thread
    for (auto& p : posters) p.join();
    controller->runPostedTasks();
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(window->wakes, kThreads * kPerThread);  // every post wakes the UI thread
}

TEST_F(ctlConcurrency, RacingFlowsAndCancelsApplyOnlyTheLastResult) {
    world.threads = FakeWorld::Threads::Real;
    std::atomic<int> calls{0};
    world.connect = [&](const std::string& host, int port, const FindSystemFunction& find) {
        // Some probes answer at once, some later, so results arrive in any order.
        std::this_thread::sleep_for(std::chrono::microseconds((calls.fetch_add(1) * 7919) % 3000));
        SystemEntry ignored;
        find("sys-" + host, ignored);  // the store's lock, taken from the worker
        return systemAt("sys-" + host, host)(host, port, find);
    };
    world.fallback = answer(200, R"({"token":"race-token"})");
    command({{"cmd", "discoverSystems"}});
    std::mt19937 random(12345);
    for (int i = 0; i < 150; ++i) {
        command({{"cmd", "connect"}, {"host", "host-" + std::to_string(i) + ".example"}});
        if (random() % 3 != 0) command({{"cmd", "cancel"}});
        if (random() % 4 == 0) controller->runPostedTasks();
        if (controller->phase() == Phase::Password) {
            command({{"cmd", "login"}, {"password", "race-password"}});  // a sign-in that is cancelled
            command({{"cmd", "back"}});
        }
    }
    command({{"cmd", "cancel"}});
    command({{"cmd", "connect"}, {"host", "final.example"}});
    for (int round = 0; round < 1000; ++round) controller->runPostedTasks();  // while the workers post
    world.waitForRealThreads();
    controller->runPostedTasks();
    EXPECT_EQ(controller->discoveryState(), "done");
    EXPECT_EQ(controller->phase(), Phase::Password);
    EXPECT_EQ(controller->target().systemId, "sys-final.example");
    EXPECT_FALSE(controller->signedIn());
    // No late sign-in saved a password, set a cookie or opened a page.
    for (const auto& line : log.take())
        EXPECT_TRUE(line.starts_with("state ") || line.starts_with("probe ") || line.starts_with("http ") ||
                    line.starts_with("discover") || line.starts_with("window off"))
            << line;
}

}  // namespace
}  // namespace ostrel::ctl::testing
