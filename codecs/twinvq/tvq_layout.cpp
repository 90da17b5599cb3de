// SPDX-License-Identifier: GPL-2.0-or-later
// The rate parameters of the modes and their frame layouts.
#include "codecs/twinvq/tvq_layout.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tvq {
namespace {

// What depends on the sampling rate alone, for each rate of the modes.
struct RateParameters {
  int samplingCode;
  int frameSize;       // samples per channel
  int mediumSubBlocks;
  int lspOrder;
  int lsp0Bits, lsp1Bits, lsp2Bits;
  int powerBits;
  int forwardBands[kBlockTypes];
  int forwardBits;
  int indexPitchBits;
  int pitchCodebookBits;  // per codebook of a pitch division
};

constexpr RateParameters kRates[] = {
    {8, 256, 2, 10, 4, 4, 2, 6, {8, 4, 1}, 2, 7, 5},
    {11, 512, 2, 12, 5, 4, 3, 6, {8, 4, 1}, 2, 7, 5},
    {22, 512, 2, 16, 5, 4, 3, 7, {16, 8, 2}, 2, 8, 5},
    {44, 1024, 4, 20, 5, 4, 3, 7, {16, 4, 2}, 3, 8, 6},
};

constexpr int kShortSubBlocks = 8;
constexpr int kSubPowerBits = 3;
constexpr int kForwardArBits = 2;
constexpr int kBalanceBits = 3;
constexpr int kBalanceBands[kBlockTypes] = {4, 2, 1};
constexpr int kPitchHarmonics = 12;
constexpr int kPitchGainBits = 4;
// Bits aimed at per shape division: two codebooks of 5 to 6 bits.
constexpr int kDivisionBits = 11;

double Bark(double hz) { return 13.0 * std::atan(0.00076 * hz) + 3.5 * std::atan((hz / 7500.0) * (hz / 7500.0)); }

// Edges of `bands` bands of equal width on the Bark scale over `length`
// coefficients that span 0 to sampleRate / 2; every band holds one
// coefficient at least.
void BarkEdges(int length, int sampleRate, int bands, int* edges) {
  const double nyquist = sampleRate / 2.0;
  const double top = Bark(nyquist);
  edges[0] = 0;
  for (int b = 1; b < bands; ++b) {
    const double target = top * b / bands;
    double lo = 0.0, hi = nyquist;
    for (int i = 0; i < 50; ++i) {
      const double mid = 0.5 * (lo + hi);
      (Bark(mid) < target ? lo : hi) = mid;
    }
    int edge = static_cast<int>(std::lround(lo / nyquist * length));
    edge = std::max(edge, edges[b - 1] + 1);
    edge = std::min(edge, length - (bands - b));
    edges[b] = edge;
  }
  edges[bands] = length;
}

const RateParameters* FindRate(int samplingCode) {
  for (const RateParameters& r : kRates) {
    if (r.samplingCode == samplingCode) return &r;
  }
  return nullptr;
}

// The mode of the interface's table with this sampling code and bit rate per
// channel, null for none.
const TvqMode* FindMode(int samplingCode, int perChannel) {
  for (const TvqMode& mode : kTvqModes) {
    if (mode.samplingCode == samplingCode && mode.kbps == perChannel) return &mode;
  }
  return nullptr;
}

// Bits of every field of block type `bt` but the shape indices.
int SideBits(const ModeLayout& m, int bt) {
  const BlockLayout& b = m.blocks[bt];
  const int c = m.channels;
  int bits = kWindowTypeBits;
  bits += c * b.subBlocks * b.forwardBands * b.forwardBits;
  bits += c * b.subBlocks * m.forwardArBits;
  bits += c * (m.powerBits + b.subPowers * m.subPowerBits);
  bits += c * (m.lsp0Bits + m.lsp1Bits + (m.lspOrder - 2) * m.lsp2Bits);
  if (b.hasPitch) {
    for (int d = 0; d < m.pitchDivisions; ++d) bits += m.pitch0Bits[d] + m.pitch1Bits[d];
    bits += c * (m.indexPitchBits + m.indexPgainBits);
  }
  if (m.channels == 2) bits += c * b.subBlocks * b.balanceBands * b.balanceBits;
  return bits;
}

// Spreads `bits` over `divisions` index pairs as evenly as widths allow.
void SpreadBits(int bits, int divisions, int32_t* first, int32_t* second) {
  for (int d = 0; d < divisions; ++d) {
    const int share = bits / divisions + (d < bits % divisions ? 1 : 0);
    first[d] = (share + 1) / 2;
    second[d] = share / 2;
  }
}

}  // namespace

