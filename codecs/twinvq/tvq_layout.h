// SPDX-License-Identifier: GPL-2.0-or-later
// The coding modes of the TwinVQ libraries and the frame layout of each:
// which fields a frame of each block type carries, their widths, and the
// partitions of the spectrum that the fields describe.
//
// A mode is a sampling rate, a channel count and a bit rate (kTvqModes in
// twinvq.h lists the rates and bit rates per channel). Every frame of a
// mode holds the same number of bits whatever its block type: the shape
// indices take the bits that the other fields of that block type leave.
#pragma once

#include <cstdint>

#include "codecs/twinvq/twinvq.h"

namespace tvq {

inline constexpr int kMaxChannels = kTvqMaxChannels;
inline constexpr int kBlockTypes = 3;  // 0 long, 1 medium, 2 short
inline constexpr int kLong = 0;
inline constexpr int kMedium = 1;
inline constexpr int kShort = 2;
inline constexpr int kMaxSubBlocks = 8;
inline constexpr int kMaxFrameSize = 1024;        // samples per channel
inline constexpr int kMaxDivisions = 256;         // shape index pairs
inline constexpr int kMaxPitchDivisions = 2;      // pitch codebook index pairs
inline constexpr int kMaxVectorLength = 64;       // values per division
inline constexpr int kMaxCodebookBits = 7;        // entries 2^7 per codebook
inline constexpr int kEnvelopePoints = 32;        // forward predictor state
inline constexpr int kMaxForwardBands = 16;       // per sub-block
inline constexpr int kMaxBalanceBands = 4;        // per sub-block and channel
inline constexpr int kMaxLspOrder = 20;
inline constexpr int kWindowTypeBits = 4;
inline constexpr int kWindowTypes = 14;           // 0-8 long, 9-12 medium, 13 short

// The layout of one block type.
struct BlockLayout {
  int subBlocks = 1;     // S: transforms per channel and frame
  int length = 0;        // L: coefficients per sub-block (frame size / S)
  int divisions = 0;     // D: shape index pairs
  int32_t shape0Bits[kMaxDivisions] = {};  // width of shape index i, first kind
  int32_t shape1Bits[kMaxDivisions] = {};  // and second kind
  int forwardBands = 0;  // Fd: envelope bands per sub-block; divides 32
  int forwardBits = 0;   // width of each forward envelope index
  int bandEdges[kMaxForwardBands + 1] = {};  // coefficient edges of those bands
  int subPowers = 0;     // G: sub-block gains per channel (0 or S)
  int hasPitch = 0;      // long blocks: the periodic peak component
  int balanceBands = 0;  // nb: stereo rotation bands per sub-block and channel slot
  int balanceBits = 0;   // width of each rotation angle index
  int balanceEdges[2 * kMaxBalanceBands + 1] = {};  // 2 nb bands over L coefficients
};

// Everything the encoder and the decoder of one mode agree on.
struct ModeLayout {
  int samplingCode = 0;  // header code: 8, 11, 22, 44
  int sampleRate = 0;    // Hz
  int channels = 0;
  int bitRate = 0;       // kbit/s of the whole stream
  int frameSize = 0;     // samples per channel per frame
  int frameBits = 0;     // bits of every frame
  int lspOrder = 0;      // even
  int lsp0Bits = 0, lsp1Bits = 0, lsp2Bits = 0;  // lsp2Count is lspOrder - 2
  int forwardArBits = 0;
  int powerBits = 0, subPowerBits = 0;
  int pitchDivisions = 0;
  int32_t pitch0Bits[kMaxPitchDivisions] = {};
  int32_t pitch1Bits[kMaxPitchDivisions] = {};
  int pitchHarmonics = 0;   // harmonic peaks coded per channel
  int indexPitchBits = 0, indexPgainBits = 0;
  BlockLayout blocks[kBlockTypes];
};

// Result codes of the initialisations.
inline constexpr int kInitOk = 0;
inline constexpr int kInitUnspecified = 1;
inline constexpr int kInitVersion = 2;
inline constexpr int kInitChannelMode = 3;
inline constexpr int kInitRateCombination = 4;
inline constexpr int kInitParameter = 5;
inline constexpr int kInitCandidates = 6;

// Checks a stream header and builds the layout of its mode. Returns kInitOk,
// kInitParameter (no header, or a non-zero reserved word), kInitVersion (id
// other than "TWIN97012000"), kInitChannelMode (channelMode not 0 or 1) or
// kInitRateCombination (no mode has that sampling code and bit rate).
[[nodiscard]] int LayoutFromHeader(const VqfHeaderInfo* header, ModeLayout* layout);

// Builds the layout of one mode. Returns false when there is no such mode.
// `bitRate` is kbit/s of the whole stream.
[[nodiscard]] bool BuildLayout(int samplingCode, int channels, int bitRate, ModeLayout* layout);

// Bits a frame of block type `bt` holds under `layout`, counted field by field
// in the frame's order (equals layout.frameBits for every block type).
[[nodiscard]] int FrameBitsOfBlockType(const ModeLayout& layout, int bt);

// The configuration record handed to the frame reader and writer; all zero
// without a layout (no stream set up). A null `config` is ignored.
void FillCodecConfig(const ModeLayout* layout, VqfCodecConfig* config);

// Whether `id` (zero-terminated) is the version these libraries code.
[[nodiscard]] bool KnownVersion(const char* id);
// Whether the encoder accepts a preselection of `candidates` entries: 4, 16, 32.
[[nodiscard]] bool AcceptedCandidates(int32_t candidates);

// Width tables owned by one library: rows 0-2 shape widths of block types 0-2,
// row 3 the pitch codebook widths.
struct WidthTables {
  int32_t first[kVqfWidthRows][kMaxDivisions] = {};
  int32_t second[kVqfWidthRows][kMaxDivisions] = {};
};
void FillWidthTables(const ModeLayout& layout, WidthTables* tables);
// Points the caller's two tables of row pointers at `tables`.
void HandOutWidthTables(WidthTables* tables, int32_t* first[], int32_t* second[]);
// The block-type-2 update: short blocks keep the mode's division count and
// widths in every frame, so the update restores them (the caller may hold a
// changed copy). Without a layout, or for a null argument, nothing changes.
void RestoreShortBlockWidths(const ModeLayout* layout, int32_t* divisions, int32_t* first, int32_t* second);

// Window types. A window type names the block type and the slopes shared
// with the previous and the next block: slope class c is the overlap of a
// block type c sub-block (0 long, 1 medium, 2 short); a slope between two
// blocks takes the shorter of their classes.
struct WindowShape {
  int blockType = 0;
  int leftClass = 0;
  int rightClass = 0;
};
// Returns false for a window type outside 0 to 13.
[[nodiscard]] bool DecodeWindowType(int32_t windowType, WindowShape* shape);
// The window type of a block of type `bt` between blocks of types `previous`
// and `next`.
[[nodiscard]] int32_t WindowTypeBetween(int previous, int bt, int next);

}  // namespace tvq
