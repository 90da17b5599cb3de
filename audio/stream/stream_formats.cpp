// SPDX-License-Identifier: GPL-2.0-or-later
// The list of formats, one record per format, and what is read from it:
// recognition, the format check, the formats' names and what spoolpack may
// pack a file as.
#include "audio/stream/stream_formats.h"

#include <sndfile.h>

#include <cctype>
#include <cstring>

#include "audio/aac/aac.h"
#include "audio/stream/audio_stream.h"
#include "audio/stream/headerless_readers.h"
#include "audio/ogg_vorbis/ogg_vorbis.h"
#include "audio/stream/sndfile_module.h"
#include "audio/vqf/vqf.h"

namespace {

// Whether the four bytes at `at` of the start are `magic`.
bool Is(const StreamStart& start, int at, const char (&magic)[5]) {
  return std::memcmp(start.bytes + at, magic, 4) == 0;
}

bool HasExtension(const char* filename, const char* extension) {
  const char* dot = std::strrchr(filename, '.');
  if (dot == nullptr) return false;
  const char* p = dot + 1;
  for (; *p != '\0' && *extension != '\0'; ++p, ++extension) {
    if (std::tolower(static_cast<unsigned char>(*p)) != *extension) return false;
  }
  return *p == '\0' && *extension == '\0';
}

bool ProbeWav(const StreamStart& s) { return Is(s, 0, "RIFF") && Is(s, 8, "WAVE"); }
bool ProbeAiff(const StreamStart& s) { return Is(s, 0, "FORM") && (Is(s, 8, "AIFF") || Is(s, 8, "AIFC")); }
bool ProbeAu(const StreamStart& s) { return Is(s, 0, ".snd") || Is(s, 0, "dns."); }
bool ProbePaf(const StreamStart& s) { return Is(s, 0, "fap ") || Is(s, 0, " paf"); }
bool ProbeSvx(const StreamStart& s) { return Is(s, 0, "FORM") && (Is(s, 8, "16SV") || Is(s, 8, "8SVX")); }
bool ProbeNist(const StreamStart& s) { return Is(s, 0, "NIST"); }
bool ProbeIrcam(const StreamStart& s) {
  const uint8_t* b = s.bytes;
  return (b[0] == 0x64 && b[1] == 0xA3 && b[2] <= 0x07 && b[3] == 0x00) ||
         (b[0] == 0x00 && b[1] <= 0x07 && b[2] == 0xA3 && b[3] == 0x64);
}
bool ProbeVoc(const StreamStart& s) { return Is(s, 0, "Crea") && Is(s, 4, "tive"); }
bool ProbeOgg(const StreamStart& s) { return Is(s, 0, "OggS"); }
bool ProbeVqf(const StreamStart& s) { return Is(s, 0, "TWIN"); }
bool ProbeAdif(const StreamStart& s) { return Is(s, 0, "ADIF"); }
bool ProbeSamplitude(const StreamStart& s) { return Is(s, 0, "SEKD") && Is(s, 4, "SAMR"); }
bool ProbeRex2(const StreamStart& s) { return Is(s, 0, "CAT ") && Is(s, 8, "REX2"); }
bool ProbeAsf(const StreamStart& s) { return Is(s, 0, "\x30\x26\xB2\x75") && Is(s, 4, "\x8E\x66\xCF\x11"); }
// Tried after AIFF and 8SVX: an IFF file of any other kind.
bool ProbeOtherIff(const StreamStart& s) { return Is(s, 0, "FORM"); }
bool ProbeHeaderlessAu(const StreamStart& s) {
  return HasExtension(s.filename, "au") || HasExtension(s.filename, "snd");
}
bool ProbeAnything(const StreamStart&) { return true; }

// The installed libsndfile has no Samplitude reader.
int SamplitudeUnavailable(AudioStream&) { return kErrorUnimplemented; }

constexpr uint32_t M(uint32_t minor) { return uint32_t{1} << minor; }
constexpr uint32_t kPcmAnyOrder = M(FMT_PCM) | M(FMT_PCM_BE) | M(FMT_PCM_LE);
constexpr uint32_t kLaws = M(FMT_ULAW) | M(FMT_ALAW);
constexpr WriteRule kFloat32 = {M(FMT_FLOAT), 32, 32};
constexpr WriteRules kAuWrites = {{{M(FMT_PCM), 8, 32}, {kLaws, 0, kAnyBits},
                                   {M(FMT_G721_32) | M(FMT_G723_24), 0, kAnyBits, false, 1}, kFloat32}};
constexpr WriteRules kCodecWrites = {{{kAnyMinor, 0, kAnyBits}}};

// Recognition tries the probes in this order and the first that holds
// decides. The magics exclude one another, so only the places of the last
// rows matter: another IFF kind after AIFF and 8SVX, the name's extension
// after every magic, raw last. The order is also that of spoolpack's help.
constexpr StreamFormat kFormats[] = {
    {.code = FMT_WAV, .name = "WAV", .listedAs = "WAV", .probe = ProbeWav, .openRead = SndfileOpenRead,
     .openWrite = SndfileOpenWrite,
     .writes = {{{M(FMT_PCM), 8, 32}, {M(FMT_IMA_ADPCM) | M(FMT_MS_ADPCM), 16, 16, false, 2},
                 {M(FMT_GSM610), 16, 16, false, 1}, {kLaws, 0, kAnyBits}, kFloat32}},
     .sndfile = {.major = SF_FORMAT_WAV, .alsoMajor = SF_FORMAT_WAVEX, .wrongMarker = 23, .unsigned8 = true},
     .firstError = 23, .lastError = 37},
    {.code = FMT_AIFF, .name = "AIFF", .listedAs = "AIFF", .probe = ProbeAiff, .openRead = SndfileOpenRead,
     .openWrite = SndfileOpenWrite, .writes = {{{kPcmAnyOrder, 8, 32}, kFloat32}},
     .sndfile = {.major = SF_FORMAT_AIFF, .wrongMarker = 38, .reports = kReportsPcmOrder, .ownOrder = SF_ENDIAN_BIG},
     .firstError = 38, .lastError = 48},
    {.code = FMT_AU, .name = "AU", .listedAs = "AU", .probe = ProbeAu, .openRead = SndfileOpenRead,
     .openWrite = SndfileOpenWrite, .writes = kAuWrites,
     .sndfile = {.major = SF_FORMAT_AU, .wrongMarker = 50, .writeOrder = SF_ENDIAN_BIG}, .firstError = 49,
     .lastError = 50},
    {.code = FMT_PAF, .name = "PAF", .listedAs = "PAF", .probe = ProbePaf, .openRead = SndfileOpenRead,
     .openWrite = SndfileOpenWrite, .writes = {{{M(FMT_PCM_S8), 8, 8}, {kPcmAnyOrder, 8, 24, true}}},
     .sndfile = {.major = SF_FORMAT_PAF, .wrongMarker = 53, .reports = kReportsPcmOrder | kReportsSigned8},
     .firstError = 53, .lastError = 56},
    {.code = FMT_SVX, .name = "SVX", .listedAs = "8SVX", .probe = ProbeSvx, .openRead = SndfileOpenRead,
     .openWrite = SndfileOpenWrite, .writes = {{{M(FMT_PCM), 8, 8}, {M(FMT_PCM), 16, 16}}},
     .sndfile = {.major = SF_FORMAT_SVX, .wrongMarker = 57}, .firstError = 57, .lastError = 60},
    {.code = FMT_NIST, .name = "NIST", .listedAs = "NIST", .probe = ProbeNist, .openRead = SndfileOpenRead,
     .openWrite = SndfileOpenWrite, .writes = {{{kPcmAnyOrder, 16, 32}}},
     .sndfile = {.major = SF_FORMAT_NIST, .wrongMarker = 61, .reports = kReportsPcmOrder}, .firstError = 61,
     .lastError = 62},
    {.code = FMT_IRCAM, .name = "IRCAM", .listedAs = "IRCAM", .probe = ProbeIrcam, .openRead = SndfileOpenRead,
     .openWrite = SndfileOpenWrite,
     .writes = {{{kPcmAnyOrder, 16, 32}, {M(FMT_FLOAT) | M(FMT_FLOAT_BE) | M(FMT_FLOAT_LE), 32, 32},
                 {kLaws, 0, kAnyBits}}},
     .sndfile = {.major = SF_FORMAT_IRCAM, .wrongMarker = 68, .reports = kReportsPcmOrder | kReportsFloatOrder},
     .firstError = 68, .lastError = 70},
    {.code = FMT_VOC, .name = "VOC", .listedAs = "VOC", .probe = ProbeVoc, .openRead = SndfileOpenRead,
     .sndfile = {.major = SF_FORMAT_VOC, .wrongMarker = 65}, .firstError = 65, .lastError = 67},
    {.code = FMT_OGG, .name = "OGG", .listedAs = "Ogg Vorbis", .probe = ProbeOgg, .openRead = OggVorbisOpenRead,
     .openWrite = OggVorbisOpenWrite, .writes = kCodecWrites, .firstError = 83, .lastError = 86, .codec = true},
    {.code = FMT_VQF, .name = "VQF", .listedAs = "VQF", .probe = ProbeVqf, .openRead = VqfOpenRead,
     .openWrite = VqfOpenWrite, .writes = kCodecWrites, .firstError = 71, .lastError = 79, .codec = true},
    {.code = FMT_MP4, .name = "MP4", .probe = ProbeAdif, .openRead = AacOpenRead, .openWrite = AacOpenWrite,
     .writes = kCodecWrites, .firstError = 80, .lastError = 82, .codec = true},
    {.code = FMT_SAMPLITUDE, .name = "SAMPLITUDE", .probe = ProbeSamplitude, .openRead = SamplitudeUnavailable,
     .firstError = 63, .lastError = 64},
    {.code = FMT_REX2, .name = "REX2", .probe = ProbeRex2},
    {.code = FMT_ASF, .name = "ASF", .probe = ProbeAsf},
    {.code = 0, .probe = ProbeOtherIff},
    {.code = FMT_AU_LE, .name = "AU_LE", .openWrite = SndfileOpenWrite, .writes = kAuWrites,
     .sndfile = {.major = SF_FORMAT_AU, .wrongMarker = 50, .writeOrder = SF_ENDIAN_LITTLE}, .keptAs = FMT_AU},
    {.code = FMT_AU_HEADERLESS, .probe = ProbeHeaderlessAu, .openRead = HeaderlessUlawOpenRead, .keptAs = 0,
     .lossyRefusal = "a headerless AU file would come back with a header"},
    {.code = FMT_RAW, .name = "RAW", .probe = ProbeAnything, .openRead = RawOpenRead, .openWrite = SndfileOpenWrite,
     .writes = {{{M(FMT_PCM_S8) | M(FMT_PCM_U8), 8, 8}, {M(FMT_PCM_BE) | M(FMT_PCM_LE), 8, 32, true}}},
     .sndfile = {.major = SF_FORMAT_RAW, .wrongMarker = kErrorRawNeedsLayout}, .firstError = 51, .lastError = 52},
};

constexpr StreamEncoding kEncodings[] = {
    {FMT_PCM, "PCM", 0},
    {FMT_FLOAT, "FLOAT", SF_FORMAT_FLOAT},
    {FMT_ULAW, "ULAW", SF_FORMAT_ULAW},
    {FMT_ALAW, "ALAW", SF_FORMAT_ALAW},
    {FMT_IMA_ADPCM, "IMA_ADPCM", SF_FORMAT_IMA_ADPCM},
    {FMT_MS_ADPCM, "MS_ADPCM", SF_FORMAT_MS_ADPCM},
    {FMT_PCM_BE, "PCM_BE", 0},
    {FMT_PCM_LE, "PCM_LE", 0},
    {FMT_PCM_S8, "PCM_S8", SF_FORMAT_PCM_S8},
    {FMT_PCM_U8, "PCM_U8", SF_FORMAT_PCM_U8},
    {FMT_GSM610, "GSM610", SF_FORMAT_GSM610},
    {FMT_G721_32, "G721_32", SF_FORMAT_G721_32},
    {FMT_G723_24, "G723_24", SF_FORMAT_G723_24},
    {FMT_FLOAT_BE, "FLOAT_BE", SF_FORMAT_FLOAT},
    {FMT_FLOAT_LE, "FLOAT_LE", SF_FORMAT_FLOAT},
};

}  // namespace

