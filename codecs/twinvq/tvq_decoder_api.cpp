// The entry points of libtvqdec.so. The library decodes one stream at a
// time: TvqInitialize sets up the decoder and the frame index, TvqTerminate
// releases them.
#include <memory>

#include "codecs/twinvq/tvq_decoder.h"

namespace {

struct DecoderLibrary {
  std::unique_ptr<tvq::Decoder> decoder;
  tvq::WidthTables widths;  // handed out by address; outlives every stream
};

DecoderLibrary& Library() {
  static DecoderLibrary library;
  return library;
}

const tvq::ModeLayout* Current() { return Library().decoder ? &Library().decoder->Layout() : nullptr; }

}  // namespace

extern "C" {

TVQ_API int32_t TvqInitialize(VqfHeaderInfo* header, VqfFrameIndex* index, int32_t dispErrorMessageBox) try {
  (void)dispErrorMessageBox;  // errors are results, never shown
  DecoderLibrary& library = Library();
  library.decoder.reset();
  if (index == nullptr) return tvq::kInitParameter;
  tvq::UnbindFrameIndex(index);
  tvq::ModeLayout layout;
  const int result = tvq::LayoutFromHeader(header, &layout);
  if (result != tvq::kInitOk) return result;
  library.decoder = std::make_unique<tvq::Decoder>(layout);
  library.decoder->Fields().Bind(index);
  tvq::FillWidthTables(layout, &library.widths);
  return tvq::kInitOk;
} catch (...) {  // memory
  Library().decoder.reset();
  if (index != nullptr) tvq::UnbindFrameIndex(index);
  return tvq::kInitUnspecified;
}

TVQ_API void TvqTerminate(VqfFrameIndex* index) {
  Library().decoder.reset();
  if (index != nullptr) tvq::UnbindFrameIndex(index);
}

TVQ_API void TvqGetVectorInfo(int32_t* shape0Widths[], int32_t* shape1Widths[]) {
  tvq::HandOutWidthTables(&Library().widths, shape0Widths, shape1Widths);
}

TVQ_API void TvqDecodeFrame(VqfFrameIndex* index, float* out) {
  if (index == nullptr || out == nullptr || !Library().decoder) return;
  Library().decoder->DecodeFrame(*index, out);
}

TVQ_API int32_t TvqWtypeToBtype(int32_t windowType, int32_t* blockType) {
  tvq::WindowShape shape;
  if (blockType == nullptr || !tvq::DecodeWindowType(windowType, &shape)) return 1;
  *blockType = shape.blockType;
  return 0;
}

TVQ_API void TvqUpdateVectorInfo(int32_t varbits, int32_t* divisions, int32_t shape0Row[], int32_t shape1Row[]) {
  (void)varbits;
  tvq::RestoreShortBlockWidths(Current(), divisions, shape0Row, shape1Row);
}

TVQ_API int32_t TvqCheckVersion(char* versionId) { return tvq::KnownVersion(versionId) ? 0 : -1; }

TVQ_API void TvqGetConfInfo(VqfCodecConfig* config) { tvq::FillCodecConfig(Current(), config); }

TVQ_API int32_t TvqGetFrameSize(void) { return Current() ? Current()->frameSize : 0; }
TVQ_API int32_t TvqGetNumChannels(void) { return Current() ? Current()->channels : 0; }
TVQ_API int32_t TvqGetNumFixedBitsPerFrame(void) { return Current() ? Current()->frameBits : 0; }

}  // extern "C"
