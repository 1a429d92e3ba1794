#include "shell/browser_linux.h"

#include <libsoup/soup.h>

#include <utility>

#include "ctl/start_page.h"
#include "log/log.h"
#include "shell/page_channel.h"

namespace ostrel::shell {
namespace {

using ostrel::log::logf;
namespace lv = ostrel::log;

constexpr const char* kPopupTitle = "Ostrel Ops";
constexpr int kPopupWidth = 1200;  // at scale 1; GTK scales logical pixels itself
constexpr int kPopupHeight = 800;
constexpr std::int64_t kTlsRetryWindowMs = 5000;
constexpr int kTlsAttempts = 4;
constexpr int kTlsRetryStepMs = 150;
constexpr std::int64_t kCancelRetryGuardMs = 8000;
constexpr int kCancelAttempts = 4;
constexpr int kCancelRetryFirstMs = 100;

std::int64_t monotonicMs() {
    return g_get_monotonic_time() / 1000;
}

// Host of a URL as the certificate allowance wants it: no port, IPv6 without brackets.
std::string hostOf(const char* uri) {
    GUri* parsed = g_uri_parse(uri, G_URI_FLAGS_NONE, nullptr);
    if (parsed == nullptr) return {};
    std::string host = g_uri_get_host(parsed) != nullptr ? g_uri_get_host(parsed) : "";
    g_uri_unref(parsed);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    return host;
}

std::string startPagePattern() {
    return std::string(ctl::kStartPageOrigin) + "*";
}

WebKitUserScript* userScript(const std::string& source, WebKitUserContentInjectedFrames frames, const char* world,
                             const char* const* allow, const char* const* block) {
    if (world != nullptr) {
        return webkit_user_script_new_for_world(source.c_str(), frames, WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START,
                                                world, allow, block);
    }
    return webkit_user_script_new(source.c_str(), frames, WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, allow, block);
}

const char* permissionKind(WebKitPermissionRequest* request) {
    if (WEBKIT_IS_USER_MEDIA_PERMISSION_REQUEST(request)) {
        auto* media = WEBKIT_USER_MEDIA_PERMISSION_REQUEST(request);
        const bool audio = webkit_user_media_permission_is_for_audio_device(media);
        const bool video = webkit_user_media_permission_is_for_video_device(media);
        if (audio && video) return "camera and microphone";
        if (video) return "camera";
        if (audio) return "microphone";
        return "media";
    }
    if (WEBKIT_IS_GEOLOCATION_PERMISSION_REQUEST(request)) return "geolocation";
    if (WEBKIT_IS_NOTIFICATION_PERMISSION_REQUEST(request)) return "notifications";
    if (WEBKIT_IS_POINTER_LOCK_PERMISSION_REQUEST(request)) return "pointer lock";
    if (WEBKIT_IS_CLIPBOARD_PERMISSION_REQUEST(request)) return "clipboard";
    if (WEBKIT_IS_DEVICE_INFO_PERMISSION_REQUEST(request)) return "device list";
    if (WEBKIT_IS_MEDIA_KEY_SYSTEM_PERMISSION_REQUEST(request)) return "media keys";
    if (WEBKIT_IS_WEBSITE_DATA_ACCESS_PERMISSION_REQUEST(request)) return "website data access";
    return G_OBJECT_TYPE_NAME(request);
}

WebKitCookieManager* cookieManagerOf(WebKitWebView* view) {
    WebKitWebsiteDataManager* data = webkit_web_view_get_website_data_manager(view);
    return data != nullptr ? webkit_website_data_manager_get_cookie_manager(data) : nullptr;
}

// Completion data of an asynchronous cookie call: the view may be gone when it finishes.
struct CookieCall {
    std::weak_ptr<WebKitBrowserView> view;
    std::function<void(WebKitBrowserView&, WebKitCookieManager*, GAsyncResult*)> finish;
};

}  // namespace

std::string navigationUri(WebKitNavigationAction* action) {
    WebKitURIRequest* request = action != nullptr ? webkit_navigation_action_get_request(action) : nullptr;
    const char* uri = request != nullptr ? webkit_uri_request_get_uri(request) : nullptr;
    return uri != nullptr ? uri : "";
}

// ---------------------------------------------------------------------------------------------
// BrowserShell

BrowserShell::BrowserShell(WebKitWebContext* context, WebKitSettings* settings, bool automation)
    : context_(WEBKIT_WEB_CONTEXT(g_object_ref(context))),
      settings_(WEBKIT_SETTINGS(g_object_ref(settings))),
      automation_(automation) {}

BrowserShell::~BrowserShell() {
    closePopups();
    clearCertificateAllowances();
    g_object_unref(settings_);
    g_object_unref(context_);
}

WebKitWebView* BrowserShell::createWebView(WebKitWebView* related) {
    WebKitUserContentManager* manager = webkit_user_content_manager_new();
    const std::string startPattern = startPagePattern();
    const char* notStartPage[] = {startPattern.c_str(), nullptr};
    // The relay lives in its own world: the page can neither see its handler nor fake its
    // `location`. The start page has a channel of its own and never talks through this one.
    WebKitUserScript* relay =
        userScript(pageRelayScript(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES, kPageWorld, nullptr, notStartPage);
    WebKitUserScript* names =
        userScript(windowNameScript(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES, nullptr, nullptr, notStartPage);
    webkit_user_content_manager_add_script(manager, relay);
    webkit_user_content_manager_add_script(manager, names);
    webkit_user_script_unref(relay);
    webkit_user_script_unref(names);
    webkit_user_content_manager_register_script_message_handler_in_world(manager, kPageHandler, kPageWorld);

    GObject* view = nullptr;
    if (related != nullptr) {
        // A related view takes its automation state from the view it is related to.
        view = G_OBJECT(g_object_new(WEBKIT_TYPE_WEB_VIEW, "related-view", related, "user-content-manager", manager,
                                     "settings", settings_, nullptr));
    } else {
        view = G_OBJECT(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context_, "user-content-manager", manager,
                                     "settings", settings_, "is-controlled-by-automation", automation_, nullptr));
    }
    g_object_unref(manager);
    return WEBKIT_WEB_VIEW(view);
}

bool BrowserShell::isAllowedCertificate(const std::string& host, GTlsCertificate* certificate) const {
    const auto it = allowances_.find(host);
    return it != allowances_.end() && certificate != nullptr && g_tls_certificate_is_same(it->second, certificate);
}

void BrowserShell::allowCertificate(const std::string& host, GTlsCertificate* certificate) {
    if (host.empty() || certificate == nullptr) return;
    auto& slot = allowances_[host];
    if (slot != nullptr) g_object_unref(slot);
    slot = G_TLS_CERTIFICATE(g_object_ref(certificate));
    logf(lv::Info, "certificate of %s accepted for this session", host.c_str());
    webkit_web_context_allow_tls_certificate_for_host(context_, certificate, host.c_str());
    // WebKit keys IPv6 hosts with their brackets in some paths: grant both spellings.
    if (host.find(':') != std::string::npos)
        webkit_web_context_allow_tls_certificate_for_host(context_, certificate, ("[" + host + "]").c_str());
}

void BrowserShell::clearCertificateAllowances() {
    for (auto& [host, certificate] : allowances_) g_object_unref(certificate);
    allowances_.clear();
}

void BrowserShell::setDarkTitleBars(bool dark) {
    darkTitleBars_ = dark;
    for (auto& [id, popup] : popups_) {
        if (GtkWidget* bar = gtk_window_get_titlebar(GTK_WINDOW(popup.window))) styleHeaderBar(bar);
    }
}

void BrowserShell::styleHeaderBar(GtkWidget* headerBar) const {
    GtkStyleContext* style = gtk_widget_get_style_context(headerBar);
    if (darkTitleBars_) {
        gtk_style_context_add_class(style, "ostrel-dark");
    } else {
        gtk_style_context_remove_class(style, "ostrel-dark");
    }
}

void BrowserShell::openExternal(const std::string& url) const {
    if (url.rfind("https://", 0) != 0 && url.rfind("http://", 0) != 0) {
        logf(lv::Warn, "not opening %s in the default browser: only http and https are handed on", url.c_str());
        return;
    }
    auto* copy = new std::string(url);
    g_app_info_launch_default_for_uri_async(
        url.c_str(), nullptr, nullptr,
        [](GObject*, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::string> target(static_cast<std::string*>(data));
            GError* error = nullptr;
            if (!g_app_info_launch_default_for_uri_finish(result, &error)) {
                logf(lv::Warn, "could not open %s in the default browser: %s", target->c_str(),
                     error != nullptr ? error->message : "unknown error");
                if (error != nullptr) g_error_free(error);
            }
        },
        copy);
}

// Popup signal data: the shell may be gone, and the id tells whether the popup still is.
struct PopupRef {
    std::weak_ptr<BrowserShell> shell;
    std::uint64_t id;
};

BrowserShell::Popup* BrowserShell::findPopup(std::uint64_t id) {
    const auto it = popups_.find(id);
    return it == popups_.end() ? nullptr : &it->second;
}

WebKitWebView* BrowserShell::openPopup(WebKitWebView* opener,
                                       const std::function<void(const std::shared_ptr<WebKitBrowserView>&)>& created) {
    const std::uint64_t id = nextPopupId_++;
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), kPopupTitle);
    GtkWidget* bar = gtk_header_bar_new();
    gtk_header_bar_set_show_close_button(GTK_HEADER_BAR(bar), TRUE);
    gtk_header_bar_set_title(GTK_HEADER_BAR(bar), kPopupTitle);
    styleHeaderBar(bar);
    gtk_window_set_titlebar(GTK_WINDOW(window), bar);
    // The size is the whole visible window; GTK's default size leaves the header bar out.
    gtk_widget_show_all(bar);  // a hidden widget measures zero
    int barHeight = 0;
    gtk_widget_get_preferred_height(bar, nullptr, &barHeight);
    gtk_window_set_default_size(GTK_WINDOW(window), kPopupWidth, kPopupHeight - barHeight);
    // Not part of the application: when the main window closes, the app ends and takes its
    // popups with it.
    WebKitWebView* webView = createWebView(opener);
    gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(webView));  // sinks the floating reference
    auto view = std::make_shared<WebKitBrowserView>(shared_from_this(), webView, false);
    popups_[id] = Popup{window, view, false};

    const auto connect = [&](gpointer instance, const char* signal, GCallback callback) {
        g_signal_connect_data(instance, signal, callback, new PopupRef{weak_from_this(), id},
                              [](gpointer data, GClosure*) { delete static_cast<PopupRef*>(data); },
                              GConnectFlags{});
    };
    connect(window, "destroy", G_CALLBACK(onPopupDestroyed));
    connect(webView, "ready-to-show", G_CALLBACK(onPopupReadyToShow));
    connect(webView, "close", G_CALLBACK(onPopupClose));
    connect(webView, "notify::title", G_CALLBACK(onPopupTitle));

    if (created) created(view);
    logf(lv::Info, "popup window opened (%zu open)", popups_.size());
    return webView;
}

