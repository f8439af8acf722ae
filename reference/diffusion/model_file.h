// The backend's own model files: a short text file that starts with the line
// "CORVINA-MODEL 1" and holds "key = value" lines. A diffusion model picks the
// picture style and palette; an upscaler model its factor and filter.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reference/diffusion/resample.h"

namespace Reference::Diffusion {

using Rgb = std::array<float, 3>;  // 0..1

enum class Style { Waves, Cells, Rings, Marble };

struct DiffusionModel {
  std::string name;
  Style style = Style::Waves;
  std::vector<Rgb> palette;  // 2 to 8 colours
  float detail = 0.5f;       // weight of the fine texture, 0..1
  int tensors = 16;          // reported while the model loads
};

struct UpscalerModel {
  std::string name;
  int scale = 2;
  ResampleFilter filter = ResampleFilter::Lanczos3;
  float sharpen = 0.0f;  // unsharp-mask amount after resampling, 0..2
  int tensors = 8;
};

struct ModelFile {
  std::optional<DiffusionModel> diffusion;
  std::optional<UpscalerModel> upscaler;
  std::string error;  // empty when one of the two is set
};

inline constexpr std::string_view kModelMagic = "CORVINA-MODEL 1";
inline constexpr size_t kMaxModelFileBytes = 64 * 1024;

ModelFile ParseModel(std::string_view text);
// Reads at most kMaxModelFileBytes; a missing, unreadable, larger or foreign
// file gives an error naming the path.
ModelFile LoadModelFile(const std::string& path);

}  // namespace Reference::Diffusion
