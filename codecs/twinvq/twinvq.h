// SPDX-License-Identifier: GPL-2.0-or-later
// The interface of the TwinVQ decoder and encoder libraries (libtvqdec.so,
// libtvqenc.so): the records they exchange with the VQF layer and their
// entry points.
//
// The libraries turn samples into the field values of one coded frame (the
// frame index) and back; the VQF layer reads and writes those fields as bits,
// with the widths that the configuration and width tables give. The audio
// layer loads the libraries at run time and uses this header for the types
// only; the libraries include it to export exactly these entry points.
//
// The records keep the field order of the libraries' 32-bit layout. Their
// pointers are 8 bytes on 64-bit Linux, so VqfFrameIndex takes its natural
// size there (128 bytes) instead of 88; every field keeps its place in the
// order, and the offsets below are those of the 32-bit layout.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define TVQ_API __attribute__((visibility("default")))
#else
#define TVQ_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// The setup record both libraries take at initialisation. The VQF layer
// zeroes all of it and sets the five fields named here; the rest belongs to
// the libraries.
typedef struct VqfHeaderInfo {
  char id[13];             // 0: "TWIN97012000" and a zero byte
  char idPadding[3];       // 13
  int32_t unused16;        // 16
  int32_t channelMode;     // 20: channels minus 1
  int32_t bitRate;         // 24: kbit/s of the whole stream
  int32_t samplingRate;    // 28: kHz (8, 11, 22, 44)
  int32_t reservedWord;    // 32
  char libraryArea[3076];  // 36
} VqfHeaderInfo;

// The encoder's settings, the second argument of TvqEncInitialize.
typedef struct VqfEncoderSetup {
  int32_t preselectionCandidates;
} VqfEncoderSetup;

// The settings of one block type (0 long, 1 medium, 2 short blocks).
typedef struct VqfBlockConfig {
  int32_t libraryField0;     // not read by the VQF layer
  int32_t subBlocks;         // sub-blocks per channel
  int32_t shapeDivisions;    // number of shape index pairs
  int32_t pbEnd;             // end (exclusive) of the balance index bands
  int32_t forwardDivisions;  // forward short indices per sub-block
  int32_t forwardShortBits;  // width of each forward short index
  int32_t subPowers;         // sub-power indices per channel
  int32_t hasPitch;          // non-zero: frames carry the pitch fields
  int32_t hasPb;             // non-zero: frames carry the balance indices
  int32_t pbStart;           // start of the balance index bands
  int32_t pbBits;            // width of each balance index
  int32_t libraryFields[4];  // not read by the VQF layer
} VqfBlockConfig;

// The configuration that TvqGetConfInfo and TvqEncGetConfInfo fill.
typedef struct VqfCodecConfig {
  int32_t channels;        // channel loops of a frame run over this count
  int32_t windowTypeBits;  // width of the window type
  int32_t lsp0Bits;        // width of the first LSP index of a channel
  int32_t lsp1Bits;        // width of the second LSP index
  int32_t lsp2Bits;        // width of each further LSP index
  int32_t lsp2Count;       // further LSP indices per channel
  int32_t forwardArBits;   // width of each forward AR index
  int32_t powerBits;       // width of a channel's main power index
  int32_t subPowerBits;    // width of each sub-power index
  int32_t pitchDivisions;  // pitch codebook divisions
  int32_t indexPitchBits;  // width of a channel's pitch index
  int32_t indexPgainBits;  // width of a channel's pitch gain index
  VqfBlockConfig blocks[3];
} VqfCodecConfig;

// The width tables that TvqGetVectorInfo and TvqEncGetVectorInfo fill: rows
// 0 to 2 give the widths of the shape indices of block types 0 to 2 (entry
// i: shape index i), row 3 those of the pitch codebook indices (entry d:
// division d). One table for the indices of the first kind, one for the
// second. The arrays belong to the library.
enum { kVqfWidthRows = 4 };
typedef int32_t* VqfWidthTable[kVqfWidthRows];

// One coded frame's field values. The arrays belong to the library: its
// initialisation sets them up and its termination releases them.
typedef struct VqfFrameIndex {
  int32_t windowType;        // 0
  int32_t blockType;         // 4: 0 to 2, derived from windowType
  int32_t libraryWords[6];   // 8: not read by the VQF layer
  int32_t* shape;            // 32: D first-kind indices, then D second-kind
  int32_t* forwardShort;     // 36: by channel, sub-block, division
  int32_t* forwardAr;        // 40: by channel, sub-block
  int32_t* power;            // 44: per channel: main index, then sub-powers
  int32_t* lsp[2];           // 48: per channel: LSP indices
  int32_t indexPitch[2];     // 56: per channel
  int32_t* codebookPitch;    // 64: P first-kind indices, then P second-kind
  int32_t indexPgain[2];     // 68: per channel
  int32_t* indexPb[2];       // 76: per channel: balance indices
  int32_t libraryWord;       // 84: not read by the VQF layer
} VqfFrameIndex;

