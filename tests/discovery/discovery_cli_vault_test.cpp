// The CLI takes the site key from the vault: its probes carry a valid siteAuth only with a key.
// The keyring is shared by the whole test run, so this binary holds the site-key lock.
#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "store/vault.h"
#include "tests/discovery/cli_support.h"
#include "tests/discovery/responder_support.h"

namespace {

using nlohmann::json;

TEST(discovery_CliVault, SiteAuthFollowsTheStoredKey) {
    OSTREL_REQUIRE_NETNS();
    ostrel::test::TempDir dir;
    const std::string key = "north-site-key-\xc3\xa9-7731";
    ostrel::test::writeFile(dir.path() / "key", key + "\n");
    const auto record = dir.path() / "rec.jsonl";
    ostrel::test::Responder responder(47930, record, {"--site-key-file", (dir.path() / "key").string(), "--system", "id=guarded"});
    ASSERT_TRUE(responder.ready());
    std::size_t seen = 0;
    for (const bool stored : {false, true}) {
        SCOPED_TRACE(stored);
        if (stored) {
            ASSERT_TRUE(ostrel::saveSiteKey(key));
        } else {
            ostrel::deleteSiteKey();
        }
        const auto run = ostrel::test::runCli(dir.path() / (stored ? "with" : "without"), {"discover", "--port", "47930"});
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(json::parse(run.out, nullptr, false)["systems"].size(), stored ? 1u : 0u);
        // The key itself never shows (compared without printing it).
        EXPECT_TRUE(run.out.find(key) == std::string::npos && run.err.find(key) == std::string::npos &&
                    run.logs.find(key) == std::string::npos);
        const auto probes = ostrel::test::probesOf(ostrel::test::readRecords(record));
        ASSERT_GT(probes.size(), seen);
        for (std::size_t i = seen; i < probes.size(); ++i) {
            EXPECT_EQ(probes[i]["siteAuth"].get<bool>(), stored);
            EXPECT_EQ(probes[i]["authorized"].get<bool>(), stored);
        }
        seen = probes.size();
    }
    ostrel::deleteSiteKey();
}

}  // namespace
