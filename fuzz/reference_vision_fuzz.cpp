// The reference vision backend on arbitrary input. The first byte picks the
// entry: 0 the model-file parser, 1 removal, 2 segmentation with prompts,
// 3 background replacement, each on a picture of up to 32x32 whose size and
// pixels come from the input. Beyond the sanitizers, the target traps when a
// promise breaks: unmarked pixels survive removal, masks are 0/255 and stay
// inside their boxes, a replaced pixel lies between picture and background.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "reference/vision/common.h"
#include "reference/vision/entry_points.h"

namespace {

using Corvina::Reference::Vision::ModelFile;

void Check(bool ok) {
  if (!ok) std::abort();
}

std::string Models() { return CORVINA_REFERENCE_VISION_MODELS; }

void FuzzModel(std::string_view text) {
  for (const char* family : {"sam2-encoder", "sam2-decoder", "ostrack", "lama", "rmbg"}) {
    const auto model = ModelFile::Parse(text, family);
    if (!model) continue;
    Check(text.size() <= ModelFile::kMaxBytes);
    for (const char* key : {"work-size", "iterations", "radius", "padding", "feather", "tolerance"}) {
      const auto v = model->Number(key, 3, 1, 64);
      Check(!v || (*v >= 1 && *v <= 64));
    }
  }
}

// A BGRA picture of 1..32 x 1..32 filled from the input, rows padded.
struct Picture {
  int width = 0, height = 0, pitch = 0;
  std::vector<std::uint8_t> bytes;
  std::uint8_t& At(int x, int y, int c) { return bytes[std::size_t(y) * pitch + std::size_t(x) * 4 + c]; }
};

bool Take(const std::uint8_t*& data, std::size_t& size, Picture& p) {
  if (size < 3) return false;
  p.width = 1 + data[0] % 32;
  p.height = 1 + data[1] % 32;
  p.pitch = p.width * 4 + data[2] % 8;
  data += 3;
  size -= 3;
  p.bytes.resize(std::size_t(p.pitch) * p.height);
  for (std::size_t i = 0; i < p.bytes.size(); ++i) p.bytes[i] = size == 0 ? 0 : data[i % size];
  return true;
}

void FuzzRemoval(const std::uint8_t* data, std::size_t size) {
  Picture image;
  if (!Take(data, size, image)) return;
  Picture mask = image;
  for (std::size_t i = 0; i < mask.bytes.size(); ++i) mask.bytes[i] = static_cast<std::uint8_t>(mask.bytes[i] * 7 + 3);
  void* ctx = lama_init((Models() + "lama.cvm").c_str(), -1);
  Check(ctx != nullptr);
  const std::uint8_t* out = lama_execute(ctx, image.bytes.data(), mask.bytes.data(), image.width, image.height,
                                         image.pitch);
  Check(out != nullptr);
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      if (mask.At(x, y, 0) + mask.At(x, y, 1) + mask.At(x, y, 2) > 381) continue;
      for (int c = 0; c < 3; ++c) Check(out[(std::size_t(y) * image.width + x) * 3 + c] == image.At(x, y, c));
    }
  }
  lama_destroy(ctx);
}

void FuzzSegmentation(const std::uint8_t* data, std::size_t size) {
  Picture image;
  if (!Take(data, size, image)) return;
  void* ctx = sam_init((Models() + "sam2_encoder.cvm").c_str(), (Models() + "sam2_decoder.cvm").c_str(), "cpu");
  Check(ctx != nullptr);
  sam_load_image(ctx, image.bytes.data(), image.width, image.height, image.pitch);
  // Prompts from the input, reaching a little outside the picture.
  std::vector<std::uint8_t> inside(std::size_t(image.width) * image.height, 0);
  for (std::size_t i = 0; i + 4 < size && i < 40; i += 5) {
    const int x = data[i] % 48 - 8, y = data[i + 1] % 48 - 8;
    if (data[i + 4] & 1) {
      const int w = data[i + 2] % 40 - 4, h = data[i + 3] % 40 - 4;
      sam_add_rect(ctx, x, y, w, h);
      if (w > 0 && h > 0) {
        for (int yy = std::max(0, y); yy < std::min(image.height, y + h); ++yy)
          for (int xx = std::max(0, x); xx < std::min(image.width, x + w); ++xx) inside[std::size_t(yy) * image.width + xx] = 1;
      }
    } else {
      sam_add_point(ctx, x, y);
    }
  }
  const std::uint8_t* points = sam_get_point_mask(ctx);
  Check(points != nullptr);
  for (int i = 0; i < image.width * image.height; ++i) Check(points[i] == 0 || points[i] == 255);
  const std::uint8_t* rects = sam_get_rect_mask(ctx);
  Check(rects != nullptr);
  for (int i = 0; i < image.width * image.height; ++i) {
    Check(rects[i] == 0 || rects[i] == 255);
    Check(rects[i] == 0 || inside[i] != 0);
  }
  sam_destroy(ctx);
}

void FuzzReplacement(const std::uint8_t* data, std::size_t size) {
  Picture image;
  if (!Take(data, size, image)) return;
  Picture background = image;
  const std::uint8_t shade = size > 0 ? data[0] : 0;
  for (std::size_t i = 0; i < background.bytes.size(); ++i) background.bytes[i] = static_cast<std::uint8_t>(shade + i);
  void* ctx = rmbg_init((Models() + "rmbg.cvm").c_str(), -1);
  Check(ctx != nullptr);
  const std::uint8_t* out = rmbg_execute(ctx, image.bytes.data(), background.bytes.data(), image.width,
                                         image.height, image.pitch);
  Check(out != nullptr);
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      for (int c = 0; c < 3; ++c) {
        const int a = image.At(x, y, c), b = background.At(x, y, c);
        const int v = out[(std::size_t(y) * image.width + x) * 3 + c];
        Check(v >= std::min(a, b) - 1 && v <= std::max(a, b) + 1);
      }
    }
  }
  rmbg_destroy(ctx);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t entry = data[0] % 4;
  ++data;
  --size;
  switch (entry) {
    case 0:
      FuzzModel(std::string_view(reinterpret_cast<const char*>(data), size));
      break;
    case 1:
      FuzzRemoval(data, size);
      break;
    case 2:
      FuzzSegmentation(data, size);
      break;
    case 3:
      FuzzReplacement(data, size);
      break;
  }
  return 0;
}
