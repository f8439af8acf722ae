// What the vision components share: the owner of a library context, the
// checks at the door of every request with their messages, and the mapped
// image handed to the library.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

#include "framework/components.h"
#include "framework/exceptions.h"
#include "framework/graphics.h"
#include "framework/log.h"
#include "framework/strings.h"
#include "vision/anything_fmx.h"

namespace Anything::Fmx::Detail {

// Owns one context of a library family and releases it through that
// family's destroy entry point. A context outlives the library that made it
// only as a dead handle: once that library is unloaded it is neither used
// nor released (the library took its memory with it).
template <auto& Destroy>
class TLibraryContext {
 public:
  TLibraryContext() = default;
  // Taken from the library loaded now.
  explicit TLibraryContext(void* context) noexcept
      : FContext(context), FGeneration(context ? AnyLibsGeneration() : 0) {}
  TLibraryContext(TLibraryContext&& other) noexcept
      : FContext(std::exchange(other.FContext, nullptr)), FGeneration(std::exchange(other.FGeneration, 0)) {}
  TLibraryContext& operator=(TLibraryContext&& other) noexcept {
    if (this != &other) {
      reset();
      FContext = std::exchange(other.FContext, nullptr);
      FGeneration = std::exchange(other.FGeneration, 0);
    }
    return *this;
  }
  TLibraryContext(const TLibraryContext&) = delete;
  TLibraryContext& operator=(const TLibraryContext&) = delete;
  ~TLibraryContext() { reset(); }

  void* get() const noexcept { return FContext; }
  explicit operator bool() const noexcept { return FContext != nullptr; }
  // False once the library that made the context has been unloaded.
  bool Alive() const noexcept { return FContext && FGeneration == AnyLibsGeneration(); }

  void reset() noexcept {
    const bool alive = Alive();
    void* context = std::exchange(FContext, nullptr);
    FGeneration = 0;
    if (!context || !alive || !Destroy) return;
    try {
      Destroy(context);
    } catch (...) {
      // A destructor path: report, never rethrow.
      try {
        ::Fmx::Types::Log::d(u"a vision library context could not be released");
      } catch (...) {
      }
    }
  }

 private:
  void* FContext = nullptr;
  std::uint64_t FGeneration = 0;
};

// Activation is refused in the designer (nothing is loaded there) and when
// the library is not loaded, instead of calling a null entry point.
void CheckCanActivate(const System::Classes::TComponent& component, std::u16string_view family,
                      const void* initEntryPoint);

// Raises message when path names no existing file (links followed).
void CheckModelFile(const System::String& path, const char16_t* message);

// The context of an active component, or "<family> is not active", or, when
// its library has been unloaded since, "<family>: the vision library ...".
template <auto& Destroy>
void* RequireContext(const TLibraryContext<Destroy>& context, std::u16string_view family) {
  if (!context) throw System::Sysutils::Exception(System::String(family) + u" is not active");
  if (!context.Alive())
    throw System::Sysutils::Exception(System::String(family) +
                                      u": the vision library that made its context has been unloaded");
  return context.get();
}

// The largest picture the components hand to the vision library or make from
// its answer: 32-bit sizes and pitches leave room for far more, but the
// library copies and converts every picture several times, so a larger one
// would take gigabytes before it could fail. Refused before anything is
// allocated, mapped or changed.
constexpr std::int32_t kMaxImageSide = 1 << 15;
constexpr std::int64_t kMaxImagePixels = std::int64_t{1} << 28;  // 1 GiB of 32-bit pixels

// Raises "<method>: <subject> W x H, more than the vision library's
// components take (...)" for a size beyond those limits; subject ends in a
// verb ("Image is").
void CheckImageSize(std::int64_t width, std::int64_t height, std::u16string_view method, std::u16string_view subject);

// A bitmap argument that is neither nil nor empty nor larger than the limits
// above; method names the request ("SAM2.LoadImage") and parameter the
// argument ("bmp").
const ::Fmx::Graphics::TBitmap& RequireBitmap(const ::Fmx::Graphics::TBitmap* bitmap, std::u16string_view method,
                                            std::u16string_view parameter);

// A buffer the library returned, or "<family> returned no <what>".
const std::uint8_t* RequireResult(const std::uint8_t* buffer, std::u16string_view family, std::u16string_view what);

// Raises "<property> must be a finite number, got <value>": a NaN or an
// infinity makes the library fail without saying why, or answer nonsense.
void CheckFinite(std::u16string_view property, float value);
// Raises "<array>[i] must be a finite number, got <value>" for the first
// element that is not.
void CheckFinite(std::u16string_view array, std::span<const float> values);

// "cpu" for -1, otherwise "cuda:<n>" (negative numbers too).
System::String DeviceText(std::int32_t gpuDeviceID);

// The library's B, G, R answer of width x height pixels as a new opaque
// bitmap, made only once there is an answer to fill it with.
std::unique_ptr<::Fmx::Graphics::TBitmap> BgrToBitmap(const std::uint8_t* bgr, std::int32_t width,
                                                      std::int32_t height);

// One bitmap mapped for reading, as the library takes it: pixels, width,
// height, pitch. Unmapped when it goes, whatever happened meanwhile.
class TMappedImage {
 public:
  explicit TMappedImage(const ::Fmx::Graphics::TBitmap& bitmap) : FMapping(bitmap) {}
  const std::uint8_t* Pixels() const { return FMapping.Data().Data; }
  std::int32_t Width() const { return FMapping.Data().Width; }
  std::int32_t Height() const { return FMapping.Data().Height; }
  std::int32_t Pitch() const { return FMapping.Data().Pitch; }

 private:
  ::Fmx::Graphics::TBitmapMapping FMapping;
};

// Two bitmaps mapped for reading, first then second, and unmapped in the same
// order; the same bitmap given twice is mapped once.
class TMappedPair {
 public:
  TMappedPair(const ::Fmx::Graphics::TBitmap& first, const ::Fmx::Graphics::TBitmap& second);
  ~TMappedPair();
  TMappedPair(const TMappedPair&) = delete;
  TMappedPair& operator=(const TMappedPair&) = delete;

  const TMappedImage& First() const { return *FFirst; }
  const std::uint8_t* SecondPixels() const { return FSecond ? FSecond->Pixels() : FFirst->Pixels(); }

 private:
  std::unique_ptr<TMappedImage> FFirst;
  std::unique_ptr<TMappedImage> FSecond;  // null when both are one bitmap
};

}  // namespace Anything::Fmx::Detail
