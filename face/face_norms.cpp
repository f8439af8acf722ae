#include "face/face_norms.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "framework/exceptions.h"
#include "framework/kernels.h"

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define CORVINA_FACE_NORMS_X86 1
#include <immintrin.h>
#endif

namespace Face::Fmx::Batch {

namespace {

using TVectors = std::span<const std::span<const float>>;

// The faces of one pass: 7 groups of 8 lanes keep enough independent sums in
// flight to hide the latency of one step (convert, add, convert back).
constexpr std::size_t kGroup = 8;
constexpr std::size_t kMaxGroups = 7;
constexpr std::size_t kMaxLanes = kGroup * kMaxGroups;

// One step of NumpyNorm's sum. x*x is exact in double (two 24-bit factors),
// so a fused multiply-add rounds exactly where this does: the sum to double,
// then to single.
inline float Step(float sum, float x) {
  return static_cast<float>(static_cast<double>(sum) + static_cast<double>(x) * static_cast<double>(x));
}

// sums[k] after the first `length` elements of vector k, eight vectors
// interleaved so that their chains of dependent roundings overlap.
void PortableSums(const std::span<const float>* v, std::size_t lanes, std::size_t length, float* sums) {
  for (std::size_t first = 0; first < lanes; first += kGroup) {
    const std::size_t n = std::min(kGroup, lanes - first);
    const float* p[kGroup];
    float s[kGroup] = {};
    for (std::size_t k = 0; k < n; ++k) p[k] = v[first + k].data();
    for (std::size_t j = 0; j < length; ++j)
      for (std::size_t k = 0; k < n; ++k) s[k] = Step(s[k], p[k][j]);
    std::copy(s, s + n, sums + first);
  }
}

#ifdef CORVINA_FACE_NORMS_X86

// Elements j..j+7 of eight vectors turned into eight columns: c[e] holds
// element j+e of vectors 0..7, in that order. Vector k's four elements go in
// the low 128 bits, vector k+4's in the high, then a 4 x 4 transpose in each
// half.
__attribute__((target("avx2,fma"), always_inline)) inline void Transpose8(const float* const* p, std::size_t j,
                                                                            __m256* c) {
  for (std::size_t half = 0; half < 2; ++half) {
    const std::size_t at = j + 4 * half;
    __m256 r[4];
    for (std::size_t k = 0; k < 4; ++k)
      r[k] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p[k] + at)), _mm_loadu_ps(p[k + 4] + at), 1);
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
    const __m256 t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]);
    const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
    c[4 * half + 0] = _mm256_shuffle_ps(t0, t2, 0x44);
    c[4 * half + 1] = _mm256_shuffle_ps(t0, t2, 0xEE);
    c[4 * half + 2] = _mm256_shuffle_ps(t1, t3, 0x44);
    c[4 * half + 3] = _mm256_shuffle_ps(t1, t3, 0xEE);
  }
}

// Step for four lanes at once, in double with one rounding of the sum and
// one conversion back, exactly as Step does per lane.
__attribute__((target("avx2,fma"), always_inline)) inline __m128 Step4(__m128 sum, __m128 x) {
  const __m256d xd = _mm256_cvtps_pd(x);
  return _mm256_cvtpd_ps(_mm256_fmadd_pd(xd, xd, _mm256_cvtps_pd(sum)));
}

// PortableSums for `length` (a multiple of 8) elements of up to 8 * Groups
// vectors, four lanes to a register; lanes past `lanes` repeat vector 0 and
// are dropped.
template <std::size_t Groups>
__attribute__((target("avx2,fma"))) void Avx2Sums(const std::span<const float>* v, std::size_t lanes,
                                                 std::size_t length, float* sums) {
  const float* p[Groups][kGroup];
  for (std::size_t g = 0; g < Groups; ++g)
    for (std::size_t k = 0; k < kGroup; ++k) p[g][k] = v[g * kGroup + k < lanes ? g * kGroup + k : 0].data();
  __m128 acc[Groups][2];
  for (std::size_t g = 0; g < Groups; ++g) acc[g][0] = acc[g][1] = _mm_setzero_ps();
  alignas(32) __m256 c[Groups][kGroup];
  for (std::size_t j = 0; j < length; j += kGroup) {
    for (std::size_t g = 0; g < Groups; ++g) Transpose8(p[g], j, c[g]);
    // Each half read from memory: a conversion takes it from there as
    // cheaply as from a register, where the high half would cost a shuffle.
    const float* columns = reinterpret_cast<const float*>(c);
    for (std::size_t e = 0; e < kGroup; ++e)
      for (std::size_t g = 0; g < Groups; ++g) {
        const float* column = columns + (g * kGroup + e) * kGroup;
        acc[g][0] = Step4(acc[g][0], _mm_load_ps(column));
        acc[g][1] = Step4(acc[g][1], _mm_load_ps(column + 4));
      }
  }
  for (std::size_t g = 0; g < Groups; ++g) {
    alignas(16) float s[kGroup];
    _mm_store_ps(s, acc[g][0]);
    _mm_store_ps(s + 4, acc[g][1]);
    for (std::size_t k = 0; k < kGroup && g * kGroup + k < lanes; ++k) sums[g * kGroup + k] = s[k];
  }
  ::Fmx::Graphics::Detail::LeaveAvx();
}

