// SPDX-License-Identifier: GPL-2.0-or-later
// Run-time binding of the codec libraries.
//
// The codec formats never link their codecs: the seven libraries below are
// loaded with dlopen when a stream of their format is first opened, and each
// entry point is resolved by name on its first call. The tool therefore runs
// every other format on a machine without them. The library headers are
// included for their types only; calls go through the forwarding functions
// in namespace `codec`, which carry each entry point's own name, parameters
// and result.
//
// Process-wide state without locks: use from one thread only.
#pragma once

#include <cstddef>
#include <string>

#include <neaacdec.h>
#include <ogg/ogg.h>
#include <vorbis/codec.h>
#include <vorbis/vorbisenc.h>

#include "codecs/aac_encoder/faac.h"
#include "codecs/twinvq/twinvq.h"
#include "platform/platform.h"

struct AudioStream;

// The seven libraries, in the order of the table.
enum class CodecLibraryId {
  kOgg,
  kVorbis,
  kVorbisEncoder,
  kAacDecoder,
  kAacEncoder,
  kTwinVqDecoder,
  kTwinVqEncoder,
};
inline constexpr size_t kCodecLibraryCount = 7;

// Directory, relative to the working directory, searched after the bare name.
inline constexpr char kCodecLibraryDirectory[] = "kervdll/";

// Most entry points any one library has (the Vorbis library's 21).
inline constexpr size_t kCodecMaxEntries = 23;

// One run-time loaded library. Lives for the whole process.
struct CodecLibrary {
  // "kervdll/" followed by the bare file name (e.g. "kervdll/libogg.so.0").
  std::string path;
  // Error number an open reports when the library loads under neither name.
  int error = 0;
  // The loaded library, or null.
  platform::LibraryHandle module = nullptr;
  // Resolved entry addresses, by the library's slot order; null until the
  // entry's first call finds it. All are forgotten when the library unloads.
  void* entries[kCodecMaxEntries] = {};
};

// The record of one library.
[[nodiscard]] CodecLibrary& GetCodecLibrary(CodecLibraryId id);

// The bare file name of a library: its path without "kervdll/".
[[nodiscard]] std::string CodecLibraryFileName(const CodecLibrary& library);

// Loads `fileName` as `library` unless it is loaded already. Returns 1 when
// the library is loaded afterwards (a second call loads nothing and returns
// 1: there is no reference count), 0 when the system could not load it (the
// module stays unset).
[[nodiscard]] int LoadCodecLibrary(CodecLibrary& library, const char* fileName);

// Loads a library the way a format open needs it: its bare name first
// (searched through the executable's run path and the system), then
// "kervdll/<name>" relative to the working directory, which loads only when
// neither the folder nor the file is a symbolic link and both belong to the
// running user or to root and are writable by neither group nor others.
// Returns 0 when it is loaded, else the library's error number (84 Ogg, 85
// Vorbis, 86 Vorbis encoder, 82 AAC, 79 TwinVQ) with *why (when given) set
// to a line for the stream's log saying why neither name loaded.
[[nodiscard]] int OpenCodecLibrary(CodecLibraryId id, std::string* why = nullptr);

// OpenCodecLibrary for a format open: why the library does not load goes to
// the stream's log as one line.
[[nodiscard]] int OpenCodecLibraryFor(AudioStream& stream, CodecLibraryId id);

// Releases the library if it is loaded and forgets its resolved entries.
void UnloadCodecLibrary(CodecLibrary& library);

// Releases every loaded library, in the order TwinVQ decoder, TwinVQ
// encoder, AAC decoder, AAC encoder, Ogg, Vorbis, Vorbis encoder. Safe to
// call with nothing loaded. Called whenever a pack closes.
void UnloadCodecLibraries();

// Test seam: gives a library another bare file name (its fallback becomes
// "kervdll/<fileName>"); null restores the built-in name. REQUIRES: the
// library is not loaded.
void SetCodecLibraryFileName(CodecLibraryId id, const char* fileName);

