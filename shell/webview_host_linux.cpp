// The main window and its browser on GTK3 + WebKitGTK 4.1.
#include <gtk/gtk.h>
#include <gdk/gdkx.h>
#include <glib-unix.h>
#include <webkit2/webkit2.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <utility>

#include <nlohmann/json.hpp>

#include "common/json_read.h"
#include "common/version.h"
#include "ctl/start_page.h"
#include "log/log.h"
#include "shell/browser_linux.h"
#include "shell/outbox.h"
#include "shell/page_channel.h"
#include "shell/placement.h"
#include "shell/recovery_budget.h"
#include "shell/single_instance_linux.h"
#include "shell/ui_files.h"
#include "shell/webview_host.h"
#include "store/settings_store.h"

namespace ostrel {

using ostrel::log::logf;
namespace lv = ostrel::log;
using shell::BrowserShell;
using shell::Placement;
using shell::Rect;
using shell::WebKitBrowserView;

namespace {

constexpr const char* kGetStateCommand = R"({"cmd":"getState"})";
constexpr const char* kSwitchSystemLabel = "Switch system\xE2\x80\xA6";  // ends in U+2026
constexpr const char* kSignOutLabel = "Sign out";
constexpr const char* kContentSecurityPolicy =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; font-src 'self'; "
    "connect-src 'none'; frame-src 'none'; object-src 'none'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

// The title bar follows the page's colour scheme by a style class of the header bar alone: the
// GTK-wide dark preference would also flip the page's prefers-color-scheme, and the page would
// then never see the desktop's own choice again.
constexpr const char* kHeaderBarCss = R"CSS(
headerbar.ostrel-dark, headerbar.ostrel-dark:backdrop {
  background-image: none;
  background-color: #23272e;
  border-color: #15181c;
  color: #e8eaed;
  box-shadow: inset 0 1px rgba(255, 255, 255, 0.06);
}
headerbar.ostrel-dark .title, headerbar.ostrel-dark label { color: #e8eaed; }
headerbar.ostrel-dark:backdrop .title, headerbar.ostrel-dark:backdrop label { color: #9aa0a6; }
headerbar.ostrel-dark button { color: #e8eaed; background-image: none; background-color: transparent;
  border-color: transparent; box-shadow: none; text-shadow: none; -gtk-icon-shadow: none; }
headerbar.ostrel-dark button:hover { background-color: rgba(255, 255, 255, 0.10); }
headerbar.ostrel-dark button:active, headerbar.ostrel-dark button:checked { background-color: rgba(255, 255, 255, 0.16); }
)CSS";

std::int64_t monotonicMs() {
    return g_get_monotonic_time() / 1000;
}

bool startsWith(const char* text, std::string_view prefix) {
    return text != nullptr && std::string_view(text).substr(0, prefix.size()) == prefix;
}

int screenScale(GtkWidget* widget) {
    const int scale = widget != nullptr ? gtk_widget_get_scale_factor(widget) : 1;
    return scale > 0 ? scale : 1;
}

// The attached monitors in physical pixels (GDK gives application pixels; X11 scales globally).
std::vector<shell::Monitor> currentMonitors(int scale) {
    std::vector<shell::Monitor> monitors;
    GdkDisplay* display = gdk_display_get_default();
    if (display == nullptr) return monitors;
    const auto physical = [scale](const GdkRectangle& r) {
        return Rect{r.x * scale, r.y * scale, r.width * scale, r.height * scale};
    };
    for (int i = 0; i < gdk_display_get_n_monitors(display); ++i) {
        GdkMonitor* monitor = gdk_display_get_monitor(display, i);
        GdkRectangle geometry;
        GdkRectangle work;
        gdk_monitor_get_geometry(monitor, &geometry);
        gdk_monitor_get_workarea(monitor, &work);
        shell::Monitor entry;
        entry.geometry = physical(geometry);
        if (work.width > 0 && work.height > 0) entry.workArea = physical(work);
        monitors.push_back(entry);
    }
    return monitors;
}

bool canPlaceWindows() {
#ifdef GDK_WINDOWING_X11
    // Only X11 lets an application put its window somewhere; elsewhere the compositor decides.
    return GDK_IS_X11_DISPLAY(gdk_display_get_default());
#else
    return false;
#endif
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The window as the controller sees it.

class GtkAppWindow final : public ctl::IAppWindow, public std::enable_shared_from_this<GtkAppWindow> {
public:
    GtkAppWindow(GtkWindow* window, GtkWidget* headerBar, GSimpleAction* switchSystem, GSimpleAction* signOut,
                 std::function<void()> onTimer, std::function<void()> onRunTasks)
        : window_(window),
          headerBar_(headerBar),
          switchSystem_(G_SIMPLE_ACTION(g_object_ref(switchSystem))),
          signOut_(G_SIMPLE_ACTION(g_object_ref(signOut))),
          onTimer_(std::move(onTimer)),
          onRunTasks_(std::move(onRunTasks)) {}

    ~GtkAppWindow() override {
        stopSignOutTimer();
        g_object_unref(switchSystem_);
        g_object_unref(signOut_);
    }

    void setTitle(const std::string& title) override {
        if (window_ == nullptr) return;
        gtk_window_set_title(window_, title.c_str());
        gtk_header_bar_set_title(GTK_HEADER_BAR(headerBar_), title.c_str());
    }

    void setSessionMenuEnabled(bool enabled) override {
        g_simple_action_set_enabled(switchSystem_, enabled);
        g_simple_action_set_enabled(signOut_, enabled);
    }

    void startSignOutTimer(int milliseconds) override {
        stopSignOutTimer();
        timer_ = g_timeout_add_full(
            G_PRIORITY_DEFAULT, static_cast<guint>(milliseconds),
            [](gpointer data) -> gboolean {
                if (const auto self = static_cast<std::weak_ptr<GtkAppWindow>*>(data)->lock()) {
                    self->timer_ = 0;  // one shot: the source ends with this call
                    if (self->onTimer_) self->onTimer_();
                }
                return G_SOURCE_REMOVE;
            },
            new std::weak_ptr<GtkAppWindow>(weak_from_this()),
            [](gpointer data) { delete static_cast<std::weak_ptr<GtkAppWindow>*>(data); });
    }

    void stopSignOutTimer() override {
        if (timer_ != 0) g_source_remove(timer_);
        timer_ = 0;
    }

    // Any thread. One pending run at a time: it takes every task posted before it starts.
    void wake() override {
        if (wakePending_.exchange(true)) return;
        g_idle_add_full(
            G_PRIORITY_DEFAULT,
            [](gpointer data) -> gboolean {
                if (const auto self = static_cast<std::weak_ptr<GtkAppWindow>*>(data)->lock()) {
                    self->wakePending_ = false;
                    if (self->onRunTasks_) self->onRunTasks_();
                }
                return G_SOURCE_REMOVE;
            },
            new std::weak_ptr<GtkAppWindow>(weak_from_this()),
            [](gpointer data) { delete static_cast<std::weak_ptr<GtkAppWindow>*>(data); });
    }

    void windowDestroyed() {
        window_ = nullptr;
        stopSignOutTimer();
    }

private:
    GtkWindow* window_;
    GtkWidget* headerBar_;
    GSimpleAction* switchSystem_;
    GSimpleAction* signOut_;
    std::function<void()> onTimer_;
    std::function<void()> onRunTasks_;
    guint timer_ = 0;
    std::atomic<bool> wakePending_{false};
};

// ---------------------------------------------------------------------------------------------

struct WebViewHost::Impl {
    IUiBridge* bridge = nullptr;
    Options options;
    GtkApplication* application = nullptr;
    GtkWidget* window = nullptr;
    GtkWidget* headerBar = nullptr;
    GSimpleAction* switchSystem = nullptr;
    GSimpleAction* signOut = nullptr;
    std::shared_ptr<GtkAppWindow> appWindow;

    WebKitWebContext* context = nullptr;
    WebKitSettings* settings = nullptr;
    std::shared_ptr<BrowserShell> browser;
    WebKitWebView* mainView = nullptr;
    std::shared_ptr<WebKitBrowserView> mainBrowserView;

    // Cross-thread callbacks check this before touching the host.
    std::shared_ptr<Impl*> alive = std::make_shared<Impl*>(this);
    std::shared_ptr<shell::Outbox> outbox;
    bool suspended = false;
    shell::RecoveryBudget budget;

    Rect normalRect;
    bool haveNormalRect = false;
    bool maximized = false;
    bool iconified = false;
    bool pendingMaximize = false;
    bool placementDamaged = false;
    bool titleBarDark = false;
    bool startPageReady = false;
    std::string lastCommittedUri;  // what the view showed last, for a reload after a crash
    std::vector<guint> signalSources;

    ~Impl() {
        *alive = nullptr;
        // Nothing WebKit still holds may call back into a host that is gone.
        if (mainBrowserView) {
            WebKitWebView* view = mainBrowserView->webView();
            g_signal_handlers_disconnect_by_data(view, this);
            g_signal_handlers_disconnect_by_data(webkit_web_view_get_user_content_manager(view), this);
        }
        if (context != nullptr) g_signal_handlers_disconnect_by_data(context, this);
        mainBrowserView.reset();
        browser.reset();
        if (settings != nullptr) g_object_unref(settings);
        if (context != nullptr) g_object_unref(context);
        if (switchSystem != nullptr) g_object_unref(switchSystem);
        if (signOut != nullptr) g_object_unref(signOut);
        if (application != nullptr) g_object_unref(application);
    }

    // ----- window half

    void createWindow();
    void placeWindow();
    int titleBarHeight() const;
    void recordNormalRect();
    void savePlacement();
    void showAndRestore();
    void applyTitleBarDark(bool dark);
    void closeWindow();

    // ----- browser half

    void createContext();
    void initWebView();
    void flushOutbox();
    void scheduleFlush();
    void handleStartPageMessage(const std::string& text);
    void suspendWebView();
    void resumeWebView();
    void onProcessFailed(const std::string& kind, const std::string& description, bool hung);
    void serveUiFile(WebKitURISchemeRequest* request);

    // ----- signals

    static void onActivate(GApplication*, gpointer self);
    static void onQueryEnd(GtkApplication*, gpointer self);
    static gboolean onConfigure(GtkWidget*, GdkEventConfigure*, gpointer self);
    static gboolean onWindowState(GtkWidget*, GdkEventWindowState* event, gpointer self);
    static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer self);
    static void onDestroy(GtkWidget*, gpointer self);
    static void onMenuAction(GSimpleAction* action, GVariant*, gpointer self);
    static void onStartPageMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer self);
    static void onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer self);
    static void onResponsiveChanged(WebKitWebView* view, GParamSpec*, gpointer self);
    static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer self);
    static void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self);
    static void onDownloadStarted(WebKitWebContext*, WebKitDownload* download, gpointer self);
    static void onAutomationStarted(WebKitWebContext*, WebKitAutomationSession* session, gpointer self);
};

