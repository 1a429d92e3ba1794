// The CLI takes the site key from the vault: probes carry a valid siteAuth only with the right key.
// The keyring is shared by the whole test run, so these tests hold the site-key lock.
#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "store/vault.h"
#include "tests/discovery/cli_support.h"
#include "tests/discovery/responder_support.h"

namespace {

using nlohmann::json;
using ostrel::test::Responder;
using ostrel::test::TempDir;

struct SiteKeyCleanup {
    ~SiteKeyCleanup() { ostrel::deleteSiteKey(); }
};

TEST(discovery_CliVault, SiteAuthFollowsTheStoredKey) {
    OSTREL_REQUIRE_NETNS();
    TempDir dir;
    SiteKeyCleanup cleanup;
    const std::string key = "north-site-key-\xc3\xa9-7731";
    ostrel::test::writeFile(dir.path() / "key", key + "\n");
    const auto record = dir.path() / "rec.jsonl";
    Responder responder(47930, record,
                        {"--site-key-file", (dir.path() / "key").string(), "--system", "id=guarded,name=Guarded"});
    ASSERT_TRUE(responder.ready());

    struct Case {
        const char* what;
        std::string stored;  // empty: no key in the vault
        bool answered;
    };
    const Case cases[] = {{"no key", "", false}, {"wrong key", key + "-old", false}, {"right key", key, true}};
    std::size_t seen = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.stored.empty()) {
            ostrel::deleteSiteKey();
            ASSERT_FALSE(ostrel::hasSiteKey());
        } else {
            ASSERT_TRUE(ostrel::saveSiteKey(c.stored));
        }
        const auto run = ostrel::test::runCli(dir.path() / c.what, {"discover", "--port", "47930"});
        EXPECT_EQ(run.exitCode, 0);
        const json event = json::parse(run.out, nullptr, false);
        ASSERT_TRUE(event.is_object());
        EXPECT_EQ(event["systems"].size(), c.answered ? 1u : 0u);
        // The key itself never shows (compared without printing it).
        EXPECT_TRUE(run.out.find(key) == std::string::npos && run.err.find(key) == std::string::npos &&
                    run.logs.find(key) == std::string::npos);

        const auto probes = ostrel::test::probesOf(ostrel::test::readRecords(record));
        ASSERT_GT(probes.size(), seen);
        for (std::size_t i = seen; i < probes.size(); ++i) {
            const json probe = json::parse(probes[i]["text"].get<std::string>());
            EXPECT_EQ(probes[i]["bytes"], 256);
            EXPECT_EQ(probe["nonce"].get<std::string>().size(), 22u);
            EXPECT_EQ(probe.contains("siteAuth"), !c.stored.empty());
            if (probe.contains("siteAuth")) {
                EXPECT_EQ(probe["siteAuth"].get<std::string>().size(), 43u);
            }
            EXPECT_EQ(probes[i]["authorized"].get<bool>(), c.answered);
        }
        seen = probes.size();
    }
}

}  // namespace