bool BuildLayout(int samplingCode, int channels, int bitRate, ModeLayout* layout) {
  const RateParameters* rate = FindRate(samplingCode);
  if (rate == nullptr || channels < 1 || channels > kMaxChannels || bitRate % channels != 0) return false;
  const TvqMode* mode = FindMode(samplingCode, bitRate / channels);
  if (mode == nullptr) return false;

  ModeLayout m;
  m.samplingCode = samplingCode;
  m.sampleRate = static_cast<int>(mode->sampleRate);
  m.channels = channels;
  m.bitRate = bitRate;
  m.frameSize = rate->frameSize;
  // Bits per frame: the bit rate over the frame rate, rounded.
  m.frameBits = static_cast<int>((int64_t{bitRate} * 1000 * m.frameSize + m.sampleRate / 2) / m.sampleRate);
  m.lspOrder = rate->lspOrder;
  m.lsp0Bits = rate->lsp0Bits;
  m.lsp1Bits = rate->lsp1Bits;
  m.lsp2Bits = rate->lsp2Bits;
  m.forwardArBits = kForwardArBits;
  m.powerBits = rate->powerBits;
  m.subPowerBits = kSubPowerBits;
  m.pitchDivisions = channels;
  for (int d = 0; d < m.pitchDivisions; ++d) {
    m.pitch0Bits[d] = rate->pitchCodebookBits;
    m.pitch1Bits[d] = rate->pitchCodebookBits;
  }
  m.pitchHarmonics = kPitchHarmonics;
  m.indexPitchBits = rate->indexPitchBits;
  m.indexPgainBits = kPitchGainBits;

  const int subBlocks[kBlockTypes] = {1, rate->mediumSubBlocks, kShortSubBlocks};
  for (int bt = 0; bt < kBlockTypes; ++bt) {
    BlockLayout& b = m.blocks[bt];
    b.subBlocks = subBlocks[bt];
    b.length = m.frameSize / b.subBlocks;
    b.forwardBands = rate->forwardBands[bt];
    b.forwardBits = rate->forwardBits;
    BarkEdges(b.length, m.sampleRate, b.forwardBands, b.bandEdges);
    b.subPowers = b.subBlocks > 1 ? b.subBlocks : 0;
    b.hasPitch = bt == kLong ? 1 : 0;
    b.balanceBits = kBalanceBits;
    if (channels == 2) {
      b.balanceBands = kBalanceBands[bt];
      BarkEdges(b.length, m.sampleRate, 2 * b.balanceBands, b.balanceEdges);
    }
    const int shapeBits = m.frameBits - SideBits(m, bt);
    const int values = channels * m.frameSize;
    b.divisions = std::clamp((shapeBits + kDivisionBits / 2) / kDivisionBits, 1, kMaxDivisions);
    b.divisions = std::max(b.divisions, (values + kMaxVectorLength - 1) / kMaxVectorLength);
    SpreadBits(shapeBits, b.divisions, b.shape0Bits, b.shape1Bits);
    for (int d = 0; d < b.divisions; ++d) {
      if (b.shape1Bits[d] < 1 || b.shape0Bits[d] > kMaxCodebookBits) return false;
    }
  }
  for (int bt = 0; bt < kBlockTypes; ++bt) {
    if (FrameBitsOfBlockType(m, bt) != m.frameBits) return false;
  }
  *layout = m;
  return true;
}

int FrameBitsOfBlockType(const ModeLayout& layout, int bt) {
  const BlockLayout& b = layout.blocks[bt];
  int bits = SideBits(layout, bt);
  for (int d = 0; d < b.divisions; ++d) bits += b.shape0Bits[d] + b.shape1Bits[d];
  return bits;
}

int LayoutFromHeader(const VqfHeaderInfo* header, ModeLayout* layout) {
  if (header == nullptr || layout == nullptr) return kInitParameter;
  if (std::memchr(header->id, 0, sizeof header->id) == nullptr || !KnownVersion(header->id)) return kInitVersion;
  if (header->channelMode != 0 && header->channelMode != 1) return kInitChannelMode;
  if (!BuildLayout(header->samplingRate, header->channelMode + 1, header->bitRate, layout)) {
    return kInitRateCombination;
  }
  if (header->reservedWord != 0) return kInitParameter;
  return kInitOk;
}

