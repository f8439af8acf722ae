#include "face/face_detector.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "framework/exceptions.h"
#include "vision/anything_fmx.h"

namespace Face::Fmx {

using ::Fmx::Graphics::TBitmap;
using System::Sysutils::Exception;
using System::Sysutils::Format;
namespace Detail = Anything::Fmx::Detail;

namespace {

constexpr char16_t kFamily[] = u"Face Detector";

// A face for the library's record, in a spare face's storage when there is one.
TFace FaceOf(const Anything::TBBox& box, std::vector<TFace>& spare) {
  TFace face;
  if (!spare.empty()) {
    face = std::move(spare.back());
    spare.pop_back();
  }
  face.bounding_box = System::Types::RectF(box.xmin, box.ymin, box.xmax, box.ymax);
  face.score = box.score;
  return face;
}

void CopyLandmarks(const Anything::TBBox& box, TFace& face) {
  for (int k = 0; k < 5; ++k) face.landmark_5[k] = System::Types::PointF(box.landmark_5[2 * k], box.landmark_5[2 * k + 1]);
  for (int k = 0; k < 68; ++k)
    face.landmark_68[k] = System::Types::PointF(box.landmark_68[2 * k], box.landmark_68[2 * k + 1]);
}

// NumpyNorm of each face's embeddings, eight faces in step: the norm's
// single-precision sum is one long chain of dependent additions, and
// interleaving independent chains keeps the processor busy while each waits.
// Every face gets exactly the value NumpyNorm gives it.
void Norms(const std::vector<TFace>& faces, std::vector<float>& norms) {
  constexpr size_t kLanes = 8;
  norms.assign(faces.size(), 0.0f);
  for (size_t first = 0; first < faces.size(); first += kLanes) {
    const size_t lanes = std::min(kLanes, faces.size() - first);
    const float* v[kLanes];
    size_t common = std::numeric_limits<size_t>::max();
    for (size_t k = 0; k < lanes; ++k) {
      v[k] = faces[first + k].embeddings.data();
      common = std::min(common, faces[first + k].embeddings.size());
    }
    float sum[kLanes] = {};
    for (size_t j = 0; j < common; ++j)
      for (size_t k = 0; k < lanes; ++k)
        sum[k] = static_cast<float>(static_cast<double>(sum[k]) + static_cast<double>(v[k][j]) * v[k][j]);
    for (size_t k = 0; k < lanes; ++k) {
      const std::vector<float>& e = faces[first + k].embeddings;
      for (size_t j = common; j < e.size(); ++j)
        sum[k] = static_cast<float>(static_cast<double>(sum[k]) + static_cast<double>(e[j]) * e[j]);
      norms[first + k] = static_cast<float>(std::sqrt(static_cast<double>(sum[k])));
    }
  }
}

// embeddings / norm; a vector of norm 0 has no direction, so its normalised
// copy is all zeros rather than NaN or infinities. The quotient of two
// floats taken in double and rounded once to single is the single-precision
// quotient (double carries more than twice the bits), so the division runs
// in single precision, eight or sixteen lanes at a time.
void Normalise(TFace& face, float norm) {
  const std::vector<float>& e = face.embeddings;
  face.normed_embedding.assign(e.size(), 0.0f);
  if (norm == 0) return;
  float* out = face.normed_embedding.data();
  for (size_t j = 0; j < e.size(); ++j) out[j] = e[j] / norm;
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
  for (TFace& face : FFaceList) FSpare.push_back(std::move(face));
  FFaceList.Clear();
  Detail::TMappedImage mapped(image);
  std::int32_t count = 0;
  Anything::TBBox* boxes = nullptr;
  Anything::face_detector_execute(context, mapped.Pixels(), mapped.Width(), mapped.Height(), mapped.Pitch(), &count,
                                  &boxes);
  if (count < 0) throw Exception(Format(u"Face Detector returned a face count of %d", count));
  if (count > 0 && !boxes) throw Exception(Format(u"Face Detector returned %d faces but no records", count));
  // Faces are normalised together once the library has described them all
  // (or one of them failed); the library sees the same calls either way.
  std::vector<TFace> found;
  found.reserve(static_cast<size_t>(count));
  const auto publish = [&] {
    std::vector<float> norms;
    Norms(found, norms);
    for (size_t k = 0; k < found.size(); ++k) {
      Normalise(found[k], norms[k]);
      FFaceList.Add(std::move(found[k]));
    }
  };
  for (std::int32_t i = 0; i < count; ++i) {
    TFace face = FaceOf(boxes[i], FSpare);
    std::int32_t length = 0;
    float* feature = nullptr;
    Anything::face_detector_landmark_5(context, mapped.Pixels(), mapped.Width(), mapped.Height(), mapped.Pitch(),
                                       &boxes[i], &length, &feature);
    CopyLandmarks(boxes[i], face);
    if (length < 0) throw Exception(Format(u"Face Detector returned a feature length of %d", length));
    if (length > 0 && !feature) throw Exception(Format(u"Face Detector returned no feature of length %d", length));
    if (length == 0) {
      publish();  // the faces before this one stay
      NumpyNorm(face.embeddings);  // raises "Input array must not be empty"
    }
    face.embeddings.assign(feature, feature + length);
    found.push_back(std::move(face));
  }
  publish();
  return FFaceList;
}

}  // namespace Face::Fmx
