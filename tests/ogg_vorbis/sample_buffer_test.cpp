// SPDX-License-Identifier: GPL-2.0-or-later
// The memory sample buffer behind the codec-format streams. Appending in
// pieces, counting frames and reading back are exercised by every Ogg stream
// of the module's tests; here are the edges those do not reach.
#include "audio/sample_buffer/sample_buffer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

template <typename Store>
Store& Attach(AudioStream& stream) {
  stream.info.channels = 1;
  stream.codecdata = std::make_unique<Store>();
  return static_cast<Store&>(*stream.codecdata);
}

// A read delivers what remains and writes nothing past it; a store of the
// other element type is not read as this one; a store at its 32-bit limit
// refuses the next write and keeps its state. Floats are truncated and
// clipped, NaN gives 0.
TEST(SampleBuffer, EdgesOfReadingAndWriting) {
  AudioStream stream;
  SampleBuffer& store = Attach<SampleBuffer>(stream);
  std::vector<int16_t> samples(1600, 9), out(1001, -1);
  ASSERT_EQ(SampleBufferWriteShort(stream, samples.data(), 1600), 1600);
  store.cursor = 1000;
  EXPECT_EQ(FloatSampleBufferReadShort(stream, out.data(), 1000), 0);
  EXPECT_EQ(SampleBufferReadShort(stream, out.data(), 1000), 600);
  EXPECT_EQ(out[599], 9);
  EXPECT_EQ(out[600], -1);
  EXPECT_EQ(SampleBufferReadShort(stream, out.data(), 1000), 0);
  store.count = store.cursor = static_cast<int32_t>(kSampleStoreMax - 2);
  EXPECT_EQ(SampleBufferWriteShort(stream, samples.data(), 4), 8);
  EXPECT_EQ(store.count, kSampleStoreMax - 2);
  EXPECT_EQ(stream.info.samples, 1600u);

  FloatSampleBuffer& floats = Attach<FloatSampleBuffer>(stream);
  const std::vector<float> values = {-1.7f, 32767.9f, 1e9f, -1e9f, NAN, -32768.5f, 0.99f, INFINITY};
  ASSERT_TRUE(ReserveSamples(floats, values.size()));
  std::copy(values.begin(), values.end(), floats.samples.get());
  floats.count = values.size();
  out.resize(values.size());
  ASSERT_EQ(FloatSampleBufferReadShort(stream, out.data(), out.size()), int64_t(values.size()));
  EXPECT_EQ(out, (std::vector<int16_t>{-1, 32767, 32767, -32768, 0, -32768, 0, 32767}));
}

}  // namespace
