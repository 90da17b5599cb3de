// SPDX-License-Identifier: GPL-2.0-or-later
// Audio entry restoration: the packed stream is decoded in place inside the
// pack into interleaved 16-bit samples, brought to the stored description and
// written as a new file in the stored container and encoding.
#include "pack/audio_entry_read.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>

#include "audio/stream/audio_stream.h"
#include "convert/convert.h"
#include "pack/entry_limits.h"
#include "pack/pack_internal.h"
#include "pack/restored_size.h"

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
// Samples read at a time when the rest of a packed stream is read through.
constexpr int64_t kDrainSamples = 64 * 1024;

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

// The packed stream of an entry, open for reading, with what it has
// delivered so far.
struct PackedStream {
  StreamPtr stream;
  AudioInfo info;          // the decoded description
  uint64_t announced = 0;  // samples the stream announces, all channels
  uint64_t delivered = 0;  // samples it has delivered so far
  int error = 0;           // the stream's error once a read failed
  int systemError = 0;
};

// Reads the next `count` samples (whole frames) into `buffer`, zeros past
// the stream's end. Returns false once a read failed.
bool ReadPacked(PackedStream& packed, int16_t* buffer, int64_t count) {
  if (packed.error != 0) return false;
  const int64_t got = ReadShorts(packed.stream.get(), buffer, count);
  packed.delivered += static_cast<uint64_t>(std::max<int64_t>(got, 0));
  packed.error = StreamError(packed.stream.get());
  packed.systemError = StreamSystemError(packed.stream.get());
  return packed.error == 0;
}

// Reads what is left of the packed stream and closes it. Returns 0 when the
// stream delivered every sample it announced, else -4 with *reason set: a
// read of the pack that failed, or a stream that delivers fewer samples
// than it announced.
int FinishPacked(PackedStream& packed, std::string* reason) {
  if (packed.error == 0 && packed.delivered < packed.announced) {
    const uint64_t piece = std::max<uint64_t>(kDrainSamples / packed.info.channels, 1) * packed.info.channels;
    std::unique_ptr<int16_t[]> scratch(new (std::nothrow) int16_t[piece]);
    if (!scratch) return Fail(reason, kPackNoMemory, "out of memory for the samples");
    uint64_t before = 0;
    do {
      before = packed.delivered;
      const uint64_t n = std::min<uint64_t>(piece, packed.announced - packed.delivered);
      (void)ReadPacked(packed, scratch.get(), static_cast<int64_t>(n));
    } while (packed.error == 0 && packed.delivered < packed.announced && packed.delivered > before);
  }
  packed.stream.reset();
  if (packed.error != 0) {
    return Fail(reason, kPackAudioFailed,
                "the packed audio stream cannot be read: " + ErrorReason(packed.error, packed.systemError));
  }
  if (packed.delivered != packed.announced) {
    return Fail(reason, kPackAudioFailed,
                "the packed audio stream delivers " + std::to_string(packed.delivered) + " of the " +
                    std::to_string(packed.announced) + " samples it announces");
  }
  return kPackOk;
}

// Opens the packed stream and checks it against `stored`; sets *limit to
// the most the restored file may take under `budget`. Returns 0, -3 or -4;
// every check on sizes and rates comes before anything is allocated for the
// samples.
int OpenPacked(const AudioInfo& stored, platform::File& packFile, const char* entryName, uint32_t packedSize,
               uint32_t streamFormat, const OutputBudget* budget, pack_internal::AudioOutputLimit* limit,
               PackedStream& packed, std::string* reason) {
  if (std::string why = Implausible(stored); !why.empty()) {
    return Fail(reason, kPackBadPack, "the stored audio description has " + why);
  }
  if (const int rc = pack_internal::LimitAudioOutput(stored, packedSize, budget, limit, reason); rc != kPackOk) {
    return rc;
  }
  // A length of 0 would open everything up to the end of the pack.
  if (packedSize == 0) return Fail(reason, kPackAudioFailed, "the packed audio stream is empty");
  AudioInfo& decoded = packed.info;
  decoded.format = streamFormat;
  packed.stream.reset(OpenStreamRead(entryName, &packFile, &decoded, packedSize));
  if (!packed.stream) {
    return Fail(reason, kPackAudioFailed, "the packed audio stream cannot be opened: " + ErrorReason(LastError()));
  }
  if (std::string why = Implausible(decoded); !why.empty()) {
    return Fail(reason, kPackAudioFailed, "the packed audio stream has " + why);
  }
  packed.announced = uint64_t{decoded.samples} * decoded.channels;
  // Codec streams are bounded by the layer as they decode.
  if (!IsCodecFormat(decoded.format) && packed.announced > uint64_t{packedSize} * kMaxSamplesPerByte) {
    return Fail(reason, kPackAudioFailed,
                "the packed audio stream announces " + std::to_string(decoded.samples) + " frames in " +
                    std::to_string(packedSize) + " bytes");
  }
  if (std::string why = Mismatched(decoded, stored); !why.empty()) {
    return Fail(reason, kPackBadPack, "the stored audio description has " + why);
  }
  // The restoration's sample counts are signed 32-bit.
  if (uint64_t{std::max(decoded.samples, stored.samples)} * decoded.channels > kMaxSamples) {
    return Fail(reason, kPackAudioFailed, "the samples would exceed 2^31 values");
  }
  return kPackOk;
}

