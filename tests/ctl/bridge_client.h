#pragma once
// Drives `ostrel-control-cli bridge` as the shell and the start page would, and keeps every line
// it wrote so a test can look back.
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/test_support.h"

namespace ostrel::ctl::testing {

class BridgeClient {
public:
    using Json = nlohmann::json;

    BridgeClient() { start(); }

    // A new bridge process (after the previous one ended) with the same user folders.
    void start() {
        std::map<std::string, std::string> env;
        // libcurl honours proxy variables; requests must stay on loopback.
        for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
            env[name] = "\x01";
        }
        child_ = std::make_unique<ostrel::test::ChildProcess>(
            std::vector<std::string>{ostrel::test::programPath("OSTREL_CLI"), "bridge"}, env);
        cursor_ = lines_.size();
    }

    void command(const std::string& cmd, Json args = Json::object()) { send("cmd", cmd, std::move(args)); }
    void input(const std::string& kind, Json args = Json::object()) { send("input", kind, std::move(args)); }
    // A raw line, for input that JSON serialisation could not produce.
    void sendText(const std::string& text) { child_->writeStdin(text + "\n"); }

    // The next line (from where the last search stopped) that matches; nullopt on time-out.
    std::optional<Json> next(const std::function<bool(const Json&)>& match,
                             std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            while (cursor_ < lines_.size()) {
                if (match(lines_[cursor_++])) return lines_[cursor_ - 1];
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            const auto text = left.count() > 0 ? child_->readLine(left) : std::nullopt;
            if (!text) return std::nullopt;
            raw_.push_back(*text);
            lines_.push_back(Json::parse(*text, nullptr, false));
        }
    }
    std::optional<Json> action(const std::string& name) {
        return next([name](const Json& j) { return j.is_object() && j.value("action", "") == name; });
    }
    // The next state event in `phase`; any phase when empty.
    std::optional<Json> state(const std::string& phase = "") {
        return next([phase](const Json& j) {
            return j.is_object() && j.value("event", "") == "state" && (phase.empty() || j.value("phase", "") == phase);
        });
    }

    // Ends standard input and returns the exit code, having read every remaining line.
    std::optional<int> finish() {
        child_->closeStdin();
        while (next([](const Json&) { return false; })) {
        }
        return child_->wait(std::chrono::seconds(30));
    }

    std::size_t mark() const { return lines_.size(); }
    std::vector<Json> linesSince(std::size_t from) const {
        return {lines_.begin() + static_cast<std::ptrdiff_t>(from), lines_.end()};
    }
    const std::vector<std::string>& raw() const { return raw_; }
    std::string stderrText() { return child_->readAllStderr(std::chrono::milliseconds(500)); }

private:
    void send(const char* key, const std::string& value, Json args) {
        args[key] = value;
        child_->writeStdin(args.dump() + "\n");
    }

    std::unique_ptr<ostrel::test::ChildProcess> child_;
    std::vector<Json> lines_;
    std::vector<std::string> raw_;
    std::size_t cursor_ = 0;
};

}  // namespace ostrel::ctl::testing
