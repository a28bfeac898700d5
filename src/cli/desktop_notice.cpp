#include "cli/desktop_notice.hpp"

#include <fmt/format.h>

#include <cstdlib>

#if __has_include(<gio/gio.h>)
#include <gio/gio.h>
#define TARNEL_DESKTOP_NOTICES 1
#endif

#include "cli/terminal_text.hpp"
#include "cli/vault_access.hpp"

namespace tarnel::cli {

#ifdef TARNEL_DESKTOP_NOTICES

namespace {

// The longest the watch waits for the bus or the service, each time.
constexpr int kWaitMs = 1000;

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using Connection = std::unique_ptr<GDBusConnection, ObjectUnref>;

// A connection being made; left to the attempt when it does not finish in time.
struct Connecting {
    Connection connection;
    std::unique_ptr<GError, ErrorFree> error;
    bool done = false;
};

void connected(GObject* /*source*/, GAsyncResult* result, gpointer data) {
    auto* attempt = static_cast<Connecting*>(data);
    GError* error = nullptr;
    attempt->connection.reset(g_dbus_connection_new_for_address_finish(result, &error));
    attempt->error.reset(error);
    attempt->done = true;
}

gboolean time_is_up(gpointer flag) {
    *static_cast<bool*>(flag) = true;
    return G_SOURCE_REMOVE;
}

// The bus at `address`, or why not. Never through autolaunch, and never
// longer than the wait: a bus that does not answer is given up on.
Connection connect_to(const char* address, std::string& why) {
    g_autoptr(GMainContext) context = g_main_context_new();
    g_autoptr(GCancellable) cancellable = g_cancellable_new();
    auto attempt = std::make_unique<Connecting>();
    bool timed_out = false;
    g_main_context_push_thread_default(context);
    g_dbus_connection_new_for_address(address,
                                      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                                      nullptr, cancellable, connected, attempt.get());
    g_autoptr(GSource) timer = g_timeout_source_new(kWaitMs);
    g_source_set_callback(timer, time_is_up, &timed_out, nullptr);
    g_source_attach(timer, context);
    while (!attempt->done && !timed_out) g_main_context_iteration(context, TRUE);
    g_source_destroy(timer);
    g_main_context_pop_thread_default(context);
    if (!attempt->done) {
        // Its callback would run only if this context were iterated again,
        // which it never is; the attempt keeps what it was given.
        g_cancellable_cancel(cancellable);
        (void)attempt.release();
        why = "the session bus does not answer";
        return nullptr;
    }
    if (!attempt->connection) {
        why = attempt->error ? attempt->error->message : "no connection";
        return nullptr;
    }
    return std::move(attempt->connection);
}

// One line of the body: printable, valid UTF-8, with markup escaped.
std::string body_line(std::string_view text) {
    const std::string shown = terminal_safe(text);
    g_autofree gchar* valid = g_utf8_make_valid(shown.data(), static_cast<gssize>(shown.size()));
    g_autofree gchar* escaped = g_markup_escape_text(valid, -1);
    return escaped;
}

}  // namespace

struct DesktopNotifier::Bus {
    Connection connection;
};

DesktopNotifier::DesktopNotifier() = default;
DesktopNotifier::~DesktopNotifier() = default;

void DesktopNotifier::show(std::string_view summary, const std::vector<std::string>& lines) {
    if (off_) return;
    if (!bus_) {
        const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        if (address == nullptr || *address == '\0') {
            off_ = true;
            return;
        }
        std::string why;
        Connection connection = connect_to(address, why);
        if (!connection) {
            off_ = true;
            print_error(fmt::format("no desktop notifications: {}", why));
            return;
        }
        bus_ = std::make_unique<Bus>(std::move(connection));
    }
    std::string body;
    for (const auto& line : lines) {
        if (!body.empty()) body += '\n';
        body += body_line(line);
    }
    const std::string title(summary);
    g_autoptr(GError) error = nullptr;
    // No actions, no hints, the service's own time-out; only a service that
    // owns the name now, never one started for this.
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        bus_->connection.get(), "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
        "org.freedesktop.Notifications", "Notify",
        g_variant_new("(susssasa{sv}i)", "tarnel", 0U, "", title.c_str(), body.c_str(), nullptr, nullptr, -1),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, kWaitMs, nullptr, &error);
    if (!reply) {
        off_ = true;
        g_dbus_error_strip_remote_error(error);
        print_error(fmt::format("no desktop notifications: {}", error->message));
    }
}

#else

struct DesktopNotifier::Bus {};

DesktopNotifier::DesktopNotifier() = default;
DesktopNotifier::~DesktopNotifier() = default;

void DesktopNotifier::show(std::string_view, const std::vector<std::string>&) {}

#endif

}  // namespace tarnel::cli
