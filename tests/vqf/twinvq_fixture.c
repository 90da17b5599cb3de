// SPDX-License-Identifier: GPL-2.0-or-later
/* A TwinVQ library pair for the tests, built from this one file: with
 * FIXTURE_ENCODER the encoder's entry points, else the decoder's. It codes
 * nothing; it hands the VQF layer fixed configurations and a rule the tests
 * can predict.
 *
 * The header's bitRate picks the configuration:
 * - 12 kbit/s, "fields" (stereo only): every field group. Window types 0-3,
 *   4-7 and 8-11 are block types 0, 1 and 2; 12-15 are rejected. Every
 *   frame holds 325 bits; block type 2 holds them only after the update,
 *   which turns its one shape division of widths 1 and 3 into two of widths
 *   20, 32 and 6, 31. Frames decode to 1000 x block type + k for sample k
 *   of a channel-after-channel frame of 2 x 4; the encoder cycles through
 *   window types 2, 6, 9 and sets every field to 1.
 * - any other rate, "samples": 8 samples per channel, one window type 0 of
 *   2 bits (1 to 3 rejected) and 8 x channels shape indices of 17 bits,
 *   index k holding sample k + 65536 (channel after channel). The encoder
 *   delays its input by two frames, as a real coder does.
 * Set-up codes: 2 an id not starting "TWIN", 3 a channel mode other than 0
 * or 1, 4 a bit rate or sampling rate of 0 or less, 5 the fields
 * configuration in mono, 6 (encoder) preselection candidates other than 4,
 * 16, 32. TvqCheckVersion accepts "TWIN97012000" only. */
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "codecs/twinvq/twinvq.h"

enum { kArray = 64, kFieldsRate = 12, kSamplesFrame = 8, kFieldsFrame = 4 };

static int g_fields, g_channels;
static VqfCodecConfig g_config;
static int32_t g_shape0[4][kArray], g_shape1[4][kArray];

static void Set(int32_t* to, const int32_t* from, int n) { memcpy(to, from, sizeof(int32_t) * (size_t)n); }

static int SetUp(const VqfHeaderInfo* h, VqfFrameIndex* index) {
  if (strncmp(h->id, "TWIN", 4) != 0) return 2;
  if (h->channelMode != 0 && h->channelMode != 1) return 3;
  if (h->bitRate <= 0 || h->samplingRate <= 0) return 4;
  g_fields = h->bitRate == kFieldsRate;
  g_channels = h->channelMode + 1;
  if (g_fields && g_channels != 2) return 5;
  memset(&g_config, 0, sizeof g_config);
  memset(g_shape0, 0, sizeof g_shape0);
  memset(g_shape1, 0, sizeof g_shape1);
  g_config.channels = g_channels;
  if (g_fields) {
    /* channels, then the widths and counts in the record's order: window
     * type, lsp0, lsp1, lsp2, lsp2 count, forward AR, power, sub-power,
     * pitch divisions, pitch, pitch gain */
    static const int32_t kTop[] = {2, 4, 6, 4, 32, 2, 5, 7, 3, 2, 9, 2};
    /* -, subBlocks, divisions, pbEnd, forward divisions, forward bits,
     * sub-powers, pitch, balance, pbStart, pbBits */
    static const int32_t kBlocks[3][11] = {{0, 1, 2, 0, 2, 6, 1, 1, 0, 0, 0},
                                           {0, 2, 2, 3, 1, 1, 2, 0, 1, 1, 1},
                                           {0, 2, 1, 1, 2, 4, 1, 0, 1, 0, 3}};
    Set(&g_config.channels, kTop, 12);
    for (int b = 0; b < 3; ++b) Set(&g_config.blocks[b].libraryField0, kBlocks[b], 11);
    Set(g_shape0[0], (const int32_t[]){10, 25}, 2), Set(g_shape1[0], (const int32_t[]){17, 24}, 2);
    Set(g_shape0[1], (const int32_t[]){29, 30}, 2), Set(g_shape1[1], (const int32_t[]){27, 29}, 2);
    g_shape0[2][0] = 1, g_shape1[2][0] = 3;
    Set(g_shape0[3], (const int32_t[]){5, 6}, 2), Set(g_shape1[3], (const int32_t[]){7, 3}, 2);
  } else {
    g_config.windowTypeBits = 2;
    g_config.blocks[0].subBlocks = 1;
    g_config.blocks[0].shapeDivisions = kSamplesFrame * g_channels / 2;
    for (int i = 0; i < kArray; ++i) g_shape0[0][i] = g_shape1[0][i] = 17;
  }
  int32_t* arrays = calloc(9 * kArray, sizeof(int32_t));
  if (arrays == NULL) return 1;
  int32_t** slots[] = {&index->shape, &index->forwardShort, &index->forwardAr, &index->power, &index->lsp[0],
                       &index->lsp[1], &index->codebookPitch, &index->indexPb[0], &index->indexPb[1]};
  for (int i = 0; i < 9; ++i) *slots[i] = arrays + i * kArray;
  return 0;
}

