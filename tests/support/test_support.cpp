#include "tests/support/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace ostrel::test {
namespace fs = std::filesystem;

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/ostrel-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    if (value) {
        ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (old_) {
        ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

IsolatedUserDirs::IsolatedUserDirs(const fs::path& root) : root_(root) {
    for (const char* sub : {"home", "config", "data", "state", "logs"}) fs::create_directories(root / sub);
    envs_.push_back(std::make_unique<ScopedEnv>("HOME", (root / "home").string()));
    envs_.push_back(std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", config().string()));
    envs_.push_back(std::make_unique<ScopedEnv>("XDG_DATA_HOME", data().string()));
    envs_.push_back(std::make_unique<ScopedEnv>("XDG_STATE_HOME", state().string()));
    envs_.push_back(std::make_unique<ScopedEnv>("OSTREL_OPS_LOG_DIR", logs().string()));
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::vector<std::string> readLines(const fs::path& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::vector<fs::path> listFiles(const fs::path& folder) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string programPath(const char* envName) {
    if (const char* value = std::getenv(envName); value != nullptr && *value != '\0') return value;
    const std::string name = envName;
    if (name == "OSTREL_CLI") return OSTREL_CLI_PATH;
    if (name == "OSTREL_SIM") return OSTREL_SIM_PATH;
    throw std::runtime_error("no program path for " + name);
}

namespace {

// Applies the test's extra environment ("A=1|B=2", set by the test CMake) before any test runs.
const bool kExtraEnvApplied = [] {
    const char* extra = std::getenv("OSTREL_TEST_ENV");
    if (extra == nullptr) return false;
    std::string rest = extra;
    while (!rest.empty()) {
        const auto bar = rest.find('|');
        const std::string item = rest.substr(0, bar);
        rest = bar == std::string::npos ? std::string() : rest.substr(bar + 1);
        const auto eq = item.find('=');
        if (eq != std::string::npos && eq > 0) ::setenv(item.substr(0, eq).c_str(), item.substr(eq + 1).c_str(), 1);
    }
    return true;
}();

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        const auto name = entry.substr(0, entry.find('='));
        if (env.count(name) == 0) envStrings.push_back(entry);
    }
    for (const auto& [name, value] : env) {
        if (value != "\x01") envStrings.push_back(name + "=" + value);
    }
    std::vector<char*> argvPtrs;
    for (const auto& a : argv) argvPtrs.push_back(const_cast<char*>(a.c_str()));
    argvPtrs.push_back(nullptr);
    std::vector<char*> envPtrs;
    for (auto& e : envStrings) envPtrs.push_back(e.data());
    envPtrs.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execve(argvPtrs[0], argvPtrs.data(), envPtrs.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    ::signal(SIGPIPE, SIG_IGN);
}

ChildProcess::~ChildProcess() {
    if (!exitCode_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    for (int fd : {in_, out_, err_}) {
        if (fd >= 0) ::close(fd);
    }
}

bool ChildProcess::writeStdin(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(in_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void ChildProcess::closeStdin() {
    if (in_ >= 0) {
        ::close(in_);
        in_ = -1;
    }
}

std::optional<std::string> ChildProcess::takeLine(std::string& buffer) {
    const auto nl = buffer.find('\n');
    if (nl == std::string::npos) return std::nullopt;
    std::string line = buffer.substr(0, nl);
    buffer.erase(0, nl + 1);
    return line;
}

bool ChildProcess::fill(int fd, std::string& buffer, std::chrono::steady_clock::time_point deadline) {
    if (fd < 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r <= 0) return false;
    char chunk[65536];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(n));
    return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (auto line = takeLine(outBuffer_)) return line;
        if (!fill(out_, outBuffer_, deadline)) return takeLine(outBuffer_);
    }
}

std::string ChildProcess::readAllStdout(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fill(out_, outBuffer_, deadline)) {
    }
    return std::exchange(outBuffer_, std::string());
}

std::string ChildProcess::readAllStderr(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fill(err_, errBuffer_, deadline)) {
    }
    return std::exchange(errBuffer_, std::string());
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (exitCode_) return exitCode_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return exitCode_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        ::usleep(5000);
    }
}

void ChildProcess::kill(int signal) {
    if (!exitCode_ && pid_ > 0) ::kill(pid_, signal);
}

}  // namespace ostrel::test
