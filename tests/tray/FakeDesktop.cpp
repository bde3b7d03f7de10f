// A stand-in for the desktop's services in the tray's end-to-end test: owns
// org.freedesktop.FileManager1 and org.freedesktop.Notifications on the session bus and
// writes each request it gets, one line each, to the log file named on the command
// line: "ShowItems file:///..." per URI, "Notify SUMMARY | BODY" per notification.
// Prints "ready" on stdout once both names are owned; ends when it loses a name
// (status 1) or by a signal.
#include <gio/gio.h>

#include <fstream>
#include <iostream>
#include <string>

namespace {

constexpr const char* introspection = R"(
<node>
  <interface name="org.freedesktop.FileManager1">
    <method name="ShowItems"><arg type="as" direction="in"/><arg type="s" direction="in"/></method>
  </interface>
  <interface name="org.freedesktop.Notifications">
    <method name="Notify">
      <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/><arg type="u" direction="out"/>
    </method>
  </interface>
</node>)";

std::string logPath;
int owned = 0;
guint32 lastId = 0;

void OnMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                  GVariant* parameters, GDBusMethodInvocation* invocation, gpointer) {
  std::ofstream log(logPath, std::ios::app);
  if (g_str_equal(method, "Notify")) {
    const gchar *summary = nullptr, *body = nullptr;
    g_variant_get_child(parameters, 3, "&s", &summary);
    g_variant_get_child(parameters, 4, "&s", &body);
    log << method << " " << summary << " | " << body << "\n";
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", ++lastId));
    return;
  }
  GVariantIter* uris = nullptr;
  const gchar* startupId = nullptr;
  g_variant_get(parameters, "(as&s)", &uris, &startupId);
  const gchar* uri;
  while (g_variant_iter_loop(uris, "&s", &uri)) log << method << " " << uri << "\n";
  g_variant_iter_free(uris);
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

void OnBusAcquired(GDBusConnection* bus, const gchar*, gpointer) {
  static const GDBusInterfaceVTable vtable = {OnMethodCall, nullptr, nullptr, {}};
  GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(introspection, nullptr);
  g_dbus_connection_register_object(bus, "/org/freedesktop/FileManager1", info->interfaces[0], &vtable, nullptr,
                                    nullptr, nullptr);
  g_dbus_connection_register_object(bus, "/org/freedesktop/Notifications", info->interfaces[1], &vtable, nullptr,
                                    nullptr, nullptr);
  g_dbus_node_info_unref(info);
}

void OnNameAcquired(GDBusConnection*, const gchar*, gpointer) {
  if (++owned == 2) std::cout << "ready" << std::endl;
}

void OnNameLost(GDBusConnection*, const gchar* name, gpointer loop) {
  std::cerr << "fake_desktop: could not own " << name << "\n";
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  logPath = argv[1];
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  // Both objects are registered on the first connection; the second name shares it.
  g_bus_own_name(G_BUS_TYPE_SESSION, "org.freedesktop.FileManager1", G_BUS_NAME_OWNER_FLAGS_NONE, OnBusAcquired,
                 OnNameAcquired, OnNameLost, loop, nullptr);
  g_bus_own_name(G_BUS_TYPE_SESSION, "org.freedesktop.Notifications", G_BUS_NAME_OWNER_FLAGS_NONE, nullptr,
                 OnNameAcquired, OnNameLost, loop, nullptr);
  g_main_loop_run(loop);
  return 1;
}
