#pragma once
// A controller among fakes (browser view, window, vault, network, discovery, threads, event sink)
// that each write one line per call to one ordered log; used by the tests and the fuzz targets.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ctl/app_controller.h"
#include "ctl/page_policy.h"

namespace ostrel::ctl::testing {

using Lines = std::vector<std::string>;

// Lines come from workers too. Secrets listed in `secrets` appear as their label, never in clear.
struct CallLog {
    void add(std::string line) {
        for (const auto& [secret, label] : secrets) {
            for (std::size_t at; (at = line.find(secret)) != std::string::npos;) line.replace(at, secret.size(), label);
        }
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(std::move(line));
    }
    Lines take() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(lines, {});
    }
    std::mutex mutex;
    Lines lines;
    std::map<std::string, std::string> secrets;
    int scriptIds = 0;
};

// The host list of a host script, or "?" when the script is not exactly the one for that list.
inline std::string scriptHosts(const std::string& script) {
    const std::size_t from = script.find("= ") + 2, end = script.find(";\n");
    const auto hosts = nlohmann::json::parse(script.substr(from, end - from), nullptr, false);
    if (!hosts.is_array() || hostScriptText(hosts.get<std::vector<std::string>>()) != script) return "?";
    return hosts.dump();
}

struct FakeView : IBrowserView {
    FakeView(CallLog& log, std::string name = "") : log(log), name(std::move(name)) {}
    void say(const std::string& line) { log.add(name + line); }
    void setPolicyHandlers(PolicyHandlers h) override { handlers = std::move(h); }
    void navigate(const std::string& url) override { say("navigate " + url); }
    void addDocumentScript(const std::string& script, ScriptDone done) override {
        const std::string id = "s" + std::to_string(++log.scriptIds);
        say("addScript " + id + " " + scriptHosts(script));
        pending.emplace_back(id, std::move(done));
        if (!deferScripts) completeScripts(true);
    }
    void removeDocumentScript(const std::string& id) override { say("removeScript " + id); }
    void executeScript(const std::string& script) override { say("executeScript " + script); }
    bool setCookie(const SessionCookie& c) override {
        say("setCookie " + c.name + "=" + c.value + " " + c.domain + c.path + (c.httpOnly && c.secure ? " " : " !") +
            c.sameSite + (c.expires ? " " + std::to_string(*c.expires) : ""));
        return cookiesOk;
    }
    bool deleteCookies(const std::string& cookie, const std::string& domain, const std::string& path) override {
        say("deleteCookies " + cookie + " " + domain + " " + path);
        return cookiesOk;
    }
    bool hasCertificateErrorEvents() const override { return certificateEvents; }
    void clearCertificateDecisions() override { say("clearCertificateDecisions"); }
    void closePopups() override { say("closePopups"); }
    void openExternal(const std::string& url) override { say("openExternal " + url); }
    // Completes the held-back script registrations, oldest first.
    void completeScripts(bool ok) {
        for (auto& [id, done] : std::exchange(pending, {})) done(ok, ok ? id : "", ok ? 0 : 0x80070005L);
    }

    CallLog& log;
    std::string name;
    PolicyHandlers handlers;
    std::vector<std::pair<std::string, ScriptDone>> pending;
    bool deferScripts = false, cookiesOk = true, certificateEvents = true;
};

// Title and menu change together: one line "window on|off <title after the base title>".
struct FakeWindow : IAppWindow {
    explicit FakeWindow(CallLog& log) : log(log) {}
    void setTitle(const std::string& text) override { title = text; }
    void setSessionMenuEnabled(bool enabled) override {
        const std::string base = AppController::baseWindowTitle();
        menuEnabled = enabled;
        log.add(std::string("window ") + (enabled ? "on" : "off") +
                (title.starts_with(base) ? title.substr(base.size()) : " !" + title));
    }
    void startSignOutTimer(int ms) override { timerArmed = true, log.add("timer " + std::to_string(ms)); }
    void stopSignOutTimer() override { timerArmed = false, log.add("timer stop"); }
    void wake() override { ++wakes; }

    CallLog& log;
    std::string title;
    bool menuEnabled = false, timerArmed = false;
    std::atomic<long> wakes = 0;
};

// Network, vault, discovery, clocks and threads. Worker jobs wait in `jobs` unless threads are Real.
struct FakeWorld {
    enum class Threads { Queued, Fail, Real };
    using Probe = std::function<ConnectResult(const std::string&, int, const FindSystemFunction&)>;

