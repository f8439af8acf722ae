#include "face/live_portrait.h"

#include <limits>
#include <string>
#include <utility>

#include "framework/exceptions.h"
#include "vision/anything_fmx.h"

namespace Face::Fmx {

using ::Fmx::Graphics::TBitmap;
using System::Sysutils::Exception;
namespace Detail = Anything::Fmx::Detail;

namespace {
constexpr char16_t kFamily[] = u"Live Portrait";
}  // namespace

TFMXLivePortrait::TFMXLivePortrait(System::Classes::TComponent* AOwner)
    : TComponent(AOwner), FInputImage(std::make_unique<TBitmap>()) {
  if (!ComponentState().Contains(System::Classes::csDesigning)) Anything::Fmx::LoadAnyLibs();
}

TFMXLivePortrait::~TFMXLivePortrait() {
  FInputImage.reset();
  FContext.reset();
}

void TFMXLivePortrait::SetActive(bool Value) {
  if (Value == FActive) return;
  if (Value) {
    Detail::CheckCanActivate(*this, kFamily, reinterpret_cast<const void*>(Anything::lp_init));
    const struct {
      const System::String& Path;
      const char16_t* Message;
    } files[] = {
        {FFeatureModel, u"Feature Model File does not exist"},
        {FMotionModel, u"Motion Model File does not exist"},
        {FWarpingModel, u"Wraping Model File does not exist"},
        {FStitchingModel, u"Stitching Model File does not exist"},
        {FLandMarkModel, u"Landmark Model File does not exist"},
        {FFaceModel, u"Face Model File does not exist"},
        {FFacePoseModel, u"FacePose Model File does not exist"},
        {FMaskTemplate, u"Mask template does not exist"},
    };
    for (const auto& file : files) Detail::CheckModelFile(file.Path, file.Message);
    std::string paths[8];
    for (int i = 0; i < 8; ++i) paths[i] = System::UTF8Encode(files[i].Path);
    FContext = decltype(FContext)(Anything::lp_init(paths[0].c_str(), paths[1].c_str(), paths[2].c_str(),
                                                    paths[3].c_str(), paths[4].c_str(), paths[5].c_str(),
                                                    paths[6].c_str(), paths[7].c_str(), FGPUDeviceID));
    if (!FContext) throw Exception(u"Failed to init Live Portrait");
    // A new context knows no portrait and has seen no frame; without the
    // stored one every frame would come back empty.
    try {
      GiveInputImage(*FInputImage);
    } catch (...) {
      FContext.reset();
      throw;
    }
    FFrameId = 0;
  } else {
    FContext.reset();
  }
  FActive = Value;
}

void TFMXLivePortrait::SetInputImage(const TBitmap* Value) {
  if (!Value) throw Exception(u"LivePortrait.SetInputImage: Value is nil");
  Detail::CheckImageSize(Value->Width(), Value->Height(), u"LivePortrait.SetInputImage", u"Value is");
  if (FInputImage->IsMapped()) throw Exception(u"LivePortrait.SetInputImage: InputImage is mapped; unmap it first");
  // Stored only once the library has taken it, so that a refusal leaves the
  // portrait and the frame number that the library still works with.
  TBitmap portrait;
  portrait.Assign(*Value);
  if (FActive) GiveInputImage(portrait);
  *FInputImage = std::move(portrait);
  FFrameId = 0;
}

void TFMXLivePortrait::GiveInputImage(const TBitmap& portrait) {
  if (!FContext.Alive() || portrait.IsEmpty()) return;
  Detail::TMappedImage mapped(portrait);
  Anything::lp_set_input(FContext.get(), mapped.Pixels(), mapped.Width(), mapped.Height(), mapped.Pitch());
}

std::unique_ptr<TBitmap> TFMXLivePortrait::LivePortrait(const TBitmap* RefImage) {
  void* context = Detail::RequireContext(FContext, kFamily);
  const TBitmap& ref = Detail::RequireBitmap(RefImage, u"LivePortrait.LivePortrait", u"RefImage");
  if (FFrameId == std::numeric_limits<std::int32_t>::max())
    throw Exception(u"LivePortrait.LivePortrait: the frame number would overflow; set InputImage again");
  Detail::TMappedImage mapped(ref);
  const std::uint8_t* frame = Detail::RequireResult(
      Anything::lp_execute(context, FFrameId, mapped.Pixels(), mapped.Width(), mapped.Height(), mapped.Pitch()),
      kFamily, u"frame");
  auto result = Detail::BgrToBitmap(frame, mapped.Width(), mapped.Height());
  ++FFrameId;
  return result;
}

}  // namespace Face::Fmx
