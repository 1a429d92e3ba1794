// Start-page commands through AppController::handleCommand, interleaved with worker results,
// page messages, policy questions, menu items and view re-creation. The input is a script, one
// step per line:
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
#include <cstdint>
#include <string>
#include <vector>

#include "common/json_read.h"
#include "fuzz/controller_harness.h"

namespace {

using namespace ostrel;
using namespace ostrel::fuzz;

HttpResult answerFrom(std::string_view line) {
    HttpResult result;
    auto [head, body] = firstWord(line);
    const std::size_t colon = head.find(':');
    if (head.substr(0, colon) == "x") {
        result.error = "the connection timed out";
        return result;
    }
    result.ok = true;
    result.status = static_cast<std::uint32_t>(leadingNumber(head.substr(0, colon), 200));
    if (colon != std::string_view::npos) result.retryAfter = std::string(head.substr(colon + 1));
    result.body = std::string(body);
    return result;
}

std::string lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::size_t occurrences(std::string_view haystack, std::string_view needle) {
    std::size_t count = 0;
    for (auto at = haystack.find(needle); at != std::string_view::npos; at = haystack.find(needle, at + 1)) ++count;
    return count;
}

void collectStrings(const nlohmann::json& value, std::string& out) {
    if (value.is_string()) out += lowered(value.get_ref<const std::string&>()) + "\n";
    if (value.is_object()) {
        for (const auto& [key, member] : value.items()) {
            out += lowered(key) + "\n";
            collectStrings(member, out);
        }
    }
    if (value.is_array()) {
        for (const auto& element : value) collectStrings(element, out);
    }
}

// Secrets the script typed (passwords, site keys) that nothing else in the script spells, in
// any case or JSON escape: none of them may reach an event, a view call, the title or a posted
// script. Only texts of at least 8 characters from [A-Za-z0-9_-] holding a "~" count, so that
// no fixed text or joint between two texts can spell one by chance.
std::vector<std::string> secretsOf(std::string_view script, const std::vector<std::string_view>& lines) {
    const std::string raw = lowered(script);
    std::string decoded;
    for (const auto line : lines) {
        if (line.size() < 2) continue;
        for (const auto text : {line.substr(1), firstWord(line.substr(1)).second}) {
            collectStrings(json_read::parse(text), decoded);
        }
    }
    std::vector<std::string> secrets;
    for (const auto line : lines) {
        if (line.empty() || line[0] != '>') continue;
        const auto command = json_read::parse(line.substr(1));
        if (!command.is_object()) continue;
        for (const char* key : {"password", "siteKey"}) {
            const auto it = command.find(key);
            if (it == command.end() || !it->is_string()) continue;
            const std::string value = lowered(it->get_ref<const std::string&>());
            const bool shaped = value.size() >= 8 && contains(value, "~") &&
                                value.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_-~") == std::string::npos;
            if (shaped && occurrences(raw, value) <= 1 && occurrences(decoded, value) == 1) secrets.push_back(value);
        }
    }
    return secrets;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ScriptedWorld::initQuietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view script(reinterpret_cast<const char*>(data), size);
    const auto lines = splitOn(script, '\n');
    if (lines.size() > 200) return 0;

    ScriptedWorld world;
    if (!lines.empty() && !lines[0].empty() && lines[0][0] == 'f') {
        std::FILE* file = std::fopen(ScriptedWorld::settingsPath().c_str(), "wb");
        std::fwrite(lines[0].data() + 1, 1, lines[0].size() - 1, file);
        std::fclose(file);
    }
    world.start();
    std::uint32_t generation = 0;
    checkController(world, generation);

    for (const auto line : lines) {
        if (line.empty()) continue;
        const std::string arg(line.substr(1));
        auto& c = *world.controller;
        switch (line[0]) {
            case '>':
                c.handleCommand(arg);
                break;
            case 'h':
                world.answers.push_back(answerFrom(arg));
                break;
            case 'o': {
                DiscoveryOffer offer;
                if (parseOffer(arg.data(), arg.size(), offer)) world.offers.push_back(std::move(offer));
                break;
            }
            case 'w':
                world.runJob(static_cast<std::size_t>(leadingNumber(arg, 0)));
                break;
            case 't':
                c.runPostedTasks();
                break;
            case 'p': {
                auto [source, message] = firstWord(arg);
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
                auto [name, url] = firstWord(arg);
                if (!world.view->handlers.newWindow) break;
                if (world.view->handlers.newWindow(std::string(url), std::string(name)) == ctl::Decision::Popup &&
                    world.popups.size() < 8) {
                    world.popups.push_back(std::make_shared<RecordingView>());
                    world.view->handlers.popupCreated(world.popups.back());
                }
                break;
            }
            case 'c':
                if (world.view->handlers.certificateError) (void)world.view->handlers.certificateError(arg);
                break;
            case 'm':
                c.onMenuCommand(arg == "s" ? ctl::MenuCommand::SwitchSystem : ctl::MenuCommand::SignOut);
                break;
            case 'T':
                if (world.window->timerArmed) {
                    world.window->timerArmed = false;
                    c.onSignOutTimer();
                }
                break;
            case 'v':
                world.retired.push_back(world.view);
                world.view = std::make_shared<RecordingView>();
                c.onWebViewReady(world.view);
                break;
            case 'd':
                world.view->deferScripts = true;
                break;
            case 'D':
                world.view->completeScripts(arg != "0");
                break;
            case 'k':
                world.monotonicMs += leadingNumber(arg, 5000);
                break;
            case 'r':
                world.refuseThreads = true;
                break;
            default:
                break;
        }
        checkController(world, generation);
    }

    // Every event is one JSON object the start page understands.
    for (const auto& text : world.events) {
        const auto event = nlohmann::json::parse(text, nullptr, false);
        FUZZ_CHECK(event.is_object() && event.contains("event"), text);
        if (event["event"] == "state") {
            FUZZ_CHECK(event.size() == 9 && event["phase"].is_string() && event["systems"].is_array(), text);
        } else {
            FUZZ_CHECK(event["event"] == "discovery" && event["systems"].is_array(), text);
        }
    }
    // The main view only ever opens the start page or the signed-in system's Control UI.
    std::vector<std::shared_ptr<RecordingView>> mainViews = world.retired;
    mainViews.push_back(world.view);
    const std::string startPage(ctl::kStartPageUrl);
    for (const auto& view : mainViews) {
        for (const auto& call : view->calls) {
            if (call.what != "navigate" || call.text == startPage) continue;
            FUZZ_CHECK(call.text.rfind("https://", 0) == 0 && call.text.size() >= 9 &&
                           call.text.substr(call.text.size() - 9) == "/control/",
                       call.text);
        }
    }
    // Secrets never leave the vault.
    for (const auto& secret : secretsOf(script, lines)) {
        for (const auto& text : world.events) FUZZ_CHECK(!contains(lowered(text), secret), "secret in an event: " + text);
        for (const auto& views : {mainViews, world.popups}) {
            for (const auto& view : views) {
                for (const auto& call : view->calls) {
                    FUZZ_CHECK(!contains(lowered(call.text), secret), "secret in " + call.what + ": " + call.text);
                }
            }
        }
        FUZZ_CHECK(!contains(lowered(world.window->title), secret), "secret in the title");
    }
    return 0;
}
