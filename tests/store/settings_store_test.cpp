#include <sys/stat.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "store/app_dirs.h"
#include "store/settings_store.h"
#include "tests/store/store_test_util.h"
#include "tests/support/test_support.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using test::countOf;
using test::kUnreadableWarning;
using test::kWriteWarning;
using test::readFile;
using test::writeFile;

SystemEntry makeEntry(const std::string& id, const std::string& host, std::vector<std::string> hosts = {},
                      std::int64_t lastUsedMs = 1000, bool remembered = false) {
    SystemEntry e;
    e.systemId = id;
    e.name = "Name of " + id;
    e.host = host;
    e.port = 9443;
    e.hosts = std::move(hosts);
    e.lastUsedMs = lastUsedMs;
    e.sessionRemembered = remembered;
    return e;
}

std::vector<std::string> ids(const std::vector<SystemEntry>& systems) {
    std::vector<std::string> out;
    for (const auto& s : systems) out.push_back(s.systemId);
    return out;
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
};

using store_Load = StoreFixture;

TEST_F(store_Load, MissingOrEmptyFileStartsEmptyWithoutWarning) {
    SettingsStore store;
    store.load();
    EXPECT_TRUE(store.systemsSnapshot().empty());
    EXPECT_FALSE(fs::exists(file)) << "loading must not create the file";

    writeConfig("");
    store.load();
    EXPECT_TRUE(store.systemsSnapshot().empty());
    EXPECT_EQ(store.lastSystem().systemId, "");
    EXPECT_FALSE(store.lastSystem().autoSignIn);

    // A folder where the file should be reads as no file rather than failing the start.
    fs::remove(file);
    fs::create_directory(file);
    store.load();
    EXPECT_TRUE(store.systemsSnapshot().empty());
    EXPECT_EQ(countOf(log.finish(), kUnreadableWarning), 0u);
}

TEST_F(store_Load, KeepsCompleteEntriesInFileOrder) {
    writeConfig(R"({
  "autoSignIn": true,
  "lastSystemId": "b",
  "systems": [
    {"systemId": "a", "name": "Alpha", "host": "10.0.0.1", "port": 1234, "lastUsedMs": 1767225600123,
     "sessionRemembered": true, "hosts": ["10.0.0.1", 7, "alpha.local", null, {"x": 1}, "fe80::1"]},
    {"systemId": "nohost", "name": "No host"},
    {"systemId": "", "host": "10.0.0.9"},
    {"host": "10.0.0.8"},
    {"systemId": "emptyhost", "host": ""},
    42,
    "text",
    {"systemId": "b", "host": "beta.local", "hosts": "not an array"},
    {"systemId": "a", "host": "10.0.0.2"}
  ],
  "version": 2,
  "unknownMember": {"ignored": true}
})");
    SettingsStore store;
    store.load();
    const auto systems = store.systemsSnapshot();
    ASSERT_EQ(ids(systems), (std::vector<std::string>{"a", "b", "a"})) << "duplicates are kept, order is the file's";

    EXPECT_EQ(systems[0].name, "Alpha");
    EXPECT_EQ(systems[0].host, "10.0.0.1");
    EXPECT_EQ(systems[0].port, 1234);
    EXPECT_EQ(systems[0].lastUsedMs, 1767225600123);
    EXPECT_TRUE(systems[0].sessionRemembered);
    EXPECT_EQ(systems[0].hosts, (std::vector<std::string>{"10.0.0.1", "alpha.local", "fe80::1"}));

    // Absent members take their defaults.
    EXPECT_EQ(systems[1].name, "");
    EXPECT_EQ(systems[1].port, 8443);
    EXPECT_EQ(systems[1].lastUsedMs, 0);
    EXPECT_FALSE(systems[1].sessionRemembered);
    EXPECT_TRUE(systems[1].hosts.empty());

    EXPECT_EQ(store.lastSystem().systemId, "b");
    EXPECT_TRUE(store.lastSystem().autoSignIn);

    SystemEntry found;
    ASSERT_TRUE(store.findSystem("a", found));
    EXPECT_EQ(found.host, "10.0.0.1") << "the first match is returned";
    EXPECT_FALSE(store.findSystem("A", found)) << "ids compare byte for byte";
    EXPECT_FALSE(store.findSystem("nohost", found));
    EXPECT_EQ(countOf(log.finish(), kUnreadableWarning), 0u);
}

