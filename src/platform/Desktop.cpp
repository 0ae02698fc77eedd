// The default browser through GIO's default handlers; the file manager through the
// org.freedesktop.FileManager1 interface on the session bus.
#include "platform/Desktop.h"

#include <gdk/gdk.h>
#include <gio/gio.h>

#include <memory>

#include "platform/Session.h"

namespace mirovan {

namespace {

void openWithDefaultHandler(const std::string& uri) {
    // The display's launch context gives the started program our display and a startup id.
    GdkDisplay* display = gdk_display_get_default();
    g_autoptr(GdkAppLaunchContext) context = display ? gdk_display_get_app_launch_context(display) : nullptr;
    g_app_info_launch_default_for_uri_async(
        uri.c_str(), context ? G_APP_LAUNCH_CONTEXT(context) : nullptr, nullptr,
        +[](GObject*, GAsyncResult* result, gpointer) {
            g_autoptr(GError) error = nullptr;
            if (!g_app_info_launch_default_for_uri_finish(result, &error))
                g_debug("no default handler took the address: %s", error->message);
        },
        nullptr);
}

void openParent(const std::string& folderUri) {
    g_autoptr(GFile) folder = g_file_new_for_uri(folderUri.c_str());
    g_autoptr(GFile) parent = g_file_get_parent(folder);
    g_autofree char* uri = g_file_get_uri(parent ? parent : folder);
    openWithDefaultHandler(uri);
}

void onShown(GObject* connection, GAsyncResult* result, gpointer data) {
    std::unique_ptr<std::string> folderUri(static_cast<std::string*>(data));
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(connection), result, &error);
    if (!reply) openParent(*folderUri);
}

void onBus(GObject*, GAsyncResult* result, gpointer data) {
    g_autoptr(GDBusConnection) bus = g_bus_get_finish(result, nullptr);
    if (!bus) {
        std::unique_ptr<std::string> folderUri(static_cast<std::string*>(data));
        openParent(*folderUri);
        return;
    }
    const char* uris[] = {static_cast<std::string*>(data)->c_str(), nullptr};
    g_dbus_connection_call(bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                           "org.freedesktop.FileManager1", "ShowItems", g_variant_new("(^ass)", uris, ""), nullptr,
                           G_DBUS_CALL_FLAGS_NONE, -1, nullptr, onShown, data);
}

}  // namespace

void openInBrowser(const std::string& url) { openWithDefaultHandler(url); }

void showInFileManager(const std::string& folderUri) {
    auto data = std::make_unique<std::string>(folderUri);
    if (!sessionBusReachable()) {
        openParent(*data);
        return;
    }
    g_bus_get(G_BUS_TYPE_SESSION, nullptr, onBus, data.release());
}

}  // namespace mirovan
