// SPDX-License-Identifier: GPL-2.0-or-later
// The run-time binding: which name loads, what is loaded once, what an
// unload forgets, and that no executable links a codec library.
#include "audio/codec_libraries/codec_libraries.h"

#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "audio/ogg_vorbis/ogg_vorbis.h"
#include "ogg_vorbis/ogg_test_support.h"

namespace {

constexpr CodecLibraryId kOgg = CodecLibraryId::kOgg;

// Each test runs in a temporary working directory whose kervdll/ holds the
// stub library under its own name and as "libogg.so.0". The stub answers
// ogg_page_serialno with 4242; libogg reads 1234 from page_.
class CodecLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UnloadCodecLibraries();
    std::filesystem::create_directory(dir_ / "kervdll");
    for (const char* name : {STUB_LIBRARY_NAME, "libogg.so.0"}) {
      std::filesystem::copy_file(STUB_LIBRARY_PATH, dir_ / "kervdll/" + name);
    }
    std::filesystem::current_path(dir_.path());
  }
  void TearDown() override {
    UnloadCodecLibraries();
    for (size_t i = 0; i < kCodecLibraryCount; ++i) SetCodecLibraryFileName(CodecLibraryId(i), nullptr);
    std::filesystem::current_path(previous_);
  }
  static bool Resident(const std::string& path) {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) ::dlclose(handle);
    return handle != nullptr;
  }
  static bool Loaded(CodecLibraryId id) { return GetCodecLibrary(id).module != nullptr; }
  int Serial() { return codec::ogg_page_serialno(&page_); }

  std::filesystem::path previous_ = std::filesystem::current_path();
  ogg_test::TempDir dir_;
  unsigned char header_[27] = {'O', 'g', 'g', 'S', 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0xD2, 0x04};
  ogg_page page_{header_, 27, nullptr, 0};
};

TEST_F(CodecLibraryTest, BareNameFirstThenKervdllLoadedOnceAndForgottenOnUnload) {
  ASSERT_EQ(OpenCodecLibrary(kOgg), 0);
  EXPECT_EQ(Serial(), 1234);
  EXPECT_FALSE(Resident("kervdll/libogg.so.0"));
  UnloadCodecLibraries();
  // Only kervdll/ has this name; libogg's resolved address must not survive.
  SetCodecLibraryFileName(kOgg, STUB_LIBRARY_NAME);
  ASSERT_EQ(OpenCodecLibrary(kOgg), 0);
  EXPECT_EQ(Serial(), 4242);
  EXPECT_EQ(codec::ogg_sync_pageout(nullptr, nullptr), 0);  // not exported: does nothing
  ASSERT_EQ(OpenCodecLibrary(kOgg), 0);
  EXPECT_EQ(LoadCodecLibrary(GetCodecLibrary(kOgg), "no-such-library.so"), 1);
  // Loaded once, so one release unmaps it; a second unload does nothing.
  UnloadCodecLibraries();
  UnloadCodecLibraries();
  EXPECT_FALSE(Resident(dir_ / "kervdll/" STUB_LIBRARY_NAME));
  EXPECT_EQ(Serial(), 0);  // a call into an unloaded library loads nothing
  EXPECT_FALSE(Loaded(kOgg));
}

// The Ogg opens load in table order, stop at the first library missing and
// leave the ones before it loaded; nothing is written.
TEST_F(CodecLibraryTest, OggOpensStopAtTheFirstMissingLibrary) {
  platform::File file = platform::CreateReplacing("out.ogg");
  auto open = [&](bool write, CodecLibraryId missing) {
    UnloadCodecLibraries();
    SetCodecLibraryFileName(missing, "libspoolex-missing.so");
    auto stream = ogg_test::MakeStream(file, write ? kStreamModeWrite : kStreamModeRead);
    int result = write ? OggVorbisOpenWrite(*stream) : OggVorbisOpenRead(*stream);
    EXPECT_EQ(stream->codecdata, nullptr);
    return result;
  };
  EXPECT_EQ(open(true, CodecLibraryId::kVorbisEncoder), 86);
  EXPECT_TRUE(Loaded(kOgg) && Loaded(CodecLibraryId::kVorbis));
  EXPECT_EQ(open(false, CodecLibraryId::kVorbis), 85);
  EXPECT_TRUE(Loaded(kOgg) && !Loaded(CodecLibraryId::kVorbisEncoder));
  EXPECT_EQ(open(true, kOgg), 84);
  EXPECT_FALSE(Loaded(CodecLibraryId::kVorbis));
  EXPECT_EQ(platform::FileSize(file), 0);
}

