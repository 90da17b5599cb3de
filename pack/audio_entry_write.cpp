// SPDX-License-Identifier: GPL-2.0-or-later
// Audio entries: the packed stream of one audio file, its own bytes (keep),
// its samples as a WAV stream (pcm), or re-encoded as Ogg Vorbis (ogg), AAC
// (aac) or VQF (vqf), written in place at the pack's data end. The lossless
// modes are tried: the entry is restored and compared with the source before
// its record is added.
#include "pack/audio_entry_write.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "audio/stream/audio_stream.h"
#include "codecs/twinvq/twinvq.h"
#include "convert/convert.h"
#include "pack/pack_internal.h"

struct AudioSource {
  std::string path;
  platform::File file;
  AudioInfo info;  // as the layer reads it: what the entry stores
  StreamPtr stream;
  uint64_t bytes = 0;  // the file's length
};

namespace {

// Bytes and samples moved at a time.
constexpr size_t kCopyBytes = 256 * 1024;
constexpr int64_t kChunkSamples = 64 * 1024;
// The Ogg module reads a quality of 0.0 as "not set" (bitrate-managed mode):
// oggenc's quality 0 is passed as this instead.
constexpr float kQualityZero = 1e-4f;
// How many times higher or lower than the VQF rate it is packed at a
// source's rate may be.
constexpr double kVqfRateReach = 1.5;

// `values` joined by ", ", with `last` before the last.
template <typename T>
std::string NumberList(const std::vector<T>& values, const char* last) {
  std::string text;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text += i + 1 == values.size() ? last : ", ";
    text += std::to_string(values[i]);
  }
  return text;
}

bool SameBytes(const std::string& a, const std::string& b) {
  platform::File fa = platform::OpenExistingReadOnly(a);
  platform::File fb = platform::OpenExistingReadOnly(b);
  if (!fa.IsOpen() || !fb.IsOpen()) return false;
  std::vector<char> ba(kCopyBytes), bb(kCopyBytes);
  for (;;) {
    const int64_t na = platform::ReadFile(fa, ba.data(), ba.size());
    const int64_t nb = platform::ReadFile(fb, bb.data(), bb.size());
    if (na != nb || na < 0) return false;
    if (na == 0) return true;
    if (std::memcmp(ba.data(), bb.data(), static_cast<size_t>(na)) != 0) return false;
  }
}

int64_t SizeOf(const std::string& path) {
  platform::File f = platform::OpenExistingReadOnly(path);
  return f.IsOpen() ? platform::FileSize(f) : -1;
}

std::string TooLarge() { return WriteResultMessage(PackWriteResult::kTooLarge); }

// Copies the source file's bytes to the pack file's position.
AudioPackResult CopyBytes(PackHandle& pack, AudioSource& source, std::string* why) {
  if (DataEnd(pack) + source.bytes > kMaxPackBytes) {
    *why = TooLarge();
    return AudioPackResult::kFailed;
  }
  if (platform::SeekFile(source.file, 0, platform::SeekOrigin::kBegin) != 0) {
    *why = "cannot read it: " + std::string(std::strerror(errno));
    return AudioPackResult::kFailed;
  }
  std::vector<char> buffer(kCopyBytes);
  uint64_t copied = 0;
  for (int64_t got; (got = platform::ReadFile(source.file, buffer.data(), buffer.size())) != 0; copied += got) {
    if (got < 0) {
      *why = "cannot read it: " + std::string(std::strerror(errno));
      return AudioPackResult::kFailed;
    }
    if (platform::WriteFile(PackFile(pack), buffer.data(), static_cast<size_t>(got)) != got) {
      *why = WriteResultMessage(PackWriteResult::kWriteFailed) + std::string(" (") + std::strerror(errno) + ")";
      return AudioPackResult::kFailed;
    }
  }
  if (copied != source.bytes) {
    *why = "it changed while it was packed";
    return AudioPackResult::kFailed;
  }
  return AudioPackResult::kPacked;
}

