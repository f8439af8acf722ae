#include "face/face_enhancer.h"

#include <cmath>
#include <string>

#include "framework/exceptions.h"
#include "vision/anything_fmx.h"

namespace Face::Fmx {

using ::Fmx::Graphics::TBitmap;
using System::Sysutils::Exception;
using System::Sysutils::Format;
namespace Detail = Anything::Fmx::Detail;

namespace {
constexpr char16_t kFamily[] = u"Face Enhancer";
}  // namespace

std::array<float, 10> KeyPoints(const TFace& face, std::u16string_view method, std::u16string_view parameter) {
  std::array<float, 10> points{};
  for (int k = 0; k < 5; ++k) {
    const System::Types::TPointF p = face.landmark_5[k];
    if (!std::isfinite(p.X) || !std::isfinite(p.Y))
      throw Exception(Format(u"%s: %s.landmark_5[%d] must be a finite point, got (%g, %g)", method, parameter, k,
                             double(p.X), double(p.Y)));
    points[2 * k] = p.X;
    points[2 * k + 1] = p.Y;
  }
  return points;
}

TFMXFaceEnhancer::TFMXFaceEnhancer(System::Classes::TComponent* AOwner) : TComponent(AOwner) {
  if (!ComponentState().Contains(System::Classes::csDesigning)) Anything::Fmx::LoadAnyLibs();
}

TFMXFaceEnhancer::~TFMXFaceEnhancer() { FContext.reset(); }

void TFMXFaceEnhancer::SetActive(bool Value) {
  if (Value == FActive) return;
  if (Value) {
    Detail::CheckCanActivate(*this, kFamily, reinterpret_cast<const void*>(Anything::face_enhancer_init));
    Detail::CheckModelFile(FModel, Format(u"Model File %s does not exist", FModel).c_str());
    Detail::CheckFinite(u"TFMXFaceEnhancer.Fidelity", FFidelity);
    const std::string model = System::UTF8Encode(FModel);
    FContext = decltype(FContext)(Anything::face_enhancer_init(model.c_str(), FGPUDeviceID, FFidelity));
    if (!FContext) throw Exception(u"Failed to init Face Enhancer");
  } else {
    FContext.reset();
  }
  FActive = Value;
}

std::unique_ptr<TBitmap> TFMXFaceEnhancer::Enhance(const TBitmap* Image, const TFace& Face) {
  void* context = Detail::RequireContext(FContext, kFamily);
  const TBitmap& image = Detail::RequireBitmap(Image, u"FaceEnhancer.Enhance", u"Image");
  const std::array<float, 10> points = KeyPoints(Face, u"FaceEnhancer.Enhance", u"Face");
  Detail::TMappedImage mapped(image);
  const std::uint8_t* restored = Detail::RequireResult(
      Anything::face_enhancer_execute(context, mapped.Pixels(), mapped.Width(), mapped.Height(), mapped.Pitch(),
                                      points.data()),
      kFamily, u"image");
  return Detail::BgrToBitmap(restored, mapped.Width(), mapped.Height());
}

}  // namespace Face::Fmx
