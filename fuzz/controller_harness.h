#pragma once
// A controller with every outside service replaced by a scripted one, for the fuzz targets that
// drive it: a recording view and window, an in-memory vault, worker jobs that run only when the
// script says so, HTTP answers and discovery offers taken from the script, a settable clock.
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ctl/app_controller.h"
#include "ctl/page_policy.h"
#include "ctl/start_page.h"
#include "fuzz/fuzz_support.h"
#include "log/log.h"

namespace ostrel::fuzz {

struct Call {
    std::string what;  // "navigate", "addScript", "removeScript", "executeScript", "setCookie", ...
    std::string text;  // URL, script, cookie domain, ...
};

class RecordingView : public ctl::IBrowserView {
public:
    void setPolicyHandlers(ctl::PolicyHandlers h) override { handlers = std::move(h); }
    void navigate(const std::string& url) override { calls.push_back({"navigate", url}); }
    void addDocumentScript(const std::string& script, ScriptDone done) override {
        const std::string id = "script-" + std::to_string(++nextId);
        calls.push_back({"addScript", script});
        if (deferScripts) {
            pending.emplace_back(id, std::move(done));
        } else {
            done(true, id, 0);
        }
    }
    void removeDocumentScript(const std::string& id) override { calls.push_back({"removeScript", id}); }
    void executeScript(const std::string& script) override { calls.push_back({"executeScript", script}); }
    bool setCookie(const ctl::SessionCookie& cookie) override {
        calls.push_back({"setCookie", cookie.domain});
        cookieValues.push_back(cookie.value);
        return true;
    }
    bool deleteCookies(const std::string& name, const std::string& domain, const std::string&) override {
        calls.push_back({"deleteCookies", name + " " + domain});
        return true;
    }
    bool hasCertificateErrorEvents() const override { return true; }
    void clearCertificateDecisions() override { calls.push_back({"clearCertificateDecisions", ""}); }
    void closePopups() override { calls.push_back({"closePopups", ""}); }
    void openExternal(const std::string& url) override { calls.push_back({"openExternal", url}); }

    // Registrations held back until completeScripts() (deferScripts on).
    void completeScripts(bool ok) {
        auto ready = std::move(pending);
        pending.clear();
        for (auto& [id, done] : ready) done(ok, ok ? id : std::string(), ok ? 0 : 0x80004005L);
    }

    ctl::PolicyHandlers handlers;
    std::vector<Call> calls;
    std::vector<std::string> cookieValues;
    bool deferScripts = false;
    std::vector<std::pair<std::string, ScriptDone>> pending;
    int nextId = 0;
};

class RecordingWindow : public ctl::IAppWindow {
public:
    void setTitle(const std::string& text) override { title = text; }
    void setSessionMenuEnabled(bool enabled) override { menuEnabled = enabled; }
    void startSignOutTimer(int) override { timerArmed = true; }
    void stopSignOutTimer() override { timerArmed = false; }
    void wake() override {}

    std::string title;
    bool menuEnabled = false;
    bool timerArmed = false;
};

// Everything one scripted run needs; a fresh one per input.
class ScriptedWorld {
public:
    ScriptedWorld() {
        std::filesystem::remove(settingsPath());
        ctl::resetDiscoveryThrottle();
    }

    static std::filesystem::path settingsPath() { return scratchDir() / "config.json"; }

    // Logging stays quiet (every level filtered) so the runs do not fill a disk.
    static void initQuietLogging() {
        log::LogConfig config;
        config.source = "fuzz";
        config.logDir = scratchDir() / "logs";
        config.consoleSink = false;
        config.minLevel = 100;
        log::init(config);
    }

