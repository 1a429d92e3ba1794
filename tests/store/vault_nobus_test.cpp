// Runs with a session bus address that leads nowhere: the vault must read as empty, refuse
// writes with a warning, and do both promptly.
#include <chrono>
#include <cstdlib>

#include <gtest/gtest.h>

#include "store/settings_store.h"
#include "store/vault.h"
#include "tests/store/store_test_util.h"
#include "tests/support/test_support.h"

namespace ostrel {
namespace {

using namespace std::chrono_literals;

TEST(store_VaultNoBus, ReadsAreEmptyAndWritesFailWithAWarning) {
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    ASSERT_NE(bus, nullptr);
    ASSERT_STREQ(bus, "unix:path=/nonexistent/bus");

    test::TempDir tmp;
    test::IsolatedUserDirs dirs(tmp.path());
    test::LogCapture log(dirs.logs());
    const std::string password = "nobus-password-51f0";
    const std::string siteKey = "nobus-site-key-9d27";

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readPassword("sys"), "");
    EXPECT_FALSE(hasPassword("sys"));
    EXPECT_FALSE(savePassword("sys", password));
    deletePassword("sys");
    EXPECT_EQ(readSiteKey(), "");
    EXPECT_FALSE(hasSiteKey());
    EXPECT_FALSE(saveSiteKey(siteKey));
    deleteSiteKey();

    // forgetSystem still rewrites the file although the credential cannot be deleted.
    SettingsStore store;
    store.load();
    SystemEntry e;
    e.systemId = "sys";
    e.host = "10.0.0.1";
    store.recordSignIn(e);
    store.forgetSystem("sys");
    EXPECT_TRUE(store.systemsSnapshot().empty());
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, 5s) << "a missing session bus must fail fast";

    const std::string pretty = log.finish();
    EXPECT_EQ(test::countOf(pretty, "could not save a credential to the Secret Service (error "), 2u);
    const std::string logs = log.finishAll();
    EXPECT_TRUE(logs.find(password) == std::string::npos);
    EXPECT_TRUE(logs.find(siteKey) == std::string::npos);
}

}  // namespace
}  // namespace ostrel
