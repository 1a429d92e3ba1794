// Start-page commands interleaved with worker results, page messages, policy questions, menu
// items and view re-creation. The input is a script, one step per line:
//   >JSON            a web message of the start page (handleCommand)
//   hSTATUS[:RA] B   queue an HTTP answer (status "x": transport failure; RA: Retry-After)
//   oJSON            queue a discovery offer for the next discovery run
//   wN               run waiting worker job N (modulo the number waiting); its result is posted
//   t                run the posted tasks (the UI thread wakes up)
//   pURL MESSAGE     a page message from URL
//   nURL / NURL      a navigation in the main view / in the newest popup
//   uNAME URL        a new-window request (a popup view is made for a Popup decision)
//   cURL             a certificate error in the main view
//   ms / mo          menu: switch system / sign out;   T  the sign-out timer fires
//   v                the main view is re-created;      d / D  hold back / complete script registrations
//   kN               the monotonic clock moves N ms;   r  worker threads can no longer start
//   fJSON            (first line only) config.json as found at start
#include <algorithm>

#include "common/json_read.h"
#include "fuzz/controller_harness.h"

using namespace ostrel;
using namespace ostrel::fuzz;

namespace {

// Put in front of every typed password and site key; it must never come back out in any case.
constexpr std::string_view kSecretMark = "zq~s3cr3t~";

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string markSecrets(std::string command) {
    for (const std::string_view member : {"\"password\":\"", "\"siteKey\":\""}) {
        if (const auto at = command.find(member); at != std::string::npos) command.insert(at + member.size(), kSecretMark);
    }
    return command;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view script(reinterpret_cast<const char*>(data), size);
    const auto lines = splitOn(script, '\n');
    if (lines.size() > 200) return 0;

    ScriptedWorld world;
    if (!lines[0].empty() && lines[0][0] == 'f') writeText(ScriptedWorld::settingsPath(), lines[0].substr(1));
    world.start();
    world.checkController();
    for (const auto line : lines) {
        if (line.empty()) continue;
        const std::string arg(line.substr(1));
        auto& c = *world.controller;
        auto& handlers = world.view->handlers;
        switch (line[0]) {
            case '>': c.handleCommand(markSecrets(arg)); break;
            case 'h': world.answers.push_back(scriptedAnswer(arg)); break;
            case 'o':
                if (DiscoveryOffer offer; parseOffer(arg.data(), arg.size(), offer)) world.offers.push_back(offer);
                break;
            case 'w': world.runJob(static_cast<std::size_t>(leadingNumber(arg, 0))); break;
            case 't': c.runPostedTasks(); break;
            case 'p': {
                const auto [source, message] = firstWord(arg);
                c.handlePageMessage(std::string(source), std::string(message));
                break;
            }
            case 'n':
            case 'N': {
                const auto& view = line[0] == 'n' || world.popups.empty() ? world.view : world.popups.back();
                if (view->handlers.navigationStarting) (void)view->handlers.navigationStarting(arg);
                break;
            }
            case 'u': {
                const auto [name, url] = firstWord(arg);
                if (handlers.newWindow && handlers.newWindow(std::string(url), std::string(name)) == ctl::Decision::Popup &&
                    world.popups.size() < 8) {
                    world.popups.push_back(std::make_shared<RecordingView>());
                    handlers.popupCreated(world.popups.back());
                }
                break;
            }
            case 'c':
                if (handlers.certificateError) (void)handlers.certificateError(arg);
                break;
            case 'm': c.onMenuCommand(arg == "s" ? ctl::MenuCommand::SwitchSystem : ctl::MenuCommand::SignOut); break;
            case 'T':
                if (std::exchange(world.window->timerArmed, false)) c.onSignOutTimer();
                break;
            case 'v':
                world.retired.push_back(std::exchange(world.view, std::make_shared<RecordingView>()));
                c.onWebViewReady(world.view);
                break;
            case 'd': world.view->deferScripts = true; break;
            case 'D': world.view->completeScripts(arg != "0"); break;
            case 'k': world.monotonicMs += leadingNumber(arg, 5000); break;
            case 'r': world.refuseThreads = true; break;
            default: break;
        }
        world.checkController();
    }

    // Every event is one object of a kind the start page reads.
    for (const auto& text : world.events) {
        auto event = nlohmann::json::parse(text, nullptr, false);
        FUZZ_CHECK(event.is_object() && event["systems"].is_array() &&
                       (event["event"] == "discovery" || (event["event"] == "state" && event["phase"].is_string())),
                   text);
    }
    // The main view opens only the start page or the signed-in system's Control UI.
    world.retired.push_back(world.view);
    for (const auto& view : world.retired) {
        for (const auto& [what, url] : view->calls) {
            FUZZ_CHECK(what != "navigate" || url == ctl::kStartPageUrl ||
                           (url.rfind("https://", 0) == 0 && url.ends_with("/control/")),
                       url);
        }
    }
    // Typed secrets never leave the vault (unless the script spelt the mark itself elsewhere).
    if (contains(lowered(std::string(script)), kSecretMark)) return 0;
    world.retired.insert(world.retired.end(), world.popups.begin(), world.popups.end());
    for (const auto& text : world.events) FUZZ_CHECK(!contains(lowered(text), kSecretMark), "secret in an event: " + text);
    for (const auto& view : world.retired) {
        for (const auto& [what, text] : view->calls) FUZZ_CHECK(!contains(lowered(text), kSecretMark), what + ": " + text);
    }
    FUZZ_CHECK(!contains(lowered(world.window->title), kSecretMark), "secret in the title");
    return 0;
}