void BrowserShell::closePopups() {
    std::vector<GtkWidget*> windows;
    for (auto& [id, popup] : popups_) windows.push_back(popup.window);
    for (GtkWidget* window : windows) gtk_widget_destroy(window);
}

void BrowserShell::onPopupDestroyed(GtkWidget*, gpointer data) {
    const auto* ref = static_cast<PopupRef*>(data);
    const auto shell = ref->shell.lock();
    if (!shell) return;
    // Erasing releases the popup's IBrowserView, which lets go of the view's signals.
    auto node = shell->popups_.extract(ref->id);
    if (!node.empty()) logf(lv::Info, "popup window closed (%zu open)", shell->popups_.size());
}

void BrowserShell::onPopupReadyToShow(WebKitWebView*, gpointer data) {
    const auto* ref = static_cast<PopupRef*>(data);
    const auto shell = ref->shell.lock();
    Popup* popup = shell ? shell->findPopup(ref->id) : nullptr;
    // Closed before its page was ready (a session end), or announced twice: nothing to show.
    if (popup == nullptr || popup->shown) return;
    popup->shown = true;
    gtk_widget_show_all(popup->window);
    gtk_window_present(GTK_WINDOW(popup->window));
}

void BrowserShell::onPopupClose(WebKitWebView*, gpointer data) {
    const auto* ref = static_cast<PopupRef*>(data);
    const auto shell = ref->shell.lock();
    if (Popup* popup = shell ? shell->findPopup(ref->id) : nullptr) gtk_widget_destroy(popup->window);
}

