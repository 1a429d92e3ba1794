#include <sys/stat.h>

#include <regex>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "store/app_dirs.h"
#include "store/settings_store.h"
#include "tests/store/store_test_util.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using test::countOf;
using test::readFile;
using test::writeFile;
using Strings = std::vector<std::string>;

SystemEntry makeEntry(const std::string& id, const std::string& host, Strings hosts = {},
                      std::int64_t lastUsedMs = 1000, bool remembered = false) {
    return SystemEntry{id, "Name of " + id, host, 9443, std::move(hosts), lastUsedMs, remembered};
}

// One line per entry: "id/name/host:port/hosts,/lastUsedMs/remembered".
Strings show(const std::vector<SystemEntry>& systems) {
    Strings out;
    for (const auto& s : systems) {
        std::string hosts;
        for (const auto& h : s.hosts) hosts += h + ",";
        out.push_back(s.systemId + "/" + s.name + "/" + s.host + ":" + std::to_string(s.port) + "/" + hosts + "/" +
                      std::to_string(s.lastUsedMs) + "/" + (s.sessionRemembered ? "R" : "-"));
    }
    return out;
}

Strings ids(const std::vector<SystemEntry>& systems) {
    Strings out;
    for (const auto& s : systems) out.push_back(s.systemId);
    return out;
}

unsigned modeOf(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

// Every test runs with its own per-user folders, so configPath() lands in a temporary folder.
class StoreFixture : public ::testing::Test {
protected:
    test::TempDir tmp;
    test::IsolatedUserDirs dirs{tmp.path()};
    fs::path folder = dirs.config() / "OstrelOps" / "control-app";
    fs::path file = folder / "config.json";
    test::LogCapture log{dirs.logs()};

    void writeConfig(const std::string& text) {
        fs::create_directories(folder);
        writeFile(file, text);
    }
    // Everything in the settings folder but config.json itself.
    std::vector<fs::path> others() const {
        std::vector<fs::path> out;
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (entry.path() != file) out.push_back(entry.path());
        }
        return out;
    }
};

using store_Load = StoreFixture;

TEST_F(store_Load, KeepsCompleteEntriesInFileOrder) {
    writeConfig(R"({"autoSignIn": true, "lastSystemId": "b", "version": 2, "unknownMember": {"ignored": true},
      "systems": [
        {"systemId": "a", "name": "Alpha", "host": "10.0.0.1", "port": 2147483647, "lastUsedMs": 9223372036854775807,
         "sessionRemembered": true, "hosts": ["10.0.0.1", 7, "alpha.local", null, "fe80::1"]},
        {"systemId": "nohost", "name": "No host"}, {"systemId": "", "host": "10.0.0.9"}, {"host": "10.0.0.8"}, 42,
        {"systemId": "b", "host": "beta.local", "hosts": "not an array", "port": -2147483648,
         "lastUsedMs": -9223372036854775808},
        {"systemId": "a", "host": "10.0.0.2"}]})");
    SettingsStore store;
    store.load();
    // Duplicates are kept, order is the file's; absent members take their defaults.
    EXPECT_EQ(show(store.systemsSnapshot()),
              (Strings{"a/Alpha/10.0.0.1:2147483647/10.0.0.1,alpha.local,fe80::1,/9223372036854775807/R",
                       "b//beta.local:-2147483648//-9223372036854775808/-", "a//10.0.0.2:8443//0/-"}));
    EXPECT_TRUE(store.lastSystem().systemId == "b" && store.lastSystem().autoSignIn);
    SystemEntry found;
    ASSERT_TRUE(store.findSystem("a", found));
    EXPECT_EQ(found.host, "10.0.0.1") << "the first match is returned";
    EXPECT_FALSE(store.findSystem("A", found)) << "ids compare byte for byte";

    // A missing or empty file starts empty, without a warning and without creating anything.
    fs::remove(file);
    store.load();
    EXPECT_TRUE(store.systemsSnapshot().empty() && !store.lastSystem().autoSignIn);
    writeConfig("");
    store.load();
    store.setLastSystem("x", false);
    EXPECT_TRUE(others().empty());
    EXPECT_EQ(countOf(log.finish(), "unreadable"), 0u);
}

