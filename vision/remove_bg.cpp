#include "vision/remove_bg.h"

#include "framework/exceptions.h"
#include "utils/bitmaps.h"
#include "vision/anything_fmx.h"

namespace Anything::Fmx {

using ::Fmx::Graphics::TBitmap;
using System::Sysutils::Exception;

namespace {
constexpr char16_t kFamily[] = u"RemoveBackground";
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
  void* context = Detail::RequireContext(FContext, kFamily);
  Detail::RequireBitmap(Image, u"RemoveBackground.ReplaceBackground", u"Image");
  Detail::RequireBitmap(newBg, u"RemoveBackground.ReplaceBackground", u"newBg");
  const std::int32_t width = Utils::RoundUpTo8(Image->Width());
  const std::int32_t height = Utils::RoundUpTo8(Image->Height());
  Image->Resize(width, height);
  // Stretched before anything is mapped: newBg may be Image itself.
  Utils::StretchBitmap(*newBg, width, height);
  Detail::TMappedPair mapped(*Image, *newBg);
  const Detail::TMappedImage& pixels = mapped.First();
  auto result = std::make_unique<TBitmap>(width, height);
  const std::uint8_t* bgr =
      Anything::rmbg_execute(context, pixels.Pixels(), mapped.SecondPixels(), width, height, pixels.Pitch());
  Utils::MatToBitmap(Detail::RequireResult(bgr, kFamily, u"image"), *result);
  return result;
}

}  // namespace Anything::Fmx
