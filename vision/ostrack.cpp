#include "vision/ostrack.h"

#include "framework/exceptions.h"
#include "vision/anything_fmx.h"

namespace Anything::Fmx {

using ::Fmx::Graphics::TBitmap;
using System::Sysutils::Exception;

namespace {
constexpr char16_t kFamily[] = u"OSTrack";
}  // namespace

TFMXOSTrack::TFMXOSTrack(System::Classes::TComponent* AOwner) : TComponent(AOwner) {
  if (!ComponentState().Contains(System::Classes::csDesigning)) LoadAnyLibs();
}

TFMXOSTrack::~TFMXOSTrack() { FContext.reset(); }

void TFMXOSTrack::SetActive(bool value) {
  if (value == FActive) return;
  if (value) {
    Detail::CheckCanActivate(*this, kFamily, reinterpret_cast<const void*>(Anything::ostrack_init));
    Detail::CheckModelFile(FModel, u"OSTrack Model File does not exist");
    const std::string model = System::UTF8Encode(FModel);
    FContext = Detail::TLibraryContext<Anything::ostrack_destroy>(Anything::ostrack_init(model.c_str(), FGPUDeviceID));
    if (!FContext) throw Exception(u"Failed to init OSTrack");
  } else {
    FContext.reset();
  }
  FTargetSet = false;
  FActive = value;
}

void TFMXOSTrack::InitTrack(const TBitmap* Image, const System::Types::TRect& ARect) {
  void* context = Detail::RequireContext(FContext, kFamily);
  const TBitmap& image = Detail::RequireBitmap(Image, u"OSTrack.InitTrack", u"Image");
  {
    Detail::TMappedImage mapped(image);
    Anything::ostrack_init_image(context, mapped.Pixels(), mapped.Width(), mapped.Height(), mapped.Pitch(),
                                 ARect.Left, ARect.Top, ARect.Right, ARect.Bottom);
  }
  FTargetSet = true;
}

void TFMXOSTrack::Track(const TBitmap* Image, TDrOBB* bbox) {
  void* context = Detail::RequireContext(FContext, kFamily);
  const TBitmap& image = Detail::RequireBitmap(Image, u"OSTrack.Track", u"Image");
  if (!bbox) throw Exception(u"OSTrack.Track: bbox is nil");
  if (!FTargetSet) throw Exception(u"OSTrack has no target: call InitTrack first");
  Detail::TMappedImage mapped(image);
  Anything::ostrack_track(context, mapped.Pixels(), mapped.Width(), mapped.Height(), mapped.Pitch(), bbox);
}

}  // namespace Anything::Fmx
