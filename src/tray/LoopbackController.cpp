#include "LoopbackController.h"

#include <iostream>
#include <utility>

#include "Autostart.h"
#include "Reveal.h"
#include "audio/FLACEncode.h"
#include "audio/InfoTags.h"
#include "fs/MountPoint.h"
#include "fs/Preferences.h"

namespace Lyrebox::Tray {

namespace {

constexpr const char* levelKey = "lyrebox-level";
constexpr const char* folderKey = "Folder";

// The application's log: standard error, one line per notice.
void Log(const std::string& line) { std::cerr << line << std::endl; }

gboolean RunPosted(gpointer data) {
  (*static_cast<std::function<void()>*>(data))();
  return G_SOURCE_REMOVE;
}

void DeletePosted(gpointer data) { delete static_cast<std::function<void()>*>(data); }

}  // namespace

LoopbackController::LoopbackController(Options options)
    : options_(std::move(options)),
      compression_(options_.preferencesPath, ::SetCompression),
      animation_([this] { return IsEncodingNow(); }) {}

LoopbackController::~LoopbackController() {
  Vantor::SetConversionListener({});
  if (animationSource_) g_source_remove(animationSource_);
  if (folderPanel_) gtk_widget_destroy(folderPanel_);
  if (alert_) gtk_widget_destroy(alert_);
  mount_.reset();
}

void LoopbackController::ApplicationDidFinishLaunching() {
  Log("Log file: " + LogFile());
  SetupMenu();
  if (terminating_) return;
  std::string folder = options_.folder;
  if (folder.empty() && options_.lastFolder) folder = RememberedFolder();
  if (folder.empty()) {
    RunFolderPanel();
  } else {
    DidChooseFolder(folder);
  }
}

std::string LoopbackController::RememberedFolder() const {
  std::optional<std::string> folder = LoadPreference(options_.preferencesPath, folderKey);
  if (!folder) return "";
  if (!g_file_test(folder->c_str(), G_FILE_TEST_IS_DIR)) {
    Log("The folder mounted last time is not there: " + *folder);
    return "";
  }
  return *folder;
}

void LoopbackController::SetupMenu() {
  compression_.Load();
  // Tags in the images are a preference of the key file (the command line's --tags).
  Vantor::Audio::SetTagsEnabled(LoadTags(options_.preferencesPath));
  // The pictures first, so that the item never shows up without one.
  if (!BuildRotatedImages()) {
    ApplicationShouldTerminate(1);
    return;
  }
  // libdbusmenu activates the top-level items of a menu while it exports it; "Quit" must
  // not count then.
  buildingMenu_ = true;
  item_ = std::make_unique<TrayIcon>("lyrebox-tray", "Lyrebox", GTK_MENU(BuildMenu()),
                                     icons_.mini, icons_.miniRev);
  buildingMenu_ = false;
  ScheduleStep(animation_.Start());
}

GtkWidget* LoopbackController::BuildMenu() {
  GtkWidget* levels = gtk_menu_new();
  for (const CompressionLevel& level : compressionLevels) {
    GtkWidget* item = gtk_check_menu_item_new_with_label(level.title);
    gtk_check_menu_item_set_draw_as_radio(GTK_CHECK_MENU_ITEM(item), TRUE);
    g_object_set_data(G_OBJECT(item), levelKey, GINT_TO_POINTER(level.tag));
    g_signal_connect(item, "activate", G_CALLBACK(OnLevelActivated), this);
    gtk_menu_shell_append(GTK_MENU_SHELL(levels), item);
    levelItems_.push_back(GTK_CHECK_MENU_ITEM(item));
  }
  g_signal_connect(levels, "show", G_CALLBACK(OnSubmenuShown), this);
  ValidateMenuItems();

  GtkWidget* compression = gtk_menu_item_new_with_label("FLAC Compression");
  gtk_menu_item_set_submenu(GTK_MENU_ITEM(compression), levels);
  // The exported menu activates an item just before the tray host shows its submenu.
  g_signal_connect(compression, "activate", G_CALLBACK(OnSubmenuShown), this);
  GtkWidget* startAtLogin = gtk_check_menu_item_new_with_label("Start at Login");
  startAtLogin_ = GTK_CHECK_MENU_ITEM(startAtLogin);
  g_signal_connect(startAtLogin, "activate", G_CALLBACK(OnStartAtLoginActivated), this);
  ValidateStartAtLogin();
  GtkWidget* quit = gtk_menu_item_new_with_label("Quit");
  g_signal_connect(quit, "activate", G_CALLBACK(OnQuitActivated), this);

  // The lines of the encodings in progress go above the separator (SyncEncodingItems).
  menu_ = gtk_menu_new();
  encodingSeparator_ = gtk_separator_menu_item_new();
  gtk_menu_shell_append(GTK_MENU_SHELL(menu_), encodingSeparator_);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu_), compression);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu_), startAtLogin);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu_), quit);
  gtk_widget_show_all(menu_);
  gtk_widget_hide(encodingSeparator_);
  return menu_;
}

