#include "framework/kernels.h"

#include <atomic>

namespace Fmx::Graphics::Detail {

namespace {
std::atomic<bool> gBaselineOnly{false};
}  // namespace

void UseBaselineKernels(bool Baseline) { gBaselineOnly.store(Baseline, std::memory_order_relaxed); }
bool BaselineKernelsOnly() { return gBaselineOnly.load(std::memory_order_relaxed); }

}  // namespace Fmx::Graphics::Detail
