#include "vision/component_support.h"

#include <cmath>
#include <memory>

#include "utils/bitmaps.h"

namespace Anything::Fmx::Detail {

using System::String;
using System::Sysutils::Exception;
using System::Sysutils::Format;

void CheckCanActivate(const System::Classes::TComponent& component, std::u16string_view family,
                      const void* initEntryPoint) {
  if (component.ComponentState().Contains(System::Classes::csDesigning))
    throw Exception(Format(u"Cannot activate %s in the designer", family));
  if (!initEntryPoint) throw Exception(Format(u"Cannot activate %s: the vision library is not loaded", family));
}

void CheckModelFile(const String& path, const char16_t* message) {
  if (!System::Sysutils::FileExists(path)) throw Exception(message);
}

void CheckImageSize(std::int64_t width, std::int64_t height, std::u16string_view method, std::u16string_view subject) {
  // Each side is bounded before the product is taken, so it cannot overflow.
  if (width <= kMaxImageSide && height <= kMaxImageSide && width * height <= kMaxImagePixels) return;
  throw Exception(Format(u"%s: %s %d x %d, more than the vision library's components take (at most %d pixels a side "
                         u"and %d in all)",
                         method, subject, width, height, kMaxImageSide, kMaxImagePixels));
}

const ::Fmx::Graphics::TBitmap& RequireBitmap(const ::Fmx::Graphics::TBitmap* bitmap, std::u16string_view method,
                                            std::u16string_view parameter) {
  if (!bitmap) throw Exception(Format(u"%s: %s is nil", method, parameter));
  if (bitmap->IsEmpty())
    throw Exception(Format(u"%s: %s is empty (%d x %d)", method, parameter, bitmap->Width(), bitmap->Height()));
  CheckImageSize(bitmap->Width(), bitmap->Height(), method, String(parameter) + u" is");
  return *bitmap;
}

const std::uint8_t* RequireResult(const std::uint8_t* buffer, std::u16string_view family, std::u16string_view what) {
  if (!buffer) throw Exception(Format(u"%s returned no %s", family, what));
  return buffer;
}

std::unique_ptr<::Fmx::Graphics::TBitmap> BgrToBitmap(const std::uint8_t* bgr, std::int32_t width,
                                                      std::int32_t height) {
  auto bitmap = std::make_unique<::Fmx::Graphics::TBitmap>();
  // MatToBitmap sets every pixel.
  ::Fmx::Graphics::Detail::SetSizeForOverwrite(*bitmap, width, height);
  Utils::MatToBitmap(bgr, *bitmap);
  return bitmap;
}

void CheckFinite(std::u16string_view property, float value) {
  if (!std::isfinite(value)) throw Exception(Format(u"%s must be a finite number, got %g", property, double(value)));
}

void CheckFinite(std::u16string_view array, std::span<const float> values) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!std::isfinite(values[i]))
      throw Exception(Format(u"%s[%d] must be a finite number, got %g", array, static_cast<std::int64_t>(i),
                             double(values[i])));
  }
}

String DeviceText(std::int32_t gpuDeviceID) {
  if (gpuDeviceID == -1) return u"cpu";
  return Format(u"cuda:%d", gpuDeviceID);
}

TMappedPair::TMappedPair(const ::Fmx::Graphics::TBitmap& first, const ::Fmx::Graphics::TBitmap& second)
    : FFirst(std::make_unique<TMappedImage>(first)) {
  if (&second != &first) FSecond = std::make_unique<TMappedImage>(second);
}

TMappedPair::~TMappedPair() { FFirst.reset(); }

}  // namespace Anything::Fmx::Detail