void LoopbackController::SyncEncodingItems() {
  const std::vector<std::string> lines = encodings_.Lines();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i < encodingItems_.size()) {
      gtk_menu_item_set_label(GTK_MENU_ITEM(encodingItems_[i]), lines[i].c_str());
      continue;
    }
    GtkWidget* item = gtk_menu_item_new_with_label(lines[i].c_str());
    gtk_widget_set_sensitive(item, FALSE);
    gtk_menu_shell_insert(GTK_MENU_SHELL(menu_), item, static_cast<gint>(i));
    gtk_widget_show(item);
    encodingItems_.push_back(item);
  }
  while (encodingItems_.size() > lines.size()) {
    gtk_widget_destroy(encodingItems_.back());
    encodingItems_.pop_back();
  }
  gtk_widget_set_visible(encodingSeparator_, !lines.empty());
}

void LoopbackController::ValidateStartAtLogin() {
  syncingMenu_ = true;
  gtk_check_menu_item_set_active(startAtLogin_, AutostartEnabled(options_.autostartPath));
  syncingMenu_ = false;
}

void LoopbackController::OnStartAtLoginActivated(GtkMenuItem*, gpointer self) {
  auto* controller = static_cast<LoopbackController*>(self);
  if (controller->syncingMenu_ || controller->buildingMenu_) return;
  const std::string& path = controller->options_.autostartPath;
  std::string error;
  bool done = AutostartEnabled(path) ? DisableAutostart(path, error)
                                     : EnableAutostart(path, controller->options_.program, error);
  if (!done) Log("Start at Login: " + error);
  controller->ValidateStartAtLogin();
}

void LoopbackController::SetCompression(int level) {
  std::string error;
  if (!compression_.Choose(level, error)) Log(error);
  ValidateMenuItems();
}

void LoopbackController::ValidateMenuItems() {
  // Setting a check item's state activates it; the flag keeps that from counting as a
  // choice of the user.
  syncingMenu_ = true;
  for (GtkCheckMenuItem* item : levelItems_) {
    int tag = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(item), levelKey));
    gtk_check_menu_item_set_active(item, compression_.IsChecked(tag));
  }
  syncingMenu_ = false;
}