WebViewHost::WebViewHost(IUiBridge* bridge) : impl_(std::make_unique<Impl>()) {
    impl_->bridge = bridge;
}

WebViewHost::~WebViewHost() = default;

int WebViewHost::run(const Options& options) {
    Impl& host = *impl_;
    host.options = options;
    std::weak_ptr<Impl*> alive = host.alive;
    host.outbox = std::make_shared<shell::Outbox>([alive] {
        // Any thread: only the UI thread touches the view.
        g_idle_add_full(
            G_PRIORITY_DEFAULT,
            [](gpointer data) -> gboolean {
                if (const auto impl = static_cast<std::weak_ptr<Impl*>*>(data)->lock(); impl && *impl)
                    (*impl)->flushOutbox();
                return G_SOURCE_REMOVE;
            },
            new std::weak_ptr<Impl*>(alive), [](gpointer data) { delete static_cast<std::weak_ptr<Impl*>*>(data); });
    });
    if (host.bridge != nullptr) {
        std::weak_ptr<shell::Outbox> box = host.outbox;
        host.bridge->setEventSink([box](const std::string& text) {
            if (const auto outbox = box.lock()) outbox->push(text);
        });
    }

    host.application = options.instance ? GTK_APPLICATION(g_object_ref(shell::applicationOf(*options.instance)))
                                        : shell::newUnguardedApplication(kApplicationId);
    const gulong activate = g_signal_connect(host.application, "activate", G_CALLBACK(Impl::onActivate), &host);
    const gulong queryEnd = g_signal_connect(host.application, "query-end", G_CALLBACK(Impl::onQueryEnd), &host);
    // A session's end or a service manager asks with SIGTERM (a terminal with SIGINT): close
    // the window as the operator would, so its placement is saved and the exit is orderly.
    for (const int signal : {SIGTERM, SIGINT}) {
        host.signalSources.push_back(g_unix_signal_add(
            signal,
            [](gpointer data) -> gboolean {
                static_cast<Impl*>(data)->closeWindow();
                return G_SOURCE_CONTINUE;
            },
            &host));
    }

    const int status = g_application_run(G_APPLICATION(host.application), 0, nullptr);

    for (const guint source : host.signalSources) g_source_remove(source);
    host.signalSources.clear();
    g_signal_handler_disconnect(host.application, activate);
    g_signal_handler_disconnect(host.application, queryEnd);
    if (host.browser) host.browser->closePopups();
    if (host.bridge != nullptr) host.bridge->setEventSink(nullptr);
    // Texts still waiting for the page are dropped with the box.
    host.outbox.reset();
    return host.window == nullptr && host.appWindow == nullptr ? 1 : status;
}