// Forwarding functions. Each behaves as the library's entry point when its
// library is loaded and exports it; otherwise it does nothing and returns 0
// (null for pointers) and never loads the library.
namespace codec {

// libogg
int ogg_stream_packetin(ogg_stream_state* os, ogg_packet* op);
int ogg_stream_flush(ogg_stream_state* os, ogg_page* og);
int ogg_sync_init(ogg_sync_state* oy);
int ogg_sync_clear(ogg_sync_state* oy);
char* ogg_sync_buffer(ogg_sync_state* oy, long size);
int ogg_sync_wrote(ogg_sync_state* oy, long bytes);
int ogg_sync_pageout(ogg_sync_state* oy, ogg_page* og);
int ogg_stream_pagein(ogg_stream_state* os, ogg_page* og);
int ogg_stream_packetout(ogg_stream_state* os, ogg_packet* op);
int ogg_stream_init(ogg_stream_state* os, int serialno);
int ogg_stream_clear(ogg_stream_state* os);
int ogg_page_eos(const ogg_page* og);
int ogg_page_serialno(const ogg_page* og);

// libvorbis
void vorbis_info_init(vorbis_info* vi);
void vorbis_info_clear(vorbis_info* vi);
void vorbis_comment_init(vorbis_comment* vc);
void vorbis_comment_clear(vorbis_comment* vc);
int vorbis_block_init(vorbis_dsp_state* v, vorbis_block* vb);
int vorbis_block_clear(vorbis_block* vb);
void vorbis_dsp_clear(vorbis_dsp_state* v);
int vorbis_analysis_init(vorbis_dsp_state* v, vorbis_info* vi);
int vorbis_analysis_headerout(vorbis_dsp_state* v, vorbis_comment* vc, ogg_packet* op,
                              ogg_packet* op_comm, ogg_packet* op_code);
float** vorbis_analysis_buffer(vorbis_dsp_state* v, int vals);
int vorbis_analysis_wrote(vorbis_dsp_state* v, int vals);
int vorbis_analysis_blockout(vorbis_dsp_state* v, vorbis_block* vb);
int vorbis_analysis(vorbis_block* vb, ogg_packet* op);
int vorbis_bitrate_addblock(vorbis_block* vb);
int vorbis_bitrate_flushpacket(vorbis_dsp_state* vd, ogg_packet* op);
int vorbis_synthesis_headerin(vorbis_info* vi, vorbis_comment* vc, ogg_packet* op);
int vorbis_synthesis_init(vorbis_dsp_state* v, vorbis_info* vi);
int vorbis_synthesis(vorbis_block* vb, ogg_packet* op);
int vorbis_synthesis_blockin(vorbis_dsp_state* v, vorbis_block* vb);
int vorbis_synthesis_pcmout(vorbis_dsp_state* v, float*** pcm);
int vorbis_synthesis_read(vorbis_dsp_state* v, int samples);
int vorbis_synthesis_trackonly(vorbis_block* vb, ogg_packet* op);
int vorbis_info_blocksize(vorbis_info* vi, int zo);

// libvorbisenc
int vorbis_encode_init(vorbis_info* vi, long channels, long rate, long max_bitrate,
                       long nominal_bitrate, long min_bitrate);
int vorbis_encode_init_vbr(vorbis_info* vi, long channels, long rate, float base_quality);

// faad2, under the names it exports (neaacdec.h maps faacDec... onto them).
NeAACDecHandle NeAACDecOpen(void);
long NeAACDecInit(NeAACDecHandle hDecoder, unsigned char* buffer, unsigned long buffer_size,
                  unsigned long* samplerate, unsigned char* channels);
void* NeAACDecDecode(NeAACDecHandle hDecoder, NeAACDecFrameInfo* hInfo, unsigned char* buffer,
                     unsigned long buffer_size);
void NeAACDecClose(NeAACDecHandle hDecoder);
NeAACDecConfigurationPtr NeAACDecGetCurrentConfiguration(NeAACDecHandle hDecoder);
unsigned char NeAACDecSetConfiguration(NeAACDecHandle hDecoder, NeAACDecConfigurationPtr config);

// AAC encoder (libmp4enc, faac's entry points).
int faacEncClose(faacEncHandle hEncoder);
int faacEncEncode(faacEncHandle hEncoder, int32_t* inputBuffer, unsigned int samplesInput,
                  unsigned char* outputBuffer, unsigned int bufferSize);
faacEncHandle faacEncOpen(unsigned long sampleRate, unsigned int numChannels, unsigned long* inputSamples,
                          unsigned long* maxOutputBytes);
faacEncConfigurationPtr faacEncGetCurrentConfiguration(faacEncHandle hEncoder);
int faacEncSetConfiguration(faacEncHandle hEncoder, faacEncConfigurationPtr config);

// TwinVQ encoder (libtvqenc.so), the project's own; records in twinvq.h.
int32_t TvqEncInitialize(VqfHeaderInfo* header, VqfEncoderSetup* setup, VqfFrameIndex* index,
                         int32_t dispErrorMessageBox);
void TvqEncTerminate(VqfFrameIndex* index);
void TvqEncGetVectorInfo(int32_t* shape0Widths[], int32_t* shape1Widths[]);
void TvqEncodeFrame(float* in, VqfFrameIndex* index);
void TvqEncUpdateVectorInfo(int32_t varbits, int32_t* divisions, int32_t shape0Row[], int32_t shape1Row[]);
void TvqEncGetConfInfo(VqfCodecConfig* config);
int32_t TvqEncGetFrameSize(void);

// TwinVQ decoder (libtvqdec.so).
int32_t TvqInitialize(VqfHeaderInfo* header, VqfFrameIndex* index, int32_t dispErrorMessageBox);
void TvqTerminate(VqfFrameIndex* index);
void TvqGetVectorInfo(int32_t* shape0Widths[], int32_t* shape1Widths[]);
void TvqDecodeFrame(VqfFrameIndex* index, float* out);
int32_t TvqWtypeToBtype(int32_t windowType, int32_t* blockType);
void TvqUpdateVectorInfo(int32_t varbits, int32_t* divisions, int32_t shape0Row[], int32_t shape1Row[]);
int32_t TvqCheckVersion(char* versionId);
void TvqGetConfInfo(VqfCodecConfig* config);
int32_t TvqGetFrameSize(void);
int32_t TvqGetNumChannels(void);
int32_t TvqGetNumFixedBitsPerFrame(void);

}  // namespace codec