void LoopbackController::RunFolderPanel() {
  folderPanel_ = gtk_file_chooser_dialog_new("Select a Folder", nullptr,
                                             GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "_Cancel",
                                             GTK_RESPONSE_CANCEL, "_Open", GTK_RESPONSE_ACCEPT,
                                             nullptr);
  GtkFileChooser* chooser = GTK_FILE_CHOOSER(folderPanel_);
  gtk_file_chooser_set_select_multiple(chooser, FALSE);
  gtk_file_chooser_set_local_only(chooser, TRUE);
  gtk_file_chooser_set_current_folder(chooser, g_get_home_dir());
  gtk_dialog_set_default_response(GTK_DIALOG(folderPanel_), GTK_RESPONSE_ACCEPT);
  gtk_window_set_position(GTK_WINDOW(folderPanel_), GTK_WIN_POS_CENTER);

  GtkWidget* message = gtk_label_new("Select the folder to run with Lyrebox");
  gtk_widget_set_margin_top(message, 8);
  gtk_widget_set_margin_bottom(message, 8);
  GtkWidget* content = gtk_dialog_get_content_area(GTK_DIALOG(folderPanel_));
  gtk_box_pack_start(GTK_BOX(content), message, FALSE, FALSE, 0);
  gtk_box_reorder_child(GTK_BOX(content), message, 0);
  gtk_widget_show(message);

  g_signal_connect(folderPanel_, "response", G_CALLBACK(OnFolderPanelResponse), this);
  gtk_window_present(GTK_WINDOW(folderPanel_));
  // The chooser picks its own size when shown; a modest one fits small screens too.
  gtk_window_resize(GTK_WINDOW(folderPanel_), 720, 480);
}

void LoopbackController::OnFolderPanelResponse(GtkDialog* dialog, int response, gpointer self) {
  auto* controller = static_cast<LoopbackController*>(self);
  GSList* paths = nullptr;
  if (response == GTK_RESPONSE_ACCEPT) paths = gtk_file_chooser_get_filenames(GTK_FILE_CHOOSER(dialog));
  std::string root;
  bool one = paths != nullptr && paths->next == nullptr;
  if (one) root = static_cast<const char*>(paths->data);
  g_slist_free_full(paths, g_free);
  gtk_widget_destroy(GTK_WIDGET(dialog));
  controller->folderPanel_ = nullptr;
  // Cancelled, or not exactly one folder: the application ends quietly.
  if (!one) {
    controller->ApplicationShouldTerminate(0);
    return;
  }
  controller->DidChooseFolder(root);
}

void LoopbackController::DidChooseFolder(const std::string& root) {
  observing_ = true;
  gchar* absolute = g_canonicalize_filename(root.c_str(), nullptr);
  root_ = absolute;
  g_free(absolute);
  std::string error;
  mountPoint_ = CreateMountPoint(error);
  if (mountPoint_.empty()) {
    MountFailed(error);
    return;
  }
  Log("Mounting " + root_ + " at " + mountPoint_);
  Vantor::SetConversionListener([this](const Vantor::ConversionEvent& event) {
    PostToMain([this, event] { DidConvert(event); });
  });
  std::unique_ptr<MountSession> session = options_.fakeMount.empty()
                                              ? MakeVolumeSession(root_, mountPoint_)
                                              : MakeFakeSession(options_.fakeMount);
  MountEvents events;
  events.mountFailed = [this](const std::string& error) {
    PostToMain([this, error] { MountFailed(error); });
  };
  events.didMount = [this](const std::string& path) {
    PostToMain([this, path] { DidMount(path); });
  };
  events.didUnmount = [this] { PostToMain([this] { DidUnmount(); }); };
  mount_ = std::make_unique<MountThread>(std::move(session), mountPoint_, std::move(events));
}

void LoopbackController::PostToMain(std::function<void()> event) {
  // Runs event on the main thread unless the controller has stopped observing by then.
  auto* posted = new std::function<void()>([this, event = std::move(event)] {
    if (observing_) event();
  });
  g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, RunPosted, posted, DeletePosted);
}

void LoopbackController::MountFailed(const std::string& error) {
  Log("Got mountFailed notification.");
  Log("Mount Failed: " + error);
  observing_ = false;
  alert_ = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK,
                                  "Mount Failed");
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(alert_), "%s", error.c_str());
  gtk_window_set_title(GTK_WINDOW(alert_), "Mount Failed");
  g_signal_connect(alert_, "response", G_CALLBACK(OnAlertResponse), this);
  gtk_window_present(GTK_WINDOW(alert_));
}

void LoopbackController::OnAlertResponse(GtkDialog* dialog, int, gpointer self) {
  auto* controller = static_cast<LoopbackController*>(self);
  gtk_widget_destroy(GTK_WIDGET(dialog));
  controller->alert_ = nullptr;
  controller->ApplicationShouldTerminate(1);
}

