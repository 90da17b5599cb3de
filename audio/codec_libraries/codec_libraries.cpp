// SPDX-License-Identifier: GPL-2.0-or-later
#include "audio/codec_libraries/codec_libraries.h"

#include <array>
#include <type_traits>

#include "audio/stream/stream_module.h"

namespace {

struct LibraryDefault {
  const char* path;
  int error;
};

// Indexed by CodecLibraryId.
constexpr std::array<LibraryDefault, kCodecLibraryCount> kDefaults = {{
    {"kervdll/libogg.so.0", kErrorOggLibrary},
    {"kervdll/libvorbis.so.0", kErrorVorbisLibrary},
    {"kervdll/libvorbisenc.so.2", kErrorVorbisEncLibrary},
    {"kervdll/libfaad.so.2", kErrorAacLibrary},
    {"kervdll/libmp4enc.so", kErrorAacLibrary},
    {"kervdll/libtvqdec.so", kErrorVqfLibrary},
    {"kervdll/libtvqenc.so", kErrorVqfLibrary},
}};

std::array<CodecLibrary, kCodecLibraryCount>& Libraries() {
  static std::array<CodecLibrary, kCodecLibraryCount> libraries = [] {
    std::array<CodecLibrary, kCodecLibraryCount> made;
    for (size_t i = 0; i < kCodecLibraryCount; ++i) {
      made[i].path = kDefaults[i].path;
      made[i].error = kDefaults[i].error;
    }
    return made;
  }();
  return libraries;
}

// The address of entry `slot` of a library, resolving it by `name` on first
// use. Null when the library is not loaded or does not export the name; an
// unresolved slot is looked up again next time.
void* EntryAddress(CodecLibraryId id, size_t slot, const char* name) {
  CodecLibrary& library = GetCodecLibrary(id);
  if (library.module == nullptr) return nullptr;
  if (library.entries[slot] == nullptr) {
    library.entries[slot] = platform::ResolveSymbol(library.module, name);
  }
  return library.entries[slot];
}

// Calls a resolved entry of type Fn, or yields the result type's zero
// without one. Own is the forwarding function's type, which must be Fn.
template <typename Fn, typename Own, typename... Args>
auto Forward(void* address, Args... args) {
  static_assert(std::is_same_v<Fn, Own>, "a forwarding function must match its library's header");
  using Result = std::invoke_result_t<Fn*, Args...>;
  if (address == nullptr) return Result();
  return reinterpret_cast<Fn*>(address)(args...);
}

// Slot order of each library's entries.
namespace ogg_slot {
enum : size_t {
  ogg_stream_packetin, ogg_stream_flush, ogg_sync_init, ogg_sync_clear, ogg_sync_buffer,
  ogg_sync_wrote, ogg_sync_pageout, ogg_stream_pagein, ogg_stream_packetout, ogg_stream_init,
  ogg_stream_clear, ogg_page_eos, ogg_page_serialno,
};
}  // namespace ogg_slot
namespace vorbis_slot {
enum : size_t {
  vorbis_info_init, vorbis_info_clear, vorbis_comment_init, vorbis_comment_clear,
  vorbis_block_init, vorbis_block_clear, vorbis_dsp_clear, vorbis_analysis_init,
  vorbis_analysis_headerout, vorbis_analysis_buffer, vorbis_analysis_wrote,
  vorbis_analysis_blockout, vorbis_analysis, vorbis_bitrate_addblock, vorbis_bitrate_flushpacket,
  vorbis_synthesis_headerin, vorbis_synthesis_init, vorbis_synthesis, vorbis_synthesis_blockin,
  vorbis_synthesis_pcmout, vorbis_synthesis_read, vorbis_synthesis_trackonly, vorbis_info_blocksize, count
};
static_assert(count <= kCodecMaxEntries);
}  // namespace vorbis_slot
namespace vorbisenc_slot {
enum : size_t { vorbis_encode_init, vorbis_encode_init_vbr };
}  // namespace vorbisenc_slot
namespace aacdec_slot {
enum : size_t {
  NeAACDecDecode, NeAACDecClose, NeAACDecInit, NeAACDecOpen, NeAACDecGetCurrentConfiguration,
  NeAACDecSetConfiguration,
};
}  // namespace aacdec_slot
namespace tvqenc_slot {
enum : size_t {
  TvqEncInitialize, TvqEncTerminate, TvqEncGetVectorInfo, TvqEncodeFrame, TvqEncUpdateVectorInfo,
  TvqEncGetConfInfo, TvqEncGetFrameSize,
};
}  // namespace tvqenc_slot
namespace tvqdec_slot {
enum : size_t {
  TvqInitialize, TvqTerminate, TvqGetVectorInfo, TvqDecodeFrame, TvqWtypeToBtype, TvqUpdateVectorInfo,
  TvqCheckVersion, TvqGetConfInfo, TvqGetFrameSize, TvqGetNumChannels, TvqGetNumFixedBitsPerFrame,
};
}  // namespace tvqdec_slot
namespace aacenc_slot {
enum : size_t {
  faacEncClose, faacEncEncode, faacEncOpen, faacEncGetCurrentConfiguration, faacEncSetConfiguration,
};
}  // namespace aacenc_slot

}  // namespace

