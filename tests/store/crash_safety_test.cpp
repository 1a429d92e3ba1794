// Killing a save at random moments never leaves config.json torn, old or missing. The suite runs a
// few dozen kills; bench/store/crash-safety runs the long version (OSTREL_CRASH_KILLS=250).
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <random>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "store/settings_store.h"
#include "tests/store/save_loop_state.h"
#include "tests/support/test_support.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(store_CrashSafety, KillingASaveAtAnyMomentLeavesAWholeState) {
    const char* wanted = std::getenv("OSTREL_CRASH_KILLS");
    const int rounds = wanted != nullptr ? std::atoi(wanted) : 30;
    const std::string program = test::programPath("OSTREL_STORE_SAVE_LOOP");
    test::TempDir tmp;
    const fs::path file = tmp.path() / "config.json";
    const auto seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> pause(0, 20000);  // microseconds

    const auto started = std::chrono::steady_clock::now();
    long last = 0;
    int kills = 0, killedMidSave = 0;
    test::ChildProcess server({program, file.string(), "--fork"});
    while (kills < rounds) {
        ASSERT_TRUE(server.writeStdin("go\n"));
        const auto ready = server.readLine(10s);
        ASSERT_TRUE(ready.has_value()) << server.readAllStderr(1s);
        long state = -1, pid = 0;
        ASSERT_EQ(std::sscanf(ready->c_str(), "ready %ld %ld", &state, &pid), 2) << *ready;
        ASSERT_EQ(state, last) << "the saver must resume from the last saved state";
        ::usleep(static_cast<useconds_t>(pause(rng)));
        ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGKILL), 0);
        ASSERT_EQ(server.readLine(10s), std::optional<std::string>("ended"));
        ++kills;
        killedMidSave += fs::exists(tmp.path() / "config.json.tmp");
        const std::string text = test::readFile(file);
        if (text.empty() && last == 0) continue;  // killed before the very first save
        SettingsStore reader(file);
        reader.load();
        const long n = test::loopStateNumber(reader.systemsSnapshot());
        ASSERT_GE(n, last) << "config.json went backwards or is not a saved state:\n" << text;
        ASSERT_EQ(text, test::expectedLoopText(n)) << "kill " << kills;
        last = n;
    }
    server.closeStdin();
    ASSERT_EQ(server.wait(10s), 0);
    EXPECT_GT(last, 3) << "too few saves completed to exercise anything";
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::cout << "crash safety: " << kills << " kills (" << killedMidSave << " inside a save), " << last
              << " states saved, " << seconds << " s\n";

    // A run that ends normally leaves no temporary file behind, whatever an earlier kill left.
    test::ChildProcess clean({program, file.string(), "40"});
    ASSERT_EQ(clean.wait(30s), 0) << clean.readAllStderr(1s);
    EXPECT_FALSE(fs::exists(tmp.path() / "config.json.tmp"));
    EXPECT_EQ(test::readFile(file), test::expectedLoopText(last + 40));
}

}  // namespace
}  // namespace ostrel
