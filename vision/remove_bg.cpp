#include "vision/remove_bg.h"

#include <optional>
#include <utility>

#include "framework/exceptions.h"
#include "utils/bitmaps.h"
#include "vision/anything_fmx.h"

namespace Anything::Fmx {

using ::Fmx::Graphics::TBitmap;
using System::Sysutils::Exception;
using System::Sysutils::Format;

namespace {

constexpr char16_t kFamily[] = u"RemoveBackground";

// Source scaled smoothly to the whole of width x height, as Resize and
// StretchBitmap scale in place.
TBitmap ScaledCopy(const TBitmap& source, std::int32_t width, std::int32_t height) {
  TBitmap copy;
  copy.Assign(source);
  Utils::StretchBitmap(copy, width, height);
  return copy;
}

}  // namespace

TFMXRemoveBg::TFMXRemoveBg(System::Classes::TComponent* AOwner) : TComponent(AOwner) {
  if (!ComponentState().Contains(System::Classes::csDesigning)) LoadAnyLibs();
}

TFMXRemoveBg::~TFMXRemoveBg() { FContext.reset(); }

void TFMXRemoveBg::SetActive(bool value) {
  if (value == FActive) return;
  if (value) {
    Detail::CheckCanActivate(*this, kFamily, reinterpret_cast<const void*>(Anything::rmbg_init));
    Detail::CheckModelFile(FModel, u"RemoveBackground Model File does not exist");
    const std::string model = System::UTF8Encode(FModel);
    FContext = Detail::TLibraryContext<Anything::rmbg_destroy>(Anything::rmbg_init(model.c_str(), FGPUDeviceID));
    if (!FContext) throw Exception(u"Failed to init RemoveBackground");
  } else {
    FContext.reset();
  }
  FActive = value;
}

std::unique_ptr<TBitmap> TFMXRemoveBg::ReplaceBackground(TBitmap* Image, TBitmap* newBg) {
  static constexpr char16_t kMethod[] = u"RemoveBackground.ReplaceBackground";
  void* context = Detail::RequireContext(FContext, kFamily);
  Detail::RequireBitmap(Image, kMethod, u"Image");
  Detail::RequireBitmap(newBg, kMethod, u"newBg");
  const std::int32_t width = Utils::RoundUpTo8(Image->Width());
  const std::int32_t height = Utils::RoundUpTo8(Image->Height());
  Detail::CheckImageSize(width, height, kMethod, u"Image rounded up to 8 is");
  // Both change only after the library has answered; a mapped one could not.
  if (Image->IsMapped()) throw Exception(Format(u"%s: Image is mapped; unmap it first", kMethod));
  if (newBg->IsMapped()) throw Exception(Format(u"%s: newBg is mapped; unmap it first", kMethod));

  // The library works on scaled copies, so that a failed call leaves the
  // caller's bitmaps as they were; a bitmap of the right size is read as it is.
  std::optional<TBitmap> resized, stretched;
  if (width != Image->Width() || height != Image->Height()) resized.emplace(ScaledCopy(*Image, width, height));
  const TBitmap& image = resized ? *resized : *Image;
  if (newBg != Image && (width != newBg->Width() || height != newBg->Height()))
    stretched.emplace(ScaledCopy(*newBg, width, height));
  const TBitmap& background = newBg == Image ? image : stretched ? *stretched : *newBg;

  std::unique_ptr<TBitmap> result;
  {
    Detail::TMappedPair mapped(image, background);
    const Detail::TMappedImage& pixels = mapped.First();
    const std::uint8_t* bgr = Detail::RequireResult(
        Anything::rmbg_execute(context, pixels.Pixels(), mapped.SecondPixels(), width, height, pixels.Pitch()),
        kFamily, u"image");
    result = Detail::BgrToBitmap(bgr, width, height);
  }
  if (resized) *Image = std::move(*resized);
  if (stretched) *newBg = std::move(*stretched);
  return result;
}

}  // namespace Anything::Fmx