void BrowserShell::onPopupTitle(WebKitWebView* view, GParamSpec*, gpointer data) {
    const auto* ref = static_cast<PopupRef*>(data);
    const auto shell = ref->shell.lock();
    Popup* popup = shell ? shell->findPopup(ref->id) : nullptr;
    const char* title = webkit_web_view_get_title(view);
    if (popup == nullptr || title == nullptr || *title == '\0') return;
    gtk_window_set_title(GTK_WINDOW(popup->window), title);
    if (GtkWidget* bar = gtk_window_get_titlebar(GTK_WINDOW(popup->window)))
        gtk_header_bar_set_title(GTK_HEADER_BAR(bar), title);
}

// ---------------------------------------------------------------------------------------------
// WebKitBrowserView

WebKitBrowserView::WebKitBrowserView(std::shared_ptr<BrowserShell> shell, WebKitWebView* view, bool isMain)
    : shell_(std::move(shell)),
      view_(WEBKIT_WEB_VIEW(g_object_ref(view))),
      contentManager_(WEBKIT_USER_CONTENT_MANAGER(g_object_ref(webkit_web_view_get_user_content_manager(view)))),
      isMain_(isMain) {
    g_signal_connect(view_, "decide-policy", G_CALLBACK(onDecidePolicy), this);
    g_signal_connect(view_, "create", G_CALLBACK(onCreate), this);
    g_signal_connect(view_, "load-failed-with-tls-errors", G_CALLBACK(onTlsError), this);
    g_signal_connect(view_, "permission-request", G_CALLBACK(onPermissionRequest), this);
    g_signal_connect(view_, "load-failed", G_CALLBACK(onLoadFailed), this);
    g_signal_connect(view_, "load-changed", G_CALLBACK(onLoadChanged), this);
    g_signal_connect(contentManager_, (std::string("script-message-received::") + kPageHandler).c_str(),
                     G_CALLBACK(onPageRelay), this);
}

