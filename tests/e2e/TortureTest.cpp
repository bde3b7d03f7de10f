// A seeded random sequence of operations on a few songs and plain files, driven through a
// real mount, with the daemon killed (SIGKILL or SIGTERM) at random points and mounted
// again. After every step the volume must show what a model of the files says; after a
// crash every file must hold its old or its new content (never an empty, partial or
// silent song), nothing outside the root folder may change, and no cache or temporary
// file may be left once nothing is open. The seed of a failure is printed so that the
// sequence replays: LYREBOX_SEED=<seed>. LYREBOX_TORTURE_STEPS sets the length (the
// default suits CI; run thousands locally); LYREBOX_TORTURE_TRACE prints every step.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <thread>

#include "VolumeFixture.h"

namespace E2E {
namespace {

// Songs and plain files; "D/" is the folder that is renamed between "d" and "e".
const char* const kSongs[] = {"s0.wav", "s1.wav", "S2.WAV", "D/s3.wav", "D/s4.wav"};
const char* const kPlain[] = {"p0.txt", "p1.raw", "D/p2.txt", "lnk"};

bool IsSong(const std::string& name) { return name.ends_with(".wav") || name.ends_with(".WAV"); }
// The stored name of a song: x.wav as x.flac, X.WAV as X.FLAC.
std::string FlacName(const std::string& wav) {
  return wav.substr(0, wav.size() - 3) + (wav.back() == 'v' ? "flac" : "FLAC");
}

class TortureTest : public VolumeTest {
 protected:
  void SetUp() override {
    VolumeTest::SetUp();
    const char *s = getenv("LYREBOX_SEED"), *n = getenv("LYREBOX_TORTURE_STEPS");
    seed_ = s ? std::strtoull(s, nullptr, 10) : std::random_device{}();
    steps_ = n ? std::atoi(n) : 500;
    std::printf("torture seed %llu, %d steps (LYREBOX_SEED, LYREBOX_TORTURE_STEPS)\n",
                static_cast<unsigned long long>(seed_), steps_);
    std::fflush(stdout);  // before any fork, which would print it again
    rng_.seed(seed_);
    for (int v = 0; v < 6; ++v) versions_.push_back(MakeNoiseWAV(v % 2 + 1, 44100, 16, 0.1 + 0.05 * v, seed_ + v));
  }

  std::string Path(const std::string& name) const {
    return name.starts_with("D/") ? folder_ + name.substr(1) : name;
  }
  std::string VolPath(const std::string& name) const { return Vol(Path(name)); }
  size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  bool Chance(int percent) { return static_cast<int>(Pick(100)) < percent; }
  std::string NewContent() {
    if (Chance(25)) {
      // A version that differs from the others in a few samples (an edit).
      std::string v = versions_[Pick(versions_.size())];
      const size_t at = 44 + Pick(v.size() - 48);
      v.replace(at, 4, RandomBytes(4, rng_()));
      versions_.push_back(v);
      return v;
    }
    return versions_[Pick(versions_.size())];
  }
  // Old content of name in the model, if any.
  std::optional<std::string> Model(const std::string& name) const {
    const auto it = model_.find(name);
    return it == model_.end() ? std::nullopt : std::optional(it->second);
  }

