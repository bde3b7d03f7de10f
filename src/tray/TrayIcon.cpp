#include "TrayIcon.h"

#include <libayatana-appindicator/app-indicator.h>

namespace Lyrebox::Tray {

namespace {

// Seconds of the registration watchdog, and the check from which a missing registration
// counts as lost (a normal one takes well under a second).
constexpr int kRegistrationChecks = 15;
constexpr int kRegistrationGrace = 3;

bool WatcherPresent(GDBusConnection* bus) {
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", "org.kde.StatusNotifierWatcher"), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE,
      1000, nullptr, nullptr);
  if (!reply) return false;
  gboolean present = FALSE;
  g_variant_get(reply, "(b)", &present);
  g_variant_unref(reply);
  return present;
}

}  // namespace

TrayIcon::TrayIcon(const std::string& id, const std::string& title, GtkMenu* menu,
                   const std::string& image, const std::string& highlightedImage)
    : id_(id),
      bus_(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)),
      menu_(GTK_MENU(g_object_ref_sink(menu))),
      title_(title),
      image_(image),
      highlightedImage_(highlightedImage),
      shown_(image) {
  MakeIndicator();
  g_signal_connect(menu_, "show", G_CALLBACK(OnMenuShown), this);
  g_signal_connect(menu_, "hide", G_CALLBACK(OnMenuHidden), this);
  // libayatana-appindicator 0.5 watches for the StatusNotifierWatcher while it gets its
  // own bus connection; when the watcher's owner is known first, it cannot make its proxy
  // and never registers the item. A watchdog makes a new indicator when that happened.
  if (bus_) registrationCheck_ = g_timeout_add_seconds(1, OnRegistrationCheck, this);
}

TrayIcon::~TrayIcon() {
  if (registrationCheck_) g_source_remove(registrationCheck_);
  g_signal_handlers_disconnect_by_data(menu_, this);
  app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_PASSIVE);
  g_object_unref(indicator_);
  g_object_unref(menu_);
  if (bus_) g_object_unref(bus_);
}

void TrayIcon::MakeIndicator() {
  indicator_ = app_indicator_new(id_.c_str(), shown_.c_str(), APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
  app_indicator_set_title(indicator_, title_.c_str());
  app_indicator_set_icon_full(indicator_, shown_.c_str(), title_.c_str());
  app_indicator_set_menu(indicator_, menu_);
  app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_ACTIVE);
}

gboolean TrayIcon::OnRegistrationCheck(gpointer data) {
  auto* self = static_cast<TrayIcon*>(data);
  gboolean connected = FALSE;
  g_object_get(self->indicator_, "connected", &connected, nullptr);
  ++self->registrationChecks_;
  if (connected || self->registrationChecks_ >= kRegistrationChecks) {
    self->registrationCheck_ = 0;
    return G_SOURCE_REMOVE;
  }
  // Without a watcher the indicator shows its fallback icon: nothing is lost.
  if (self->registrationChecks_ >= kRegistrationGrace && WatcherPresent(self->bus_)) {
    // The lost indicator holds a stray reference to itself (taken for the proxy it could
    // not make) and its object on the bus: dispose of it by force, which releases what it
    // holds so that the new one can take the same path, and leave the empty shell.
    AppIndicator* lost = self->indicator_;
    app_indicator_set_status(lost, APP_INDICATOR_STATUS_PASSIVE);
    g_object_run_dispose(G_OBJECT(lost));
    self->MakeIndicator();
  }
  return G_SOURCE_CONTINUE;
}

void TrayIcon::SetImages(const std::string& image, const std::string& highlightedImage) {
  image_ = image;
  highlightedImage_ = highlightedImage;
  Show();
}

void TrayIcon::Show() {
  const std::string& wanted = highlighted_ ? highlightedImage_ : image_;
  if (wanted == shown_) return;
  shown_ = wanted;
  // An absolute path is sent as the icon name; both the StatusNotifierItem hosts and the
  // XEmbed fallback load it as a file.
  app_indicator_set_icon_full(indicator_, wanted.c_str(), title_.c_str());
}

void TrayIcon::OnMenuShown(GtkWidget*, gpointer self) {
  static_cast<TrayIcon*>(self)->highlighted_ = true;
  static_cast<TrayIcon*>(self)->Show();
}

void TrayIcon::OnMenuHidden(GtkWidget*, gpointer self) {
  static_cast<TrayIcon*>(self)->highlighted_ = false;
  static_cast<TrayIcon*>(self)->Show();
}

}  // namespace Lyrebox::Tray