WebKitBrowserView::~WebKitBrowserView() {
    g_signal_handlers_disconnect_by_data(view_, this);
    g_signal_handlers_disconnect_by_data(contentManager_, this);
    for (auto& [id, script] : scripts_) {
        webkit_user_content_manager_remove_script(contentManager_, script);
        webkit_user_script_unref(script);
    }
    g_object_unref(contentManager_);
    g_object_unref(view_);
}

void WebKitBrowserView::setPolicyHandlers(ctl::PolicyHandlers handlers) {
    handlers_ = std::move(handlers);
}

void WebKitBrowserView::navigate(const std::string& url) {
    webkit_web_view_load_uri(view_, url.c_str());
}

void WebKitBrowserView::addDocumentScript(const std::string& script, ScriptDone done) {
    WebKitUserScript* userScriptObject =
        userScript(script, WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES, nullptr, nullptr, nullptr);
    webkit_user_content_manager_add_script(contentManager_, userScriptObject);
    const std::string id = "script-" + std::to_string(nextScriptId_++);
    scripts_[id] = userScriptObject;
    if (!done) return;
    // Completion is asynchronous, as callers expect of a browser; it waits for the session
    // cookie, so that a navigation started from it carries the cookie.
    afterCookieChanges([done = std::move(done), id] { done(true, id, 0); });
}

void WebKitBrowserView::removeDocumentScript(const std::string& id) {
    const auto it = scripts_.find(id);
    if (it == scripts_.end()) return;
    webkit_user_content_manager_remove_script(contentManager_, it->second);
    webkit_user_script_unref(it->second);
    scripts_.erase(it);
}

void WebKitBrowserView::executeScript(const std::string& script) {
    webkit_web_view_evaluate_javascript(view_, script.c_str(), -1, nullptr, nullptr, nullptr, nullptr, nullptr);
}

bool WebKitBrowserView::setCookie(const ctl::SessionCookie& cookie) {
    WebKitCookieManager* manager = cookieManagerOf(view_);
    if (manager == nullptr) return false;
    SoupCookie* soupCookie =
        soup_cookie_new(cookie.name.c_str(), cookie.value.c_str(), cookie.domain.c_str(), cookie.path.c_str(), -1);
    soup_cookie_set_http_only(soupCookie, cookie.httpOnly);
    soup_cookie_set_secure(soupCookie, cookie.secure);
    soup_cookie_set_same_site_policy(soupCookie, cookie.sameSite == "Strict" ? SOUP_SAME_SITE_POLICY_STRICT
                                                 : cookie.sameSite == "Lax"  ? SOUP_SAME_SITE_POLICY_LAX
                                                                              : SOUP_SAME_SITE_POLICY_NONE);
    if (cookie.expires) {
        GDateTime* expires = g_date_time_new_from_unix_utc(*cookie.expires);
        soup_cookie_set_expires(soupCookie, expires);
        g_date_time_unref(expires);
    }
    ++pendingCookieChanges_;
    auto* call = new CookieCall{weak_from_this(), [](WebKitBrowserView& self, WebKitCookieManager* m,
                                                     GAsyncResult* result) {
                                    GError* error = nullptr;
                                    if (!webkit_cookie_manager_add_cookie_finish(m, result, &error)) {
                                        logf(lv::Error, "the session cookie could not be stored: %s",
                                             error != nullptr ? error->message : "unknown error");
                                        if (error != nullptr) g_error_free(error);
                                    }
                                    self.cookieChangeFinished();
                                }};
    webkit_cookie_manager_add_cookie(
        manager, soupCookie, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<CookieCall> call(static_cast<CookieCall*>(data));
            if (const auto self = call->view.lock()) call->finish(*self, WEBKIT_COOKIE_MANAGER(source), result);
        },
        call);
    soup_cookie_free(soupCookie);
    return true;
}

