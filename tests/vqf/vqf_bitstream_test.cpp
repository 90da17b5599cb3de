// SPDX-License-Identifier: GPL-2.0-or-later
// The bitstream layer's edges and the frame layer against the fixture's
// "fields" configuration, with every expected bit laid out by hand from the
// frame's field table.
#include "audio/vqf/vqf_bitstream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "audio/vqf/vqf_frames.h"
#include "vqf/vqf_test_support.h"

using namespace vqf_test;

namespace {

// Writes through a bitstream into a memory file; returns the file's bytes.
template <typename Fill>
std::vector<uint8_t> Written(Fill fill, int64_t* sizeBeforeClose = nullptr) {
  platform::File file = MemoryFile();
  BitstreamFile* bs = open_bstm(&file, kBitstreamWrite);
  fill(bs);
  if (sizeBeforeClose != nullptr) *sizeBeforeClose = platform::FileSize(file);
  EXPECT_TRUE(close_bstm(bs));
  return FileBytes(file);
}

TEST(Bitstream, FieldsMostSignificantBitFirstAcrossWholeBlocks) {
  // 300 fields of 29 bits: 8700 bits, the first 8192 written as one block.
  Bits expected;
  auto value = [](int i) { return static_cast<int32_t>((i * 2654435761u) >> 3); };
  for (int i = 0; i < 300; ++i) expected.Put(static_cast<uint32_t>(value(i)), 29);
  int64_t before = 0;
  const auto bytes = Written([&](BitstreamFile* bs) {
    for (int i = 0; i < 300; ++i) ASSERT_EQ(write_bstm(value(i), 29, bs), 0);
  }, &before);
  EXPECT_EQ(before, 1024);
  EXPECT_EQ(bytes, expected.bytes);  // 1088 bytes, the last 4 bits zero

  platform::File file = MemoryFile(bytes);
  BitstreamFile* bs = open_bstm(&file, kBitstreamRead);
  for (int i = 0; i < 300; ++i) {
    int32_t v = -1;
    ASSERT_EQ(get_bstm(&v, 29, bs), 29);
    ASSERT_EQ(v, value(i)) << i;
  }
  int32_t v = -1;
  EXPECT_EQ(get_bstm(&v, 8, bs), 4);  // the padding, then the end
  EXPECT_EQ(v, 0);
  EXPECT_EQ(get_bstm(&v, 8, bs), 0);
  close_bstm(bs);
}

TEST(Bitstream, EndsOfTheStream) {
  int32_t v = -1;
  {  // Exactly one block: bit 8192 asks for a block that has no bytes.
    platform::File file = MemoryFile(std::vector<uint8_t>(1024, 0xFF));
    BitstreamFile* bs = open_bstm(&file, kBitstreamRead);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(get_bstm(&v, 32, bs), 32);
    EXPECT_EQ(v, -1);
    EXPECT_EQ(get_bstm(&v, 1, bs), 0);
    close_bstm(bs);
  }
  {  // 10100 101: a 5-bit field with only 1, 0, 1 left reads as 10100.
    platform::File file = MemoryFile({0xA5});
    BitstreamFile* bs = open_bstm(&file, kBitstreamRead);
    EXPECT_EQ(get_bstm(&v, 5, bs), 5);
    EXPECT_EQ(get_bstm(&v, 5, bs), 3);
    EXPECT_EQ(v, 20);
    v = 7;
    EXPECT_EQ(get_bstm(&v, 0, bs), 0);
    EXPECT_EQ(v, 0);
    close_bstm(bs);
  }
  {  // A window's end stops the block read: nothing of the next entry.
    platform::File file = MemoryFile({0x12, 0x34, 0x56, 0x78});
    platform::SeekFile(file, 1, platform::SeekOrigin::kBegin);
    BitstreamFile* bs = open_bstm(&file, kBitstreamRead, 3);
    EXPECT_EQ(get_bstm(&v, 24, bs), 16);
    EXPECT_EQ(v, 0x345600);
    close_bstm(bs);
  }
}

TEST(Bitstream, WritingShortFieldsAndTheLastPartialBlock) {
  EXPECT_TRUE(Written([](BitstreamFile*) {}).empty());
  EXPECT_EQ(Written([](BitstreamFile* bs) { write_bstm(1, 9, bs); }), (std::vector<uint8_t>{0x00, 0x80}));
  testing::internal::CaptureStdout();
  int fits[3] = {};
  const auto bytes = Written([&](BitstreamFile* bs) {
    fits[0] = write_bstm(-1, 3, bs);   // 111
    fits[1] = write_bstm(5, 2, bs);    // too wide: its low bits 01
    fits[2] = write_bstm(4, 2, bs);    // 00
  });
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // the field layer reports, not this one
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0xE8}));
  EXPECT_EQ(fits[0], 0);
  EXPECT_EQ(fits[1], 1);
  EXPECT_EQ(fits[2], 1);
}

