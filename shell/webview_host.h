#pragma once
// The program's one top-level window and the embedded browser inside it: the start page, the
// page-to-controller channel, popups, suspension while minimised and recovery from failures of
// the browser's web process. The platform part lives in webview_host_<platform>.cpp.
#include <functional>
#include <memory>
#include <string>

#include "ctl/browser.h"
#include "ctl/ui_bridge.h"

namespace ostrel {

namespace shell {
class SingleInstance;
}

class WebViewHost {
public:
    struct Options {
        std::string title;
        std::string uiDir;
        std::string windowClass = "OstrelSourceClientWnd";
        int width = 1400;   // default outer size at 96 dpi
        int height = 800;
        std::string placementFile;  // empty: placement is neither read nor written
        bool startHidden = false;
        bool darkTitleBar = false;
        bool trayIcon = false;  // kept for other programs of the platform; not built on Linux
        std::string trayTip;
        std::function<bool()> onCloseRequest;  // false keeps the window open
        std::function<void()> onSessionEnd;
        std::function<void(std::shared_ptr<ctl::IAppWindow>)> onWindowCreated;
        std::function<void()> onWindowDestroyed;
        std::string userDataDir;  // the browser's data (cookies, cache)
        // true: the hook navigates the new view itself; false: the host opens the start page.
        std::function<bool(std::shared_ptr<ctl::IBrowserView>)> onWebViewCreated;
        std::function<void(const std::string& sourceUrl, const std::string& messageJson)> onPageMessage;

        // What the window itself reports (the session menu, the sign-out timer, wake()).
        std::function<void(ctl::MenuCommand)> onMenuCommand;
        std::function<void()> onSignOutTimer;
        std::function<void()> onRunTasks;
        // The single-instance guard that owns the platform's application object; empty: none.
        std::shared_ptr<shell::SingleInstance> instance;
        // Lets a WebDriver session drive the view (end-to-end tests only).
        bool allowAutomation = false;
    };

    // The host hands page commands to `bridge`; it does not own it.
    explicit WebViewHost(IUiBridge* bridge);
    ~WebViewHost();
    WebViewHost(const WebViewHost&) = delete;
    WebViewHost& operator=(const WebViewHost&) = delete;

    // The whole life of the window: returns 0 after a normal close (or a SIGTERM/SIGINT, which
    // close it the same way), 1 when the window could not be created.
    int run(const Options& options);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace ostrel
