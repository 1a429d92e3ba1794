#pragma once
// A controller with a fake browser, window and world, and a manual UI-thread pump.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ctl/app_controller.h"
#include "tests/ctl/fakes.h"
#include "tests/ctl/log_capture.h"
#include "tests/support/test_support.h"

namespace ostrel::ctl::testing {

class ControllerTest : public ::testing::Test {
protected:
    static constexpr const char* kToken = "tok-0123456789abcdef";
    static constexpr const char* kPassword = "pw-correct-horse";

    void SetUp() override { resetDiscoveryThrottle(); }
    void TearDown() override {
        if (controller) controller->detachShell();
    }

    std::filesystem::path settingsPath() const { return dir.path() / "config" / "config.json"; }

    void start(bool withView = true) {
        std::filesystem::create_directories(settingsPath().parent_path());
        controller = std::make_shared<AppController>(world.services(settingsPath()));
        controller->setEventSink([this](const std::string& text) { events.push_back(text); });
        controller->attachWindow(window);
        if (withView) controller->onWebViewReady(view);
    }

    void command(const nlohmann::json& object) { controller->handleCommand(object.dump()); }
    void commandText(const std::string& text) { controller->handleCommand(text); }

    // Runs worker jobs and posted tasks until nothing is left.
    void pump() {
        for (;;) {
            const int ran = world.runJobs();
            controller->runPostedTasks();
            if (ran == 0 && world.queuedJobs() == 0) break;
        }
        controller->runPostedTasks();
    }

    std::vector<nlohmann::json> eventsOf(const std::string& kind, std::size_t from = 0) const {
        std::vector<nlohmann::json> out;
        for (std::size_t i = from; i < events.size(); ++i) {
            auto parsed = nlohmann::json::parse(events[i], nullptr, false);
            if (!parsed.is_discarded() && parsed.value("event", "") == kind) out.push_back(parsed);
        }
        return out;
    }
    nlohmann::json lastState() const {
        auto states = eventsOf("state");
        return states.empty() ? nlohmann::json() : states.back();
    }
    nlohmann::json stateNow() {
        command({{"cmd", "getState"}});
        return lastState();
    }

    // Connects to a system at 10.0.0.5 and stops in the password phase.
    void connectToPasswordPhase(const std::string& systemId = "sys-ctl-a", const std::string& name = "Alpha") {
        world.connect = [systemId, name](const std::string& host, int port, const FindSystemFunction&) {
            return systemAt(host, port, systemId, name);
        };
        command({{"cmd", "connect"}, {"host", "10.0.0.5"}, {"port", 8443}});
        pump();
        ASSERT_EQ(controller->phase(), Phase::Password);
    }

    void signInTyped(bool remember, const std::string& systemId = "sys-ctl-a", const std::string& name = "Alpha") {
        connectToPasswordPhase(systemId, name);
        world.auth = [] { return httpAnswer(200, std::string("{\"token\":\"") + kToken + "\"}"); };
        command({{"cmd", "login"}, {"password", kPassword}, {"remember", remember}});
        pump();
        ASSERT_TRUE(controller->signedIn());
    }

    void signInTrusted(const std::string& systemId = "sys-ctl-t", const std::string& name = "Trusty") {
        world.connect = [systemId, name](const std::string& host, int port, const FindSystemFunction&) {
            return systemAt(host, port, systemId, name, true);
        };
        command({{"cmd", "connect"}, {"host", "10.0.0.9"}});
        pump();
        ASSERT_TRUE(controller->signedIn());
    }

    void expectSignedOutWindow() {
        EXPECT_EQ(window->title(), "Ostrel Ops Control - 2026 R1");
        ASSERT_TRUE(window->menuEnabled().has_value());
        EXPECT_FALSE(*window->menuEnabled());
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