bool WebKitBrowserView::deleteCookies(const std::string& name, const std::string& domain, const std::string& path) {
    WebKitCookieManager* manager = cookieManagerOf(view_);
    if (manager == nullptr) return false;
    // WebKitGTK deletes a cookie only when given that very cookie: list them, delete each match.
    ++pendingCookieChanges_;
    auto* call = new CookieCall{
        weak_from_this(), [name, domain, path](WebKitBrowserView& self, WebKitCookieManager* m, GAsyncResult* result) {
            GList* cookies = webkit_cookie_manager_get_all_cookies_finish(m, result, nullptr);
            for (GList* item = cookies; item != nullptr; item = item->next) {
                auto* cookie = static_cast<SoupCookie*>(item->data);
                if (name == soup_cookie_get_name(cookie) && domain == soup_cookie_get_domain(cookie) &&
                    path == soup_cookie_get_path(cookie)) {
                    ++self.pendingCookieChanges_;
                    auto* deletion = new CookieCall{self.weak_from_this(),
                                                    [](WebKitBrowserView& view, WebKitCookieManager* manager,
                                                       GAsyncResult* done) {
                                                        webkit_cookie_manager_delete_cookie_finish(manager, done,
                                                                                                   nullptr);
                                                        view.cookieChangeFinished();
                                                    }};
                    webkit_cookie_manager_delete_cookie(
                        m, cookie, nullptr,
                        [](GObject* source, GAsyncResult* done, gpointer data) {
                            std::unique_ptr<CookieCall> call(static_cast<CookieCall*>(data));
                            if (const auto view = call->view.lock())
                                call->finish(*view, WEBKIT_COOKIE_MANAGER(source), done);
                        },
                        deletion);
                }
            }
            g_list_free_full(cookies, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
            self.cookieChangeFinished();
        }};
    webkit_cookie_manager_get_all_cookies(
        manager, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<CookieCall> call(static_cast<CookieCall*>(data));
            if (const auto self = call->view.lock()) call->finish(*self, WEBKIT_COOKIE_MANAGER(source), result);
        },
        call);
    return true;
}

void WebKitBrowserView::afterCookieChanges(std::function<void()> task) {
    if (pendingCookieChanges_ > 0) {
        afterCookies_.push_back(std::move(task));
        return;
    }
    struct Deferred {
        std::weak_ptr<WebKitBrowserView> view;
        std::function<void()> task;
    };
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            const auto* deferred = static_cast<Deferred*>(data);
            if (deferred->view.lock()) deferred->task();
            return G_SOURCE_REMOVE;
        },
        new Deferred{weak_from_this(), std::move(task)}, [](gpointer data) { delete static_cast<Deferred*>(data); });
}

void WebKitBrowserView::loadSoon(const std::string& uri, bool unlessThere, int delayMs) {
    struct Load {
        std::weak_ptr<WebKitBrowserView> view;
        std::string uri;
        bool unlessThere;
    };
    g_timeout_add_full(
        G_PRIORITY_DEFAULT, static_cast<guint>(delayMs),
        [](gpointer data) -> gboolean {
            const auto* load = static_cast<Load*>(data);
            const auto target = load->view.lock();
            if (!target) return G_SOURCE_REMOVE;
            // Already there, or on its way there: nothing to do. The view's address alone does
            // not tell: after a dropped load it still names the address that never loaded.
            const char* current = webkit_web_view_get_uri(target->view_);
            const bool onItsWay = webkit_web_view_is_loading(target->view_) && current != nullptr && load->uri == current;
            if (load->unlessThere && (onItsWay || load->uri == target->committedUri_)) return G_SOURCE_REMOVE;
            webkit_web_view_load_uri(target->view_, load->uri.c_str());
            return G_SOURCE_REMOVE;
        },
        new Load{weak_from_this(), uri, unlessThere}, [](gpointer data) { delete static_cast<Load*>(data); });
}

