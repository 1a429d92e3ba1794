// Killing a save at random moments never leaves config.json torn, old or missing. The suite runs a
// few dozen kills; bench/store/crash-safety runs the long version (OSTREL_CRASH_KILLS=250).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "store/settings_store.h"
#include "tests/support/test_support.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;

// State n of the saver: systems n, n-1, ... (at most 32), lengths varying so that a torn or mixed
// file cannot pass for a whole one.
SystemEntry loopEntry(long n) {
    return SystemEntry{"loop-" + std::to_string(n),
                       "System " + std::string(static_cast<std::size_t>(n % 37), 'x'),
                       "10.0." + std::to_string(n % 250) + "." + std::to_string(n % 199 + 1),
                       static_cast<std::int32_t>(8000 + n % 1000),
                       {},
                       1767225600000 + n * 1000,
                       n % 2 == 1};
}

// Built independently of the store.
std::string expectedText(long n) {
    nlohmann::json systems = nlohmann::json::array();
    for (long i = n; i >= std::max(1L, n - 31); --i) {
        const SystemEntry e = loopEntry(i);
        systems.push_back({{"host", e.host},
                           {"hosts", {e.host}},
                           {"lastUsedMs", e.lastUsedMs},
                           {"name", e.name},
                           {"port", e.port},
                           {"sessionRemembered", e.sessionRemembered},
                           {"systemId", e.systemId}});
    }
    return nlohmann::json{{"autoSignIn", false}, {"lastSystemId", ""}, {"systems", systems}, {"version", 2}}.dump(2);
}

// A child that loads the file and saves state after state, `rounds` times or until killed.
pid_t startSaver(const fs::path& file, long rounds) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    SettingsStore store(file);
    store.load();
    const auto systems = store.systemsSnapshot();
    long n = systems.empty() ? 0 : std::stol(systems.front().systemId.substr(5));
    for (long i = 0; rounds < 0 || i < rounds; ++i) store.recordSignIn(loopEntry(++n));
    ::_exit(0);
}

TEST(store_CrashSafety, KillingASaveAtAnyMomentLeavesAWholeState) {
    const char* wanted = std::getenv("OSTREL_CRASH_KILLS");
    const int rounds = wanted != nullptr ? std::atoi(wanted) : 30;
    test::TempDir tmp;
    const fs::path file = tmp.path() / "config.json";
    const auto seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    // Microseconds; wide enough that a slow start (a sanitizer build) still leaves time for saves.
    std::uniform_int_distribution<int> pause(1000, 50000);
    const auto started = std::chrono::steady_clock::now();
    long last = 0;
    int killedMidSave = 0;
    for (int kill = 1; kill <= rounds; ++kill) {
        const pid_t pid = startSaver(file, -1);
        ASSERT_GT(pid, 0);
        ::usleep(static_cast<useconds_t>(pause(rng)));
        ::kill(pid, SIGKILL);
        ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
        killedMidSave += fs::exists(tmp.path() / "config.json.tmp");
        const std::string text = test::readFile(file);
        if (text.empty() && last == 0) continue;  // killed before the very first save
        auto parsed = nlohmann::json::parse(text, nullptr, false);
        ASSERT_TRUE(parsed.is_object()) << "kill " << kill << ": config.json is torn:\n" << text;
        const long n = std::stol(parsed["systems"][0]["systemId"].get<std::string>().substr(5));
        ASSERT_GE(n, last) << "config.json went backwards";
        ASSERT_EQ(text, expectedText(n)) << "kill " << kill;
        last = n;
    }
    EXPECT_GT(last, 3) << "too few saves completed to exercise anything";
    std::cout << "crash safety: " << rounds << " kills (" << killedMidSave << " inside a save), " << last
              << " states saved, " << std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()
              << " s\n";  // read by bench/store/crash-safety

    // A run that ends normally leaves no temporary file behind, whatever an earlier kill left.
    const pid_t clean = startSaver(file, 40);
    int status = 0;
    ASSERT_EQ(::waitpid(clean, &status, 0), clean);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(fs::exists(tmp.path() / "config.json.tmp"));
    EXPECT_EQ(test::readFile(file), expectedText(last + 40));
}

}  // namespace
}  // namespace ostrel
