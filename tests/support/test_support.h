#pragma once
// Shared helpers for tests: temporary folders, environment overrides and child processes.
// Every test process starts without proxy variables, so requests (and the children) stay on loopback.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ostrel::test {

struct NoCopy {
    NoCopy() = default;
    NoCopy(const NoCopy&) = delete;
    NoCopy& operator=(const NoCopy&) = delete;
};

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir : NoCopy {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Sets (or with nullopt unsets) an environment variable; restores the old value on destruction.
class ScopedEnv : NoCopy {
public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();

private:
    std::string name_;
    std::optional<std::string> old_;
};

// Points HOME, XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_STATE_HOME and OSTREL_OPS_LOG_DIR into `root`.
class IsolatedUserDirs {
public:
    explicit IsolatedUserDirs(const std::filesystem::path& root);
    std::filesystem::path config() const { return root_ / "config"; }
    std::filesystem::path state() const { return root_ / "state"; }
    std::filesystem::path logs() const { return root_ / "logs"; }

private:
    std::filesystem::path root_;
    std::vector<std::unique_ptr<ScopedEnv>> envs_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);
std::vector<std::string> readLines(const std::filesystem::path& path);
std::vector<std::filesystem::path> listFiles(const std::filesystem::path& folder);  // regular files, sorted
std::string readTree(const std::filesystem::path& folder);  // every regular file below, concatenated

// Path of a built program ("OSTREL_CLI", "OSTREL_SIM"): the environment variable if set, else the build's own.
std::string programPath(const char* envName);

// Inside ./scripts/test-env's private network namespace (broadcasts and name look-ups stay there).
bool inPrivateNetns();

// A child process with pipes on its standard streams; killed (SIGKILL) and reaped if still running at the end.
class ChildProcess : NoCopy {
public:
    // `env` entries are added to (or replace) the current environment; a value of "\x01" unsets.
    ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {});
    ~ChildProcess();

    pid_t pid() const { return pid_; }
    bool writeStdin(const std::string& text);
    void closeStdin();
    // One line from standard output without its "\n"; nullopt on end of stream or time-out.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // Everything until end of stream (or time-out), from standard output or standard error.
    std::string readAll(bool stderrStream, std::chrono::milliseconds timeout);
    // Exit code (128 + signal for a signalled child); nullopt when it did not end in time.
    std::optional<int> wait(std::chrono::milliseconds timeout);

private:
    bool fill(int fd, std::string& buffer, std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::string outBuffer_, errBuffer_;
    std::optional<int> exitCode_;
};

// One run of ostrel-control-cli with its own user folders below `root` (as IsolatedUserDirs sets them).
struct CliRun {
    std::optional<int> code;
    std::string out, err, logs;  // logs: every log file of the run
};
// `prefix` goes before the program (e.g. unshare).
CliRun runCli(const std::filesystem::path& root, const std::vector<std::string>& args,
              std::vector<std::string> prefix = {});

}  // namespace ostrel::test