void WebKitBrowserView::cookieChangeFinished() {
    if (--pendingCookieChanges_ > 0) return;
    auto tasks = std::move(afterCookies_);
    afterCookies_.clear();
    for (auto& task : tasks) task();
}

void WebKitBrowserView::clearCertificateDecisions() {
    shell_->clearCertificateAllowances();
}

void WebKitBrowserView::closePopups() {
    shell_->closePopups();
}

void WebKitBrowserView::openExternal(const std::string& url) {
    shell_->openExternal(url);
}

// ---------------------------------------------------------------------------------------------
// Signals

gboolean WebKitBrowserView::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                           WebKitPolicyDecisionType type, gpointer data) {
    auto* self = static_cast<WebKitBrowserView*>(data);
    switch (type) {
        case WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION: {
            auto* navigation = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
            return self->decideNavigation(decision, webkit_navigation_policy_decision_get_navigation_action(navigation));
        }
        case WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION: {
            // A link with a target: its name is known here; "create" follows and decides.
            auto* navigation = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
            const char* name =
                webkit_navigation_action_get_frame_name(webkit_navigation_policy_decision_get_navigation_action(navigation));
            self->shell_->setPendingWindowName(name != nullptr ? name : "");
            webkit_policy_decision_use(decision);
            return TRUE;
        }
        case WEBKIT_POLICY_DECISION_TYPE_RESPONSE:
            return self->decideResponse(decision);
    }
    return FALSE;
}

bool WebKitBrowserView::decideNavigation(WebKitPolicyDecision* decision, WebKitNavigationAction* action) {
    if (!handlers_.navigationStarting) return false;  // not wired yet: WebKit's own handling
    // WebKitGTK asks for every frame without telling which: the same rules apply to all.
    const std::string uri = navigationUri(action);
    switch (handlers_.navigationStarting(uri)) {
        case ctl::Decision::Allow:
            webkit_policy_decision_use(decision);
            return true;
        case ctl::Decision::OpenExternal:
            webkit_policy_decision_ignore(decision);
            // Only what the operator started goes to the default browser: a frame's source or a
            // script's redirect would otherwise open browser tabs on its own.
            if (webkit_navigation_action_is_user_gesture(action)) {
                shell_->openExternal(uri);
            } else {
                logf(lv::Info, "not opened in the default browser (no click of the operator): %s", uri.c_str());
            }
            return true;
        default:
            webkit_policy_decision_ignore(decision);
            return true;
    }
}

bool WebKitBrowserView::decideResponse(WebKitPolicyDecision* decision) {
    auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
    if (webkit_response_policy_decision_is_mime_type_supported(response)) return false;
    // What the view cannot show would become a download: the app keeps no files of the pages.
    WebKitURIRequest* request = webkit_response_policy_decision_get_request(response);
    logf(lv::Info, "download refused: %s", request != nullptr ? webkit_uri_request_get_uri(request) : "");
    webkit_policy_decision_ignore(decision);
    return true;
}

GtkWidget* WebKitBrowserView::onCreate(WebKitWebView* view, WebKitNavigationAction* action, gpointer data) {
    auto* self = static_cast<WebKitBrowserView*>(data);
    const std::string uri = navigationUri(action);
    const std::string name = self->shell_->takePendingWindowName();
    if (!self->handlers_.newWindow) return nullptr;
    switch (self->handlers_.newWindow(uri, name)) {
        case ctl::Decision::Popup: {
            const auto popupCreated = self->handlers_.popupCreated;
            return GTK_WIDGET(self->shell_->openPopup(view, [&](const std::shared_ptr<WebKitBrowserView>& popup) {
                if (popupCreated) popupCreated(popup);
            }));
        }
        case ctl::Decision::OpenExternal:
            // As for navigations: only what the operator started reaches the default browser.
            if (webkit_navigation_action_is_user_gesture(action)) {
                self->shell_->openExternal(uri);
            } else {
                logf(lv::Info, "not opened in the default browser (no click of the operator): %s", uri.c_str());
            }
            return nullptr;
        default:
            return nullptr;
    }
}

