#include "Notifier.h"

#include <gio/gio.h>

#include <iostream>

namespace Lyrebox::Tray {

namespace {

constexpr int kNotifyTimeoutMs = 5000;

void OnNotifyAnswer(GObject* source, GAsyncResult* result, gpointer) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  if (reply) g_variant_unref(reply);
  if (error) {
    std::cerr << "No notification shown: " << error->message << std::endl;
    g_error_free(error);
  }
}

}  // namespace

bool NotificationThrottle::Allow(const std::string& key, std::int64_t nowUs) {
  auto it = lastShownUs_.find(key);
  if (it != lastShownUs_.end() && nowUs - it->second < kIntervalUs) return false;
  lastShownUs_[key] = nowUs;
  return true;
}

Notifier::Notifier() : bus_(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {}

Notifier::~Notifier() {
  if (!bus_) return;
  g_dbus_connection_flush_sync(bus_, nullptr, nullptr);
  g_object_unref(bus_);
}

void Notifier::Notify(const std::string& key, const std::string& summary, const std::string& body) {
  if (!throttle_.Allow(key, g_get_monotonic_time())) return;
  if (!bus_) {
    std::cerr << "No session bus for the notification: " << summary << std::endl;
    return;
  }
  GVariantBuilder hints;
  g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string("lyrebox-tray"));
  // Notify(app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout)
  g_dbus_connection_call(bus_, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                         "org.freedesktop.Notifications", "Notify",
                         g_variant_new("(susssasa{sv}i)", "Lyrebox", 0u, "lyrebox", summary.c_str(),
                                       body.c_str(), nullptr, &hints, -1),
                         G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, kNotifyTimeoutMs, nullptr,
                         OnNotifyAnswer, nullptr);
}

}  // namespace Lyrebox::Tray
