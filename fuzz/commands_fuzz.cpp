// Start-page commands interleaved with worker results, page messages, policy questions, menu
// items and view re-creation. The input is a script, one step per line:
//   >JSON  a command of the start page          hSTATUS[:RA] BODY  queue an HTTP answer ("x": failure)
//   oJSON  queue a discovery offer               wN  run waiting worker job N (modulo); its result is posted
//   t      run the posted tasks                  pURL MESSAGE  a page message from URL
//   nURL / NURL  a navigation in the main view / the newest popup;   cURL  a certificate error
//   uNAME URL  a new-window request (a popup view is made for a Popup decision)
//   ms / mo  menu: switch system / sign out;     T  the sign-out timer fires;   v  the main view is re-created
//   d / D[0]  hold back / complete (fail) script registrations;   kN  the clock moves N ms
//   r      worker threads no longer start;       fJSON  (first line only) config.json as found at start
#include <algorithm>

#include "fuzz/controller_harness.h"

using namespace ostrel;
using namespace ostrel::fuzz;

// Put in front of every typed password and site key; it must never come back out, in any case.
static constexpr std::string_view kSecretMark = "zq~s3cr3t~";
static bool holdsSecret(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text.find(kSecretMark) != std::string::npos;
}

OSTREL_FUZZ_QUIET_LOGGING

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view script(reinterpret_cast<const char*>(data), size);
    const auto lines = splitOn(script, '\n');
    if (lines.size() > 200) return 0;
    ScriptedWorld run;
    if (lines[0].starts_with("f")) writeText(ScriptedWorld::settingsPath(), lines[0].substr(1));
    run.start();
    run.checkController();
    for (const auto line : lines) {
        const char op = line.empty() ? ' ' : line[0];
        std::string arg(line.substr(line.empty() ? 0 : 1));
        const auto [word, rest] = firstWord(arg);
        auto& c = *run.controller;
        const auto& handlers = run.view->handlers;
        const auto& latest = op == 'N' && !run.popups.empty() ? run.popups.back() : run.view;
        DiscoveryOffer offer;
        if (op == '>') {
            for (const std::string_view member : {"\"password\":\"", "\"siteKey\":\""}) {
                if (const auto at = arg.find(member); at != std::string::npos)
                    arg.insert(at + member.size(), kSecretMark);
            }
            c.handleCommand(arg);
        }
        if (op == 'h') run.world.answers.push_back(scriptedAnswer(arg));
        if (op == 'o' && parseOffer(arg.data(), arg.size(), offer)) {
            run.offers.push_back(offer);
            run.world.discovery.systems = mergeOffers(run.offers);
            run.world.discovery.offers = static_cast<std::int32_t>(run.offers.size());
        }
        if (op == 'w') run.world.runJob(static_cast<std::size_t>(leadingNumber(arg, 0)));
        if (op == 't') c.runPostedTasks();
        if (op == 'p') c.handlePageMessage(std::string(word), std::string(rest));
        if ((op == 'n' || op == 'N') && latest->handlers.navigationStarting) latest->handlers.navigationStarting(arg);
        if (op == 'c' && handlers.certificateError) handlers.certificateError(arg);
        if (op == 'u' && handlers.newWindow &&
            handlers.newWindow(std::string(rest), std::string(word)) == ctl::Decision::Popup && run.popups.size() < 8) {
            handlers.popupCreated(run.popups.emplace_back(std::make_shared<FakeView>(run.log, "popup ")));
        }
        if (op == 'm') c.onMenuCommand(arg == "s" ? ctl::MenuCommand::SwitchSystem : ctl::MenuCommand::SignOut);
        if (op == 'T' && std::exchange(run.window->timerArmed, false)) c.onSignOutTimer();
        if (op == 'v') {
            run.retired.push_back(std::exchange(run.view, std::make_shared<FakeView>(run.log)));
            c.onWebViewReady(run.view);
        }
        if (op == 'd') run.view->deferScripts = true;
        if (op == 'D') run.view->completeScripts(arg != "0");
        if (op == 'k') run.world.monoMs += leadingNumber(arg, 5000);
        if (op == 'r') run.world.threads = ctl::testing::FakeWorld::Threads::Fail;
        run.checkController();
    }

    // Every event is one object of a kind the start page reads.
    for (const auto& text : run.events) {
        auto event = nlohmann::json::parse(text, nullptr, false);
        FUZZ_CHECK(event.is_object() && event["systems"].is_array() &&
                       (event["event"] == "discovery" || (event["event"] == "state" && event["phase"].is_string())),
                   text);
    }
    // The main view opens only the start page or the signed-in system's Control UI.
    for (const auto& line : run.log.lines) {
        const std::string url = line.starts_with("navigate ") ? line.substr(9) : std::string(ctl::kStartPageUrl);
        FUZZ_CHECK(url == ctl::kStartPageUrl || (url.starts_with("https://") && url.ends_with("/control/")), url);
    }
    // Typed secrets never leave the vault (unless the script spelt the mark itself); the network
    // and the vault get them, and the discovery worker the site key.
    if (holdsSecret(std::string(script))) return 0;
    for (const auto& text : run.events) FUZZ_CHECK(!holdsSecret(text), "secret in an event: " + text);
    for (const auto& line : run.log.lines) {
        const bool vault = line.starts_with("http ") || line.starts_with("save") || line.starts_with("discover ");
        FUZZ_CHECK(vault || !holdsSecret(line), line);
    }
    FUZZ_CHECK(!holdsSecret(run.window->title), "secret in the title");
    return 0;
}
