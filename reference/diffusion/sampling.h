// One generation run: paints the target frames, blends them with the init
// picture through the mask and the strength, then walks the sampling steps,
// reporting progress for each and preview frames that move from noise and
// blur towards the final picture.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "reference/diffusion/scene.h"

namespace Reference::Diffusion {

// A picture handed in by the caller: packed rows, 1, 3 or 4 bytes per pixel.
struct PixelView {
  int width = 0;
  int height = 0;
  int channels = 0;
  const uint8_t* data = nullptr;
};

struct SamplingJob {
  const DiffusionModel* model = nullptr;
  Conditioning conditioning;
  Look look;
  int width = 0;  // of every result frame
  int height = 0;
  int steps = 1;  // steps to run
  int frames = 1;
  float strength = 1.0f;  // how far the result moves away from `init`
  std::optional<PixelView> init;
  std::optional<PixelView> mask;  // white = repaint, black = keep `init`
  std::optional<PixelView> control;
  float controlStrength = 0.0f;
};

// Each frame as packed R, G, B bytes of width x height.
std::vector<std::vector<uint8_t>> RunSampling(const SamplingJob& job);

// Converts any PixelView into `channels` (1 or 3) bytes per pixel at the given
// size; the bytes are copied unchanged when size and channels already match.
std::vector<uint8_t> Conform(const PixelView& view, int width, int height, int channels);

}  // namespace Reference::Diffusion