bool KnownVersion(const char* id) { return id != nullptr && std::strncmp(id, TVQ_VERSION_ID, 13) == 0; }

bool AcceptedCandidates(int32_t candidates) { return candidates == 4 || candidates == 16 || candidates == 32; }

void FillCodecConfig(const ModeLayout* layout, VqfCodecConfig* config) {
  if (config == nullptr) return;
  *config = VqfCodecConfig{};
  if (layout == nullptr) return;
  const ModeLayout& m = *layout;
  config->channels = m.channels;
  config->windowTypeBits = kWindowTypeBits;
  config->lsp0Bits = m.lsp0Bits;
  config->lsp1Bits = m.lsp1Bits;
  config->lsp2Bits = m.lsp2Bits;
  config->lsp2Count = m.lspOrder - 2;
  config->forwardArBits = m.forwardArBits;
  config->powerBits = m.powerBits;
  config->subPowerBits = m.subPowerBits;
  config->pitchDivisions = m.pitchDivisions;
  config->indexPitchBits = m.indexPitchBits;
  config->indexPgainBits = m.indexPgainBits;
  for (int bt = 0; bt < kBlockTypes; ++bt) {
    const BlockLayout& b = m.blocks[bt];
    VqfBlockConfig& c = config->blocks[bt];
    c.libraryField0 = b.length;
    c.subBlocks = b.subBlocks;
    c.shapeDivisions = b.divisions;
    c.pbEnd = b.balanceBands;
    c.forwardDivisions = b.forwardBands;
    c.forwardShortBits = b.forwardBits;
    c.subPowers = b.subPowers;
    c.hasPitch = b.hasPitch;
    c.hasPb = m.channels == 2 ? 1 : 0;
    c.pbStart = 0;
    c.pbBits = b.balanceBits;
  }
}

void FillWidthTables(const ModeLayout& m, WidthTables* tables) {
  *tables = WidthTables{};
  for (int bt = 0; bt < kBlockTypes; ++bt) {
    const BlockLayout& b = m.blocks[bt];
    std::copy(b.shape0Bits, b.shape0Bits + b.divisions, tables->first[bt]);
    std::copy(b.shape1Bits, b.shape1Bits + b.divisions, tables->second[bt]);
  }
  std::copy(m.pitch0Bits, m.pitch0Bits + m.pitchDivisions, tables->first[3]);
  std::copy(m.pitch1Bits, m.pitch1Bits + m.pitchDivisions, tables->second[3]);
}

void HandOutWidthTables(WidthTables* tables, int32_t* first[], int32_t* second[]) {
  for (int r = 0; r < kVqfWidthRows; ++r) {
    if (first != nullptr) first[r] = tables->first[r];
    if (second != nullptr) second[r] = tables->second[r];
  }
}

void RestoreShortBlockWidths(const ModeLayout* m, int32_t* divisions, int32_t* first, int32_t* second) {
  if (m == nullptr) return;
  const BlockLayout& b = m->blocks[kShort];
  if (divisions != nullptr) *divisions = b.divisions;
  if (first != nullptr) std::copy(b.shape0Bits, b.shape0Bits + b.divisions, first);
  if (second != nullptr) std::copy(b.shape1Bits, b.shape1Bits + b.divisions, second);
}

bool DecodeWindowType(int32_t windowType, WindowShape* shape) {
  if (windowType < 0 || windowType >= kWindowTypes) return false;
  if (windowType < 9) {
    *shape = {kLong, windowType / 3, windowType % 3};
  } else if (windowType < 13) {
    *shape = {kMedium, 1 + (windowType - 9) / 2, 1 + (windowType - 9) % 2};
  } else {
    *shape = {kShort, kShort, kShort};
  }
  return true;
}

int32_t WindowTypeBetween(int previous, int bt, int next) {
  const int left = std::max(previous, bt);
  const int right = std::max(next, bt);
  if (bt == kLong) return 3 * left + right;
  if (bt == kMedium) return 9 + 2 * (left - 1) + (right - 1);
  return 13;
}

}  // namespace tvq
