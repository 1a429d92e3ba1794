// The settings store and the vault, against real files and the test environment's Secret Service (its
// keyring is shared by all test processes). Built again to run with a session bus that leads nowhere.
#include <glib.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <random>
#include <ranges>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "log/log.h"
#include "store/app_dirs.h"
#include "store/settings_store.h"
#include "store/vault.h"
#include "tests/support/test_support.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using test::readFile;

// A GLib critical (a null handed to a GLib call) ends the test instead of scrolling by.
[[maybe_unused]] const bool kGlibCriticalsAreFatal =
    (g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL)), true);

std::size_t countOf(const std::string& haystack, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++count;
    return count;
}

// Every test runs in its own process, with its own per-user folders (configPath() lands in `folder`) and log.
class StoreFixture : public ::testing::Test {
protected:
    test::TempDir tmp;
    test::IsolatedUserDirs dirs{tmp.path()};
    fs::path folder = dirs.config() / "OstrelOps" / "control-app", file = folder / "config.json";
    void SetUp() override { log::init({}); }
    void TearDown() override { log::shutdown(); }

    std::string loggedText() {  // shuts logging down (which flushes) and returns the pretty log
        const auto pretty = log::prettyLogPath();
        log::shutdown();
        return readFile(pretty);
    }
    void writeConfig(const std::string& text) {
        fs::create_directories(folder);
        test::writeFile(file, text);
    }
};

#ifdef OSTREL_VAULT_NO_BUS
using store_VaultNoBus = StoreFixture;

// Reads are empty; writes fail promptly (a short time-out) with a warning that names the error.
TEST_F(store_VaultNoBus, ReadsAreEmptyAndWritesFailWithAWarning) {
    ASSERT_STREQ(std::getenv("DBUS_SESSION_BUS_ADDRESS"), "unix:path=/nonexistent/bus");
    const std::string password = "nobus-password-51f0", siteKey = "nobus-site-key-9d27";
    EXPECT_TRUE(readPassword("sys").empty() && !hasPassword("sys") && !savePassword("sys", password));
    EXPECT_TRUE(readSiteKey().empty() && !hasSiteKey() && !saveSiteKey(siteKey));
    deleteSiteKey();
    deletePassword("sys");
    // The library's error: "Could not connect: ..." with its code (G_IO_ERROR_NOT_FOUND).
    EXPECT_EQ(countOf(loggedText(), "could not save a credential to the Secret Service (error 1: Could not connect"),
              2u);
    const std::string logs = test::readTree(dirs.logs());
    EXPECT_TRUE(logs.find(password) == std::string::npos && logs.find(siteKey) == std::string::npos);
}

#else
using store_Vault = StoreFixture;

// The site key: this binary holds the resource lock "ostrel_site_key" like every other user of it.
TEST_F(store_Vault, SiteKeyAndForgottenPasswordsStayOutOfConfigAndLogs) {
    EXPECT_EQ(credentialTarget("abc-123"), "OstrelOps Control/abc-123");
    const std::string a = "store-test-" + std::to_string(::getpid()), b = a + "-b";
    const std::string raw("p\xC3\xA4ss \xF0\x9F\x94\x90 \"'\\\0\xFF", 16);
    const std::string password = "Pw-\xE2\x9C\x93-7c1e0b2f9a", siteKey = "Sk-\xC3\xBC-4be1d07c35";
    ASSERT_TRUE(savePassword(a, raw) && savePassword(b, password));
    EXPECT_TRUE(hasPassword(a) && readPassword(a) == raw);
    SettingsStore().forgetSystem(a);  // deletes the credential of a system the list does not hold
    EXPECT_TRUE(!hasPassword(a) && readPassword(a).empty() && readPassword(b) == password);
    deletePassword(b);
    EXPECT_FALSE(savePassword("", "not-kept") || hasPassword(""));  // an empty id is never stored

    ASSERT_TRUE(saveSiteKey(siteKey) && savePassword("site-key", "system-password"));  // same target, other user
    EXPECT_TRUE(readSiteKey() == siteKey && readPassword("site-key") == "system-password");
    deletePassword("site-key");
    EXPECT_TRUE(hasSiteKey());
    loggedText();
    const std::string all = readFile(file) + test::readTree(dirs.logs());
    EXPECT_TRUE(all.find(password) == std::string::npos && all.find(siteKey) == std::string::npos);
    deleteSiteKey();
}

