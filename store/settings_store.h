#pragma once
// The systems the operator has signed in to, held in memory and mirrored to config.json.
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace ostrel {

struct SystemEntry {
    std::string systemId;
    std::string name;
    std::string host;
    std::int32_t port = 8443;
    std::vector<std::string> hosts;
    std::int64_t lastUsedMs = 0;
    bool sessionRemembered = false;
};

std::filesystem::path configPath();  // appDataDir(Roaming) / "config.json"; empty when unresolvable
std::string readFileText(const std::filesystem::path& path);
bool writeFileAtomic(const std::filesystem::path& path, const std::string& bytes);

class SettingsStore {
public:
    static constexpr std::size_t kMaxSystems = 32;

    // Empty path: configPath() at load/save time.
    explicit SettingsStore(std::filesystem::path path = {});

    void load();
    std::vector<SystemEntry> systemsSnapshot();
    bool findSystem(const std::string& systemId, SystemEntry& out);
    void recordSignIn(SystemEntry entry);
    void setLastSystem(const std::string& systemId, bool autoSignIn);
    void clearRememberedSession(const std::string& systemId);
    // Also deletes the system's saved password, after the lock is released.
    void forgetSystem(const std::string& systemId);

    struct LastSystem {
        std::string systemId;
        bool autoSignIn = false;
    };
    LastSystem lastSystem();

    // The exact text save() writes for the current state (test and tool use).
    std::string serialize();

private:
    void save();  // settings lock held by the caller
    std::string serializeLocked() const;
    std::filesystem::path path() const;

    std::filesystem::path path_;
    std::mutex mutex_;
    std::vector<SystemEntry> systems_;
    std::string lastSystemId_;
    bool autoSignIn_ = false;
};

}  // namespace ostrel
