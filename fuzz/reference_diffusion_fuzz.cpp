// The reference diffusion backend's parsers and pixel loops on arbitrary
// input. The first byte picks the entry: 0 a model file, 1 Canny over a
// picture whose size and channel count come from the next bytes, 2 the
// resampler between two such sizes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "reference/diffusion/canny.h"
#include "reference/diffusion/model_file.h"
#include "reference/diffusion/resample.h"

namespace {

using namespace Reference::Diffusion;

void Check(bool ok) {
  if (!ok) std::abort();
}

void FuzzModel(std::string_view text) {
  const ModelFile m = ParseModel(text);
  // Exactly one outcome, and a model only with values inside their ranges.
  Check(m.error.empty() == (m.diffusion.has_value() || m.upscaler.has_value()));
  Check(!(m.diffusion && m.upscaler));
  if (m.diffusion) {
    Check(m.diffusion->palette.size() >= 2 && m.diffusion->palette.size() <= 8);
    Check(m.diffusion->detail >= 0 && m.diffusion->detail <= 1);
    Check(m.diffusion->tensors >= 1 && m.diffusion->tensors <= 4096);
  }
  if (m.upscaler) {
    Check(m.upscaler->scale >= 1 && m.upscaler->scale <= 8);
    Check(m.upscaler->sharpen >= 0 && m.upscaler->sharpen <= 2);
  }
}

// Sizes 1..64 from two bytes each way, channels 1..4.
struct Shape {
  int width, height, channels;
};

bool TakeShape(const uint8_t*& data, size_t& size, Shape& shape) {
  if (size < 3) return false;
  shape = {1 + data[0] % 64, 1 + data[1] % 64, 1 + data[2] % 4};
  data += 3;
  size -= 3;
  return true;
}

std::vector<uint8_t> Pixels(const uint8_t* data, size_t size, const Shape& s) {
  std::vector<uint8_t> pixels(size_t(s.width) * size_t(s.height) * size_t(s.channels));
  for (size_t i = 0; i < pixels.size() && size > 0; ++i) pixels[i] = data[i % size];
  return pixels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t entry = data[0] % 3;
  ++data;
  --size;
  if (entry == 0) {
    FuzzModel(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
  }
  Shape in{};
  if (!TakeShape(data, size, in)) return 0;
  if (entry == 1) {
    if (size < 2) return 0;
    CannySettings settings;
    settings.high = float(data[0]) / 200.0f;
    settings.low = float(data[1]) / 200.0f;
    settings.inverse = (data[0] & 1) != 0;
    const auto pixels = Pixels(data + 2, size - 2, in);
    const auto edges = CannyEdges(pixels.data(), in.width, in.height, in.channels, settings);
    Check(edges.size() == size_t(in.width) * size_t(in.height));
    return 0;
  }
  Shape out{};
  if (!TakeShape(data, size, out)) return 0;
  const auto pixels = Pixels(data, size, in);
  std::vector<uint8_t> result(size_t(out.width) * size_t(out.height) * size_t(in.channels));
  Resample(pixels.data(), in.width, in.height, in.channels, result.data(), out.width, out.height,
           (in.channels & 1) != 0 ? ResampleFilter::Lanczos3 : ResampleFilter::Bicubic);
  // A flat picture stays flat through any size change.
  bool flat = true;
  for (size_t i = 1; i < pixels.size() && flat; ++i) flat = pixels[i] == pixels[0];
  if (flat)
    for (const uint8_t v : result) Check(v == pixels[0]);
  return 0;
}