void LoopbackController::DidMount(const std::string& mountPoint) {
  Log("Got didMount notification.");
  // The folder for "Start at Login" (--last-folder).
  if (!StorePreference(options_.preferencesPath, folderKey, root_))
    Log("Could not remember the folder in " + options_.preferencesPath);
  RevealInFileViewer(mountPoint, DesktopRevealActions());
}

void LoopbackController::DidUnmount() {
  Log("Got didUnmount notification.");
  notifier_.Notify(mountPoint_, "Lyrebox volume unmounted",
                   mountPoint_ + " was unmounted from outside, so Lyrebox has quit.");
  ApplicationShouldTerminate(0);
}

void LoopbackController::DidConvert(const Vantor::ConversionEvent& event) {
  if (event.kind == Vantor::ConversionEvent::Kind::kKeptAsWAV) {
    Log("Kept as WAV: " + event.name + " (" + event.reason + ")");
    notifier_.Notify(event.name, event.name + " was kept as WAV",
                     "Lyrebox could not encode " + event.name + " to FLAC: " + event.reason +
                         ". It is stored as a WAV file in " + root_ + ".");
    return;
  }
  if (encodings_.Apply(event)) SyncEncodingItems();
}

void LoopbackController::ApplicationShouldTerminate(int status) {
  if (terminating_) return;
  terminating_ = true;
  exitStatus_ = status;
  stopThread_ = true;
  if (animationSource_) {
    g_source_remove(animationSource_);
    animationSource_ = 0;
  }
  // Events still on their way (the unmount we cause among them) are dropped.
  observing_ = false;
  Vantor::SetConversionListener({});
  if (mount_) {
    mount_->Stop();
    mount_.reset();
  }
  if (!mountPoint_.empty()) {
    RemoveMountPoint(mountPoint_);
    mountPoint_.clear();
  }
  gtk_main_quit();
}

void LoopbackController::OnLevelActivated(GtkMenuItem* item, gpointer self) {
  auto* controller = static_cast<LoopbackController*>(self);
  if (controller->syncingMenu_) return;
  controller->SetCompression(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(item), levelKey)));
}

void LoopbackController::OnQuitActivated(GtkMenuItem*, gpointer self) {
  auto* controller = static_cast<LoopbackController*>(self);
  if (!controller->buildingMenu_) controller->ApplicationShouldTerminate(0);
}

void LoopbackController::OnSubmenuShown(GtkWidget*, gpointer self) {
  // Before the levels are shown: exactly the stored level carries the check mark.
  static_cast<LoopbackController*>(self)->ValidateMenuItems();
}

bool LoopbackController::BuildRotatedImages() {
  std::string error;
  if (!WriteIconFiles(options_.iconFolder, IconAnimation::rotationSteps, icons_, error)) {
    Log("lyrebox-tray: " + error);
    return false;
  }
  rotatedImages_ = icons_.rotated;
  rotatedImagesRev_ = icons_.rotatedRev;
  return true;
}

void LoopbackController::PlayTestEncoding() {
  testEncodingUntil_ = g_get_monotonic_time() + options_.testEncodeSeconds * G_USEC_PER_SEC;
}

bool LoopbackController::IsEncodingNow() const {
  return ::IsEncoding() || g_get_monotonic_time() < testEncodingUntil_;
}

void LoopbackController::ScheduleStep(IconAnimation::Step step) {
  if (step.index != IconAnimation::noChange) SetImageIndex(step.index);
  animationSource_ = g_timeout_add(step.delayMs, OnAnimationTimer, this);
}

gboolean LoopbackController::OnAnimationTimer(gpointer self) {
  auto* controller = static_cast<LoopbackController*>(self);
  controller->animationSource_ = 0;
  if (!controller->stopThread_) controller->ScheduleStep(controller->animation_.Advance());
  return G_SOURCE_REMOVE;
}

void LoopbackController::SetImageIndex(int index) {
  item_->SetImages(rotatedImages_[index], rotatedImagesRev_[index]);
}

}  // namespace Lyrebox::Tray