SystemEntry entry(const std::string& id, const std::string& host, std::vector<std::string> hosts = {},
                  std::int64_t lastUsedMs = 1000, bool remembered = false) {
    return SystemEntry{id, "Name of " + id, host, 9443, std::move(hosts), lastUsedMs, remembered};
}

// The whole state on one line: the last system, "+" for auto sign-in, "|id/name/host:port/hosts/ms/R" each.
std::string state(SettingsStore& store) {
    std::string out = store.lastSystem().systemId + (store.lastSystem().autoSignIn ? "+" : "-");
    for (const auto& s : store.systemsSnapshot()) {
        out += "|" + s.systemId + "/" + s.name + "/" + s.host + ":" + std::to_string(s.port) + "/";
        for (const auto& h : s.hosts) out += h + (&h == &s.hosts.back() ? "" : ",");
        out += "/" + std::to_string(s.lastUsedMs) + (s.sessionRemembered ? "/R" : "/-");
    }
    return out;
}

using store_File = StoreFixture;

TEST_F(store_File, LoadsWholeOrNotAtAllAndMovesAnUnreadableFileAsideWithoutEverOverwriting) {
    const std::string v2 = R"({"version": 2, "lastSystemId": "ok", "autoSignIn": true, "systems": [)"
                           R"({"systemId": "ok", "host": "h"})";
    // The state a file loads to; nullptr: unreadable as a whole, so the store starts empty.
    const std::pair<std::optional<std::string>, const char*> rows[] = {
        {std::nullopt, "-"},  // no file
        {R"({"autoSignIn": true, "lastSystemId": "b", "version": 2, "unknownMember": {"ignored": true}, "systems": [
           {"systemId": "a", "name": "Alpha", "host": "10.0.0.1", "port": 2147483647, "sessionRemembered": true,
            "lastUsedMs": 9223372036854775807, "hosts": ["10.0.0.1", 7, "alpha.local", null]},
           {"systemId": "nohost", "name": "No host"}, {"systemId": "", "host": "10.0.0.9"}, 42,
           {"systemId": "b", "host": "beta.local", "hosts": "not an array", "port": -2147483648,
            "lastUsedMs": -9223372036854775808}, {"systemId": "a", "host": "10.0.0.2"}]})",
         "b+|a/Alpha/10.0.0.1:2147483647/10.0.0.1,alpha.local/9223372036854775807/R"
         "|b//beta.local:-2147483648//-9223372036854775808/-|a//10.0.0.2:8443//0/-"},
        {"not json", nullptr},
        {R"({"version": 3})", nullptr},  // written by a newer version
        {R"({"version": 2.0})", nullptr},
        {R"({"version": 2, "lastSystemId": 5})", nullptr},
        {v2 + R"(, {"systemId": "b", "name": false}]})", nullptr},  // even on an entry that would be dropped
        {v2 + R"(, {"systemId": "b", "host": "h", "port": "8443"}]})", nullptr},
        {v2 + R"(, {"systemId": "b", "host": "h", "port": 4294967297}]})", nullptr},
        // The parser would stop at a NUL and take the text before it for the whole file.
        {v2 + "]}" + std::string(1, '\0') + "junk", nullptr},
    };
    std::size_t damaged = 0;
    for (const auto& [text, loads] : rows) {
        SCOPED_TRACE(text.value_or("(no file)"));
        fs::remove_all(folder);
        if (text) writeConfig(*text);
        SettingsStore store;
        store.load();
        EXPECT_EQ(state(store), loads != nullptr ? loads : "-");
        EXPECT_EQ(readFile(file), text.value_or("")) << "left alone until the next save";
        store.recordSignIn(entry("new", "10.0.0.2"));
        store.setLastSystem("new", true);  // the second save moves nothing more
        EXPECT_EQ(readFile(file), store.serialize());
        const auto files = test::listFiles(folder);  // config.json, then the one moved aside
        ASSERT_EQ(files.size(), loads != nullptr ? 1u : 2u);
        if (loads != nullptr) continue;
        ++damaged;
        EXPECT_EQ(readFile(files[1]), *text);
    }

    // A folder in the place of the file is unreadable too. While every name the next few seconds could
    // give is taken, nothing is saved; then it takes the last one free.
    fs::remove_all(folder);
    fs::create_directories(file / "inside");
    const auto now = std::chrono::system_clock::now().time_since_epoch() / std::chrono::seconds(1);
    const auto asideAt = [&](int second, int n) {
        const std::string stamp = "config.json.unreadable-" + log::makeFileStamp(now + second, 0, false);
        return folder / (n == 1 ? stamp : stamp + "-" + std::to_string(n));
    };
    for (int s = 0; s < 4; ++s)
        for (int n = 1; n <= 99; ++n) test::writeFile(asideAt(s, n), "");
    SettingsStore store;
    store.load();
    store.recordSignIn(entry("x", "10.0.0.1"));
    EXPECT_TRUE(fs::is_directory(file / "inside")) << "no free name: nothing saved";
    for (int s = 0; s < 4; ++s) fs::remove(asideAt(s, 99));
    store.setLastSystem("x", true);
    const auto movedToLast = [&](int s) { return fs::is_directory(asideAt(s, 99) / "inside"); };
    EXPECT_EQ(std::ranges::count_if(std::views::iota(0, 4), movedToLast), 1);
    EXPECT_EQ(state(store), "x+|x/Name of x/10.0.0.1:9443/10.0.0.1/1000/-") << "memory kept the change";
    EXPECT_EQ(readFile(file), store.serialize());
    EXPECT_TRUE(moveAsideUnreadable(folder / "absent").empty()) << "a failed move is no move";

    const std::string logged = loggedText();
    EXPECT_EQ(countOf(logged, "config.json unreadable or from another version - starting empty"), damaged + 1);
    EXPECT_EQ(countOf(logged, "unreadable config.json kept as " + (folder / "config.json.unreadable-").string()),
              damaged + 1);
    EXPECT_EQ(countOf(logged, "could not move the unreadable " + file.string() + " aside: no free name"), 1u);
    EXPECT_EQ(countOf(logged, "could not write control-app config.json"), 1u);
}

