#include "ctl/app_controller.h"

#include <chrono>
#include <system_error>
#include <thread>
#include <utility>

#include "common/json_read.h"
#include "common/version.h"
#include "ctl/host_input.h"
#include "ctl/page_policy.h"
#include "ctl/start_page.h"
#include "log/log.h"

namespace ostrel::ctl {
namespace {

using ostrel::log::logf;
namespace lv = ostrel::log;

constexpr const char* kEmDash = " \xE2\x80\x94 ";  // " — "
constexpr const char* kSignedOutNotice = "You signed out.";
constexpr const char* kSessionEndedNotice = "Your session has ended. Sign in again.";
constexpr const char* kWindowNotReady = "The window isn't ready yet. Try again in a moment.";
#ifdef _WIN32
constexpr const char* kNoCertificateEvents =
    "this WebView2 Runtime has no certificate-error event - update the Microsoft Edge WebView2 Runtime";
#else
constexpr const char* kNoCertificateEvents =
    "this WebKitGTK runtime has no certificate-error event - update the WebKitGTK runtime";
#endif

// The throttle counts across every controller of the process, from the last accepted start.
std::mutex gDiscoveryMutex;
std::int64_t gLastDiscoveryStartMs = 0;

ControllerServices completed(ControllerServices services) {
    if (services.startPagePrefix.empty()) services.startPagePrefix = std::string(kStartPageOrigin);
    if (services.startPageUrl.empty()) services.startPageUrl = std::string(kStartPageUrl);
    return services;
}

}  // namespace

bool startDetachedThread(std::function<void()> job) {
    try {
        std::thread(std::move(job)).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

std::int64_t wallClockMsNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t monotonicMsNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void resetDiscoveryThrottle() {
    std::lock_guard<std::mutex> lock(gDiscoveryMutex);
    gLastDiscoveryStartMs = 0;
}

AppController::AppController(ControllerServices services)
    : services_(completed(std::move(services))), store_(services_.settingsPath) {
    store_.load();
}

AppController::~AppController() = default;

std::string AppController::baseWindowTitle() {
    return "Ostrel Ops Control - " + std::string(kReleaseName);
}

void AppController::setEventSink(std::function<void(const std::string&)> sink) {
    eventSink_ = std::move(sink);
}

// ---------------------------------------------------------------------------------------------
// Start-page commands

void AppController::handleCommand(const std::string& json) {
    const Command command = parseCommand(json);
    switch (command.kind) {
        case Command::Kind::Ignored:
            return;
        case Command::Kind::GetState: {
            publishState();
            publishDiscovery();
            if (autoSignInTried_) return;
            autoSignInTried_ = true;
            // Only from a fresh start: a first "getState" that arrives after a sign-in (or while
            // a flow runs) must not start a connect over the open session.
            if (signedIn_ || phase_ != Phase::Host) return;
            const SettingsStore::LastSystem last = store_.lastSystem();
            SystemEntry entry;
            if (last.autoSignIn && store_.findSystem(last.systemId, entry)) startConnect(entry.host, entry.port);
            return;
        }
        case Command::Kind::Connect: {
            const HostInput input = normalizeHostInput(command.host, command.port);
            if (input.host.empty()) return;
            if (phase_ != Phase::Host && phase_ != Phase::Password) return;
            startConnect(input.host, input.port);
            return;
        }
        case Command::Kind::Login: {
            if (phase_ != Phase::Password) return;
            const bool typed = !command.password.empty();
            std::string password = command.password;
            if (!typed && !target_.systemId.empty()) password = services_.readPassword(target_.systemId);
            if (password.empty()) return;
            startLogin(password, command.remember, typed);
            return;
        }
        case Command::Kind::Cancel:
        case Command::Kind::Back:
            // A late "cancel" from the start page (the view has not left it yet) must not leave
            // a session open behind phase "host"; the session ends through the menu or the page.
            if (signedIn_) return;
            ++generation_;
            phase_ = Phase::Host;
            error_.clear();
            publishState();
            return;
        case Command::Kind::Forget:
            if (command.systemId.empty()) return;
            store_.forgetSystem(command.systemId);
            logf(lv::Info, "forgot system %s and its saved password", command.systemId.c_str());
            publishState();
            return;
        case Command::Kind::DiscoverSystems:
            startDiscovery();
            return;
        case Command::Kind::SetSiteKey:
            if (command.siteKey.empty()) {
                services_.deleteSiteKey();
            } else {
                services_.saveSiteKey(command.siteKey);
            }
            publishState();
            return;
    }
}

void AppController::publishState() {
    if (!eventSink_) return;
    StateSnapshot state;
    state.phase = phase_;
    state.error = error_;
    state.notice = notice_;
    state.formHost = formHost_;
    state.formPort = formPort_;
    state.target = target_;
    for (const SystemEntry& entry : store_.systemsSnapshot()) {
        StateSystem system;
        system.systemId = entry.systemId;
        system.name = entry.name;
        system.host = entry.host;
        system.port = entry.port;
        system.lastUsedMs = entry.lastUsedMs;
        system.savedPassword = services_.hasPassword(entry.systemId);
        state.systems.push_back(std::move(system));
    }
    state.targetSavedPassword = !target_.systemId.empty() && services_.hasPassword(target_.systemId);
    state.siteKeySet = services_.hasSiteKey();
    eventSink_(stateEventText(state));
}

// ---------------------------------------------------------------------------------------------
// Connect and sign-in flows

ConnectResult AppController::runProbe(const std::string& host, int port) {
    // Runs on the worker: the store takes its own lock.
    const FindSystemFunction find = [this](const std::string& systemId, SystemEntry& out) {
        return store_.findSystem(systemId, out);
    };
    if (services_.connectProbe) return services_.connectProbe(host, port, find);
    return runConnectProbe(host, port, services_.http, find);
}

void AppController::startConnect(const std::string& host, int port) {
    const std::uint32_t generation = ++generation_;
    phase_ = Phase::Connecting;
    error_.clear();
    notice_.clear();
    formHost_ = host;
    formPort_ = port;
    target_ = Target{};
    target_.host = host;
    target_.port = port;
    publishState();
    logf(lv::Info, "connecting to %s:%d", host.c_str(), port);

    auto self = shared_from_this();
    const bool started = services_.startThread([self, generation, host, port] {
        ConnectResult result = self->runProbe(host, port);
        self->post([self, generation, result = std::move(result)] { self->onConnectResult(generation, result); });
    });
    if (!started) {
        // The target already names the new, unverified address, so the password phase of an
        // earlier target cannot be resumed: back to choosing a system.
        phase_ = Phase::Host;
        error_ = kConnectStartFailed;
        publishState();
    }
}

void AppController::onConnectResult(std::uint32_t generation, const ConnectResult& result) {
    if (generation != generation_) return;
    if (!result.ok) {
        logf(lv::Warn, "connect failed: %s", result.error.c_str());
        phase_ = Phase::Host;
        error_ = result.error;
        publishState();
        return;
    }
    target_.host = result.target.host;
    target_.port = result.target.port;
    target_.systemId = result.target.systemId;
    target_.name = result.target.name;
    target_.hosts = result.target.hosts;

    if (result.trusted) {
        logf(lv::Info, "%s trusts this machine as its console - no password needed", target_.name.c_str());
        signIn("", false, true);
        return;
    }
    SystemEntry entry;
    if (store_.findSystem(target_.systemId, entry) && entry.sessionRemembered) {
        logf(lv::Info, "reopening %s with its remembered session", target_.name.c_str());
        signIn("", true, false);
        return;
    }
    phase_ = Phase::Password;
    publishState();
}

void AppController::startLogin(const std::string& password, bool remember, bool typed) {
    const std::uint32_t generation = ++generation_;
    phase_ = Phase::SigningIn;
    error_.clear();
    publishState();

    const Target target = target_;
    std::string body = signInRequestBody(password);
    auto self = shared_from_this();
    const bool started =
        services_.startThread([self, generation, target, body = std::move(body), password, remember, typed] {
            HttpResult result = runSignInRequest(target, body, self->services_.http);
            self->post([self, generation, result = std::move(result), password, remember, typed] {
                self->onLoginResult(generation, result, password, remember, typed);
            });
        });
    if (!started) {
        phase_ = Phase::Password;
        error_ = kLoginStartFailed;
        publishState();
    }
}

void AppController::onLoginResult(std::uint32_t generation, const HttpResult& result, const std::string& password,
                                  bool remember, bool typed) {
    // A late answer (after cancel or back) must neither save the password nor open a session.
    if (generation != generation_) return;
    const SignInOutcome outcome = interpretSignIn(result, typed);
    if (outcome.kind == SignInOutcome::Kind::SignedIn) {
        if (remember) {
            if (!target_.systemId.empty()) services_.savePassword(target_.systemId, password);
        } else {
            services_.deletePassword(target_.systemId);
        }
        logf(lv::Info, "signed in to %s", target_.name.c_str());
        signIn(outcome.token, remember, false);
        return;
    }
    phase_ = Phase::Password;
    error_ = outcome.error;
    if (outcome.kind == SignInOutcome::Kind::Refused) {
        if (outcome.deleteSavedPassword) services_.deletePassword(target_.systemId);
        logf(lv::Warn, "sign-in to %s refused: HTTP %d", target_.name.c_str(), static_cast<int>(result.status));
    }
    publishState();
}

void AppController::signIn(const std::string& token, bool remember, bool trusted) {
    if (!webView_) {
        phase_ = Phase::Host;
        error_ = kWindowNotReady;
        publishState();
        return;
    }
    ++generation_;

    SystemEntry entry;
    entry.systemId = target_.systemId;
    entry.name = target_.name;
    entry.host = target_.host;
    entry.port = target_.port;
    entry.hosts = target_.hosts;
    entry.lastUsedMs = services_.wallClockMs();
    entry.sessionRemembered = remember && !trusted;
    store_.recordSignIn(entry);
    store_.setLastSystem(target_.systemId, true);
    SystemEntry stored;
    if (store_.findSystem(target_.systemId, stored)) target_.hosts = stored.hosts;

    signedIn_ = true;
    trustedConsole_ = trusted;
    phase_ = Phase::SignedIn;
    error_.clear();
    notice_.clear();
    if (!token.empty()) setSessionCookie(token, remember);
    updateTitleAndMenu();

    auto self = shared_from_this();
    std::weak_ptr<IBrowserView> weakView = webView_;
    installHostScript(webView_, [self, weakView] {
        const auto view = weakView.lock();
        if (self->signedIn_ && view && view == self->webView_) view->navigate(self->controlUrl());
    });
}

void AppController::endSession(const std::string& notice, bool backToPassword) {
    if (!signedIn_) return;
    signedIn_ = false;
    signingOut_ = false;
    if (window_) window_->stopSignOutTimer();
    ++generation_;
    logf(lv::Info, "left %s (%s)", target_.name.c_str(), notice.empty() ? "switching system" : notice.c_str());

    if (webView_) {
        webView_->closePopups();
        webView_->clearCertificateDecisions();
        if (!hostScriptId_.empty()) {
            webView_->removeDocumentScript(hostScriptId_);
            hostScriptId_.clear();
        }
    }
    phase_ = backToPassword ? Phase::Password : Phase::Host;
    formHost_ = target_.host;
    formPort_ = target_.port;
    notice_ = notice;
    error_.clear();
    updateTitleAndMenu();
    // The start page asks for the state itself once it has loaded.
    if (webView_) webView_->navigate(services_.startPageUrl);
}

void AppController::updateTitleAndMenu() {
    if (!window_) return;
    std::string title = baseWindowTitle();
    if (signedIn_ && !target_.name.empty()) title += kEmDash + target_.name;
    window_->setTitle(title);
    window_->setSessionMenuEnabled(signedIn_);
}

// ---------------------------------------------------------------------------------------------
// Window, menu and page signals

void AppController::attachWindow(std::shared_ptr<IAppWindow> window) {
    {
        std::lock_guard<std::mutex> lock(tasksMutex_);
        window_ = std::move(window);
        detached_ = false;
    }
    updateTitleAndMenu();
}

void AppController::onMenuCommand(MenuCommand command) {
    // Both items are greyed while signed out; a late click must not touch the settings.
    if (!signedIn_) return;
    switch (command) {
        case MenuCommand::SwitchSystem:
            store_.setLastSystem(target_.systemId, false);
            endSession("");
            return;
        case MenuCommand::SignOut:
            store_.clearRememberedSession(target_.systemId);
            store_.setLastSystem(target_.systemId, false);
            if (trustedConsole_ || !webView_) {
                endSession(kSignedOutNotice);
                return;
            }
            // The page's own logout request reports itself through the host script; the timer
            // ends the session locally when the page never does.
            signingOut_ = true;
            webView_->executeScript(kLogoutScript);
            if (window_) window_->startSignOutTimer(kSignOutTimeoutMs);
            return;
    }
}

void AppController::onSignOutTimer() {
    if (window_) window_->stopSignOutTimer();
    if (!signingOut_) return;
    deleteSessionCookie();
    endSession(kSignedOutNotice);
}

void AppController::handlePageMessage(const std::string& sourceUrl, const std::string& messageJson) {
    if (!signedIn_) return;
    const auto source = crackUrl(sourceUrl);
    if (!source || !isTargetHost(source->host, target_.hosts)) return;
    const nlohmann::json message = json_read::parse(messageJson);
    if (message.is_discarded() || !message.is_object()) return;
    const auto signal = message.find("ostrelHost");
    if (signal == message.end() || !signal->is_string() || signal->get<std::string>() != "signedOut") return;

    store_.clearRememberedSession(target_.systemId);
    deleteSessionCookie();
    std::string reason;
    if (const auto it = message.find("reason"); it != message.end() && it->is_string()) reason = it->get<std::string>();
    if (reason == "logout") {
        store_.setLastSystem(target_.systemId, false);
        endSession(kSignedOutNotice);
    } else if (reason == "expired") {
        endSession(kSessionEndedNotice, true);
    }
}

void AppController::detachShell() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lock(tasksMutex_);
        detached_ = true;
        window_.reset();
        dropped.swap(tasks_);
    }
    webView_.reset();
    eventSink_ = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Task queue

void AppController::post(std::function<void()> task) {
    std::shared_ptr<IAppWindow> window;
    std::function<void()> dropped;
    {
        std::lock_guard<std::mutex> lock(tasksMutex_);
        if (detached_) {
            // Nothing runs the queue any more; a queued task would keep this controller alive
            // (it holds a reference) for good.
            dropped = std::move(task);
        } else {
            tasks_.push_back(std::move(task));
            window = window_;
        }
    }
    // `dropped` may hold the last reference: it is released here, after the lock.
    if (window) window->wake();
}

void AppController::runPostedTasks() {
    std::deque<std::function<void()>> ready;
    {
        std::lock_guard<std::mutex> lock(tasksMutex_);
        ready.swap(tasks_);
    }
    while (!ready.empty()) {
        auto task = std::move(ready.front());
        ready.pop_front();
        task();
    }
}

// ---------------------------------------------------------------------------------------------
// Discovery

void AppController::startDiscovery() {
    if (discoveryState_ == "searching") return;
    bool throttled = false;
    {
        std::lock_guard<std::mutex> lock(gDiscoveryMutex);
        const std::int64_t now = services_.monotonicMs();
        if (gLastDiscoveryStartMs != 0 && now - gLastDiscoveryStartMs < kDiscoveryIntervalMs) {
            throttled = true;
        } else {
            gLastDiscoveryStartMs = now;
        }
    }
    if (throttled) {
        discoveryState_ = "throttled";
        publishDiscovery();
        return;
    }
    discoveryState_ = "searching";
    discoveryError_.clear();
    publishDiscovery();

    auto self = shared_from_this();
    const bool started = services_.startThread([self] {
        DiscoveryOptions options;
        options.clientKind = "control-native";
        options.siteKey = self->services_.readSiteKey();
        const DiscoveryResult result = self->services_.runDiscovery(options);
        nlohmann::json systems = discoverySystemsJson(result.systems);
        logf(lv::Info, "discovery: %d probes on %d interfaces, %d offers (%d rejected), %d systems",
             static_cast<int>(result.probes), static_cast<int>(result.interfaces), static_cast<int>(result.offers),
             static_cast<int>(result.rejected), static_cast<int>(result.systems.size()));
        std::string error = result.failed ? result.error : std::string();
        self->post([self, systems = std::move(systems), error = std::move(error)]() mutable {
            self->discoveryState_ = "done";
            self->discoveredSystems_ = std::move(systems);
            self->discoveryError_ = std::move(error);
            self->publishDiscovery();
        });
    });
    if (!started) {
        discoveryState_ = "done";
        discoveryError_ = kDiscoveryStartFailed;
        publishDiscovery();
    }
}

void AppController::publishDiscovery() {
    if (!eventSink_ || discoveryState_.empty()) return;
    eventSink_(discoveryEventText(discoveryState_, discoveredSystems_, discoveryError_));
}

// ---------------------------------------------------------------------------------------------
// Browser views: policy, host script, cookie

bool AppController::onWebViewReady(std::shared_ptr<IBrowserView> view) {
    webView_ = std::move(view);
    hostScriptId_.clear();  // an id of an earlier view means nothing to this one
    if (!webView_) return false;
    wireWebView(webView_, true);
    if (!signedIn_) return false;
    auto self = shared_from_this();
    std::weak_ptr<IBrowserView> weakView = webView_;
    installHostScript(webView_, [self, weakView] {
        const auto view = weakView.lock();
        if (self->signedIn_ && view && view == self->webView_) view->navigate(self->controlUrl());
    });
    return true;
}

void AppController::wireWebView(const std::shared_ptr<IBrowserView>& view, bool isMain) {
    if (!view) return;
    auto self = shared_from_this();
    PolicyHandlers handlers;
    if (view->hasCertificateErrorEvents()) {
        handlers.certificateError = [self](const std::string& url) { return self->onCertificateError(url); };
    } else {
        // Left empty: the engine's own treatment applies, no exception is made for the system.
        logf(lv::Error, "%s", kNoCertificateEvents);
    }
    handlers.navigationStarting = [self, isMain](const std::string& url) {
        return self->onNavigationStarting(url, isMain);
    };
    handlers.newWindow = [self](const std::string& url, const std::string& windowName) {
        return self->onNewWindow(url, windowName);
    };
    handlers.popupCreated = [self](const std::shared_ptr<IBrowserView>& popup) { self->wireWebView(popup, false); };
    view->setPolicyHandlers(std::move(handlers));
    if (!isMain && signedIn_) installHostScript(view, {});
}

Decision AppController::onNavigationStarting(const std::string& url, bool isMain) {
    const Decision decision = decideNavigation(url, isMain, signedIn_, target_.hosts, services_.startPagePrefix);
    // The shell carries an OpenExternal decision out (it opens the default browser).
    if (decision == Decision::Cancel || decision == Decision::OpenExternal) {
        logf(lv::Info, "navigation kept out of the app: %s", url.c_str());
    }
    return decision;
}

Decision AppController::onNewWindow(const std::string& url, const std::string& windowName) {
    if (windowName == kSourceTabWindowName) {
        logf(lv::Info, "Add Source popup refused - this app does not host a source client");
        return Decision::Refuse;
    }
    return decideNewWindow(url, windowName, signedIn_, target_.hosts, webView_ != nullptr);
}

Decision AppController::onCertificateError(const std::string& url) {
    const Decision decision = decideCertificateError(url, signedIn_, target_.hosts);
    if (decision != Decision::Allow) logf(lv::Warn, "certificate error refused for %s", url.c_str());
    return decision;
}

void AppController::installHostScript(const std::shared_ptr<IBrowserView>& view, std::function<void()> done) {
    if (!view) return;
    if (view == webView_ && !hostScriptId_.empty()) {
        view->removeDocumentScript(hostScriptId_);
        hostScriptId_.clear();
    }
    auto self = shared_from_this();
    std::weak_ptr<IBrowserView> weakView = view;
    view->addDocumentScript(hostScriptText(target_.hosts), [self, weakView, done = std::move(done)](
                                                               bool ok, const std::string& id, long code) {
        if (!ok) {
            logf(lv::Error, "page-side script registration failed 0x%08lX", static_cast<unsigned long>(code));
        } else if (!id.empty()) {
            const auto registered = weakView.lock();
            if (registered && registered == self->webView_) {
                self->adoptHostScript(registered, id);
            }
        }
        if (done) done();
    });
}

void AppController::adoptHostScript(const std::shared_ptr<IBrowserView>& view, const std::string& id) {
    // A registration that completes after its session ended (or after a newer one) would stay
    // on the view for good: nothing else knows its id.
    if (!signedIn_) {
        view->removeDocumentScript(id);
        return;
    }
    if (!hostScriptId_.empty() && hostScriptId_ != id) view->removeDocumentScript(hostScriptId_);
    hostScriptId_ = id;
}

void AppController::setSessionCookie(const std::string& token, bool remember) {
    constexpr const char* kNoCookies = "cookie manager unavailable - the Control UI will ask for the password itself";
    if (!webView_) {
        logf(lv::Error, "%s", kNoCookies);
        return;
    }
    const SessionCookie cookie = makeSessionCookie(target_, token, remember, services_.wallClockMs() / 1000);
    if (!webView_->setCookie(cookie)) logf(lv::Error, "%s", kNoCookies);
}

void AppController::deleteSessionCookie() {
    if (!webView_) return;
    for (const std::string& host : target_.hosts) webView_->deleteCookies(kSessionCookieName, normalizeHost(host), "/");
}

std::string AppController::controlUrl() const {
    return ctl::controlUrl(target_);
}

}  // namespace ostrel::ctl
