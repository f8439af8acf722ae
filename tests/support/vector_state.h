// Whether the upper halves of the 256-bit vector registers are in use: an
// AVX kernel that returns without clearing them makes every legacy SSE
// instruction after it, in any code, pay for merging them. The processor
// reports it (XGETBV with ECX = 1, bit 2), where it offers that query.
#pragma once

#include <optional>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#endif

namespace Corvina::Testing {

// Empty when the processor cannot tell.
inline std::optional<bool> UpperVectorHalvesInUse() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid_max(0, nullptr) < 0xD || !__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE)) return {};
  __cpuid_count(0xD, 1, a, b, c, d);
  if (!(a & (1u << 2))) return {};  // no XGETBV with ECX = 1
  unsigned lo = 0, hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(1));
  return (lo & (1u << 2)) != 0;
#else
  return {};
#endif
}

// Starts a check from a clean state, whatever ran before.
inline void ClearUpperVectorHalves() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  if (UpperVectorHalvesInUse().has_value()) __asm__ volatile("vzeroupper");
#endif
}

}  // namespace Corvina::Testing