gboolean WebKitBrowserView::onTlsError(WebKitWebView*, gchar* uri, GTlsCertificate* certificate,
                                       GTlsCertificateFlags, gpointer data) {
    auto* self = static_cast<WebKitBrowserView*>(data);
    const std::string host = hostOf(uri);
    const std::int64_t now = monotonicMs();
    // WebKit applies an allowance in its network process asynchronously, so the load that follows
    // may overtake it and fail again: a few more tries, each a little later, then give up.
    const bool again = uri == self->lastAllowedUri_ && now - self->lastAllowedAtMs_ < kTlsRetryWindowMs;
    const int attempt = again ? self->tlsAttempt_ + 1 : 0;
    if (attempt >= kTlsAttempts) {
        logf(lv::Warn, "certificate still refused after it was allowed for %s", uri);
        return FALSE;
    }
    // Allowed earlier in this session and forgotten by a restarted network process: re-apply.
    bool allow = self->shell_->isAllowedCertificate(host, certificate);
    if (!allow && self->handlers_.certificateError)
        allow = self->handlers_.certificateError(uri) == ctl::Decision::Allow;
    if (!allow) return FALSE;  // the refusal is logged by the policy; WebKit shows its error page
    self->shell_->allowCertificate(host, certificate);
    if (!again) {
        self->lastAllowedUri_ = uri;
        self->lastAllowedAtMs_ = now;
    }
    self->tlsAttempt_ = attempt;
    // Load again once WebKit has finished with the failed load; a load started inside this
    // signal is cancelled by its end.
    self->loadSoon(uri, false, attempt * kTlsRetryStepMs);
    return TRUE;
}

gboolean WebKitBrowserView::onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer data) {
    if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) return FALSE;
    // WebKitGTK now and then drops a load that leaves the start page for another site (the page
    // moves to a new web process) and reports it as cancelled, where a replaced load reports a
    // network cancellation instead. Load it again, once, unless the view has got there meanwhile.
    auto* self = static_cast<WebKitBrowserView*>(data);
    const std::int64_t now = monotonicMs();
    const bool again = uri == self->lastRetriedUri_ && now - self->lastRetryAtMs_ < kCancelRetryGuardMs;
    const int attempt = again ? self->cancelAttempt_ + 1 : 0;
    if (attempt >= kCancelAttempts) return FALSE;  // WebKit shows its error page
    if (!again) {
        self->lastRetriedUri_ = uri;
        self->lastRetryAtMs_ = now;
    }
    self->cancelAttempt_ = attempt;
    logf(lv::Info, "load of %s was dropped by the browser - loading it again", uri);
    // The swap to a new web process can take a while on a busy machine: each try waits longer.
    self->loadSoon(uri, true, kCancelRetryFirstMs << attempt);
    return TRUE;  // no error page for it
}

void WebKitBrowserView::onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
    auto* self = static_cast<WebKitBrowserView*>(data);
    if (event == WEBKIT_LOAD_STARTED) self->committedUri_.clear();
    if (event != WEBKIT_LOAD_COMMITTED) return;
    const char* uri = webkit_web_view_get_uri(view);
    self->committedUri_ = uri != nullptr ? uri : "";
}

gboolean WebKitBrowserView::onPermissionRequest(WebKitWebView* view, WebKitPermissionRequest* request, gpointer) {
    const char* uri = webkit_web_view_get_uri(view);
    logf(lv::Info, "permission request refused: %s (%s)", permissionKind(request), uri != nullptr ? uri : "");
    webkit_permission_request_deny(request);
    return TRUE;
}

void WebKitBrowserView::onPageRelay(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
    auto* self = static_cast<WebKitBrowserView*>(data);
    JSCValue* value = webkit_javascript_result_get_js_value(result);
    if (!jsc_value_is_string(value)) return;
    char* text = jsc_value_to_string(value);
    const PageRelayMessage message = parsePageRelayMessage(text != nullptr ? text : "");
    g_free(text);
    if (!message.ok) return;
    if (message.isWindowName) {
        self->shell_->setPendingWindowName(message.windowName);
        return;
    }
    if (self->shell_->onPageMessage) self->shell_->onPageMessage(message.url, message.message);
}

}  // namespace ostrel::shell