// Forwards a call of entry `name` of library `id` whose slots are in
// namespace `slots`; the entry's type is taken from the library's header.
#define SPOOLEX_FORWARD(id, slots, name, ...)                                                    \
  Forward<decltype(::name), decltype(codec::name)>(EntryAddress(CodecLibraryId::id, slots::name, #name) __VA_OPT__(, ) \
                                __VA_ARGS__)

CodecLibrary& GetCodecLibrary(CodecLibraryId id) { return Libraries()[static_cast<size_t>(id)]; }

std::string CodecLibraryFileName(const CodecLibrary& library) {
  return library.path.substr(sizeof(kCodecLibraryDirectory) - 1);
}

int LoadCodecLibrary(CodecLibrary& library, const char* fileName) {
  if (library.module != nullptr) return 1;
  library.module = platform::LoadSharedLibrary(fileName);
  return library.module != nullptr ? 1 : 0;
}

int OpenCodecLibrary(CodecLibraryId id, std::string* why) {
  CodecLibrary& library = GetCodecLibrary(id);
  const std::string fileName = CodecLibraryFileName(library);
  if (LoadCodecLibrary(library, fileName.c_str())) return 0;
  // A folder of the working directory may hold anyone's files: only those
  // that could not have been planted there load.
  std::string reason;
  library.module = platform::LoadOwnedSharedLibrary(kCodecLibraryDirectory, fileName, &reason);
  if (library.module != nullptr) return 0;
  if (why != nullptr) *why = fileName + " cannot be loaded, and " + reason;
  return library.error;
}

int OpenCodecLibraryFor(AudioStream& stream, CodecLibraryId id) {
  std::string why;
  const int error = OpenCodecLibrary(id, &why);
  if (error != 0) LogPrintf(stream, "%s\n", why.c_str());
  return error;
}

void UnloadCodecLibrary(CodecLibrary& library) {
  if (library.module == nullptr) return;
  platform::FreeSharedLibrary(library.module);
  library.module = nullptr;
  // A later load may map the library elsewhere: resolve afresh then.
  for (void*& entry : library.entries) entry = nullptr;
}

void UnloadCodecLibraries() {
  for (CodecLibraryId id : {CodecLibraryId::kTwinVqDecoder, CodecLibraryId::kTwinVqEncoder,
                            CodecLibraryId::kAacDecoder, CodecLibraryId::kAacEncoder,
                            CodecLibraryId::kOgg, CodecLibraryId::kVorbis,
                            CodecLibraryId::kVorbisEncoder}) {
    UnloadCodecLibrary(GetCodecLibrary(id));
  }
}

void SetCodecLibraryFileName(CodecLibraryId id, const char* fileName) {
  size_t index = static_cast<size_t>(id);
  Libraries()[index].path =
      fileName != nullptr ? std::string(kCodecLibraryDirectory) + fileName : kDefaults[index].path;
}

namespace codec {

int ogg_stream_packetin(ogg_stream_state* os, ogg_packet* op) {
  return SPOOLEX_FORWARD(kOgg, ogg_slot, ogg_stream_packetin, os, op);
}
int ogg_stream_flush(ogg_stream_state* os, ogg_page* og) {
  return SPOOLEX_FORWARD(kOgg, ogg_slot, ogg_stream_flush, os, og);
}
int ogg_sync_init(ogg_sync_state* oy) { return SPOOLEX_FORWARD(kOgg, ogg_slot, ogg_sync_init, oy); }
int ogg_sync_clear(ogg_sync_state* oy) { return SPOOLEX_FORWARD(kOgg, ogg_slot, ogg_sync_clear, oy); }
char* ogg_sync_buffer(ogg_sync_state* oy, long size) {
  return SPOOLEX_FORWARD(kOgg, ogg_slot, ogg_sync_buffer, oy, size);
}
int ogg_sync_wrote(ogg_sync_state* oy, long bytes) {
  return SPOOLEX_FORWARD(kOgg, ogg_slot, ogg_sync_wrote, oy, bytes);
}
int ogg_sync_pageout(ogg_sync_state* oy, ogg_page* og) {
  return SPOOLEX_FORWARD(kOgg, ogg_slot, ogg_sync_pageout, oy, og);
}
int ogg_stream_pagein(ogg_stream_state* os, ogg_page* og) {
  return SPOOLEX_FORWARD(kOgg, ogg_slot, ogg_stream_pagein, os, og);
}
int ogg_stream_packetout(ogg_stream_state* os, ogg_packet* op) {
  return SPOOLEX_FORWARD(kOgg, ogg_slot, ogg_stream_packetout, os, op);
}
int ogg_stream_init(ogg_stream_state* os, int serialno) {
  return SPOOLEX_FORWARD(kOgg, ogg_slot, ogg_stream_init, os, serialno);
}
int ogg_stream_clear(ogg_stream_state* os) { return SPOOLEX_FORWARD(kOgg, ogg_slot, ogg_stream_clear, os); }
int ogg_page_eos(const ogg_page* og) { return SPOOLEX_FORWARD(kOgg, ogg_slot, ogg_page_eos, og); }
int ogg_page_serialno(const ogg_page* og) { return SPOOLEX_FORWARD(kOgg, ogg_slot, ogg_page_serialno, og); }

void vorbis_info_init(vorbis_info* vi) { SPOOLEX_FORWARD(kVorbis, vorbis_slot, vorbis_info_init, vi); }
void vorbis_info_clear(vorbis_info* vi) { SPOOLEX_FORWARD(kVorbis, vorbis_slot, vorbis_info_clear, vi); }
void vorbis_comment_init(vorbis_comment* vc) { SPOOLEX_FORWARD(kVorbis, vorbis_slot, vorbis_comment_init, vc); }
void vorbis_comment_clear(vorbis_comment* vc) {
  SPOOLEX_FORWARD(kVorbis, vorbis_slot, vorbis_comment_clear, vc);
}
int vorbis_block_init(vorbis_dsp_state* v, vorbis_block* vb) {
  return SPOOLEX_FORWARD(kVorbis, vorbis_slot, vorbis_block_init, v, vb);
}
int vorbis_block_clear(vorbis_block* vb) { return SPOOLEX_FORWARD(kVorbis, vorbis_slot, vorbis_block_clear, vb); }
void vorbis_dsp_clear(vorbis_dsp_state* v) { SPOOLEX_FORWARD(kVorbis, vorbis_slot, vorbis_dsp_clear, v); }
int vorbis_analysis_init(vorbis_dsp_state* v, vorbis_info* vi) {
  return SPOOLEX_FORWARD(kVorbis, vorbis_slot, vorbis_analysis_init, v, vi);
}
int vorbis_analysis_headerout(vorbis_dsp_state* v, vorbis_comment* vc, ogg_packet* op,
                              ogg_packet* op_comm, ogg_packet* op_code) {
  return SPOOLEX_FORWARD(kVorbis, vorbis_slot, vorbis_analysis_headerout, v, vc, op, op_comm, op_code);
}
float** vorbis_analysis_buffer(vorbis_dsp_state* v, int vals) {
  return SPOOLEX_FORWARD(kVorbis, vorbis_slot, vorbis_analysis_buffer, v, vals);
}
int vorbis_analysis_wrote(vorbis_dsp_state* v, int vals) {
  return SPOOLEX_FORWARD(kVorbis, vorbis_slot, vorbis_analysis_wrote, v, vals);
}
int vorbis_analysis_blockout(vorbis_dsp_state* v, vorbis_block* vb) {
  return SPOOLEX_FORWARD(kVorbis, vorbis_slot, vorbis_analysis_blockout, v, vb);
}
int vorbis_analysis(vorbis_block* vb, ogg_packet* op) {
  return SPOOLEX_FORWARD(kVorbis, vorbis_slot, vorbis_analysis, vb, op);
}
int vorbis_bitrate_addblock(vorbis_block* vb) {
  return SPOOLEX_FORWARD(kVorbis, vorbis_slot, vorbis_bitrate_addblock, vb);
}
int vorbis_bitrate_flushpacket(vorbis_dsp_state* vd, ogg_packet* op) {
  return SPOOLEX_FORWARD(kVorbis, vorbis_slot, vorbis_bitrate_flushpacket, vd, op);
}
int vorbis_synthesis_headerin(vorbis_info* vi, vorbis_comment* vc, ogg_packet* op) {
  return SPOOLEX_FORWARD(kVorbis, vorbis_slot, vorbis_synthesis_headerin, vi, vc, op);
}
int vorbis_synthesis_init(vorbis_dsp_state* v, vorbis_info* vi) {
  return SPOOLEX_FORWARD(kVorbis, vorbis_slot, vorbis_synthesis_init, v, vi);
}
int vorbis_synthesis(vorbis_block* vb, ogg_packet* op) {
  return SPOOLEX_FORWARD(kVorbis, vorbis_slot, vorbis_synthesis, vb, op);
}
int vorbis_synthesis_blockin(vorbis_dsp_state* v, vorbis_block* vb) {
  return SPOOLEX_FORWARD(kVorbis, vorbis_slot, vorbis_synthesis_blockin, v, vb);
}
int vorbis_synthesis_pcmout(vorbis_dsp_state* v, float*** pcm) {
  return SPOOLEX_FORWARD(kVorbis, vorbis_slot, vorbis_synthesis_pcmout, v, pcm);
}
int vorbis_synthesis_read(vorbis_dsp_state* v, int samples) {
  return SPOOLEX_FORWARD(kVorbis, vorbis_slot, vorbis_synthesis_read, v, samples);
}
int vorbis_synthesis_trackonly(vorbis_block* vb, ogg_packet* op) {
  return SPOOLEX_FORWARD(kVorbis, vorbis_slot, vorbis_synthesis_trackonly, vb, op);
}
int vorbis_info_blocksize(vorbis_info* vi, int zo) {
  return SPOOLEX_FORWARD(kVorbis, vorbis_slot, vorbis_info_blocksize, vi, zo);
}

int vorbis_encode_init(vorbis_info* vi, long channels, long rate, long max_bitrate,
                       long nominal_bitrate, long min_bitrate) {
  return SPOOLEX_FORWARD(kVorbisEncoder, vorbisenc_slot, vorbis_encode_init, vi, channels, rate,
                         max_bitrate, nominal_bitrate, min_bitrate);
}
int vorbis_encode_init_vbr(vorbis_info* vi, long channels, long rate, float base_quality) {
  return SPOOLEX_FORWARD(kVorbisEncoder, vorbisenc_slot, vorbis_encode_init_vbr, vi, channels, rate,
                         base_quality);
}

NeAACDecHandle NeAACDecOpen(void) { return SPOOLEX_FORWARD(kAacDecoder, aacdec_slot, NeAACDecOpen); }
long NeAACDecInit(NeAACDecHandle hDecoder, unsigned char* buffer, unsigned long buffer_size,
                  unsigned long* samplerate, unsigned char* channels) {
  return SPOOLEX_FORWARD(kAacDecoder, aacdec_slot, NeAACDecInit, hDecoder, buffer, buffer_size,
                         samplerate, channels);
}
void* NeAACDecDecode(NeAACDecHandle hDecoder, NeAACDecFrameInfo* hInfo, unsigned char* buffer,
                     unsigned long buffer_size) {
  return SPOOLEX_FORWARD(kAacDecoder, aacdec_slot, NeAACDecDecode, hDecoder, hInfo, buffer, buffer_size);
}
void NeAACDecClose(NeAACDecHandle hDecoder) { SPOOLEX_FORWARD(kAacDecoder, aacdec_slot, NeAACDecClose, hDecoder); }
NeAACDecConfigurationPtr NeAACDecGetCurrentConfiguration(NeAACDecHandle hDecoder) {
  return SPOOLEX_FORWARD(kAacDecoder, aacdec_slot, NeAACDecGetCurrentConfiguration, hDecoder);
}
unsigned char NeAACDecSetConfiguration(NeAACDecHandle hDecoder, NeAACDecConfigurationPtr config) {
  return SPOOLEX_FORWARD(kAacDecoder, aacdec_slot, NeAACDecSetConfiguration, hDecoder, config);
}

int faacEncClose(faacEncHandle hEncoder) { return SPOOLEX_FORWARD(kAacEncoder, aacenc_slot, faacEncClose, hEncoder); }
int faacEncEncode(faacEncHandle hEncoder, int32_t* inputBuffer, unsigned int samplesInput,
                  unsigned char* outputBuffer, unsigned int bufferSize) {
  return SPOOLEX_FORWARD(kAacEncoder, aacenc_slot, faacEncEncode, hEncoder, inputBuffer, samplesInput,
                         outputBuffer, bufferSize);
}
faacEncHandle faacEncOpen(unsigned long sampleRate, unsigned int numChannels, unsigned long* inputSamples,
                          unsigned long* maxOutputBytes) {
  return SPOOLEX_FORWARD(kAacEncoder, aacenc_slot, faacEncOpen, sampleRate, numChannels, inputSamples,
                         maxOutputBytes);
}
faacEncConfigurationPtr faacEncGetCurrentConfiguration(faacEncHandle hEncoder) {
  return SPOOLEX_FORWARD(kAacEncoder, aacenc_slot, faacEncGetCurrentConfiguration, hEncoder);
}
int faacEncSetConfiguration(faacEncHandle hEncoder, faacEncConfigurationPtr config) {
  return SPOOLEX_FORWARD(kAacEncoder, aacenc_slot, faacEncSetConfiguration, hEncoder, config);
}

// TwinVQ encoder.
int32_t TvqEncInitialize(VqfHeaderInfo* header, VqfEncoderSetup* setup, VqfFrameIndex* index,
                         int32_t dispErrorMessageBox) {
  return SPOOLEX_FORWARD(kTwinVqEncoder, tvqenc_slot, TvqEncInitialize, header, setup, index, dispErrorMessageBox);
}
void TvqEncTerminate(VqfFrameIndex* index) { SPOOLEX_FORWARD(kTwinVqEncoder, tvqenc_slot, TvqEncTerminate, index); }
void TvqEncGetVectorInfo(int32_t* shape0Widths[], int32_t* shape1Widths[]) {
  SPOOLEX_FORWARD(kTwinVqEncoder, tvqenc_slot, TvqEncGetVectorInfo, shape0Widths, shape1Widths);
}
void TvqEncodeFrame(float* in, VqfFrameIndex* index) {
  SPOOLEX_FORWARD(kTwinVqEncoder, tvqenc_slot, TvqEncodeFrame, in, index);
}
void TvqEncUpdateVectorInfo(int32_t varbits, int32_t* divisions, int32_t shape0Row[], int32_t shape1Row[]) {
  SPOOLEX_FORWARD(kTwinVqEncoder, tvqenc_slot, TvqEncUpdateVectorInfo, varbits, divisions, shape0Row, shape1Row);
}
void TvqEncGetConfInfo(VqfCodecConfig* config) {
  SPOOLEX_FORWARD(kTwinVqEncoder, tvqenc_slot, TvqEncGetConfInfo, config);
}
int32_t TvqEncGetFrameSize(void) { return SPOOLEX_FORWARD(kTwinVqEncoder, tvqenc_slot, TvqEncGetFrameSize); }

// TwinVQ decoder.
int32_t TvqInitialize(VqfHeaderInfo* header, VqfFrameIndex* index, int32_t dispErrorMessageBox) {
  return SPOOLEX_FORWARD(kTwinVqDecoder, tvqdec_slot, TvqInitialize, header, index, dispErrorMessageBox);
}
void TvqTerminate(VqfFrameIndex* index) { SPOOLEX_FORWARD(kTwinVqDecoder, tvqdec_slot, TvqTerminate, index); }
void TvqGetVectorInfo(int32_t* shape0Widths[], int32_t* shape1Widths[]) {
  SPOOLEX_FORWARD(kTwinVqDecoder, tvqdec_slot, TvqGetVectorInfo, shape0Widths, shape1Widths);
}
void TvqDecodeFrame(VqfFrameIndex* index, float* out) {
  SPOOLEX_FORWARD(kTwinVqDecoder, tvqdec_slot, TvqDecodeFrame, index, out);
}
int32_t TvqWtypeToBtype(int32_t windowType, int32_t* blockType) {
  return SPOOLEX_FORWARD(kTwinVqDecoder, tvqdec_slot, TvqWtypeToBtype, windowType, blockType);
}
void TvqUpdateVectorInfo(int32_t varbits, int32_t* divisions, int32_t shape0Row[], int32_t shape1Row[]) {
  SPOOLEX_FORWARD(kTwinVqDecoder, tvqdec_slot, TvqUpdateVectorInfo, varbits, divisions, shape0Row, shape1Row);
}
int32_t TvqCheckVersion(char* versionId) {
  return SPOOLEX_FORWARD(kTwinVqDecoder, tvqdec_slot, TvqCheckVersion, versionId);
}
void TvqGetConfInfo(VqfCodecConfig* config) { SPOOLEX_FORWARD(kTwinVqDecoder, tvqdec_slot, TvqGetConfInfo, config); }
int32_t TvqGetFrameSize(void) { return SPOOLEX_FORWARD(kTwinVqDecoder, tvqdec_slot, TvqGetFrameSize); }
int32_t TvqGetNumChannels(void) { return SPOOLEX_FORWARD(kTwinVqDecoder, tvqdec_slot, TvqGetNumChannels); }
int32_t TvqGetNumFixedBitsPerFrame(void) {
  return SPOOLEX_FORWARD(kTwinVqDecoder, tvqdec_slot, TvqGetNumFixedBitsPerFrame);
}

}  // namespace codec
