// SPDX-License-Identifier: GPL-2.0-or-later
#include "audio/vqf/vqf_frames.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "audio/codec_libraries/codec_libraries.h"

namespace {

// One library's configuration and width tables, as its set-up filled them.
struct FrameTables {
  VqfCodecConfig config{};
  VqfWidthTable shape0{};
  VqfWidthTable shape1{};
};
FrameTables g_decoder;
FrameTables g_encoder;

// The record holds the per-channel fields of two channels.
constexpr int kMaxChannels = 2;
constexpr int kBlockTypes = 3;
constexpr int kShortBlockType = 2;
constexpr int kPitchRow = 3;

enum class Field {
  kShape0, kShape1, kForwardShort, kForwardAr, kPower, kSubPower, kLsp0, kLsp1, kLsp2,
  kPitch0, kPitch1, kIndexPitch, kIndexPgain, kPb,
};

// Entry i of a width row; a row the library left unset gives 0.
int WidthAt(const int32_t* row, int i) { return row != nullptr ? row[i] : 0; }

// Whether the library has set up every array of the record.
bool IndexReady(const VqfFrameIndex& index) {
  return index.shape != nullptr && index.forwardShort != nullptr && index.forwardAr != nullptr &&
         index.power != nullptr && index.lsp[0] != nullptr && index.lsp[1] != nullptr &&
         index.codebookPitch != nullptr && index.indexPb[0] != nullptr && index.indexPb[1] != nullptr;
}

// Calls visit(field, value, width, a, b, c) for the fields that follow the
// window type in a frame of `blockType` (0 to 2), in the frame's order; a, b
// and c are the loop counters that the overflow lines name.
template <typename Index, typename Visit>
void VisitFields(const FrameTables& t, int blockType, Index& index, Visit&& visit) {
  const VqfCodecConfig& config = t.config;
  const VqfBlockConfig& block = config.blocks[blockType];
  const int channels = std::clamp(config.channels, 0, kMaxChannels);
  const int divisions = block.shapeDivisions;
  const int subBlocks = block.subBlocks;
  const int forward = block.forwardDivisions;
  const int subPowers = block.subPowers;
  for (int i = 0; i < divisions; ++i) {
    visit(Field::kShape0, index.shape[i], WidthAt(t.shape0[blockType], i), i, 0, 0);
    visit(Field::kShape1, index.shape[divisions + i], WidthAt(t.shape1[blockType], i), i, 0, 0);
  }
  for (int ch = 0; ch < channels; ++ch) {
    for (int sb = 0; sb < subBlocks; ++sb) {
      for (int d = 0; d < forward; ++d) {
        visit(Field::kForwardShort, index.forwardShort[(ch * subBlocks + sb) * forward + d], block.forwardShortBits,
              ch, sb, d);
      }
    }
  }
  for (int ch = 0; ch < channels; ++ch) {
    for (int sb = 0; sb < subBlocks; ++sb) {
      visit(Field::kForwardAr, index.forwardAr[ch * subBlocks + sb], config.forwardArBits, ch, sb, 0);
    }
  }
  for (int ch = 0; ch < channels; ++ch) {
    const int first = ch * (subPowers + 1);
    visit(Field::kPower, index.power[first], config.powerBits, 0, 0, 0);
    for (int k = 0; k < subPowers; ++k) visit(Field::kSubPower, index.power[first + 1 + k], config.subPowerBits, k, 0, 0);
  }
  for (int ch = 0; ch < channels; ++ch) {
    visit(Field::kLsp0, index.lsp[ch][0], config.lsp0Bits, 0, 0, 0);
    visit(Field::kLsp1, index.lsp[ch][1], config.lsp1Bits, 0, 0, 0);
    for (int k = 0; k < config.lsp2Count; ++k) visit(Field::kLsp2, index.lsp[ch][2 + k], config.lsp2Bits, k, 0, 0);
  }
  if (block.hasPitch != 0) {
    const int pitch = config.pitchDivisions;
    for (int d = 0; d < pitch; ++d) {
      visit(Field::kPitch0, index.codebookPitch[d], WidthAt(t.shape0[kPitchRow], d), d, 0, 0);
      visit(Field::kPitch1, index.codebookPitch[pitch + d], WidthAt(t.shape1[kPitchRow], d), d, 0, 0);
    }
    for (int ch = 0; ch < channels; ++ch) {
      visit(Field::kIndexPitch, index.indexPitch[ch], config.indexPitchBits, 0, 0, 0);
      visit(Field::kIndexPgain, index.indexPgain[ch], config.indexPgainBits, 0, 0, 0);
    }
  }
  if (block.hasPb != 0) {
    const int bands = block.pbEnd - block.pbStart;
    for (int ch = 0; ch < channels; ++ch) {
      for (int sb = 0; sb < subBlocks; ++sb) {
        for (int j = block.pbStart; j < block.pbEnd; ++j) {
          visit(Field::kPb, index.indexPb[ch][bands * sb + (j - block.pbStart)], block.pbBits, 0, 0, 0);
        }
      }
    }
  }
}

// The line the writer prints for a value too wide for its field.
void ReportOverflow(Field field, int width, int value, int a, int b, int c) {
  switch (field) {
    case Field::kShape0: std::printf("shape0 %d, %d %d\n", a, width, value); break;
    case Field::kShape1: std::printf("shape1 %d, %d %d\n", a, width, value); break;
    case Field::kForwardShort: std::printf("forward short %d, %d, %d, %d\n", a, b, c, value); break;
    case Field::kForwardAr: std::printf("forward AR param. ch: %d, sh_no: %d, ind: %d\n", a, b, value); break;
    case Field::kPower: std::printf("power  %d %d\n", width, value); break;
    case Field::kSubPower: std::printf("power %d, %d %d\n", a, width, value); break;
    case Field::kLsp0: std::printf("lsp0 %d %d\n", width, value); break;
    case Field::kLsp1: std::printf("lsp1 %d %d\n", width, value); break;
    case Field::kLsp2: std::printf("lsp2 %d, %d %d\n", a, width, value); break;
    case Field::kPitch0: std::printf("codebook0_pit %d, %d %d\n", a, width, value); break;
    case Field::kPitch1: std::printf("codebook1_pit %d, %d %d\n", a, width, value); break;
    case Field::kIndexPitch: std::printf("index_pitch %d %d\n", width, value); break;
    case Field::kIndexPgain: std::printf("index_pgain %d %d\n", width, value); break;
    case Field::kPb: std::printf("index_pb %d %d", width, value); break;
  }
}

}  // namespace

