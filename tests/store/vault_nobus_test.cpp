// Runs with a session bus address that leads nowhere: the vault must read as empty, refuse
// writes with a warning that names the error, and do both promptly.
#include <chrono>
#include <cstdlib>

#include <gtest/gtest.h>

#include "store/settings_store.h"
#include "store/vault.h"
#include "tests/store/store_test_util.h"

namespace ostrel {
namespace {

TEST(store_VaultNoBus, ReadsAreEmptyAndWritesFailWithAWarning) {
    ASSERT_STREQ(std::getenv("DBUS_SESSION_BUS_ADDRESS"), "unix:path=/nonexistent/bus");
    test::TempDir tmp;
    test::IsolatedUserDirs dirs(tmp.path());
    test::LogCapture log(dirs.logs());
    const std::string password = "nobus-password-51f0", siteKey = "nobus-site-key-9d27";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(readPassword("sys").empty() && !hasPassword("sys") && !savePassword("sys", password));
    deletePassword("sys");
    EXPECT_TRUE(readSiteKey().empty() && !hasSiteKey() && !saveSiteKey(siteKey));
    deleteSiteKey();
    // forgetSystem still rewrites the file although the credential cannot be deleted.
    SettingsStore store;
    store.recordSignIn(SystemEntry{"sys", "", "10.0.0.1", 8443, {}, 0, false});
    store.forgetSystem("sys");
    EXPECT_TRUE(store.systemsSnapshot().empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5))
        << "a missing session bus must fail fast";

    // The library's error: "Could not connect: ..." with its code (G_IO_ERROR_NOT_FOUND).
    const std::string pretty = log.finish();
    EXPECT_EQ(test::countOf(pretty, "could not save a credential to the Secret Service (error 1: Could not connect"),
              2u)
        << pretty;
    const std::string logs = log.finish(true);
    EXPECT_TRUE(logs.find(password) == std::string::npos && logs.find(siteKey) == std::string::npos);
}

}  // namespace
}  // namespace ostrel
