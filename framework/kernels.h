// The pixel loops of the framework and the package come in a baseline
// version and faster ones for newer processors, picked once per process. One
// switch, for tests, sends every loop back to its baseline version, so that
// both are checked on the same machine.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#include <immintrin.h>
#endif

namespace Fmx::Graphics::Detail {

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
// Every AVX kernel calls this once its 256-bit work is done, before it hands
// the rest of a row to baseline code or returns. GCC 12 leaves the upper
// halves of the vector registers in use at some exits (tail calls, some
// returns, more of them at -O1), and then every legacy SSE instruction that
// follows, ours or the caller's, pays for merging them: OpenCV's own resize
// ran 3 to 4 times slower after a shrink of ours until this was added.
__attribute__((target("avx"))) inline void LeaveAvx() { _mm256_zeroupper(); }
#endif

// Tests only.
void UseBaselineKernels(bool Baseline);
bool BaselineKernelsOnly();

// The kernel to call now: best, unless the switch asks for the baseline.
template <class Fn>
Fn PickKernel(Fn baseline, Fn best) {
  return BaselineKernelsOnly() ? baseline : best;
}

}  // namespace Fmx::Graphics::Detail
