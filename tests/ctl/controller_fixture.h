#pragma once
// A controller with a fake browser, window and world, a manual UI-thread pump, and the log it wrote.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "ctl/app_controller.h"
#include "log/log.h"
#include "tests/ctl/fakes.h"
#include "tests/support/test_support.h"

namespace ostrel::ctl::testing {

// What the process logged since the capture began. Logging is initialised once per process;
// lines are written on the logging thread, so checks poll.
class LogCapture {
public:
    LogCapture() {
        static ostrel::test::TempDir folder;
        static const bool initialised = [] {
            ostrel::log::LogConfig config;
            config.source = "ctl-test";
            config.logDir = folder.path();
            config.consoleSink = false;
            ostrel::log::init(config);
            return true;
        }();
        (void)initialised;
        offset_ = text().size();
    }
    std::string text() const {
        ostrel::log::flush();
        const std::string all = ostrel::test::readFile(ostrel::log::prettyLogPath());
        return all.size() > offset_ ? all.substr(offset_) : std::string();
    }
    bool contains(const std::string& needle) const {
        for (int i = 0; i < 150; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            if (text().find(needle) != std::string::npos) return true;
        }
        return false;
    }
    // For absence checks: lets the writer catch up first.
    std::string settledText() const {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return text();
    }

private:
    std::size_t offset_ = 0;
};

class ControllerTest : public ::testing::Test {
protected:
    static constexpr const char* kToken = "tok-0123456789abcdef";
    static constexpr const char* kPassword = "pw-correct-horse";
    static constexpr const char* kStartPage = "ostrel-test://ui.test/index.html";

    void SetUp() override { resetDiscoveryThrottle(); }
    void TearDown() override {
        if (controller) controller->detachShell();
    }

    std::filesystem::path settingsPath() const { return dir.path() / "config.json"; }

    // A new controller (a new process, as far as the settings go) with the window and a view.
    void start(bool withView = true) {
        if (controller) controller->detachShell();
        controller = std::make_shared<AppController>(world.services(settingsPath()));
        controller->setEventSink([this](const std::string& text) { events.push_back(text); });
        controller->attachWindow(window);
        if (withView) controller->onWebViewReady(view);
    }

    void command(const nlohmann::json& object) { controller->handleCommand(object.dump()); }

    // Runs worker jobs and posted tasks until nothing is left.
    void pump() {
        while (world.runJobs() > 0) controller->runPostedTasks();
        controller->runPostedTasks();
    }

    std::vector<nlohmann::json> eventsOf(const std::string& kind) const {
        std::vector<nlohmann::json> out;
        for (const auto& text : events) {
            auto parsed = nlohmann::json::parse(text, nullptr, false);
            if (parsed.value("event", "") == kind) out.push_back(parsed);
        }
        return out;
    }
    nlohmann::json lastState() const {
        const auto states = eventsOf("state");
        return states.empty() ? nlohmann::json() : states.back();
    }
    nlohmann::json stateNow() {
        command({{"cmd", "getState"}});
        return lastState();
    }

    // Connects to a system at 10.0.0.5 and stops in the password phase.
    void toPasswordPhase(const std::string& systemId = "sys-a", const std::string& name = "Alpha") {
        world.connect = [systemId, name](const std::string& host, int port, const FindSystemFunction&) {
            return systemAt(host, port, systemId, name);
        };
        command({{"cmd", "connect"}, {"host", "10.0.0.5"}});
        pump();
        ASSERT_EQ(controller->phase(), Phase::Password);
    }

    void signInTyped(bool remember, const std::string& systemId = "sys-a", const std::string& name = "Alpha") {
        toPasswordPhase(systemId, name);
        world.auth = [] { return httpAnswer(200, std::string("{\"token\":\"") + kToken + "\"}"); };
        command({{"cmd", "login"}, {"password", kPassword}, {"remember", remember}});
        pump();
        ASSERT_TRUE(controller->signedIn());
    }

    void signInTrusted(const std::string& systemId = "sys-t", const std::string& name = "Trusty") {
        world.connect = [systemId, name](const std::string& host, int port, const FindSystemFunction&) {
            return systemAt(host, port, systemId, name, true);
        };
        command({{"cmd", "connect"}, {"host", "10.0.0.9"}});
        pump();
        ASSERT_TRUE(controller->signedIn());
    }

    SystemEntry stored(const std::string& systemId) {
        SystemEntry entry;
        EXPECT_TRUE(controller->store().findSystem(systemId, entry)) << systemId;
        return entry;
    }

    ostrel::test::TempDir dir;
    ostrel::test::IsolatedUserDirs userDirs{dir.path()};
    LogCapture log;
    FakeWorld world;
    std::shared_ptr<FakeView> view = std::make_shared<FakeView>();
    std::shared_ptr<FakeWindow> window = std::make_shared<FakeWindow>();
    std::shared_ptr<AppController> controller;
    std::vector<std::string> events;
};

}  // namespace ostrel::ctl::testing