TEST_F(store_Load, NoCapAtLoadButNextSignInTrimsTo32) {
    nlohmann::json systems = nlohmann::json::array();
    for (int i = 0; i < 40; ++i) systems.push_back({{"systemId", "s" + std::to_string(i)}, {"host", "h"}});
    writeConfig(nlohmann::json{{"version", 2}, {"systems", systems}}.dump());

    SettingsStore store;
    store.load();
    EXPECT_EQ(store.systemsSnapshot().size(), 40u);

    store.recordSignIn(makeEntry("new", "10.1.1.1"));
    const auto after = store.systemsSnapshot();
    ASSERT_EQ(after.size(), 32u);
    EXPECT_EQ(after.front().systemId, "new");
    EXPECT_EQ(after.back().systemId, "s30");
}

TEST_F(store_Load, VersionOneStartsEmptyAndNextSaveReplacesIt) {
    const std::string old = R"({"version": 1, "lastSystemId": "x", "autoSignIn": true,
        "systems": [{"systemId": "x", "host": "10.0.0.1"}]})";
    writeConfig(old);
    SettingsStore store;
    store.load();
    EXPECT_TRUE(store.systemsSnapshot().empty());
    EXPECT_EQ(store.lastSystem().systemId, "");
    EXPECT_FALSE(store.lastSystem().autoSignIn);
    EXPECT_EQ(readFile(file), old) << "the old file is left alone until the next save";

    store.recordSignIn(makeEntry("y", "10.0.0.2"));
    const auto saved = nlohmann::json::parse(readFile(file));
    EXPECT_EQ(saved["version"], 2);
    ASSERT_EQ(saved["systems"].size(), 1u);
    EXPECT_EQ(saved["systems"][0]["systemId"], "y");
    EXPECT_EQ(saved["lastSystemId"], "");
    EXPECT_EQ(countOf(log.finish(), kUnreadableWarning), 1u);
}

TEST_F(store_Load, WrongTypesMakeTheWholeFileUnreadable) {
    // A valid first entry and valid top-level members make sure nothing is half-loaded.
    const std::string goodEntry = R"({"systemId": "ok", "host": "10.0.0.1"})";
    auto withEntry = [&](const std::string& bad) {
        return R"({"version": 2, "lastSystemId": "ok", "autoSignIn": true, "systems": [)" + goodEntry + ", " + bad +
               "]}";
    };
    const std::vector<std::string> cases = {
        "not json at all",
        "[1, 2]",
        "\"text\"",
        R"({"systems": []})",
        R"({"version": "2", "systems": [])" + goodEntry + "]}",
        R"({"version": 2.0, "systems": [])" + goodEntry + "]}",
        R"({"version": 3, "systems": [])" + goodEntry + "]}",
        R"({"version": -2})",
        R"({"version": 18446744073709551614})",
        R"({"version": 2, "lastSystemId": 5, "systems": [])" + goodEntry + "]}",
        R"({"version": 2, "lastSystemId": null})",
        R"({"version": 2, "autoSignIn": "true", "systems": [])" + goodEntry + "]}",
        R"({"version": 2, "autoSignIn": 1})",
        withEntry(R"({"systemId": "b", "host": "h", "port": "8443"})"),
        withEntry(R"({"systemId": "b", "host": "h", "port": 8443.5})"),
        withEntry(R"({"systemId": "b", "host": "h", "port": 8443.0})"),
        withEntry(R"({"systemId": "b", "host": "h", "port": 4294967297})"),
        withEntry(R"({"systemId": "b", "host": "h", "port": -2147483649})"),
        withEntry(R"({"systemId": "b", "host": "h", "name": 12})"),
        withEntry(R"({"systemId": 7, "host": "h"})"),
        withEntry(R"({"systemId": "b", "host": ["h"]})"),
        withEntry(R"({"systemId": "b", "host": "h", "lastUsedMs": "0"})"),
        withEntry(R"({"systemId": "b", "host": "h", "lastUsedMs": 1.5e12})"),
        withEntry(R"({"systemId": "b", "host": "h", "lastUsedMs": 9223372036854775808})"),
        withEntry(R"({"systemId": "b", "host": "h", "sessionRemembered": 1})"),
        // Wrong types are refused even on entries that would be dropped for lacking a host.
        withEntry(R"({"systemId": "b", "name": false})"),
        goodEntry + "{",
        "{\"version\": 2, \"systems\": [" + goodEntry + "]",
        // The parser would stop at a NUL and take the text before it for the whole file.
        R"({"version": 2, "systems": [)" + goodEntry + "]}" + std::string(1, '\0') + "junk",
        // One level deeper than any untrusted JSON may nest (unknown members included).
        R"({"version": 2, "systems": [)" + goodEntry + R"(], "x": )" + std::string(64, '[') + std::string(64, ']') + "}",
    };
    SettingsStore store;
    for (const auto& text : cases) {
        SCOPED_TRACE(text);
        // Each case starts from a loaded, non-empty state so a reload must really clear it.
        writeConfig(R"({"version": 2, "lastSystemId": "ok", "autoSignIn": true, "systems": [)" + goodEntry + "]}");
        store.load();
        ASSERT_EQ(store.systemsSnapshot().size(), 1u);

        writeConfig(text);
        store.load();
        EXPECT_TRUE(store.systemsSnapshot().empty());
        EXPECT_EQ(store.lastSystem().systemId, "");
        EXPECT_FALSE(store.lastSystem().autoSignIn);
        EXPECT_EQ(readFile(file), text);
    }
    EXPECT_EQ(countOf(log.finish(), kUnreadableWarning), cases.size());
}