TEST_F(store_Load, AFileThatCannotBeReadIsMovedAsideBeforeTheFirstSave) {
    const std::string good = R"({"systemId": "ok", "host": "10.0.0.1"})", v2 = R"({"version": 2, "systems": [)";
    const auto withEntry = [&](const std::string& bad) {
        return R"({"version": 2, "lastSystemId": "ok", "autoSignIn": true, "systems": [)" + good + ", " + bad + "]}";
    };
    const Strings damaged = {
        "not json at all",
        "\"text\"",
        R"({"systems": []})",
        R"({"version": 1, "systems": [)" + good + "]}",
        R"({"version": 3, "systems": [)" + good + "]}",  // written by a newer version
        R"({"version": 2.0})",
        R"({"version": "2"})",
        R"({"version": 2, "lastSystemId": 5})",
        R"({"version": 2, "autoSignIn": "true"})",
        withEntry(R"({"systemId": "b", "host": "h", "port": "8443"})"),
        withEntry(R"({"systemId": "b", "host": "h", "port": 4294967297})"),
        withEntry(R"({"systemId": "b", "host": "h", "lastUsedMs": 1.5e12})"),
        withEntry(R"({"systemId": "b", "host": "h", "sessionRemembered": 1})"),
        withEntry(R"({"systemId": "b", "name": false})"),  // even on an entry that would be dropped
        withEntry(good).substr(0, 60),
        good + "{",
        v2 + good + "]",  // cut short
        // The parser would stop at a NUL and take the text before it for the whole file.
        v2 + good + "]}" + std::string(1, '\0') + "junk",
        // One level deeper than any untrusted JSON may nest (unknown members included).
        v2 + good + R"(], "x": )" + std::string(64, '[') + std::string(64, ']') + "}",
    };
    const std::regex asideName(R"(config\.json\.unreadable-\d{8}_\d{6}(-\d+)?)");
    for (const auto& text : damaged) {
        SCOPED_TRACE(text);
        fs::remove_all(folder);
        writeConfig(text);
        SettingsStore store;
        store.load();
        EXPECT_TRUE(store.systemsSnapshot().empty());
        EXPECT_TRUE(store.lastSystem().systemId.empty() && !store.lastSystem().autoSignIn);
        EXPECT_EQ(readFile(file), text) << "left alone until the next save";
        store.recordSignIn(makeEntry("new", "10.0.0.2"));
        store.setLastSystem("new", true);  // the second save moves nothing more
        const auto aside = others();
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_TRUE(std::regex_match(aside[0].filename().string(), asideName)) << aside[0];
        EXPECT_EQ(readFile(aside[0]), text);
        EXPECT_EQ(readFile(file), store.serialize());
    }
    const std::string logged = log.finish();
    EXPECT_EQ(countOf(logged, "config.json unreadable or from another version - starting empty"), damaged.size());
    EXPECT_EQ(countOf(logged, "unreadable config.json kept as " + folder.string() + "/config.json.unreadable-"),
              damaged.size());
}

TEST_F(store_Load, MovingAsideNeverOverwrites) {
    fs::create_directories(file / "inside");  // a folder in the place of the file moves aside too
    SettingsStore store;
    store.load();
    EXPECT_TRUE(store.systemsSnapshot().empty());
    store.recordSignIn(makeEntry("x", "10.0.0.1"));
    EXPECT_EQ(readFile(file), store.serialize());
    ASSERT_EQ(others().size(), 1u);
    EXPECT_TRUE(fs::is_directory(others()[0] / "inside"));
    fs::remove_all(folder);

    // Two in one second keep both.
    writeConfig("first damage");
    const fs::path one = moveAsideUnreadable(file);
    writeConfig("second damage");
    const fs::path two = moveAsideUnreadable(file);
    ASSERT_FALSE(one.empty() || two.empty());
    EXPECT_TRUE(readFile(one) == "first damage" && readFile(two) == "second damage");
    EXPECT_TRUE(moveAsideUnreadable(file).empty()) << "nothing left to move";
    EXPECT_TRUE(two.string().size() != one.string().size() + 2 || two.string() == one.string() + "-2") << two;

    // Without a free name nothing is overwritten: every name the next few seconds could give is taken.
    writeConfig("{broken");
    SettingsStore blocked;
    blocked.load();
    const auto now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
    for (int s = 0; s < 4; ++s) {
        const std::string stamp = "config.json.unreadable-" + log::makeFileStamp(now.count() + s, 0, false);
        for (int n = 1; n <= 99; ++n) writeFile(folder / (n == 1 ? stamp : stamp + "-" + std::to_string(n)), "");
    }
    blocked.recordSignIn(makeEntry("x", "10.0.0.1"));
    EXPECT_EQ(readFile(file), "{broken");
    EXPECT_EQ(blocked.systemsSnapshot().size(), 1u) << "memory keeps the change";
    fs::remove(file);  // once the damaged file is gone, saving works again
    blocked.setLastSystem("x", true);
    EXPECT_EQ(readFile(file), blocked.serialize());
    const std::string logged = log.finish();
    EXPECT_EQ(countOf(logged, "could not move the unreadable " + file.string() + " aside: no free name"), 1u);
    EXPECT_EQ(countOf(logged, "could not write control-app config.json"), 1u);
}

using store_Save = StoreFixture;

