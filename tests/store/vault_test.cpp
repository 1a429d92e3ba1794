// Runs against the real Secret Service of the test environment. The keyring is shared by every
// test process of a run, so each test uses its own system ids.
#include <unistd.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "store/settings_store.h"
#include "store/vault.h"
#include "tests/store/store_test_util.h"
#include "tests/support/test_support.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;

std::string uniqueId(const std::string& tag) {
    static std::atomic<int> counter{0};
    static const unsigned salt = std::random_device{}();
    return "store-test-" + tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(salt) + "-" +
           std::to_string(counter++);
}

TEST(store_Vault, CredentialTargetNamesTheSystem) {
    EXPECT_EQ(credentialTarget("abc-123"), "OstrelOps Control/abc-123");
    EXPECT_EQ(credentialTarget(""), "OstrelOps Control/");
}

TEST(store_Vault, PasswordRoundTripOverwriteAndDelete) {
    const std::string id = uniqueId("roundtrip");
    EXPECT_FALSE(hasPassword(id));
    EXPECT_EQ(readPassword(id), "");

    const std::string first = "p\xC3\xA4sswort \xE2\x82\xAC \xF0\x9F\x94\x90 \"'\\";
    ASSERT_TRUE(savePassword(id, first));
    EXPECT_TRUE(hasPassword(id));
    EXPECT_TRUE(readPassword(id) == first);

    const std::string second = "second-secret";
    ASSERT_TRUE(savePassword(id, second));
    EXPECT_TRUE(readPassword(id) == second) << "a save replaces the stored password";

    deletePassword(id);
    EXPECT_FALSE(hasPassword(id));
    EXPECT_EQ(readPassword(id), "");
    deletePassword(id);  // deleting what is not there is harmless
    EXPECT_FALSE(hasPassword(id));
}

TEST(store_Vault, PasswordsAreKeptAsRawBytes) {
    const std::string id = uniqueId("bytes");
    const std::string withNul("ab\0cd\xFF", 6);
    ASSERT_TRUE(savePassword(id, withNul));
    const std::string back = readPassword(id);
    EXPECT_EQ(back.size(), withNul.size());
    EXPECT_TRUE(back == withNul);
    deletePassword(id);
}

TEST(store_Vault, SystemsAreIndependentAndIdsAreExact) {
    const std::string a = uniqueId("a");
    const std::string b = uniqueId("b");
    ASSERT_TRUE(savePassword(a, "secret-of-a"));
    ASSERT_TRUE(savePassword(b, "secret-of-b"));
    EXPECT_TRUE(readPassword(a) == "secret-of-a");
    EXPECT_TRUE(readPassword(b) == "secret-of-b");
    EXPECT_FALSE(hasPassword(a + "x"));
    EXPECT_FALSE(hasPassword(a.substr(0, a.size() - 1)));

    deletePassword(a);
    EXPECT_FALSE(hasPassword(a));
    EXPECT_TRUE(readPassword(b) == "secret-of-b");
    deletePassword(b);
}

TEST(store_Vault, EmptySystemIdIsNeverStored) {
    EXPECT_FALSE(savePassword("", "not-kept"));
    EXPECT_FALSE(hasPassword(""));
    EXPECT_EQ(readPassword(""), "");
    deletePassword("");
}

// Tests that touch the site key rely on the binary's resource lock "ostrel_site_key", which
// other test binaries using the key should take as well.
TEST(store_Vault, SiteKeyRoundTripIsSeparateFromASystemCalledSiteKey) {
    deleteSiteKey();
    deletePassword("site-key");
    EXPECT_FALSE(hasSiteKey());
    EXPECT_EQ(readSiteKey(), "");

    const std::string key = "site-key-\xC3\xBC-0123456789abcdef";
    ASSERT_TRUE(saveSiteKey(key));
    EXPECT_TRUE(hasSiteKey());
    EXPECT_TRUE(readSiteKey() == key);

    // A system whose id is "site-key" has the same target name but another user name.
    ASSERT_TRUE(savePassword("site-key", "system-password"));
    EXPECT_TRUE(readSiteKey() == key);
    EXPECT_TRUE(readPassword("site-key") == "system-password");
    deletePassword("site-key");
    EXPECT_TRUE(hasSiteKey());

    ASSERT_TRUE(saveSiteKey("replacement-key"));
    EXPECT_TRUE(readSiteKey() == "replacement-key");
    deleteSiteKey();
    EXPECT_FALSE(hasSiteKey());
    EXPECT_EQ(readSiteKey(), "");
}