TEST_F(store_Load, LimitsOfTheNumericFieldsAreAccepted) {
    writeConfig(R"({"version": 2, "systems": [
        {"systemId": "a", "host": "h", "port": 2147483647, "lastUsedMs": 9223372036854775807},
        {"systemId": "b", "host": "h", "port": -2147483648, "lastUsedMs": -9223372036854775808}]})");
    SettingsStore store;
    store.load();
    const auto systems = store.systemsSnapshot();
    ASSERT_EQ(systems.size(), 2u);
    EXPECT_EQ(systems[0].port, 2147483647);
    EXPECT_EQ(systems[0].lastUsedMs, INT64_MAX);
    EXPECT_EQ(systems[1].port, INT32_MIN);
    EXPECT_EQ(systems[1].lastUsedMs, INT64_MIN);
    EXPECT_EQ(countOf(log.finish(), kUnreadableWarning), 0u);
}

using store_Save = StoreFixture;

TEST_F(store_Save, OneRememberedSystemIsByteExact) {
    SettingsStore store;
    store.load();
    store.recordSignIn(makeEntry("sys-1", "10.0.0.5", {"ops.local"}, 1767225600000, true));
    store.setLastSystem("sys-1", true);

    const std::string expected =
        "{\n"
        "  \"autoSignIn\": true,\n"
        "  \"lastSystemId\": \"sys-1\",\n"
        "  \"systems\": [\n"
        "    {\n"
        "      \"host\": \"10.0.0.5\",\n"
        "      \"hosts\": [\n"
        "        \"10.0.0.5\",\n"
        "        \"ops.local\"\n"
        "      ],\n"
        "      \"lastUsedMs\": 1767225600000,\n"
        "      \"name\": \"Name of sys-1\",\n"
        "      \"port\": 9443,\n"
        "      \"sessionRemembered\": true,\n"
        "      \"systemId\": \"sys-1\"\n"
        "    }\n"
        "  ],\n"
        "  \"version\": 2\n"
        "}";
    EXPECT_EQ(readFile(file), expected);
    EXPECT_EQ(store.serialize(), expected);
    EXPECT_FALSE(fs::exists(fs::path(file.string() + ".tmp")));

    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(store_Save, EmptyStateAndTextAreWrittenVerbatim) {
    SettingsStore store;
    store.load();
    store.forgetSystem("never-known");
    EXPECT_EQ(readFile(file),
              "{\n  \"autoSignIn\": false,\n  \"lastSystemId\": \"\",\n  \"systems\": [],\n  \"version\": 2\n}");

    // Non-ASCII stays UTF-8 (no \u escapes); quotes, backslashes and control bytes are escaped.
    SystemEntry e = makeEntry("id-\xC3\xBC", "h\"\\", {});
    e.name = "Leitstand S\xC3\xBC" "d \xF0\x9F\x9A\x80\t";
    store.recordSignIn(e);
    const std::string text = readFile(file);
    EXPECT_NE(text.find("\"name\": \"Leitstand S\xC3\xBC" "d \xF0\x9F\x9A\x80\\t\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"host\": \"h\\\"\\\\\""), std::string::npos) << text;
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_NE(text.substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_NE(text.back(), '\n');
}

TEST_F(store_Save, WhatIsSavedLoadsBackUnchanged) {
    SettingsStore store;
    store.load();
    store.recordSignIn(makeEntry("one", "10.0.0.1", {"a", "b"}, 5, true));
    SystemEntry two = makeEntry("two", "fe80::1%eth0", {}, INT64_MAX, false);
    two.name = "quote \" slash \\ nl \n end";
    two.port = 65535;
    store.recordSignIn(two);
    store.setLastSystem("one", true);

    SettingsStore again;
    again.load();
    const auto a = store.systemsSnapshot();
    const auto b = again.systemsSnapshot();
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].systemId, b[i].systemId);
        EXPECT_EQ(a[i].name, b[i].name);
        EXPECT_EQ(a[i].host, b[i].host);
        EXPECT_EQ(a[i].port, b[i].port);
        EXPECT_EQ(a[i].hosts, b[i].hosts);
        EXPECT_EQ(a[i].lastUsedMs, b[i].lastUsedMs);
        EXPECT_EQ(a[i].sessionRemembered, b[i].sessionRemembered);
    }
    EXPECT_EQ(again.lastSystem().systemId, "one");
    EXPECT_TRUE(again.lastSystem().autoSignIn);
    EXPECT_EQ(again.serialize(), readFile(file));
}

