// config.json as a damaged or hand-edited file may hold it: load, then save. Whatever loads
// saves back to a text that loads to the same state, a file is taken whole or not at all, and
// a sign-in leaves exactly one entry for its system.
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/json_read.h"
#include "fuzz/fuzz_support.h"
#include "log/log.h"
#include "store/settings_store.h"

namespace {

using namespace ostrel;

void writeText(const std::filesystem::path& path, std::string_view text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

bool sameEntry(const SystemEntry& a, const SystemEntry& b) {
    return a.systemId == b.systemId && a.name == b.name && a.host == b.host && a.port == b.port &&
           a.hosts == b.hosts && a.lastUsedMs == b.lastUsedMs && a.sessionRemembered == b.sessionRemembered;
}

// The entries a readable file must give: objects with a non-empty string systemId and host.
std::vector<std::pair<std::string, std::string>> usableEntries(const nlohmann::json& root) {
    std::vector<std::pair<std::string, std::string>> out;
    if (!root.is_object() || !root.contains("systems") || !root["systems"].is_array()) return out;
    for (const auto& element : root["systems"]) {
        if (!element.is_object()) continue;
        const auto id = element.find("systemId");
        const auto host = element.find("host");
        if (id == element.end() || host == element.end() || !id->is_string() || !host->is_string()) continue;
        if (id->get<std::string>().empty() || host->get<std::string>().empty()) continue;
        out.emplace_back(id->get<std::string>(), host->get<std::string>());
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    log::LogConfig config;
    config.source = "fuzz";
    config.logDir = fuzz::scratchDir() / "logs";
    config.consoleSink = false;
    config.minLevel = 100;  // nothing below it: the warnings of damaged files are expected here
    log::init(config);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto first = fuzz::scratchDir() / "config.json";
    const auto second = fuzz::scratchDir() / "again.json";
    writeText(first, text);

    SettingsStore store(first);
    store.load();
    const auto systems = store.systemsSnapshot();
    const auto last = store.lastSystem();
    const nlohmann::json root = json_read::parse(text);

    // Taken whole or not at all.
    const bool loadedSomething = !systems.empty() || !last.systemId.empty() || last.autoSignIn;
    if (loadedSomething) {
        FUZZ_CHECK(root.is_object() && root.contains("version") && root["version"] == 2, "loaded from a non-settings text");
    }
    if (!systems.empty()) {
        const auto usable = usableEntries(root);
        FUZZ_CHECK(usable.size() == systems.size(), "half-loaded: " + std::to_string(systems.size()) + " of " +
                                                        std::to_string(usable.size()));
        for (std::size_t i = 0; i < usable.size(); ++i) {
            FUZZ_CHECK(systems[i].systemId == usable[i].first && systems[i].host == usable[i].second, usable[i].first);
        }
    }

    // save(load(x)) loads back equal, and saving that again gives the same text.
    const std::string saved = store.serialize();
    writeText(second, saved);
    SettingsStore again(second);
    again.load();
    const auto reloaded = again.systemsSnapshot();
    FUZZ_CHECK(reloaded.size() == systems.size(), "round trip lost entries");
    for (std::size_t i = 0; i < systems.size(); ++i) FUZZ_CHECK(sameEntry(systems[i], reloaded[i]), systems[i].systemId);
    FUZZ_CHECK(again.lastSystem().systemId == last.systemId && again.lastSystem().autoSignIn == last.autoSignIn,
               "round trip changed the last system");
    FUZZ_CHECK(again.serialize() == saved, "saving twice differs");

    // A sign-in to a listed system folds every copy of it into one entry at the front.
    if (!systems.empty()) {
        SystemEntry entry = systems.back();
        entry.host = "fold.example";
        entry.hosts = {"fold.example"};
        std::vector<std::string> expectedHosts = entry.hosts;
        for (const auto& system : systems) {
            if (system.systemId != entry.systemId) continue;
            for (const auto& host : system.hosts) {
                if (std::find(expectedHosts.begin(), expectedHosts.end(), host) == expectedHosts.end()) {
                    expectedHosts.push_back(host);
                }
            }
        }
        store.recordSignIn(entry);
        const auto after = store.systemsSnapshot();
        const auto copies = std::count_if(after.begin(), after.end(),
                                          [&](const SystemEntry& e) { return e.systemId == entry.systemId; });
        FUZZ_CHECK(copies == 1 && after.front().systemId == entry.systemId, "copies after a sign-in");
        FUZZ_CHECK(after.front().hosts == expectedHosts, "hosts of every copy, in list order");
        FUZZ_CHECK(after.size() <= SettingsStore::kMaxSystems, "the list is capped at a sign-in");
    }
    return 0;
}
