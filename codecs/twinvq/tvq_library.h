// What each TwinVQ library keeps: the coder (decoder or encoder) of the one
// stream it codes at a time, and the width tables it hands out, which stay
// at their addresses for the life of the process. The entry points of both
// libraries are thin calls into this.
#pragma once

#include <memory>

#include "codecs/twinvq/tvq_frame.h"

namespace tvq {

template <typename Coder>
class CoderLibrary {
 public:
  // Ends any stream, checks `header`, then `refusal` (a set-up code of the
  // library's own settings, kInitOk when they are good), and sets up the
  // coder that `make` gives for the layout, pointing `index` at its fields.
  // Returns the set-up code: kInitUnspecified when memory runs out (nothing
  // is thrown out of a library).
  template <typename Make>
  int Start(const VqfHeaderInfo* header, VqfFrameIndex* index, int refusal, Make make) {
    Stop(index);
    if (index == nullptr) return kInitParameter;
    ModeLayout layout;
    const int result = LayoutFromHeader(header, &layout);
    if (result != kInitOk) return result;
    if (refusal != kInitOk) return refusal;
    try {
      coder_ = make(layout);
    } catch (...) {
      return kInitUnspecified;
    }
    coder_->Fields().Bind(index);
    FillWidthTables(layout, &widths_);
    return kInitOk;
  }
  // Releases the coder and clears `index` (when given).
  void Stop(VqfFrameIndex* index) {
    coder_.reset();
    if (index != nullptr) UnbindFrameIndex(index);
  }
  Coder* Current() { return coder_.get(); }
  const ModeLayout* Layout() const { return coder_ ? &coder_->Layout() : nullptr; }

  void HandOut(int32_t* first[], int32_t* second[]) { HandOutWidthTables(&widths_, first, second); }
  void UpdateShortBlock(int32_t* divisions, int32_t* first, int32_t* second) const {
    RestoreShortBlockWidths(Layout(), divisions, first, second);
  }
  void Configuration(VqfCodecConfig* config) const { FillCodecConfig(Layout(), config); }
  int32_t FrameSize() const { return Layout() ? Layout()->frameSize : 0; }

 private:
  std::unique_ptr<Coder> coder_;
  WidthTables widths_;
};

}  // namespace tvq
