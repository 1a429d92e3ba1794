#include <regex>

#include <gtest/gtest.h>

#include "store/app_dirs.h"
#include "store/settings_store.h"
#include "tests/store/store_test_util.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using test::countOf;
using test::readFile;
constexpr auto kPrivateFolder = fs::perms::owner_all;

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

// Every test runs with its own per-user folders, so configPath() lands in a temporary folder.
class StoreFixture : public ::testing::Test {
protected:
    test::TempDir tmp;
    test::IsolatedUserDirs dirs{tmp.path()};
    fs::path folder = dirs.config() / "OstrelOps" / "control-app", file = folder / "config.json";
    void SetUp() override { test::logInto(dirs.logs()); }
    void TearDown() override { log::shutdown(); }

    void writeConfig(const std::string& text) {
        fs::create_directories(folder);
        test::writeFile(file, text);
    }
    std::vector<fs::path> others() const {  // everything in the settings folder but config.json
        std::vector<fs::path> out;
        for (const auto& e : fs::directory_iterator(folder)) out.push_back(e.path());
        std::erase(out, file);
        return out;
    }
};

using store_File = StoreFixture;

TEST_F(store_File, LoadsWholeOrNotAtAllAndMovesAnUnreadableFileAsideWithoutEverOverwriting) {
    const std::string v2 = R"({"version": 2, "lastSystemId": "ok", "autoSignIn": true, "systems": [)"
                           R"({"systemId": "ok", "host": "h"})";
    // The state a file loads to; nullptr: unreadable as a whole, so the store starts empty.
    const std::pair<std::optional<std::string>, const char*> rows[] = {
        {std::nullopt, "-"},  // no file
        {"", "-"},
        {R"({"autoSignIn": true, "lastSystemId": "b", "version": 2, "unknownMember": {"ignored": true}, "systems": [
           {"systemId": "a", "name": "Alpha", "host": "10.0.0.1", "port": 2147483647, "sessionRemembered": true,
            "lastUsedMs": 9223372036854775807, "hosts": ["10.0.0.1", 7, "alpha.local", null]},
           {"systemId": "nohost", "name": "No host"}, {"systemId": "", "host": "10.0.0.9"}, 42,
           {"systemId": "b", "host": "beta.local", "hosts": "not an array", "port": -2147483648,
            "lastUsedMs": -9223372036854775808}, {"systemId": "a", "host": "10.0.0.2"}]})",
         "b+|a/Alpha/10.0.0.1:2147483647/10.0.0.1,alpha.local/9223372036854775807/R"
         "|b//beta.local:-2147483648//-9223372036854775808/-|a//10.0.0.2:8443//0/-"},
        {"not json", nullptr},
        {R"({"version": 1})", nullptr},
        {R"({"version": 3})", nullptr},  // written by a newer version
        {R"({"version": 2.0})", nullptr},
        {R"({"version": 2, "lastSystemId": 5})", nullptr},
        {v2 + R"(, {"systemId": "b", "name": false}]})", nullptr},  // even on an entry that would be dropped
        {v2 + R"(, {"systemId": "b", "host": "h", "port": "8443"}]})", nullptr},
        {v2 + R"(, {"systemId": "b", "host": "h", "port": 4294967297}]})", nullptr},
        {v2 + "]", nullptr},  // cut short
        // The parser would stop at a NUL and take the text before it for the whole file.
        {v2 + "]}" + std::string(1, '\0') + "junk", nullptr},
    };
    const std::regex asideName(R"(config\.json\.unreadable-\d{8}_\d{6})");
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
        const auto aside = others();
        ASSERT_EQ(aside.size(), loads != nullptr ? 0u : 1u);
        if (loads != nullptr) continue;
        ++damaged;
        EXPECT_TRUE(std::regex_match(aside[0].filename().string(), asideName)) << aside[0];
        EXPECT_EQ(readFile(aside[0]), *text);
    }

    // A folder in the place of the file is unreadable too; two moved aside in one second keep both.
    fs::remove_all(folder);
    fs::create_directories(file / "inside");
    SettingsStore store;
    store.load();
    store.recordSignIn(entry("x", "10.0.0.1"));
    ASSERT_EQ(others().size(), 1u);
    const fs::path one = others()[0];
    EXPECT_TRUE(fs::is_directory(one / "inside"));
    writeConfig("second damage");
    const fs::path two = moveAsideUnreadable(file);
    EXPECT_EQ(readFile(two), "second damage");
    EXPECT_TRUE(moveAsideUnreadable(file).empty()) << "nothing left to move";
    EXPECT_TRUE(two.string().size() != one.string().size() + 2 || two.string() == one.string() + "-2") << two;

    // With every name the next few seconds could give taken, nothing is saved until the file is gone.
    writeConfig("{broken");
    store.load();
    const auto now = std::chrono::system_clock::now().time_since_epoch() / std::chrono::seconds(1);
    for (int s = 0; s < 4; ++s) {
        const std::string stamp = "config.json.unreadable-" + log::makeFileStamp(now + s, 0, false);
        for (int n = 1; n <= 99; ++n) test::writeFile(folder / (n == 1 ? stamp : stamp + "-" + std::to_string(n)), "");
    }
    store.recordSignIn(entry("x", "10.0.0.1"));
    EXPECT_EQ(readFile(file), "{broken");
    fs::remove(file);
    store.setLastSystem("x", true);
    EXPECT_EQ(state(store), "x+|x/Name of x/10.0.0.1:9443/10.0.0.1/1000/-") << "memory kept the change";
    EXPECT_EQ(readFile(file), store.serialize());

    const std::string logged = test::loggedText();
    EXPECT_EQ(countOf(logged, "config.json unreadable or from another version - starting empty"), damaged + 2);
    EXPECT_EQ(countOf(logged, "unreadable config.json kept as " + (folder / "config.json.unreadable-").string()),
              damaged + 2);
    EXPECT_EQ(countOf(logged, "could not move the unreadable " + file.string() + " aside: no free name"), 1u);
    EXPECT_EQ(countOf(logged, "could not write control-app config.json"), 1u);
}

