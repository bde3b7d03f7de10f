#include "Reveal.h"

#include <gio/gio.h>

#include <iostream>
#include <memory>

namespace Lyrebox::Tray {

namespace {

constexpr int showItemsTimeoutMs = 10000;

struct GFreeDeleter {
  void operator()(void* p) const { g_free(p); }
};

void OnShowItemsAnswer(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<std::function<void(bool)>> done(static_cast<std::function<void(bool)>*>(data));
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  if (reply) g_variant_unref(reply);
  if (error) {
    std::cerr << "No file manager answered: " << error->message << std::endl;
    g_error_free(error);
  }
  (*done)(reply != nullptr);
}

void ShowItemsOnSessionBus(const std::string& uri, std::function<void(bool)> done) {
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!bus) {
    std::cerr << "No session bus: " << error->message << std::endl;
    g_error_free(error);
    done(false);
    return;
  }
  const gchar* uris[] = {uri.c_str(), nullptr};
  // The call may start a file manager through D-Bus activation, hence the long timeout.
  g_dbus_connection_call(bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                         "org.freedesktop.FileManager1", "ShowItems",
                         g_variant_new("(^ass)", uris, ""), G_VARIANT_TYPE("()"),
                         G_DBUS_CALL_FLAGS_NONE, showItemsTimeoutMs, nullptr,
                         OnShowItemsAnswer, new std::function<void(bool)>(std::move(done)));
  g_object_unref(bus);
}

void OpenWithXdgOpen(const std::string& folder) {
  gchar* argv[] = {const_cast<gchar*>("xdg-open"), const_cast<gchar*>(folder.c_str()), nullptr};
  GError* error = nullptr;
  if (!g_spawn_async(nullptr, argv, nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr,
                     &error)) {
    std::cerr << "Could not open " << folder << ": " << error->message << std::endl;
    g_error_free(error);
  }
}

}  // namespace

std::string FileUri(const std::string& path) {
  std::unique_ptr<gchar, GFreeDeleter> uri(g_filename_to_uri(path.c_str(), nullptr, nullptr));
  return uri ? std::string(uri.get()) : std::string();
}

std::string ParentFolder(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return ".";
  size_t parentEnd = path.find_last_not_of('/', slash);
  return parentEnd == std::string::npos ? "/" : path.substr(0, parentEnd + 1);
}

void RevealInFileViewer(const std::string& path, const RevealActions& actions) {
  std::string parent = ParentFolder(path);
  auto openFolder = actions.openFolder;
  std::string uri = FileUri(path);
  if (uri.empty()) {  // not an absolute path: there is nothing to select
    openFolder(parent);
    return;
  }
  actions.showItems(uri, [openFolder, parent](bool answered) {
    if (!answered) openFolder(parent);
  });
}

RevealActions DesktopRevealActions() {
  return {ShowItemsOnSessionBus, OpenWithXdgOpen};
}

}  // namespace Lyrebox::Tray
