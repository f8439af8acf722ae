// Separable resampling with a windowed-sinc (Lanczos, a = 3) or a cubic
// (Catmull-Rom) kernel, widened when shrinking so that it also filters out
// what the smaller picture cannot hold.
#pragma once

#include <cstdint>
#include <memory>

namespace Reference::Diffusion {

enum class ResampleFilter { Lanczos3, Bicubic };

// Both pictures are packed rows of `channels` bytes per pixel; edge pixels are
// repeated beyond the border.
void Resample(const uint8_t* src, int srcWidth, int srcHeight, int channels, uint8_t* dst, int dstWidth,
              int dstHeight, ResampleFilter filter);

// The same, one band of output rows at a time, for callers that report
// progress as they go. The horizontal pass over the whole source is done in
// the constructor.
class Resampler {
 public:
  Resampler(const uint8_t* src, int srcWidth, int srcHeight, int channels, int dstWidth, int dstHeight,
            ResampleFilter filter);
  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  // Writes output rows [firstRow, endRow) into dst, the whole output picture.
  void Rows(int firstRow, int endRow, uint8_t* dst) const;

 private:
  struct State;
  std::unique_ptr<State> FState;
};

}  // namespace Reference::Diffusion