std::span<const StreamEncoding> StreamEncodings() { return kEncodings; }

const StreamFormat* FindStreamFormat(uint32_t code) {
  for (const StreamFormat& f : kFormats) {
    if (f.code == code && code != 0) return &f;
  }
  return nullptr;
}

const StreamFormat& RecogniseStart(const StreamStart& start) {
  for (const StreamFormat& f : kFormats) {
    if (f.probe != nullptr && f.probe(start)) return f;
  }
  return kFormats[std::size(kFormats) - 1];
}

int FormatCheck(const AudioInfo* info) {
  if (info == nullptr || info->channels < 1 || info->channels > 256) return 0;
  const StreamFormat* format = FindStreamFormat(FormatMajor(info->format));
  if (format == nullptr) return 0;
  const uint32_t minor = FormatMinor(info->format);
  const uint32_t bits = info->pcmbitwidth;
  for (const WriteRule& rule : format->writes.rule) {
    const bool encoding = rule.minors == kAnyMinor || (minor < 32 && (rule.minors >> minor & 1) != 0);
    if (encoding && bits >= rule.lowBits && bits <= rule.highBits && (!rule.wholeBytes || bits % 8 == 0) &&
        info->channels <= rule.maxChannels) {
      return 1;
    }
  }
  return 0;
}