// kervdll/ belongs to the working directory, which may be anyone's: a
// library there loads only when neither the folder nor the file could have
// been planted or changed by another user. Each refusal counts as a library
// that does not load (84 for Ogg), and the stream's log says why.
TEST_F(CodecLibraryTest, KervdllLoadsOnlyWhatNoOtherUserCouldHavePlanted) {
  namespace fs = std::filesystem;
  SetCodecLibraryFileName(kOgg, STUB_LIBRARY_NAME);
  const fs::path folder = dir_ / "kervdll", file = folder / STUB_LIBRARY_NAME;
  auto refused = [&](const std::string& why) {
    std::string reason;
    EXPECT_EQ(OpenCodecLibrary(kOgg, &reason), 84);
    EXPECT_FALSE(Loaded(kOgg));
    EXPECT_NE(reason.find(why), std::string::npos) << reason;
    // What the Ogg open logs for the stream.
    platform::File out = platform::CreateReplacing("out.ogg");
    auto stream = ogg_test::MakeStream(out, kStreamModeRead);
    EXPECT_EQ(OggVorbisOpenRead(*stream), 84);
    EXPECT_NE(std::string(stream->logbuffer).find(why), std::string::npos) << stream->logbuffer;
  };
  fs::permissions(folder, fs::perms::group_write, fs::perm_options::add);
  refused("kervdll is writable by its group or by others");
  fs::permissions(folder, fs::perms::group_write, fs::perm_options::remove);
  fs::permissions(file, fs::perms::others_write, fs::perm_options::add);
  refused("kervdll/" STUB_LIBRARY_NAME " is writable by its group or by others");
  fs::permissions(file, fs::perms::others_write, fs::perm_options::remove);
  // A folder reached through a link is not opened.
  fs::rename(folder, dir_ / "elsewhere");
  fs::create_directory_symlink(dir_ / "elsewhere", folder);
  refused("kervdll is a symbolic link");
  fs::remove(folder);
  fs::rename(dir_ / "elsewhere", folder);
  ASSERT_EQ(OpenCodecLibrary(kOgg), 0);  // as it should be: loads
  EXPECT_EQ(Serial(), 4242);
  UnloadCodecLibraries();
  if (::geteuid() != 0) GTEST_SKIP() << "handing the file to another user needs root";
  // Owned by "nobody": neither the user running the tool nor root.
  ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
  refused("belongs to user 65534, neither to this user nor to root");
  ASSERT_EQ(::chown(file.c_str(), 0, 0), 0);
  ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
  refused("kervdll belongs to user 65534");
}

TEST(CodecLinking, NoExecutableNeedsACodecLibrary) {
  std::vector<std::string> executables = {std::filesystem::read_symlink("/proc/self/exe").string()};
#ifdef SPOOLEX_EXECUTABLE
  executables.push_back(SPOOLEX_EXECUTABLE);
#endif
#ifdef SPOOLPACK_EXECUTABLE
  executables.push_back(SPOOLPACK_EXECUTABLE);
#endif
  for (const std::string& executable : executables) {
    const std::string needed = "readelf -d '" + executable + "' | grep NEEDED";
    ASSERT_TRUE(ogg_test::RunQuietly(needed)) << executable;  // readelf saw libc at least
    EXPECT_FALSE(ogg_test::RunQuietly(needed + " | grep -E 'libogg|libvorbis|libfaad|libmp4enc|libavcodec|libtvq'")) << executable;
    // Nor through the libraries they do link (libsndfile brings libogg and
    // libvorbis, so only the AAC encoder's are checked here).
    EXPECT_FALSE(ogg_test::RunQuietly("ldd '" + executable + "' | grep -E 'libmp4enc|libavcodec'")) << executable;
  }
}

}  // namespace