  // Writes bytes into name in pieces, in a random order, through two descriptors at times,
  // with a forked child's exit or an fsync in between, as copying programs do. Its own
  // random numbers (from seed), so that it may run beside the main thread. With stopAfter
  // the descriptors are left open after that many pieces: the caller crashes the volume.
  bool WriteIn(const std::string& name, const std::string& bytes, uint64_t seed, size_t stopAfter = SIZE_MAX) {
    std::mt19937_64 rng(seed);
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    auto chance = [&](int percent) { return static_cast<int>(pick(100)) < percent; };
    const int fd = open(VolPath(name).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const int second = chance(30) ? open(VolPath(name).c_str(), O_RDWR | O_CLOEXEC) : -1;
    std::vector<size_t> pieces;
    const size_t piece = 1000 + pick(20000);
    for (size_t at = 0; at < bytes.size(); at += piece) pieces.push_back(at);
    if (chance(50)) std::shuffle(pieces.begin(), pieces.end(), rng);
    bool ok = true;
    for (size_t i = 0; i < pieces.size() && i < stopAfter; ++i) {
      const size_t at = pieces[i], len = std::min(piece, bytes.size() - at);
      ok = ok && pwrite(second >= 0 && i % 2 ? second : fd, bytes.data() + at, len, static_cast<off_t>(at)) ==
                     static_cast<ssize_t>(len);
      if (i == pieces.size() / 2 && chance(20)) {
        const pid_t child = fork();
        if (child == 0) _exit(0);
        waitpid(child, nullptr, 0);
      }
      if (i == pieces.size() / 2 && chance(20)) fsync(fd);
    }
    if (stopAfter != SIZE_MAX) {
      for (int d : {fd, second})
        if (d >= 0) leftOpen_.push_back(d);
      return ok;
    }
    if (second >= 0 && chance(50)) ok = close(second) == 0 && ok;
    ok = close(fd) == 0 && ok;
    if (second >= 0) close(second);
    return ok;
  }

  std::optional<std::string> ReadVol(const std::string& name) {
    const int fd = open(VolPath(name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string out;
    char buffer[8191];  // small, odd reads: they end where the kernel believes the file ends
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
    close(fd);
    return n < 0 ? std::nullopt : std::optional(out);
  }

  // The volume shows name as the model says.
  void Check(const std::string& name, const char* step) {
    const std::optional<std::string> got = ReadVol(name), want = Model(name);
    if (!want) {
      EXPECT_FALSE(got) << step << ": " << name << " should not exist";
      return;
    }
    ASSERT_TRUE(got) << step << ": " << name << " cannot be read";
    ASSERT_TRUE(SameBytes(*got, *want)) << step << ": " << name;
  }

  // Listings agree with the model, and the root folder holds no debris once the releases
  // of closed files have arrived: every item is a model file under its stored name.
  void CheckFolders(const char* step) {
    std::set<std::string> want[2];  // in the root, in the folder
    for (const auto& [name, bytes] : model_)
      want[name.starts_with("D/")].insert(name.substr(name.find('/') + 1));
    want[0].insert(folder_);
    auto stored = [&](int i) {
      std::set<std::string> names;
      for (std::string n : Entries(i ? Root(folder_) : root_)) {
        if (n.ends_with(".flac") || n.ends_with(".FLAC"))
          n = n.substr(0, n.size() - 4) + (n.back() == 'c' ? "wav" : "WAV");
        names.insert(n);
      }
      return names;
    };
    for (int i = 0; i < 2; ++i)
      EXPECT_EQ(Entries(i ? Vol(folder_) : mount_), want[i]) << step << (i ? " in the folder" : " in the root");
    EXPECT_TRUE(WaitUntil([&] { return stored(0) == want[0] && stored(1) == want[1]; }, 5))
        << step << ": the root folder holds " << ShOut("cd " + Quote(root_) + " && find . | sort");
    EXPECT_EQ(ReadFile(Tmp("outside/target")), "outside") << step;
  }

  // Every stored FLAC file decodes, with the flac tool, to exactly its model content. flac
  // restores size fields as they should be: only files whose own are right compare byte
  // for byte (the volume gives back the others as they were written).
  void CheckStored(const char* step) {
    for (const auto& [name, bytes] : model_) {
      const std::string flac = FlacName(Root(Path(name)));
      const bool whole = bytes.size() >= 8 && bytes.substr(4, 4) == LE32(static_cast<unsigned>(bytes.size() - 8));
      if (IsSong(name) && FileExists(flac) && whole) {
        EXPECT_TRUE(SameBytes(FlacDecode(flac), bytes)) << step << ": " << name << " as stored";
      }
    }
  }

  void Remount(int signal) {
    KillVolume(signal);
    for (int fd : leftOpen_) close(fd);
    leftOpen_.clear();
    StartVolume();
  }
  // A plain name to write to: "lnk" only once it is no longer the link that leads out of
  // the root folder (writing through a link the user made is the user's business).
  std::string PlainTarget() {
    std::string name = kPlain[Pick(std::size(kPlain))];
    return name == "lnk" && lnkIsLink_ ? "p0.txt" : name;
  }
  void Move(const std::string& from, const std::string& to) {
    if (from == to) return;
    model_[to] = model_[from];
    model_.erase(from);
    if (to == "lnk") lnkIsLink_ = false;
  }

  uint64_t seed_ = 0;
  int steps_ = 0;
  std::mt19937_64 rng_;
  std::vector<std::string> versions_;
  std::map<std::string, std::string> model_;  // name -> the bytes the volume shows
  std::string folder_ = "d";
  std::vector<int> leftOpen_;
  bool lnkIsLink_ = true;
};

TEST_F(TortureTest, RandomOperationsAndCrashesLoseNothing) {
  ASSERT_EQ(mkdir(Tmp("outside").c_str(), 0755), 0);
  WriteFile(Tmp("outside/target"), "outside");
  ASSERT_EQ(symlink(Tmp("outside/target").c_str(), Root("lnk").c_str()), 0);
  ASSERT_EQ(mkdir(Root("d").c_str(), 0755), 0);
  model_["lnk"] = "outside";
  StartVolume();
  int crashes = 0;
  for (int step = 0; step < steps_ && !HasFatalFailure(); ++step) {
    const std::string label = "step " + std::to_string(step) + " (seed " + std::to_string(seed_) + ")";
    SCOPED_TRACE(label);
    const char* what = "";
    std::vector<std::string> touched;
    const std::string song = kSongs[Pick(std::size(kSongs))], plain = PlainTarget();
    switch (Pick(12)) {
      case 0:
      case 1:
      case 2: {
        what = "copy a song in";
        const std::string bytes = NewContent();
        ASSERT_TRUE(WriteIn(song, bytes, rng_())) << song;
        model_[song] = bytes;
        touched = {song};
        break;
      }
      case 3: {
        what = "rename a song to another WAV name";
        if (!model_.count(song)) break;
        const std::string to = kSongs[Pick(std::size(kSongs))];
        ASSERT_TRUE(rename(VolPath(song).c_str(), VolPath(to).c_str()) == 0 || song == to)
            << song << " -> " << to << ": " << strerror(errno);
        Move(song, to);
        touched = {song, to};
        break;
      }
      case 4: {
        what = "rename between a WAV name and a plain name";
        const bool decode = Chance(50);
        const std::string from = decode ? song : plain, to = decode ? (Chance(30) ? "lnk" : plain) : song;
        if (!model_.count(from)) break;
        ASSERT_EQ(rename(VolPath(from).c_str(), VolPath(to).c_str()), 0) << from << " -> " << to << ": "
                                                                         << strerror(errno);
        Move(from, to);
        touched = {from, to};
        break;
      }
      case 5: {
        what = "remove";
        const std::string name = Chance(70) ? song : plain;
        if (!model_.count(name) || name == "lnk") break;
        ASSERT_EQ(unlink(VolPath(name).c_str()), 0) << name;
        model_.erase(name);
        touched = {name};
        break;
      }
      case 6: {
        what = "rename the folder";
        const std::string next = folder_ == "d" ? "e" : "d";
        ASSERT_EQ(rename(Vol(folder_).c_str(), Vol(next).c_str()), 0);
        folder_ = next;
        break;
      }
      case 7: {
        what = "replace a FLAC file behind the volume";
        const std::string bytes = versions_[Pick(versions_.size())], path = Root(Path(song));
        FlacEncode(bytes, Tmp("outside.flac"));
        ASSERT_EQ(rename(Tmp("outside.flac").c_str(), FlacName(path).c_str()), 0);
        unlink(path.c_str());  // a real WAV file of that name would hide it
        model_[song] = bytes;
        touched = {song};
        break;
      }
      case 8: {
        what = "write a plain file";
        std::string bytes = RandomBytes(1 + Pick(5000), rng_());
        if (Chance(30)) bytes = "";
        ASSERT_TRUE(WriteIn(plain, bytes, rng_())) << plain;
        model_[plain] = bytes;
        touched = {plain};
        break;
      }
      case 9: {
        what = "cut a song to nothing";
        if (!model_.count(song)) break;
        ASSERT_EQ(truncate(VolPath(song).c_str(), 0), 0) << song;
        model_[song] = "";
        touched = {song};
        break;
      }
      case 10: {
        what = "crash while a song is written";
        const std::string bytes = NewContent();
        const auto old = Model(song);
        // A real WAV file under the name (data that was not audio) is a plain file, which a
        // crash may leave half written, as on any disk.
        struct stat st;
        const bool plainFile = lstat(Root(Path(song)).c_str(), &st) == 0;
        std::thread writer;
        const bool open = Chance(50);
        if (open) {
          // Killed with the file open and half written: the old song stays.
          ASSERT_TRUE(WriteIn(song, bytes, rng_(), 1 + Pick(3)));
        } else {
          // Killed while close() converts: the old song or the new one.
          writer = std::thread([this, song, bytes, seed = rng_()] { WriteIn(song, bytes, seed); });
          std::this_thread::sleep_for(std::chrono::microseconds(Pick(30000)));
        }
        const int signal = Chance(70) ? SIGKILL : SIGTERM;
        Remount(signal);
        if (writer.joinable()) writer.join();
        ++crashes;
        touched = {song};
        const std::optional<std::string> got = ReadVol(song);
        const bool asOld = old ? got == old : !got, asNew = got == bytes;
        if (plainFile && !asOld && !asNew) {
          if (got) model_[song] = *got;
          else model_.erase(song);
          break;
        }
        const auto version = got ? std::find(versions_.begin(), versions_.end(), *got) - versions_.begin() : -1;
        ASSERT_TRUE(asOld || asNew) << song << " is neither its old nor its new content ("
                                    << (got ? std::to_string(got->size()) + " bytes" : "missing") << ", old "
                                    << (old ? std::to_string(old->size()) : "none") << ", new " << bytes.size()
                                    << ", version " << version << ", signal " << signal << ", left open " << open
                                    << ")\n" << LogText();
        if (asNew) model_[song] = bytes;
        CheckStored(label.c_str());
        break;
      }
      case 11: {
        what = "crash while a song is renamed";
        if (!model_.count(song)) break;
        const std::string to = Chance(50) ? kSongs[Pick(std::size(kSongs))] : PlainTarget();
        if (to == song) break;
        const std::string bytes = model_[song];
        const auto old = Model(to);
        std::thread mover([this, song, to] { rename(VolPath(song).c_str(), VolPath(to).c_str()); });
        std::this_thread::sleep_for(std::chrono::microseconds(Pick(20000)));
        Remount(SIGKILL);
        mover.join();
        ++crashes;
        const std::optional<std::string> from = ReadVol(song), dest = ReadVol(to);
        const bool before = from == bytes && dest == old, after = !from && dest == bytes;
        // A decoding or encoding rename puts the new file in place first and removes the
        // source after: a crash in between leaves both, nothing lost.
        const bool copied = from == bytes && dest == bytes;
        ASSERT_TRUE(before || after || copied) << song << " -> " << to << " is half done";
        if (copied) model_[to] = bytes;
        if (after) Move(song, to);
        if (copied && to == "lnk") lnkIsLink_ = false;
        CheckStored(label.c_str());
        touched = {song, to};
        break;
      }
    }
    if (getenv("LYREBOX_TORTURE_TRACE")) {
      std::printf("step %d: %s", step, what);
      for (const std::string& name : touched) std::printf(" %s(%zu)", name.c_str(), Model(name).value_or("").size());
      std::printf("\n");
      std::fflush(stdout);
    }
    touched.push_back(Chance(50) ? kSongs[Pick(std::size(kSongs))] : kPlain[Pick(std::size(kPlain))]);
    for (const std::string& name : touched) Check(name, what);
    CheckFolders(what);
    if (step % 50 == 49) CheckStored(what);
  }
  CheckStored("end");
  std::printf("torture: %d steps, %d crashes\n", steps_, crashes);
}

}  // namespace
}  // namespace E2E