TEST(BitstreamDeathTest, TheTwoFatalLimits) {
  platform::File file = MemoryFile({0});
  EXPECT_EXIT(
      {
        for (int i = 0; i <= kBitstreamPoolSize; ++i) (void)open_bstm(&file, kBitstreamRead);
      },
      testing::ExitedWithCode(1), "^tealloc\\(\\): File number exceeds upper limit\\.\n$");
  EXPECT_EXIT(
      {
        int32_t v = 0;
        (void)get_bstm(&v, 33, open_bstm(&file, kBitstreamRead));
      },
      testing::ExitedWithCode(1), "^get_bstm\\(\\): 33: 32 Error\\.\n$");
}

// One field of a frame: where the index holds it and its width.
struct Field {
  int32_t* at;
  int width;
};

// The fields of one frame of the fixture's "fields" configuration (stereo),
// in the order of the field table, for window types 2, 6 and 9.
std::vector<Field> FrameLayout(VqfFrameIndex& x, int blockType) {
  std::vector<Field> f = {{&x.windowType, 4}};
  auto add = [&](std::initializer_list<Field> more) { f.insert(f.end(), more); };
  auto lsp = [&] {
    for (int ch = 0; ch < 2; ++ch) add({{&x.lsp[ch][0], 6}, {&x.lsp[ch][1], 4}, {&x.lsp[ch][2], 32}, {&x.lsp[ch][3], 32}});
  };
  int32_t *s = x.shape, *fs = x.forwardShort, *ar = x.forwardAr, *p = x.power;
  if (blockType == 0) {  // one sub-block, two forward divisions, one sub-power, pitch
    add({{&s[0], 10}, {&s[2], 17}, {&s[1], 25}, {&s[3], 24}});
    add({{&fs[0], 6}, {&fs[1], 6}, {&fs[2], 6}, {&fs[3], 6}, {&ar[0], 5}, {&ar[1], 5}});
    add({{&p[0], 7}, {&p[1], 3}, {&p[2], 7}, {&p[3], 3}});
    lsp();
    int32_t* cb = x.codebookPitch;
    add({{&cb[0], 5}, {&cb[2], 7}, {&cb[1], 6}, {&cb[3], 3}});
    add({{&x.indexPitch[0], 9}, {&x.indexPgain[0], 2}, {&x.indexPitch[1], 9}, {&x.indexPgain[1], 2}});
  } else if (blockType == 1) {  // two sub-blocks, two sub-powers, balance bands 1 and 2
    add({{&s[0], 29}, {&s[2], 27}, {&s[1], 30}, {&s[3], 29}});
    add({{&fs[0], 1}, {&fs[1], 1}, {&fs[2], 1}, {&fs[3], 1}, {&ar[0], 5}, {&ar[1], 5}, {&ar[2], 5}, {&ar[3], 5}});
    add({{&p[0], 7}, {&p[1], 3}, {&p[2], 3}, {&p[3], 7}, {&p[4], 3}, {&p[5], 3}});
    lsp();
    for (int ch = 0; ch < 2; ++ch) {
      for (int k = 0; k < 4; ++k) add({{&x.indexPb[ch][k], 1}});
    }
  } else {  // the update's two shape divisions, two sub-blocks of two forward divisions, balance band 0
    add({{&s[0], 20}, {&s[2], 6}, {&s[1], 32}, {&s[3], 31}});
    for (int k = 0; k < 8; ++k) add({{&fs[k], 4}});
    add({{&ar[0], 5}, {&ar[1], 5}, {&ar[2], 5}, {&ar[3], 5}, {&p[0], 7}, {&p[1], 3}, {&p[2], 7}, {&p[3], 3}});
    lsp();
    add({{&x.indexPb[0][0], 3}, {&x.indexPb[0][1], 3}, {&x.indexPb[1][0], 3}, {&x.indexPb[1][1], 3}});
  }
  return f;
}

constexpr int kWindowTypes[] = {2, 6, 9};

// A value for field n of block type b that fits `width` bits.
int32_t FieldValue(int b, size_t n, int width) {
  const uint32_t v = static_cast<uint32_t>(b * 7919 + n * 2654435761u) >> 5;
  return static_cast<int32_t>(width == 32 ? v * 977u : v & ((1u << width) - 1));
}

class Frames : public FixtureLibraries {
 protected:
  void SetUp() override {
    FixtureLibraries::SetUp();
    ASSERT_EQ(OpenCodecLibrary(CodecLibraryId::kTwinVqDecoder), 0);
    ASSERT_EQ(OpenCodecLibrary(CodecLibraryId::kTwinVqEncoder), 0);
  }
  VqfHeaderInfo header_ = [] {
    VqfHeaderInfo h{};
    std::copy_n(TVQ_VERSION_ID, 12, h.id);
    h.channelMode = 1;
    h.bitRate = 12;  // the fixture's "fields" configuration
    h.samplingRate = 44;
    return h;
  }();
  VqfFrameIndex index_{};
};