// ---------------------------------------------------------------------------------------------
// Window half

void WebViewHost::Impl::onActivate(GApplication*, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    if (self->window == nullptr && self->appWindow == nullptr) {
        self->createWindow();
        return;
    }
    // Another start of the app handed over to this one.
    logf(lv::Info, "activated by another start - presenting the window");
    self->showAndRestore();
}

void WebViewHost::Impl::createWindow() {
    static bool cssInstalled = false;
    if (!cssInstalled) {
        GtkCssProvider* provider = gtk_css_provider_new();
        gtk_css_provider_load_from_data(provider, kHeaderBarCss, -1, nullptr);
        gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(provider),
                                                  GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
        g_object_unref(provider);
        cssInstalled = true;
    }

    window = gtk_application_window_new(application);
    if (window == nullptr) {
        lv::emitEvent("ui.init_failed", "lifecycle", "error", "gtk_application_window_new failed - no UI window",
                      nlohmann::json::object());
        return;
    }
    gtk_window_set_title(GTK_WINDOW(window), options.title.c_str());

    headerBar = gtk_header_bar_new();
    gtk_header_bar_set_show_close_button(GTK_HEADER_BAR(headerBar), TRUE);
    gtk_header_bar_set_title(GTK_HEADER_BAR(headerBar), options.title.c_str());

    switchSystem = g_simple_action_new("switch-system", nullptr);
    signOut = g_simple_action_new("sign-out", nullptr);
    for (GSimpleAction* action : {switchSystem, signOut}) {
        g_simple_action_set_enabled(action, FALSE);  // greyed until a session opens
        g_signal_connect(action, "activate", G_CALLBACK(onMenuAction), this);
        g_action_map_add_action(G_ACTION_MAP(window), G_ACTION(action));
    }
    GMenu* menu = g_menu_new();
    g_menu_append(menu, kSwitchSystemLabel, "win.switch-system");
    g_menu_append(menu, kSignOutLabel, "win.sign-out");
    GtkWidget* menuButton = gtk_menu_button_new();
    gtk_menu_button_set_menu_model(GTK_MENU_BUTTON(menuButton), G_MENU_MODEL(menu));
    gtk_button_set_image(GTK_BUTTON(menuButton), gtk_image_new_from_icon_name("open-menu-symbolic", GTK_ICON_SIZE_BUTTON));
    gtk_widget_set_tooltip_text(menuButton, "Session");
    gtk_widget_set_name(menuButton, "session-menu");
    g_object_unref(menu);
    gtk_header_bar_pack_end(GTK_HEADER_BAR(headerBar), menuButton);
    gtk_window_set_titlebar(GTK_WINDOW(window), headerBar);
    gtk_widget_show_all(headerBar);

    placeWindow();

    g_signal_connect(window, "configure-event", G_CALLBACK(onConfigure), this);
    g_signal_connect(window, "window-state-event", G_CALLBACK(onWindowState), this);
    g_signal_connect(window, "delete-event", G_CALLBACK(onDelete), this);
    g_signal_connect(window, "destroy", G_CALLBACK(onDestroy), this);

    if (options.darkTitleBar) applyTitleBarDark(true);

    if (options.startHidden) {
        pendingMaximize = pendingMaximize || maximized;
    } else {
        if (maximized) gtk_window_maximize(GTK_WINDOW(window));
        gtk_widget_show(window);
    }

    appWindow = std::make_shared<GtkAppWindow>(GTK_WINDOW(window), headerBar, switchSystem, signOut,
                                               options.onSignOutTimer, options.onRunTasks);
    if (options.onWindowCreated) options.onWindowCreated(appWindow);
    initWebView();
}

