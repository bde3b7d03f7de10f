// Desktop notifications: org.freedesktop.Notifications.Notify on the session bus, at
// most one per key (a file's name, the mount point) and minute, so that a program that
// writes the same file again and again does not flood the desktop.
//
// Main thread only (the bus answers through the GLib main loop).
#pragma once

#include <cstdint>
#include <map>
#include <string>

typedef struct _GDBusConnection GDBusConnection;

namespace Lyrebox::Tray {

// The once-a-minute rule, with the clock passed in.
class NotificationThrottle {
 public:
  static constexpr std::int64_t kIntervalUs = 60 * 1000000LL;
  // True, and the key remembered, when key was not allowed during the last minute.
  bool Allow(const std::string& key, std::int64_t nowUs);

 private:
  std::map<std::string, std::int64_t> lastShownUs_;
};

class Notifier {
 public:
  // Connects to the session bus; without one, notifications only go to stderr.
  Notifier();
  // Sends what is still queued, so that a notification made just before the
  // application ends is not lost.
  ~Notifier();
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  // Shows summary and body unless the key had a notification less than a minute ago.
  void Notify(const std::string& key, const std::string& summary, const std::string& body);

 private:
  GDBusConnection* bus_;  // owned reference, or null
  NotificationThrottle throttle_;
};

}  // namespace Lyrebox::Tray
