// TFace, the currency of the face components: one detected face with its box,
// score, landmarks and identity vectors; and NumpyNorm and NumpyDot, the
// vector helpers applications use to compare faces.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <array>
#include <vector>

#include "framework/types.h"

namespace Face::Fmx {

struct TFace {
  System::Types::TRectF bounding_box;  // as the library reports it, in the picture's pixels
  float score = 0;
  std::array<System::Types::TPointF, 5> landmark_5{};
  std::array<System::Types::TPointF, 68> landmark_68{};
  std::vector<float> embeddings;        // as the library returns it
  std::vector<float> normed_embedding;  // embeddings / its L2 norm; all zeros when that norm is 0
};

// L2 norm, accumulated in single precision (each step computed in double and
// rounded back), as the models' reference code does. Raises "Input array must
// not be empty".
float NumpyNorm(const std::vector<float>& a);

// Dot product with the same single-precision accumulation; for two
// normed_embedding vectors, their cosine similarity. Raises
// "输入数组长度必须非空且相等" for an empty array or unequal lengths.
float NumpyDot(const std::vector<float>& a, const std::vector<float>& b);

}  // namespace Face::Fmx
