#pragma once
// Fake browser, window and outside world for driving the controller without a shell.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ctl/app_controller.h"
#include "ctl/browser.h"

namespace ostrel::ctl::testing {

class FakeView : public IBrowserView {
public:
    void setPolicyHandlers(PolicyHandlers h) override { handlers = std::move(h); }
    void navigate(const std::string& url) override { navigations.push_back(url); }
    void addDocumentScript(const std::string& script, ScriptDone done) override {
        if (!scriptOk) return done(false, "", 0x80070005L);
        const std::string id = "script-" + std::to_string(nextId++);
        scripts[id] = script;
        if (deferScripts) return pending.push_back([done, id] { done(true, id, 0); });
        done(true, id, 0);
    }
    void removeDocumentScript(const std::string& id) override {
        removed.push_back(id);
        scripts.erase(id);
    }
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
    void openExternal(const std::string& url) override { external.push_back(url); }

    // Completes the registrations held back by deferScripts, oldest first.
    void completeScripts() {
        auto ready = std::move(pending);
        pending.clear();
        for (auto& done : ready) done();
    }

    PolicyHandlers handlers;
    std::vector<std::string> navigations, removed, executed, deleted, external;
    std::map<std::string, std::string> scripts;  // registered and not removed
    std::vector<SessionCookie> cookies;
    std::vector<std::function<void()>> pending;
    int certificateClears = 0, popupCloses = 0, nextId = 1;
    bool scriptOk = true, deferScripts = false, cookiesOk = true, certificateEvents = true;
};

class FakeWindow : public IAppWindow {
public:
    void setTitle(const std::string& t) override { title = t; }
    void setSessionMenuEnabled(bool enabled) override { menuEnabled = enabled; }
    void startSignOutTimer(int milliseconds) override { timerMs = milliseconds; }
    void stopSignOutTimer() override { timerMs.reset(); }
    void wake() override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++wakes;
        }
        woken.notify_all();
    }

    std::string title;
    std::optional<bool> menuEnabled;
    std::optional<int> timerMs;
    std::mutex mutex;
    std::condition_variable woken;
    long wakes = 0;
};

// The world outside the controller: network, vault, discovery, clocks and threads.
class FakeWorld {
    template <typename F>
    auto locked(F f) {
        std::lock_guard<std::mutex> lock(mutex);
        return f();
    }

public:
    enum class Threads { Inline, Queued, Fail, Real };
    using Probe = std::function<ConnectResult(const std::string&, int, const FindSystemFunction&)>;

    ControllerServices services(const std::filesystem::path& settingsPath) {
        ControllerServices s;
        s.connectProbe = [this](const std::string& host, int port, const FindSystemFunction& find) {
            const Probe probe = locked([&] {
                probes.emplace_back(host, port);
                return connect;
            });
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
        s.readPassword = [this](const std::string& id) {
            return locked([&] { return passwords.count(id) ? passwords[id] : std::string(); });
        };
        s.savePassword = [this](const std::string& id, const std::string& password) {
            return locked([&] {
                ++passwordSaves;
                if (vaultBroken) return false;
                passwords[id] = password;
                return true;
            });
        };
        s.deletePassword = [this](const std::string& id) { locked([&] { return passwords.erase(id); }); };
        s.hasPassword = [this](const std::string& id) { return locked([&] { return passwords.count(id) > 0; }); };
        s.readSiteKey = [this] { return locked([&] { return siteKey; }); };
        s.saveSiteKey = [this](const std::string& key) {
            return locked([&] {
                if (!vaultBroken) siteKey = key;
                return !vaultBroken;
            });
        };
        s.deleteSiteKey = [this] { locked([&] { return siteKey.erase(); }); };
        s.hasSiteKey = [this] { return locked([&] { return !siteKey.empty(); }); };
        s.runDiscovery = [this](const DiscoveryOptions& options) {
            const auto run = locked([&] {
                discoveryOptions.push_back(options);
                return discovery;
            });
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
        for (;;) {
            std::function<void()> job;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (jobs.empty() || (newestOnly && count > 0)) return count;
                job = std::move(newestOnly ? jobs.back() : jobs.front());
                newestOnly ? jobs.pop_back() : jobs.pop_front();
            }
            job();
            ++count;
        }
    }
    std::size_t queuedJobs() {
        return locked([&] { return jobs.size(); });
    }
    void waitForRealThreads() {
        std::unique_lock<std::mutex> lock(mutex);
        idle.wait(lock, [this] { return running == 0; });
    }

    std::mutex mutex;
    std::condition_variable idle;
    Threads threads = Threads::Inline;
    std::deque<std::function<void()>> jobs;
    int running = 0;
    Probe connect;
    std::function<HttpResult()> auth;
    std::function<DiscoveryResult()> discovery;
    std::vector<std::pair<std::string, int>> probes;
    std::vector<std::string> httpCalls;  // "POST 10.0.0.5:8443/api/control-auth {body}"
    std::map<std::string, std::string> passwords;
    int passwordSaves = 0;
    bool vaultBroken = false;  // saves of passwords and the site key fail
    std::string siteKey;
    std::vector<DiscoveryOptions> discoveryOptions;
    std::atomic<std::int64_t> wallMs{1767225600000};
    std::atomic<std::int64_t> monoMs{1000000};

private:
    bool start(std::function<void()> job) {
        std::unique_lock<std::mutex> lock(mutex);
        if (threads == Threads::Fail) return false;
        if (threads == Threads::Queued) {
            jobs.push_back(std::move(job));
            return true;
        }
        if (threads == Threads::Inline) {
            lock.unlock();
            job();
            return true;
        }
        ++running;
        lock.unlock();
        return startDetachedThread([this, job = std::move(job)] {
            job();
            {
                std::lock_guard<std::mutex> done(mutex);
                --running;
            }
            idle.notify_all();
        });
    }
};

// A connect probe answer for a system at `host`.
inline ConnectResult systemAt(const std::string& host, int port, const std::string& systemId, const std::string& name,
                              bool trusted = false) {
    ConnectResult result;
    result.ok = true;
    result.trusted = trusted;
    result.target = Target{host, port, systemId, name, {host}};
    return result;
}

inline HttpResult httpAnswer(std::uint32_t status, const std::string& body, const std::string& retryAfter = {}) {
    return HttpResult{true, status, body, retryAfter, {}};
}

}  // namespace ostrel::ctl::testing