// Reads the next `n` samples of the source into `to`, moved `shift` bits up.
bool ReadSource(AudioSource& source, int16_t* to, int64_t n, int shift, std::string* why) {
  if (ReadShorts(source.stream.get(), to, n) != n) {
    *why = "it holds fewer samples than its header announces";
    return false;
  }
  if (shift > 0) {
    for (int64_t i = 0; i < n; ++i) to[i] = static_cast<int16_t>(static_cast<uint16_t>(to[i]) << shift);
  }
  return true;
}

// Writes every sample of the source as a new stream described by `target`
// at the pack file's position, moved `shift` bits up to the target's scale
// and converted to the target's rate when that differs from the source's
// (by the rate converter that restoration uses the other way: as many
// frames as cover the source's duration at that rate), one block at a time.
AudioPackResult WriteSamples(PackHandle& pack, AudioSource& source, AudioInfo target, int shift,
                             std::string* why) {
  const AudioInfo& info = source.info;
  const int64_t channels = info.channels;
  // Source samples not read yet; the conversion reads zeros after them.
  int64_t left = static_cast<int64_t>(info.samples) * channels;
  auto read = [&](int16_t* to, int64_t n) {
    const int64_t take = std::min(n, left);
    if (take > 0 && !ReadSource(source, to, take, shift, why)) return false;
    std::fill(to + take, to + n, int16_t{0});
    left -= take;
    return true;
  };
  SampleConversionPtr conversion;
  if (target.samplerate != info.samplerate) {
    const uint64_t converted = (uint64_t{info.samples} * target.samplerate + info.samplerate - 1) / info.samplerate;
    AudioInfo from = info, to = info;
    from.pcmbitwidth = to.pcmbitwidth = 16;
    to.samplerate = target.samplerate;
    if (std::max<uint64_t>(info.samples, converted) * info.channels > INT32_MAX) {
      *why = "its samples at " + std::to_string(target.samplerate) + " Hz do not fit in memory";
      return AudioPackResult::kFallBack;
    }
    conversion = BeginConversion(from, to, converted, read);
    if (!conversion) {
      *why = "its samples cannot be converted to " + std::to_string(target.samplerate) + " Hz";
      return AudioPackResult::kFallBack;
    }
  }
  WriteStreamPtr out(OpenStreamWrite(source.path.c_str(), &PackFile(pack), &target));
  if (!out) {
    *why = "it cannot be written as " + FormatName(target.format) + ": " + ErrorReason(LastError());
    return AudioPackResult::kFallBack;
  }
  std::vector<int16_t> chunk(static_cast<size_t>(std::max<int64_t>(kChunkSamples / channels, 1) * channels));
  for (;;) {
    const int16_t* block = chunk.data();
    int64_t n = 0;
    if (conversion) {
      n = NextConverted(*conversion, block);
      if (n < 0) return AudioPackResult::kFallBack;
    } else {
      n = std::min<int64_t>(static_cast<int64_t>(chunk.size()), left);
      if (n > 0 && !read(chunk.data(), n)) return AudioPackResult::kFallBack;
    }
    if (n == 0) break;
    if (WriteShorts(out.get(), block, n) != n) {
      *why = "cannot write the pack: " + ErrorReason(StreamError(out.get()), StreamSystemError(out.get()));
      return AudioPackResult::kFailed;
    }
  }
  conversion.reset();
  const int closed = CloseStream(out.release());
  const int systemError = errno;
  if (closed == kErrorInternal) {
    *why = "the " + FormatName(target.format) + " encoder refuses " + std::to_string(target.channels) +
           " channels at " + std::to_string(target.samplerate) + " Hz";
    return AudioPackResult::kFallBack;
  }
  if (FormatMajor(target.format) == FMT_VQF && closed >= kErrorVqfUnspecified && closed <= kErrorVqfSampleRate) {
    *why = "the VQF encoder refuses it: " + ErrorReason(closed);
    return AudioPackResult::kFallBack;
  }
  if (closed != 0) {
    *why = "cannot write the pack: " + ErrorReason(closed, systemError);
    return AudioPackResult::kFailed;
  }
  return AudioPackResult::kPacked;
}