TEST_F(store_Save, InvalidUtf8IsReplacedInsteadOfLosingTheSave) {
    SettingsStore store;
    store.load();
    SystemEntry e = makeEntry("bad", "10.0.0.1");
    e.name = "broken \xC3 byte";
    store.recordSignIn(e);
    const auto saved = nlohmann::json::parse(readFile(file), nullptr, false);
    ASSERT_FALSE(saved.is_discarded());
    EXPECT_EQ(saved["systems"][0]["systemId"], "bad");
    EXPECT_EQ(countOf(log.finish(), kWriteWarning), 0u);
}

TEST_F(store_Save, UnopenableTemporaryFileWarnsAndKeepsOldFile) {
    SettingsStore store;
    store.load();
    store.recordSignIn(makeEntry("first", "10.0.0.1"));
    const std::string before = readFile(file);

    // A folder in the way of the temporary file makes the write fail even for root.
    fs::create_directory(fs::path(file.string() + ".tmp"));
    store.recordSignIn(makeEntry("second", "10.0.0.2"));
    EXPECT_EQ(readFile(file), before);
    EXPECT_EQ(ids(store.systemsSnapshot()), (std::vector<std::string>{"second", "first"}))
        << "memory keeps the change";

    fs::remove(fs::path(file.string() + ".tmp"));
    store.setLastSystem("second", false);
    EXPECT_EQ(readFile(file), store.serialize()) << "the next save writes the whole state";
    EXPECT_EQ(countOf(log.finish(), kWriteWarning), 1u);
}

TEST_F(store_Save, FailedRenameRemovesTemporaryFile) {
    // The target is a non-empty folder: the temporary file is written but cannot replace it.
    const fs::path target = tmp.path() / "target";
    fs::create_directories(target / "keep");
    SettingsStore store(target);
    store.recordSignIn(makeEntry("x", "10.0.0.1"));
    EXPECT_TRUE(fs::is_directory(target / "keep"));
    EXPECT_FALSE(fs::exists(tmp.path() / "target.tmp"));
    EXPECT_EQ(countOf(log.finish(), kWriteWarning), 1u);
}

TEST_F(store_Save, NoConfigFolderMeansEmptyLoadsAndFailedSaves) {
    // HOME below a regular file: no folder can be created, XDG_CONFIG_HOME is unset.
    writeFile(tmp.path() / "plainfile", "x");
    test::ScopedEnv home("HOME", (tmp.path() / "plainfile" / "home").string());
    test::ScopedEnv xdg("XDG_CONFIG_HOME", std::nullopt);
    SettingsStore store;
    store.load();
    EXPECT_TRUE(store.systemsSnapshot().empty());
    store.recordSignIn(makeEntry("x", "10.0.0.1"));
    store.setLastSystem("x", true);
    EXPECT_EQ(store.systemsSnapshot().size(), 1u);
    const std::string logText = log.finish();
    EXPECT_EQ(countOf(logText, kWriteWarning), 2u);
    EXPECT_EQ(countOf(logText, kUnreadableWarning), 0u);
}

using store_RecordSignIn = StoreFixture;

