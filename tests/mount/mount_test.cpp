// SPDX-License-Identifier: GPL-2.0-or-later
// spoolpack mount end to end: real packs made by spoolpack create from files
// sox and oggenc write, mounted through FUSE and compared with what
// spoolpack extract writes from the same set (diff -r, and reads at random
// offsets), the refusal of every change, hostile entries, the audio cache
// and unmounting. A machine that cannot mount (no /dev/fuse, no permission)
// skips these tests with the reason.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

#include "audio_stream/stream_test_support.h"
#include "pack/pack_test_support.h"
#include "tools/run_program.h"

using namespace test_support;
namespace fs = std::filesystem;

namespace {

const char* const kEpoch = "SOURCE_DATE_EPOCH=1700000000";

// Whether `path` is a mount point of a spoolpack file system now.
bool Mounted(const std::string& path) {
  std::ifstream mounts("/proc/self/mounts");
  for (std::string device, point, type, rest; mounts >> device >> point >> type && std::getline(mounts, rest);) {
    if (point == path && type == "fuse.spoolpack") return true;
  }
  return false;
}

// The pid of the spoolpack process serving `mountpoint`, or 0.
pid_t ServerOf(const std::string& mountpoint) {
  for (const auto& proc : fs::directory_iterator("/proc")) {
    const std::string name = proc.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(proc.path() / "cmdline", std::ios::binary);
    const std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (cmdline.find(std::string("\0mount\0", 7)) != std::string::npos &&
        cmdline.find(std::string(1, '\0') + mountpoint + '\0') != std::string::npos) {
      return static_cast<pid_t>(std::stol(name));
    }
  }
  return 0;
}

// Waits up to 3 s for `done`.
template <typename Done>
bool WaitFor(Done done) {
  for (int i = 0; i < 300; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

// Whether process `pid` has ended: it is gone, or a zombie that the
// process that adopted it has not reaped yet.
bool Gone(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return true;
  const size_t name = stat.rfind(')');
  return name != std::string::npos && stat.compare(name, 3, ") Z") == 0;
}

class MountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "cannot mount: /dev/fuse is not usable here";
    fs::create_directories(src_ + "/sub/deeper");
    fs::create_directories(mnt_);
  }
  void TearDown() override {
    if (!Mounted(mnt_)) return;
    const pid_t server = ServerOf(mnt_);
    (void)std::system(("fusermount3 -u '" + mnt_ + "'").c_str());
    if (server != 0) {
      EXPECT_TRUE(WaitFor([&] { return Gone(server); }));
    }
  }
  RunResult Spoolpack(std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/env", kEpoch, SpoolpackPath()});
    return RunProgram(args);
  }
  // Mounts the set, or skips the test when this machine cannot mount.
  RunResult Mount(std::vector<std::string> options = {}) {
    std::vector<std::string> args{"mount", pak_, mnt_, "--cache", cache_};
    args.insert(args.end(), options.begin(), options.end());
    RunResult r = Spoolpack(args);
    if (r.status == 1 && r.err.find("cannot mount on") != std::string::npos) {
      skipped_ = "cannot mount: " + r.err;
    } else {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_TRUE(Mounted(mnt_));
    }
    return r;
  }
  void Sox(const std::string& name, const std::string& options, const std::string& synth) {
    ASSERT_TRUE(stream_test::RunQuietly("sox -n " + options + " '" + src_ + "/" + name + "' synth " + synth));
  }
  // Every file of the demo-like tree: text that deflates, noise stored,
  // audio packed as its own bytes, as WAV samples and as Ogg Vorbis.
  void MakeTree() {
    Bytes text = Sample(1'100'000, true, 4);  // more than an access point's span
    WriteBytes(src_ + "/sub/deeper/config.txt", text);
    WriteBytes(src_ + "/noise.bin", Sample(300'000, false, 5));
    WriteBytes(src_ + "/empty.txt", {});
    // More names than one reply of a folder listing holds (56 bytes each of 4096).
    fs::create_directories(src_ + "/many");
    for (int i = 0; i < 150; ++i) WriteBytes(src_ + "/many/file-with-a-long-name-" + std::to_string(i), U32(i));
    Sox("keep.wav", "-r 22050 -c 2 -b 16", "0.5 sine 440");
    Sox("sub/samples.wav", "-r 8000 -c 1 -b 8", "0.5 sine 300");
    Sox("sub/music.aiff", "-r 44100 -c 2 -b 16", "0.4 sine 200-800");
    Sox("tune.wav", "-r 44100 -c 1 -b 16", "0.4 sine 500");
    ASSERT_TRUE(stream_test::RunQuietly("oggenc -Q -q 2 -o '" + src_ + "/song.ogg' '" + src_ + "/tune.wav'"));
    const RunResult r = Spoolpack({"create", pak_, src_, "--audio", "keep", "--audio-for", "samples.wav=pcm",
                                   "--audio-for", "music.aiff=ogg:2", "--audio-for", "song.ogg=ogg:1"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(fs::exists(pak_ + ".APAK") && fs::exists(pak_ + ".UPAK") && fs::exists(pak_ + ".ZPAK"));
    ASSERT_EQ(Spoolpack({"extract", pak_, ext_, "--quiet"}).status, 0);
  }

  TempDir tmp_;
  std::string src_ = tmp_ / "src", pak_ = tmp_ / "game", mnt_ = tmp_ / "mnt", ext_ = tmp_ / "ext";
  std::string cache_ = tmp_ / "cache";
  std::string skipped_;
};

#define MOUNT_OR_SKIP(...)                            \
  const RunResult mounted = Mount({__VA_ARGS__});     \
  if (!skipped_.empty()) GTEST_SKIP() << skipped_;    \
  ASSERT_TRUE(Mounted(mnt_)) << mounted.err

// The mounted tree is the extracted tree byte for byte, stored, deflated and
// audio files alike (one of them restored to Ogg Vorbis, reproducible under
// SOURCE_DATE_EPOCH); reads at random offsets and of random sizes agree.
TEST_F(MountTest, TheMountIsWhatExtractWrites) {
  MakeTree();
  MOUNT_OR_SKIP();
  const RunResult diff = RunProgram({"diff", "-r", ext_, mnt_});
  EXPECT_EQ(diff.status, 0) << diff.out << diff.err;
  EXPECT_EQ(ListTree(mnt_), ListTree(ext_));
  std::mt19937 random(11);
  for (const char* name : {"sub/deeper/config.txt", "noise.bin", "sub/music.aiff", "song.ogg"}) {
    const Bytes want = ReadBytes(ext_ + "/" + name);
    const int fd = ::open((mnt_ + "/" + name).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0) << name;
    for (int n = 0; n < 40; ++n) {
      const size_t offset = random() % (want.size() + 100), size = 1 + random() % 70000;
      Bytes got(size);
      const ssize_t read = ::pread(fd, got.data(), size, off_t(offset));
      ASSERT_GE(read, 0) << name;
      got.resize(size_t(read));
      const size_t end = std::min(want.size(), offset + size);
      ASSERT_EQ(got, offset < want.size() ? Bytes(want.begin() + offset, want.begin() + end) : Bytes()) << name;
    }
    ::close(fd);
  }
}

// A stored entry of several read requests (they are at most 512 KiB) comes
// whole from one read of its size, and at offsets where a read spans
// requests; a private map of it holds the same bytes.
TEST_F(MountTest, StoredEntriesComeWholeInLargeReads) {
  const Bytes want = Sample(1'700'000, false, 9);
  WriteBytes(src_ + "/big.bin", want);
  ASSERT_EQ(Spoolpack({"create", pak_, src_, "--store", "*"}).status, 0);
  MOUNT_OR_SKIP();
  const int fd = ::open((mnt_ + "/big.bin").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  Bytes got(want.size() + 10);
  EXPECT_EQ(::read(fd, got.data(), got.size()), ssize_t(want.size()));
  got.resize(want.size());
  EXPECT_TRUE(got == want);
  for (const auto& [offset, size] : {std::pair<size_t, size_t>{524'287, 524'290}, {1'000'000, 1'000'000}}) {
    Bytes piece(size);
    const ssize_t n = ::pread(fd, piece.data(), size, off_t(offset));
    ASSERT_EQ(n, ssize_t(std::min(size, want.size() - offset))) << offset;
    piece.resize(size_t(n));
    EXPECT_TRUE(piece == Bytes(want.begin() + long(offset), want.begin() + long(offset) + n)) << offset;
  }
  void* map = ::mmap(nullptr, want.size(), PROT_READ, MAP_PRIVATE, fd, 0);
  ASSERT_NE(map, MAP_FAILED);
  EXPECT_EQ(std::memcmp(map, want.data(), want.size()), 0);
  ::munmap(map, want.size());
  ::close(fd);
}

// Every change fails with EROFS, and nothing reaches the packs or the
// mount; the names extract refuses are left out with a line each.
TEST_F(MountTest, EveryChangeIsRefused) {
  HandPack upak("KERVMAXU");
  upak.Add("kept.txt", ToBytes("kept"));
  upak.Add("..\\escape.txt", ToBytes("x"));
  upak.Add("", ToBytes("x"));
  WriteBytes(pak_ + ".UPAK", upak.Build());
  const Bytes before = ReadBytes(pak_ + ".UPAK");
  MOUNT_OR_SKIP();
  EXPECT_NE(mounted.err.find("entry \"../escape.txt\": name would leave the destination directory; left out"),
            std::string::npos) << mounted.err;
  EXPECT_EQ(LineCount(mounted.err), 2u) << mounted.err;
  EXPECT_EQ(ListTree(mnt_), std::vector<std::string>{"kept.txt"});
  const std::string kept = mnt_ + "/kept.txt";
  auto refused = [](int rc) { return rc == -1 && errno == EROFS; };
  for (int flags : {O_WRONLY, O_RDWR, O_RDONLY | O_TRUNC, O_WRONLY | O_APPEND}) {
    EXPECT_TRUE(refused(::open(kept.c_str(), flags))) << flags;
  }
  EXPECT_TRUE(refused(::open((mnt_ + "/new").c_str(), O_CREAT | O_WRONLY, 0644)));
  EXPECT_TRUE(refused(::mkdir((mnt_ + "/dir").c_str(), 0755)));
  EXPECT_TRUE(refused(::unlink(kept.c_str())));
  EXPECT_TRUE(refused(::rename(kept.c_str(), (mnt_ + "/moved").c_str())));
  EXPECT_TRUE(refused(::truncate(kept.c_str(), 0)));
  EXPECT_TRUE(refused(::chmod(kept.c_str(), 0777)));
  EXPECT_TRUE(refused(::symlink("kept.txt", (mnt_ + "/link").c_str())));
  EXPECT_TRUE(refused(::setxattr(kept.c_str(), "user.x", "1", 1, 0)));
  EXPECT_EQ(ReadBytes(kept), ToBytes("kept"));
  EXPECT_EQ(ReadBytes(pak_ + ".UPAK"), before);
}

// Hostile entries fail with EIO, each on its own file and every time, and
// the mount serves the others meanwhile: a damaged deflate stream, a
// stored entry past the end of its pack, an audio stream that cannot be
// opened (EIO already on stat, as its size needs a restoration).
TEST_F(MountTest, HostileEntriesFailAloneWithEio) {
  HandPack zpak("KERVMAXZ"), upak("KERVMAXU"), apak("KERVMAXA");
  Bytes broken = Deflate(Sample(100'000));
  broken[broken.size() / 2] ^= 0x5A;
  zpak.AddRecord("broken.txt", zpak.AddData(broken), uint32_t(broken.size()), U32(100'000));
  zpak.Add("fine.txt", Sample(50'000));
  upak.AddRecord("past.bin", 1000, 5000);
  AudioInfo ogg = stream_test::Describe(FMT_OGG, 16, 1, 8000, 8000);
  Bytes tail = U32(0);
  tail.resize(4 + kAudioInfoBytes);
  StoreAudioInfo(ogg, tail.data() + 4);
  apak.AddRecord("bad.ogg", apak.AddData(ToBytes("OggS but nothing that decodes")), 29, tail);
  WriteBytes(pak_ + ".ZPAK", zpak.Build());
  WriteBytes(pak_ + ".UPAK", upak.Build());
  WriteBytes(pak_ + ".APAK", apak.Build());
  MOUNT_OR_SKIP();
  for (int round = 0; round < 2; ++round) {
    for (const char* name : {"broken.txt", "past.bin"}) {
      errno = 0;
      EXPECT_LT(::open((mnt_ + "/" + name).c_str(), O_RDONLY), 0) << name;
      EXPECT_EQ(errno, EIO) << name;
    }
    struct stat st;
    errno = 0;
    EXPECT_NE(::stat((mnt_ + "/bad.ogg").c_str(), &st), 0);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(ReadBytes(mnt_ + "/fine.txt"), Sample(50'000));
  }
  EXPECT_TRUE(Mounted(mnt_));
}

// A cache smaller than one file keeps only what is open: files are restored
// again when opened again, with the same bytes; the mount's cache folder
// goes with the unmount, and so does the server process. A folder left by
// a mount that no longer runs is removed by the next mount.
TEST_F(MountTest, TheCacheStaysBoundedAndGoesWithTheMount) {
  MakeTree();
  fs::create_directories(cache_ + "/mount-left");
  WriteBytes(cache_ + "/mount-left/part", Sample(10));
  MOUNT_OR_SKIP("--cache-size", "1K");
  EXPECT_FALSE(fs::exists(cache_ + "/mount-left"));
  for (int round = 0; round < 2; ++round) {
    for (const char* name : {"song.ogg", "sub/music.aiff", "keep.wav"}) {
      EXPECT_EQ(ReadBytes(mnt_ + "/" + name), ReadBytes(ext_ + "/" + name)) << name;
    }
  }
  const pid_t server = ServerOf(mnt_);
  ASSERT_NE(server, 0);
  ASSERT_EQ(RunProgram({"fusermount3", "-u", mnt_}).status, 0);
  EXPECT_TRUE(WaitFor([&] { return Gone(server); }));
  EXPECT_FALSE(Mounted(mnt_));
  EXPECT_TRUE(ListTree(cache_).empty());
}

// Usage errors and a missing set give 2 and mount nothing.
TEST_F(MountTest, UsageErrorsMountNothing) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"mount", pak_}, {"mount", pak_, mnt_, "--cache-size", "12Q"},
        {"mount", pak_, mnt_, "--bogus"}}) {
    const RunResult r = Spoolpack(args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("usage: spoolpack mount"), std::string::npos) << r.err;
  }
  EXPECT_EQ(Spoolpack({"mount", pak_, mnt_, "--cache", cache_}).err,
            "spoolpack: no pack named " + pak_ + ".APAK, .UPAK or .ZPAK\n");
  EXPECT_FALSE(Mounted(mnt_));
}

// SIGTERM ends a mount in the background, SIGINT one in the foreground
// (which then returns 0); both unmount and leave no process.
TEST_F(MountTest, SignalsUnmountAndLeaveNoProcess) {
  HandPack upak("KERVMAXU");
  upak.Add("a.txt", ToBytes("a"));
  WriteBytes(pak_ + ".UPAK", upak.Build());
  MOUNT_OR_SKIP();
  const pid_t server = ServerOf(mnt_);
  ASSERT_NE(server, 0);
  ASSERT_EQ(::kill(server, SIGTERM), 0);
  EXPECT_TRUE(WaitFor([&] { return Gone(server) && !Mounted(mnt_); }));

  const pid_t foreground = ::fork();
  ASSERT_GE(foreground, 0);
  if (foreground == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDERR_FILENO);
    ::execl(SpoolpackPath().c_str(), "spoolpack", "mount", pak_.c_str(), mnt_.c_str(), "--foreground", "--cache",
            cache_.c_str(), nullptr);
    ::_exit(127);
  }
  ASSERT_TRUE(WaitFor([&] { return Mounted(mnt_); }));
  EXPECT_EQ(ReadBytes(mnt_ + "/a.txt"), ToBytes("a"));
  ASSERT_EQ(::kill(foreground, SIGINT), 0);
  int status = -1;
  ASSERT_EQ(::waitpid(foreground, &status, 0), foreground);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(Mounted(mnt_));
  EXPECT_TRUE(ListTree(cache_).empty());
}

}  // namespace
