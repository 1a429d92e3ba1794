#include "store/settings_store.h"

#include "common/json_read.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <limits>
#include <optional>
#include <utility>

#include <nlohmann/json.hpp>

#include "log/log.h"
#include "store/app_dirs.h"
#include "store/vault.h"

namespace ostrel {
namespace {

using json_read::readBool;
using json_read::readString;

namespace fs = std::filesystem;
using nlohmann::json;

constexpr int kConfigVersion = 2;
constexpr const char* kUnreadableWarning = "control-app config.json unreadable or from another version - starting empty";

// The file is read strictly: a member of the wrong JSON type makes the whole file unreadable
// rather than half-loading it. Each reader leaves `out` alone when the member is absent.
// Integers only (2.0 is not 2); values that do not fit the field are as wrong as text would be.
template <typename Int>
bool readInteger(const json& object, const char* key, Int& out) {
    const auto it = object.find(key);
    if (it == object.end()) return true;
    if (it->is_number_unsigned()) {
        const auto value = it->get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(std::numeric_limits<Int>::max())) return false;
        out = static_cast<Int>(value);
        return true;
    }
    if (it->is_number_integer()) {
        const auto value = it->get<std::int64_t>();
        if (value < static_cast<std::int64_t>(std::numeric_limits<Int>::min()) ||
            value > static_cast<std::int64_t>(std::numeric_limits<Int>::max())) {
            return false;
        }
        out = static_cast<Int>(value);
        return true;
    }
    return false;
}

struct LoadedConfig {
    std::vector<SystemEntry> systems;
    std::string lastSystemId;
    bool autoSignIn = false;
};

// nullopt: not a version-2 settings object, or a member of the wrong type.
std::optional<LoadedConfig> parseConfig(const std::string& text) {
    const json root = json_read::parse(text);
    if (root.is_discarded() || !root.is_object()) return std::nullopt;
    const auto version = root.find("version");
    if (version == root.end() || !version->is_number_integer() || version->get<std::int64_t>() != kConfigVersion) {
        return std::nullopt;
    }

    LoadedConfig config;
    if (!readString(root, "lastSystemId", config.lastSystemId)) return std::nullopt;
    if (!readBool(root, "autoSignIn", config.autoSignIn)) return std::nullopt;

    const auto systems = root.find("systems");
    if (systems == root.end() || !systems->is_array()) return config;
    for (const auto& element : *systems) {
        if (!element.is_object()) continue;
        SystemEntry entry;
        if (!readString(element, "systemId", entry.systemId) || !readString(element, "name", entry.name) ||
            !readString(element, "host", entry.host) || !readInteger(element, "port", entry.port) ||
            !readInteger(element, "lastUsedMs", entry.lastUsedMs) ||
            !readBool(element, "sessionRemembered", entry.sessionRemembered)) {
            return std::nullopt;
        }
        if (const auto hosts = element.find("hosts"); hosts != element.end() && hosts->is_array()) {
            for (const auto& host : *hosts) {
                if (host.is_string()) entry.hosts.push_back(host.get<std::string>());
            }
        }
        if (entry.systemId.empty() || entry.host.empty()) continue;
        config.systems.push_back(std::move(entry));
    }
    return config;
}

}  // namespace

fs::path configPath() {
    const fs::path dir = appDataDir(KnownFolder::Roaming);
    if (dir.empty()) return {};
    return dir / "config.json";
}

namespace {

// "" for a missing file, nullopt for one that exists but cannot be read (no access, a folder in
// its place, an I/O error). C stdio rather than iostreams: libstdc++ streams throw from a failed
// read, and a start-up read must never throw.
std::optional<std::string> readExisting(const fs::path& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        if (errno == ENOENT || errno == ENOTDIR) return std::string();
        return std::nullopt;
    }
    std::string text;
    char chunk[16384];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) return std::nullopt;
    return text;
}

}  // namespace

std::string readFileText(const fs::path& path) {
    if (path.empty()) return {};
    return readExisting(path).value_or(std::string());
}

fs::path moveAsideUnreadable(const fs::path& file) {
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch()).count();
    const std::string base = file.filename().string() + ".unreadable-" + log::makeFileStamp(now, 0, false);
    std::error_code ec;
    for (int n = 1; n <= 99; ++n) {
        fs::path target = file.parent_path() / (n == 1 ? base : base + "-" + std::to_string(n));
        if (fs::exists(fs::symlink_status(target, ec))) continue;
        fs::rename(file, target, ec);
        if (ec) break;
        log::logf(log::Warn, "unreadable %s kept as %s", file.filename().c_str(), target.c_str());
        return target;
    }
    log::logf(log::Warn, "could not move the unreadable %s aside: %s", file.c_str(),
              ec ? ec.message().c_str() : "no free name");
    return {};
}

bool clearUnreadableBeforeSave(const fs::path& file) {
    std::error_code ec;
    return !fs::exists(fs::symlink_status(file, ec)) || !moveAsideUnreadable(file).empty();
}

