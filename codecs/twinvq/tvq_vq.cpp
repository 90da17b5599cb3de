// SPDX-License-Identifier: GPL-2.0-or-later
// Codebook generation and the preselected pair search.
#include "codecs/twinvq/tvq_vq.h"

#include <algorithm>
#include <functional>
#include <limits>

namespace tvq {
namespace {

// The first codebook of 32 entries or more begins with single pulses, +3
// and -3 at each of the first 16 positions (at most half its entries): the
// peak that a tone leaves standing far above its neighbours, once the
// envelope is divided out, gets a code vector of its own, and the second
// codebook adds what lies around it. Every other entry is noise.
constexpr int kPulseBooksFrom = 5;  // bits
constexpr int kPulsePositions = 16;
constexpr float kPulseAmplitude = 3.0f;

// xorshift64*: the same numbers on every machine.
struct Generator {
  uint64_t state;
  uint32_t Next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return static_cast<uint32_t>((state * 0x2545F4914F6CDD1Dull) >> 32);
  }
};

// Near-Gaussian values of variance 1/2 (a sum of four uniform values), so
// that the sum of two entries has unit variance like the coded residual.
float NextValue(Generator& g) {
  int64_t sum = 0;
  for (int i = 0; i < 4; ++i) sum += static_cast<int64_t>(g.Next()) - 0x80000000ll;
  // Each term is uniform over [-2^31, 2^31): variance 2^62 / 3.
  constexpr double kScale = 0.6123724356957945 / 2147483648.0;  // sqrt(3/8) / 2^31
  return static_cast<float>(static_cast<double>(sum) * kScale);
}

void Build(Codebook& book, int kind, int bits) {
  book.entries = 1 << bits;
  book.rows.resize(size_t(book.entries) * kMaxVectorLength);
  book.columns.resize(book.rows.size());
  book.squares.resize(book.rows.size());
  Generator g{0x9E3779B97F4A7C15ull ^ (uint64_t(kind + 1) << 40) ^ (uint64_t(bits) << 8)};
  const int pulses = kind == 0 && bits >= kPulseBooksFrom ? std::min(2 * kPulsePositions, book.entries / 2) : 0;
  for (int e = 0; e < book.entries; ++e) {
    for (int k = 0; k < kMaxVectorLength; ++k) {
      float v = NextValue(g);
      if (e < pulses) v = k == e / 2 ? (e % 2 == 0 ? kPulseAmplitude : -kPulseAmplitude) : 0.0f;
      book.rows[size_t(e) * kMaxVectorLength + k] = v;
      book.columns[size_t(k) * book.entries + e] = v;
      book.squares[size_t(k) * book.entries + e] = v * v;
    }
  }
}

// Correlation with the weighted target and weighted energy of every entry.
void ScanBook(const Codebook& book, const float* weightedTarget, const float* weight, int n, float* correlation,
              float* energy) {
  const int entries = book.entries;
  std::fill(correlation, correlation + entries, 0.0f);
  std::fill(energy, energy + entries, 0.0f);
  for (int k = 0; k < n; ++k) {
    const float t = weightedTarget[k], w = weight[k];
    const float* column = book.columns.data() + size_t(k) * entries;
    const float* square = book.squares.data() + size_t(k) * entries;
    for (int e = 0; e < entries; ++e) {
      correlation[e] += t * column[e];
      energy[e] += w * square[e];
    }
  }
}

// The `count` entries with the largest gain 2 correlation - energy, in
// index order; of equal gains the lower index is taken.
void Preselect(const float* correlation, const float* energy, int entries, int count, std::vector<int>& order) {
  float gain[1 << kMaxCodebookBits], sorted[1 << kMaxCodebookBits];
  for (int e = 0; e < entries; ++e) gain[e] = sorted[e] = 2.0f * correlation[e] - energy[e];
  order.clear();
  if (count >= entries) {
    for (int e = 0; e < entries; ++e) order.push_back(e);
    return;
  }
  // The count-th largest gain, then every entry above it and as many as are
  // still needed of those equal to it.
  std::nth_element(sorted, sorted + count - 1, sorted + entries, std::greater<float>());
  const float threshold = sorted[count - 1];
  int above = 0;
  for (int e = 0; e < entries; ++e) above += gain[e] > threshold ? 1 : 0;
  int equal = count - above;
  for (int e = 0; e < entries; ++e) {
    if (gain[e] > threshold || (gain[e] == threshold && equal-- > 0)) order.push_back(e);
  }
}

}  // namespace

