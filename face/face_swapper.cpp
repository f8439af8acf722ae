#include "face/face_swapper.h"

#include <limits>
#include <string>

#include "face/face_enhancer.h"
#include "framework/exceptions.h"
#include "vision/anything_fmx.h"

namespace Face::Fmx {

using ::Fmx::Graphics::TBitmap;
using System::Sysutils::Exception;
using System::Sysutils::Format;
namespace Detail = Anything::Fmx::Detail;

namespace {
constexpr char16_t kFamily[] = u"Face Swapper";
}  // namespace

TFMXFaceSwapper::TFMXFaceSwapper(System::Classes::TComponent* AOwner) : TComponent(AOwner) {
  if (!ComponentState().Contains(System::Classes::csDesigning)) Anything::Fmx::LoadAnyLibs();
}

TFMXFaceSwapper::~TFMXFaceSwapper() { FContext.reset(); }

void TFMXFaceSwapper::SetActive(bool Value) {
  if (Value == FActive) return;
  if (Value) {
    Detail::CheckCanActivate(*this, kFamily, reinterpret_cast<const void*>(Anything::face_swapper_init));
    Detail::CheckModelFile(FModel, Format(u"Model File %s does not exist", FModel).c_str());
    Detail::CheckModelFile(FModelMatrix, Format(u"Model Matrix File %s does not exist", FModelMatrix).c_str());
    const std::string model = System::UTF8Encode(FModel);
    const std::string matrix = System::UTF8Encode(FModelMatrix);
    FContext = decltype(FContext)(Anything::face_swapper_init(model.c_str(), matrix.c_str(), FGPUDeviceID));
    if (!FContext) throw Exception(u"Failed to init Face Swapper");
  } else {
    FContext.reset();
  }
  FActive = Value;
}

std::unique_ptr<TBitmap> TFMXFaceSwapper::SwapFace(const TBitmap* Image, const TFace& SrcFace, const TFace& DstFace) {
  void* context = Detail::RequireContext(FContext, kFamily);
  const TBitmap& image = Detail::RequireBitmap(Image, u"FaceSwapper.SwapFace", u"Image");
  if (SrcFace.embeddings.empty())
    throw Exception(u"FaceSwapper.SwapFace: SrcFace.embeddings is empty; pass a face that Detect returned");
  if (SrcFace.embeddings.size() > static_cast<size_t>(std::numeric_limits<std::int32_t>::max()))
    throw Exception(Format(u"FaceSwapper.SwapFace: SrcFace.embeddings has %d elements, more than the library takes",
                           static_cast<std::int64_t>(SrcFace.embeddings.size())));
  const std::array<float, 10> points = KeyPoints(DstFace, u"FaceSwapper.SwapFace", u"DstFace");
  Detail::CheckFinite(u"FaceSwapper.SwapFace: SrcFace.embeddings", SrcFace.embeddings);
  Detail::TMappedImage mapped(image);
  const std::uint8_t* swapped = Detail::RequireResult(
      Anything::face_swapper_execute(context, mapped.Pixels(), mapped.Width(), mapped.Height(), mapped.Pitch(),
                                     points.data(), static_cast<std::int32_t>(SrcFace.embeddings.size()),
                                     SrcFace.embeddings.data()),
      kFamily, u"image");
  return Detail::BgrToBitmap(swapped, mapped.Width(), mapped.Height());
}

}  // namespace Face::Fmx