TEST_F(store_File, EveryChangeSavesTheWholeStateByteExactAndPrivately) {
    const fs::path app = fs::path("OstrelOps") / "control-app", data = tmp.path() / "data" / app;
    EXPECT_EQ(appDataDir(KnownFolder::Local), data);
    SettingsStore store;
    store.load();
    // An invalid byte (names and ids come from the network) is replaced instead of losing the save.
    store.recordSignIn(entry("sys-\xC3", "10.0.0.5", {"ops.local"}, 1767225600000, true));
    store.setLastSystem("sys-\xC3", true);
    EXPECT_EQ(readFile(file),
              "{\n  \"autoSignIn\": true,\n  \"lastSystemId\": \"sys-\xEF\xBF\xBD\",\n  \"systems\": [\n    {\n"
              "      \"host\": \"10.0.0.5\",\n      \"hosts\": [\n        \"10.0.0.5\",\n        \"ops.local\"\n"
              "      ],\n      \"lastUsedMs\": 1767225600000,\n      \"name\": \"Name of sys-\xEF\xBF\xBD\",\n"
              "      \"port\": 9443,\n      \"sessionRemembered\": true,\n      \"systemId\": \"sys-\xEF\xBF\xBD\"\n"
              "    }\n  ],\n  \"version\": 2\n}");
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    for (const auto& p : {folder.parent_path(), folder, data.parent_path(), data})
        EXPECT_EQ(fs::status(p).permissions(), fs::perms::owner_all) << p;

    writeConfig(R"({"version": 2, "lastSystemId": "d", "autoSignIn": true, "systems": [
        {"systemId": "d", "host": "first", "hosts": ["first", "shared"], "sessionRemembered": true},
        {"systemId": "e", "host": "other", "hosts": ["other"]},
        {"systemId": "d", "host": "second", "hosts": ["second", "shared"], "sessionRemembered": true}]})");
    store.load();
    SystemEntry found;
    EXPECT_TRUE(store.findSystem("d", found) && found.host == "first") << "the first match";
    const std::string handWritten = readFile(file);
    store.clearRememberedSession("nobody");
    EXPECT_EQ(readFile(file), handWritten) << "no match, no save";
    const auto step = [&](const std::string& want) {
        EXPECT_EQ(state(store), want);
        EXPECT_EQ(readFile(file), store.serialize());
    };
    const std::string d = "|d/Name of d/new:9443/new,x,first,shared,second/2000/R";
    store.clearRememberedSession("d");  // every copy, should the file list the system twice
    step("d+|d//first:8443/first,shared/0/-|e//other:8443/other/0/-|d//second:8443/second,shared/0/-");
    // Own host first, then the entry's, then stored ones not present: every copy folds into one entry.
    store.recordSignIn(entry("d", "new", {"x", "first"}, 2000, true));
    step("d+" + d + "|e//other:8443/other/0/-");
    store.recordSignIn(entry("e", "y2", {"z", "y2"}));  // holds its own host already: order kept
    step("d+|e/Name of e/y2:9443/z,y2,other/1000/-" + d);
    store.forgetSystem("e");  // another system: auto sign-in stays
    step("d+" + d);
    store.forgetSystem("d");
    step("-");
    fs::remove(file);
    store.forgetSystem("unknown");  // still saves
    step("-");
    for (int i = 1; i <= 33; ++i) store.recordSignIn(entry("sys-" + std::to_string(i), "10.0.0.1"));
    store.recordSignIn(entry("sys-10", "10.0.0.2"));  // a listed system drops nothing
    const auto systems = store.systemsSnapshot();
    ASSERT_EQ(systems.size(), 32u);
    EXPECT_TRUE(systems[0].systemId == "sys-10" && systems[1].systemId == "sys-33" && systems[31].systemId == "sys-2");
    // XDG folders given relative or empty are ignored: the ones below HOME serve.
    test::ScopedEnv relativeConfig("XDG_CONFIG_HOME", "relative/path"), emptyData("XDG_DATA_HOME", "");
    EXPECT_EQ(appDataDir(KnownFolder::Roaming), tmp.path() / "home" / ".config" / app);
    EXPECT_EQ(appDataDir(KnownFolder::Local), tmp.path() / "home" / ".local" / "share" / app);
}

