// Two threads make the process's very first requests at the same moment: libcurl is set up
// exactly once and both requests succeed. Its own binary, so that they really are the first.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "net/http_client.h"
#include "tests/support/sim_process.h"

namespace ostrel {
namespace {

TEST(net_FirstRequest, TwoThreadsStartingTogetherBothSucceed) {
    test::SimProcess sim;
    ASSERT_TRUE(sim.ready()) << sim.failure();
    std::atomic<int> waiting{2};
    HttpResult results[2];
    auto run = [&](int i) {
        waiting.fetch_sub(1);
        while (waiting.load() > 0) std::this_thread::yield();
        results[i] =
            httpsRequest("GET", "127.0.0.1", sim.port(), i ? "/api/source-config" : "/api/control-session", "");
    };
    std::thread a(run, 0), b(run, 1);
    a.join();
    b.join();
    for (const auto& r : results) EXPECT_TRUE(r.ok && r.status == 200u) << r.error;
    EXPECT_EQ(sim.requests().size(), 2u);
}

}  // namespace
}  // namespace ostrel
