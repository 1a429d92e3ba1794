// Real worker threads against a UI thread that pumps the task queue, as the shell does; also run
// under TSan (ctest -L concurrency).
#include <gtest/gtest.h>

#include <random>

#include "tests/ctl/controller_fixture.h"

namespace ostrel::ctl::testing {
namespace {

class ctlConcurrency : public ControllerTest {
protected:
    // The UI thread's loop: wait for a wake, run the posted tasks, until `done` holds.
    template <typename Done>
    bool pumpUntil(Done done) {
        long seen = 0;
        for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
             std::chrono::steady_clock::now() < deadline;) {
            controller->runPostedTasks();
            if (done()) return true;
            std::unique_lock<std::mutex> lock(window->mutex);
            window->woken.wait_for(lock, std::chrono::milliseconds(50), [&] { return window->wakes != seen; });
            seen = window->wakes;
        }
        return false;
    }
};

TEST_F(ctlConcurrency, TasksPostedFromManyThreadsRunOnceInOrder) {
    start();
    constexpr int kThreads = 4, kPerThread = 2000;
    std::vector<std::vector<int>> seen(kThreads);  // touched only by the UI thread
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) controller->post([&seen, t, i] { seen[t].push_back(i); });
        });
    }
    std::vector<int> expected(kPerThread);
    for (int i = 0; i < kPerThread; ++i) expected[i] = i;
    const bool finished = pumpUntil([&] { return seen == std::vector<std::vector<int>>(kThreads, expected); });
    for (auto& p : posters) p.join();
    controller->runPostedTasks();
    EXPECT_TRUE(finished);
    EXPECT_EQ(seen, std::vector<std::vector<int>>(kThreads, expected));
    EXPECT_EQ(window->wakes, kThreads * kPerThread);  // every post wakes the UI thread
}

TEST_F(ctlConcurrency, RacingFlowsAndCancelsApplyOnlyTheLastResult) {
    start();
    world.threads = FakeWorld::Threads::Real;
    std::atomic<int> calls{0};
    world.connect = [&](const std::string& host, int port, const FindSystemFunction& find) {
        // Some probes answer at once, some later, so results arrive in any order.
        std::this_thread::sleep_for(std::chrono::microseconds((calls.fetch_add(1) * 7919) % 3000));
        SystemEntry ignored;
        find("sys-" + host, ignored);  // the store's lock, taken from the worker
        return systemAt("sys-" + host, host)(host, port, find);
    };
    world.auth = answer(200, R"({"token":"race-token"})");
    world.discovery = [] { return DiscoveryResult{}; };
    command({{"cmd", "discoverSystems"}});
    std::mt19937 random(12345);
    for (int i = 0; i < 150; ++i) {
        connect("host-" + std::to_string(i) + ".example");
        if (random() % 3 != 0) command({{"cmd", "cancel"}});
        if (random() % 4 == 0) controller->runPostedTasks();
        if (controller->phase() == Phase::Password) {
            login("race-password");  // a sign-in that is cancelled
            command({{"cmd", "back"}});
        }
    }
    command({{"cmd", "cancel"}});
    connect("final.example");
    ASSERT_TRUE(
        pumpUntil([&] { return controller->phase() == Phase::Password && controller->discoveryState() == "done"; }));
    world.waitForRealThreads();
    controller->runPostedTasks();
    EXPECT_EQ(controller->phase(), Phase::Password);
    EXPECT_EQ(controller->target().systemId, "sys-final.example");
    EXPECT_EQ(calls.load(), static_cast<int>(world.probes.size()));
    EXPECT_FALSE(controller->signedIn());
    EXPECT_EQ(world.passwordSaves, 0);
    EXPECT_TRUE(view->cookies.empty());
}

}  // namespace
}  // namespace ostrel::ctl::testing
