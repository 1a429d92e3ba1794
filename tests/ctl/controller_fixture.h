#pragma once
// A controller with a fake browser, window and outside world, a manual UI-thread pump, and its log.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "ctl/app_controller.h"
#include "log/log.h"
#include "tests/support/test_support.h"

namespace ostrel::ctl::testing {

struct FakeView : IBrowserView {
    void setPolicyHandlers(PolicyHandlers h) override { handlers = std::move(h); }
    void navigate(const std::string& url) override { navigations.push_back(url); }
    void addDocumentScript(const std::string& script, ScriptDone done) override {
        if (!scriptOk) return done(false, "", 0x80070005L);
        const std::string id = "script-" + std::to_string(nextId++);
        scripts[id] = script;
        if (deferScripts) return pending.push_back([done, id] { done(true, id, 0); });
        done(true, id, 0);
    }
    void removeDocumentScript(const std::string& id) override { scripts.erase(id), removed.push_back(id); }
    void executeScript(const std::string& script) override { executed.push_back(script); }
    bool setCookie(const SessionCookie& cookie) override {
        if (cookiesOk) cookies.push_back(cookie);
        return cookiesOk;
    }
    bool deleteCookies(const std::string& name, const std::string& domain, const std::string& path) override {
        deleted.push_back(name + " " + domain + " " + path);
        return cookiesOk;
    }
    bool hasCertificateErrorEvents() const override { return certificateEvents; }
    void clearCertificateDecisions() override { ++certificateClears; }
    void closePopups() override { ++popupCloses; }
    void openExternal(const std::string&) override {}
    // Completes the held-back script registrations, oldest first.
    void completeScripts() {
        for (auto ready = std::move(pending); auto& done : ready) done();
    }

    PolicyHandlers handlers;
    std::vector<std::string> navigations, removed, executed, deleted;
    std::map<std::string, std::string> scripts;  // registered and not removed
    std::vector<SessionCookie> cookies;
    std::vector<std::function<void()>> pending;
    int certificateClears = 0, popupCloses = 0, nextId = 1;
    bool scriptOk = true, deferScripts = false, cookiesOk = true, certificateEvents = true;
};

struct FakeWindow : IAppWindow {
    void setTitle(const std::string& t) override { title = t; }
    void setSessionMenuEnabled(bool enabled) override { menuEnabled = enabled; }
    void startSignOutTimer(int ms) override { timerMs = ms; }
    void stopSignOutTimer() override { timerMs.reset(); }
    void wake() override {
        locked([&] { ++wakes; });
        woken.notify_all();
    }
    template <typename F>
    void locked(F f) {
        std::lock_guard<std::mutex> lock(mutex);
        f();
    }
    std::string title;
    std::optional<bool> menuEnabled;
    std::optional<int> timerMs;
    std::mutex mutex;
    std::condition_variable woken;
    long wakes = 0;
};

// The world outside the controller: network, vault, discovery, clocks and threads.
struct FakeWorld {
    enum class Threads { Inline, Queued, Fail, Real };
    using Probe = std::function<ConnectResult(const std::string&, int, const FindSystemFunction&)>;