static void End(VqfFrameIndex* index) {
  free(index->shape);
  index->shape = NULL;
}

static void Vectors(int32_t* shape0[], int32_t* shape1[]) {
  for (int r = 0; r < 4; ++r) shape0[r] = g_shape0[r], shape1[r] = g_shape1[r];
}

static void Update(int32_t varbits, int32_t* divisions, int32_t row0[], int32_t row1[]) {
  (void)varbits;
  if (!g_fields) return;
  *divisions = 2;
  Set(row0, (const int32_t[]){20, 32}, 2), Set(row1, (const int32_t[]){6, 31}, 2);
}

static int32_t FrameSize(void) { return g_fields ? kFieldsFrame : kSamplesFrame; }

#ifdef FIXTURE_ENCODER

static float g_delay[2][kArray];
static int g_frames;
static int32_t g_preselection;

TVQ_API int32_t TvqEncInitialize(VqfHeaderInfo* header, VqfEncoderSetup* setup, VqfFrameIndex* index, int32_t flag) {
  (void)flag;
  g_preselection = setup->preselectionCandidates;
  if (g_preselection != 4 && g_preselection != 16 && g_preselection != 32) return 6;
  memset(g_delay, 0, sizeof g_delay);
  g_frames = 0;
  return SetUp(header, index);
}
TVQ_API void TvqEncTerminate(VqfFrameIndex* index) { End(index); }
TVQ_API void TvqEncGetVectorInfo(int32_t* shape0[], int32_t* shape1[]) { Vectors(shape0, shape1); }
TVQ_API void TvqEncUpdateVectorInfo(int32_t varbits, int32_t* divisions, int32_t row0[], int32_t row1[]) {
  Update(varbits, divisions, row0, row1);
}
TVQ_API void TvqEncGetConfInfo(VqfCodecConfig* config) { *config = g_config; }
TVQ_API int32_t TvqEncGetFrameSize(void) { return FrameSize(); }
TVQ_API void TvqEncodeFrame(float* in, VqfFrameIndex* index) {
  const int n = g_channels * FrameSize();
  if (g_fields) {
    static const int32_t kWindows[] = {2, 6, 9};
    index->windowType = kWindows[g_frames % 3];
    index->blockType = g_frames % 3;
    for (int32_t* a = index->shape; a < index->shape + 9 * kArray; ++a) *a = 1;
  } else {
    index->windowType = index->blockType = 0;
    for (int k = 0; k < n; ++k) index->shape[k] = (int32_t)lrintf(g_delay[0][k]) + 65536;
    memcpy(g_delay[0], g_delay[1], sizeof g_delay[0]);
    memcpy(g_delay[1], in, sizeof(float) * (size_t)n);
  }
  ++g_frames;
}
/* What the last TvqEncInitialize was given, for the tests. */
TVQ_API int32_t FixturePreselection(void) { return g_preselection; }

#else

TVQ_API int32_t TvqInitialize(VqfHeaderInfo* header, VqfFrameIndex* index, int32_t flag) {
  (void)flag;
  return SetUp(header, index);
}
TVQ_API void TvqTerminate(VqfFrameIndex* index) { End(index); }
TVQ_API void TvqGetVectorInfo(int32_t* shape0[], int32_t* shape1[]) { Vectors(shape0, shape1); }
TVQ_API void TvqUpdateVectorInfo(int32_t varbits, int32_t* divisions, int32_t row0[], int32_t row1[]) {
  Update(varbits, divisions, row0, row1);
}
TVQ_API void TvqGetConfInfo(VqfCodecConfig* config) { *config = g_config; }
TVQ_API int32_t TvqGetFrameSize(void) { return FrameSize(); }
TVQ_API int32_t TvqGetNumChannels(void) { return g_channels; }
TVQ_API int32_t TvqGetNumFixedBitsPerFrame(void) { return g_fields ? 325 : 2 + 17 * kSamplesFrame * g_channels; }
TVQ_API int32_t TvqCheckVersion(char* id) { return strcmp(id, TVQ_VERSION_ID) == 0 ? 0 : -1; }
TVQ_API int32_t TvqWtypeToBtype(int32_t windowType, int32_t* blockType) {
  const int last = g_fields ? 11 : 0;
  if (windowType < 0 || windowType > last) return 1;
  *blockType = windowType / 4;
  return 0;
}
TVQ_API void TvqDecodeFrame(VqfFrameIndex* index, float* out) {
  const int n = g_channels * FrameSize();
  for (int k = 0; k < n; ++k) {
    out[k] = g_fields ? (float)(1000 * index->blockType + k) : (float)(index->shape[k] - 65536);
  }
}

#endif
