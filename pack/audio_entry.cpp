// Audio entry restoration: the packed stream is decoded in place inside the
// pack into interleaved 16-bit samples, brought to the stored description and
// written as a new file in the stored container and encoding.
#include "pack/audio_entry.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "audio/stream/audio_stream.h"
#include "convert/convert.h"
#include "pack/entry_limits.h"
#include "pack/pack_internal.h"

using pack_internal::Fail;

namespace {

constexpr uint32_t kMaxChannels = 256;
// Most samples (all channels together) a buffer may hold: the layer's and
// the conversion's sample counts are signed 32-bit.
constexpr uint64_t kMaxSamples = INT32_MAX;
// The ordinary containers hold every sample in at least one bit.
constexpr uint64_t kMaxSamplesPerByte = 8;
// Sample rates of real audio, in Hz, and the largest rate change (either
// way) a restoration makes: beyond them the rate converter would spend
// seconds on a few hundred bytes.
constexpr uint32_t kMinRate = 1000;
constexpr uint32_t kMaxRate = 768000;
constexpr uint64_t kMaxRateChange = 64;
// The most samples (all channels together) that one second of padding may
// add: beyond it, a few hundred bytes of many channels at a high rate would
// restore to hundreds of megabytes. Still 4096 frames at 256 channels, more
// than any codec pads.
constexpr uint64_t kMaxSecondOfPadding = uint64_t{1} << 20;
// Samples read at a time: the buffer grows by a piece that stays in the
// cache while it is zeroed and then filled, instead of being zeroed whole
// first and filled afterwards.
constexpr uint64_t kReadPieceSamples = 64 * 1024;

// Why `info` cannot describe a stream to restore, or empty when it can.
std::string Implausible(const AudioInfo& info) {
  if (info.channels < 1 || info.channels > kMaxChannels) return std::to_string(info.channels) + " channels";
  if (info.samplerate < kMinRate || info.samplerate > kMaxRate) {
    return "a sample rate of " + std::to_string(info.samplerate) + " Hz (real audio has 1000 to 768000)";
  }
  if (info.pcmbitwidth < 1 || info.pcmbitwidth > 32) return "a bit width of " + std::to_string(info.pcmbitwidth);
  if (uint64_t{info.samples} * info.channels > kMaxSamples) {
    return std::to_string(info.samples) + " frames of " + std::to_string(info.channels) + " channels";
  }
  return {};
}

// Why the stored description cannot be the source of a stream that decodes
// to `decoded`, or empty when it can. The rate may change by at most 64:1
// either way; the stored frames may pass the decoded ones, brought to the
// stored rate, only by a codec's padding: at most one second of frames (of
// no more than 2^20 samples) or 1 % of them, whichever is more. REQUIRES:
// both descriptions plausible.
std::string Mismatched(const AudioInfo& decoded, const AudioInfo& stored) {
  const uint64_t high = std::max(decoded.samplerate, stored.samplerate);
  const uint64_t low = std::min(decoded.samplerate, stored.samplerate);
  if (high > low * kMaxRateChange) {
    return "a rate of " + std::to_string(stored.samplerate) + " Hz for a stream of " +
           std::to_string(decoded.samplerate) + " Hz (more than 64:1)";
  }
  const uint64_t converted =
      (uint64_t{decoded.samples} * stored.samplerate + decoded.samplerate - 1) / decoded.samplerate;
  const uint64_t second = std::min<uint64_t>(stored.samplerate, kMaxSecondOfPadding / stored.channels);
  const uint64_t padding = std::max<uint64_t>(second, converted / 100);
  if (stored.samples > converted + padding) {
    return std::to_string(stored.samples) + " frames for a stream of " + std::to_string(decoded.samples) +
           " frames at " + std::to_string(decoded.samplerate) + " Hz";
  }
  return {};
}

// Reads `count` samples of `stream` into `samples` (whole frames of
// `channels` at a time), then zeros up to `total`. Returns 0 when every
// sample announced was delivered, else -4 with *reason set: a read of the
// pack that failed, or a stream that delivers fewer samples than it
// announced. REQUIRES: room reserved for `total` >= `count`, so that growing
// never allocates.
int ReadAll(AudioStream* stream, uint32_t channels, uint64_t count, uint64_t total, std::vector<int16_t>& samples,
            std::string* reason) {
  const uint64_t piece = std::max<uint64_t>(kReadPieceSamples / channels, 1) * channels;
  uint64_t delivered = 0;
  while (samples.size() < count) {
    const size_t at = samples.size();
    const uint64_t n = std::min<uint64_t>(piece, count - at);
    samples.resize(at + n);
    const int64_t got = ReadShorts(stream, samples.data() + at, static_cast<int64_t>(n));
    delivered += static_cast<uint64_t>(std::max<int64_t>(got, 0));
    if (const int error = StreamError(stream); error != 0) {
      return Fail(reason, kPackAudioFailed,
                  "the packed audio stream cannot be read: " + ErrorReason(error, StreamSystemError(stream)));
    }
  }
  if (delivered != count) {
    return Fail(reason, kPackAudioFailed,
                "the packed audio stream delivers " + std::to_string(delivered) + " of the " +
                    std::to_string(count) + " samples it announces");
  }
  samples.resize(static_cast<size_t>(total));
  return kPackOk;
}

// Decodes the packed stream and brings it to `stored`: on 0, `samples` holds
// at least stored.channels * stored.samples values, the frames to write,
// and *limit the most the restored file may take under `budget`. Returns
// 0, -1, -3 or -4. Every check on sizes and rates comes before anything is
// allocated for the samples.
int DecodeToStored(const AudioInfo& stored, platform::File& packFile, const char* entryName, uint32_t packedSize,
                   uint32_t streamFormat, const OutputBudget* budget, pack_internal::AudioOutputLimit* limit,
                   std::vector<int16_t>& samples, std::string* reason) {
  if (std::string why = Implausible(stored); !why.empty()) {
    return Fail(reason, kPackBadPack, "the stored audio description has " + why);
  }
  if (const int rc = pack_internal::LimitAudioOutput(stored, packedSize, budget, limit, reason); rc != kPackOk) {
    return rc;
  }
  // A length of 0 would open everything up to the end of the pack.
  if (packedSize == 0) return Fail(reason, kPackAudioFailed, "the packed audio stream is empty");
  AudioInfo decoded;
  decoded.format = streamFormat;
  StreamPtr stream(OpenStreamRead(entryName, &packFile, &decoded, packedSize));
  if (!stream) {
    return Fail(reason, kPackAudioFailed, "the packed audio stream cannot be opened: " + ErrorReason(LastError()));
  }
  if (std::string why = Implausible(decoded); !why.empty()) {
    return Fail(reason, kPackAudioFailed, "the packed audio stream has " + why);
  }
  const uint64_t decodedCount = uint64_t{decoded.samples} * decoded.channels;
  // Codec streams are bounded by the layer as they decode.
  if (!pack_internal::IsCodecFormat(decoded.format) && decodedCount > uint64_t{packedSize} * kMaxSamplesPerByte) {
    return Fail(reason, kPackAudioFailed,
                "the packed audio stream announces " + std::to_string(decoded.samples) + " frames in " +
                    std::to_string(packedSize) + " bytes");
  }
  if (std::string why = Mismatched(decoded, stored); !why.empty()) {
    return Fail(reason, kPackBadPack, "the stored audio description has " + why);
  }
  // Room for the larger frame count: a stream shorter than the source ends in
  // silence, and neither the conversion nor the write reads past the buffer.
  const uint64_t frames = std::max(decoded.samples, stored.samples);
  if (frames * decoded.channels > kMaxSamples) {
    return Fail(reason, kPackAudioFailed, "the samples would exceed 2^31 values");
  }
  if (!ReserveSamples(samples, frames * decoded.channels)) return Fail(reason, kPackNoMemory, "out of memory for the samples");
  const int rc = ReadAll(stream.get(), decoded.channels, decodedCount, frames * decoded.channels, samples, reason);
  if (rc != kPackOk) return rc;
  stream.reset();

  decoded.samples = stored.samples;
  if (ConvertToStoredInfo(decoded, stored, samples) == 0) {
    return Fail(reason, kPackAudioFailed,
                "the decoded samples cannot be brought to the stored description (" +
                    std::to_string(decoded.samplerate) + " Hz to " + std::to_string(stored.samplerate) +
                    " Hz), or memory ran out");
  }
  // Holds after every successful conversion; checked so no write can read past.
  if (samples.size() < uint64_t{stored.samples} * stored.channels) {
    return Fail(reason, kPackAudioFailed, "the converted samples are fewer than the stored description needs");
  }
  return kPackOk;
}

}  // namespace