void WebViewHost::Impl::placeWindow() {
    const int scale = screenScale(window);
    const int dpi = 96 * scale;
    const std::vector<shell::Monitor> monitors = currentMonitors(scale);

    std::optional<Placement> placement;
    if (!options.placementFile.empty()) {
        std::error_code error;
        if (std::filesystem::exists(options.placementFile, error)) {
            const shell::PlacementLoad load = shell::parsePlacement(readFileText(options.placementFile), monitors);
            placementDamaged = load.damaged();
            if (load.placement) {
                placement = load.placement;
            } else if (!load.reason.empty()) {
                lv::emitEvent("ui.placement_ignored", "lifecycle", "warn",
                              "saved window placement ignored (" + load.reason +
                                  ") - using the default size and position",
                              nlohmann::json{{"reason", load.reason}});
            }
        }
    }

    // Without a saved place the window opens centred on the primary monitor.
    Rect origin;
    if (!placement && !monitors.empty()) {
        GdkMonitor* primary = gdk_display_get_primary_monitor(gdk_display_get_default());
        GdkRectangle work{0, 0, 0, 0};
        if (primary != nullptr) gdk_monitor_get_workarea(primary, &work);
        const int w = options.width * scale;
        const int h = options.height * scale;
        origin = Rect{work.x * scale + std::max(0, (work.width * scale - w) / 2),
                      work.y * scale + std::max(0, (work.height * scale - h) / 2), w, h};
    }
    const Rect rect = shell::initialRect(placement, options.width, options.height, dpi, origin, monitors);
    // Sizes are of the visible frame, header bar included; GTK's default size leaves it out.
    gtk_window_set_default_size(GTK_WINDOW(window), std::max(1, rect.w / scale),
                                std::max(1, rect.h / scale - titleBarHeight()));
    if (canPlaceWindows()) gtk_window_move(GTK_WINDOW(window), rect.x / scale, rect.y / scale);
    normalRect = rect;
    haveNormalRect = true;
    maximized = placement && placement->maximized;
}

int WebViewHost::Impl::titleBarHeight() const {
    if (headerBar == nullptr) return 0;
    if (gtk_widget_get_realized(headerBar)) return gtk_widget_get_allocated_height(headerBar);
    int minimum = 0;
    int natural = 0;
    gtk_widget_get_preferred_height(headerBar, &minimum, &natural);
    return natural;
}

