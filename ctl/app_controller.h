#pragma once
// The controller: leads the operator from choosing a system to a signed-in session and back.
// Everything here runs on the UI thread except the worker bodies, which only do their network
// call and hand the result back through post().
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "ctl/bridge_protocol.h"
#include "ctl/browser.h"
#include "ctl/ui_bridge.h"
#include "net/discovery.h"
#include "net/http_client.h"
#include "net/system_api.h"
#include "store/settings_store.h"
#include "store/vault.h"

namespace ostrel::ctl {

inline constexpr int kSignOutTimeoutMs = 3000;
inline constexpr std::int64_t kDiscoveryIntervalMs = 5000;

// Operator texts for a worker thread that could not be started.
inline constexpr const char* kConnectStartFailed = "Couldn't start the connection. Try again.";
inline constexpr const char* kLoginStartFailed = "Couldn't start the sign-in. Try again.";
inline constexpr const char* kDiscoveryStartFailed = "could not start a discovery run";

// Starts `job` on a detached thread; false when no thread could be made.
bool startDetachedThread(std::function<void()> job);
std::int64_t wallClockMsNow();
std::int64_t monotonicMsNow();

// Everything the controller reaches outside itself, wired to the real functions by default.
struct ControllerServices {
    using ConnectProbe =
        std::function<ConnectResult(const std::string& host, int port, const FindSystemFunction& findSystem)>;

    // Empty: runConnectProbe over `http`.
    ConnectProbe connectProbe;
    HttpFunction http = httpsRequest;
    std::function<std::string(const std::string& systemId)> readPassword = ostrel::readPassword;
    std::function<bool(const std::string& systemId, const std::string& password)> savePassword = ostrel::savePassword;
    std::function<void(const std::string& systemId)> deletePassword = ostrel::deletePassword;
    std::function<bool(const std::string& systemId)> hasPassword = ostrel::hasPassword;
    std::function<std::string()> readSiteKey = ostrel::readSiteKey;
    std::function<bool(const std::string& key)> saveSiteKey = ostrel::saveSiteKey;
    std::function<void()> deleteSiteKey = ostrel::deleteSiteKey;
    std::function<bool()> hasSiteKey = ostrel::hasSiteKey;
    std::function<DiscoveryResult(const DiscoveryOptions&)> runDiscovery = ostrel::runDiscovery;
    std::function<std::int64_t()> wallClockMs = wallClockMsNow;  // ms since 1970
    std::function<std::int64_t()> monotonicMs = monotonicMsNow;  // ms, any origin > 0
    std::function<bool(std::function<void()>)> startThread = startDetachedThread;
    // Empty: configPath(). Note that SettingsStore::forgetSystem deletes the password through
    // the real vault whatever is injected above.
    std::filesystem::path settingsPath;
    // The shell's start page: the prefix every bundle URL starts with, and the page to return to.
    std::string startPagePrefix;  // empty: ctl/start_page.h
    std::string startPageUrl;     // empty: ctl/start_page.h
};

// Forgets when discovery last started (process-wide), so tests can start from a clean slate.
void resetDiscoveryThrottle();

class AppController final : public IUiBridge, public std::enable_shared_from_this<AppController> {
public:
    // Loads the settings. Create it with std::make_shared: handlers and workers hold it.
    explicit AppController(ControllerServices services = {});
    ~AppController() override;
    AppController(const AppController&) = delete;
    AppController& operator=(const AppController&) = delete;

    // "Ostrel Ops Control - 2026 R1"
    static std::string baseWindowTitle();

    // IUiBridge
    void setEventSink(std::function<void(const std::string&)> sink) override;
    void handleCommand(const std::string& json) override;

    // Shell hooks (UI thread).
    void attachWindow(std::shared_ptr<IAppWindow> window);
    // A new main view (first or re-created). true: the controller navigates it itself
    // (signed in); false: the shell opens the start page.
    bool onWebViewReady(std::shared_ptr<IBrowserView> view);
    void wireWebView(const std::shared_ptr<IBrowserView>& view, bool isMain);
    // Web messages of pages other than the start page.
    void handlePageMessage(const std::string& sourceUrl, const std::string& messageJson);
    void onMenuCommand(MenuCommand command);
    // The one-shot timer started with IAppWindow::startSignOutTimer has fired.
    void onSignOutTimer();
    // Drops the references to the window, the view, the sink and queued tasks; the shell calls
    // it when it tears down (handlers of a view hold the controller, the controller the view).
    void detachShell();

    // Any thread: queue a task for the UI thread and wake it.
    void post(std::function<void()> task);
    void runPostedTasks();

    // Read-only views of the state (UI thread).
    Phase phase() const { return phase_; }
    bool signedIn() const { return signedIn_; }
    bool signingOut() const { return signingOut_; }
    bool trustedConsole() const { return trustedConsole_; }
    const Target& target() const { return target_; }
    std::uint32_t generation() const { return generation_; }
    const std::string& hostScriptId() const { return hostScriptId_; }
    const std::string& discoveryState() const { return discoveryState_; }
    std::string controlUrl() const;
    SettingsStore& store() { return store_; }

private:
    void startConnect(const std::string& host, int port);
    void onConnectResult(std::uint32_t generation, const ConnectResult& result);
    void startLogin(const std::string& password, bool remember, bool typed);
    void onLoginResult(std::uint32_t generation, const HttpResult& result, const std::string& password, bool remember,
                       bool typed);
    void signIn(const std::string& token, bool remember, bool trusted);
    void endSession(const std::string& notice, bool backToPassword = false);
    void updateTitleAndMenu();
    void publishState();

    void startDiscovery();
    void publishDiscovery();

    void installHostScript(const std::shared_ptr<IBrowserView>& view, std::function<void()> done);
    void adoptHostScript(const std::shared_ptr<IBrowserView>& view, const std::string& id);
    void setSessionCookie(const std::string& token, bool remember);
    void deleteSessionCookie();

    Decision onNavigationStarting(const std::string& url, bool isMain);
    Decision onNewWindow(const std::string& url, const std::string& windowName);
    Decision onCertificateError(const std::string& url);

    ConnectResult runProbe(const std::string& host, int port);

    const ControllerServices services_;
    std::function<void(const std::string&)> eventSink_;
    SettingsStore store_;
    std::shared_ptr<IAppWindow> window_;  // written under tasksMutex_ (post reads it from workers)
    std::shared_ptr<IBrowserView> webView_;
    std::string hostScriptId_;
    std::mutex tasksMutex_;
    std::deque<std::function<void()>> tasks_;
    Phase phase_ = Phase::Host;
    std::uint32_t generation_ = 0;
    std::string error_;
    std::string notice_;
    std::string formHost_;
    std::int32_t formPort_ = 8443;
    Target target_;
    bool signedIn_ = false;
    bool trustedConsole_ = false;
    bool signingOut_ = false;
    bool autoSignInTried_ = false;
    std::string discoveryState_;
    nlohmann::json discoveredSystems_ = nlohmann::json::array();
    std::string discoveryError_;
};

}  // namespace ostrel::ctl
