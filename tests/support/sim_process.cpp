#include "tests/support/sim_process.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <strings.h>

namespace ostrel::test {

SimProcess::SimProcess(const std::vector<std::string>& args, std::chrono::milliseconds readyTimeout)
    : recordPath_(dir_.path() / "requests.jsonl") {
    std::vector<std::string> argv;
    try {
        argv.push_back(programPath("OSTREL_SIM"));
    } catch (const std::exception& e) {
        failure_ = e.what();
        return;
    }
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("--exit-with-parent");
    argv.push_back("--record");
    argv.push_back(recordPath_.string());
    child_ = std::make_unique<ChildProcess>(argv);
    const auto line = child_->readLine(readyTimeout);
    if (!line) {
        const auto code = child_->wait(std::chrono::milliseconds(200));
        failure_ = "no ready line from the simulator";
        if (code) failure_ += " (exit code " + std::to_string(*code) + ")";
        failure_ += ": " + child_->readAllStderr(std::chrono::milliseconds(200));
        return;
    }
    readyLine_ = nlohmann::json::parse(*line, nullptr, false);
    if (!readyLine_.is_object() || !readyLine_.contains("port") || !readyLine_["port"].is_number_integer()) {
        failure_ = "unexpected ready line: " + *line;
        return;
    }
    port_ = readyLine_["port"].get<int>();
    if (readyLine_.contains("address") && readyLine_["address"].is_string()) {
        address_ = readyLine_["address"].get<std::string>();
    }
    ready_ = true;
}

SimProcess::~SimProcess() = default;

std::string SimProcess::systemId() const {
    if (readyLine_.is_object() && readyLine_.contains("systemId") && readyLine_["systemId"].is_string()) {
        return readyLine_["systemId"].get<std::string>();
    }
    return {};
}

std::vector<nlohmann::json> SimProcess::requests() const {
    std::vector<nlohmann::json> out;
    std::error_code ec;
    if (!std::filesystem::exists(recordPath_, ec)) return out;
    for (const auto& line : readLines(recordPath_)) {
        if (line.empty()) continue;
        auto value = nlohmann::json::parse(line, nullptr, false);
        if (!value.is_discarded()) out.push_back(std::move(value));
    }
    return out;
}

std::vector<nlohmann::json> SimProcess::requests(const std::string& path) const {
    std::vector<nlohmann::json> out;
    for (auto& r : requests()) {
        if (r.is_object() && r.value("path", std::string()) == path) out.push_back(std::move(r));
    }
    return out;
}

bool SimProcess::configure(const nlohmann::json& config) {
    if (!ready_) return false;
    if (!child_->writeStdin(config.dump() + "\n")) return false;
    const auto line = child_->readLine(std::chrono::seconds(10));
    if (!line) return false;
    const auto answer = nlohmann::json::parse(*line, nullptr, false);
    return answer.is_object() && answer.value("configured", false) == true;
}

void SimProcess::stop() {
    if (child_) {
        child_->kill(SIGKILL);
        child_->wait(std::chrono::seconds(5));
    }
}

std::vector<std::string> recordedHeader(const nlohmann::json& request, const std::string& name) {
    std::vector<std::string> values;
    if (!request.is_object() || !request.contains("headers") || !request["headers"].is_array()) return values;
    for (const auto& pair : request["headers"]) {
        if (!pair.is_array() || pair.size() != 2 || !pair[0].is_string() || !pair[1].is_string()) continue;
        if (::strcasecmp(pair[0].get<std::string>().c_str(), name.c_str()) == 0) {
            values.push_back(pair[1].get<std::string>());
        }
    }
    return values;
}

int closedLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    int port = 0;
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    ::close(fd);
    return port;
}

}  // namespace ostrel::test