    ctl::ControllerServices services() {
        ctl::ControllerServices s;
        s.http = [this](const std::string&, const std::string&, int, const std::string&, const std::string&) {
            if (answers.empty()) {
                HttpResult failed;
                failed.error = "nothing answered at that address and port";
                return failed;
            }
            HttpResult next = answers.front();
            answers.pop_front();
            return next;
        };
        s.readPassword = [this](const std::string& id) { return passwords.count(id) ? passwords[id] : std::string(); };
        s.savePassword = [this](const std::string& id, const std::string& pw) {
            passwords[id] = pw;
            return true;
        };
        s.deletePassword = [this](const std::string& id) { passwords.erase(id); };
        s.hasPassword = [this](const std::string& id) { return passwords.count(id) != 0; };
        s.readSiteKey = [this] { return siteKey; };
        s.saveSiteKey = [this](const std::string& key) {
            siteKey = key;
            return true;
        };
        s.deleteSiteKey = [this] { siteKey.clear(); };
        s.hasSiteKey = [this] { return !siteKey.empty(); };
        s.runDiscovery = [this](const DiscoveryOptions&) {
            DiscoveryResult result;
            result.systems = mergeOffers(offers);
            result.offers = static_cast<std::int32_t>(offers.size());
            return result;
        };
        s.wallClockMs = [] { return std::int64_t{1767225600000}; };
        s.monotonicMs = [this] { return monotonicMs; };
        s.startThread = [this](std::function<void()> job) {
            if (refuseThreads) return false;
            jobs.push_back(std::move(job));
            return true;
        };
        s.settingsPath = settingsPath();
        return s;
    }

    // A controller wired as the shell wires it: sink, window, main view.
    void start() {
        controller = std::make_shared<ctl::AppController>(services());
        controller->setEventSink([this](const std::string& text) { events.push_back(text); });
        controller->attachWindow(window);
        controller->onWebViewReady(view);
    }

    // Runs job `index` (modulo the number waiting); its result is posted, not yet applied.
    void runJob(std::size_t index) {
        if (jobs.empty()) return;
        const std::size_t at = index % jobs.size();
        auto job = std::move(jobs[at]);
        jobs.erase(jobs.begin() + static_cast<std::ptrdiff_t>(at));
        job();
    }

    // Breaks the view <-> controller references before everything goes.
    ~ScriptedWorld() {
        if (controller) controller->detachShell();
        jobs.clear();
        popups.clear();
        retired.clear();
    }

    std::shared_ptr<RecordingView> view = std::make_shared<RecordingView>();
    std::shared_ptr<RecordingWindow> window = std::make_shared<RecordingWindow>();
    std::vector<std::shared_ptr<RecordingView>> popups;
    std::vector<std::shared_ptr<RecordingView>> retired;  // main views replaced by a new one
    std::shared_ptr<ctl::AppController> controller;
    std::deque<HttpResult> answers;
    std::vector<DiscoveryOffer> offers;
    std::map<std::string, std::string> passwords;
    std::string siteKey;
    std::vector<std::function<void()>> jobs;
    std::vector<std::string> events;
    std::int64_t monotonicMs = 1000000;
    bool refuseThreads = false;
};

// The invariants that hold after anything the controller was asked to do.
inline void checkController(const ScriptedWorld& world, std::uint32_t& lastGeneration) {
    const auto& c = *world.controller;
    FUZZ_CHECK(c.signedIn() == (c.phase() == ctl::Phase::SignedIn), "signedIn and the phase disagree");
    FUZZ_CHECK(c.generation() >= lastGeneration, "the generation went back");
    lastGeneration = c.generation();
    if (c.signedIn()) {
        FUZZ_CHECK(!c.target().systemId.empty(), "signed in without a system");
        FUZZ_CHECK(ctl::isTargetHost(c.target().host, c.target().hosts), "the signed-in host is not a target host");
        FUZZ_CHECK(world.window->menuEnabled, "session menu greyed while signed in");
    } else {
        FUZZ_CHECK(!world.window->menuEnabled && !c.signingOut(), "session items while signed out");
        FUZZ_CHECK(world.window->title == ctl::AppController::baseWindowTitle(), world.window->title);
    }
}

}  // namespace ostrel::fuzz
