// lyrebox-tray: the desktop shell. Shows Lyrebox in the tray, asks for the root folder
// (or takes it from the command line), mounts the volume and serves it until "Quit".
#include <glib-unix.h>
#include <gtk/gtk.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "Autostart.h"
#include "LoopbackController.h"
#include "fs/Preferences.h"

namespace {

using Lyrebox::Tray::LoopbackController;

#ifndef LYREBOX_VERSION
#define LYREBOX_VERSION "unknown"
#endif

constexpr const char* usage =
    "Usage: lyrebox-tray [OPTIONS] [DIR]\n"
    "\n"
    "Shows Lyrebox in the desktop's tray and mounts the folder DIR (asked for when not\n"
    "given) at \"$HOME/Lyrebox\" (\"$HOME/Lyrebox N\" when that is taken) as a volume in\n"
    "which every FLAC file appears as a WAV file and every WAV file written into it is\n"
    "stored as a FLAC file. The volume stays mounted until \"Quit\" in the tray's menu or\n"
    "until it is unmounted from outside.\n"
    "\n"
    "The menu lists the encodings in progress, picks the FLAC compression level, and\n"
    "with \"Start at Login\" makes the desktop start lyrebox-tray --last-folder at login.\n"
    "A WAV file that could not be encoded and was kept as WAV, and an unmount from\n"
    "outside, are told by desktop notification.\n"
    "\n"
    "Options:\n"
    "      --folder DIR     the folder to mount (the same as DIR)\n"
    "      --last-folder    without DIR: mount the folder mounted last time, without\n"
    "                       asking (asked for when there is none)\n"
    "  -V, --version        print the version and exit\n"
    "  -h, --help           print this help and exit\n"
    "\n"
    "GTK's own options (such as --display DISPLAY) are accepted too. Without a display\n"
    "only --help and --version work.\n";

// --help and --version, answered before GTK looks for a display; false when neither
// was asked for.
bool AnswerInformation(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << usage;
      return true;
    }
    if (arg == "--version" || arg == "-V") {
      std::cout << "lyrebox-tray " << LYREBOX_VERSION << "\n";
      return true;
    }
  }
  return false;
}

// Parses the arguments GTK left; false (with the exit status set) when the program ends.
bool ParseArguments(int argc, char** argv, LoopbackController::Options& options, int& status) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--last-folder") {
      options.lastFolder = true;
    } else if (arg == "--folder" && i + 1 < argc) {
      options.folder = argv[++i];
    } else if (arg.rfind("--folder=", 0) == 0) {
      options.folder = arg.substr(9);
    } else if (arg.rfind("--fake-mount=", 0) == 0) {  // headless tests of the shell
      options.fakeMount = arg.substr(13);
      if (!Lyrebox::Tray::MakeFakeSession(options.fakeMount)) {
        std::cerr << "lyrebox-tray: --fake-mount takes ok or fail:REASON\n";
        status = 2;
        return false;
      }
    } else if (!arg.empty() && arg[0] != '-' && options.folder.empty()) {
      options.folder = arg;
    } else {
      std::cerr << "lyrebox-tray: unexpected argument " << arg << " (see --help)\n";
      status = 2;
      return false;
    }
  }
  return true;
}

gboolean OnTerminateSignal(gpointer controller) {
  static_cast<LoopbackController*>(controller)->ApplicationShouldTerminate(0);
  return G_SOURCE_CONTINUE;
}

gboolean OnTestEncodeSignal(gpointer controller) {
  static_cast<LoopbackController*>(controller)->PlayTestEncoding();
  return G_SOURCE_CONTINUE;
}

gboolean OnLaunched(gpointer controller) {
  static_cast<LoopbackController*>(controller)->ApplicationDidFinishLaunching();
  return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
  if (AnswerInformation(argc, argv)) return 0;
  if (!gtk_init_check(&argc, &argv)) {
    std::cerr << "lyrebox-tray: cannot open the display\n";
    return 1;
  }
  LoopbackController::Options options;
  int status = 0;
  if (!ParseArguments(argc, argv, options, status)) return status;
  options.preferencesPath = Lyrebox::PreferencesPath();
  options.autostartPath = Lyrebox::Tray::AutostartPath();
  gchar* program = g_file_read_link("/proc/self/exe", nullptr);
  options.program = program ? program : "lyrebox-tray";
  g_free(program);
  options.iconFolder = std::string(g_get_user_cache_dir()) + "/lyrebox/icons";
  if (const char* seconds = std::getenv("LYREBOX_TRAY_TEST_ENCODE")) {
    options.testEncodeSeconds = std::atoi(seconds);
  }

  LoopbackController controller(options);
  // Quitting by signal unmounts like "Quit" does.
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) g_unix_signal_add(signal, OnTerminateSignal, &controller);
  if (options.testEncodeSeconds > 0) g_unix_signal_add(SIGUSR1, OnTestEncodeSignal, &controller);
  g_idle_add(OnLaunched, &controller);
  gtk_main();
  return controller.ExitStatus();
}