TEST(store_Vault, SafeFromSeveralThreadsAtOnce) {
    std::vector<std::thread> workers;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&, t] {
            const std::string id = uniqueId("thread" + std::to_string(t));
            for (int i = 0; i < 10; ++i) {
                const std::string secret = "t" + std::to_string(t) + "-" + std::to_string(i);
                if (!savePassword(id, secret) || readPassword(id) != secret || !hasPassword(id)) ++failures;
                deletePassword(id);
                if (hasPassword(id)) ++failures;
            }
        });
    }
    for (auto& w : workers) w.join();
    EXPECT_EQ(failures.load(), 0);
}

class store_VaultWithStore : public ::testing::Test {
protected:
    test::TempDir tmp;
    test::IsolatedUserDirs dirs{tmp.path()};
    fs::path file = dirs.config() / "OstrelOps" / "control-app" / "config.json";
};

TEST_F(store_VaultWithStore, ForgetDeletesThePasswordButTheCapDoesNot) {
    SettingsStore store;
    store.load();
    const std::string oldest = uniqueId("oldest");
    ASSERT_TRUE(savePassword(oldest, "oldest-secret"));
    SystemEntry e;
    e.systemId = oldest;
    e.host = "10.9.9.9";
    store.recordSignIn(e);
    for (int i = 0; i < 32; ++i) {
        e.systemId = uniqueId("filler");
        store.recordSignIn(e);
    }
    SystemEntry found;
    EXPECT_FALSE(store.findSystem(oldest, found));
    EXPECT_TRUE(hasPassword(oldest)) << "falling off the list keeps the password";

    // Forgetting an id that is not listed still deletes a credential stored under it.
    store.forgetSystem(oldest);
    EXPECT_FALSE(hasPassword(oldest));

    const std::string listed = uniqueId("listed");
    ASSERT_TRUE(savePassword(listed, "listed-secret"));
    e.systemId = listed;
    store.recordSignIn(e);
    store.forgetSystem(listed);
    EXPECT_FALSE(hasPassword(listed));
    EXPECT_FALSE(store.findSystem(listed, found));
}

TEST_F(store_VaultWithStore, SecretsNeverReachConfigOrLogs) {
    test::LogCapture log(dirs.logs());
    const std::string password = "Pw-\xE2\x9C\x93-7c1e0b2f9a";
    const std::string siteKey = "Sk-4be1d07c35";
    const std::string id = uniqueId("leak");
    SettingsStore store;
    store.load();
    ASSERT_TRUE(savePassword(id, password));
    SystemEntry e;
    e.systemId = id;
    e.host = "10.1.2.3";
    e.sessionRemembered = true;
    store.recordSignIn(e);
    store.setLastSystem(id, true);
    EXPECT_TRUE(readPassword(id) == password);
    ASSERT_TRUE(saveSiteKey(siteKey));
    EXPECT_TRUE(readSiteKey() == siteKey);
    store.clearRememberedSession(id);
    store.forgetSystem(id);

    const std::string config = test::readFile(file);
    const std::string logs = log.finishAll();
    ASSERT_FALSE(config.empty());
    EXPECT_TRUE(config.find(password) == std::string::npos) << "the password is in config.json";
    EXPECT_TRUE(logs.find(password) == std::string::npos) << "the password is in a log file";
    EXPECT_TRUE(config.find(siteKey) == std::string::npos) << "the site key is in config.json";
    EXPECT_TRUE(logs.find(siteKey) == std::string::npos) << "the site key is in a log file";
    deleteSiteKey();
}

}  // namespace
}  // namespace ostrel