// The description of the VQF stream a source is packed as: the VQF rate
// nearest its rate, and that rate's bit rate nearest `kbps` (the highest for
// 0). False with *why set when VQF cannot carry the source.
bool VqfTarget(const AudioInfo& info, int kbps, AudioInfo* target, std::string* why) {
  if (info.channels > kTvqMaxChannels) {
    *why = "VQF carries 1 or 2 channels, not " + std::to_string(info.channels);
    return false;
  }
  uint32_t nearest = kTvqModes[0].sampleRate;
  double distance = std::numeric_limits<double>::infinity();
  for (const TvqMode& mode : kTvqModes) {
    const double d = std::fabs(std::log(static_cast<double>(info.samplerate) / mode.sampleRate));
    if (d < distance) {
      distance = d;
      nearest = mode.sampleRate;
    }
  }
  if (!(distance <= std::log(kVqfRateReach))) {
    *why = "its rate (" + std::to_string(info.samplerate) + " Hz) is too far from the VQF rates (" +
           VqfSampleRates(" and ") + " Hz)";
    return false;
  }
  int chosen = 0;
  for (const TvqMode& mode : kTvqModes) {
    const int rate = mode.kbps;
    if (mode.sampleRate == nearest &&
        (chosen == 0 || kbps == 0 || std::abs(rate - kbps) <= std::abs(chosen - kbps))) {
      chosen = rate;
    }
  }
  target->format = FMT_VQF;
  target->samplerate = nearest;
  target->bitrate = static_cast<uint32_t>(chosen) * 1000;
  return true;
}

// Restores `entry` as `trialPath` and compares it with the source. Returns
// true when they are the same bytes; otherwise *why says what differs.
bool RestoresExactly(PackHandle& pack, const DirectoryEntry& entry, const AudioSource& source,
                     const std::string& trialPath, std::string* why) {
  uint32_t unpacked = 0;
  std::string reason;
  const size_t slash = trialPath.rfind('/');
  platform::Destination folder;
  (void)folder.Open(trialPath.substr(0, slash));
  const bool restored =
      RestoreAudioData(pack, entry, folder, trialPath.substr(slash + 1), &unpacked, &reason) == kPackOk;
  const int64_t size = restored ? SizeOf(trialPath) : -1;
  const bool same = restored && SameBytes(trialPath, source.path);
  platform::DeleteFileByName(trialPath);
  if (!restored) {
    // The trial file's path is this run's own business.
    const std::pair<std::string, std::string> hidden[] = {{trialPath, "a trial copy"},
                                                           {trialPath.substr(0, slash), "a trial folder"}};
    for (const auto& [path, shown] : hidden) {
      for (size_t at; (at = reason.find(path)) != std::string::npos;) reason.replace(at, path.size(), shown);
    }
    *why = "restoring it fails: " + reason;
  } else if (!same) {
    *why = "restoring it would not give the same bytes (" +
           (static_cast<uint64_t>(size) == source.bytes ? "another header, metadata or samples"
                                                         : std::to_string(size) + " bytes instead of " +
                                                               std::to_string(source.bytes)) +
           ")";
  }
  return same;
}

}  // namespace

std::string VqfSampleRates(const char* last) {
  std::vector<uint32_t> rates;
  for (const TvqMode& mode : kTvqModes) {
    if (std::find(rates.begin(), rates.end(), mode.sampleRate) == rates.end()) rates.push_back(mode.sampleRate);
  }
  return NumberList(rates, last);
}

std::string VqfBitRates(const char* last) {
  std::vector<int> rates;
  for (const TvqMode& mode : kTvqModes) {
    if (std::find(rates.begin(), rates.end(), mode.kbps) == rates.end()) rates.push_back(mode.kbps);
  }
  return NumberList(rates, last);
}

bool IsVqfBitRate(double kbps) {
  return std::any_of(std::begin(kTvqModes), std::end(kTvqModes), [&](const TvqMode& m) { return m.kbps == kbps; });
}

void AudioSourceCloser::operator()(AudioSource* source) const { delete source; }

AudioSourcePtr OpenAudioSource(const std::string& path, std::string* why) {
  why->clear();
  AudioSourcePtr source(new (std::nothrow) AudioSource);
  if (!source) return nullptr;
  source->path = path;
  source->file = platform::OpenExistingReadOnly(path);
  if (!source->file.IsOpen()) return nullptr;
  const int64_t size = platform::FileSize(source->file);
  if (size <= 0) return nullptr;
  source->bytes = static_cast<uint64_t>(size);
  source->stream.reset(OpenStreamRead(path.c_str(), &source->file, &source->info, 0));
  if (source->stream != nullptr) return source;
  if (const int error = LastError(); IsCodecError(error)) *why = "it cannot be read: " + ErrorReason(error);
  return nullptr;
}

