#include <signal.h>
#include <sys/resource.h>
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
using test::readFile;

TEST(store_AtomicFile, ReplacesContentExactlyPrivatelyOrNotAtAll) {
    test::TempDir tmp;
    const fs::path file = tmp.path() / "f.json", temporary = tmp.path() / "f.json.tmp";
    const auto descriptors = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    const auto openBefore = descriptors();
    EXPECT_FALSE(writeFileAtomic({}, "x"));
    test::writeFile(temporary, std::string(4096, 'z'));  // a longer leftover of a killed save leaks no tail
    const std::string big(3 << 20, 'q');                 // several write() calls' worth
    for (const std::string& content : {std::string("first"), std::string("a\0b\r\n\xff", 6), std::string(), big}) {
        ASSERT_TRUE(writeFileAtomic(file, content));
        EXPECT_TRUE(readFile(file) == content && readFileText(file) == content) << content.size();
        EXPECT_FALSE(fs::exists(temporary));
    }
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    // A write cut short (a file-size limit, as a full disk would) reports failure and keeps the old
    // file; the limit is set in a child, so that it does not reach this process.
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{1000, 1000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(writeFileAtomic(file, std::string(5000, 'n')) ? 1 : 0);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0) << "the write must report failure";
    EXPECT_TRUE(readFile(file) == big && !fs::exists(temporary));
    EXPECT_FALSE(writeFileAtomic(tmp.path() / "missing-folder" / "f.json", "x"));
    EXPECT_FALSE(fs::exists(tmp.path() / "missing-folder"));
    // A failed rename (a folder in the way) keeps the target and removes the temporary.
    fs::create_directories(tmp.path() / "busy" / "inside");
    EXPECT_FALSE(writeFileAtomic(tmp.path() / "busy", "x"));
    EXPECT_TRUE(fs::is_directory(tmp.path() / "busy" / "inside") && !fs::exists(tmp.path() / "busy.tmp"));
    EXPECT_EQ(descriptors(), openBefore) << "every file and folder opened is closed again";
    for (const fs::path& path : {fs::path(), tmp.path() / "absent", tmp.path()}) EXPECT_EQ(readFileText(path), "");
}

// Killing a save at random moments never leaves config.json torn, old or missing. The suite runs a
// few dozen kills; bench/store/crash-safety runs the long version (OSTREL_CRASH_KILLS=250).
// State n of the saver varies in length, so that a torn or mixed file cannot pass for a whole one.
std::string lastId(long n) {
    return "loop-" + std::to_string(n) + std::string(static_cast<std::size_t>(n % 37), '.');
}
std::string expectedText(long n) {  // built without the store
    return nlohmann::json{
        {"autoSignIn", n % 2 == 1}, {"lastSystemId", lastId(n)}, {"systems", nlohmann::json::array()}, {"version", 2}}
        .dump(2);
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
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {  // loads the file and saves state after state until killed
            SettingsStore store(file);
            store.load();
            const std::string id = store.lastSystem().systemId;
            for (long n = 1 + (id.empty() ? 0 : std::stol(id.substr(5)));; ++n)
                store.setLastSystem(lastId(n), n % 2 == 1);
        }
        ::usleep(static_cast<useconds_t>(pause(rng)));
        ::kill(pid, SIGKILL);
        ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
        killedMidSave += fs::exists(tmp.path() / "config.json.tmp");
        const std::string text = readFile(file);
        if (text.empty() && last == 0) continue;  // killed before the very first save
        const auto parsed = nlohmann::json::parse(text, nullptr, false);
        ASSERT_TRUE(parsed.is_object()) << "kill " << kill << ": config.json is torn:\n" << text;
        const long n = std::stol(parsed["lastSystemId"].get<std::string>().substr(5));
        ASSERT_GE(n, last) << "config.json went backwards";
        ASSERT_EQ(text, expectedText(n)) << "kill " << kill;
        last = n;
    }
    EXPECT_GT(last, 3) << "too few saves completed to exercise anything";
    std::cout << "crash safety: " << rounds << " kills (" << killedMidSave << " inside a save), " << last
              << " states saved, " << std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()
              << " s\n";  // read by bench/store/crash-safety
}

}  // namespace
}  // namespace ostrel
