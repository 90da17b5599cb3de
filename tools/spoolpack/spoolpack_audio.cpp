// Packing one audio file into an Audio pack: its own bytes (keep), its
// samples as a WAV stream (pcm), or re-encoded as Ogg Vorbis (ogg), AAC
// (aac) or VQF (vqf), written in place at the pack's data end. The lossless
// modes are tried: the entry is restored and compared with the source before
// its record is added.
#include "tools/spoolpack/spoolpack_audio.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "convert/convert.h"

namespace {

// CloseStream's number for an encoder that refused its settings.
constexpr int kEncoderRefused = 21;
// The error numbers of the codec formats (VQF 71 to 79, AAC 80 to 82, Ogg
// Vorbis 83 to 86): the layer recognised such a file but could not read it.
constexpr int kFirstCodecError = 71;
constexpr int kLastCodecError = 86;
// Bytes and samples moved at a time.
constexpr size_t kCopyBytes = 256 * 1024;
constexpr int64_t kChunkSamples = 64 * 1024;
// The Ogg module reads a quality of 0.0 as "not set" (bitrate-managed mode):
// oggenc's quality 0 is passed as this instead.
constexpr float kQualityZero = 1e-4f;
// CloseStream's numbers for a VQF encoder that refused its settings.
constexpr int kFirstVqfRefusal = 71;
constexpr int kLastVqfRefusal = 78;

// The VQF sample rates and the bit rates (kbit/s per channel) of each; 0
// ends a list.
constexpr struct {
  uint32_t rate;
  int kbps[3];
} kVqfModes[] = {{8000, {8, 0, 0}}, {11025, {10, 16, 0}}, {22050, {20, 24, 32}}, {44100, {40, 48, 0}}};
// How many times higher or lower than the VQF rate it is packed at a
// source's rate may be.
constexpr double kVqfRateReach = 1.5;

// The format code to record for a kept file: the code it is opened with
// again. A headerless AU file (and a u-law AU file, which reads alike) is
// recognised from its bytes and name instead.
uint32_t KeptFormat(uint32_t format) {
  if (format == FMT_AU_HEADERLESS) return 0;
  const uint32_t major = FormatMajor(format);
  return major == FMT_AU_LE ? FMT_AU : major;
}

// Whether the file begins with an AU header's magic (either byte order).
bool HasAuMagic(AudioSource& source) {
  char magic[4] = {};
  if (!platform::ReadFileAt(source.file, 0, magic, sizeof magic)) return false;
  return std::memcmp(magic, ".snd", 4) == 0 || std::memcmp(magic, "dns.", 4) == 0;
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

// Every sample of the source, moved `shift` bits up, brought to `rate` by
// the rate converter that restoration uses the other way: as many frames
// as cover the source's duration at that rate.
bool ConvertedSource(AudioSource& source, uint32_t rate, int shift, std::vector<int16_t>* samples,
                     std::string* why) {
  const AudioInfo& info = source.info;
  const uint64_t frames = info.samples;
  const uint64_t converted = (frames * rate + info.samplerate - 1) / info.samplerate;
  const uint64_t room = std::max(frames, converted) * info.channels;
  if (room > INT32_MAX || !ReserveSamples(*samples, room)) {
    *why = "its samples at " + std::to_string(rate) + " Hz do not fit in memory";
    return false;
  }
  samples->assign(static_cast<size_t>(room), 0);
  if (!ReadSource(source, samples->data(), static_cast<int64_t>(frames * info.channels), shift, why)) return false;
  AudioInfo from = info, to = info;
  from.pcmbitwidth = to.pcmbitwidth = 16;
  from.samples = to.samples = static_cast<uint32_t>(converted);
  to.samplerate = rate;
  if (ConvertToStoredInfo(from, to, *samples) != 1) {
    *why = "its samples cannot be converted to " + std::to_string(rate) + " Hz";
    return false;
  }
  return true;
}

// Writes every sample of the source as a new stream described by `target`
// at the pack file's position, moved `shift` bits up to the target's scale
// and converted to the target's rate when that differs from the source's.
AudioPackResult WriteSamples(PackHandle& pack, AudioSource& source, AudioInfo target, int shift,
                             std::string* why) {
  std::vector<int16_t> converted;
  const bool convert = target.samplerate != source.info.samplerate;
  if (convert && !ConvertedSource(source, target.samplerate, shift, &converted, why)) {
    return AudioPackResult::kFallBack;
  }
  WriteStreamPtr out(OpenStreamWrite(source.path.c_str(), &PackFile(pack), &target));
  if (!out) {
    *why = "it cannot be written as " + FormatName(target.format) + ": " + ErrorReason(LastError());
    return AudioPackResult::kFallBack;
  }
  const int64_t channels = source.info.channels;
  const int64_t total =
      convert ? static_cast<int64_t>(converted.size()) : static_cast<int64_t>(source.info.samples) * channels;
  std::vector<int16_t> chunk(static_cast<size_t>(std::max<int64_t>(kChunkSamples / channels, 1) * channels));
  for (int64_t done = 0; done < total;) {
    const int64_t n = std::min<int64_t>(static_cast<int64_t>(chunk.size()), total - done);
    if (convert) {
      std::copy_n(converted.begin() + done, n, chunk.begin());
    } else if (!ReadSource(source, chunk.data(), n, shift, why)) {
      return AudioPackResult::kFallBack;
    }
    if (WriteShorts(out.get(), chunk.data(), n) != n) {
      *why = "cannot write the pack: " + ErrorReason(StreamError(out.get()), StreamSystemError(out.get()));
      return AudioPackResult::kFailed;
    }
    done += n;
  }
  const int closed = CloseStream(out.release());
  const int systemError = errno;
  if (closed == kEncoderRefused) {
    *why = "the " + FormatName(target.format) + " encoder refuses " + std::to_string(target.channels) +
           " channels at " + std::to_string(target.samplerate) + " Hz";
    return AudioPackResult::kFallBack;
  }
  if (FormatMajor(target.format) == FMT_VQF && closed >= kFirstVqfRefusal && closed <= kLastVqfRefusal) {
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
  if (info.channels > 2) {
    *why = "VQF carries 1 or 2 channels, not " + std::to_string(info.channels);
    return false;
  }
  const auto* nearest = &kVqfModes[0];
  double distance = std::numeric_limits<double>::infinity();
  for (const auto& mode : kVqfModes) {
    const double d = std::fabs(std::log(static_cast<double>(info.samplerate) / mode.rate));
    if (d < distance) {
      distance = d;
      nearest = &mode;
    }
  }
  if (!(distance <= std::log(kVqfRateReach))) {
    *why = "its rate (" + std::to_string(info.samplerate) +
           " Hz) is too far from the VQF rates (8000, 11025, 22050 and 44100 Hz)";
    return false;
  }
  int chosen = 0;
  for (int rate : nearest->kbps) {
    if (rate != 0 && (chosen == 0 || kbps == 0 || std::abs(rate - kbps) <= std::abs(chosen - kbps))) chosen = rate;
  }
  target->format = FMT_VQF;
  target->samplerate = nearest->rate;
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

// The number after a mode's colon: `fallback` without one, else the whole
// text as a number (a whole one when `whole`) from `low` to `high`.
bool ParseModeNumber(bool hasArgument, const std::string& argument, double fallback, double low, double high,
                     bool whole, double* value) {
  *value = fallback;
  if (!hasArgument) return true;
  char* end = nullptr;
  *value = std::strtod(argument.c_str(), &end);
  return !argument.empty() && *end == '\0' && *value >= low && *value <= high &&
         (!whole || *value == std::floor(*value));
}

}  // namespace

bool ParseAudioMode(const std::string& text, AudioChoice* choice, std::string* error) {
  const std::string mode = text.substr(0, text.find(':'));
  const bool hasArgument = mode.size() < text.size();
  const std::string argument = hasArgument ? text.substr(mode.size() + 1) : "";
  if (!hasArgument && (mode == "none" || mode == "keep" || mode == "pcm")) {
    choice->mode = mode == "none" ? AudioMode::kNone : mode == "keep" ? AudioMode::kKeep : AudioMode::kPcm;
    return true;
  }
  // The lossy modes take one number, within a range, after a colon.
  double value = 0;
  if (mode == "ogg") {
    if (!ParseModeNumber(hasArgument, argument, 4, -1, 10, false, &value)) {
      *error = "--audio " + text + ": the Ogg Vorbis quality goes from -1 to 10";
      return false;
    }
    choice->mode = AudioMode::kOgg;
    choice->quality = value == 0 ? kQualityZero : static_cast<float>(value / 10);
    return true;
  }
  if (mode == "aac") {
    if (!ParseModeNumber(hasArgument, argument, 64, 8, 256, true, &value)) {
      *error = "--audio " + text + ": the AAC bit rate goes from 8 to 256 kbit/s per channel";
      return false;
    }
    choice->mode = AudioMode::kAac;
    choice->bitrate = static_cast<uint32_t>(value) * 1000;
    return true;
  }
  if (mode == "vqf") {
    double kbps = 0;  // the highest of the rate
    bool known = !hasArgument;
    if (hasArgument && ParseModeNumber(true, argument, 0, 8, 48, true, &kbps)) {
      for (const auto& m : kVqfModes) known = known || std::count(m.kbps, m.kbps + 3, static_cast<int>(kbps)) > 0;
    }
    if (!known) {
      *error = "--audio " + text + ": the VQF bit rates are 8, 10, 16, 20, 24, 32, 40 and 48 kbit/s per channel";
      return false;
    }
    choice->mode = AudioMode::kVqf;
    choice->bitrate = static_cast<uint32_t>(kbps) * 1000;
    return true;
  }
  *error = "unknown audio mode \"" + text + "\" (none, keep, pcm, ogg[:QUALITY], aac[:KBPS] or vqf[:KBPS])";
  return false;
}

bool OpenAudioSource(const std::string& path, AudioSource* source, std::string* why) {
  why->clear();
  source->path = path;
  source->file = platform::OpenExistingReadOnly(path);
  if (!source->file.IsOpen()) return false;
  const int64_t size = platform::FileSize(source->file);
  if (size <= 0) return false;
  source->bytes = static_cast<uint64_t>(size);
  source->info = AudioInfo{};
  source->stream.reset(OpenStreamRead(path.c_str(), &source->file, &source->info, 0));
  if (source->stream != nullptr) return true;
  if (const int error = LastError(); error >= kFirstCodecError && error <= kLastCodecError) {
    *why = "it cannot be read: " + ErrorReason(error);
  }
  return false;
}

AudioPackResult PackAudio(PackHandle& pack, const std::string& name, AudioSource& source, const AudioChoice& choice,
                          const std::string& trialPath, std::string* why) {
  const AudioInfo& info = source.info;
  const bool lossless = choice.mode == AudioMode::kKeep || choice.mode == AudioMode::kPcm;
  if (!lossless && FormatCheck(&info) == 0) {
    *why = "its container and encoding (" + FormatName(info.format) + ", " + std::to_string(info.pcmbitwidth) +
           " bits) cannot be written back";
    return AudioPackResult::kFallBack;
  }
  if (!lossless && info.format == FMT_AU_HEADERLESS && !HasAuMagic(source)) {
    *why = "a headerless AU file would come back with a header";
    return AudioPackResult::kFallBack;
  }
  DirectoryEntry entry;
  entry.name = name;
  entry.dataOffset = static_cast<uint32_t>(DataEnd(pack));
  entry.info = info;
  AudioPackResult result;
  if (choice.mode == AudioMode::kKeep) {
    entry.streamFormat = KeptFormat(info.format);
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
        target.quality = choice.quality;
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

std::string FormatName(uint32_t format) {
  static const struct {
    uint32_t code;
    const char* name;
  } kMajors[] = {{FMT_WAV, "WAV"},   {FMT_AIFF, "AIFF"},         {FMT_AU, "AU"},     {FMT_AU_LE, "AU_LE"},
                 {FMT_RAW, "RAW"},   {FMT_PAF, "PAF"},           {FMT_SVX, "SVX"},   {FMT_NIST, "NIST"},
                 {FMT_ASF, "ASF"},   {FMT_SAMPLITUDE, "SAMPLITUDE"}, {FMT_VOC, "VOC"}, {FMT_REX2, "REX2"},
                 {FMT_IRCAM, "IRCAM"}, {FMT_VQF, "VQF"},         {FMT_OGG, "OGG"},   {FMT_MP4, "MP4"}},
    kMinors[] = {{FMT_PCM, "PCM"},         {FMT_FLOAT, "FLOAT"},       {FMT_ULAW, "ULAW"},
                 {FMT_ALAW, "ALAW"},       {FMT_IMA_ADPCM, "IMA_ADPCM"}, {FMT_MS_ADPCM, "MS_ADPCM"},
                 {FMT_PCM_BE, "PCM_BE"},   {FMT_PCM_LE, "PCM_LE"},     {FMT_PCM_S8, "PCM_S8"},
                 {FMT_PCM_U8, "PCM_U8"},   {FMT_GSM610, "GSM610"},     {FMT_G721_32, "G721_32"},
                 {FMT_G723_24, "G723_24"}, {FMT_FLOAT_BE, "FLOAT_BE"}, {FMT_FLOAT_LE, "FLOAT_LE"}};
  if (format == 0) return "auto";
  const uint32_t major = FormatMajor(format);
  const uint32_t minor = FormatMinor(format);
  std::string name = "?";
  for (const auto& m : kMajors) {
    if (m.code == major) name = m.name;
  }
  // The codec formats have no encodings of their own.
  if (minor == 0 || major == FMT_OGG || major == FMT_MP4 || major == FMT_VQF) return name;
  const char* encoding = "?";
  for (const auto& m : kMinors) {
    if (m.code == minor) encoding = m.name;
  }
  return name + "/" + encoding;
}
