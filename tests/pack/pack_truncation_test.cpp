// Every pack cut short, at every offset, is refused: either it does not open
// or some entry fails before the end of its directory.
#include <gtest/gtest.h>

#include "pack/pack.h"
#include "pack/pack_test_support.h"

using namespace test_support;

namespace {

// Builds a small pack of `kind` with the writer: three entries.
Bytes MakePack(const TempDir& tmp, PackKind kind) {
  const std::string path = tmp / "whole.pak";
  PackPtr pack;
  if (CreatePack(path, kind, &pack) != PackWriteResult::kOk) return {};
  const Bytes contents[] = {SampleText(300, 1), ToBytes("short"), SampleText(150, 2)};
  const char* names[] = {"one", "two", "three"};
  for (int i = 0; i < 3; ++i) {
    WriteBytes(tmp / "src", contents[i]);
    platform::File source = platform::OpenExistingReadOnly(tmp / "src");
    if (kind == PackKind::kDeflated) {
      if (AppendDeflatedEntry(*pack, names[i], source) != PackWriteResult::kOk) return {};
    } else if (kind == PackKind::kStored) {
      if (AppendStoredEntry(*pack, names[i], source) != PackWriteResult::kOk) return {};
    } else {
      DirectoryEntry entry;
      entry.name = names[i];
      entry.dataOffset = static_cast<uint32_t>(DataEnd(*pack));
      entry.packedSize = static_cast<uint32_t>(contents[i].size());
      if (platform::WriteFile(PackFile(*pack), contents[i].data(), contents[i].size()) !=
              static_cast<int64_t>(contents[i].size()) ||
          AddEntryRecord(*pack, entry) != PackWriteResult::kOk) {
        return {};
      }
    }
  }
  if (FinishPack(*pack) != PackWriteResult::kOk) return {};
  return ReadBytes(path);
}

// Unpacks the pack at `path`; returns the code that ended the loop, or the
// open's code.
int Unpack(const std::string& path, PackKind kind, const std::string& dest) {
  PackPtr pack;
  int rc = OpenPack(path, kind, &pack);
  if (rc != kPackOk) return rc;
  std::string name;
  uint32_t packed = 0;
  uint32_t unpacked = 0;
  while ((rc = NextEntry(dest, &name, *pack, &packed, &unpacked)) == kPackOk) {
  }
  return rc;
}

TEST(PackTruncationTest, NoCutPackUnpacksWhole) {
  for (PackKind kind : {PackKind::kStored, PackKind::kDeflated, PackKind::kAudio}) {
    TempDir tmp;
    const Bytes whole = MakePack(tmp, kind);
    ASSERT_FALSE(whole.empty());
    const std::string dest = tmp / "dest";
    std::filesystem::create_directory(dest);
    // The whole pack does reach the end (an Audio pack's entries stop at -4).
    const int expected = kind == PackKind::kAudio ? kPackAudioFailed : kPackEnd;
    ASSERT_EQ(Unpack(tmp / "whole.pak", kind, dest), expected);
    for (size_t cut = 0; cut < whole.size(); ++cut) {
      WriteBytes(tmp / "cut.pak", Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
      int rc = Unpack(tmp / "cut.pak", kind, dest);
      EXPECT_NE(rc, kPackEnd) << "cut at " << cut;
      EXPECT_LT(rc, 0);
    }
  }
}

}  // namespace