void WebViewHost::Impl::recordNormalRect() {
    if (window == nullptr || !gtk_widget_get_realized(window)) return;
    GdkWindow* gdkWindow = gtk_widget_get_window(window);
    const GdkWindowState state = gdk_window_get_state(gdkWindow);
    if (state & (GDK_WINDOW_STATE_ICONIFIED | GDK_WINDOW_STATE_MAXIMIZED | GDK_WINDOW_STATE_FULLSCREEN |
                 GDK_WINDOW_STATE_TILED | GDK_WINDOW_STATE_WITHDRAWN))
        return;
    const int scale = screenScale(window);
    int x = 0, y = 0, w = 0, h = 0;
    gtk_window_get_position(GTK_WINDOW(window), &x, &y);
    gtk_window_get_size(GTK_WINDOW(window), &w, &h);
    if (w <= 0 || h <= 0) return;
    normalRect = Rect{x * scale, y * scale, w * scale, (h + titleBarHeight()) * scale};
    haveNormalRect = true;
}

void WebViewHost::Impl::savePlacement() {
    if (options.placementFile.empty() || window == nullptr || !haveNormalRect) return;
    Placement placement;
    placement.rect = normalRect;
    placement.dpi = 96 * screenScale(window);
    placement.maximized = maximized && !iconified;
    const std::filesystem::path path(options.placementFile);
    if (placementDamaged) {
        // The operator may still want what the unreadable file held: keep it beside the new one,
        // and write nothing while it cannot be moved.
        if (!clearUnreadableBeforeSave(path)) return;
        placementDamaged = false;
    }
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    writeFileAtomic(path, shell::placementText(placement));
}

void WebViewHost::Impl::showAndRestore() {
    if (window == nullptr) return;
    if (pendingMaximize) gtk_window_maximize(GTK_WINDOW(window));
    pendingMaximize = false;
    gtk_widget_show(window);
    gtk_window_deiconify(GTK_WINDOW(window));
    gtk_window_present(GTK_WINDOW(window));
    resumeWebView();
}

void WebViewHost::Impl::applyTitleBarDark(bool dark) {
    titleBarDark = dark;
    if (browser) browser->setDarkTitleBars(dark);
    if (headerBar == nullptr) return;
    GtkStyleContext* style = gtk_widget_get_style_context(headerBar);
    if (dark) {
        gtk_style_context_add_class(style, "ostrel-dark");
    } else {
        gtk_style_context_remove_class(style, "ostrel-dark");
    }
}

void WebViewHost::Impl::closeWindow() {
    if (window != nullptr) {
        gtk_window_close(GTK_WINDOW(window));
    } else {
        g_application_quit(G_APPLICATION(application));
    }
}

void WebViewHost::Impl::onQueryEnd(GtkApplication*, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    self->savePlacement();
    if (self->options.onSessionEnd) self->options.onSessionEnd();
}

gboolean WebViewHost::Impl::onConfigure(GtkWidget*, GdkEventConfigure*, gpointer data) {
    static_cast<Impl*>(data)->recordNormalRect();
    return FALSE;
}

gboolean WebViewHost::Impl::onWindowState(GtkWidget*, GdkEventWindowState* event, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    self->maximized = (event->new_window_state & GDK_WINDOW_STATE_MAXIMIZED) != 0;
    const bool nowIconified = (event->new_window_state & GDK_WINDOW_STATE_ICONIFIED) != 0;
    if (nowIconified != self->iconified) {
        self->iconified = nowIconified;
        if (nowIconified) {
            self->suspendWebView();
        } else {
            self->resumeWebView();
        }
    }
    if (!nowIconified && !self->maximized) self->recordNormalRect();
    return FALSE;
}

gboolean WebViewHost::Impl::onDelete(GtkWidget*, GdkEvent*, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    if (self->options.onCloseRequest && !self->options.onCloseRequest()) return TRUE;  // stay open
    return FALSE;
}

void WebViewHost::Impl::onDestroy(GtkWidget*, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    self->savePlacement();
    if (self->options.onWindowDestroyed) self->options.onWindowDestroyed();
    if (self->appWindow) self->appWindow->windowDestroyed();
    if (self->browser) self->browser->closePopups();
    self->window = nullptr;
    self->headerBar = nullptr;
    self->mainView = nullptr;
}

void WebViewHost::Impl::onMenuAction(GSimpleAction* action, GVariant*, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    if (!self->options.onMenuCommand) return;
    self->options.onMenuCommand(action == self->switchSystem ? ctl::MenuCommand::SwitchSystem
                                                             : ctl::MenuCommand::SignOut);
}

// ---------------------------------------------------------------------------------------------
// Browser half

