// SPDX-License-Identifier: GPL-2.0-or-later
// The stream log and the binary header writer and reader.
#include <climits>
#include <cstring>
#include <string>
#include <tuple>

#include "stream_test_support.h"

namespace {

using namespace stream_test;

std::vector<uint8_t> HeaderBytes(const AudioStream& s) { return {s.header, s.header + s.headindex}; }

TEST(StreamLog, ConversionsAndAFullLogKeeps4095Characters) {
  auto s = std::make_unique<AudioStream>();
  LogPrintf(*s, "%d|%d|%d|%X|%X|%D|%D|%q|%s|%c|", 0, -42, INT_MIN, 255, 0, MakeMarker('f', 'm', 't', ' '),
            MakeMarker('a', 'b', '\0', 'c'), "text", 'z');
  EXPECT_STREQ(s->logbuffer, "0|-42|-2147483648|FF|0|fmt |ab|*q*|text|z|");
  EXPECT_EQ(s->logindex, static_cast<int>(std::strlen(s->logbuffer)));
  for (int i = 0; i < 5; ++i) LogPrintf(*s, "%s", std::string(1000, 'x').c_str());
  LogPrintf(*s, "%d", 12345);
  EXPECT_EQ(s->logindex, 4095);
  EXPECT_EQ(std::strlen(s->logbuffer), 4095u);
}

TEST(HeaderWrite, FieldsInBothByteOrders) {
  auto s = std::make_unique<AudioStream>();
  EXPECT_EQ(HeaderWrite(*s, "Lw", 1, 2), 6);
  EXPECT_EQ(HeaderBytes(*s), (std::vector<uint8_t>{0, 0, 0, 1, 2, 0}));
  s->headindex = 0;
  EXPECT_EQ(HeaderWrite(*s, "lWbmFfSsz", -2, 0x1234, 0x1FF, MakeMarker('d', 'a', 't', 'a'), 1.0, 1.0, "abc", "ab", 2),
            4 + 2 + 1 + 4 + 4 + 4 + 8 + 8 + 2);
  EXPECT_EQ(HeaderBytes(*s), (std::vector<uint8_t>{0xFE, 0xFF, 0xFF, 0xFF, 0x12, 0x34, 0xFF, 'd', 'a', 't', 'a',
                                                   0x3F, 0x80, 0, 0, 0, 0, 0x80, 0x3F, 0, 0, 0, 4, 'a', 'b', 'c',
                                                   0, 4, 0, 0, 0, 'a', 'b', 0, 0, 0, 0}));
  s->headindex = 0;
  EXPECT_EQ(HeaderWrite(*s, "bQb", 7, 8), 2);
  EXPECT_EQ(HeaderBytes(*s), (std::vector<uint8_t>{7, 8}));
  EXPECT_EQ(s->error, 21);
  EXPECT_STREQ(s->logbuffer, "*** Invalid format specifier `Q'\n");
}

// A field is stored only when it ends before the header's last byte; fields
// of any size are counted.
TEST(HeaderWrite, NothingIsStoredPastTheHeader) {
  auto s = std::make_unique<AudioStream>();
  const std::tuple<int, const char*, int, bool> cases[] = {  // headindex, field, its size, stored
      {2043, "l", 4, true}, {2044, "l", 4, false}, {2045, "w", 2, true},
      {2046, "w", 2, false}, {2046, "b", 1, true}, {2047, "b", 1, false}};
  for (const auto& [index, field, size, stored] : cases) {
    s->headindex = index;
    EXPECT_EQ(HeaderWrite(*s, field, 1), size);
    EXPECT_EQ(s->headindex, index + (stored ? size : 0)) << index << field;
  }
  const std::vector<uint8_t> big(3000, 0xEE);
  s->headindex = 100;
  EXPECT_EQ(HeaderWrite(*s, "Bz", big.data(), 3000, 5000), 8000);
  EXPECT_EQ(HeaderWrite(*s, "S", std::string(2100, 't').c_str()), 4 + 2102);
  EXPECT_EQ(s->headindex, 100);
  EXPECT_EQ(s->logindex, 0);
}

// A stream of 12 bytes at byte 1000 of a file: fields in both byte orders,
// positions counted from the stream's start, nothing read past its window.
TEST(HeaderRead, FieldsPositionsAndTheWindow) {
  TempDir dir;
  std::vector<uint8_t> bytes(1000, 0xCC);
  for (uint8_t b : {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x3F, 0x80, 0x00, 0x00}) bytes.push_back(b);
  WriteBytes(dir / "h.bin", bytes);
  platform::File file = platform::OpenExistingReadOnly(dir / "h.bin");
  auto owned = std::make_unique<AudioStream>();
  AudioStream& s = *owned;
  s.file = &file;
  s.fileoffset = 1000;
  s.filelength = 12;
  s.mode = kStreamModeRead;
  EXPECT_EQ(HeaderRead(s, "p", 0), 0);
  EXPECT_EQ(platform::TellFile(file), 1000);
  int big = 0, little = 0, three = 0, marker = 0;
  int16_t w16 = 0, W16 = 0;
  char b = 0;
  float f = 0;
  EXPECT_EQ(HeaderRead(s, "Ll", &big, &little), 8);
  EXPECT_EQ(big, 0x01020304);
  EXPECT_EQ(little, 0x08070605);
  EXPECT_EQ(HeaderRead(s, "p", -50), 0);
  EXPECT_EQ(HeaderRead(s, nullptr), 0) << "no move goes before the stream";
  EXPECT_EQ(HeaderRead(s, "twWbjm", &three, &w16, &W16, &b, 1, &marker), 4);
  EXPECT_EQ(three, 0x030201);
  EXPECT_EQ(w16, 0x0504);
  EXPECT_EQ(W16, 0x0607);
  EXPECT_EQ(b, 0x08);
  EXPECT_EQ(marker, MakeMarker('\x80', 0, 0, 0));
  EXPECT_EQ(HeaderRead(s, "pjF", 0, 8, &f), 4);
  EXPECT_EQ(f, 1.0f);
  EXPECT_EQ(HeaderRead(s, nullptr), 12);

  s.filelength = 6;
  uint8_t window[6] = {0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
  EXPECT_EQ(HeaderRead(s, "pB", 4, window, 6), 6);
  EXPECT_EQ(std::vector<uint8_t>(window, window + 6), (std::vector<uint8_t>{5, 6, 0, 0, 0, 0}));

  testing::internal::CaptureStdout();
  const int counted = HeaderRead(s, "pSb", 0, &b);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Format conversion not implemented yet.\n");
  EXPECT_EQ(counted, 1);
  EXPECT_EQ(HeaderRead(s, "p?b", 0, &b), 1);
  EXPECT_EQ(b, 0x01);
  EXPECT_EQ(s.error, 21);
  EXPECT_STREQ(s.logbuffer, "*** Invalid format specifier `?'\n");
}

}  // namespace
