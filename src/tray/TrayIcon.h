// The status item in the desktop's tray: an icon (given as a PNG path) with a menu that
// opens on a click. Behind this one class so that the tray mechanism can be swapped;
// today it is libayatana-appindicator, which speaks StatusNotifierItem over D-Bus and
// falls back to an XEmbed icon when no StatusNotifierWatcher is present.
//
// Main thread only.
#pragma once

#include <gtk/gtk.h>

#include <string>

typedef struct _AppIndicator AppIndicator;

namespace Lyrebox::Tray {

class TrayIcon {
 public:
  // Shows the item with the given menu (a reference to it is kept) and images (see
  // SetImages).
  TrayIcon(const std::string& id, const std::string& title, GtkMenu* menu,
           const std::string& image, const std::string& highlightedImage);
  ~TrayIcon();
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;

  // image is shown normally, highlightedImage while the menu is open (where the tray
  // lets us know that it is).
  void SetImages(const std::string& image, const std::string& highlightedImage);

 private:
  void MakeIndicator();
  static gboolean OnRegistrationCheck(gpointer self);
  static void OnMenuShown(GtkWidget* menu, gpointer self);
  static void OnMenuHidden(GtkWidget* menu, gpointer self);
  void Show();

  std::string id_;
  GDBusConnection* bus_;  // the session bus (null without one), for the watchdog
  AppIndicator* indicator_ = nullptr;
  GtkMenu* menu_;
  std::string title_;
  std::string image_;
  std::string highlightedImage_;
  std::string shown_;
  bool highlighted_ = false;
  guint registrationCheck_ = 0;
  int registrationChecks_ = 0;
};

}  // namespace Lyrebox::Tray
