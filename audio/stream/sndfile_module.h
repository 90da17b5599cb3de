// SPDX-License-Identifier: GPL-2.0-or-later
// The ordinary containers, read and written through libsndfile 1.2.
//
// libsndfile reaches the stream through sf_open_virtual: its reads, seeks and
// length are those of the window of filelength bytes from fileoffset (for a
// stream being written, of the `written` bytes so far), so nothing outside
// the window is read or written, even when a header claims more data than
// the window holds. Positions are counted from the window's start.
//
// Which containers go to libsndfile, and how, is their record's SndfileContainer
// in the format list (stream_formats.cpp). A stream opened as one container
// that libsndfile finds to be another fails with that container's
// missing-marker error (23, 38, 50, 53, 57, 61, 65, 68).
//
// Encodings (minor code -> libsndfile subtype; pcmbitwidth read):
//   FMT_PCM, FMT_PCM_BE, FMT_PCM_LE -> PCM_S8 (PCM_U8 in WAV), PCM_16, PCM_24,
//       PCM_32: the narrowest that holds pcmbitwidth and that the container
//       takes (IRCAM 24 bits is written as 32). A width libsndfile cannot
//       store exactly (WAV 12 bits) is written in that wider width with the
//       samples scaled up, so nothing is lost: 12 bits read back as 16 at the
//       same amplitude. _BE and _LE set the byte order, FMT_PCM leaves the
//       container's own. Read: 8, 16, 24 or 32. The minor code read is FMT_PCM,
//       except that AIFF, PAF, NIST and IRCAM report the byte order libsndfile
//       gives (FMT_PCM_BE/_LE) and 8-bit PAF reports FMT_PCM_S8.
//   FMT_PCM_S8, FMT_PCM_U8 -> PCM_S8, PCM_U8 (8 bits).
//   FMT_FLOAT, FMT_FLOAT_BE, FMT_FLOAT_LE -> FLOAT (32). Floats read as
//       value x 32768, rounded and clipped to -32768..32767 (NaN reads as 0),
//       so 16-bit samples written to a float stream read back exactly.
//   FMT_ULAW -> ULAW, FMT_ALAW -> ALAW, FMT_IMA_ADPCM -> IMA_ADPCM,
//   FMT_MS_ADPCM -> MS_ADPCM, FMT_GSM610 -> GSM610, FMT_G721_32 -> G721_32,
//   FMT_G723_24 -> G723_24: all read with pcmbitwidth 16.
//   Any other libsndfile subtype (double, DWVW, ...) fails to open with 11.
//
// Sample scale: below 16 bits samples cross on the stream's own scale (8-bit
// reads as -128..127 and is written from -128..127, values beyond that range
// clipped); from 16 bits up on the 16-bit scale (24-bit reads as its top 16
// bits, and 16-bit values written to 24 bits come out at full scale).
//
// Failures of libsndfile map to the nearest error number: a libsndfile
// message that is the text of one of the numbers 1 to 70 gives that number;
// "Format not recognised." and malformed files give 14, "unsupported
// encoding" 11, a malformed 'fmt ' chunk 31 and a short one 26, no 'fmt '
// chunk 25, an unknown IRCAM encoding 70, "SF_INFO struct incomplete" (a raw
// stream without sample rate) 18; anything else gives 14 when reading and 3
// when writing (libsndfile refuses that container and layout, for example a
// stereo 8SVX file). Every libsndfile message goes to the stream's log.
// A write that the file refuses, or a header that cannot be completed at
// close, makes the close return 20; a read inside the window that the file
// does not deliver (a read error, or a file shorter than the window) makes
// every later sample read report 19 in the stream's error. stream.systemError
// keeps errno of the first such failure. AIFF and 8SVX files declare exactly
// the frames written (libsndfile 1.2 counts the pad byte of an odd 8-bit
// mono AIFF as a frame and leaves an odd 8SVX body unpadded; the close
// mends both, iff_header_mending.h), and an 8SVX body's size bounds the
// frames read. A WAV stream with a LIST sub-chunk of 2^31 bytes or more, on
// which libsndfile 1.2 would loop forever, fails with 14 before libsndfile
// sees it.
#pragma once

#include <sndfile.h>

#include "audio/stream/stream_formats.h"
#include "audio/stream/stream_module.h"

// Opens for reading the container of stream.format (its SndfileContainer),
// which libsndfile must find in the window. Fills info and the layout fields
// and the readShort, seek and close slots. Returns 0 or an error number.
[[nodiscard]] int SndfileOpenRead(AudioStream& stream);

// Opens for writing the container of stream.format with the encoding and
// layout of stream.info (one that FormatCheck accepts) and writes the first header. Fills the layout
// fields and the writeShort, seek and close slots. Returns 0, 3 when
// libsndfile cannot write that combination, 20 when the header write failed.
[[nodiscard]] int SndfileOpenWrite(AudioStream& stream);

// For the readers of headerless samples (headerless_readers.h): opens
// libsndfile over the stream's window with `sfinfo` (format 0 to let it find
// the container when reading), as the stream's codecdata with the seek and
// close slots. Returns 0 or the error number (`fallbackError` when no other
// is nearer).
[[nodiscard]] int OpenSndfileWindow(AudioStream& stream, SF_INFO& sfinfo, int fallbackError);

// Completes a stream opened by OpenSndfileWindow for reading from what
// libsndfile reports: the description (from `container`'s header; with none,
// the caller's description in stream.info stands but for the frame count),
// the layout and the read slot. Returns 0 or an error number.
[[nodiscard]] int DescribeSndfileRead(AudioStream& stream, const SF_INFO& sfinfo, const SndfileContainer* container);
