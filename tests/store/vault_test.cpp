// Runs against the real Secret Service of the test environment. The keyring is shared by every
// test process of a run, so each test uses its own system ids.
#include <unistd.h>

#include <atomic>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "store/settings_store.h"
#include "store/vault.h"
#include "tests/store/store_test_util.h"

namespace ostrel {
namespace {

std::string uniqueId(const std::string& tag) {
    static std::atomic<int> counter{0};
    static const unsigned salt = std::random_device{}();
    return "store-test-" + tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(salt) + "-" +
           std::to_string(counter++);
}

TEST(store_Vault, PasswordsRoundTripAsRawBytesPerExactId) {
    EXPECT_EQ(credentialTarget("abc-123"), "OstrelOps Control/abc-123");
    const std::string a = uniqueId("a"), b = uniqueId("b");
    EXPECT_TRUE(!hasPassword(a) && readPassword(a).empty());
    const std::string first("p\xC3\xA4ss \xF0\x9F\x94\x90 \"'\\\0\xFF", 16);
    ASSERT_TRUE(savePassword(a, first) && savePassword(b, "secret-of-b"));
    EXPECT_TRUE(hasPassword(a) && readPassword(a) == first);
    ASSERT_TRUE(savePassword(a, "second-secret"));
    EXPECT_TRUE(readPassword(a) == "second-secret") << "a save replaces the stored password";
    EXPECT_FALSE(hasPassword(a + "x") || hasPassword(a.substr(0, a.size() - 1)));
    deletePassword(a);
    EXPECT_TRUE(!hasPassword(a) && readPassword(a).empty());
    deletePassword(a);  // deleting what is not there is harmless
    EXPECT_TRUE(readPassword(b) == "secret-of-b");
    deletePassword(b);
    EXPECT_FALSE(savePassword("", "not-kept") || hasPassword(""));  // an empty id is never stored

    // From several threads at once.
    std::vector<std::thread> workers;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&, t] {
            const std::string id = uniqueId("thread" + std::to_string(t));
            for (int i = 0; i < 10; ++i) {
                const std::string secret = "t" + std::to_string(t) + "-" + std::to_string(i);
                failures += !savePassword(id, secret) || readPassword(id) != secret;
                deletePassword(id);
                failures += hasPassword(id);
            }
        });
    }
    for (auto& w : workers) w.join();
    EXPECT_EQ(failures.load(), 0);
}

// The site key: this binary holds the resource lock "ostrel_site_key" like every other user of it.
TEST(store_Vault, SiteKeyIsSeparateFromASystemCalledSiteKey) {
    deleteSiteKey();
    deletePassword("site-key");
    EXPECT_FALSE(hasSiteKey());
    const std::string key = "site-key-\xC3\xBC-0123456789abcdef";
    ASSERT_TRUE(saveSiteKey(key));
    ASSERT_TRUE(savePassword("site-key", "system-password"));  // same target name, another user name
    EXPECT_TRUE(readSiteKey() == key && readPassword("site-key") == "system-password");
    deletePassword("site-key");
    EXPECT_TRUE(hasSiteKey());
    deleteSiteKey();
    EXPECT_TRUE(!hasSiteKey() && readSiteKey().empty());
}

TEST(store_Vault, ForgetDeletesThePasswordAndSecretsStayOutOfConfigAndLogs) {
    test::TempDir tmp;
    test::IsolatedUserDirs dirs(tmp.path());
    test::LogCapture log(dirs.logs());
    const std::string password = "Pw-\xE2\x9C\x93-7c1e0b2f9a", siteKey = "Sk-4be1d07c35";
    SettingsStore store;
    store.load();
    const std::string oldest = uniqueId("oldest");
    ASSERT_TRUE(savePassword(oldest, password));
    store.recordSignIn(SystemEntry{oldest, "Oldest", "10.9.9.9", 8443, {}, 0, true});
    store.setLastSystem(oldest, true);
    for (int i = 0; i < 32; ++i)
        store.recordSignIn(SystemEntry{uniqueId("filler"), "", "10.9.9.9", 8443, {}, 0, false});
    SystemEntry found;
    EXPECT_FALSE(store.findSystem(oldest, found));
    EXPECT_TRUE(hasPassword(oldest)) << "falling off the list keeps the password";
    ASSERT_TRUE(saveSiteKey(siteKey));
    store.forgetSystem(oldest);  // not listed any more: still deletes the credential
    EXPECT_FALSE(hasPassword(oldest));

    const std::string config = test::readFile(configPath()), all = config + log.finish(true);
    ASSERT_FALSE(config.empty());
    EXPECT_TRUE(all.find(password) == std::string::npos && all.find(siteKey) == std::string::npos);
    deleteSiteKey();
}

}  // namespace
}  // namespace ostrel