void Avx2SumsOf(const std::span<const float>* v, std::size_t lanes, std::size_t length, float* sums) {
  switch ((lanes + kGroup - 1) / kGroup) {
    case 1: return Avx2Sums<1>(v, lanes, length, sums);
    case 2: return Avx2Sums<2>(v, lanes, length, sums);
    case 3: return Avx2Sums<3>(v, lanes, length, sums);
    case 4: return Avx2Sums<4>(v, lanes, length, sums);
    case 5: return Avx2Sums<5>(v, lanes, length, sums);
    case 6: return Avx2Sums<6>(v, lanes, length, sums);
    default: return Avx2Sums<kMaxGroups>(v, lanes, length, sums);
  }
}
static_assert(kMaxGroups == 7, "Avx2SumsOf dispatches one template per group count");

__attribute__((target("avx2"))) void Avx2Normalise(const float* e, std::size_t n, float norm, float* out) {
  const __m256 d = _mm256_set1_ps(norm);
  std::size_t j = 0;
  for (; j + 8 <= n; j += 8) _mm256_storeu_ps(out + j, _mm256_div_ps(_mm256_loadu_ps(e + j), d));
  for (; j < n; ++j) out[j] = e[j] / norm;
  ::Fmx::Graphics::Detail::LeaveAvx();
}

#endif  // CORVINA_FACE_NORMS_X86

}  // namespace

bool NormPathAvailable(TNormPath path) {
  switch (path) {
    case TNormPath::Portable:
      return true;
    case TNormPath::Avx2:
#ifdef CORVINA_FACE_NORMS_X86
      // The compiler's checks include the operating system's saving of the
      // wide registers.
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
      return false;
#endif
  }
  return false;
}

TNormPath BestNormPath() {
  static const TNormPath best = NormPathAvailable(TNormPath::Avx2) ? TNormPath::Avx2 : TNormPath::Portable;
  return best;
}

void NumpyNorms(TVectors vectors, std::span<float> norms, TNormPath path) {
  if (norms.size() < vectors.size()) throw std::invalid_argument("NumpyNorms: fewer norms than vectors");
  if (!NormPathAvailable(path)) throw std::invalid_argument("NumpyNorms: the processor lacks this path");
  for (const auto& v : vectors)
    if (v.empty()) throw System::Sysutils::Exception(u"Input array must not be empty");
  // Passes of at most kMaxLanes vectors, split evenly so that no pass is
  // left with a handful of latency-bound lanes.
  const std::size_t passes = (vectors.size() + kMaxLanes - 1) / kMaxLanes;
  for (std::size_t first = 0, pass = 0; first < vectors.size(); ++pass) {
    const std::size_t lanes = (vectors.size() - first + (passes - pass) - 1) / (passes - pass);
    const std::span<const float>* v = vectors.data() + first;
    std::size_t common = v[0].size();
    for (std::size_t k = 1; k < lanes; ++k) common = std::min(common, v[k].size());
    float sums[kMaxLanes] = {};
    std::size_t done = 0;
#ifdef CORVINA_FACE_NORMS_X86
    if (path == TNormPath::Avx2) {
      done = common - common % kGroup;
      Avx2SumsOf(v, lanes, done, sums);
    }
#endif
    if (path == TNormPath::Portable) {
      done = common;
      PortableSums(v, lanes, done, sums);
    }
    for (std::size_t k = 0; k < lanes; ++k) {
      float sum = sums[k];
      for (std::size_t j = done; j < v[k].size(); ++j) sum = Step(sum, v[k][j]);
      norms[first + k] = static_cast<float>(std::sqrt(static_cast<double>(sum)));
    }
    first += lanes;
  }
}

// The division runs in single precision: for floats a and b, the double
// quotient rounded to single is the single quotient. A quotient of two
// 24-bit numbers that is not exactly halfway between two floats lies further
// from every such point than double's rounding error (2^-53 relative) can
// carry it, and one that is exactly halfway is a double already.
void Normalise(std::span<const float> e, float norm, float* out, TNormPath path) {
  if (!NormPathAvailable(path)) throw std::invalid_argument("Normalise: the processor lacks this path");
  if (norm == 0) {
    std::fill(out, out + e.size(), 0.0f);
    return;
  }
#ifdef CORVINA_FACE_NORMS_X86
  if (path == TNormPath::Avx2) return Avx2Normalise(e.data(), e.size(), norm, out);
#endif
  for (std::size_t j = 0; j < e.size(); ++j) out[j] = e[j] / norm;
}

}  // namespace Face::Fmx::Batch
