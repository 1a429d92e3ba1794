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

#include <nlohmann/json.hpp>

#include "ctl/app_controller.h"
#include "ctl/browser.h"

namespace ostrel::ctl::testing {

class FakeView : public IBrowserView {
public:
    struct Deleted {
        std::string name, domain, path;
    };
    struct PendingScript {
        std::string id;
        ScriptDone done;
    };

    void setPolicyHandlers(PolicyHandlers h) override { handlers = std::move(h); }
    void navigate(const std::string& url) override {
        navigations.push_back(url);
        calls.push_back("navigate");
    }
    void addDocumentScript(const std::string& script, ScriptDone done) override {
        const std::string id = "script-" + std::to_string(nextId++);
        calls.push_back("addScript");
        if (!scriptOk) {
            done(false, "", scriptFailureCode);
            return;
        }
        scripts[id] = script;
        if (deferScripts) {
            pending.push_back({id, std::move(done)});
            return;
        }
        done(true, id, 0);
    }
    void removeDocumentScript(const std::string& id) override {
        calls.push_back("removeScript");
        removed.push_back(id);
        scripts.erase(id);
    }
    void executeScript(const std::string& script) override {
        calls.push_back("executeScript");
        executed.push_back(script);
    }
    bool setCookie(const SessionCookie& cookie) override {
        calls.push_back("setCookie");
        if (!cookiesOk) return false;
        cookies.push_back(cookie);
        return true;
    }
    bool deleteCookies(const std::string& name, const std::string& domain, const std::string& path) override {
        calls.push_back("deleteCookies");
        deleted.push_back({name, domain, path});
        return cookiesOk;
    }
    bool hasCertificateErrorEvents() const override { return certificateEvents; }
    void clearCertificateDecisions() override {
        calls.push_back("clearCertificateDecisions");
        ++certificateClears;
    }
    void closePopups() override {
        calls.push_back("closePopups");
        ++popupCloses;
    }
    void openExternal(const std::string& url) override {
        calls.push_back("openExternal");
        external.push_back(url);
    }

    // Completes the registrations held back by deferScripts.
    void completeScripts() {
        auto ready = std::move(pending);
        pending.clear();
        for (auto& p : ready) p.done(true, p.id, 0);
    }

    PolicyHandlers handlers;
    std::vector<std::string> calls;
    std::vector<std::string> navigations;
    std::map<std::string, std::string> scripts;  // registered and not removed
    std::vector<std::string> removed;
    std::vector<std::string> executed;
    std::vector<SessionCookie> cookies;
    std::vector<Deleted> deleted;
    std::vector<std::string> external;
    std::vector<PendingScript> pending;
    int certificateClears = 0;
    int popupCloses = 0;
    int nextId = 1;
    bool scriptOk = true;
    long scriptFailureCode = 0x80004005L;
    bool deferScripts = false;
    bool cookiesOk = true;
    bool certificateEvents = true;
};

class FakeWindow : public IAppWindow {
public:
    void setTitle(const std::string& t) override { titles.push_back(t); }
    void setSessionMenuEnabled(bool enabled) override { menu.push_back(enabled); }
    void startSignOutTimer(int milliseconds) override { timerMs = milliseconds; }
    void stopSignOutTimer() override { timerMs.reset(); }
    void wake() override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++wakes;
        }
        woken.notify_all();
    }

    std::string title() const { return titles.empty() ? std::string() : titles.back(); }
    std::optional<bool> menuEnabled() const { return menu.empty() ? std::nullopt : std::optional<bool>(menu.back()); }

    std::vector<std::string> titles;
    std::vector<bool> menu;
    std::optional<int> timerMs;
    std::mutex mutex;
    std::condition_variable woken;
    long wakes = 0;
};

// The world outside the controller: network, vault, discovery, clocks and threads.
class FakeWorld {
public:
    enum class Threads { Inline, Queued, Fail, Real };

    struct HttpCall {
        std::string method, host, path, body;
        int port = 0;
    };