TEST_F(store_Save, OneRememberedSystemIsByteExactAndPrivate) {
    SettingsStore store;
    store.load();
    store.recordSignIn(makeEntry("sys-1", "10.0.0.5", {"ops.local"}, 1767225600000, true));
    store.setLastSystem("sys-1", true);
    EXPECT_EQ(readFile(file),
              "{\n  \"autoSignIn\": true,\n  \"lastSystemId\": \"sys-1\",\n  \"systems\": [\n    {\n"
              "      \"host\": \"10.0.0.5\",\n      \"hosts\": [\n        \"10.0.0.5\",\n        \"ops.local\"\n"
              "      ],\n      \"lastUsedMs\": 1767225600000,\n      \"name\": \"Name of sys-1\",\n"
              "      \"port\": 9443,\n      \"sessionRemembered\": true,\n      \"systemId\": \"sys-1\"\n    }\n"
              "  ],\n  \"version\": 2\n}");
    EXPECT_EQ(store.serialize(), readFile(file));
    EXPECT_TRUE(others().empty()) << "no temporary file left";
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(modeOf(folder), 0700u);
}

TEST_F(store_Save, TextIsEscapedRepairedAndLoadsBackUnchanged) {
    SettingsStore store;
    store.load();
    SystemEntry odd = makeEntry("id-\xC3\xBC", "fe80::1%eth0", {"h\"\\"}, INT64_MAX, false);
    odd.name =
        "S\xC3\xBC"
        "d \xF0\x9F\x9A\x80\t\n \"q\"";
    odd.port = 65535;
    store.recordSignIn(makeEntry("one", "10.0.0.1", {"a", "b"}, 5, true));
    store.recordSignIn(odd);
    store.setLastSystem("one", true);
    const std::string text = readFile(file);
    EXPECT_NE(text.find("\"name\": \"S\xC3\xBC"
                        "d \xF0\x9F\x9A\x80\\t\\n \\\"q\\\"\""),
              std::string::npos)
        << text;
    EXPECT_NE(text.back(), '\n');

    SettingsStore again;
    again.load();
    EXPECT_EQ(again.serialize(), text);
    SystemEntry back;
    ASSERT_TRUE(again.findSystem(odd.systemId, back));
    EXPECT_TRUE(back.name == odd.name && back.lastUsedMs == INT64_MAX);
    EXPECT_EQ(back.hosts, (Strings{"fe80::1%eth0", "h\"\\"}));

    SystemEntry broken = makeEntry("bad", "10.0.0.1");
    broken.name = "broken \xC3 byte";  // replaced instead of losing the whole save
    store.recordSignIn(broken);
    EXPECT_EQ(nlohmann::json::parse(readFile(file))["systems"][0]["name"], "broken \xEF\xBF\xBD byte");
}

TEST_F(store_Save, AFailedWriteWarnsAndKeepsTheOldFile) {
    SettingsStore store;
    store.load();
    store.recordSignIn(makeEntry("first", "10.0.0.1"));
    const std::string before = readFile(file);
    fs::create_directory(file.string() + ".tmp");  // in the way of the temporary file, even for root
    store.recordSignIn(makeEntry("second", "10.0.0.2"));
    EXPECT_EQ(readFile(file), before);
    EXPECT_EQ(ids(store.systemsSnapshot()), (Strings{"second", "first"}));
    fs::remove(file.string() + ".tmp");
    store.setLastSystem("second", false);
    EXPECT_EQ(readFile(file), store.serialize()) << "the next save writes the whole state";

    // No config folder at all (HOME below a regular file): empty loads, failed saves.
    writeFile(tmp.path() / "plainfile", "x");
    test::ScopedEnv home("HOME", (tmp.path() / "plainfile" / "home").string());
    test::ScopedEnv xdg("XDG_CONFIG_HOME", std::nullopt);
    SettingsStore homeless;
    homeless.load();
    homeless.recordSignIn(makeEntry("x", "10.0.0.1"));
    EXPECT_EQ(homeless.systemsSnapshot().size(), 1u);
    const std::string logged = log.finish();
    EXPECT_EQ(countOf(logged, "could not write control-app config.json"), 2u);
    EXPECT_EQ(countOf(logged, "unreadable"), 0u);
}

using store_Change = StoreFixture;

