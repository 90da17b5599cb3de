// SPDX-License-Identifier: GPL-2.0-or-later
// Conjugate-structure vector quantisation: a vector is coded as the sum of
// one entry from each of two codebooks, so 2^a + 2^b entries stand for
// 2^(a+b) code vectors. The codebooks are fixed sets of single pulses and
// pseudo-random values, the same in the encoder and the decoder (and on
// every machine: integer generator, exact float arithmetic).
//
// The encoder searches with a preselection: the `candidates` best entries of
// each codebook alone, then every pair of them.
#pragma once

#include <cstdint>
#include <vector>

#include "codecs/twinvq/tvq_layout.h"

namespace tvq {

// One codebook of 2^bits entries of kMaxVectorLength values; a division of n
// values uses the first n values of each entry.
struct Codebook {
  int entries = 0;
  std::vector<float> rows;     // entry-major: rows[e * kMaxVectorLength + k]
  std::vector<float> columns;  // value-major: columns[k * entries + e]
  std::vector<float> squares;  // columns squared
};

// The two codebooks of every width from 1 to kMaxCodebookBits.
class CodebookSet {
 public:
  CodebookSet();
  // REQUIRES: kind is 0 or 1, 1 <= bits <= kMaxCodebookBits.
  const Codebook& Get(int kind, int bits) const { return books_[kind][bits]; }

 private:
  Codebook books_[2][kMaxCodebookBits + 1];
};

// The most entries of each codebook a search keeps.
inline constexpr int kMaxCandidates = 32;

// Work space of the search, sized once.
struct SearchScratch {
  std::vector<float> weightedTarget, correlation0, energy0, correlation1, energy1;
  std::vector<float> gathered, rest1;  // the second codebook's candidates
  std::vector<int> order0, order1;
  SearchScratch();
};

// The pair (index0, index1) minimising sum_k weight[k] (target[k] - c0[k] -
// c1[k])^2 among the `candidates` best entries of each codebook. Ties go to
// the lowest indices.
// `candidates` is taken within 1 to kMaxCandidates.
// REQUIRES: n <= kMaxVectorLength, weights >= 0.
void SearchPair(const float* target, const float* weight, int n, const Codebook& book0, const Codebook& book1,
                int candidates, SearchScratch& scratch, int32_t* index0, int32_t* index1);

// out[k] = c0[k] + c1[k] for k < n. Indices are masked to the codebook sizes.
void AddPair(const Codebook& book0, const Codebook& book1, int32_t index0, int32_t index1, int n, float* out);

}  // namespace tvq