    ControllerServices services(const std::filesystem::path& settingsPath) {
        ControllerServices s;
        s.connectProbe = [this](const std::string& host, int port, const FindSystemFunction& find) {
            std::function<ConnectResult(const std::string&, int, const FindSystemFunction&)> probe;
            {
                std::lock_guard<std::mutex> lock(mutex);
                probes.emplace_back(host, port);
                probe = connect;
            }
            if (probe) return probe(host, port, find);
            return ConnectResult{};
        };
        s.http = [this](const std::string& method, const std::string& host, int port, const std::string& path,
                        const std::string& body) {
            std::function<HttpResult()> answer;
            {
                std::lock_guard<std::mutex> lock(mutex);
                httpCalls.push_back({method, host, path, body, port});
                answer = auth;
            }
            return answer ? answer() : HttpResult{};
        };
        s.readPassword = [this](const std::string& id) {
            std::lock_guard<std::mutex> lock(mutex);
            const auto it = passwords.find(id);
            return it == passwords.end() ? std::string() : it->second;
        };
        s.savePassword = [this](const std::string& id, const std::string& password) {
            std::lock_guard<std::mutex> lock(mutex);
            passwords[id] = password;
            ++passwordSaves;
            return true;
        };
        s.deletePassword = [this](const std::string& id) {
            std::lock_guard<std::mutex> lock(mutex);
            passwords.erase(id);
            ++passwordDeletes;
        };
        s.hasPassword = [this](const std::string& id) {
            std::lock_guard<std::mutex> lock(mutex);
            return !id.empty() && passwords.count(id) > 0;
        };
        s.readSiteKey = [this] {
            std::lock_guard<std::mutex> lock(mutex);
            return siteKey;
        };
        s.saveSiteKey = [this](const std::string& key) {
            std::lock_guard<std::mutex> lock(mutex);
            siteKey = key;
            return true;
        };
        s.deleteSiteKey = [this] {
            std::lock_guard<std::mutex> lock(mutex);
            siteKey.clear();
        };
        s.hasSiteKey = [this] {
            std::lock_guard<std::mutex> lock(mutex);
            return !siteKey.empty();
        };
        s.runDiscovery = [this](const DiscoveryOptions& options) {
            std::function<DiscoveryResult()> run;
            {
                std::lock_guard<std::mutex> lock(mutex);
                discoveryOptions.push_back(options);
                run = discovery;
            }
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

    // Runs the queued worker jobs (Threads::Queued), oldest first; returns how many ran.
    int runJobs() {
        int count = 0;
        for (;;) {
            std::function<void()> job;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (jobs.empty()) return count;
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            job();
            ++count;
        }
    }
    // Runs the newest queued job only (a later request answering first).
    bool runNewestJob() {
        std::function<void()> job;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (jobs.empty()) return false;
            job = std::move(jobs.back());
            jobs.pop_back();
        }
        job();
        return true;
    }
    std::size_t queuedJobs() {
        std::lock_guard<std::mutex> lock(mutex);
        return jobs.size();
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
    std::function<ConnectResult(const std::string&, int, const FindSystemFunction&)> connect;
    std::function<HttpResult()> auth;
    std::function<DiscoveryResult()> discovery;
    std::vector<std::pair<std::string, int>> probes;
    std::vector<HttpCall> httpCalls;
    std::map<std::string, std::string> passwords;
    int passwordSaves = 0;
    int passwordDeletes = 0;
    std::string siteKey;
    std::vector<DiscoveryOptions> discoveryOptions;
    std::atomic<std::int64_t> wallMs{1767225600000};
    std::atomic<std::int64_t> monoMs{1000000};

private:
    bool start(std::function<void()> job) {
        std::unique_lock<std::mutex> lock(mutex);
        switch (threads) {
            case Threads::Inline:
                lock.unlock();
                job();
                return true;
            case Threads::Queued:
                jobs.push_back(std::move(job));
                return true;
            case Threads::Fail:
                return false;
            case Threads::Real:
                ++running;
                lock.unlock();
                if (startDetachedThread([this, job = std::move(job)] {
                        job();
                        {
                            std::lock_guard<std::mutex> done(mutex);
                            --running;
                        }
                        idle.notify_all();
                    })) {
                    return true;
                }
                lock.lock();
                --running;
                return false;
        }
        return false;
    }
};

// A connect probe answer for a system at `host`.
inline ConnectResult systemAt(const std::string& host, int port, const std::string& systemId, const std::string& name,
                              bool trusted = false) {
    ConnectResult result;
    result.ok = true;
    result.trusted = trusted;
    result.target.host = host;
    result.target.port = port;
    result.target.systemId = systemId;
    result.target.name = name;
    result.target.hosts = {host};
    return result;
}

inline HttpResult httpAnswer(std::uint32_t status, const std::string& body, const std::string& retryAfter = {}) {
    HttpResult result;
    result.ok = true;
    result.status = status;
    result.body = body;
    result.retryAfter = retryAfter;
    return result;
}

}  // namespace ostrel::ctl::testing
