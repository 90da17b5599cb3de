// The run-time binding: which name loads, what is loaded once, what an
// unload forgets, and that no executable links a codec library.
#include "audio/codec_libraries/codec_libraries.h"

#include <dlfcn.h>
#include <cstring>
#include <unistd.h>

#include <gtest/gtest.h>

#include "audio/ogg_vorbis/ogg_vorbis.h"
#include "ogg_vorbis/ogg_test_support.h"

namespace {

using ogg_test::TempDir;

// A page header that only says "serial number 1234".
struct SerialPage {
  unsigned char header[27] = {'O', 'g', 'g', 'S', 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0xD2, 0x04, 0, 0};
  ogg_page page{header, 27, nullptr, 0};
};

// Runs each test from a temporary working directory holding kervdll/ with
// the stub library, under its own name and as "libogg.so.0".
class CodecLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UnloadCodecLibraries();
    std::filesystem::create_directory(dir_.path / "kervdll");
    std::filesystem::copy_file(STUB_LIBRARY_PATH, dir_.path / "kervdll" / STUB_LIBRARY_NAME);
    std::filesystem::copy_file(STUB_LIBRARY_PATH, dir_.path / "kervdll" / "libogg.so.0");
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path);
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
  CodecLibrary& ogg() { return GetCodecLibrary(CodecLibraryId::kOgg); }

  TempDir dir_;
  std::filesystem::path previous_;
  SerialPage page_;
};

TEST_F(CodecLibraryTest, KervdllFallbackLoadsOnceAndUnloadForgetsIt) {
  SetCodecLibraryFileName(CodecLibraryId::kOgg, STUB_LIBRARY_NAME);
  ASSERT_EQ(OpenCodecLibrary(CodecLibraryId::kOgg), 0);
  platform::LibraryHandle first = ogg().module;
  EXPECT_EQ(codec::ogg_page_serialno(&page_.page), 4242);
  // An entry the library does not export does nothing and yields 0.
  EXPECT_EQ(codec::ogg_sync_pageout(nullptr, nullptr), 0);
  ASSERT_EQ(OpenCodecLibrary(CodecLibraryId::kOgg), 0);
  EXPECT_EQ(LoadCodecLibrary(ogg(), "no-such-library.so"), 1);
  EXPECT_EQ(ogg().module, first);
  // Loaded once, so one release unmaps it.
  UnloadCodecLibraries();
  EXPECT_EQ(ogg().module, nullptr);
  EXPECT_FALSE(Resident((dir_.path / "kervdll" / STUB_LIBRARY_NAME).string()));
  UnloadCodecLibraries();
  // A call into the unloaded library yields 0 and loads nothing.
  EXPECT_EQ(codec::ogg_page_serialno(&page_.page), 0);
  EXPECT_EQ(ogg().module, nullptr);
  // Loaded again, now the real libogg: no address of the stub survives.
  SetCodecLibraryFileName(CodecLibraryId::kOgg, nullptr);
  ASSERT_EQ(OpenCodecLibrary(CodecLibraryId::kOgg), 0);
  EXPECT_EQ(codec::ogg_page_serialno(&page_.page), 1234);
}

TEST_F(CodecLibraryTest, BareNameWinsOverKervdll) {
  ASSERT_EQ(OpenCodecLibrary(CodecLibraryId::kOgg), 0);
  EXPECT_EQ(codec::ogg_page_serialno(&page_.page), 1234);
  EXPECT_FALSE(Resident("kervdll/libogg.so.0"));
}

TEST_F(CodecLibraryTest, EachMissingLibraryGivesItsErrorNumber) {
  const int expected[kCodecLibraryCount] = {84, 85, 86, 82, 82, 79, 79};
  for (size_t i = 0; i < kCodecLibraryCount; ++i) {
    SetCodecLibraryFileName(CodecLibraryId(i), "libspoolex-missing.so");
    EXPECT_EQ(OpenCodecLibrary(CodecLibraryId(i)), expected[i]) << i;
    EXPECT_EQ(GetCodecLibrary(CodecLibraryId(i)).module, nullptr);
  }
}

// The Ogg opens load in table order, stop at the first library missing and
// leave the ones before it loaded; nothing is written.
TEST_F(CodecLibraryTest, OggOpensStopAtTheFirstMissingLibrary) {
  platform::File file = platform::CreateReplacing("out.ogg");
  AudioInfo info;
  info.channels = 1;
  info.samplerate = 8000;
  info.quality = 0.4f;
  auto open = [&](bool write) {
    UnloadCodecLibraries();
    auto stream = write ? ogg_test::WriteStream(file, info) : ogg_test::ReadStream(file, 0);
    int result = write ? OggVorbisOpenWrite(*stream) : OggVorbisOpenRead(*stream);
    EXPECT_EQ(stream->codecdata, nullptr);
    return result;
  };
  auto loaded = [](CodecLibraryId id) { return GetCodecLibrary(id).module != nullptr; };

  SetCodecLibraryFileName(CodecLibraryId::kVorbisEncoder, "libspoolex-missing.so");
  EXPECT_EQ(open(true), 86);
  EXPECT_TRUE(loaded(CodecLibraryId::kOgg) && loaded(CodecLibraryId::kVorbis));
  SetCodecLibraryFileName(CodecLibraryId::kVorbis, "libspoolex-missing.so");
  EXPECT_EQ(open(false), 85);
  EXPECT_TRUE(loaded(CodecLibraryId::kOgg));
  EXPECT_FALSE(loaded(CodecLibraryId::kVorbisEncoder));
  SetCodecLibraryFileName(CodecLibraryId::kOgg, "libspoolex-missing.so");
  EXPECT_EQ(open(true), 84);
  EXPECT_FALSE(loaded(CodecLibraryId::kVorbis));
  EXPECT_EQ(platform::FileSize(file), 0);
}

// The DT_NEEDED entries of an executable, as readelf lists them.
std::vector<std::string> NeededLibraries(const std::string& executable) {
  std::vector<std::string> needed;
  FILE* pipe = ::popen(("readelf -d '" + executable + "'").c_str(), "r");
  if (pipe == nullptr) return needed;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    if (std::strstr(line, "(NEEDED)") != nullptr) needed.emplace_back(line);
  }
  ::pclose(pipe);
  return needed;
}

TEST(CodecLinking, NoExecutableNeedsACodecLibrary) {
  std::vector<std::string> executables = {std::filesystem::read_symlink("/proc/self/exe").string()};
#ifdef SPOOLEX_EXECUTABLE
  executables.push_back(SPOOLEX_EXECUTABLE);
#endif
  for (const std::string& executable : executables) {
    std::vector<std::string> needed = NeededLibraries(executable);
    EXPECT_FALSE(needed.empty()) << executable;  // readelf ran and saw libc at least
    for (const std::string& line : needed) {
      for (const char* codec : {"libogg", "libvorbis", "libfaad", "libmp4enc", "libtvq"}) {
        EXPECT_EQ(line.find(codec), std::string::npos) << executable << ": " << line;
      }
    }
  }
}

}  // namespace