TEST_F(store_Change, SignInMergesHostsMovesToTheFrontAndKeeps32) {
    writeConfig(R"({"version": 2, "systems": [{"systemId": "d", "host": "first", "hosts": ["first", "shared"]},
        {"systemId": "e", "host": "other", "hosts": ["other"]},
        {"systemId": "d", "host": "second", "hosts": ["second", "shared"], "sessionRemembered": true}]})");
    SettingsStore store;
    store.load();
    // Own host first, then the entry's hosts, then stored ones not present; every copy a damaged
    // file held folds into the one entry, so no stale copy outlives the sign-in.
    store.recordSignIn(makeEntry("d", "new", {"x", "first"}, 2000, true));
    EXPECT_EQ(show(store.systemsSnapshot()),
              (Strings{"d/Name of d/new:9443/new,x,first,shared,second,/2000/R", "e//other:8443/other,/0/-"}));
    store.recordSignIn(makeEntry("e", "y2", {"z", "y2"}));  // holds its own host already: order kept
    EXPECT_EQ(show(store.systemsSnapshot())[0], "e/Name of e/y2:9443/z,y2,other,/1000/-");

    for (int i = 1; i <= 33; ++i) store.recordSignIn(makeEntry("sys-" + std::to_string(i), "10.0.0.1"));
    const auto systems = store.systemsSnapshot();
    ASSERT_EQ(systems.size(), 32u);
    EXPECT_TRUE(systems.front().systemId == "sys-33" && systems.back().systemId == "sys-2");
    store.recordSignIn(makeEntry("sys-10", "10.0.0.2"));  // a listed system drops nothing
    EXPECT_EQ(store.systemsSnapshot().back().systemId, "sys-2");
    EXPECT_EQ(nlohmann::json::parse(readFile(file))["systems"].size(), 32u);
}

TEST_F(store_Change, ForgetAndClearRememberedSession) {
    writeConfig(R"({"version": 2, "lastSystemId": "d", "autoSignIn": true, "systems": [
        {"systemId": "d", "host": "first", "sessionRemembered": true}, {"systemId": "e", "host": "other"},
        {"systemId": "d", "host": "second", "sessionRemembered": true}]})");
    SettingsStore store;
    store.load();
    const std::string handWritten = readFile(file);
    store.clearRememberedSession("nobody");
    EXPECT_EQ(readFile(file), handWritten) << "no match, no save";
    store.clearRememberedSession("d");  // every copy, should the file list the system twice
    EXPECT_FALSE(store.systemsSnapshot()[0].sessionRemembered || store.systemsSnapshot()[2].sessionRemembered);
    EXPECT_EQ(readFile(file), store.serialize());

    store.forgetSystem("e");
    EXPECT_TRUE(store.lastSystem().autoSignIn) << "forgetting another system leaves auto sign-in";
    store.forgetSystem("d");  // every match
    EXPECT_TRUE(store.systemsSnapshot().empty());
    EXPECT_TRUE(store.lastSystem().systemId.empty() && !store.lastSystem().autoSignIn);
    fs::remove(file);
    store.forgetSystem("unknown");  // still saves
    EXPECT_EQ(readFile(file),
              "{\n  \"autoSignIn\": false,\n  \"lastSystemId\": \"\",\n  \"systems\": [],\n  \"version\": 2\n}");
}

TEST_F(store_Change, WorkersReadWhileTheUiThreadWrites) {
    SettingsStore store;
    store.load();
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            for (SystemEntry e; !stop.load();) {
                (void)store.findSystem("s-5", e);
                EXPECT_LE(store.systemsSnapshot().size(), SettingsStore::kMaxSystems);
                (void)store.lastSystem();
            }
        });
    }
    for (int i = 0; i < 60; ++i) {
        store.recordSignIn(makeEntry("s-" + std::to_string(i % 40), "10.0.0.1"));
        store.setLastSystem("s-" + std::to_string(i % 40), i % 2 == 0);
    }
    stop = true;
    for (auto& r : readers) r.join();
    EXPECT_EQ(readFile(file), store.serialize());
}

TEST(store_AppDirs, XdgFoldersOrHomeAndPrivateModes) {
    test::TempDir tmp;
    const fs::path t = tmp.path(), app = fs::path("OstrelOps") / "control-app";
    test::ScopedEnv home("HOME", (t / "home").string());
    test::ScopedEnv config("XDG_CONFIG_HOME", (t / "cfg").string());
    test::ScopedEnv data("XDG_DATA_HOME", (t / "dat").string());
    EXPECT_EQ(configPath(), t / "cfg" / app / "config.json");
    EXPECT_EQ(appDataDir(KnownFolder::Local), t / "dat" / app);
    for (const auto& p : {t / "cfg", t / "cfg" / app, t / "dat"}) EXPECT_EQ(modeOf(p), 0700u) << p;
    for (const char* value : {"", "relative/path"}) {  // not absolute: ignored
        test::ScopedEnv relativeConfig("XDG_CONFIG_HOME", std::string(value));
        test::ScopedEnv relativeData("XDG_DATA_HOME", std::string(value));
        EXPECT_EQ(appDataDir(KnownFolder::Roaming), t / "home" / ".config" / app);
        EXPECT_EQ(appDataDir(KnownFolder::Local), t / "home" / ".local" / "share" / app);
    }
    EXPECT_FALSE(fs::exists(fs::current_path() / "relative"));
}

}  // namespace
}  // namespace ostrel
