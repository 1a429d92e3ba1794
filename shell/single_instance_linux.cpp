#include "shell/single_instance_linux.h"

#include <string>

namespace ostrel::shell {
namespace {

// Session registration is read when the application starts up, which registering does: it must
// be asked for at creation, so that the app hears when the desktop session ends.
GtkApplication* newApplication(const char* applicationId, GApplicationFlags flags) {
    return GTK_APPLICATION(g_object_new(GTK_TYPE_APPLICATION, "application-id", applicationId, "flags", flags,
                                        "register-session", TRUE, nullptr));
}

class GtkSingleInstance final : public SingleInstance {
public:
    explicit GtkSingleInstance(std::string applicationId) : applicationId_(std::move(applicationId)) {}
    ~GtkSingleInstance() override {
        if (application_) g_object_unref(application_);
    }

    Outcome claim() override {
        // GApplication would quietly run unguarded without a session bus; ask for the bus
        // first so that the reason can be reported.
        GError* error = nullptr;
        GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
        if (bus == nullptr) {
            remember(error);
            application_ = newUnguardedApplication(applicationId_.c_str());
            return Outcome::Unguarded;
        }
        g_object_unref(bus);
        application_ = newApplication(applicationId_.c_str(), G_APPLICATION_DEFAULT_FLAGS);
        if (!g_application_register(G_APPLICATION(application_), nullptr, &error)) {
            remember(error);
            g_object_unref(application_);
            application_ = newUnguardedApplication(applicationId_.c_str());
            return Outcome::Unguarded;
        }
        return g_application_get_is_remote(G_APPLICATION(application_)) ? Outcome::AlreadyRunning
                                                                          : Outcome::Primary;
    }

    void activateRunning() override {
        // The primary receives "activate" over the bus and presents its window. The call is
        // queued on the connection: send it before this process ends.
        if (application_ == nullptr) return;
        g_application_activate(G_APPLICATION(application_));
        if (GDBusConnection* bus = g_application_get_dbus_connection(G_APPLICATION(application_)))
            g_dbus_connection_flush_sync(bus, nullptr, nullptr);
    }

    int failureCode() const override { return failureCode_; }
    std::string failure() const override { return failure_; }

    GtkApplication* application() const { return application_; }

private:
    void remember(GError* error) {
        failureCode_ = error != nullptr ? error->code : -1;
        failure_ = error != nullptr && error->message != nullptr ? error->message : "unknown error";
        if (error != nullptr) g_error_free(error);
    }

    std::string applicationId_;
    GtkApplication* application_ = nullptr;
    int failureCode_ = 0;
    std::string failure_;
};

}  // namespace

std::shared_ptr<SingleInstance> SingleInstance::create(const std::string& applicationId) {
    return std::make_shared<GtkSingleInstance>(applicationId);
}

GtkApplication* applicationOf(SingleInstance& instance) {
    return static_cast<GtkSingleInstance&>(instance).application();
}

GtkApplication* newUnguardedApplication(const char* applicationId) {
    return newApplication(applicationId, G_APPLICATION_NON_UNIQUE);
}

}  // namespace ostrel::shell
