// The procedural painter that stands in for a diffusion model: the prompt and
// the model choose colours and layout, the seed places the shapes, the
// sampling settings change texture, contrast and tone. Pure functions of
// their arguments, so the same request always paints the same picture.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "reference/diffusion/model_file.h"

namespace Reference::Diffusion {

// Float RGB, 0..1, packed rows.
struct Canvas {
  int width = 0;
  int height = 0;
  std::vector<float> rgb;

  Canvas() = default;
  Canvas(int w, int h) : width(w), height(h), rgb(size_t(w) * size_t(h) * 3, 0.0f) {}
  float* Pixel(int x, int y) { return &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3]; }
  const float* Pixel(int x, int y) const { return &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3]; }
};

// What the text asks for: a layout key and the model's palette moved towards
// the colours the prompt names and away from those the negative prompt names.
struct Conditioning {
  uint64_t layout = 0;
  std::vector<Rgb> palette;
};

// clipSkip above 1 leaves out the last clipSkip - 1 words of each prompt.
Conditioning Condition(const DiffusionModel& model, std::string_view prompt, std::string_view negative, int clipSkip);

struct Look {
  uint64_t seed = 0;
  int detailOctaves = 5;  // grows with the step count
  float cfg = 7.0f;       // saturation and contrast
  float guidance = 3.5f;  // sharper shape edges when higher
  int sampleMethod = 0;   // sample_method_t
  int scheduler = 0;      // scheduler_t
};

// time in 0..1 moves shapes and texture (video frames).
Canvas PaintScene(const DiffusionModel& model, const Conditioning& conditioning, const Look& look, int width,
                  int height, float time);

uint64_t MixBits(uint64_t x);

}  // namespace Reference::Diffusion
