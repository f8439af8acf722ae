// Canny edge maps for the library's preprocess_canny: Gaussian blur, Sobel
// gradients, non-maximum suppression and a double threshold that marks strong
// and weak edges with their own gray values.
#pragma once

#include <cstdint>
#include <vector>

namespace Reference::Diffusion {

struct CannySettings {
  // Thresholds on the gradient magnitude scaled so that the picture's
  // strongest gradient is 1.
  float high = 0.08f;
  float low = 0.08f;
  // Gray levels of the two edge classes, 0..1.
  float weak = 0.8f;
  float strong = 1.0f;
  bool inverse = false;
};

// pixels: width x height, `channels` bytes each (1 = gray; 3 or 4 = R, G, B
// first). Returns one byte per pixel.
std::vector<uint8_t> CannyEdges(const uint8_t* pixels, int width, int height, int channels,
                                const CannySettings& settings);

}  // namespace Reference::Diffusion
