// A stand-in for the desktop's file manager in the tray's end-to-end test: owns
// org.freedesktop.FileManager1 on the session bus and writes each ShowItems request it
// gets, one line per URI ("ShowItems file:///..."), to the log file named on the
// command line. Prints "ready" on stdout once the name is owned; ends when it loses the
// name (status 1) or by a signal.
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
</node>)";

std::string logPath;

void OnMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                  GVariant* parameters, GDBusMethodInvocation* invocation, gpointer) {
  GVariantIter* uris = nullptr;
  const gchar* startupId = nullptr;
  g_variant_get(parameters, "(as&s)", &uris, &startupId);
  std::ofstream log(logPath, std::ios::app);
  const gchar* uri;
  while (g_variant_iter_loop(uris, "&s", &uri)) log << method << " " << uri << "\n";
  g_variant_iter_free(uris);
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

void OnBusAcquired(GDBusConnection* bus, const gchar*, gpointer) {
  static const GDBusInterfaceVTable vtable = {OnMethodCall, nullptr, nullptr, {}};
  GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(introspection, nullptr);
  g_dbus_connection_register_object(bus, "/org/freedesktop/FileManager1", info->interfaces[0],
                                    &vtable, nullptr, nullptr, nullptr);
  g_dbus_node_info_unref(info);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  logPath = argv[1];
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_bus_own_name(
      G_BUS_TYPE_SESSION, "org.freedesktop.FileManager1", G_BUS_NAME_OWNER_FLAGS_NONE, OnBusAcquired,
      [](GDBusConnection*, const gchar*, gpointer) { std::cout << "ready" << std::endl; },
      [](GDBusConnection*, const gchar*, gpointer loop) { g_main_loop_quit(static_cast<GMainLoop*>(loop)); },
      loop, nullptr);
  g_main_loop_run(loop);
  std::cerr << "fake_file_manager: could not own org.freedesktop.FileManager1\n";
  return 1;
}
