// "Start at Login": the autostart entry, launched by GLib as a desktop launches it,
// runs this very program with --last-folder, also from a path that needs quoting; and
// it counts as off once a desktop's session settings hide it.
#include <gio/gdesktopappinfo.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Autostart.h"
#include "TestUtil.h"

namespace {

using namespace Lyrebox::Tray;
using TestUtil::ReadFile;
using TestUtil::TempDir;
using TestUtil::WriteFile;

TEST(Autostart, EntryStartsThisProgramWithTheLastFolder) {
  TempDir dir;
  const std::string folder = dir.File("my \"apps\" $HOME `x` \\ here");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  const std::string program = folder + "/lyrebox-tray";
  WriteFile(program, "#!/bin/sh\nprintf '%s|' \"$0\" \"$@\" > \"$0.args\"\n");
  ASSERT_EQ(chmod(program.c_str(), 0755), 0);
  const std::string entry = dir.File("autostart/lyrebox-tray.desktop");

  std::string error;
  EXPECT_FALSE(AutostartEnabled(entry));
  ASSERT_TRUE(EnableAutostart(entry, program, error)) << error;
  EXPECT_TRUE(AutostartEnabled(entry));
  GDesktopAppInfo* info = g_desktop_app_info_new_from_filename(entry.c_str());
  ASSERT_NE(info, nullptr) << ReadFile(entry);
  EXPECT_TRUE(g_app_info_launch(G_APP_INFO(info), nullptr, nullptr, nullptr)) << ReadFile(entry);
  g_object_unref(info);
  for (int i = 0; i < 500 && !TestUtil::FileExists(program + ".args"); ++i) usleep(10000);
  EXPECT_EQ(TestUtil::FileExists(program + ".args") ? ReadFile(program + ".args") : "", program + "|--last-folder|");

  WriteFile(entry, ReadFile(entry) + "Hidden=true\n");
  EXPECT_FALSE(AutostartEnabled(entry));
  ASSERT_TRUE(DisableAutostart(entry, error)) << error;
  EXPECT_FALSE(TestUtil::FileExists(entry));
  EXPECT_TRUE(DisableAutostart(entry, error)) << "already off";
}

}  // namespace
