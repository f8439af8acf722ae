// NumpyNorm of many vectors at once and the normalisation by it, as
// TFMXFaceDetector needs them for all faces of one picture. Each result is
// bit for bit what NumpyNorm and the division in double rounded to single
// give; only the speed depends on the processor.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstddef>
#include <span>

namespace Face::Fmx::Batch {

// The ways of computing the same results. Portable runs on any processor;
// Avx2 needs AVX2 and FMA and the operating system's support for their
// registers.
enum class TNormPath { Portable, Avx2 };

bool NormPathAvailable(TNormPath path);

// The fastest path this processor offers.
TNormPath BestNormPath();

// norms[k] = NumpyNorm(vectors[k]) for every k. Raises "Input array must not
// be empty" for an empty vector (before computing anything) and
// std::invalid_argument when norms is shorter than vectors, or for a path the
// processor lacks.
void NumpyNorms(std::span<const std::span<const float>> vectors, std::span<float> norms,
                TNormPath path = BestNormPath());

// out[j] = e[j] / norm, the quotient taken in double and rounded to single;
// all zeros when norm is 0 (a vector of norm 0 has no direction). out holds
// e.size() floats and may not overlap e.
void Normalise(std::span<const float> e, float norm, float* out, TNormPath path = BestNormPath());

}  // namespace Face::Fmx::Batch
