#include "tools/sim/sim_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include <nlohmann/json.hpp>

namespace ostrel::sim {

bool Recorder::open(const std::string& path, std::string& error) {
    if (path.empty()) return true;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        error = "cannot open the record file " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

Recorder::~Recorder() {
    if (fd_ >= 0) ::close(fd_);
}

void Recorder::record(const RecordedRequest& request) {
    if (fd_ < 0) return;
    nlohmann::json headers = nlohmann::json::array();
    for (const auto& [name, value] : request.headers) headers.push_back({name, value});
    const auto nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    std::lock_guard<std::mutex> lock(mutex_);
    nlohmann::json line = {{"seq", ++seq_},          {"method", request.method}, {"target", request.target},
                           {"path", request.path},   {"headers", headers},       {"body", request.body},
                           {"remote", request.remote}, {"timeMs", nowMs}};
    // Bodies are arbitrary bytes; the record is UTF-8 JSON.
    const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace ostrel::sim
