// Model files with random weights for the real diffusion library: the tensor
// names and shapes its loaders expect, written as GGUF. The weights carry no
// knowledge; they only make the library load, sample and decode for real.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace Corvina::RealTests {

enum class TensorType : std::uint32_t { F32 = 0, F16 = 1, Q4_0 = 2 };

struct TensorSpec {
  std::string name;
  TensorType type;
  std::vector<std::int64_t> ne;  // ggml order: fastest-varying dimension first
};

// Stable Diffusion 1.x with the tiny U-Net (one residual block per level and no
// middle block: the smallest network the library accepts as SD1), the CLIP
// ViT-L/14 text encoder and the KL autoencoder (its encoder only on request).
std::vector<TensorSpec> TinySd1Tensors(bool withVaeEncoder);

// RRDBNet in the upscaler's original naming with one residual block; `scale`
// is 1, 2 or 4 and is what the library reads back as the model's own factor.
std::vector<TensorSpec> TinyEsrganTensors(int scale);

std::uint64_t TensorBytes(const TensorSpec& tensor);

// Writes the tensors with seeded random values (norm weights 1, biases 0) to a
// temporary file beside `path`, then renames it, so that processes that race
// for the same file all see a whole one.
void WriteGguf(const std::filesystem::path& path, const std::vector<TensorSpec>& tensors,
               std::uint64_t seed);

// Returns `path`, writing it first unless it already exists.
std::filesystem::path EnsureModel(const std::filesystem::path& path,
                                  const std::vector<TensorSpec>& tensors, std::uint64_t seed);

}  // namespace Corvina::RealTests
