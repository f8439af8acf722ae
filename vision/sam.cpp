#include "vision/sam.h"

#include "framework/exceptions.h"
#include "utils/bitmaps.h"
#include "vision/anything_fmx.h"

namespace Anything::Fmx {

using ::Fmx::Graphics::TBitmap;
using System::Sysutils::Exception;

namespace {
constexpr char16_t kFamily[] = u"SAM2";
}  // namespace

TFMXSam::TFMXSam(System::Classes::TComponent* AOwner) : TComponent(AOwner) {
  if (!ComponentState().Contains(System::Classes::csDesigning)) LoadAnyLibs();
}

TFMXSam::~TFMXSam() {
  FContext.reset();
  FreeMask();
}

void TFMXSam::SetActive(bool value) {
  if (value == FActive) return;
  if (value) {
    Detail::CheckCanActivate(*this, kFamily, reinterpret_cast<const void*>(Anything::sam_init));
    Detail::CheckModelFile(FEncoderModel, u"Encoder Model File does not exist");
    Detail::CheckModelFile(FDecoderModel, u"Decoder Model File does not exist");
    const std::string encoder = System::UTF8Encode(FEncoderModel);
    const std::string decoder = System::UTF8Encode(FDecoderModel);
    const std::string device = System::UTF8Encode(Detail::DeviceText(FGPUDeviceID));
    FContext = Detail::TLibraryContext<Anything::sam_destroy>(
        Anything::sam_init(encoder.c_str(), decoder.c_str(), device.c_str()));
    if (!FContext) throw Exception(u"Failed to init SAM2");
  } else {
    FContext.reset();
  }
  FImageLoaded = false;
  FActive = value;
}

void TFMXSam::LoadImage(const TBitmap* bmp) {
  void* context = Detail::RequireContext(FContext, kFamily);
  const TBitmap& image = Detail::RequireBitmap(bmp, u"SAM2.LoadImage", u"bmp");
  // Made before the library takes the image, so that running out of memory
  // leaves the library and the mask in step; the caller may hand in the mask
  // bitmap itself, which stays until the call has succeeded.
  auto mask = std::make_unique<TBitmap>(image.Width(), image.Height());
  {
    Detail::TMappedImage mapped(image);
    Anything::sam_load_image(context, mapped.Pixels(), mapped.Width(), mapped.Height(), mapped.Pitch());
  }
  FImageLoaded = true;
  FreeMask();
  FMaskBitmap = std::move(mask);
}

void TFMXSam::AddPoint(const System::Types::TPoint& p) {
  Anything::sam_add_point(Detail::RequireContext(FContext, kFamily), p.X, p.Y);
}

void TFMXSam::AddRect(const System::Types::TRect& ARect) {
  void* context = Detail::RequireContext(FContext, kFamily);
  const std::int64_t width = std::int64_t{ARect.Right} - ARect.Left;
  const std::int64_t height = std::int64_t{ARect.Bottom} - ARect.Top;
  if (width != static_cast<std::int32_t>(width) || height != static_cast<std::int32_t>(height))
    throw Exception(System::Sysutils::Format(u"SAM2.AddRect: a width of %d or a height of %d does not fit 32 bits",
                                             width, height));
  Anything::sam_add_rect(context, ARect.Left, ARect.Top, static_cast<std::int32_t>(width),
                         static_cast<std::int32_t>(height));
}

void TFMXSam::Clear() { Anything::sam_clear(Detail::RequireContext(FContext, kFamily)); }

TBitmap* TFMXSam::GetPointMask() { return GetMask(Anything::sam_get_point_mask, u"point mask"); }

TBitmap* TFMXSam::GetRectMask() { return GetMask(Anything::sam_get_rect_mask, u"rect mask"); }

TBitmap* TFMXSam::GetMask(sam_get_point_mask_fn* getter, const char16_t* what) {
  void* context = Detail::RequireContext(FContext, kFamily);
  if (!FImageLoaded || !FMaskBitmap) throw Exception(u"SAM2 has no image: call LoadImage first");
  Utils::GrayToBitmap(Detail::RequireResult(getter(context), kFamily, what), *FMaskBitmap);
  return FMaskBitmap.get();
}

void TFMXSam::FreeMask() { FMaskBitmap.reset(); }

}  // namespace Anything::Fmx
