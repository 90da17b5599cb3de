// The memory sample buffer behind the codec-format streams.
#include "audio/sample_buffer/sample_buffer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <vector>

namespace {

template <typename Store>
Store& Attach(AudioStream& stream, uint32_t channels) {
  stream.info.channels = channels;
  stream.codecdata = std::make_unique<Store>();
  return static_cast<Store&>(*stream.codecdata);
}

TEST(SampleBuffer, WritesAppendInOrderAndCountFrames) {
  AudioStream stream;
  SampleBuffer& store = Attach<SampleBuffer>(stream, 2);
  std::vector<int16_t> samples(10001);
  std::iota(samples.begin(), samples.end(), int16_t{-5000});
  EXPECT_EQ(SampleBufferWriteShort(stream, samples.data(), 0), 0);
  EXPECT_EQ(SampleBufferWriteShort(stream, samples.data(), 5), 5);
  EXPECT_EQ(stream.info.samples, 2u);
  for (size_t at = 5; at < samples.size(); at += 333) {
    int64_t n = std::min<int64_t>(333, samples.size() - at);
    ASSERT_EQ(SampleBufferWriteShort(stream, samples.data() + at, n), n);
  }
  EXPECT_EQ(store.cursor, 10001);
  EXPECT_EQ(stream.info.samples, 5000u);
  EXPECT_EQ(std::vector<int16_t>(store.samples.get(), store.samples.get() + store.count), samples);
  // A store at its 32-bit limit refuses the next write and keeps its state.
  store.count = store.cursor = static_cast<int32_t>(kSampleStoreMax - 2);
  EXPECT_EQ(SampleBufferWriteShort(stream, samples.data(), 4), 8);
  EXPECT_EQ(store.count, kSampleStoreMax - 2);
  EXPECT_EQ(stream.info.samples, 5000u);
}

TEST(SampleBuffer, ReadDeliversWhatRemainsThenNothing) {
  AudioStream stream;
  SampleBuffer& store = Attach<SampleBuffer>(stream, 1);
  std::vector<int16_t> samples(1600, 9);
  ASSERT_EQ(SampleBufferWriteShort(stream, samples.data(), 1600), 1600);
  store.cursor = 1000;
  std::vector<int16_t> out(1001, -1);
  EXPECT_EQ(SampleBufferReadShort(stream, out.data(), 1000), 600);
  EXPECT_EQ(store.cursor, store.count);
  EXPECT_EQ(out[599], 9);
  EXPECT_EQ(out[600], -1);
  EXPECT_EQ(SampleBufferReadShort(stream, out.data(), 1000), 0);
  // A store of the other element type is not read as this one.
  EXPECT_EQ(FloatSampleBufferReadShort(stream, out.data(), 1000), 0);
}

TEST(SampleBuffer, FloatStoreTruncatesClipsAndMapsNaNToZero) {
  AudioStream stream;
  FloatSampleBuffer& store = Attach<FloatSampleBuffer>(stream, 1);
  const int16_t in[] = {-32768, 32767, -1};
  ASSERT_EQ(FloatSampleBufferWriteShort(stream, in, 3), 3);
  EXPECT_EQ(std::vector<float>(store.samples.get(), store.samples.get() + 3),
            (std::vector<float>{-32768.0f, 32767.0f, -1.0f}));
  const std::vector<float> values = {-1.7f, 32767.9f, 1e9f, -1e9f, NAN, -32768.5f, 0.99f, INFINITY};
  ASSERT_TRUE(ReserveSamples(store, values.size()));
  std::copy(values.begin(), values.end(), store.samples.get());
  store.count = values.size();
  store.cursor = 0;
  std::vector<int16_t> out(values.size());
  ASSERT_EQ(FloatSampleBufferReadShort(stream, out.data(), out.size()), int64_t(values.size()));
  EXPECT_EQ(out, (std::vector<int16_t>{-1, 32767, 32767, -32768, 0, -32768, 0, 32767}));
}

}  // namespace
