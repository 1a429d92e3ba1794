#include "tests/support/sim_process.h"

#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ostrel::test {

SimProcess::SimProcess(const std::vector<std::string>& args, std::chrono::milliseconds readyTimeout)
    : recordPath_(dir_.path() / "requests.jsonl") {
    std::vector<std::string> argv = {programPath("OSTREL_SIM")};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"--exit-with-parent", "--record", recordPath_.string()});
    child_ = std::make_unique<ChildProcess>(argv);
    const auto line = child_->readLine(readyTimeout);
    if (!line) {
        const auto code = child_->wait(std::chrono::milliseconds(200));
        failure_ = "no ready line from the simulator" + (code ? " (exit code " + std::to_string(*code) + ")" : "") +
                   ": " + child_->readAllStderr(std::chrono::milliseconds(200));
        return;
    }
    readyLine_ = nlohmann::json::parse(*line, nullptr, false);
    if (!readyLine_.is_object() || !readyLine_.contains("port") || !readyLine_["port"].is_number_integer()) {
        failure_ = "unexpected ready line: " + *line;
        return;
    }
    port_ = readyLine_["port"].get<int>();
}

std::vector<nlohmann::json> SimProcess::requests(const std::string& path) const {
    std::vector<nlohmann::json> out;
    for (const auto& line : readLines(recordPath_)) {
        auto value = nlohmann::json::parse(line, nullptr, false);
        if (value.is_object() && (path.empty() || value.value("path", std::string()) == path)) {
            out.push_back(std::move(value));
        }
    }
    return out;
}

bool SimProcess::configure(const nlohmann::json& config) {
    if (!ready() || !child_->writeStdin(config.dump() + "\n")) return false;
    const auto line = child_->readLine(std::chrono::seconds(10));
    const auto answer = nlohmann::json::parse(line.value_or(""), nullptr, false);
    return answer.is_object() && answer.value("configured", false) == true;
}

std::vector<std::string> recordedHeader(const nlohmann::json& request, const std::string& name) {
    std::vector<std::string> values;
    for (const auto& pair : request.value("headers", nlohmann::json::array())) {
        if (pair.size() == 2 && pair[0].is_string() && pair[1].is_string() &&
            ::strcasecmp(pair[0].get<std::string>().c_str(), name.c_str()) == 0) {
            values.push_back(pair[1].get<std::string>());
        }
    }
    return values;
}

int closedLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    ::close(fd);
    return port;
}

}  // namespace ostrel::test
