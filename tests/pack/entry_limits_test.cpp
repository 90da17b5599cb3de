// SPDX-License-Identifier: GPL-2.0-or-later
// The expansion limits: restored audio files refused from their stored
// description before anything is decoded, restored sizes checked against
// the files restorations write, codec outputs stopped as they are written, and a run's
// output stopped at its allowance.
#include <gtest/gtest.h>

#include "audio_stream/stream_test_support.h"
#include "pack/entry_limits.h"
#include "pack/pack_internal.h"
#include "pack/pack.h"
#include "pack/restored_size.h"

using namespace test_support;
using stream_test::Describe;

namespace {

class EntryLimitsTest : public PackFixture {
 protected:
  EntryLimitsTest() { path_ = tmp_ / "game.APAK"; }
  void SetUp() override {
    PackFixture::SetUp();
    ASSERT_EQ(CreatePack(path_, PackKind::kAudio, &pack_), PackWriteResult::kOk);
  }
  // Adds an entry whose packed stream is `samples` written through the
  // layer as `packed`, restored as `stored`.
  void Add(const std::string& name, AudioInfo packed, const std::vector<int16_t>& samples, const AudioInfo& stored) {
    const uint64_t at = DataEnd(*pack_);
    AudioStream* stream = OpenStreamWrite(name.c_str(), &PackFile(*pack_), &packed);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(WriteShorts(stream, samples.data(), int64_t(samples.size())), int64_t(samples.size()));
    ASSERT_EQ(CloseStream(stream), 0);
    const auto size = static_cast<uint32_t>(platform::TellFile(PackFile(*pack_)) - at);
    ASSERT_EQ(AddEntryRecord(*pack_, {name, uint32_t(at), size, 0, FormatMajor(packed.format), stored}),
              PackWriteResult::kOk);
  }
  // Finishes the pack and opens it for reading.
  void Reopen() {
    ASSERT_EQ(FinishPack(*pack_), PackWriteResult::kOk);
    ASSERT_EQ(OpenPack(path_, PackKind::kAudio, &pack_, &reason_), kPackOk);
  }
  // Writes the next entry under the destination (or only reads it).
  int Extract(OutputBudget* budget, bool write = true) {
    DirectoryEntry entry;
    EXPECT_EQ(NextRecord(*pack_, &entry), kPackOk);
    EntryOutput output;
    output.destination = write ? &destination_ : nullptr;
    output.budget = budget;
    uint32_t unpacked = 0;
    return ExtractEntry(*pack_, entry, output, &unpacked, &reason_);
  }
};

// The bomb of a few kilobytes: an Ogg stream of 131072 frames at 12 kHz whose
// stored description asks for 768 kHz, 256 channels, 32 bits and 8388607
// frames (8.6 GB). Refused before the stream is decoded, written or read
// (verify), with the limit in the reason; without the ratio limit, by the
// 32-bit size a restored file must keep.
TEST_F(EntryLimitsTest, ARestoredFileBeyondItsLimitIsRefusedBeforeDecoding) {
  AudioInfo ogg = Describe(FMT_OGG, 16, 1, 12000);
  ogg.quality = -0.1f;  // oggenc -q -1
  const AudioInfo bomb = Describe(FMT_WAV | FMT_PCM, 32, 256, 768000, 8388607);
  for (int i = 0; i < 3; ++i) Add("bomb" + std::to_string(i) + ".wav", ogg, std::vector<int16_t>(131072), bomb);
  Reopen();
  ExpansionLimits unlimited;
  unlimited.enabled = false;
  OutputBudget free = MakeOutputBudget(unlimited, 0);
  const std::pair<OutputBudget*, const char*> runs[] = {
      {nullptr, "more than 67108864 bytes, the limit for an audio entry of "},
      {nullptr, "(1024 times that, at least 64 MiB)"},
      {&free, "more than 4294967295 bytes, the most a restored file can take"}};
  for (const auto& [budget, words] : runs) {
    EXPECT_EQ(Extract(budget, budget == nullptr), kPackBadPack);
    EXPECT_NE(reason_.find("the restored file would take 8589939712 bytes, "), std::string::npos) << reason_;
    EXPECT_NE(reason_.find(words), std::string::npos) << reason_;
  }
  EXPECT_TRUE(ListTree(dest_).empty());
  // Writers ask the same before they add such an entry.
  std::string why;
  EXPECT_FALSE(AudioEntryWithinLimits({"bomb.wav", 16, 5483, 0, FMT_OGG, bomb}, &why));
  EXPECT_NE(why.find("the limit for an audio entry of 5483 bytes"), std::string::npos) << why;
  const AudioInfo fine = Describe(FMT_WAV | FMT_PCM, 16, 2, 44100, 441000);
  EXPECT_TRUE(AudioEntryWithinLimits({"fine.wav", 16, 5483, 0, FMT_OGG, fine}));
}

// The restored size from the description against the files restorations
// write: exact where it says so (at least 30 layouts of the containers and
// PCM encodings at widths 1 to 32, 1 to 3 channels, even and odd frame
// counts), elsewhere at least the file's size and little more (floats, the
// compressed encodings, other containers' headers, 1 to 20001 frames);
// none for a codec format.
TEST_F(EntryLimitsTest, RestoredSizesAreThoseOfTheFilesRestorationsWrite) {
  std::vector<AudioInfo> described;
  for (uint32_t container : {FMT_WAV, FMT_AIFF, FMT_AU, FMT_AU_LE, FMT_RAW, FMT_NIST}) {
    for (uint32_t minor : {FMT_PCM, FMT_PCM_BE, FMT_PCM_LE, FMT_PCM_S8, FMT_PCM_U8, FMT_FLOAT, FMT_ULAW,
                           FMT_IMA_ADPCM}) {
      for (uint32_t bits : {1u, 7u, 8u, 12u, 16u, 24u, 32u}) {
        const auto n = uint32_t(described.size());
        described.push_back(Describe(container | minor, bits, 1 + n % 3, 8000, n % 2 == 0 ? 1000 : 777 + n % 5));
      }
    }
  }
  const std::tuple<uint32_t, uint32_t, uint32_t> kinds[] = {  // format, bits, channels
      {FMT_WAV | FMT_PCM, 16, 2},       {FMT_WAV | FMT_PCM, 8, 1},         {FMT_WAV | FMT_PCM, 24, 3},
      {FMT_WAV | FMT_FLOAT, 32, 6},     {FMT_WAV | FMT_ULAW, 16, 1},       {FMT_WAV | FMT_IMA_ADPCM, 16, 2},
      {FMT_WAV | FMT_MS_ADPCM, 16, 2},  {FMT_WAV | FMT_GSM610, 16, 1},     {FMT_AIFF | FMT_PCM, 24, 2},
      {FMT_AIFF | FMT_FLOAT, 32, 2},    {FMT_AU | FMT_G721_32, 16, 1},     {FMT_AU | FMT_G723_24, 16, 1},
      {FMT_NIST | FMT_PCM, 16, 2},      {FMT_IRCAM | FMT_PCM, 24, 2},      {FMT_IRCAM | FMT_FLOAT, 32, 1},
      {FMT_PAF | FMT_PCM, 24, 2},       {FMT_SVX | FMT_PCM, 8, 1},         {FMT_RAW | FMT_PCM_LE, 16, 2}};
  for (const auto& [format, bits, channels] : kinds) {
    for (uint32_t frames : {1u, 1001u, 20001u}) described.push_back(Describe(format, bits, channels, 22050, frames));
  }
  for (size_t i = 0; i < described.size(); ++i) {
    const AudioInfo& d = described[i];
    Add("e" + std::to_string(i), Describe(FMT_WAV | FMT_PCM, 16, d.channels, d.samplerate),
        std::vector<int16_t>(size_t{d.samples} * d.channels, int16_t(i * 37)), d);
  }
  Reopen();
  size_t exact = 0;
  for (size_t i = 0; i < described.size(); ++i) {
    const AudioInfo& d = described[i];
    SCOPED_TRACE(testing::Message() << std::hex << d.format << std::dec << ", " << d.pcmbitwidth << " bits, "
                                    << d.channels << " channels, " << d.samples << " frames");
    const int rc = Extract(nullptr);
    const std::optional<RestoredSize> size = RestoredSizeOf(d);
    ASSERT_TRUE(size.has_value());
    exact += size->exactBytes.has_value();
    EXPECT_TRUE(rc == kPackOk || !size->exactBytes) << reason_;
    if (rc != kPackOk) continue;
    const uint64_t actual = std::filesystem::file_size(dest_ + "/e" + std::to_string(i));
    EXPECT_EQ(size->exactBytes.value_or(actual), actual);
    EXPECT_GE(size->mostBytes, actual);
    EXPECT_LE(size->mostBytes, actual + actual / 8 + 8192);
  }
  EXPECT_GE(exact, 30u);
  EXPECT_FALSE(RestoredSizeOf(Describe(FMT_OGG, 16, 2, 44100, 1000)).has_value());
}

// A codec output, whose size is known only once encoded, stops where the
// run's allowance ends (nothing left under its name); the allowance is
// shared by the entries of the run and counts only what was written.
TEST_F(EntryLimitsTest, ACodecOutputStopsWhereTheRunsAllowanceEnds) {
  AudioInfo ogg = Describe(FMT_OGG, 16, 2, 22050, 22050);
  ogg.quality = 0.5f;
  const Bytes noise = Sample(22050 * 4, false);  // one second of stereo noise
  std::vector<int16_t> samples(noise.size() / 2);
  std::memcpy(samples.data(), noise.data(), noise.size());
  AudioInfo packed = ogg;
  packed.samples = 0;
  Add("first.ogg", packed, samples, ogg);
  Add("second.ogg", packed, samples, ogg);
  Reopen();
  OutputBudget budget = MakeOutputBudget(ExpansionLimits{}, PackSetBytes(tmp_ / "game"));
  ASSERT_EQ(Extract(&budget), kPackOk) << reason_;
  const uint64_t first = ReadBytes(dest_ + "/first.ogg").size();
  EXPECT_EQ(budget.usedBytes, first);
  budget.allowedBytes = first * 3 / 2;  // the second, as large, does not fit
  EXPECT_EQ(Extract(&budget), kPackBadPack);
  EXPECT_NE(reason_.find("the restored file would pass "), std::string::npos) << reason_;
  EXPECT_NE(reason_.find("what is left of the run's output limit of "), std::string::npos) << reason_;
  EXPECT_EQ(budget.usedBytes, first);
  EXPECT_EQ(ListTree(dest_), (std::vector<std::string>{"first.ogg"}));
}

// Many records over one data run: a run writes entries until the next would
// pass its allowance, then refuses every one, before writing it.
TEST_F(EntryLimitsTest, RecordsSharingADataRunStopAtTheRunsAllowance) {
  HandPack hand("KERVMAXU");
  const uint32_t at = hand.AddData(Sample(64 * 1024, false));
  for (int i = 0; i < 40; ++i) hand.AddRecord("copy" + std::to_string(i), at, 64 * 1024);
  WriteBytes(tmp_ / "shared.UPAK", hand.Build());
  ASSERT_EQ(OpenPack(tmp_ / "shared.UPAK", PackKind::kStored, &pack_, &reason_), kPackOk);
  ExpansionLimits limits;
  limits.runRatio = 10;
  limits.runFloorBytes = 0;
  OutputBudget budget = MakeOutputBudget(limits, PackSetBytes(tmp_ / "shared"));
  EXPECT_EQ(budget.allowedBytes, 10 * std::filesystem::file_size(tmp_ / "shared.UPAK"));
  std::vector<int> codes;
  for (int i = 0; i < 40; ++i) codes.push_back(Extract(&budget));
  EXPECT_EQ(std::count(codes.begin(), codes.end(), kPackOk), 10);
  EXPECT_EQ(std::count(codes.begin() + 10, codes.end(), kPackBadPack), 30);
  EXPECT_NE(reason_.find("the entry's 65536 bytes would pass the run's output limit of "), std::string::npos)
      << reason_;
  EXPECT_EQ(budget.usedBytes, 10u * 64 * 1024);
  EXPECT_EQ(ListTree(dest_).size(), 10u);
}

}  // namespace
