// SPDX-License-Identifier: GPL-2.0-or-later
// The entry points of libtvqdec.so. The library decodes one stream at a
// time: TvqInitialize sets up the decoder and the frame index, TvqTerminate
// releases them.
#include "codecs/twinvq/tvq_decoder.h"
#include "codecs/twinvq/tvq_library.h"

namespace {

tvq::CoderLibrary<tvq::Decoder>& Library() {
  static tvq::CoderLibrary<tvq::Decoder> library;
  return library;
}

}  // namespace

extern "C" {

TVQ_API int32_t TvqInitialize(VqfHeaderInfo* header, VqfFrameIndex* index, int32_t dispErrorMessageBox) {
  (void)dispErrorMessageBox;  // errors are results, never shown
  return Library().Start(header, index, tvq::kInitOk,
                         [](const tvq::ModeLayout& layout) { return std::make_unique<tvq::Decoder>(layout); });
}

TVQ_API void TvqTerminate(VqfFrameIndex* index) { Library().Stop(index); }

TVQ_API void TvqGetVectorInfo(int32_t* shape0Widths[], int32_t* shape1Widths[]) {
  Library().HandOut(shape0Widths, shape1Widths);
}

TVQ_API void TvqDecodeFrame(VqfFrameIndex* index, float* out) {
  tvq::Decoder* decoder = Library().CoderOf(index);
  if (out == nullptr || decoder == nullptr) return;
  decoder->DecodeFrame(*index, out);
}

TVQ_API int32_t TvqWtypeToBtype(int32_t windowType, int32_t* blockType) {
  tvq::WindowShape shape;
  if (blockType == nullptr || !tvq::DecodeWindowType(windowType, &shape)) return 1;
  *blockType = shape.blockType;
  return 0;
}

TVQ_API void TvqUpdateVectorInfo(int32_t varbits, int32_t* divisions, int32_t shape0Row[], int32_t shape1Row[]) {
  (void)varbits;
  Library().UpdateShortBlock(divisions, shape0Row, shape1Row);
}

TVQ_API int32_t TvqCheckVersion(char* versionId) { return tvq::KnownVersion(versionId) ? 0 : -1; }

TVQ_API void TvqGetConfInfo(VqfCodecConfig* config) { Library().Configuration(config); }

TVQ_API int32_t TvqGetFrameSize(void) { return Library().FrameSize(); }
TVQ_API int32_t TvqGetNumChannels(void) { return Library().Layout() ? Library().Layout()->channels : 0; }
TVQ_API int32_t TvqGetNumFixedBitsPerFrame(void) { return Library().Layout() ? Library().Layout()->frameBits : 0; }

}  // extern "C"
