// SPDX-License-Identifier: GPL-2.0-or-later
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
  platform::Destination destination;
  (void)destination.Open(dest);
  std::string name;
  uint32_t packed = 0, unpacked = 0;
  while (rc == kPackOk) rc = NextEntry(destination, &name, *pack, &packed, &unpacked);
  return rc;
}

TEST(PackTruncationTest, NoCutPackUnpacksWhole) {
  const char* magics[] = {"KERVMAXA", "KERVMAXU", "KERVMAXZ"};
  for (int kind = 0; kind < 3; ++kind) {
    TempDir tmp;
    const std::string dest = tmp / "dest";
    std::filesystem::create_directory(dest);
    Bytes tail = U32(0);  // Audio: format 0, a plausible description (8000 Hz, 16 bits, 1 channel)
    for (uint32_t word : {8000u, 16u, 1u}) Put32(tail, word);
    tail.resize(50);
    HandPack hand(magics[kind]);
    for (size_t size : {60, 5, 30}) {
      const Bytes data = Sample(size, true, uint32_t(size));
      const std::string name = "entry" + std::to_string(size);
      if (kind == 0) hand.AddRecord(name, hand.AddData(data), uint32_t(size), tail);
      else hand.Add(name, data);
    }
    const Bytes whole = hand.Build();
    WriteBytes(tmp / "whole", whole);
    // The whole pack reaches the end; an Audio entry holding no stream fails.
    ASSERT_EQ(Unpack(tmp / "whole", PackKind(kind), dest), kind == 0 ? kPackAudioFailed : kPackEnd);
    for (size_t cut = 0; cut < whole.size(); ++cut) {
      WriteBytes(tmp / "cut", Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
      const int rc = Unpack(tmp / "cut", PackKind(kind), dest);
      EXPECT_TRUE(rc < 0 && rc != kPackEnd) << "cut at " << cut << " gave " << rc;
    }
  }
}

}  // namespace
