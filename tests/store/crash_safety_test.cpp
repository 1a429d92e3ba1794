#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <iostream>
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

long stateOf(const std::string& text) {
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_object() || !json.contains("systems") || !json["systems"].is_array() || json["systems"].empty()) {
        return -1;
    }
    const auto& id = json["systems"][0]["systemId"];
    if (!id.is_string() || id.get<std::string>().rfind("loop-", 0) != 0) return -1;
    return std::stol(id.get<std::string>().substr(5));
}

TEST(store_CrashSafety, KillingASaveAtAnyMomentLeavesAWholeState) {
    const std::string program = test::programPath("OSTREL_STORE_SAVE_LOOP");
    test::TempDir tmp;
    const fs::path file = tmp.path() / "config.json";
    const fs::path tmpFile = tmp.path() / "config.json.tmp";

    const auto seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> pause(0, 20000);  // microseconds

    const auto deadline = std::chrono::steady_clock::now() + 45s;
    long last = 0;
    int kills = 0;
    int killedMidSave = 0;
    test::ChildProcess server({program, file.string(), "--fork"});
    while (kills < 250 && std::chrono::steady_clock::now() < deadline) {
        ASSERT_TRUE(server.writeStdin("go\n"));
        const auto ready = server.readLine(10s);
        ASSERT_TRUE(ready.has_value()) << server.readAllStderr(1s);
        long state = -1;
        long pid = 0;
        ASSERT_EQ(std::sscanf(ready->c_str(), "ready %ld %ld", &state, &pid), 2) << *ready;
        ASSERT_EQ(state, last) << "the saver must resume from the last saved state";
        ::usleep(static_cast<useconds_t>(pause(rng)));
        ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGKILL), 0);
        ASSERT_EQ(server.readLine(10s), std::optional<std::string>("ended"));
        ++kills;
        if (fs::exists(tmpFile)) ++killedMidSave;

        const std::string text = test::readFile(file);
        if (text.empty() && last == 0) continue;  // killed before the very first save
        const long n = stateOf(text);
        ASSERT_GE(n, last) << "config.json went backwards or is not a saved state:\n" << text;
        ASSERT_EQ(text, test::expectedLoopText(n)) << "kill " << kills;
        last = n;
    }
    server.closeStdin();
    ASSERT_EQ(server.wait(10s), 0);
    EXPECT_GE(kills, 200);
    EXPECT_GT(last, 20) << "too few saves completed to exercise anything";
    EXPECT_GT(killedMidSave, 0) << "no kill landed inside a save";
    std::cout << kills << " kills, " << killedMidSave << " inside a save, " << last << " states saved\n";

    // A run that ends normally leaves no temporary file behind, whatever an earlier kill left.
    test::ChildProcess clean({program, file.string(), "40"});
    ASSERT_EQ(clean.wait(30s), 0) << clean.readAllStderr(1s);
    EXPECT_FALSE(fs::exists(tmpFile));
    EXPECT_EQ(test::readFile(file), test::expectedLoopText(last + 40));
}

}  // namespace
}  // namespace ostrel
