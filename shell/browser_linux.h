#pragma once
// The embedded browser on WebKitGTK: what every view of the app shares (web context, settings,
// the session's certificate allowances, the open popups) and the IBrowserView of one view.
// UI thread only.
#include <webkit2/webkit2.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ctl/browser.h"

namespace ostrel::shell {

class WebKitBrowserView;

class BrowserShell : public std::enable_shared_from_this<BrowserShell> {
public:
    // Takes a reference on `context` and `settings`.
    BrowserShell(WebKitWebContext* context, WebKitSettings* settings, bool automation);
    ~BrowserShell();
    BrowserShell(const BrowserShell&) = delete;
    BrowserShell& operator=(const BrowserShell&) = delete;

    WebKitWebContext* context() const { return context_; }

    // A view with its own content manager holding the page relay and the window-name wrapper.
    // `related`: share its web process (popups, so that window.opener works). The start-page
    // channel is added only to the main view, by the host. Returns a floating reference.
    WebKitWebView* createWebView(WebKitWebView* related);

    // Where messages of pages other than the start page go: the document's real address and
    // the message's JSON text.
    std::function<void(const std::string& url, const std::string& messageJson)> onPageMessage;

    // Certificate allowances of the current session, host -> certificate. WebKitGTK cannot take
    // an allowance back, and forgets them when its network process restarts: this table is
    // what the app itself granted, re-applied from the TLS-error signal and cleared at the
    // session end.
    bool isAllowedCertificate(const std::string& host, GTlsCertificate* certificate) const;
    void allowCertificate(const std::string& host, GTlsCertificate* certificate);
    void clearCertificateAllowances();
    std::size_t certificateAllowanceCount() const { return allowances_.size(); }

    // Popups: windows of the app around related views of the opener.
    WebKitWebView* openPopup(WebKitWebView* opener,
                             const std::function<void(const std::shared_ptr<WebKitBrowserView>&)>& created);
    void closePopups();
    std::size_t popupCount() const { return popups_.size(); }

    // The name the page asked for in its last window.open or link target, for the new-window
    // request that follows. Kept here, not per view: WebKitGTK builds a popup from its opener's
    // configuration, so the relay of a popup's page may report through the opener's handler.
    void setPendingWindowName(std::string name) { pendingWindowName_ = std::move(name); }
    std::string takePendingWindowName() { return std::exchange(pendingWindowName_, std::string()); }

    // The header bars of every window of the app follow this.
    void setDarkTitleBars(bool dark);
    bool darkTitleBars() const { return darkTitleBars_; }
    void styleHeaderBar(GtkWidget* headerBar) const;

    // Hands an http(s) URL to the desktop's default browser; anything else is refused.
    void openExternal(const std::string& url) const;

private:
    struct Popup {
        GtkWidget* window = nullptr;
        std::shared_ptr<WebKitBrowserView> view;
        bool shown = false;
    };
    static void onPopupDestroyed(GtkWidget* window, gpointer data);
    static void onPopupReadyToShow(WebKitWebView* view, gpointer data);
    static void onPopupClose(WebKitWebView* view, gpointer data);
    static void onPopupTitle(WebKitWebView* view, GParamSpec* spec, gpointer data);
    Popup* findPopup(std::uint64_t id);

    WebKitWebContext* context_;
    WebKitSettings* settings_;
    bool automation_;
    std::map<std::string, GTlsCertificate*> allowances_;
    // Ids are never reused, so a late signal of a closed popup cannot find a newer one.
    std::map<std::uint64_t, Popup> popups_;
    std::uint64_t nextPopupId_ = 1;
    bool darkTitleBars_ = false;
    std::string pendingWindowName_;
};

class WebKitBrowserView final : public ctl::IBrowserView, public std::enable_shared_from_this<WebKitBrowserView> {
public:
    // Takes a reference on `view` and connects the policy signals.
    WebKitBrowserView(std::shared_ptr<BrowserShell> shell, WebKitWebView* view, bool isMain);
    ~WebKitBrowserView() override;
    WebKitBrowserView(const WebKitBrowserView&) = delete;
    WebKitBrowserView& operator=(const WebKitBrowserView&) = delete;

    WebKitWebView* webView() const { return view_; }
    bool isMain() const { return isMain_; }

    void setPolicyHandlers(ctl::PolicyHandlers handlers) override;
    void navigate(const std::string& url) override;
    void addDocumentScript(const std::string& script, ScriptDone done) override;
    void removeDocumentScript(const std::string& id) override;
    void executeScript(const std::string& script) override;
    bool setCookie(const ctl::SessionCookie& cookie) override;
    bool deleteCookies(const std::string& name, const std::string& domain, const std::string& path) override;
    bool hasCertificateErrorEvents() const override { return true; }
    void clearCertificateDecisions() override;
    void closePopups() override;
    void openExternal(const std::string& url) override;

    std::size_t documentScriptCount() const { return scripts_.size(); }

private:
    static gboolean onDecidePolicy(WebKitWebView* view, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                   gpointer self);
    static GtkWidget* onCreate(WebKitWebView* view, WebKitNavigationAction* action, gpointer self);
    static gboolean onTlsError(WebKitWebView* view, gchar* uri, GTlsCertificate* certificate,
                               GTlsCertificateFlags errors, gpointer self);
    static gboolean onPermissionRequest(WebKitWebView* view, WebKitPermissionRequest* request, gpointer self);
    static gboolean onLoadFailed(WebKitWebView* view, WebKitLoadEvent event, gchar* uri, GError* error, gpointer self);
    static void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self);
    static void onPageRelay(WebKitUserContentManager* manager, WebKitJavascriptResult* result, gpointer self);

    bool decideNavigation(WebKitPolicyDecision* decision, WebKitNavigationAction* action);
    bool decideResponse(WebKitPolicyDecision* decision);
    // Runs `task` once every cookie change started so far has reached the network process.
    void afterCookieChanges(std::function<void()> task);
    void cookieChangeFinished();
    // Loads `uri` from the main loop after `delayMs`, not from inside the signal that asks for it;
    // `unlessThere`: not when the view's address already is `uri`.
    void loadSoon(const std::string& uri, bool unlessThere, int delayMs);

    std::shared_ptr<BrowserShell> shell_;
    WebKitWebView* view_;
    WebKitUserContentManager* contentManager_;
    bool isMain_;
    ctl::PolicyHandlers handlers_;
    std::map<std::string, WebKitUserScript*> scripts_;
    std::uint64_t nextScriptId_ = 1;
    int pendingCookieChanges_ = 0;
    std::vector<std::function<void()>> afterCookies_;
    // A reload after an allowance that fails again at once must not loop.
    std::string lastAllowedUri_;
    std::int64_t lastAllowedAtMs_ = 0;
    int tlsAttempt_ = 0;
    std::string lastRetriedUri_;
    std::int64_t lastRetryAtMs_ = 0;
    int cancelAttempt_ = 0;
    std::string committedUri_;  // what the view shows; empty while a load is under way
};

// The request URI of a navigation action, "" when there is none.
std::string navigationUri(WebKitNavigationAction* action);

}  // namespace ostrel::shell