// A failed write or rename keeps the old file; a save killed at any moment never leaves config.json torn,
// old or missing (no logging thread runs while this forks). A few dozen kills here; bench/store/crash-safety
// runs 250. State n of the saver varies in length, so that a torn or mixed file cannot pass for a whole one.
std::string lastId(long n) {
    return "loop-" + std::to_string(n) + std::string(static_cast<std::size_t>(n % 37), '.');
}

TEST(store_CrashSafety, AFailedOrKilledSaveAlwaysLeavesAWholeFile) {
    const char* wanted = std::getenv("OSTREL_CRASH_KILLS");
    const int rounds = wanted != nullptr ? std::atoi(wanted) : 30;
    test::TempDir tmp;
    const fs::path other = tmp.path() / "f.json", temporary = tmp.path() / "f.json.tmp";
    const auto descriptors = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    const auto openBefore = descriptors();
    const std::string content = std::string("a\0b\r\n\xff", 6) + std::string(20000, 'q');  // read in several parts
    test::writeFile(temporary, std::string(30000, 'z'));  // a longer leftover of a killed save leaks no tail
    ASSERT_TRUE(writeFileAtomic(other, content));
    EXPECT_TRUE(readFile(other) == content && readFileText(other) == content && !fs::exists(temporary));
    // A write cut short (a file-size limit, as a full disk would) reports failure and keeps the old file.
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit small{1000, limit.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    EXPECT_FALSE(writeFileAtomic(other, std::string(5000, 'n')));
    ::setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_TRUE(readFile(other) == content && !fs::exists(temporary));
    // A failed rename (a folder in the way) keeps the target and removes the temporary.
    fs::create_directories(tmp.path() / "busy" / "inside");
    EXPECT_FALSE(writeFileAtomic(tmp.path() / "busy", "x"));
    EXPECT_TRUE(fs::is_directory(tmp.path() / "busy" / "inside") && !fs::exists(tmp.path() / "busy.tmp"));
    EXPECT_EQ(descriptors(), openBefore) << "every file and folder opened is closed again";
    for (const fs::path& path : {fs::path(), tmp.path() / "absent", tmp.path()}) EXPECT_EQ(readFileText(path), "");

    const fs::path file = tmp.path() / "config.json";
    std::mt19937 rng(std::random_device{}());
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
        ASSERT_EQ(parsed["lastSystemId"], lastId(n)) << "kill " << kill << ": a mixed state";
        last = n;
    }
    EXPECT_GT(last, 3) << "too few saves completed to exercise anything";
    std::cout << "crash safety: " << rounds << " kills (" << killedMidSave << " inside a save), " << last
              << " states saved, " << std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()
              << " s\n";  // read by bench/store/crash-safety
}
#endif

}  // namespace
}  // namespace ostrel
