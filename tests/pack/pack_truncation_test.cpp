// Every pack cut short, at every offset, is refused: it does not open, or an
// entry fails before the end of its directory.
#include <gtest/gtest.h>

#include "pack/pack.h"
#include "pack/pack_test_support.h"

using namespace test_support;

namespace {

// Unpacks the pack at `path`; returns the code that ended the loop, or the
// open's code.
int Unpack(const std::string& path, PackKind kind, const std::string& dest) {
  PackPtr pack;
  int rc = OpenPack(path, kind, &pack);
  std::string name;
  uint32_t packed = 0, unpacked = 0;
  while (rc == kPackOk) rc = NextEntry(dest, &name, *pack, &packed, &unpacked);
  return rc;
}

TEST(PackTruncationTest, NoCutPackUnpacksWhole) {
  for (PackKind kind : kPackKindsInRunOrder) {
    TempDir tmp;
    const std::string dest = tmp / "dest";
    std::filesystem::create_directory(dest);
    PackPtr pack;
    ASSERT_EQ(CreatePack(tmp / "whole", kind, &pack), PackWriteResult::kOk);
    for (const Bytes& data : {Sample(300, true, 1), ToBytes("short"), Sample(150, true, 2)}) {
      WriteBytes(tmp / "src", data);
      platform::File source = platform::OpenExistingReadOnly(tmp / "src");
      DirectoryEntry entry;
      entry.name = "entry" + std::to_string(EntryCount(*pack));
      entry.dataOffset = static_cast<uint32_t>(DataEnd(*pack));
      entry.packedSize = static_cast<uint32_t>(data.size());
      PackWriteResult r =
          kind == PackKind::kDeflated ? AppendDeflatedEntry(*pack, entry.name, source)
          : kind == PackKind::kStored ? AppendStoredEntry(*pack, entry.name, source)
          : platform::WriteFile(PackFile(*pack), data.data(), data.size()) == int64_t(data.size())
              ? AddEntryRecord(*pack, entry)
              : PackWriteResult::kWriteFailed;
      ASSERT_EQ(r, PackWriteResult::kOk);
    }
    ASSERT_EQ(FinishPack(*pack), PackWriteResult::kOk);
    const Bytes whole = ReadBytes(tmp / "whole");
    // The whole pack reaches the end (Audio entries, whose descriptions are
    // all zero, stop at -3).
    ASSERT_EQ(Unpack(tmp / "whole", kind, dest), kind == PackKind::kAudio ? kPackBadPack : kPackEnd);
    for (size_t cut = 0; cut < whole.size(); ++cut) {
      WriteBytes(tmp / "cut", Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
      const int rc = Unpack(tmp / "cut", kind, dest);
      EXPECT_TRUE(rc < 0 && rc != kPackEnd) << "cut at " << cut << " gave " << rc;
    }
  }
}

}  // namespace