void WebViewHost::Impl::createContext() {
    std::string dataDir = options.userDataDir;
    if (dataDir.empty()) {
        if (const char* home = g_get_user_data_dir(); home != nullptr && *home != '\0')
            dataDir = (std::filesystem::path(home) / "OstrelOps" / "source-client" / "webview_data").string();
    }
    WebKitWebsiteDataManager* data = nullptr;
    if (dataDir.empty()) {
        lv::emitEvent("ui.webview_datadir_fallback", "lifecycle", "warn",
                      "no per-user data folder; the browser keeps its data in memory only",
                      nlohmann::json{{"stage", "environment"}});
        data = webkit_website_data_manager_new_ephemeral();
    } else {
        const std::filesystem::path base(dataDir);
        std::error_code error;
        std::filesystem::create_directories(base, error);
        std::filesystem::permissions(base, std::filesystem::perms::owner_all, error);
        data = webkit_website_data_manager_new("base-data-directory", base.c_str(), "base-cache-directory",
                                               (base / "cache").c_str(), nullptr);
        // A remembered session must outlive the process: keep cookies on disk.
        webkit_cookie_manager_set_persistent_storage(webkit_website_data_manager_get_cookie_manager(data),
                                                     (base / "cookies.sqlite").c_str(),
                                                     WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
    }
    webkit_website_data_manager_set_tls_errors_policy(data, WEBKIT_TLS_ERRORS_POLICY_FAIL);
    context = webkit_web_context_new_with_website_data_manager(data);
    g_object_unref(data);

    webkit_web_context_register_uri_scheme(
        context, std::string(ctl::kStartPageScheme).c_str(),
        [](WebKitURISchemeRequest* request, gpointer self) { static_cast<Impl*>(self)->serveUiFile(request); }, this,
        nullptr);
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
    const std::string scheme(ctl::kStartPageScheme);
    webkit_security_manager_register_uri_scheme_as_secure(security, scheme.c_str());
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, scheme.c_str());
    g_signal_connect(context, "download-started", G_CALLBACK(onDownloadStarted), this);
    if (options.allowAutomation) {
        webkit_web_context_set_automation_allowed(context, TRUE);
        g_signal_connect(context, "automation-started", G_CALLBACK(onAutomationStarted), this);
    }

    settings = webkit_settings_new();
    webkit_settings_set_javascript_can_open_windows_automatically(settings, TRUE);
    webkit_settings_set_enable_developer_extras(settings, FALSE);
    webkit_settings_set_user_agent_with_application_details(settings, "OstrelOpsControl",
                                                            std::string(kProgramVersion).c_str());
    browser = std::make_shared<BrowserShell>(context, settings, options.allowAutomation);
    browser->setDarkTitleBars(titleBarDark);
    browser->onPageMessage = options.onPageMessage;
}

void WebViewHost::Impl::initWebView() {
    if (window == nullptr) return;
    if (context == nullptr) createContext();

    mainView = browser->createWebView(nullptr);
    // The start page's own channel: a world of its own, only in start-page documents, top frame.
    WebKitUserContentManager* manager = webkit_web_view_get_user_content_manager(mainView);
    const std::string startPattern = std::string(ctl::kStartPageOrigin) + "*";
    const char* onlyStartPage[] = {startPattern.c_str(), nullptr};
    WebKitUserScript* relay = webkit_user_script_new_for_world(
        shell::startPageRelayScript().c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
        WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, shell::kStartWorld, onlyStartPage, nullptr);
    webkit_user_content_manager_add_script(manager, relay);
    webkit_user_script_unref(relay);
    webkit_user_content_manager_register_script_message_handler_in_world(manager, shell::kStartHandler,
                                                                          shell::kStartWorld);
    g_signal_connect(manager, (std::string("script-message-received::") + shell::kStartHandler).c_str(),
                     G_CALLBACK(onStartPageMessage), this);
    g_signal_connect(mainView, "web-process-terminated", G_CALLBACK(onWebProcessTerminated), this);
    g_signal_connect(mainView, "notify::is-web-process-responsive", G_CALLBACK(onResponsiveChanged), this);
    g_signal_connect(mainView, "load-failed", G_CALLBACK(onLoadFailed), this);
    g_signal_connect(mainView, "load-changed", G_CALLBACK(onLoadChanged), this);

    gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(mainView));
    gtk_widget_show(GTK_WIDGET(mainView));
    gtk_widget_grab_focus(GTK_WIDGET(mainView));
    mainBrowserView = std::make_shared<WebKitBrowserView>(browser, mainView, true);

    const bool taken = options.onWebViewCreated && options.onWebViewCreated(mainBrowserView);
    if (!taken) webkit_web_view_load_uri(mainView, std::string(ctl::kStartPageUrl).c_str());
}

