// The pixel loops of the framework and the package come in a baseline
// version and faster ones for newer processors, picked once per process. One
// switch, for tests, sends every loop back to its baseline version, so that
// both are checked on the same machine.
#pragma once

namespace Fmx::Graphics::Detail {

// Tests only.
void UseBaselineKernels(bool Baseline);
bool BaselineKernelsOnly();

// The kernel to call now: best, unless the switch asks for the baseline.
template <class Fn>
Fn PickKernel(Fn baseline, Fn best) {
  return BaselineKernelsOnly() ? baseline : best;
}

}  // namespace Fmx::Graphics::Detail
