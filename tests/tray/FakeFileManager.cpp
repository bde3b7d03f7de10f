// A stand-in for the desktop's file manager in the tray's end-to-end test: owns
// org.freedesktop.FileManager1 on the session bus and writes each request it gets, one
// line per URI ("ShowItems file:///..."), to the log file named on the command line.
// Prints "ready" on stdout once the name is owned; exits when it loses the name or gets
// SIGTERM.
#include <gio/gio.h>
#include <glib-unix.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

namespace {

constexpr const char* introspection = R"(
<node>
  <interface name="org.freedesktop.FileManager1">
    <method name="ShowFolders"><arg type="as" direction="in"/><arg type="s" direction="in"/></method>
    <method name="ShowItems"><arg type="as" direction="in"/><arg type="s" direction="in"/></method>
    <method name="ShowItemProperties"><arg type="as" direction="in"/><arg type="s" direction="in"/></method>
  </interface>
</node>)";

std::string logPath;
GMainLoop* loop = nullptr;

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

void OnNameAcquired(GDBusConnection*, const gchar*, gpointer) {
  std::cout << "ready" << std::endl;
}

void OnNameLost(GDBusConnection*, const gchar* name, gpointer) {
  std::cerr << "fake_file_manager: could not own " << name << std::endl;
  g_main_loop_quit(loop);
}

gboolean OnSignal(gpointer) {
  g_main_loop_quit(loop);
  return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: fake_file_manager LOGFILE\n";
    return 2;
  }
  logPath = argv[1];
  loop = g_main_loop_new(nullptr, FALSE);
  g_unix_signal_add(SIGTERM, OnSignal, nullptr);
  g_unix_signal_add(SIGINT, OnSignal, nullptr);
  guint owner = g_bus_own_name(G_BUS_TYPE_SESSION, "org.freedesktop.FileManager1",
                               G_BUS_NAME_OWNER_FLAGS_NONE, OnBusAcquired, OnNameAcquired,
                               OnNameLost, nullptr, nullptr);
  g_main_loop_run(loop);
  g_bus_unown_name(owner);
  g_main_loop_unref(loop);
  return 0;
}
