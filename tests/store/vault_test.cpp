// Runs against the real Secret Service of the test environment (the keyring is shared by every
// test process of a run, so each test uses its own system ids), and built a second time to run
// with a session bus address that leads nowhere.
#include <glib.h>
#include <unistd.h>

#include <cstdlib>
#include <random>

#include <gtest/gtest.h>

#include "store/settings_store.h"
#include "store/vault.h"
#include "tests/store/store_test_util.h"

namespace ostrel {
namespace {

// A GLib critical (a null handed to a GLib call) ends the test instead of scrolling by.
[[maybe_unused]] const bool kGlibCriticalsAreFatal =
    (g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL)), true);

#ifndef OSTREL_VAULT_NO_BUS
std::string uniqueId(const std::string& tag) {
    static int counter = 0;
    static const std::string run = std::to_string(::getpid()) + "-" + std::to_string(std::random_device{}());
    return "store-test-" + tag + "-" + run + "-" + std::to_string(counter++);
}

TEST(store_Vault, PasswordsRoundTripAsRawBytesPerExactId) {
    EXPECT_EQ(credentialTarget("abc-123"), "OstrelOps Control/abc-123");
    const std::string a = uniqueId("a"), b = uniqueId("b");
    const std::string first("p\xC3\xA4ss \xF0\x9F\x94\x90 \"'\\\0\xFF", 16);
    ASSERT_TRUE(savePassword(a, first) && savePassword(b, "secret-of-b"));
    EXPECT_TRUE(hasPassword(a) && readPassword(a) == first);
    deletePassword(a);
    EXPECT_TRUE(!hasPassword(a) && readPassword(a).empty() && readPassword(b) == "secret-of-b");
    deletePassword(b);
    EXPECT_FALSE(savePassword("", "not-kept") || hasPassword(""));  // an empty id is never stored
}

// The site key: this binary holds the resource lock "ostrel_site_key" like every other user of it.
TEST(store_Vault, SiteKeyAndForgottenPasswordsStayOutOfConfigAndLogs) {
    test::TempDir tmp;
    test::IsolatedUserDirs dirs(tmp.path());
    test::logInto(dirs.logs());
    const std::string password = "Pw-\xE2\x9C\x93-7c1e0b2f9a", siteKey = "Sk-\xC3\xBC-4be1d07c35";
    deleteSiteKey();
    deletePassword("site-key");
    EXPECT_FALSE(hasSiteKey());
    ASSERT_TRUE(saveSiteKey(siteKey));
    ASSERT_TRUE(savePassword("site-key", "system-password"));  // same target name, another user name
    EXPECT_TRUE(readSiteKey() == siteKey && readPassword("site-key") == "system-password");
    deletePassword("site-key");
    EXPECT_TRUE(hasSiteKey());

    const std::string unlisted = uniqueId("unlisted");
    ASSERT_TRUE(savePassword(unlisted, password));
    SettingsStore().forgetSystem(unlisted);  // deletes the credential of a system the list does not hold
    EXPECT_FALSE(hasPassword(unlisted));

    test::loggedText();
    const std::string config = test::readFile(configPath()), all = config + test::readTree(dirs.logs());
    ASSERT_FALSE(config.empty());
    EXPECT_TRUE(all.find(password) == std::string::npos && all.find(siteKey) == std::string::npos);
    deleteSiteKey();
    EXPECT_TRUE(!hasSiteKey() && readSiteKey().empty());
}

#else
// Reads are empty and writes fail with a warning that names the error (promptly: the test has a
// short time-out).
TEST(store_VaultNoBus, ReadsAreEmptyAndWritesFailWithAWarning) {
    ASSERT_STREQ(std::getenv("DBUS_SESSION_BUS_ADDRESS"), "unix:path=/nonexistent/bus");
    test::TempDir tmp;
    test::IsolatedUserDirs dirs(tmp.path());
    test::logInto(dirs.logs());
    const std::string password = "nobus-password-51f0", siteKey = "nobus-site-key-9d27";
    EXPECT_TRUE(readPassword("sys").empty() && !hasPassword("sys") && !savePassword("sys", password));
    EXPECT_TRUE(readSiteKey().empty() && !hasSiteKey() && !saveSiteKey(siteKey));
    deleteSiteKey();
    deletePassword("sys");
    // The library's error: "Could not connect: ..." with its code (G_IO_ERROR_NOT_FOUND).
    EXPECT_EQ(test::countOf(test::loggedText(),
                            "could not save a credential to the Secret Service (error 1: Could not connect"),
              2u);
    const std::string logs = test::readTree(dirs.logs());
    EXPECT_TRUE(logs.find(password) == std::string::npos && logs.find(siteKey) == std::string::npos);
}
#endif

}  // namespace
}  // namespace ostrel