    template <typename F>
    auto locked(F f) {
        std::lock_guard<std::mutex> lock(mutex);
        return f();
    }
    ControllerServices services(const std::filesystem::path& settingsPath) {
        ControllerServices s;
        s.connectProbe = [this](const std::string& host, int port, const FindSystemFunction& find) {
            const Probe probe = locked([&] { return probes.emplace_back(host, port), connect; });
            return probe ? probe(host, port, find) : ConnectResult{};
        };
        s.http = [this](const std::string& method, const std::string& host, int port, const std::string& path,
                        const std::string& body) {
            const auto answer = locked([&] {
                httpCalls.push_back(method + " " + host + ":" + std::to_string(port) + path + " " + body);
                return auth;
            });
            return answer ? answer() : HttpResult{};
        };
        // The vault is used on the UI thread only; the site key is read by the discovery worker.
        s.readPassword = [this](const std::string& id) { return passwords.count(id) ? passwords[id] : std::string(); };
        s.savePassword = [this](const std::string& id, const std::string& password) {
            ++passwordSaves;
            if (!vaultBroken) passwords[id] = password;
            return !vaultBroken;
        };
        s.deletePassword = [this](const std::string& id) { passwords.erase(id); };
        s.hasPassword = [this](const std::string& id) { return passwords.count(id) > 0; };
        s.readSiteKey = [this] { return locked([&] { return siteKey; }); };
        s.saveSiteKey = [this](const std::string& key) { return !vaultBroken && !(siteKey = key).empty(); };
        s.deleteSiteKey = [this] { siteKey.clear(); };
        s.hasSiteKey = [this] { return !siteKey.empty(); };
        s.runDiscovery = [this](const DiscoveryOptions& options) {
            const auto run = locked([&] { return discoveryOptions.push_back(options), discovery; });
            return run ? run() : DiscoveryResult{};
        };
        s.wallClockMs = [this] { return wallMs.load(); };
        s.monotonicMs = [this] { return monoMs.load(); };
        s.startThread = [this](std::function<void()> job) { return start(std::move(job)); };
        s.settingsPath = settingsPath;
        s.startPagePrefix = "ostrel-test://ui.test/";
        s.startPageUrl = "ostrel-test://ui.test/index.html";
        return s;
    }
    // Runs queued worker jobs (Threads::Queued), oldest first, or only the newest one.
    int runJobs(bool newestOnly = false) {
        int count = 0;
        for (; !newestOnly || count == 0; ++count) {
            std::function<void()> job;
            locked([&] {
                if (jobs.empty()) return;
                job = std::move(newestOnly ? jobs.back() : jobs.front());
                newestOnly ? jobs.pop_back() : jobs.pop_front();
            });
            if (!job) break;
            job();
        }
        return count;
    }
    std::size_t queuedJobs() {
        return locked([&] { return jobs.size(); });
    }
    void waitForRealThreads() {
        std::unique_lock<std::mutex> lock(mutex);
        idle.wait(lock, [this] { return running == 0; });
    }
    bool start(std::function<void()> job) {
        std::unique_lock<std::mutex> lock(mutex);
        if (threads == Threads::Fail) return false;
        if (threads == Threads::Queued) return jobs.push_back(std::move(job)), true;
        if (threads == Threads::Inline) return lock.unlock(), job(), true;
        ++running;
        return startDetachedThread([this, job = std::move(job)] {
            job();
            locked([&] { --running; });
            idle.notify_all();
        });
    }

