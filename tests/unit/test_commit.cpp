// The commit of unnamed files: a destination is replaced only by a complete file, never
// followed when it is a link, keeps what it had when the commit fails, and leaves no name
// behind; the new file takes the traits of the file it replaces.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "TestUtil.h"
#include "transcode/Commit.h"

using namespace TestUtil;
using Vantor::UniqueFd;
using Vantor::UnnamedFile;

namespace {

void Fill(UnnamedFile& f, const std::string& bytes) {
  ASSERT_EQ(pwrite(f.Fd(), bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
}

}  // namespace

TEST(Commit, ReplacesAtomicallyAndNeverFollowsLinks) {
  TempDir dir, outside;
  UniqueFd folder(open(dir.Path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  WriteFile(outside.File("target"), "outside");
  ASSERT_EQ(symlink(outside.File("target").c_str(), dir.File("link").c_str()), 0);
  WriteFile(dir.File("old"), "old");
  ASSERT_EQ(mkdir(dir.File("folder").c_str(), 0755), 0);
  WriteFile(dir.File("folder/inside"), "x");

  // Destination, replace or not, the result, the destination's content afterwards.
  const struct { const char* name; bool replace; int result; const char* after; } cases[] = {
      {"new", false, 0, "fresh"},
      {"old", false, -EEXIST, "old"},
      {"old", true, 0, "fresh"},
      {"link", true, 0, "fresh"},  // the link is replaced, its target untouched
      {"folder", true, -EISDIR, "x"},  // the folder and what it holds untouched
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      UnnamedFile f(folder.Get());
      ASSERT_TRUE(f.Valid());
      Fill(f, "fresh");
      EXPECT_EQ(f.Commit(folder.Get(), c.name, c.replace), c.result);
    }
    EXPECT_EQ(ReadFile(dir.File(c.name == std::string("folder") ? "folder/inside" : c.name)), c.after);
  }
  EXPECT_EQ(ReadFile(outside.File("target")), "outside");
  EXPECT_EQ(Entries(dir.Path()), (std::set<std::string>{"folder", "link", "new", "old"}));

  // A file that was never committed leaves nothing; neither does a sweep of a folder
  // with only our own names in it, and it takes only those.
  {
    UnnamedFile f(folder.Get());
    Fill(f, "lost");
  }
  WriteFile(dir.File(".lyrebox-abcd1234.tmp"), "debris");
  WriteFile(dir.File("folder/.lyrebox-0000zzzz.tmp"), "debris");
  WriteFile(dir.File(".lyrebox-ABCD1234.tmp"), "a user's file");
  EXPECT_EQ(Vantor::SweepTemporaryFiles(folder.Get(), timespec{time(nullptr) + 10, 0}, ""), 2);
  EXPECT_EQ(Entries(dir.Path()), (std::set<std::string>{".lyrebox-ABCD1234.tmp", "folder", "link", "new", "old"}));
}

TEST(Commit, TakesModeOwnerAttributesAndTimes) {
  TempDir dir;
  UniqueFd folder(open(dir.Path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  const std::string model = dir.File("model");
  WriteFile(model, "m");
  if (geteuid() == 0) {
    ASSERT_EQ(chown(model.c_str(), 4321, 8765), 0);  // as root, the owner is kept too
  }
  ASSERT_EQ(chmod(model.c_str(), 04751), 0);  // set-user-id: chown would have cleared it
  const bool xattrs = setxattr(model.c_str(), "user.lyrebox", "kept", 4, 0) == 0;  // false: not supported here
  struct stat want, got;
  ASSERT_EQ(stat(model.c_str(), &want), 0);

  UniqueFd from(open(model.c_str(), O_PATH | O_CLOEXEC));
  UnnamedFile f(folder.Get());
  Fill(f, "new");
  ASSERT_EQ(f.TakeTraits(from.Get()), 0);
  ASSERT_EQ(f.SetTimes(Vantor::FileTimes{timespec{1000, 5}, timespec{2000, 7}}), 0);
  ASSERT_EQ(f.Commit(folder.Get(), "model", true), 0);
  ASSERT_EQ(stat(model.c_str(), &got), 0);
  EXPECT_EQ(ReadFile(model), "new");
  EXPECT_EQ(std::tuple(got.st_mode, got.st_uid, got.st_gid), std::tuple(want.st_mode, want.st_uid, want.st_gid));
  EXPECT_EQ(std::tuple(got.st_atim.tv_sec, got.st_mtim.tv_sec, got.st_mtim.tv_nsec), std::tuple(1000, 2000, 7));
  char value[8] = {};
  if (xattrs) {
    EXPECT_EQ(getxattr(model.c_str(), "user.lyrebox", value, sizeof value), 4);
    EXPECT_STREQ(value, "kept");
  }
}
