// config.json as a damaged or hand-edited file may hold it: a file is taken whole or not at all,
// what loads saves back to a text that loads to the same, and a sign-in folds every copy of its
// system into one entry.
#include <algorithm>

#include "common/json_read.h"
#include "fuzz/fuzz_support.h"
#include "store/settings_store.h"

using namespace ostrel;
using namespace ostrel::fuzz;

OSTREL_FUZZ_QUIET_LOGGING

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    writeText(scratchDir() / "config.json", text);
    SettingsStore store(scratchDir() / "config.json");
    store.load();
    const auto systems = store.systemsSnapshot();
    const auto last = store.lastSystem();

    // Taken whole: every object with a non-empty systemId and host, or nothing.
    const nlohmann::json root = json_read::parse(text);
    if (!systems.empty() || !last.systemId.empty() || last.autoSignIn) {
        FUZZ_CHECK(root.is_object() && root.value("version", nlohmann::json()) == 2, "loaded from a non-settings text");
    }
    if (!systems.empty()) {
        const nlohmann::json list = root.value("systems", nlohmann::json::array());
        const auto usable = std::count_if(list.begin(), list.end(), [](const nlohmann::json& e) {
            const auto text = [&](const char* key) {
                return e.is_object() ? e.value(key, nlohmann::json()) : nlohmann::json();
            };
            return text("systemId").is_string() && text("host").is_string() && text("systemId") != "" &&
                   text("host") != "";
        });
        FUZZ_CHECK(usable == static_cast<std::ptrdiff_t>(systems.size()),
                   "half-loaded: " + std::to_string(systems.size()));
    }

    // save(load(x)) loads back to the same state, so saving it again gives the same text.
    const std::string saved = store.serialize();
    writeText(scratchDir() / "again.json", saved);
    SettingsStore again(scratchDir() / "again.json");
    again.load();
    FUZZ_CHECK(again.serialize() == saved && again.systemsSnapshot().size() == systems.size(), saved);

    if (systems.empty()) return 0;
    SystemEntry entry = systems.back();
    entry.host = "fold.example";
    entry.hosts = {"fold.example"};
    store.recordSignIn(entry);
    const auto after = store.systemsSnapshot();
    FUZZ_CHECK(after.size() <= SettingsStore::kMaxSystems && after.front().systemId == entry.systemId &&
                   std::count_if(after.begin(), after.end(),
                                 [&](const SystemEntry& e) { return e.systemId == entry.systemId; }) == 1,
               "one entry per system, the signed-in one first");
    for (const auto& copy : systems) {
        for (const auto& host : copy.systemId == entry.systemId ? copy.hosts : std::vector<std::string>{}) {
            FUZZ_CHECK(std::count(after.front().hosts.begin(), after.front().hosts.end(), host) == 1,
                       "lost host " + host);
        }
    }
    return 0;
}
