#pragma once
// What the controller does to a browser view and to the main window. The shell implements
// these for its platform (WebKitGTK on Linux, WebView2 on Windows); tests and the bridge
// tool record the calls instead.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace ostrel::ctl {

// How the shell must treat a navigation, a new-window request or a certificate error.
enum class Decision {
    Allow,         // let it happen (certificate: always allow this host)
    Cancel,        // stop it, nothing else
    OpenExternal,  // stop it and open the URL in the default browser
    Popup,         // give the request a popup window of the app
    Refuse,        // new window: open nothing; certificate: reject
};
const char* decisionName(Decision decision);  // "allow", "cancel", "external", "popup", "refuse"

struct SessionCookie {
    std::string name;
    std::string value;
    std::string domain;
    std::string path;
    bool httpOnly = true;
    bool secure = true;
    std::string sameSite = "Strict";
    std::optional<std::int64_t> expires;  // seconds since 1970; none: lasts for the browser session
};

class IBrowserView;

// Handlers the controller installs on a view; the shell calls them for every event of that view.
struct PolicyHandlers {
    std::function<Decision(const std::string& url)> navigationStarting;
    std::function<Decision(const std::string& url, const std::string& windowName)> newWindow;
    std::function<Decision(const std::string& url)> certificateError;
    // After a Popup decision the shell creates the popup's view and hands it here.
    std::function<void(const std::shared_ptr<IBrowserView>& popup)> popupCreated;
};

class IBrowserView {
public:
    using ScriptDone = std::function<void(bool ok, const std::string& id, long code)>;

    virtual ~IBrowserView() = default;
    virtual void setPolicyHandlers(PolicyHandlers handlers) = 0;
    virtual void navigate(const std::string& url) = 0;
    // A script run at the creation of every document; `done` runs once registration finished.
    virtual void addDocumentScript(const std::string& script, ScriptDone done) = 0;
    virtual void removeDocumentScript(const std::string& id) = 0;
    virtual void executeScript(const std::string& script) = 0;
    // false: the view has no cookie manager.
    virtual bool setCookie(const SessionCookie& cookie) = 0;
    virtual bool deleteCookies(const std::string& name, const std::string& domain, const std::string& path) = 0;
    virtual bool hasCertificateErrorEvents() const = 0;
    virtual void clearCertificateDecisions() = 0;
    virtual void closePopups() = 0;
    virtual void openExternal(const std::string& url) = 0;
};

// The two session items of the window's menu: "Switch system…" and "Sign out".
enum class MenuCommand { SwitchSystem, SignOut };

class IAppWindow {
public:
    virtual ~IAppWindow() = default;
    virtual void setTitle(const std::string& title) = 0;
    // "Switch system…" and "Sign out": enabled only while signed in.
    virtual void setSessionMenuEnabled(bool enabled) = 0;
    virtual void startSignOutTimer(int milliseconds) = 0;
    virtual void stopSignOutTimer() = 0;
    // Thread-safe: asks the UI thread to run the controller's posted tasks soon.
    virtual void wake() = 0;
};

}  // namespace ostrel::ctl