TEST_F(store_File, EveryChangeSavesTheWholeStateByteExactAndPrivately) {
    SettingsStore store;
    store.load();
    store.recordSignIn(entry("sys-1", "10.0.0.5", {"ops.local"}, 1767225600000, true));
    store.setLastSystem("sys-1", true);
    EXPECT_EQ(readFile(file),
              "{\n  \"autoSignIn\": true,\n  \"lastSystemId\": \"sys-1\",\n  \"systems\": [\n    {\n"
              "      \"host\": \"10.0.0.5\",\n      \"hosts\": [\n        \"10.0.0.5\",\n        \"ops.local\"\n"
              "      ],\n      \"lastUsedMs\": 1767225600000,\n      \"name\": \"Name of sys-1\",\n"
              "      \"port\": 9443,\n      \"sessionRemembered\": true,\n      \"systemId\": \"sys-1\"\n    }\n"
              "  ],\n  \"version\": 2\n}");
    EXPECT_TRUE(others().empty()) << "no temporary file left";
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(folder).permissions(), kPrivateFolder);
    SystemEntry broken = entry("bad", "10.0.0.1");
    broken.name = "broken \xC3 byte";  // replaced instead of losing the whole save
    store.recordSignIn(broken);
    EXPECT_NE(readFile(file).find("\"name\": \"broken \xEF\xBF\xBD byte\""), std::string::npos);
    const std::string before = readFile(file);
    fs::create_directory(file.string() + ".tmp");  // in the way of the temporary file, even for root
    store.recordSignIn(entry("second", "10.0.0.2"));
    EXPECT_EQ(readFile(file), before);
    fs::remove(file.string() + ".tmp");

    writeConfig(R"({"version": 2, "lastSystemId": "d", "autoSignIn": true, "systems": [
        {"systemId": "d", "host": "first", "hosts": ["first", "shared"], "sessionRemembered": true},
        {"systemId": "e", "host": "other", "hosts": ["other"]},
        {"systemId": "d", "host": "second", "hosts": ["second", "shared"], "sessionRemembered": true}]})");
    store.load();
    SystemEntry found;
    EXPECT_TRUE(store.findSystem("d", found) && found.host == "first") << "the first match";
    EXPECT_FALSE(store.findSystem("D", found)) << "ids compare byte for byte";
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
    EXPECT_EQ(readFile(file), store.serialize());
    EXPECT_EQ(countOf(test::loggedText(), "could not write control-app config.json"), 1u);
}

TEST(store_AppDirs, XdgFoldersOrHomeAndPrivateModes) {
    test::TempDir tmp;
    const fs::path t = tmp.path(), app = fs::path("OstrelOps") / "control-app";
    test::ScopedEnv home("HOME", (t / "home").string());
    test::ScopedEnv config("XDG_CONFIG_HOME", (t / "cfg").string());
    test::ScopedEnv data("XDG_DATA_HOME", (t / "dat").string());
    EXPECT_EQ(configPath(), t / "cfg" / app / "config.json");
    EXPECT_EQ(appDataDir(KnownFolder::Local), t / "dat" / app);
    for (const auto& p : {t / "cfg", t / "cfg" / app, t / "dat"})
        EXPECT_EQ(fs::status(p).permissions(), kPrivateFolder);
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
