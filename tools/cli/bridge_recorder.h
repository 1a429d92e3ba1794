#pragma once
// The browser and window of the `bridge` subcommand: every call the controller makes on them
// becomes one JSON line on standard output instead of a real view or window.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "ctl/browser.h"

namespace ostrel::cli {

// Standard output, one JSON text per line, flushed after each (UI thread only).
class BridgeOutput {
public:
    void line(const std::string& text);
    void action(const std::string& name, nlohmann::json members = nlohmann::json::object());
};

// Lower-case hex SHA-256 of `bytes`: cookie values are shown by digest, never in clear.
std::string sha256Hex(const std::string& bytes);

// The JSON array of hosts a host-script text carries (null when it cannot be read back).
nlohmann::json hostsInHostScript(const std::string& script);

class RecordingView : public ctl::IBrowserView {
public:
    // `role` is "main" or "popup"; it is written with every action of the view.
    RecordingView(BridgeOutput& out, std::string role, std::function<void()> onClosePopups = {});

    void setPolicyHandlers(ctl::PolicyHandlers handlers) override { handlers_ = std::move(handlers); }
    void navigate(const std::string& url) override;
    void addDocumentScript(const std::string& script, ScriptDone done) override;
    void removeDocumentScript(const std::string& id) override;
    void executeScript(const std::string& script) override;
    bool setCookie(const ctl::SessionCookie& cookie) override;
    bool deleteCookies(const std::string& name, const std::string& domain, const std::string& path) override;
    bool hasCertificateErrorEvents() const override { return true; }
    void clearCertificateDecisions() override;
    void closePopups() override;
    void openExternal(const std::string& url) override;

    const ctl::PolicyHandlers& handlers() const { return handlers_; }

private:
    void act(const std::string& name, nlohmann::json members = nlohmann::json::object());

    BridgeOutput& out_;
    std::string role_;
    std::function<void()> onClosePopups_;
    ctl::PolicyHandlers handlers_;
};

class RecordingWindow : public ctl::IAppWindow {
public:
    // `wakeFd` is an eventfd the UI loop polls.
    RecordingWindow(BridgeOutput& out, int wakeFd) : out_(out), wakeFd_(wakeFd) {}

    void setTitle(const std::string& title) override;
    void setSessionMenuEnabled(bool enabled) override;
    void startSignOutTimer(int milliseconds) override;
    void stopSignOutTimer() override { timerDeadline_.reset(); }
    void wake() override;

    // UI thread only.
    const std::optional<std::chrono::steady_clock::time_point>& timerDeadline() const { return timerDeadline_; }
    void clearTimer() { timerDeadline_.reset(); }

private:
    BridgeOutput& out_;
    int wakeFd_;
    std::optional<std::chrono::steady_clock::time_point> timerDeadline_;
};

// Wakes the UI loop through an eventfd; safe from any thread.
void signalEventFd(int fd);

}  // namespace ostrel::cli
