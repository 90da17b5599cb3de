// SPDX-License-Identifier: GPL-2.0-or-later
// The entry points of libtvqenc.so. The library encodes one stream at a
// time: TvqEncInitialize sets up the encoder and the frame index,
// TvqEncTerminate releases them.
#include "codecs/twinvq/tvq_encoder.h"
#include "codecs/twinvq/tvq_library.h"

namespace {

tvq::CoderLibrary<tvq::Encoder>& Library() {
  static tvq::CoderLibrary<tvq::Encoder> library;
  return library;
}

}  // namespace

extern "C" {

TVQ_API int32_t TvqEncInitialize(VqfHeaderInfo* header, VqfEncoderSetup* setup, VqfFrameIndex* index,
                                 int32_t dispErrorMessageBox) {
  (void)dispErrorMessageBox;  // errors are results, never shown
  const int refusal = setup == nullptr                                          ? tvq::kInitParameter
                      : !tvq::AcceptedCandidates(setup->preselectionCandidates) ? tvq::kInitCandidates
                                                                                : tvq::kInitOk;
  return Library().Start(header, index, refusal, [setup](const tvq::ModeLayout& layout) {
    return std::make_unique<tvq::Encoder>(layout, setup->preselectionCandidates);
  });
}

TVQ_API void TvqEncTerminate(VqfFrameIndex* index) { Library().Stop(index); }

TVQ_API void TvqEncGetVectorInfo(int32_t* shape0Widths[], int32_t* shape1Widths[]) {
  Library().HandOut(shape0Widths, shape1Widths);
}

TVQ_API void TvqEncodeFrame(float* in, VqfFrameIndex* index) {
  tvq::Encoder* encoder = Library().CoderOf(index);
  if (in == nullptr || encoder == nullptr) return;
  encoder->Fields().Bind(index);
  encoder->EncodeFrame(in, index);
}

TVQ_API void TvqEncUpdateVectorInfo(int32_t varbits, int32_t* divisions, int32_t shape0Row[], int32_t shape1Row[]) {
  (void)varbits;
  Library().UpdateShortBlock(divisions, shape0Row, shape1Row);
}

TVQ_API void TvqEncGetConfInfo(VqfCodecConfig* config) { Library().Configuration(config); }

TVQ_API int32_t TvqEncGetFrameSize(void) { return Library().FrameSize(); }

}  // extern "C"