// Frames of block types 0, 1 and 2 back to back (325 bits each, no padding
// between them), the window type of each picking its block type.
TEST_F(Frames, WriterAndReaderFollowTheFieldTableForEveryBlockType) {
  Bits expected;
  VqfEncoderSetup setup{16};
  ASSERT_EQ(codec::TvqEncInitialize(&header_, &setup, &index_, 0), 0);
  init_frame_writer();
  testing::internal::CaptureStdout();
  const auto bytes = Written([&](BitstreamFile* bs) {
    for (int b = 0; b < 3; ++b) {
      const auto fields = FrameLayout(index_, b);
      for (size_t n = 0; n < fields.size(); ++n) {
        *fields[n].at = n == 0 ? kWindowTypes[b] : FieldValue(b, n, fields[n].width);
        expected.Put(static_cast<uint32_t>(*fields[n].at), fields[n].width);
      }
      index_.blockType = b;
      write_vqf_frame(&index_, bs);
    }
  });
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  codec::TvqEncTerminate(&index_);
  ASSERT_EQ(expected.count, 3 * 325);
  EXPECT_EQ(bytes, expected.bytes);

  // A fourth frame with window type 13, which the decoder rejects.
  expected.Put(13, 4).Put(0xA, 4);
  ASSERT_EQ(codec::TvqInitialize(&header_, &index_, 0), 0);
  ASSERT_EQ(init_frame_reader(header_), 0);
  platform::File file = MemoryFile(expected.bytes);
  BitstreamFile* bs = open_bstm(&file, kBitstreamRead);
  for (int b = 0; b < 3; ++b) {
    ASSERT_EQ(read_vqf_frame(&index_, bs), 1) << b;
    EXPECT_EQ(index_.blockType, b);
    const auto fields = FrameLayout(index_, b);
    for (size_t n = 1; n < fields.size(); ++n) EXPECT_EQ(*fields[n].at, FieldValue(b, n, fields[n].width)) << b << " " << n;
  }
  EXPECT_EQ(read_vqf_frame(&index_, bs), 0);
  int32_t next = 0;
  EXPECT_EQ(get_bstm(&next, 4, bs), 4);  // nothing after the window type was read
  EXPECT_EQ(next, 0xA);
  close_bstm(bs);
  codec::TvqTerminate(&index_);
}

TEST_F(Frames, AFrameCutShortOrOfAnUnknownVersionIsNotAccepted) {
  strcpy(header_.id, "TWIN97012001");
  ASSERT_EQ(codec::TvqInitialize(&header_, &index_, 0), 0);
  EXPECT_EQ(init_frame_reader(header_), 1);
  strcpy(header_.id, TVQ_VERSION_ID);
  ASSERT_EQ(init_frame_reader(header_), 0);
  Bits bits;
  bits.Put(2, 4).Put(0, 32).Put(0, 32);  // block type 0, then far fewer than 325 bits
  platform::File file = MemoryFile(bits.bytes);
  BitstreamFile* bs = open_bstm(&file, kBitstreamRead);
  EXPECT_EQ(read_vqf_frame(&index_, bs), 0);
  close_bstm(bs);
  codec::TvqTerminate(&index_);
}

TEST_F(Frames, ValuesTooWideAreReportedAndCutToTheirLowBits) {
  VqfEncoderSetup setup{16};
  ASSERT_EQ(codec::TvqEncInitialize(&header_, &setup, &index_, 0), 0);
  init_frame_writer();
  auto fields = FrameLayout(index_, 1);
  for (const Field& f : fields) *f.at = 0;
  index_.windowType = 6;
  index_.blockType = 1;
  index_.shape[2] = (1 << 27) + 5;  // second kind, division 0
  index_.forwardAr[3] = 33;         // channel 1, sub-block 1
  index_.power[4] = 9;              // channel 1, sub-power 0
  index_.lsp[0][0] = 64;
  index_.indexPb[1][2] = 2;
  Bits expected;
  for (const Field& f : fields) expected.Put(static_cast<uint32_t>(*f.at), f.width);
  testing::internal::CaptureStdout();
  const auto bytes = Written([&](BitstreamFile* bs) { write_vqf_frame(&index_, bs); });
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "shape1 0, 27 134217733\nforward AR param. ch: 1, sh_no: 1, ind: 33\npower 0, 3 9\nlsp0 6 64\n"
            "index_pb 1 2");
  EXPECT_EQ(bytes, expected.bytes);
  codec::TvqEncTerminate(&index_);
}

}  // namespace