// Sets up the conversion of the packed stream's samples to the stored
// frames. Returns 0 or -4.
int BeginStoredConversion(PackedStream& packed, const AudioInfo& stored, SampleConversionPtr& conversion,
                          std::string* reason) {
  conversion = BeginConversion(packed.info, stored, stored.samples, [&packed](int16_t* buffer, int64_t count) {
    return ReadPacked(packed, buffer, count);
  });
  if (!conversion) {
    return Fail(reason, kPackAudioFailed,
                "the decoded samples cannot be brought to the stored description (" +
                    std::to_string(packed.info.samplerate) + " Hz to " + std::to_string(stored.samplerate) +
                    " Hz), or memory ran out");
  }
  return kPackOk;
}

// Takes every block of converted samples; `write`, when given, is handed
// each and returns false when it cannot take it. Returns 0; -4 (as
// FinishPacked) when the packed stream failed, which counts before a block
// that could not be written; 1 when `write` refused a block.
template <class Write>
int ConvertAll(PackedStream& packed, SampleConversion& conversion, Write&& write, std::string* reason) {
  bool refused = false;
  for (;;) {
    const int16_t* block = nullptr;
    const int64_t n = NextConverted(conversion, block);
    if (n <= 0) break;
    if (!write(block, n)) {
      refused = true;
      break;
    }
  }
  const int rc = FinishPacked(packed, reason);
  if (rc != kPackOk) return rc;
  return refused ? 1 : kPackOk;
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
  PackedStream packed;
  pack_internal::AudioOutputLimit limit;
  rc = OpenPacked(storedInfo, packFile, entryName, packedSize, streamFormat, output.budget, &limit, packed, reason);
  if (rc != kPackOk) return rc;
  SampleConversionPtr conversion;
  rc = BeginStoredConversion(packed, storedInfo, conversion, reason);
  if (rc != kPackOk) return rc;
  // The codec formats' sizes are known only as they are written.
  pending.file().SetWriteLimit(limit.bytes);
  const auto limited = [&] {
    const int64_t size = written.IsOpen() ? platform::FileSize(written) : -1;
    return pack_internal::AudioLimitReached(limit, static_cast<uint64_t>(std::max<int64_t>(size, 0)), reason);
  };

  // Blocks are decoded, converted and written one at a time. A packed stream
  // that fails counts before the output: it is read through first.
  AudioInfo info = storedInfo;
  WriteStreamPtr stream(OpenPendingFileWrite(output.shown.c_str(), &pending, &info));
  if (!stream) {
    const int error = LastError();
    rc = FinishPacked(packed, reason);
    if (rc != kPackOk) return rc;
    return Fail(reason, kPackFileError, "cannot create " + output.shown + ": " + ErrorReason(error));
  }
  rc = ConvertAll(packed, *conversion, [&stream](const int16_t* block, int64_t n) {
    return WriteShorts(stream.get(), block, n) == n;
  }, reason);
  if (rc == 1) {
    if (const int reached = limited(); reached != kPackOk) return reached;
    return Fail(reason, kPackFileError,
                "cannot write " + output.shown + ": " +
                    ErrorReason(StreamError(stream.get()), StreamSystemError(stream.get())));
  }
  if (rc != kPackOk) return rc;
  conversion.reset();
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
  PackedStream packed;
  pack_internal::AudioOutputLimit limit;
  int rc = OpenPacked(storedInfo, packFile, entryName, packedSize, streamFormat, budget, &limit, packed, reason);
  if (rc != kPackOk) return rc;
  SampleConversionPtr conversion;
  rc = BeginStoredConversion(packed, storedInfo, conversion, reason);
  if (rc != kPackOk) return rc;
  rc = ConvertAll(packed, *conversion, [](const int16_t*, int64_t) { return true; }, reason);
  if (rc == kPackOk) pack_internal::ChargeOutput(budget, RestoredSizeOf(storedInfo).value_or(RestoredSize{}).mostBytes);
  return rc;
}
