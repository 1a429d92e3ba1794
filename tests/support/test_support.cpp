#include "tests/support/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace ostrel::test {
namespace fs = std::filesystem;
using namespace std::chrono;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "ostrel-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

static void setOrUnset(const std::string& name, const std::optional<std::string>& value) {
    value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    setOrUnset(name_, value);
}
ScopedEnv::~ScopedEnv() {
    setOrUnset(name_, old_);
}

// The user folders below `root`, as the variables that point a program at them.
static std::map<std::string, std::string> userDirVariables(const fs::path& root) {
    return {{"HOME", root / "home"},
            {"XDG_CONFIG_HOME", root / "config"},
            {"XDG_DATA_HOME", root / "data"},
            {"XDG_STATE_HOME", root / "state"},
            {"OSTREL_OPS_LOG_DIR", root / "logs"}};
}

IsolatedUserDirs::IsolatedUserDirs(const fs::path& root) : root_(root) {
    for (const auto& [name, path] : userDirVariables(root)) {
        fs::create_directories(path);
        envs_.push_back(std::make_unique<ScopedEnv>(name, path));
    }
}

std::string readFile(const fs::path& path) {
    std::ostringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<std::string> readLines(const fs::path& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<fs::path> listFiles(const fs::path& folder) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::string readTree(const fs::path& folder) {
    std::string all;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(folder, ec))
        if (entry.is_regular_file()) all += readFile(entry.path());
    return all;
}

std::string programPath(const char* envName) {
    if (const char* value = std::getenv(envName); value != nullptr && *value != '\0') return value;
    return std::string(envName) == "OSTREL_CLI" ? OSTREL_CLI_PATH : OSTREL_SIM_PATH;
}

bool inPrivateNetns() {
    const char* in = std::getenv("OSTREL_IN_NETNS");
    return in != nullptr && std::string(in) == "1";
}

// Applies the test's extra environment ("A=1|B=2", set by the test CMake) before any test runs,
// and drops proxy settings so that no request leaves loopback through one.
static const bool kEnvironmentPrepared = [] {
    for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        ::unsetenv(name);
    const char* extra = std::getenv("OSTREL_TEST_ENV");
    std::istringstream items(extra ? extra : "");
    for (std::string item; std::getline(items, item, '|');) {
        const auto eq = item.find('=');
        if (eq != std::string::npos && eq > 0) ::setenv(item.substr(0, eq).c_str(), item.substr(eq + 1).c_str(), 1);
    }
    return true;
}();

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
    int pipes[3][2];  // standard input, output and error
    for (auto& p : pipes)
        if (::pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        if (env.count(entry.substr(0, entry.find('='))) == 0) envStrings.push_back(entry);
    }
    for (const auto& [name, value] : env)
        if (value != "\x01") envStrings.push_back(name + "=" + value);
    std::vector<char*> argvPtrs, envPtrs;
    for (const auto& a : argv) argvPtrs.push_back(const_cast<char*>(a.c_str()));
    for (auto& e : envStrings) envPtrs.push_back(e.data());
    argvPtrs.push_back(nullptr);
    envPtrs.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {0, 1, 2}) posix_spawn_file_actions_adddup2(&actions, pipes[fd][fd == 0 ? 0 : 1], fd);
    const int failed = ::posix_spawn(&pid_, argvPtrs[0], &actions, nullptr, argvPtrs.data(), envPtrs.data());
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : {0, 1, 2}) ::close(pipes[fd][fd == 0 ? 0 : 1]);
    if (failed != 0) throw std::runtime_error("cannot start " + argv[0]);
    in_ = pipes[0][1], out_ = pipes[1][0], err_ = pipes[2][0];
    ::signal(SIGPIPE, SIG_IGN);
}

ChildProcess::~ChildProcess() {
    if (!exitCode_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {in_, out_, err_})
        if (fd >= 0) ::close(fd);
}

bool ChildProcess::writeStdin(const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(in_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void ChildProcess::closeStdin() {
    if (in_ >= 0) ::close(std::exchange(in_, -1));
}

bool ChildProcess::fill(int fd, std::string& buffer, steady_clock::time_point deadline) {
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (fd < 0 || left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    char chunk[65536];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) buffer.append(chunk, static_cast<size_t>(n));
    return n > 0;
}

std::string ChildProcess::readAll(bool stderrStream, milliseconds timeout) {
    std::string& buffer = stderrStream ? errBuffer_ : outBuffer_;
    for (const auto deadline = steady_clock::now() + timeout; fill(stderrStream ? err_ : out_, buffer, deadline);) {
    }
    return std::exchange(buffer, std::string());
}

std::optional<std::string> ChildProcess::readLine(milliseconds timeout) {
    const auto deadline = steady_clock::now() + timeout;
    std::size_t nl;
    while ((nl = outBuffer_.find('\n')) == std::string::npos) {
        if (!fill(out_, outBuffer_, deadline)) return std::nullopt;
    }
    std::string line = outBuffer_.substr(0, nl);
    outBuffer_.erase(0, nl + 1);
    return line;
}

std::optional<int> ChildProcess::wait(milliseconds timeout) {
    for (const auto deadline = steady_clock::now() + timeout; !exitCode_;) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else if (steady_clock::now() >= deadline) {
            return std::nullopt;
        } else {
            ::usleep(5000);
        }
    }
    return exitCode_;
}

CliRun runCli(const fs::path& root, const std::vector<std::string>& args, std::vector<std::string> argv) {
    argv.push_back(programPath("OSTREL_CLI"));
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess child(argv, userDirVariables(root));
    CliRun run;
    run.out = child.readAll(false, seconds(30));
    run.code = child.wait(seconds(30));
    run.err = child.readAll(true, milliseconds(500));
    run.logs = readTree(root / "logs");
    return run;
}

}  // namespace ostrel::test
