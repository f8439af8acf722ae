#include "face/face_detector.h"

#include <string>

#include "framework/exceptions.h"
#include "vision/anything_fmx.h"

namespace Face::Fmx {

using ::Fmx::Graphics::TBitmap;
using System::Sysutils::Exception;
using System::Sysutils::Format;
namespace Detail = Anything::Fmx::Detail;

namespace {

constexpr char16_t kFamily[] = u"Face Detector";

TFace FaceOf(const Anything::TBBox& box) {
  TFace face;
  face.bounding_box = System::Types::RectF(box.xmin, box.ymin, box.xmax, box.ymax);
  face.score = box.score;
  return face;
}

void CopyLandmarks(const Anything::TBBox& box, TFace& face) {
  for (int k = 0; k < 5; ++k) face.landmark_5[k] = System::Types::PointF(box.landmark_5[2 * k], box.landmark_5[2 * k + 1]);
  for (int k = 0; k < 68; ++k)
    face.landmark_68[k] = System::Types::PointF(box.landmark_68[2 * k], box.landmark_68[2 * k + 1]);
}

// A vector of norm 0 has no direction: its normalised copy is all zeros
// rather than NaN or infinities.
std::vector<float> Normalised(const std::vector<float>& v) {
  const float norm = NumpyNorm(v);
  std::vector<float> out(v.size(), 0.0f);
  if (norm == 0) return out;
  for (size_t j = 0; j < v.size(); ++j) out[j] = static_cast<float>(static_cast<double>(v[j]) / norm);
  return out;
}

}  // namespace

TFMXFaceDetector::TFMXFaceDetector(System::Classes::TComponent* AOwner) : TComponent(AOwner) {
  if (!ComponentState().Contains(System::Classes::csDesigning)) Anything::Fmx::LoadAnyLibs();
}

TFMXFaceDetector::~TFMXFaceDetector() {
  FFaceList.Clear();
  FContext.reset();
}

void TFMXFaceDetector::SetActive(bool Value) {
  if (Value == FActive) return;
  if (Value) {
    Detail::CheckCanActivate(*this, kFamily, reinterpret_cast<const void*>(Anything::face_detector_init));
    Detail::CheckModelFile(FModel, Format(u"Model File %s does not exist", FModel).c_str());
    Detail::CheckModelFile(FLandmarkModel, u"Landmark Model File does not exist");
    Detail::CheckModelFile(FFeatureModel, u"Feature Model File does not exist");
    const std::string model = System::UTF8Encode(FModel);
    const std::string landmarks = System::UTF8Encode(FLandmarkModel);
    const std::string feature = System::UTF8Encode(FFeatureModel);
    FContext = decltype(FContext)(Anything::face_detector_init(model.c_str(), landmarks.c_str(), feature.c_str(),
                                                               FGPUDeviceID, FConfidenceTh, FOverlapTh));
    if (!FContext) throw Exception(u"Failed to init Face Detector");
  } else {
    FContext.reset();
  }
  FActive = Value;
}

System::Generics::Collections::TList<TFace>& TFMXFaceDetector::Detect(const TBitmap* Image) {
  void* context = Detail::RequireContext(FContext, kFamily);
  const TBitmap& image = Detail::RequireBitmap(Image, u"FaceDetector.Detect", u"Image");
  FFaceList.Clear();
  Detail::TMappedImage mapped(image);
  std::int32_t count = 0;
  Anything::TBBox* boxes = nullptr;
  Anything::face_detector_execute(context, mapped.Pixels(), mapped.Width(), mapped.Height(), mapped.Pitch(), &count,
                                  &boxes);
  if (count < 0) throw Exception(Format(u"Face Detector returned a face count of %d", count));
  if (count > 0 && !boxes) throw Exception(Format(u"Face Detector returned %d faces but no records", count));
  for (std::int32_t i = 0; i < count; ++i) {
    TFace face = FaceOf(boxes[i]);
    std::int32_t length = 0;
    float* feature = nullptr;
    Anything::face_detector_landmark_5(context, mapped.Pixels(), mapped.Width(), mapped.Height(), mapped.Pitch(),
                                       &boxes[i], &length, &feature);
    CopyLandmarks(boxes[i], face);
    if (length < 0) throw Exception(Format(u"Face Detector returned a feature length of %d", length));
    if (length > 0 && !feature) throw Exception(Format(u"Face Detector returned no feature of length %d", length));
    if (length > 0) face.embeddings.assign(feature, feature + length);
    face.normed_embedding = Normalised(face.embeddings);
    FFaceList.Add(std::move(face));
  }
  return FFaceList;
}

}  // namespace Face::Fmx