int RestoreAudioEntry(const pack_internal::OutputFile& output, const AudioInfo& storedInfo,
                      platform::File& packFile, const char* entryName, uint32_t packedSize, uint32_t* unpackedSize,
                      uint32_t streamFormat, std::string* reason) {
  *unpackedSize = 0;
  // The output is placed first, so that an entry that is not to be written
  // there is not decoded for nothing.
  platform::PendingFile pending;
  int rc = pack_internal::CreateOutput(output, &pending, reason);
  if (rc != kPackOk) return rc;
  // A second descriptor of the output measures the file once it is in place.
  platform::File written = platform::DuplicateFile(pending.file());
  std::vector<int16_t> samples;
  pack_internal::AudioOutputLimit limit;
  rc = DecodeToStored(storedInfo, packFile, entryName, packedSize, streamFormat, output.budget, &limit, samples,
                      reason);
  if (rc != kPackOk) return rc;
  // The codec formats' sizes are known only as they are written.
  pending.file().SetWriteLimit(limit.bytes);
  const auto limited = [&] {
    const int64_t size = written.IsOpen() ? platform::FileSize(written) : -1;
    return pack_internal::AudioLimitReached(limit, static_cast<uint64_t>(std::max<int64_t>(size, 0)), reason);
  };

  AudioInfo info = storedInfo;
  WriteStreamPtr stream(OpenPendingFileWrite(output.shown.c_str(), &pending, &info));
  if (!stream) return Fail(reason, kPackFileError, "cannot create " + output.shown + ": " + ErrorReason(LastError()));
  const int64_t count = static_cast<int64_t>(uint64_t{storedInfo.samples} * storedInfo.channels);
  if (WriteShorts(stream.get(), samples.data(), count) != count) {
    if (const int reached = limited(); reached != kPackOk) return reached;
    return Fail(reason, kPackFileError,
                "cannot write " + output.shown + ": " +
                    ErrorReason(StreamError(stream.get()), StreamSystemError(stream.get())));
  }
  samples = std::vector<int16_t>();
  const int closed = CloseStream(stream.release());
  if (const int systemError = errno; closed != 0) {
    if (const int reached = limited(); reached != kPackOk) return reached;
    return Fail(reason, kPackFileError, "cannot complete " + output.shown + ": " + ErrorReason(closed, systemError));
  }
  const int64_t size = written.IsOpen() ? platform::FileSize(written) : -1;
  if (size < 0) return Fail(reason, kPackFileError, "cannot measure " + output.shown);
  *unpackedSize = static_cast<uint32_t>(size);
  pack_internal::ChargeOutput(output.budget, static_cast<uint64_t>(size));
  pack_internal::ReportWritten(output, static_cast<uint64_t>(size));
  return pack_internal::DeliverOutput(output, written, reason);
}

int CheckAudioEntry(const AudioInfo& storedInfo, platform::File& packFile, const char* entryName,
                    uint32_t packedSize, uint32_t streamFormat, OutputBudget* budget, std::string* reason) {
  std::vector<int16_t> samples;
  pack_internal::AudioOutputLimit limit;
  const int rc = DecodeToStored(storedInfo, packFile, entryName, packedSize, streamFormat, budget, &limit, samples,
                                reason);
  if (rc == kPackOk) pack_internal::ChargeOutput(budget, pack_internal::RestoredFileBytes(storedInfo).value_or(0));
  return rc;
}
