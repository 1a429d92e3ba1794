// `bridge`: the real controller, network, settings and vault, with a recording browser and
// window in place of the shell. JSON lines in (start-page commands and shell events), JSON lines
// out (the events the controller sends the page and every call it makes on the browser and the
// window). See docs/bridge-protocol.md.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/json_read.h"
#include "ctl/app_controller.h"
#include "log/log.h"
#include "tools/cli/bridge_recorder.h"
#include "tools/cli/commands.h"
#include "tools/cli/line_splitter.h"

namespace ostrel::cli {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr auto kWorkerGrace = std::chrono::seconds(20);

// Worker threads still running; each one signals the loop when it has finished.
struct WorkerCount {
    std::atomic<int> running{0};
    int wakeFd = -1;
};

std::string stringMember(const json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool boolMember(const json& object, const char* key, bool fallback) {
    const auto it = object.find(key);
    return it != object.end() && it->is_boolean() ? it->get<bool>() : fallback;
}

class Bridge {
public:
    Bridge(int wakeFd, std::shared_ptr<WorkerCount> workers) : wakeFd_(wakeFd), workers_(std::move(workers)) {
        ctl::ControllerServices services;
        services.startThread = [counter = workers_](std::function<void()> job) {
            counter->running.fetch_add(1);
            const bool started = ctl::startDetachedThread([counter, job = std::move(job)]() mutable {
                job();
                job = nullptr;  // drop the controller reference before the loop may end
                counter->running.fetch_sub(1);
                signalEventFd(counter->wakeFd);
            });
            if (!started) counter->running.fetch_sub(1);
            return started;
        };
        controller_ = std::make_shared<ctl::AppController>(std::move(services));
        window_ = std::make_shared<RecordingWindow>(out_, wakeFd_);
        controller_->setEventSink([this](const std::string& text) { out_.line(text); });
        controller_->attachWindow(window_);
        mainView_ = makeMainView();
        controller_->onWebViewReady(mainView_);
    }

    ~Bridge() {
        controller_->detachShell();
        popups_.clear();
        mainView_.reset();
    }

    int run() {
        LineSplitter lines;
        bool inputEnded = false;
        Clock::time_point giveUpAt{};
        for (;;) {
            if (inputEnded && quiet()) return 0;
            if (inputEnded && Clock::now() >= giveUpAt) {
                std::fputs("ostrel-control-cli bridge: workers still running after 20 s; exiting\n", stderr);
                return -1;
            }

            std::optional<Clock::time_point> deadline = window_->timerDeadline();
            if (inputEnded && (!deadline || giveUpAt < *deadline)) deadline = giveUpAt;
            int timeoutMs = -1;
            if (deadline) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
                timeoutMs = static_cast<int>(left < 0 ? 0 : left);
            }

            pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {inputEnded ? -1 : STDIN_FILENO, POLLIN, 0}};
            const int ready = ::poll(fds, 2, timeoutMs);
            if (ready < 0 && errno != EINTR) {
                std::perror("ostrel-control-cli bridge: poll");
                return 1;
            }
            if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &count, sizeof count);
                controller_->runPostedTasks();
            }
            if (ready > 0 && !inputEnded && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                char buffer[65536];
                const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
                if (n > 0) {
                    lines.feed(std::string_view(buffer, static_cast<std::size_t>(n)),
                               [this](std::string line) { handleLine(std::move(line)); });
                } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                    if (auto last = lines.finish()) handleLine(std::move(*last));
                    inputEnded = true;
                    giveUpAt = Clock::now() + kWorkerGrace;
                }
            }
            if (const auto& timer = window_->timerDeadline(); timer && Clock::now() >= *timer) {
                window_->clearTimer();
                controller_->onSignOutTimer();
            }
        }
    }

