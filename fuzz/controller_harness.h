#pragma once
// A controller whose outside services answer from the fuzz script: a view and a window that
// record what they are told, an in-memory vault, worker jobs that run only when the script says
// so, HTTP answers and discovery offers queued by the script, a settable clock.
#include <deque>
#include <map>
#include <memory>

#include "ctl/app_controller.h"
#include "ctl/page_policy.h"
#include "ctl/start_page.h"
#include "fuzz/fuzz_support.h"

namespace ostrel::fuzz {

struct Call {
    std::string what, text;  // "navigate" URL, "deleteCookies" name and domain, ...
};

class RecordingView : public ctl::IBrowserView {
public:
    void setPolicyHandlers(ctl::PolicyHandlers h) override { handlers = std::move(h); }
    void navigate(const std::string& url) override { calls.push_back({"navigate", url}); }
    void addDocumentScript(const std::string& script, ScriptDone done) override {
        calls.push_back({"addScript", script});
        pending.emplace_back("script-" + std::to_string(calls.size()), std::move(done));
        if (!deferScripts) completeScripts(true);
    }
    void removeDocumentScript(const std::string& id) override { calls.push_back({"removeScript", id}); }
    void executeScript(const std::string& script) override { calls.push_back({"executeScript", script}); }
    bool setCookie(const ctl::SessionCookie& cookie) override {
        return calls.push_back({"setCookie", cookie.domain}), true;
    }
    bool deleteCookies(const std::string& name, const std::string& domain, const std::string&) override {
        return calls.push_back({"deleteCookies", name + " " + domain}), true;
    }
    bool hasCertificateErrorEvents() const override { return true; }
    void clearCertificateDecisions() override { calls.push_back({"clearCertificateDecisions", ""}); }
    void closePopups() override { calls.push_back({"closePopups", ""}); }
    void openExternal(const std::string& url) override { calls.push_back({"openExternal", url}); }
    void completeScripts(bool ok) {
        for (auto& [id, done] : std::exchange(pending, {})) done(ok, ok ? id : "", ok ? 0 : 0x80004005L);
    }

    ctl::PolicyHandlers handlers;
    std::vector<Call> calls;
    std::vector<std::pair<std::string, ScriptDone>> pending;
    bool deferScripts = false;
};

class RecordingWindow : public ctl::IAppWindow {
public:
    void setTitle(const std::string& text) override { title = text; }
    void setSessionMenuEnabled(bool enabled) override { menuEnabled = enabled; }
    void startSignOutTimer(int) override { timerArmed = true; }
    void stopSignOutTimer() override { timerArmed = false; }
    void wake() override {}

    std::string title;
    bool menuEnabled = false, timerArmed = false;
};

// A fresh one per input; start() reads config.json as the script left it (or finds none).
struct ScriptedWorld {
    ScriptedWorld() {
        std::filesystem::remove(settingsPath());
        ctl::resetDiscoveryThrottle();
    }
    ~ScriptedWorld() {
        if (controller) controller->detachShell();  // the view <-> controller references
    }
    static std::filesystem::path settingsPath() { return scratchDir() / "config.json"; }

    void start() {
        ctl::ControllerServices s;
        s.http = [this](auto&&...) {
            const HttpResult next = answers.empty() ? scriptedAnswer("x") : answers.front();
            if (!answers.empty()) answers.pop_front();
            return next;
        };
        s.readPassword = [this](const std::string& id) { return passwords.count(id) ? passwords[id] : ""; };
        s.savePassword = [this](const std::string& id, const std::string& pw) { return passwords[id] = pw, true; };
        s.deletePassword = [this](const std::string& id) { passwords.erase(id); };
        s.hasPassword = [this](const std::string& id) { return passwords.count(id) != 0; };
        s.readSiteKey = [this] { return siteKey; };
        s.saveSiteKey = [this](const std::string& key) { return siteKey = key, true; };
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
        s.startThread = [this](std::function<void()> job) { return !refuseThreads && (jobs.push_back(job), true); };
        s.settingsPath = settingsPath();
        controller = std::make_shared<ctl::AppController>(s);
        controller->setEventSink([this](const std::string& text) { events.push_back(text); });
        controller->attachWindow(window);
        controller->onWebViewReady(view);
    }

    // Job `index` (modulo the number waiting) runs; its result is posted, not yet applied.
    void runJob(std::size_t index) {
        if (jobs.empty()) return;
        const auto at = jobs.begin() + static_cast<std::ptrdiff_t>(index % jobs.size());
        const auto job = std::move(*at);
        jobs.erase(at);
        job();
    }

    // What holds after anything the controller was asked to do.
    void checkController() {
        const auto& c = *controller;
        FUZZ_CHECK(c.signedIn() == (c.phase() == ctl::Phase::SignedIn) && c.generation() >= generation,
                   "signedIn and the phase disagree, or the generation went back");
        generation = c.generation();
        if (c.signedIn()) {
            FUZZ_CHECK(window->menuEnabled && !c.target().systemId.empty() &&
                           ctl::isTargetHost(c.target().host, c.target().hosts),
                       "signed in without the menu, a system or on a host not its own: " + c.target().host);
        } else {
            FUZZ_CHECK(
                !window->menuEnabled && !c.signingOut() && window->title == ctl::AppController::baseWindowTitle(),
                "session items or title while signed out: " + window->title);
        }
    }

    std::shared_ptr<RecordingView> view = std::make_shared<RecordingView>();
    std::shared_ptr<RecordingWindow> window = std::make_shared<RecordingWindow>();
    std::vector<std::shared_ptr<RecordingView>> popups, retired;  // retired: main views replaced
    std::shared_ptr<ctl::AppController> controller;
    std::deque<HttpResult> answers;
    std::vector<DiscoveryOffer> offers;
    std::map<std::string, std::string> passwords;
    std::string siteKey;
    std::vector<std::function<void()>> jobs;
    std::vector<std::string> events;
    std::int64_t monotonicMs = 1000000;
    std::uint32_t generation = 0;
    bool refuseThreads = false;
};

}  // namespace ostrel::fuzz