uint64_t AudioSourceBytes(const AudioSource& source) { return source.bytes; }

AudioPackResult AppendAudioEntry(PackHandle& pack, const std::string& name, AudioSource& source,
                                 const AudioChoice& choice, const std::string& trialPath, std::string* why) {
  const AudioInfo& info = source.info;
  const bool lossless = choice.mode == AudioMode::kKeep || choice.mode == AudioMode::kPcm;
  if (!lossless && FormatCheck(&info) == 0) {
    *why = "its container and encoding (" + FormatName(info.format) + ", " + std::to_string(info.pcmbitwidth) +
           " bits) cannot be written back";
    return AudioPackResult::kFallBack;
  }
  if (const char* refusal = RewriteRefusal(source.stream.get()); !lossless && refusal != nullptr) {
    *why = refusal;
    return AudioPackResult::kFallBack;
  }
  DirectoryEntry entry;
  entry.name = name;
  entry.dataOffset = static_cast<uint32_t>(DataEnd(pack));
  entry.info = info;
  AudioPackResult result;
  if (choice.mode == AudioMode::kKeep) {
    entry.streamFormat = KeptStreamFormat(info.format);
    result = CopyBytes(pack, source, why);
  } else {
    AudioInfo target;
    target.channels = info.channels;
    target.samplerate = info.samplerate;
    int shift = 0;
    if (choice.mode == AudioMode::kPcm) {
      target.format = FMT_WAV | FMT_PCM;
      target.pcmbitwidth = info.pcmbitwidth <= 8 ? 8 : 16;
    } else {
      if (choice.mode == AudioMode::kOgg) {
        target.format = FMT_OGG;
        target.quality = choice.quality == 0 ? kQualityZero : static_cast<float>(choice.quality / 10);
      } else if (choice.mode == AudioMode::kAac) {
        target.format = FMT_MP4;
        target.bitrate = choice.bitrate;
        target.codecOption = 1;  // low complexity
      } else if (!VqfTarget(info, static_cast<int>(choice.bitrate / 1000), &target, why)) {
        return AudioPackResult::kFallBack;
      }
      target.pcmbitwidth = 16;
      shift = info.pcmbitwidth < 16 ? static_cast<int>(16 - info.pcmbitwidth) : 0;
    }
    entry.streamFormat = FormatMajor(target.format);
    result = WriteSamples(pack, source, target, shift, why);
  }
  const int64_t end = platform::TellFile(PackFile(pack));
  if (result == AudioPackResult::kPacked && (end < 0 || static_cast<uint64_t>(end) > kMaxPackBytes)) {
    *why = TooLarge();
    result = AudioPackResult::kFailed;
  }
  if (result == AudioPackResult::kPacked) {
    entry.packedSize = static_cast<uint32_t>(end - entry.dataOffset);
    if (lossless && !RestoresExactly(pack, entry, source, trialPath, why)) result = AudioPackResult::kFallBack;
    // An entry spoolex would refuse to restore (silence packs far beyond its limits) stays an ordinary file.
    if (!lossless && !AudioEntryWithinLimits(entry, why)) result = AudioPackResult::kFallBack;
  }
  if (result == AudioPackResult::kPacked) {
    const PackWriteResult added = AddEntryRecord(pack, entry);
    if (added == PackWriteResult::kOk) return result;
    *why = WriteResultMessage(added);
    return AudioPackResult::kFailed;
  }
  // What was written after the data end is overwritten by the next entry or
  // cut off when the pack is finished.
  if (result == AudioPackResult::kFallBack &&
      platform::SeekFile(PackFile(pack), static_cast<int64_t>(DataEnd(pack)), platform::SeekOrigin::kBegin) < 0) {
    *why = WriteResultMessage(PackWriteResult::kWriteFailed);
    return AudioPackResult::kFailed;
  }
  return result;
}