void WebViewHost::Impl::flushOutbox() {
    if (!outbox) return;
    std::vector<std::string> texts = outbox->takeAll();
    if (mainView == nullptr || suspended) return;
    // The address changes as soon as a load starts; the delivering function checks the
    // document itself, so an event never reaches a system page that is just being left.
    if (!startsWith(webkit_web_view_get_uri(mainView), ctl::kStartPageOrigin)) return;
    static const std::string deliver = shell::deliverEventFunction(
        std::string(ctl::kStartPageScheme) + "://" + std::string(ctl::kStartPageHost));
    for (const std::string& text : texts) {
        GVariantDict arguments;
        g_variant_dict_init(&arguments, nullptr);
        g_variant_dict_insert(&arguments, "text", "s", text.c_str());
        // WebKit only reads the arguments; the floating reference is ours to drop.
        GVariant* values = g_variant_ref_sink(g_variant_dict_end(&arguments));
        webkit_web_view_call_async_javascript_function(mainView, deliver.c_str(), -1, values, shell::kStartWorld,
                                                       nullptr, nullptr, nullptr, nullptr);
        g_variant_unref(values);
    }
}

void WebViewHost::Impl::handleStartPageMessage(const std::string& text) {
    if (!startPageReady) {
        // The page's first message: it has loaded and run. Scripts and benchmarks wait for this.
        startPageReady = true;
        logf(lv::Info, "start page ready");
    }
    if (text.find("setTitleBarDark") != std::string::npos) {
        const nlohmann::json message = json_read::parse(text);
        if (message.is_object()) {
            const auto cmd = message.find("cmd");
            if (cmd != message.end() && cmd->is_string() && *cmd == "setTitleBarDark") {
                const auto dark = message.find("dark");
                if (dark == message.end()) {
                    applyTitleBarDark(true);
                } else if (dark->is_boolean()) {
                    applyTitleBarDark(dark->get<bool>());
                }
                return;  // the host's own command never reaches the controller
            }
        }
    }
    if (bridge != nullptr) bridge->handleCommand(text);
}

void WebViewHost::Impl::onStartPageMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
    JSCValue* value = webkit_javascript_result_get_js_value(result);
    if (!jsc_value_is_string(value)) return;
    char* text = jsc_value_to_string(value);
    static_cast<Impl*>(data)->handleStartPageMessage(text != nullptr ? text : "");
    g_free(text);
}

void WebViewHost::Impl::suspendWebView() {
    if (mainView == nullptr || suspended) return;
    // WebKitGTK throttles a view whose window is iconified by itself; what is left to do is to
    // drop the events meant for a page nobody sees.
    suspended = true;
}

void WebViewHost::Impl::resumeWebView() {
    if (mainView == nullptr || !suspended) return;
    suspended = false;
    if (bridge != nullptr) bridge->handleCommand(kGetStateCommand);
}

void WebViewHost::Impl::onProcessFailed(const std::string& kind, const std::string& description, bool hung) {
    const shell::RecoveryBudget::Verdict verdict = budget.onFailure(monotonicMs(), true);
    nlohmann::json fields{{"kind", kind}, {"recoveries", verdict.recoveriesBefore}};
    if (!description.empty()) fields["processDescription"] = description;
    lv::emitEvent("ui.process_failed", "lifecycle", "error", "WebKitGTK " + kind + " - UI is blank" + verdict.suffix,
                  fields);
    if (verdict.recover && mainView != nullptr) {
        suspended = false;
        // A hung process is ended first; the reload then starts a fresh one.
        if (hung) webkit_web_view_terminate_web_process(mainView);
        // From the main loop, not inside WebKit's signal: a reload started there can be lost when
        // the failed process is still being torn down.
        g_idle_add_full(
            G_PRIORITY_DEFAULT,
            [](gpointer data) -> gboolean {
                const auto impl = static_cast<std::weak_ptr<Impl*>*>(data)->lock();
                // The view may have forgotten its address with its process: load what it last showed.
                if (impl && *impl && (*impl)->mainView != nullptr) {
                    if ((*impl)->lastCommittedUri.empty()) {
                        webkit_web_view_reload((*impl)->mainView);
                    } else {
                        webkit_web_view_load_uri((*impl)->mainView, (*impl)->lastCommittedUri.c_str());
                    }
                }
                return G_SOURCE_REMOVE;
            },
            new std::weak_ptr<Impl*>(alive), [](gpointer data) { delete static_cast<std::weak_ptr<Impl*>*>(data); });
        lv::emitInfo("ui.recovered", "lifecycle", "WebKitGTK reloaded after a render process failure");
    } else if (!verdict.recover) {
        showAndRestore();
    }
}

void WebViewHost::Impl::onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason,
                                               gpointer data) {
    auto* self = static_cast<Impl*>(data);
    switch (reason) {
        case WEBKIT_WEB_PROCESS_CRASHED:
            self->onProcessFailed("render-process-exited", "", false);
            return;
        case WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT:
            self->onProcessFailed("render-process-exited", "the web process exceeded its memory limit", false);
            return;
        default:
            return;  // ended on purpose (a hung process, reported as unresponsive)
    }
}

void WebViewHost::Impl::onResponsiveChanged(WebKitWebView* view, GParamSpec*, gpointer data) {
    if (webkit_web_view_get_is_web_process_responsive(view)) return;
    static_cast<Impl*>(data)->onProcessFailed("render-process-unresponsive", "", true);
}

