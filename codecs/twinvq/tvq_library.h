// SPDX-License-Identifier: GPL-2.0-or-later
// What each TwinVQ library keeps: the coder (decoder or encoder) of the one
// stream it codes at a time, the frame index bound to it, and the width
// tables it hands out, which stay at their addresses for the life of the
// process. The entry points of both libraries are thin calls into this.
//
// A stream set up while another is being coded ends that one: its index is
// cleared, so that its frame reader and writer find no arrays and accept no
// frame, and coding calls with it do nothing. It fails, it never codes with
// the newer stream's state.
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
  // REQUIRES: the index of a stream set up before is alive until that
  // stream is stopped.
  template <typename Make>
  int Start(const VqfHeaderInfo* header, VqfFrameIndex* index, int refusal, Make make) {
    Stop(bound_);
    if (index == nullptr) return kInitParameter;
    UnbindFrameIndex(index);
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
    bound_ = index;
    FillWidthTables(layout, &widths_);
    return kInitOk;
  }
  // Clears `index` and, when it is the current stream's (or null), releases
  // the coder; the index of a stream that was already ended is only cleared.
  void Stop(VqfFrameIndex* index) {
    if (index != nullptr) UnbindFrameIndex(index);
    if (index != nullptr && index != bound_) return;
    coder_.reset();
    if (bound_ != nullptr) UnbindFrameIndex(bound_);
    bound_ = nullptr;
  }
  // The coder of the stream whose frame index is `index`, or null.
  Coder* CoderOf(const VqfFrameIndex* index) { return index != nullptr && index == bound_ ? coder_.get() : nullptr; }
  const ModeLayout* Layout() const { return coder_ ? &coder_->Layout() : nullptr; }

  void HandOut(int32_t* first[], int32_t* second[]) { HandOutWidthTables(&widths_, first, second); }
  void UpdateShortBlock(int32_t* divisions, int32_t* first, int32_t* second) const {
    RestoreShortBlockWidths(Layout(), divisions, first, second);
  }
  void Configuration(VqfCodecConfig* config) const { FillCodecConfig(Layout(), config); }
  int32_t FrameSize() const { return Layout() ? Layout()->frameSize : 0; }

 private:
  std::unique_ptr<Coder> coder_;
  VqfFrameIndex* bound_ = nullptr;  // the current stream's frame index
  WidthTables widths_;
};

}  // namespace tvq
