// Real worker threads against a UI thread that pumps the task queue, as the shell does.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/ctl/controller_fixture.h"

namespace ostrel::ctl::testing {
namespace {

class ctlConcurrency : public ControllerTest {
protected:
    // The UI thread's loop: wait for a wake, run the posted tasks, until `done` holds.
    template <typename Done>
    bool pumpUntil(Done done, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        long seen = 0;
        for (;;) {
            controller->runPostedTasks();
            if (done()) return true;
            std::unique_lock<std::mutex> lock(window->mutex);
            window->woken.wait_until(
                lock, std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(50)),
                [&] { return window->wakes != seen; });
            seen = window->wakes;
            if (std::chrono::steady_clock::now() > deadline) return false;
        }
    }
};

TEST_F(ctlConcurrency, TasksPostedFromManyThreadsRunOnceInOrder) {
    start();
    constexpr int kThreads = 4;
    constexpr int kPerThread = 2000;
    std::vector<std::vector<int>> seen(kThreads);  // touched only by the UI thread
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) controller->post([&seen, t, i] { seen[t].push_back(i); });
        });
    }
    const bool finished = pumpUntil([&] {
        std::size_t total = 0;
        for (const auto& s : seen) total += s.size();
        return total == kThreads * kPerThread;
    });
    for (auto& p : posters) p.join();
    controller->runPostedTasks();
    ASSERT_TRUE(finished);
    for (const auto& s : seen) {
        ASSERT_EQ(s.size(), static_cast<std::size_t>(kPerThread));
        for (int i = 0; i < kPerThread; ++i) ASSERT_EQ(s[i], i);
    }
    EXPECT_GT(window->wakes, 0);
}

TEST_F(ctlConcurrency, RacingConnectsAndCancelsApplyOnlyTheLastResult) {
    start();
    world.threads = FakeWorld::Threads::Real;
    std::atomic<int> calls{0};
    world.connect = [&](const std::string& host, int port, const FindSystemFunction& find) {
        // Some probes answer at once, some later, so results arrive in any order.
        const int n = calls.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::microseconds((n * 7919) % 3000));
        SystemEntry ignored;
        find("sys-" + host, ignored);  // the store's lock, taken from the worker
        return systemAt(host, port, "sys-" + host, host);
    };
    std::mt19937 random(12345);
    for (int i = 0; i < 150; ++i) {
        command({{"cmd", "connect"}, {"host", "host-" + std::to_string(i) + ".example"}});
        if (random() % 3 != 0) command({{"cmd", "cancel"}});
        if (random() % 4 == 0) controller->runPostedTasks();
        if (controller->phase() == Phase::Password) command({{"cmd", "back"}});
    }
    command({{"cmd", "cancel"}});
    command({{"cmd", "connect"}, {"host", "final.example"}});
    ASSERT_TRUE(pumpUntil([&] { return controller->phase() == Phase::Password; }));
    world.waitForRealThreads();
    controller->runPostedTasks();
    EXPECT_EQ(controller->phase(), Phase::Password);
    EXPECT_EQ(controller->target().systemId, "sys-final.example");
    EXPECT_EQ(lastState()["target"]["host"], "final.example");
    EXPECT_EQ(calls.load(), static_cast<int>(world.probes.size()));
}

TEST_F(ctlConcurrency, LoginResultsAfterCancelNeverOpenASession) {
    start();
    world.connect = [](const std::string& host, int port, const FindSystemFunction&) {
        return systemAt(host, port, "sys-ctl-race", "Race");
    };
    command({{"cmd", "connect"}, {"host", "10.0.0.5"}});
    pump();
    ASSERT_EQ(controller->phase(), Phase::Password);
    world.threads = FakeWorld::Threads::Real;
    world.auth = [] {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        return httpAnswer(200, R"({"token":"race-token"})");
    };
    for (int i = 0; i < 100; ++i) {
        command({{"cmd", "login"}, {"password", "race-password"}});
        command({{"cmd", "cancel"}});
        controller->runPostedTasks();
        // Back to the password phase of the same target without a probe.
        command({{"cmd", "connect"}, {"host", "10.0.0.5"}});
        ASSERT_TRUE(pumpUntil([&] { return controller->phase() == Phase::Password; }));
    }
    world.waitForRealThreads();
    controller->runPostedTasks();
    EXPECT_FALSE(controller->signedIn());
    EXPECT_EQ(world.passwordSaves, 0);
    EXPECT_TRUE(view->cookies.empty());
}

TEST_F(ctlConcurrency, DiscoveryAndConnectWorkersPostTogether) {
    start();
    world.threads = FakeWorld::Threads::Real;
    world.discovery = [] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return DiscoveryResult{};
    };
    world.connect = [](const std::string& host, int port, const FindSystemFunction&) {
        return systemAt(host, port, "sys-ctl-dc", "DC", true);
    };
    command({{"cmd", "discoverSystems"}});
    command({{"cmd", "connect"}, {"host", "10.0.0.5"}});
    ASSERT_TRUE(pumpUntil([&] { return controller->signedIn() && controller->discoveryState() == "done"; }));
    world.waitForRealThreads();
}

}  // namespace
}  // namespace ostrel::ctl::testing
