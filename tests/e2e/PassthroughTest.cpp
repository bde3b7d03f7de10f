// Files that are not transcoded behave as in a plain folder: the same script run in a
// plain folder and in the volume leaves the same tree, bytes and attributes.
#include "VolumeFixture.h"

namespace E2E {
namespace {

using PassthroughTest = VolumeTest;

TEST_F(PassthroughTest, SameResultsAsAPlainFolder) {
  StartVolume();
  WriteFile(Tmp("big.bin"), RandomBytes(200000, 9));
  const std::string script = R"SH(
    set -e
    printf 'hello' > a.txt
    printf ' world' >> a.txt
    printf 'XY' | dd of=a.txt bs=1 seek=2 conv=notrunc status=none
    cp "$SRC" big.bin
    truncate -s 50000 big.bin
    printf 'tail' | dd of=big.bin bs=1 seek=90000 conv=notrunc status=none
    mkdir -p d/e
    mv a.txt d/e/b.txt
    cp d/e/b.txt c.txt
    rm c.txt
    mkdir gone && rmdir gone
    ln -s d/e/b.txt sym
    ln d/e/b.txt hard
    chmod 640 d/e/b.txt
    touch -d '2001-02-03 04:05:06' d/e/b.txt
    touch -h -d '2002-01-01 00:00:00' sym
    mkdir 'odd '"$(printf '\001\377')"' name'
    printf 'x' > 'odd '"$(printf '\001\377')"' name/f'
    if rmdir d 2>/dev/null; then echo rmdir-of-full-folder-worked; fi
  )SH";
  const std::string plain = Tmp("plain");
  ASSERT_EQ(Sh("mkdir " + Quote(plain)), 0);
  const std::string describe =
      "find . -mindepth 1 -printf '%P %y %m %s %n %l\\n' | LC_ALL=C sort && "
      "find . -type f -exec md5sum {} + | LC_ALL=C sort && "
      "stat -c '%Y' d/e/b.txt && stat -c '%Y' sym | sed 's/^/link /'";
  std::string results[2];
  const std::string folders[2] = {plain, mount_};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(folders[i]);
    std::string cd = "cd " + Quote(folders[i]) + " && ";
    EXPECT_EQ(ShOut(cd + "SRC=" + Quote(Tmp("big.bin")) + " sh -c " + Quote(script)), "");
    results[i] = ShOut(cd + describe);
  }
  EXPECT_EQ(results[1], results[0]);
  EXPECT_NE(results[0].find("d/e/b.txt f 640 11 2"), std::string::npos) << results[0];
  EXPECT_EQ(LogText(), "");
}

}  // namespace
}  // namespace E2E