private:
    // Nothing in flight: no worker running, no task waiting, no sign-out timer armed.
    bool quiet() {
        if (workers_->running.load() != 0 || window_->timerDeadline()) return false;
        // A worker posts before it counts itself out, so its task is queued by now.
        controller_->runPostedTasks();
        return workers_->running.load() == 0 && !window_->timerDeadline();
    }

    std::shared_ptr<RecordingView> makeMainView() {
        return std::make_shared<RecordingView>(out_, "main", [this] { popups_.clear(); });
    }

    std::shared_ptr<RecordingView> popupView() {
        if (popups_.empty()) {
            // A popup that did not come through a newWindow input: wire it as the shell would.
            auto popup = std::make_shared<RecordingView>(out_, "popup");
            popups_.push_back(popup);
            controller_->wireWebView(popup, false);
        }
        return popups_.back();
    }

    void decision(const std::string& input, const std::string& url, ctl::Decision result) {
        out_.action("decision", {{"input", input}, {"url", url}, {"result", ctl::decisionName(result)}});
    }

    void handleLine(std::string line) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) return;
        const json message = json_read::parse(line);
        const bool shellInput =
            !message.is_discarded() && message.is_object() && message.contains("input") && message["input"].is_string();
        if (!shellInput) {
            // Anything else is what the page posted, malformed or not: the controller decides.
            controller_->handleCommand(line);
            return;
        }
        const std::string input = message["input"].get<std::string>();
        const std::string url = stringMember(message, "url");
        const bool onMain = boolMember(message, "main", true);
        if (input == "pageMessage") {
            const auto it = message.find("message");
            const std::string text = it == message.end() ? std::string() : it->dump();
            controller_->handlePageMessage(stringMember(message, "source"), text);
        } else if (input == "navigation") {
            const auto view = onMain ? mainView_ : popupView();
            const auto& handler = view->handlers().navigationStarting;
            decision(input, url, handler ? handler(url) : ctl::Decision::Allow);
        } else if (input == "newWindow") {
            const auto view = onMain ? mainView_ : popupView();
            const auto& handler = view->handlers().newWindow;
            const ctl::Decision result = handler ? handler(url, stringMember(message, "name")) : ctl::Decision::Refuse;
            decision(input, url, result);
            if (result == ctl::Decision::Popup && view->handlers().popupCreated) {
                auto popup = std::make_shared<RecordingView>(out_, "popup");
                popups_.push_back(popup);
                view->handlers().popupCreated(popup);
            }
        } else if (input == "certificateError") {
            const auto view = onMain ? mainView_ : popupView();
            const auto& handler = view->handlers().certificateError;
            // No handler: the engine's own treatment, which refuses an untrusted certificate.
            decision(input, url, handler ? handler(url) : ctl::Decision::Refuse);
        } else if (input == "menu") {
            const std::string item = stringMember(message, "item");
            if (item == "switchSystem") {
                controller_->onMenuCommand(ctl::MenuCommand::SwitchSystem);
            } else if (item == "signOut") {
                controller_->onMenuCommand(ctl::MenuCommand::SignOut);
            } else {
                std::fprintf(stderr, "ostrel-control-cli bridge: unknown menu item\n");
            }
        } else if (input == "webViewReady") {
            mainView_ = makeMainView();
            const bool navigates = controller_->onWebViewReady(mainView_);
            out_.action("webViewReady", {{"controllerNavigates", navigates}});
        } else {
            std::fprintf(stderr, "ostrel-control-cli bridge: unknown input\n");
        }
    }

    BridgeOutput out_;
    int wakeFd_;
    std::shared_ptr<WorkerCount> workers_;
    std::shared_ptr<ctl::AppController> controller_;
    std::shared_ptr<RecordingWindow> window_;
    std::shared_ptr<RecordingView> mainView_;
    std::vector<std::shared_ptr<RecordingView>> popups_;
};

}  // namespace

int runBridge(const std::vector<std::string>& args) {
    if (!args.empty()) {
        std::fputs("usage: ostrel-control-cli bridge   (JSON lines on standard input)\n", stderr);
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    // Never closed: a finishing worker may still signal it while the process ends.
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        std::perror("ostrel-control-cli bridge: eventfd");
        return 1;
    }
    auto workers = std::make_shared<WorkerCount>();
    workers->wakeFd = wakeFd;
    int code = 0;
    {
        Bridge bridge(wakeFd, workers);
        code = bridge.run();
    }
    if (code < 0) {
        // Workers still hold the controller; leave without running destructors under them.
        ostrel::log::flush();
        std::fflush(stdout);
        std::_Exit(0);
    }
    return code;
}

}  // namespace ostrel::cli
