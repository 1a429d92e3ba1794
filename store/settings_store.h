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
// The whole file; empty when it is missing, empty or cannot be read.
std::string readFileText(const std::filesystem::path& path);
bool writeFileAtomic(const std::filesystem::path& path, const std::string& bytes);
// For a settings file the program could not read (damaged, cut short, another version, no
// access): renames it to "<name>.unreadable-<yyyymmdd_hhmmss>" beside it (local time; "-2", "-3"
// ... appended when that name is taken) and logs where it went, so the next save does not
// destroy what the operator may still need. Returns the new path; empty when nothing was moved
// (also logged).
std::filesystem::path moveAsideUnreadable(const std::filesystem::path& file);
// Before the first save over a file that could not be read: true when the way is clear (the file
// is gone, or was moved aside), false when it is still there and must not be overwritten.
bool clearUnreadableBeforeSave(const std::filesystem::path& file);

class SettingsStore {
public:
    static constexpr std::size_t kMaxSystems = 32;

    // Empty path: configPath() at load/save time.
    explicit SettingsStore(std::filesystem::path path = {});

    // A file that exists but cannot be read as settings starts the store empty and is moved
    // aside (moveAsideUnreadable) before the first save; while that move fails, nothing is saved.
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
    bool moveAsideFirst_ = false;  // the file on disk could not be read at load
};

}  // namespace ostrel
