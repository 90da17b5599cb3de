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
  EXPECT_EQ(store.count, 0);
  EXPECT_EQ(SampleBufferWriteShort(stream, samples.data(), 5), 5);
  EXPECT_EQ(stream.info.samples, 2u);
  for (size_t at = 5; at < samples.size(); at += 333) {
    int64_t n = std::min<int64_t>(333, samples.size() - at);
    ASSERT_EQ(SampleBufferWriteShort(stream, samples.data() + at, n), n);
  }
  EXPECT_EQ(store.count, 10001);
  EXPECT_EQ(store.cursor, 10001);
  EXPECT_EQ(stream.info.samples, 5000u);
  EXPECT_EQ(std::vector<int16_t>(store.samples.get(), store.samples.get() + store.count), samples);
}

TEST(SampleBuffer, WriteThatCannotGrowReturns8AndStoresNothing) {
  AudioStream stream;
  SampleBuffer& store = Attach<SampleBuffer>(stream, 1);
  int16_t one[4] = {1, 2, 3, 4};
  ASSERT_EQ(SampleBufferWriteShort(stream, one, 4), 4);
  // A store at its 32-bit limit: the next write cannot fit.
  store.count = store.cursor = static_cast<int32_t>(kSampleStoreMax - 2);
  stream.info.samples = 7;
  EXPECT_EQ(SampleBufferWriteShort(stream, one, 4), 8);
  EXPECT_EQ(store.count, kSampleStoreMax - 2);
  EXPECT_EQ(stream.info.samples, 7u);
  EXPECT_EQ(store.capacity, 4);
  store.count = store.cursor = 4;
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
}

TEST(SampleBuffer, FloatStoreTruncatesClipsAndMapsNaNToZero) {
  AudioStream stream;
  FloatSampleBuffer& store = Attach<FloatSampleBuffer>(stream, 1);
  const float values[] = {-1.7f, 32767.9f, 1e9f, -1e9f, NAN, -32768.5f, 0.99f, -32768.0f, INFINITY};
  const int16_t expected[] = {-1, 32767, 32767, -32768, 0, -32768, 0, -32768, 32767};
  const int n = std::size(values);
  ASSERT_TRUE(ReserveSamples(store, n));
  std::copy(values, values + n, store.samples.get());
  store.count = n;
  int16_t out[std::size(values)] = {};
  ASSERT_EQ(FloatSampleBufferReadShort(stream, out, n), n);
  EXPECT_TRUE(std::equal(out, out + n, expected));
  // Writing stores each 16-bit value exactly.
  store.count = store.cursor = 0;
  const int16_t in[] = {-32768, 32767, -1};
  ASSERT_EQ(FloatSampleBufferWriteShort(stream, in, 3), 3);
  EXPECT_EQ(store.samples[0], -32768.0f);
  EXPECT_EQ(store.samples[1], 32767.0f);
  EXPECT_EQ(store.samples[2], -1.0f);
}

TEST(SampleBuffer, StoreOfTheOtherTypeDeliversNothing) {
  AudioStream stream;
  Attach<FloatSampleBuffer>(stream, 1);
  int16_t sample = 5;
  EXPECT_EQ(SampleBufferWriteShort(stream, &sample, 1), 0);
  EXPECT_EQ(SampleBufferReadShort(stream, &sample, 1), 0);
}

}  // namespace