#ifdef __cplusplus
#define TVQ_STATIC_ASSERT(condition) static_assert(condition, #condition)
#else
#define TVQ_STATIC_ASSERT(condition) _Static_assert(condition, #condition)
#endif
TVQ_STATIC_ASSERT(sizeof(VqfHeaderInfo) == 3112);
TVQ_STATIC_ASSERT(offsetof(VqfHeaderInfo, channelMode) == 20);
TVQ_STATIC_ASSERT(offsetof(VqfHeaderInfo, reservedWord) == 32);
TVQ_STATIC_ASSERT(sizeof(VqfBlockConfig) == 15 * 4);
TVQ_STATIC_ASSERT(offsetof(VqfCodecConfig, blocks) == 12 * 4);
TVQ_STATIC_ASSERT(sizeof(VqfCodecConfig) == 57 * 4);

// The version string the libraries accept.
#define TVQ_VERSION_ID "TWIN97012000"

// The coding modes of the libraries: a sampling rate with a bit rate per
// channel, each coded mono or stereo (the header's bitRate is the bit rate
// per channel times the channels). Every list of modes in the project reads
// this table: the libraries' frame layouts, the VQF container's rate codes,
// spoolpack's vqf packing and its help, the tests and the fuzz target.
typedef struct TvqMode {
  int32_t samplingCode;  // the header's samplingRate: kHz, 11 for 11025 Hz
  uint32_t sampleRate;   // Hz
  int32_t kbps;          // kbit/s per channel
} TvqMode;
static const TvqMode kTvqModes[] = {
    {8, 8000, 8},    {11, 11025, 10}, {11, 11025, 16}, {22, 22050, 20},
    {22, 22050, 24}, {22, 22050, 32}, {44, 44100, 40}, {44, 44100, 48},
};
enum { kTvqModeCount = sizeof kTvqModes / sizeof kTvqModes[0], kTvqMaxChannels = 2 };

// ---- Decoder (libtvqdec.so) ----------------------------------------------

// Sets up decoding of the stream that `header` describes. Returns 0, or 1
// unspecified error, 2 invalid version, 3 invalid channel mode, 4 invalid
// combination of sampling and bit rate, 5 invalid parameter.
TVQ_API int32_t TvqInitialize(VqfHeaderInfo* header, VqfFrameIndex* index, int32_t dispErrorMessageBox);
// Releases what TvqInitialize set up in `index` and in the library.
TVQ_API void TvqTerminate(VqfFrameIndex* index);
TVQ_API void TvqGetVectorInfo(int32_t* shape0Widths[], int32_t* shape1Widths[]);
// Decodes one frame into channels times frame size floats, channel after
// channel, on the scale of 16-bit samples.
TVQ_API void TvqDecodeFrame(VqfFrameIndex* index, float* out);
// Returns 0 and the block type (0 to 2) of an accepted window type, non-zero
// for one the decoder rejects.
TVQ_API int32_t TvqWtypeToBtype(int32_t windowType, int32_t* blockType);
// Called for frames of block type 2 before their shape fields: may change
// the division count and the row-2 widths in place.
TVQ_API void TvqUpdateVectorInfo(int32_t varbits, int32_t* divisions, int32_t shape0Row[], int32_t shape1Row[]);
// -1 for a version the decoder does not know, anything else accepted.
TVQ_API int32_t TvqCheckVersion(char* versionId);
TVQ_API void TvqGetConfInfo(VqfCodecConfig* config);
// Samples per channel in one frame.
TVQ_API int32_t TvqGetFrameSize(void);
TVQ_API int32_t TvqGetNumChannels(void);
// Bits that every frame of the stream holds, whatever its block type.
TVQ_API int32_t TvqGetNumFixedBitsPerFrame(void);

// ---- Encoder (libtvqenc.so) ----------------------------------------------

// Sets up encoding as `header` and `setup` say. Returns 0, or 1 to 5 as
// TvqInitialize, 6 invalid preselection candidate number.
TVQ_API int32_t TvqEncInitialize(VqfHeaderInfo* header, VqfEncoderSetup* setup, VqfFrameIndex* index,
                                 int32_t dispErrorMessageBox);
TVQ_API void TvqEncTerminate(VqfFrameIndex* index);
TVQ_API void TvqEncGetVectorInfo(int32_t* shape0Widths[], int32_t* shape1Widths[]);
// Encodes channels times frame size floats, channel after channel, into the
// frame's field values.
TVQ_API void TvqEncodeFrame(float* in, VqfFrameIndex* index);
TVQ_API void TvqEncUpdateVectorInfo(int32_t varbits, int32_t* divisions, int32_t shape0Row[], int32_t shape1Row[]);
TVQ_API void TvqEncGetConfInfo(VqfCodecConfig* config);
TVQ_API int32_t TvqEncGetFrameSize(void);

#ifdef __cplusplus
}  // extern "C"
#endif