int init_frame_reader(const VqfHeaderInfo& header) {
  char id[sizeof header.id];
  std::memcpy(id, header.id, sizeof id);
  id[sizeof id - 1] = '\0';
  if (codec::TvqCheckVersion(id) == -1) return 1;
  g_decoder = FrameTables{};
  codec::TvqGetConfInfo(&g_decoder.config);
  codec::TvqGetVectorInfo(g_decoder.shape0, g_decoder.shape1);
  return 0;
}

int read_vqf_frame(VqfFrameIndex* index, BitstreamFile* bitstream) {
  const int expected = codec::TvqGetNumFixedBitsPerFrame();
  // A frame of no bits would be accepted forever without moving on.
  if (expected < 1 || !IndexReady(*index)) return 0;
  int total = get_bstm(&index->windowType, g_decoder.config.windowTypeBits, bitstream);
  if (codec::TvqWtypeToBtype(index->windowType, &index->blockType) != 0) return 0;
  const int blockType = index->blockType;
  if (blockType < 0 || blockType >= kBlockTypes) return 0;
  if (blockType == kShortBlockType) {
    codec::TvqUpdateVectorInfo(0, &g_decoder.config.blocks[kShortBlockType].shapeDivisions,
                               g_decoder.shape0[kShortBlockType], g_decoder.shape1[kShortBlockType]);
  }
  VisitFields(g_decoder, blockType, *index,
              [&](Field, int32_t& value, int width, int, int, int) { total += get_bstm(&value, width, bitstream); });
  return total == expected ? 1 : 0;
}

void init_frame_writer() {
  g_encoder = FrameTables{};
  codec::TvqEncGetConfInfo(&g_encoder.config);
  codec::TvqEncGetVectorInfo(g_encoder.shape0, g_encoder.shape1);
}

void write_vqf_frame(const VqfFrameIndex* index, BitstreamFile* bitstream) {
  (void)write_bstm(index->windowType, g_encoder.config.windowTypeBits, bitstream);
  const int blockType = index->blockType;
  if (blockType < 0 || blockType >= kBlockTypes || !IndexReady(*index)) return;
  if (blockType == kShortBlockType) {
    codec::TvqEncUpdateVectorInfo(0, &g_encoder.config.blocks[kShortBlockType].shapeDivisions,
                                  g_encoder.shape0[kShortBlockType], g_encoder.shape1[kShortBlockType]);
  }
  VisitFields(g_encoder, blockType, *index, [&](Field field, int32_t value, int width, int a, int b, int c) {
    if (write_bstm(value, width, bitstream) != 0) ReportOverflow(field, width, value, a, b, c);
  });
}
