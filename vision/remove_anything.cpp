#include "vision/remove_anything.h"

#include "framework/exceptions.h"
#include "vision/anything_fmx.h"

namespace Anything::Fmx {

using ::Fmx::Graphics::TBitmap;
using System::Sysutils::Exception;
using System::Sysutils::Format;

namespace {
constexpr char16_t kFamily[] = u"Biglama";
}  // namespace

TFMXRemoveAnything::TFMXRemoveAnything(System::Classes::TComponent* AOwner) : TComponent(AOwner) {
  if (!ComponentState().Contains(System::Classes::csDesigning)) LoadAnyLibs();
}

TFMXRemoveAnything::~TFMXRemoveAnything() { FContext.reset(); }

void TFMXRemoveAnything::SetActive(bool value) {
  if (value == FActive) return;
  if (value) {
    Detail::CheckCanActivate(*this, kFamily, reinterpret_cast<const void*>(Anything::lama_init));
    Detail::CheckModelFile(FModel, u"Biglama Model File does not exist");
    const std::string model = System::UTF8Encode(FModel);
    FContext = Detail::TLibraryContext<Anything::lama_destroy>(Anything::lama_init(model.c_str(), FGPUDeviceID));
    if (!FContext) throw Exception(u"Failed to init Biglama");
  } else {
    FContext.reset();
  }
  FActive = value;
}

std::unique_ptr<TBitmap> TFMXRemoveAnything::RemoveAnything(const TBitmap* Image, const TBitmap* Mask) {
  void* context = Detail::RequireContext(FContext, kFamily);
  const TBitmap& image = Detail::RequireBitmap(Image, u"Biglama.RemoveAnything", u"Image");
  const TBitmap& mask = Detail::RequireBitmap(Mask, u"Biglama.RemoveAnything", u"Mask");
  // The library reads the mask with the image's geometry.
  if (mask.Width() != image.Width() || mask.Height() != image.Height())
    throw Exception(Format(u"Biglama.RemoveAnything: Mask is %d x %d, it must match the image's %d x %d",
                           mask.Width(), mask.Height(), image.Width(), image.Height()));
  Detail::TMappedPair mapped(image, mask);
  const Detail::TMappedImage& pixels = mapped.First();
  const std::uint8_t* bgr = Detail::RequireResult(
      Anything::lama_execute(context, pixels.Pixels(), mapped.SecondPixels(), pixels.Width(), pixels.Height(),
                             pixels.Pitch()),
      kFamily, u"image");
  return Detail::BgrToBitmap(bgr, pixels.Width(), pixels.Height());
}

}  // namespace Anything::Fmx