    explicit FakeWorld(CallLog& log) : log(log) {}
    ControllerServices services(const std::filesystem::path& settingsPath) {
        ControllerServices s;
        s.http = [this](const std::string& method, const std::string& host, int port, const std::string& path,
                        const std::string& body) {
            log.add("http " + method + " " + host + ":" + std::to_string(port) + path + " " + body);
            std::lock_guard<std::mutex> lock(mutex);
            if (answers.empty()) return fallback;
            const HttpResult next = answers.front();
            answers.pop_front();
            return next;
        };
        s.connectProbe = [this, http = s.http](const std::string& host, int port, const FindSystemFunction& find) {
            if (!connect) return runConnectProbe(host, port, http, find);  // the fuzz scripts answer over HTTP
            log.add("probe " + host + ":" + std::to_string(port));
            return connect(host, port, find);
        };
        s.readPassword = [this](const std::string& id) { return passwords.count(id) ? passwords[id] : ""; };
        s.savePassword = [this](const std::string& id, const std::string& password) {
            log.add("savePassword " + id + " " + password);
            if (!vaultBroken) passwords[id] = password;
            return !vaultBroken;
        };
        s.deletePassword = [this](const std::string& id) { log.add("deletePassword " + id), passwords.erase(id); };
        s.hasPassword = [this](const std::string& id) { return passwords.count(id) > 0; };
        s.readSiteKey = [this] { return siteKey; };
        s.saveSiteKey = [this](const std::string& key) {
            log.add("saveSiteKey " + key);
            if (!vaultBroken) siteKey = key;
            return !vaultBroken;
        };
        s.deleteSiteKey = [this] { log.add("deleteSiteKey"), siteKey.clear(); };
        s.hasSiteKey = [this] { return !siteKey.empty(); };
        s.runDiscovery = [this](const DiscoveryOptions& options) {
            log.add("discover " + options.clientKind + " " + options.siteKey);
            return discovery;
        };
        s.wallClockMs = [] { return std::int64_t{1767225600000}; };
        s.monotonicMs = [this] { return monoMs.load(); };
        s.startThread = [this](std::function<void()> job) { return start(std::move(job)); };
        s.settingsPath = settingsPath;
        return s;
    }
    bool start(std::function<void()> job) {
        std::lock_guard<std::mutex> lock(mutex);
        if (threads != Threads::Real) return threads == Threads::Queued && (jobs.push_back(std::move(job)), true);
        ++running;
        return startDetachedThread([this, job = std::move(job)] {
            job();
            std::lock_guard<std::mutex> lock(mutex);
            --running, idle.notify_all();
        });
    }
    // Runs waiting job `index` (modulo their number); false when none waits.
    bool runJob(std::size_t index) {
        if (jobs.empty()) return false;
        const auto at = jobs.begin() + static_cast<std::ptrdiff_t>(index % jobs.size());
        const auto job = std::move(*at);
        jobs.erase(at);
        return job(), true;
    }
    void waitForRealThreads() {
        std::unique_lock<std::mutex> lock(mutex);
        idle.wait(lock, [this] { return running == 0; });
    }

    CallLog& log;
    std::mutex mutex;
    std::condition_variable idle;
    Threads threads = Threads::Queued;
    std::deque<std::function<void()>> jobs;
    int running = 0;
    Probe connect;  // empty: the real probe over `http`
    std::deque<HttpResult> answers;
    HttpResult fallback{false, 0, {}, {}, "the connection timed out"};  // when no answer is queued
    DiscoveryResult discovery;
    std::map<std::string, std::string> passwords;
    std::string siteKey;
    bool vaultBroken = false;  // saves of passwords and the site key fail
    std::atomic<std::int64_t> monoMs{1000000};
};

// The controller and its surroundings; a new start() is a new process as far as settings go.
struct Harness {
    explicit Harness(std::filesystem::path settings) : settingsPath(std::move(settings)) { resetDiscoveryThrottle(); }
    ~Harness() {
        if (controller) controller->detachShell();
    }
    void start(bool withView = true) {
        if (controller) controller->detachShell();
        controller = std::make_shared<AppController>(world.services(settingsPath));
        sink();
        controller->attachWindow(window);
        if (withView) controller->onWebViewReady(view);
    }
    // Events in full in `events`; in the log "state PHASE [+key] [!error] [~notice]" or "discovery STATE N [!error]".
    void sink() {
        controller->setEventSink([this](const std::string& text) {
            events.push_back(text);
            const auto e = nlohmann::json::parse(text, nullptr, false);
            if (!e.is_object()) return log.add(text);
            const std::string error = e.value("error", ""), notice = e.value("notice", "");
            const std::string head =
                e.value("event", "") == "state"
                    ? "state " + e.value("phase", "?") + (e.value("siteKeySet", false) ? " +key" : "")
                    : "discovery " + e.value("state", "?") + " " + std::to_string(e["systems"].size());
            log.add(head + (error.empty() ? "" : " !" + error) + (notice.empty() ? "" : " ~" + notice));
        });
    }
    void command(const nlohmann::json& object) { controller->handleCommand(object.dump()); }
    // Runs the waiting worker jobs, then the results they posted.
    void pump() {
        while (world.runJob(0)) {
        }
        controller->runPostedTasks();
    }
    nlohmann::json lastState() const {
        for (auto e = events.rbegin(); e != events.rend(); ++e) {
            if (auto j = nlohmann::json::parse(*e, nullptr, false); j.value("event", "") == "state") return j;
        }
        return {};
    }

    std::filesystem::path settingsPath;
    CallLog log;
    FakeWorld world{log};
    std::shared_ptr<FakeView> view = std::make_shared<FakeView>(log);
    std::shared_ptr<FakeWindow> window = std::make_shared<FakeWindow>(log);
    std::shared_ptr<AppController> controller;
    Lines events;
};

// A connect probe that finds system `id` called `name` at whatever host it is given.
inline FakeWorld::Probe systemAt(const std::string& id, const std::string& name, bool trusted = false,
                                 std::vector<std::string> hosts = {}) {
    return [=](const std::string& host, int port, const FindSystemFunction&) {
        return ConnectResult{
            true, {}, Target{host, port, id, name, hosts.empty() ? std::vector{host} : hosts}, trusted};
    };
}
inline HttpResult answer(std::uint32_t status, const std::string& body) {
    return HttpResult{true, status, body, {}, {}};
}

}  // namespace ostrel::ctl::testing
