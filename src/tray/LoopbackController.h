// The tray application's one controller: builds the status item with its menu (the
// encodings in progress, compression, "Start at Login", "Quit") and turning icon, asks
// for the root folder (or takes the one mounted last time), mounts the volume on a
// thread of its own, shows it in the file viewer, tells by desktop notification about
// data kept as WAV, and ends the application on "Quit", on a failed mount or when the
// volume is unmounted from outside (with a notification), unmounting first.
//
// Main thread only. The mount thread's events and the conversion events of the FUSE
// threads are carried over to the main thread; the turning icon is driven by a GLib
// timeout on the main thread, since GTK may only be called from there.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CompressionSetting.h"
#include "EncodingList.h"
#include "IconAnimation.h"
#include "MountSession.h"
#include "Notifier.h"
#include "RotatedImages.h"
#include "TrayIcon.h"
#include "transcode/Events.h"

namespace Lyrebox::Tray {

class LoopbackController {
 public:
  struct Options {
    std::string folder;           // pre-answers the folder panel when not empty
    bool lastFolder = false;      // without folder: the one mounted last time, if any
    std::string fakeMount;        // "ok" or "fail:REASON" instead of the real volume
    std::string preferencesPath;  // the key file holding "Compression" and "Folder"
    std::string iconFolder;       // where the icon pictures are written
    std::string autostartPath;    // the "Start at Login" entry
    std::string program;          // this program's path, for the autostart entry
    int testEncodeSeconds = 0;    // > 0: SIGUSR1 plays an encoding of that length
  };

  explicit LoopbackController(Options options);
  ~LoopbackController();
  LoopbackController(const LoopbackController&) = delete;
  LoopbackController& operator=(const LoopbackController&) = delete;

  // The start-up sequence; called once from the running main loop. When the icon
  // pictures cannot be written, the reason goes to stderr and the application ends
  // with status 1.
  void ApplicationDidFinishLaunching();
  // Stops the icon, unmounts and removes the mount point, and leaves the main loop with
  // status. Later calls do nothing.
  void ApplicationShouldTerminate(int status);
  int ExitStatus() const { return exitStatus_; }
  // Test hook: the icon behaves as if an encoding ran for options.testEncodeSeconds.
  void PlayTestEncoding();

 private:
  void SetupMenu();
  GtkWidget* BuildMenu();
  void SetCompression(int level);
  void ValidateMenuItems();
  void ValidateStartAtLogin();
  std::string RememberedFolder() const;
  void RunFolderPanel();
  void DidChooseFolder(const std::string& root);
  void MountFailed(const std::string& error);
  void DidMount(const std::string& mountPoint);
  void DidUnmount();
  void DidConvert(const Vantor::ConversionEvent& event);
  void SyncEncodingItems();
  bool BuildRotatedImages();
  void ScheduleStep(IconAnimation::Step step);
  void SetImageIndex(int index);
  bool IsEncodingNow() const;
  void PostToMain(std::function<void()> event);

  static void OnLevelActivated(GtkMenuItem* item, gpointer self);
  static void OnQuitActivated(GtkMenuItem* item, gpointer self);
  static void OnStartAtLoginActivated(GtkMenuItem* item, gpointer self);
  static void OnSubmenuShown(GtkWidget* menu, gpointer self);
  static void OnFolderPanelResponse(GtkDialog* dialog, int response, gpointer self);
  static void OnAlertResponse(GtkDialog* dialog, int response, gpointer self);
  static gboolean OnAnimationTimer(gpointer self);

  Options options_;
  CompressionSetting compression_;
  std::vector<GtkCheckMenuItem*> levelItems_;  // owned by the menu
  GtkWidget* menu_ = nullptr;                  // owned by item_
  std::vector<GtkWidget*> encodingItems_;      // owned by the menu, one per line
  GtkWidget* encodingSeparator_ = nullptr;     // owned by the menu
  GtkCheckMenuItem* startAtLogin_ = nullptr;   // owned by the menu
  EncodingList encodings_;
  Notifier notifier_;
  bool syncingMenu_ = false;   // set while the check marks are being updated
  bool buildingMenu_ = false;  // set while the menu is handed to the tray
  std::unique_ptr<TrayIcon> item_;
  IconFiles icons_;
  std::vector<std::string> rotatedImages_;     // 48 normal images, opacity 0.8
  std::vector<std::string> rotatedImagesRev_;  // 48 highlighted images
  IconAnimation animation_;
  guint animationSource_ = 0;
  bool stopThread_ = false;
  gint64 testEncodingUntil_ = 0;  // monotonic microseconds
  GtkWidget* folderPanel_ = nullptr;
  GtkWidget* alert_ = nullptr;
  bool observing_ = false;  // the mount thread's events are taken
  std::string root_;        // the root folder, absolute
  std::string mountPoint_;  // made by us, removed after unmounting
  std::unique_ptr<MountThread> mount_;
  bool terminating_ = false;
  int exitStatus_ = 0;
};

}  // namespace Lyrebox::Tray