    std::mutex mutex;
    std::condition_variable idle;
    Threads threads = Threads::Inline;
    std::deque<std::function<void()>> jobs;
    int running = 0, passwordSaves = 0;
    Probe connect;
    std::function<HttpResult()> auth;
    std::function<DiscoveryResult()> discovery;
    std::vector<std::pair<std::string, int>> probes;
    std::vector<std::string> httpCalls;  // "POST 10.0.0.5:8443/api/control-auth {body}"
    std::map<std::string, std::string> passwords;
    bool vaultBroken = false;  // saves of passwords and the site key fail
    std::string siteKey;
    std::vector<DiscoveryOptions> discoveryOptions;
    std::atomic<std::int64_t> wallMs{1767225600000}, monoMs{1000000};
};

// A connect probe that finds system `id` called `name` at whatever host it is given.
inline FakeWorld::Probe systemAt(const std::string& id, const std::string& name, bool trusted = false,
                                 std::vector<std::string> hosts = {}) {
    return [=](const std::string& host, int port, const FindSystemFunction&) {
        return ConnectResult{
            true, {}, Target{host, port, id, name, hosts.empty() ? std::vector{host} : hosts}, trusted};
    };
}
inline std::function<HttpResult()> answer(std::uint32_t status, const std::string& body) {
    return [=] { return HttpResult{true, status, body, {}, {}}; };
}

class ControllerTest : public ::testing::Test {
protected:
    static constexpr const char* kToken = "tok-0123456789abcdef";
    static constexpr const char* kPassword = "pw-correct-horse";
    static constexpr const char* kStartPage = "ostrel-test://ui.test/index.html";
    static constexpr const char* kControl = "https://10.0.0.5:8443/control/";
    using json = nlohmann::json;

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
    void command(const json& object) { controller->handleCommand(object.dump()); }
    void connect(const std::string& host, int port = 8443) {
        command({{"cmd", "connect"}, {"host", host}, {"port", port}});
    }
    void login(const std::string& password, bool remember = true) {
        command({{"cmd", "login"}, {"password", password}, {"remember", remember}});
    }
    // Runs worker jobs and posted tasks until nothing is left.
    void pump() {
        while (world.runJobs() > 0) controller->runPostedTasks();
        controller->runPostedTasks();
    }
    std::vector<json> eventsOf(const std::string& kind) const {
        std::vector<json> out;
        for (const auto& text : events) {
            if (auto parsed = json::parse(text, nullptr, false); parsed.value("event", "") == kind)
                out.push_back(parsed);
        }
        return out;
    }
    json lastState() const {
        const auto states = eventsOf("state");
        return states.empty() ? json() : states.back();
    }
    json stateNow() {
        command({{"cmd", "getState"}});
        return lastState();
    }
    // Connects to system `id` at 10.0.0.5 and stops in the password phase.
    void toPasswordPhase(const std::string& id = "sys-a", const std::string& name = "Alpha") {
        world.connect = systemAt(id, name);
        connect("10.0.0.5");
        pump();
        ASSERT_EQ(controller->phase(), Phase::Password);
    }
    void signInTyped(bool remember, const std::string& id = "sys-a", const std::string& name = "Alpha") {
        toPasswordPhase(id, name);
        world.auth = answer(200, std::string("{\"token\":\"") + kToken + "\"}");
        login(kPassword, remember);
        pump();
        ASSERT_TRUE(controller->signedIn());
    }
    void signInTrusted(const std::string& id = "sys-t", const std::string& name = "Trusty") {
        world.connect = systemAt(id, name, true);
        connect("10.0.0.9");
        pump();
        ASSERT_TRUE(controller->signedIn());
    }
    SystemEntry stored(const std::string& id) {
        SystemEntry entry;
        EXPECT_TRUE(controller->store().findSystem(id, entry)) << id;
        return entry;
    }
    bool known(const std::string& id) {
        SystemEntry entry;
        return controller->store().findSystem(id, entry);
    }
    // What the process logged since the test began; lines are written on the logging thread.
    std::string logText() const {
        ostrel::log::flush();
        const std::string all = ostrel::test::readFile(ostrel::log::prettyLogPath());
        return all.size() > logStart ? all.substr(logStart) : std::string();
    }
    bool logged(const std::string& needle) const {
        for (int i = 0; i < 150; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            if (logText().find(needle) != std::string::npos) return true;
        }
        return false;
    }
    std::string settledLog() const {  // for absence checks: the writer catches up first
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return logText();
    }
    static std::size_t initLog() {
        static ostrel::test::TempDir folder;
        static const bool once = [] {
            ostrel::log::LogConfig config;
            config.source = "ctl-test";
            config.logDir = folder.path();
            config.consoleSink = false;
            return ostrel::log::init(config), true;
        }();
        (void)once;
        ostrel::log::flush();
        return ostrel::test::readFile(ostrel::log::prettyLogPath()).size();
    }

    ostrel::test::TempDir dir;
    ostrel::test::IsolatedUserDirs userDirs{dir.path()};
    std::size_t logStart = initLog();
    FakeWorld world;
    std::shared_ptr<FakeView> view = std::make_shared<FakeView>();
    std::shared_ptr<FakeWindow> window = std::make_shared<FakeWindow>();
    std::shared_ptr<AppController> controller;
    std::vector<std::string> events;
};

}  // namespace ostrel::ctl::testing