SettingsStore::SettingsStore(fs::path path) : path_(std::move(path)) {}

fs::path SettingsStore::path() const { return path_.empty() ? configPath() : path_; }

void SettingsStore::load() {
    std::lock_guard lock(mutex_);
    systems_.clear();
    lastSystemId_.clear();
    autoSignIn_ = false;

    moveAsideFirst_ = false;

    const fs::path file = path();
    if (file.empty()) return;
    const std::optional<std::string> text = readExisting(file);
    if (text && text->empty()) return;
    auto config = text ? parseConfig(*text) : std::nullopt;
    if (!config) {
        log::logf(log::Warn, "%s", kUnreadableWarning);
        moveAsideFirst_ = true;
        return;
    }
    systems_ = std::move(config->systems);
    lastSystemId_ = std::move(config->lastSystemId);
    autoSignIn_ = config->autoSignIn;
}

std::string SettingsStore::serializeLocked() const {
    json systems = json::array();
    for (const auto& entry : systems_) {
        systems.push_back(json{
            {"host", entry.host},
            {"hosts", entry.hosts},
            {"lastUsedMs", entry.lastUsedMs},
            {"name", entry.name},
            {"port", entry.port},
            {"sessionRemembered", entry.sessionRemembered},
            {"systemId", entry.systemId},
        });
    }
    const json root{
        {"autoSignIn", autoSignIn_},
        {"lastSystemId", lastSystemId_},
        {"systems", std::move(systems)},
        {"version", kConfigVersion},
    };
    // Names and hosts come from the network; a stray invalid UTF-8 byte is replaced rather than
    // letting the serialiser throw and lose the whole save.
    return root.dump(2, ' ', false, json::error_handler_t::replace);
}

std::string SettingsStore::serialize() {
    std::lock_guard lock(mutex_);
    return serializeLocked();
}

void SettingsStore::save() {
    const fs::path file = path();
    if (moveAsideFirst_) {
        if (!clearUnreadableBeforeSave(file)) {
            // Better unsaved changes than the operator's only copy overwritten.
            log::logf(log::Warn, "could not write control-app config.json");
            return;
        }
        moveAsideFirst_ = false;
    }
    if (!writeFileAtomic(file, serializeLocked())) {
        log::logf(log::Warn, "could not write control-app config.json");
    }
}

std::vector<SystemEntry> SettingsStore::systemsSnapshot() {
    std::lock_guard lock(mutex_);
    return systems_;
}

bool SettingsStore::findSystem(const std::string& systemId, SystemEntry& out) {
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(systems_.begin(), systems_.end(),
                                 [&](const SystemEntry& e) { return e.systemId == systemId; });
    if (it == systems_.end()) return false;
    out = *it;
    return true;
}

void SettingsStore::recordSignIn(SystemEntry entry) {
    std::lock_guard lock(mutex_);
    // A damaged or hand-edited file may list a system more than once; the sign-in folds every
    // copy into the new entry (hosts in list order), so no stale copy outlives it.
    for (const auto& stored : systems_) {
        if (stored.systemId != entry.systemId) continue;
        for (const auto& host : stored.hosts) {
            if (std::find(entry.hosts.begin(), entry.hosts.end(), host) == entry.hosts.end()) {
                entry.hosts.push_back(host);
            }
        }
    }
    std::erase_if(systems_, [&](const SystemEntry& e) { return e.systemId == entry.systemId; });
    if (std::find(entry.hosts.begin(), entry.hosts.end(), entry.host) == entry.hosts.end()) {
        entry.hosts.insert(entry.hosts.begin(), entry.host);
    }
    systems_.insert(systems_.begin(), std::move(entry));
    if (systems_.size() > kMaxSystems) systems_.resize(kMaxSystems);
    save();
}

void SettingsStore::setLastSystem(const std::string& systemId, bool autoSignIn) {
    std::lock_guard lock(mutex_);
    lastSystemId_ = systemId;
    autoSignIn_ = autoSignIn;
    save();
}

void SettingsStore::clearRememberedSession(const std::string& systemId) {
    std::lock_guard lock(mutex_);
    bool found = false;
    for (auto& entry : systems_) {
        if (entry.systemId != systemId) continue;
        entry.sessionRemembered = false;  // every copy, should the file list the system twice
        found = true;
    }
    if (found) save();
}

void SettingsStore::forgetSystem(const std::string& systemId) {
    {
        std::lock_guard lock(mutex_);
        std::erase_if(systems_, [&](const SystemEntry& e) { return e.systemId == systemId; });
        if (lastSystemId_ == systemId) {
            lastSystemId_.clear();
            autoSignIn_ = false;
        }
        save();
    }
    // The credential store can be slow (D-Bus); the settings lock is not held across it.
    deletePassword(systemId);
}

SettingsStore::LastSystem SettingsStore::lastSystem() {
    std::lock_guard lock(mutex_);
    return {lastSystemId_, autoSignIn_};
}

}  // namespace ostrel
