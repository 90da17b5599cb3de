// SPDX-License-Identifier: GPL-2.0-or-later
// Two doubles handled as one value (a complex number, or one sample of two
// channels), so the transforms and the interpolator do both halves in one
// instruction where the target has 128-bit vectors. Each lane is computed with
// exactly the operations the scalar code would use.
#pragma once

#include <cstring>

typedef double DoublePair __attribute__((vector_size(16)));

inline DoublePair LoadPair(const double* p) {
  DoublePair v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void StorePair(double* p, DoublePair v) { std::memcpy(p, &v, sizeof v); }

inline DoublePair SplatPair(double x) { return DoublePair{x, x}; }

// (b, a) from (a, b).
inline DoublePair SwapPair(DoublePair v) { return __builtin_shufflevector(v, v, 1, 0); }
