// What every family of the reference vision library shares: the table of live
// contexts, the checks on mapped images, the model-file reader and the guard
// that keeps C++ exceptions from crossing the C boundary.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

// Definitions of the exports; entry_points.h gives them their visibility and
// checks their signatures.
#define CORVINA_SAM2_EXPORT extern "C"

namespace Corvina::Reference::Vision {

// Base of every family's context. The registry owns them; callers only ever
// hold the opaque address.
class Context {
 public:
  virtual ~Context() = default;
};

// Hands the context to the registry and returns its opaque address.
void* Register(std::unique_ptr<Context> context);

// The live context behind ctx when it belongs to family T, null otherwise:
// a stale, foreign or made-up address is refused without being read.
Context* Find(void* ctx);
template <class T>
T* Lookup(void* ctx) {
  return dynamic_cast<T*>(Find(ctx));
}

// Frees ctx when it is a live context of family T; anything else is ignored,
// so a second destroy or a destroy through the wrong family is harmless.
bool Release(void* ctx, bool (*isFamily)(Context*));
template <class T>
void Destroy(void* ctx) {
  Release(ctx, [](Context* c) { return dynamic_cast<T*>(c) != nullptr; });
}

// Largest side accepted for an image: keeps every byte count far inside
// 64-bit arithmetic and inside what OpenCV handles.
inline constexpr int kMaxSide = 1 << 15;

// The four values of a mapped image: B, G, R, A pixels, rows pitch bytes apart.
struct ImageArgs {
  const void* pixels;
  int width;
  int height;
  int pitch;

  bool Valid() const;
  // A view of the caller's pixels, no copy; only valid when Valid().
  cv::Mat Bgra() const;
  // An owned B, G, R copy.
  cv::Mat Bgr() const;
  // The same geometry over another caller buffer (the mask or background
  // that is read with the image's width, height and pitch).
  ImageArgs With(const void* other) const { return {other, width, height, pitch}; }
};

// A model file: a magic first line, then "key: value" lines. Parameters are
// read with bounds so a damaged file fails to load instead of misbehaving.
class ModelFile {
 public:
  static constexpr std::string_view kMagic = "corvina-vision-model 1";
  // Model files are a few lines; anything larger is not one of ours.
  static constexpr std::size_t kMaxBytes = 64 * 1024;

  // Null when the file is missing, unreadable, too large, lacks the magic
  // line or names another family.
  static std::optional<ModelFile> Read(const char* path, std::string_view family);
  // The same for text already in memory.
  static std::optional<ModelFile> Parse(std::string_view text, std::string_view family);

  // The value of key within [lo, hi]; fallback when absent; null when present
  // but not a number in range.
  std::optional<double> Number(const std::string& key, double fallback, double lo, double hi) const;
  std::optional<std::string> Text(const std::string& key, std::string fallback) const;

 private:
  std::map<std::string, std::string> FValues;
};

// A BGR result copied into the context's buffer (rows without gaps).
const std::uint8_t* StoreBgr(const cv::Mat& bgr, std::vector<std::uint8_t>& buffer);
// A one-channel 8-bit result copied likewise.
const std::uint8_t* StoreGray(const cv::Mat& gray, std::vector<std::uint8_t>& buffer);

// The longest side brought to at most maxSide (never enlarged); the factor
// maps full-size coordinates to the returned image.
cv::Mat Shrink(const cv::Mat& image, int maxSide, double& factor);

// Fills the holes of a 0/255 mask: background not reachable from the border.
void FillHoles(cv::Mat& mask);

// Runs f and turns any exception into fallback: nothing may unwind into C.
template <class F, class R>
R Guarded(F&& f, R fallback) noexcept {
  try {
    return f();
  } catch (...) {
    return fallback;
  }
}
template <class F>
void Guarded(F&& f) noexcept {
  try {
    f();
  } catch (...) {
  }
}

}  // namespace Corvina::Reference::Vision