CodebookSet::CodebookSet() {
  for (int kind = 0; kind < 2; ++kind) {
    for (int bits = 1; bits <= kMaxCodebookBits; ++bits) Build(books_[kind][bits], kind, bits);
  }
}

SearchScratch::SearchScratch()
    : weightedTarget(kMaxVectorLength),
      correlation0(1 << kMaxCodebookBits),
      energy0(1 << kMaxCodebookBits),
      correlation1(1 << kMaxCodebookBits),
      energy1(1 << kMaxCodebookBits),
      gathered(size_t(kMaxVectorLength) * kMaxCandidates),
      rest1(kMaxCandidates) {
  order0.reserve(1 << kMaxCodebookBits);
  order1.reserve(1 << kMaxCodebookBits);
}

void SearchPair(const float* target, const float* weight, int n, const Codebook& book0, const Codebook& book1,
                int candidates, SearchScratch& s, int32_t* index0, int32_t* index1) {
  for (int k = 0; k < n; ++k) s.weightedTarget[k] = weight[k] * target[k];
  ScanBook(book0, s.weightedTarget.data(), weight, n, s.correlation0.data(), s.energy0.data());
  ScanBook(book1, s.weightedTarget.data(), weight, n, s.correlation1.data(), s.energy1.data());
  candidates = std::clamp(candidates, 1, kMaxCandidates);
  Preselect(s.correlation0.data(), s.energy0.data(), book0.entries, std::min(candidates, book0.entries), s.order0);
  Preselect(s.correlation1.data(), s.energy1.data(), book1.entries, std::min(candidates, book1.entries), s.order1);
  // Error of a pair less the target's weighted energy:
  // -2 (r0 + r1) + e0 + e1 + 2 sum w c0 c1. The second codebook's candidates
  // are gathered value-major, so that the cross terms of one first entry
  // with all of them accumulate side by side.
  const int count1 = static_cast<int>(s.order1.size());
  for (int j = 0; j < count1; ++j) {
    const int b = s.order1[j];
    const float* c1 = book1.rows.data() + size_t(b) * kMaxVectorLength;
    for (int k = 0; k < n; ++k) s.gathered[size_t(k) * kMaxCandidates + j] = c1[k];
    s.rest1[j] = s.energy1[b] - 2.0f * s.correlation1[b];
  }
  float best = std::numeric_limits<float>::infinity();
  int best0 = 0, best1 = 0;
  float cross[kMaxCandidates];
  for (int a : s.order0) {
    const float* c0 = book0.rows.data() + size_t(a) * kMaxVectorLength;
    std::fill(cross, cross + count1, 0.0f);
    for (int k = 0; k < n; ++k) {
      const float p = weight[k] * c0[k];
      const float* column = s.gathered.data() + size_t(k) * kMaxCandidates;
      for (int j = 0; j < count1; ++j) cross[j] += p * column[j];
    }
    const float base = s.energy0[a] - 2.0f * s.correlation0[a];
    for (int j = 0; j < count1; ++j) {
      const int b = s.order1[j];
      const float error = base + s.rest1[j] + 2.0f * cross[j];
      if (error < best || (error == best && (a < best0 || (a == best0 && b < best1)))) {
        best = error;
        best0 = a;
        best1 = b;
      }
    }
  }
  *index0 = best0;
  *index1 = best1;
}

void AddPair(const Codebook& book0, const Codebook& book1, int32_t index0, int32_t index1, int n, float* out) {
  const float* c0 = book0.rows.data() + size_t(uint32_t(index0) & uint32_t(book0.entries - 1)) * kMaxVectorLength;
  const float* c1 = book1.rows.data() + size_t(uint32_t(index1) & uint32_t(book1.entries - 1)) * kMaxVectorLength;
  for (int k = 0; k < n; ++k) out[k] = c0[k] + c1[k];
}

}  // namespace tvq