std::string FormatName(uint32_t format) {
  if (format == 0) return "auto";
  const StreamFormat* major = FindStreamFormat(FormatMajor(format));
  const uint32_t minor = FormatMinor(format);
  std::string name = major != nullptr && major->name != nullptr ? major->name : "?";
  // The codec formats have no encodings of their own.
  if (minor == 0 || (major != nullptr && major->codec)) return name;
  const char* encoding = "?";
  for (const StreamEncoding& e : kEncodings) {
    if (e.minor == minor) encoding = e.name;
  }
  return name + "/" + encoding;
}

bool IsCodecFormat(uint32_t format) {
  const StreamFormat* major = FindStreamFormat(FormatMajor(format));
  return major != nullptr && major->codec;
}

bool IsCodecError(int error) {
  for (const StreamFormat& f : kFormats) {
    if (f.codec && error >= f.firstError && error <= f.lastError) return true;
  }
  return false;
}

uint32_t KeptStreamFormat(uint32_t format) {
  // The record of the code itself (FMT_AU_HEADERLESS), else of its major code.
  const StreamFormat* own = FindStreamFormat(format);
  if (own == nullptr) own = FindStreamFormat(FormatMajor(format));
  if (own == nullptr || own->keptAs == kKeptAsOwnCode) return FormatMajor(format);
  return own->keptAs;
}

const char* RewriteRefusal(const AudioStream* stream) {
  return stream != nullptr && stream->format != nullptr ? stream->format->lossyRefusal : nullptr;
}

std::vector<std::string> ListedFormats() {
  std::vector<std::string> names;
  for (const StreamFormat& f : kFormats) {
    if (f.listedAs != nullptr) names.emplace_back(f.listedAs);
  }
  return names;
}
