#pragma once
// Drives `ostrel-control-cli bridge` as the shell and the start page would, and keeps every
// line it wrote so a test can look back.
#include <gtest/gtest.h>

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
    using Match = std::function<bool(const Json&)>;

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

    void send(const Json& object) { child_->writeStdin(object.dump() + "\n"); }
    void sendText(const std::string& text) { child_->writeStdin(text + "\n"); }
    void command(const std::string& cmd, Json args = Json::object()) {
        args["cmd"] = cmd;
        send(args);
    }
    void input(const std::string& kind, Json args = Json::object()) {
        args["input"] = kind;
        send(args);
    }

    // The next line (from where the last search stopped) that matches; nullopt on time-out.
    std::optional<Json> next(const Match& match, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            while (cursor_ < lines_.size()) {
                const Json& line = lines_[cursor_++];
                if (match(line)) return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            auto text = child_->readLine(left);
            if (!text) return std::nullopt;
            Json parsed = Json::parse(*text, nullptr, false);
            raw_.push_back(*text);
            lines_.push_back(parsed.is_discarded() ? Json(*text) : std::move(parsed));
        }
    }

    std::optional<Json> nextState(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        return next([](const Json& j) { return j.is_object() && j.value("event", "") == "state"; }, timeout);
    }
    std::optional<Json> nextAction(const std::string& name,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        return next([name](const Json& j) { return j.is_object() && j.value("action", "") == name; }, timeout);
    }
    // The next state event in `phase` (earlier states are skipped).
    std::optional<Json> stateIn(const std::string& phase,
                                std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        return next(
            [phase](const Json& j) {
                return j.is_object() && j.value("event", "") == "state" && j.value("phase", "") == phase;
            },
            timeout);
    }
    // Asks for the state and returns the answer.
    std::optional<Json> state() {
        command("getState");
        return nextState();
    }

    // Ends standard input and returns the exit code, having read every remaining line.
    std::optional<int> finish(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        child_->closeStdin();
        while (next([](const Json&) { return false; }, timeout)) {
        }
        return child_->wait(timeout);
    }

    // Lines written after the given position, and the position now.
    std::size_t mark() const { return lines_.size(); }
    std::vector<Json> linesSince(std::size_t from) const {
        return std::vector<Json>(lines_.begin() + static_cast<std::ptrdiff_t>(std::min(from, lines_.size())),
                                 lines_.end());
    }
    void skipToEnd() { cursor_ = lines_.size(); }
    // Every line as written, for the checks that secrets never appear.
    const std::vector<std::string>& raw() const { return raw_; }
    std::string stderrText() { return child_->readAllStderr(std::chrono::milliseconds(500)); }

private:
    std::unique_ptr<ostrel::test::ChildProcess> child_;
    std::vector<Json> lines_;
    std::vector<std::string> raw_;
    std::size_t cursor_ = 0;
};

}  // namespace ostrel::ctl::testing
