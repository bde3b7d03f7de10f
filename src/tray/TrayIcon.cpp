#include "TrayIcon.h"

#include <libayatana-appindicator/app-indicator.h>

namespace Lyrebox::Tray {

TrayIcon::TrayIcon(const std::string& id, const std::string& title, GtkMenu* menu,
                   const std::string& image, const std::string& highlightedImage)
    : indicator_(app_indicator_new(id.c_str(), image.c_str(),
                                   APP_INDICATOR_CATEGORY_APPLICATION_STATUS)),
      menu_(GTK_MENU(g_object_ref_sink(menu))),
      title_(title),
      image_(image),
      highlightedImage_(highlightedImage),
      shown_(image) {
  app_indicator_set_title(indicator_, title.c_str());
  app_indicator_set_icon_full(indicator_, image.c_str(), title.c_str());
  app_indicator_set_menu(indicator_, menu_);
  g_signal_connect(menu_, "show", G_CALLBACK(OnMenuShown), this);
  g_signal_connect(menu_, "hide", G_CALLBACK(OnMenuHidden), this);
  app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_ACTIVE);
}

TrayIcon::~TrayIcon() {
  g_signal_handlers_disconnect_by_data(menu_, this);
  app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_PASSIVE);
  g_object_unref(indicator_);
  g_object_unref(menu_);
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
