// The entry points of libtvqenc.so. The library encodes one stream at a
// time: TvqEncInitialize sets up the encoder and the frame index,
// TvqEncTerminate releases them.
#include <memory>

#include "codecs/twinvq/tvq_encoder.h"

namespace {

struct EncoderLibrary {
  std::unique_ptr<tvq::Encoder> encoder;
  tvq::WidthTables widths;  // handed out by address; outlives every stream
};

EncoderLibrary& Library() {
  static EncoderLibrary library;
  return library;
}

const tvq::ModeLayout* Current() { return Library().encoder ? &Library().encoder->Layout() : nullptr; }

}  // namespace

extern "C" {

TVQ_API int32_t TvqEncInitialize(VqfHeaderInfo* header, VqfEncoderSetup* setup, VqfFrameIndex* index,
                                 int32_t dispErrorMessageBox) try {
  (void)dispErrorMessageBox;  // errors are results, never shown
  EncoderLibrary& library = Library();
  library.encoder.reset();
  if (index == nullptr) return tvq::kInitParameter;
  tvq::UnbindFrameIndex(index);
  tvq::ModeLayout layout;
  const int result = tvq::LayoutFromHeader(header, &layout);
  if (result != tvq::kInitOk) return result;
  if (setup == nullptr) return tvq::kInitParameter;
  if (!tvq::AcceptedCandidates(setup->preselectionCandidates)) return tvq::kInitCandidates;
  library.encoder = std::make_unique<tvq::Encoder>(layout, setup->preselectionCandidates);
  library.encoder->Fields().Bind(index);
  tvq::FillWidthTables(layout, &library.widths);
  return tvq::kInitOk;
} catch (...) {  // memory
  Library().encoder.reset();
  if (index != nullptr) tvq::UnbindFrameIndex(index);
  return tvq::kInitUnspecified;
}

TVQ_API void TvqEncTerminate(VqfFrameIndex* index) {
  Library().encoder.reset();
  if (index != nullptr) tvq::UnbindFrameIndex(index);
}

TVQ_API void TvqEncGetVectorInfo(int32_t* shape0Widths[], int32_t* shape1Widths[]) {
  tvq::HandOutWidthTables(&Library().widths, shape0Widths, shape1Widths);
}

TVQ_API void TvqEncodeFrame(float* in, VqfFrameIndex* index) {
  EncoderLibrary& library = Library();
  if (in == nullptr || index == nullptr || !library.encoder) return;
  library.encoder->Fields().Bind(index);
  library.encoder->EncodeFrame(in, index);
}

TVQ_API void TvqEncUpdateVectorInfo(int32_t varbits, int32_t* divisions, int32_t shape0Row[], int32_t shape1Row[]) {
  (void)varbits;
  tvq::RestoreShortBlockWidths(Current(), divisions, shape0Row, shape1Row);
}

TVQ_API void TvqEncGetConfInfo(VqfCodecConfig* config) { tvq::FillCodecConfig(Current(), config); }

TVQ_API int32_t TvqEncGetFrameSize(void) { return Current() ? Current()->frameSize : 0; }

}  // extern "C"