TEST_F(store_RecordSignIn, MergesHostsOfAKnownSystemAndMovesItToTheFront) {
    SettingsStore store;
    store.load();
    store.recordSignIn(makeEntry("a", "h1", {"h2", "h3"}));
    store.recordSignIn(makeEntry("b", "x1"));
    store.recordSignIn(makeEntry("c", "y1"));
    ASSERT_EQ(store.systemsSnapshot()[2].hosts, (std::vector<std::string>{"h1", "h2", "h3"}));

    // The entry lacks its own host: own host first, then its hosts, then stored ones not present.
    SystemEntry next = makeEntry("a", "h4", {"h3", "h5"}, 2000, true);
    next.name = "Renamed";
    next.port = 443;
    store.recordSignIn(next);
    auto systems = store.systemsSnapshot();
    ASSERT_EQ(ids(systems), (std::vector<std::string>{"a", "c", "b"}));
    EXPECT_EQ(systems[0].hosts, (std::vector<std::string>{"h4", "h3", "h5", "h1", "h2"}));
    EXPECT_EQ(systems[0].name, "Renamed");
    EXPECT_EQ(systems[0].port, 443);
    EXPECT_EQ(systems[0].lastUsedMs, 2000);
    EXPECT_TRUE(systems[0].sessionRemembered);

    // The entry holds its own host already: its order is kept, stored extras follow.
    store.recordSignIn(makeEntry("c", "y2", {"z", "y2"}));
    systems = store.systemsSnapshot();
    ASSERT_EQ(ids(systems), (std::vector<std::string>{"c", "a", "b"}));
    EXPECT_EQ(systems[0].hosts, (std::vector<std::string>{"z", "y2", "y1"}));

    SettingsStore reloaded;
    reloaded.load();
    EXPECT_EQ(reloaded.serialize(), store.serialize());
}

TEST_F(store_RecordSignIn, DuplicatesFromTheFileFoldIntoOneEntry) {
    writeConfig(R"({"version": 2, "systems": [
        {"systemId": "d", "host": "first", "hosts": ["first", "shared"]},
        {"systemId": "e", "host": "other"},
        {"systemId": "d", "host": "second", "hosts": ["second", "shared"], "sessionRemembered": true}]})");
    SettingsStore store;
    store.load();
    store.recordSignIn(makeEntry("d", "new"));
    const auto systems = store.systemsSnapshot();
    ASSERT_EQ(ids(systems), (std::vector<std::string>{"d", "e"})) << "no stale copy outlives the sign-in";
    EXPECT_EQ(systems[0].host, "new");
    EXPECT_EQ(systems[0].hosts, (std::vector<std::string>{"new", "first", "shared", "second"}));
    EXPECT_FALSE(systems[0].sessionRemembered);
    EXPECT_EQ(readFile(file), store.serialize());
}

TEST_F(store_RecordSignIn, The33rdSystemPushesOutTheLeastRecent) {
    SettingsStore store;
    store.load();
    for (int i = 1; i <= 33; ++i) store.recordSignIn(makeEntry("sys-" + std::to_string(i), "10.0.0.1"));
    const auto systems = store.systemsSnapshot();
    ASSERT_EQ(systems.size(), 32u);
    EXPECT_EQ(systems.front().systemId, "sys-33");
    EXPECT_EQ(systems.back().systemId, "sys-2");
    const std::string text = readFile(file);
    EXPECT_EQ(text.find("\"sys-1\""), std::string::npos);
    EXPECT_EQ(nlohmann::json::parse(text)["systems"].size(), 32u);

    // Signing in again to a listed system does not drop anything.
    store.recordSignIn(makeEntry("sys-10", "10.0.0.2"));
    EXPECT_EQ(store.systemsSnapshot().size(), 32u);
    EXPECT_EQ(store.systemsSnapshot().back().systemId, "sys-2");
}

using store_Forget = StoreFixture;

TEST_F(store_Forget, RemovesEveryMatchAndTurnsAutoSignInOffForTheLastSystem) {
    writeConfig(R"({"version": 2, "lastSystemId": "d", "autoSignIn": true, "systems": [
        {"systemId": "d", "host": "first"},
        {"systemId": "e", "host": "other"},
        {"systemId": "d", "host": "second"},
        {"systemId": "f", "host": "third"}]})");
    SettingsStore store;
    store.load();
    store.forgetSystem("e");
    EXPECT_EQ(ids(store.systemsSnapshot()), (std::vector<std::string>{"d", "d", "f"}));
    EXPECT_EQ(store.lastSystem().systemId, "d");
    EXPECT_TRUE(store.lastSystem().autoSignIn) << "forgetting another system leaves auto sign-in";

    store.forgetSystem("d");
    EXPECT_EQ(ids(store.systemsSnapshot()), (std::vector<std::string>{"f"}));
    EXPECT_EQ(store.lastSystem().systemId, "");
    EXPECT_FALSE(store.lastSystem().autoSignIn);
    EXPECT_EQ(readFile(file), store.serialize());
}