void WebViewHost::Impl::onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
    if (event != WEBKIT_LOAD_COMMITTED) return;
    const char* uri = webkit_web_view_get_uri(view);
    static_cast<Impl*>(data)->lastCommittedUri = uri != nullptr ? uri : "";
}

gboolean WebViewHost::Impl::onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    // A load the policy stopped, or one replaced by the next, is not a failure anyone sees.
    if (error == nullptr || g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED) ||
        g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED) ||
        g_error_matches(error, WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE))
        return FALSE;
    lv::emitEvent("ui.navigation_failed", "lifecycle", "error",
                  "UI failed to load (web error status " + std::to_string(error->code) + ") - the window will be blank",
                  nlohmann::json{{"webErrorStatus", error->code}, {"uiDir", self->options.uiDir},
                                 {"url", uri != nullptr ? uri : ""},
                                 {"error", std::string(g_quark_to_string(error->domain)) + ": " +
                                               (error->message != nullptr ? error->message : "")}});
    return FALSE;
}

void WebViewHost::Impl::onDownloadStarted(WebKitWebContext*, WebKitDownload* download, gpointer) {
    WebKitURIRequest* request = webkit_download_get_request(download);
    logf(lv::Info, "download refused: %s", request != nullptr ? webkit_uri_request_get_uri(request) : "");
    webkit_download_cancel(download);
}

void WebViewHost::Impl::onAutomationStarted(WebKitWebContext*, WebKitAutomationSession* session, gpointer data) {
    WebKitApplicationInfo* info = webkit_application_info_new();
    webkit_application_info_set_name(info, "ostrel-control");
    webkit_application_info_set_version(info, 1, 0, 40);
    webkit_automation_session_set_application_info(session, info);
    webkit_application_info_unref(info);
    auto* self = static_cast<Impl*>(data);
    g_signal_connect_data(
        session, "create-web-view",
        G_CALLBACK(+[](WebKitAutomationSession*, gpointer alive) -> WebKitWebView* {
            const auto impl = static_cast<std::weak_ptr<Impl*>*>(alive)->lock();
            return impl && *impl ? (*impl)->mainView : nullptr;
        }),
        new std::weak_ptr<Impl*>(self->alive),
        [](gpointer alive, GClosure*) { delete static_cast<std::weak_ptr<Impl*>*>(alive); }, GConnectFlags{});
    logf(lv::Info, "automation session started");
}

void WebViewHost::Impl::serveUiFile(WebKitURISchemeRequest* request) {
    const char* uri = webkit_uri_scheme_request_get_uri(request);
    GUri* parsed = uri != nullptr ? g_uri_parse(uri, G_URI_FLAGS_ENCODED, nullptr) : nullptr;
    std::optional<shell::UiFile> file;
    if (parsed != nullptr) {
        const char* host = g_uri_get_host(parsed);
        if (host != nullptr && std::string_view(host) == ctl::kStartPageHost)
            file = shell::resolveUiFile(options.uiDir, g_uri_get_path(parsed));
        g_uri_unref(parsed);
    }
    gchar* contents = nullptr;
    gsize length = 0;
    if (!file || !g_file_get_contents(file->path.c_str(), &contents, &length, nullptr)) {
        static constexpr char kNotFound[] = "not found";
        GInputStream* stream = g_memory_input_stream_new_from_data(kNotFound, sizeof kNotFound - 1, nullptr);
        WebKitURISchemeResponse* response = webkit_uri_scheme_response_new(stream, sizeof kNotFound - 1);
        webkit_uri_scheme_response_set_status(response, 404, "Not Found");
        webkit_uri_scheme_response_set_content_type(response, "text/plain");
        webkit_uri_scheme_request_finish_with_response(request, response);
        g_object_unref(response);
        g_object_unref(stream);
        return;
    }
    GInputStream* stream = g_memory_input_stream_new_from_data(contents, static_cast<gssize>(length), g_free);
    WebKitURISchemeResponse* response = webkit_uri_scheme_response_new(stream, static_cast<gint64>(length));
    webkit_uri_scheme_response_set_content_type(response, file->mimeType.c_str());
    SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    // With "nosniff" a stylesheet is used only when the header list itself says text/css; the
    // response's own content type does not count there.
    soup_message_headers_append(headers, "Content-Type", file->mimeType.c_str());
    soup_message_headers_append(headers, "Content-Security-Policy", kContentSecurityPolicy);
    soup_message_headers_append(headers, "X-Content-Type-Options", "nosniff");
    soup_message_headers_append(headers, "Cache-Control", "no-cache");
    webkit_uri_scheme_response_set_http_headers(response, headers);  // takes the headers
    webkit_uri_scheme_request_finish_with_response(request, response);
    g_object_unref(response);
    g_object_unref(stream);
}

}  // namespace ostrel
