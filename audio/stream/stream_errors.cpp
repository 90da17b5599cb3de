// SPDX-License-Identifier: GPL-2.0-or-later
// The error numbers of the audio stream layer and their messages.
#include <cstring>

#include "audio/stream/audio_stream.h"
#include "audio/stream/stream_module.h"

namespace {

// Indexed by error number, 0 to 87; 87 only marks the end.
constexpr const char* kMessages[kErrorMaximum + 1] = {
    "No Error.",
    "File does not exist or is not a regular file (possibly a pipe?).",
    "Could not open file.",
    "Bad format specified for file open.",
    "Not a valid SNDFILE* pointer.",
    "NULL SF_INFO pointer passed to libsndfile.",
    "Bad file descriptor.",
    "Internal error, Bad pointer.",
    "Internal malloc () failed.",
    "Internal fseek() failed.",
    "Seek attempted on unseekable file type.",
    "File contains data in an unimplemented format.",
    "Attempt to read a non-integer number of channels.",
    "Attempt to write a non-integer number of channels.",
    "File contains data in an unknown format.",
    "Read attempted on file currently open for write.",
    "Write attempted on file currently open for read.",
    "This file format does not support read/write mode.",
    "Internal error : SF_INFO struct incomplete.",
    "Short read error.",
    "Short write error.",
    "Unspecified internal error.",
    "Bad command passed to function sf_command().",
    // 23 to 37: WAV
    "Error in WAV file. No 'RIFF' chunk marker.",
    "Error in WAV file. No 'WAVE' chunk marker.",
    "Error in WAV file. No 'fmt ' chunk marker.",
    "Error in WAV file. Short 'fmt ' chunk.",
    "Error in WAV file. 'fmt ' chunk too large.",
    "Error in WAV file. 'fact' chunk out of place.",
    "Error in WAV file. Bad 'PEAK' chunk.",
    "Error in WAV file. 'PEAK' chunk found before 'fmt ' chunk.",
    "Error in WAV file. Errors in 'fmt ' chunk.",
    "Error in WAV file. Block alignment in 'fmt ' chunk is incorrect.",
    "Error in WAV file. No 'data' chunk marker.",
    "Error in ADPCM WAV file. Invalid bit width.",
    "Error in ADPCM WAV file. Invalid number of channels.",
    "Error in GSM610 WAV file. Invalid format chunk.",
    "Error in WAV file. File contains an unknown chunk marker.",
    // 38 to 48: AIFF
    "Error in AIFF file, bad 'FORM' marker.",
    "Error in AIFF file, 'AIFF' marker without 'FORM'.",
    "Error in AIFF file, 'COMM' marker without 'FORM'.",
    "Error in AIFF file, 'SSND' marker without 'COMM'.",
    "Error in AIFF file, unknown chunk.",
    "Error in AIFF file, bad 'COMM' chunk size.",
    "Error in AIFF file, bad 'COMM' chunk.",
    "Error in AIFF file. 'PEAK' chunk found before 'COMM' chunk.",
    "Error in AIFF file. Bad 'PEAK' chunk.",
    "Error in AIFF file, bad 'SSND' chunk.",
    "Error in AIFF file, no sound data.",
    // 49 to 52: AU and raw
    "Error in AU file, unknown format.",
    "Error in AU file, missing '.snd' or 'dns.' marker.",
    "Error while opening RAW file for read. Must specify format, pcmbitwidth and channels.",
    "Error. RAW file bitwidth must be a multiple of 8.",
    // 53 to 56: PAF
    "Error in PAF file, no marker.",
    "Error in PAF file, bad version.",
    "Error in PAF file, unknown format.",
    "Error in PAF file. File shorter than minimal header.",
    // 57 to 60: 8SVX / 16SV
    "Error in 8SVX / 16SV file, no 'FORM' marker.",
    "Error in 8SVX / 16SV file, no 'BODY' marker.",
    "Error in 8SVX / 16SV file, no sound data.",
    "Error in 8SVX / 16SV file, unsupported compression format.",
    // 61 to 62: NIST
    "Error in NIST file, bad header.",
    "Error in NIST file, unsupported compression format.",
    // 63 to 64: Samplitude
    "Error in Samplitude file, no 'SEKD' marker.",
    "Error in Samplitude file, no 'SAMR' marker.",
    // 65 to 67: VOC
    "Error in VOC file, no 'Creative Voice File' marker.",
    "Error in VOC file, bad version number.",
    "Error in VOC file, bad marker in file.",
    // 68 to 70: IRCAM
    "Error in IRCAM file, bad IRCAM marker.",
    "Error in IRCAM file, bad channel count.",
    "Error in IRCAM file, unknow encoding format.",
    // 71 to 86: the codec formats
    "Error in VQF file, unspecified error.",
    "Error in VQF File, invalid version code.",
    "Error in VQF File, invalid channel mode.",
    "Error in VQF File, invalid combination of sampling and bit rate.",
    "Error in VQF File, invalid parameter value.",
    "Error in VQF File, invalid preselection candidate number.",
    "Error in VQF File, bitstream reader initialization.",
    "Error in VQF File, Unsupported sampling rate.",
    "Error in VQF File, Unable to load VQF dll.",
    "Error in MP4 File, Encoding Error.",
    "Error in MP4 File, Decoding Error.",
    "Error in MP4 File, Unable to load AAC dll.",
    "Error in OGG File, Not a Vorbis stream.",
    "Error in OGG File, Unable to load Ogg dll.",
    "Error in OGG File, Unable to load vorbis dll.",
    "Error in OGG File, Unable to load vorbisenc dll.",
    "Maximum error number.",
};

// A missing message would leave a null at the end of the table.
static_assert(kMessages[kErrorMaximum] != nullptr, "the table holds every number 0..87");

}  // namespace

const char* ErrorMessage(int error) {
  if (error < 0 || error > kErrorMaximum) return kMessages[kErrorMaximum];
  return kMessages[error];
}

std::string ErrorReason(int error) { return std::string(ErrorMessage(error)) + " (" + std::to_string(error) + ")"; }

std::string ErrorReason(int error, int systemError) {
  return systemError == 0 ? ErrorReason(error) : ErrorReason(error) + ": " + std::strerror(systemError);
}
