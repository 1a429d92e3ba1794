// config.json as a damaged or hand-edited file may hold it: a file is taken whole or not at all,
// and what loads saves back to a text that loads to the same.
#include <algorithm>

#include "common/json_read.h"
#include "fuzz/fuzz_support.h"
#include "store/settings_store.h"

using namespace ostrel;
using namespace ostrel::fuzz;
using nlohmann::json;

OSTREL_FUZZ_QUIET_LOGGING

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    writeText(scratchDir() / "config.json", text);
    SettingsStore store(scratchDir() / "config.json");
    store.load();
    const auto systems = store.systemsSnapshot();

    // Taken whole: every object with a non-empty systemId and host, or nothing.
    const json root = json_read::parse(text), none;
    if (!systems.empty() || !store.lastSystem().systemId.empty() || store.lastSystem().autoSignIn) {
        const json list = root.is_object() ? root.value("systems", json::array()) : none;
        const auto usable = std::count_if(list.begin(), list.end(), [&](const json& e) {
            const json id = e.is_object() ? e.value("systemId", none) : none,
                       host = e.is_object() ? e.value("host", none) : none;
            return id.is_string() && host.is_string() && id != "" && host != "";
        });
        FUZZ_CHECK(root.is_object() && root.value("version", none) == 2 && usable == std::ssize(systems),
                   "half-loaded");
    }

    // save(load(x)) loads back to the same state, so saving it again gives the same text.
    const std::string saved = store.serialize();
    writeText(scratchDir() / "again.json", saved);
    SettingsStore again(scratchDir() / "again.json");
    again.load();
    FUZZ_CHECK(again.serialize() == saved, saved);

    return 0;
}