TEST_F(store_Forget, AnUnknownIdStillRewritesTheFile) {
    const std::string handWritten = R"({"version":2,"systems":[{"systemId":"k","host":"h"}]})";
    writeConfig(handWritten);
    SettingsStore store;
    store.load();
    store.forgetSystem("unknown");
    EXPECT_EQ(ids(store.systemsSnapshot()), (std::vector<std::string>{"k"}));
    EXPECT_NE(readFile(file), handWritten);
    EXPECT_EQ(readFile(file), store.serialize());
}

TEST_F(store_Forget, ClearRememberedSessionClearsEveryCopy) {
    const std::string handWritten = R"({"version":2,"systems":[
        {"systemId":"r","host":"a","sessionRemembered":true},
        {"systemId":"r","host":"b","sessionRemembered":true}]})";
    writeConfig(handWritten);
    SettingsStore store;
    store.load();
    store.clearRememberedSession("nobody");
    EXPECT_EQ(readFile(file), handWritten) << "no match, no save";

    store.clearRememberedSession("r");
    const auto systems = store.systemsSnapshot();
    EXPECT_FALSE(systems[0].sessionRemembered);
    EXPECT_FALSE(systems[1].sessionRemembered);
    EXPECT_EQ(readFile(file), store.serialize());
}

using store_Concurrency = StoreFixture;

TEST_F(store_Concurrency, WorkersReadWhileTheUiThreadWrites) {
    SettingsStore store;
    store.load();
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            SystemEntry e;
            while (!stop.load()) {
                (void)store.findSystem("s-5", e);
                const auto snapshot = store.systemsSnapshot();
                ASSERT_LE(snapshot.size(), SettingsStore::kMaxSystems);
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

TEST(store_AppDirs, FollowsXdgVariablesAndCreatesPrivateFolders) {
    test::TempDir tmp;
    test::ScopedEnv home("HOME", (tmp.path() / "home").string());
    test::ScopedEnv config("XDG_CONFIG_HOME", (tmp.path() / "cfg").string());
    test::ScopedEnv data("XDG_DATA_HOME", (tmp.path() / "dat").string());

    EXPECT_EQ(appDataDir(KnownFolder::Roaming), tmp.path() / "cfg" / "OstrelOps" / "control-app");
    EXPECT_EQ(appDataDir(KnownFolder::Local), tmp.path() / "dat" / "OstrelOps" / "control-app");
    EXPECT_EQ(configPath(), tmp.path() / "cfg" / "OstrelOps" / "control-app" / "config.json");
    for (const auto& p : {tmp.path() / "cfg", tmp.path() / "cfg" / "OstrelOps",
                          tmp.path() / "cfg" / "OstrelOps" / "control-app", tmp.path() / "dat" / "OstrelOps"}) {
        struct stat st {};
        ASSERT_EQ(::stat(p.c_str(), &st), 0) << p;
        EXPECT_EQ(st.st_mode & 0777, 0700u) << p;
    }
    // A folder that exists already is used as it is.
    EXPECT_EQ(appDataDir(KnownFolder::Roaming), tmp.path() / "cfg" / "OstrelOps" / "control-app");
}

TEST(store_AppDirs, RelativeOrEmptyXdgValuesFallBackToHome) {
    test::TempDir tmp;
    test::ScopedEnv home("HOME", (tmp.path() / "home").string());
    for (const char* value : {"", "relative/path", "./x"}) {
        SCOPED_TRACE(value);
        test::ScopedEnv config("XDG_CONFIG_HOME", std::string(value));
        test::ScopedEnv data("XDG_DATA_HOME", std::string(value));
        EXPECT_EQ(appDataDir(KnownFolder::Roaming), tmp.path() / "home" / ".config" / "OstrelOps" / "control-app");
        EXPECT_EQ(appDataDir(KnownFolder::Local),
                  tmp.path() / "home" / ".local" / "share" / "OstrelOps" / "control-app");
    }
    test::ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_TRUE(fs::is_directory(appDataDir(KnownFolder::Roaming)));
    EXPECT_FALSE(fs::exists(fs::current_path() / "relative")) << "a relative value must never be used";
}

}  // namespace
}  // namespace ostrel
