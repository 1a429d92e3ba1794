// ostrel-control: the operator's desktop app. Takes no arguments; test-only switches come from
// the environment (see README.md).
#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "app/crash_handler.h"
#include "common/version.h"
#include "ctl/app_controller.h"
#include "log/log.h"
#include "shell/single_instance.h"
#include "shell/webview_host.h"
#include "store/app_dirs.h"

#ifndef OSTREL_DEFAULT_UI_DIR
#error "the build must define OSTREL_DEFAULT_UI_DIR"
#endif

namespace {

using ostrel::log::logf;
namespace lv = ostrel::log;

// A "ui" folder with index.html beside the program wins over the folder fixed at build time.
std::string resolveUiDir() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::filesystem::path folder = error ? std::filesystem::path(".") : self.parent_path();
    const std::filesystem::path beside = folder / "ui";
    if (std::filesystem::exists(beside / "index.html", error)) return beside.string();
    return OSTREL_DEFAULT_UI_DIR;
}

bool envFlag(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && std::string(value) == "1";
}

}  // namespace

int main() {
    lv::LogConfig config;
    config.source = "native-control-app";
    lv::init(config);
    logf(lv::Info, "ostrel-ops-native-control %.*s (git %.*s)", static_cast<int>(ostrel::kProgramVersion.size()),
         ostrel::kProgramVersion.data(), static_cast<int>(ostrel::kSourceRevision.size()),
         ostrel::kSourceRevision.data());

    // The desktop finds the running app by this name (window class, .desktop file, icon).
    g_set_prgname(ostrel::kApplicationId);
    g_set_application_name("Ostrel Ops Control");

    // GTK would end the process on its own without a display, before anything says why.
    if (!gtk_init_check(nullptr, nullptr)) {
        logf(lv::Error, "no display to open the window on (DISPLAY / WAYLAND_DISPLAY) - exiting");
        lv::shutdown();
        return 1;
    }

    auto instance = ostrel::shell::SingleInstance::create(ostrel::kApplicationId);
    switch (instance->claim()) {
        case ostrel::shell::SingleInstance::Outcome::AlreadyRunning:
            logf(lv::Info, "already running in this logon session - focusing it and exiting");
            instance->activateRunning();
            instance.reset();
            lv::shutdown();
            return 0;
        case ostrel::shell::SingleInstance::Outcome::Unguarded:
            logf(lv::Warn, "single-instance mutex unavailable (error %d) - not enforcing", instance->failureCode());
            logf(lv::Warn, "no session bus for the single-instance guard: %s", instance->failure().c_str());
            break;
        case ostrel::shell::SingleInstance::Outcome::Primary:
            break;
    }
    // Crash reports go beside the logs (sanitizer builds keep their own fatal-signal handling).
    ostrel::crash::install(ostrel::crash::settingsFor(config.source));

    int rc = 0;
    std::weak_ptr<ostrel::ctl::AppController> lastReference;
    {
        auto controller = std::make_shared<ostrel::ctl::AppController>();
        lastReference = controller;
        ostrel::WebViewHost host(controller.get());
        const std::filesystem::path dataDir = ostrel::appDataDir(ostrel::KnownFolder::Local);

        ostrel::WebViewHost::Options options;
        options.title = ostrel::ctl::AppController::baseWindowTitle();
        options.uiDir = resolveUiDir();
        options.windowClass = "OstrelControlAppWnd";
        options.width = 1440;
        options.height = 900;
        options.darkTitleBar = true;
        if (!dataDir.empty()) {
            options.placementFile = (dataDir / "window.json").string();
            options.userDataDir = (dataDir / "webview_data").string();
        }
        options.onWindowCreated = [controller](std::shared_ptr<ostrel::ctl::IAppWindow> window) {
            controller->attachWindow(std::move(window));
        };
        options.onWebViewCreated = [controller](std::shared_ptr<ostrel::ctl::IBrowserView> view) {
            return controller->onWebViewReady(std::move(view));
        };
        options.onPageMessage = [controller](const std::string& url, const std::string& message) {
            controller->handlePageMessage(url, message);
        };
        options.onMenuCommand = [controller](ostrel::ctl::MenuCommand command) { controller->onMenuCommand(command); };
        options.onSignOutTimer = [controller] { controller->onSignOutTimer(); };
        options.onRunTasks = [controller] { controller->runPostedTasks(); };
        options.instance = instance;
        options.allowAutomation = envFlag("OSTREL_ALLOW_AUTOMATION");
        gtk_window_set_default_icon_name(ostrel::kApplicationId);

        logf(lv::Info, "ui: %s", options.uiDir.c_str());
        rc = host.run(options);
        logf(lv::Info, "exiting (%d)", rc);
        controller->detachShell();
    }
    // A connect, sign-in or discovery still in flight holds the controller: let it finish its
    // network call (each is bounded) rather than tear the libraries down under it.
    for (int waited = 0; !lastReference.expired() && waited < 12000; waited += 10) g_usleep(10000);
    instance.reset();
    lv::shutdown();
    return rc;
}
