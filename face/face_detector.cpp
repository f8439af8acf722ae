#include "face/face_detector.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "face/face_norms.h"
#include "framework/exceptions.h"
#include "vision/anything_fmx.h"

namespace Face::Fmx {

using ::Fmx::Graphics::TBitmap;
using System::Sysutils::Exception;
using System::Sysutils::Format;
namespace Detail = Anything::Fmx::Detail;

namespace {

constexpr char16_t kFamily[] = u"Face Detector";

// Point k is (value 2k, value 2k + 1), and the 68 points follow the five
// directly, in the library's record as in TFace: one copy of the bytes does.
static_assert(std::is_standard_layout_v<TFace> && std::is_trivially_copyable_v<System::Types::TPointF>);
static_assert(sizeof(System::Types::TPointF) == 2 * sizeof(float) && offsetof(System::Types::TPointF, Y) == sizeof(float));
static_assert(sizeof(TFace::landmark_5) == sizeof(Anything::TBBox::landmark_5));
static_assert(sizeof(TFace::landmark_68) == sizeof(Anything::TBBox::landmark_68));
static_assert(offsetof(Anything::TBBox, landmark_68) ==
              offsetof(Anything::TBBox, landmark_5) + sizeof(Anything::TBBox::landmark_5));
static_assert(offsetof(TFace, landmark_68) == offsetof(TFace, landmark_5) + sizeof(TFace::landmark_5));

// Kept opaque to the optimiser, so that the C library's wide copy does the
// work: with the size in view, GCC turns a copy this long into a
// slow-starting string move.
#if defined(__GNUC__) && !defined(__clang__)
[[gnu::noipa]]
#endif
void CopyBytes(void* to, const void* from, std::size_t size) {
  std::memcpy(to, from, size);
}

void CopyLandmarks(const Anything::TBBox& box, TFace& face) {
  CopyBytes(reinterpret_cast<std::byte*>(&face) + offsetof(TFace, landmark_5),
            reinterpret_cast<const std::byte*>(&box) + offsetof(Anything::TBBox, landmark_5),
            sizeof box.landmark_5 + sizeof box.landmark_68);
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
    Detail::CheckFinite(u"TFMXFaceDetector.ConfidenceTh", FConfidenceTh);
    Detail::CheckFinite(u"TFMXFaceDetector.OverlapTh", FOverlapTh);
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
  // The previous faces are refilled in place; whatever leaves early keeps
  // only the faces completed so far, normalised.
  int done = 0;
  try {
    Detail::TMappedImage mapped(image);
    std::int32_t count = 0;
    Anything::TBBox* boxes = nullptr;
    Anything::face_detector_execute(context, mapped.Pixels(), mapped.Width(), mapped.Height(), mapped.Pitch(), &count,
                                    &boxes);
    if (count < 0) throw Exception(Format(u"Face Detector returned a face count of %d", count));
    if (count > 0 && !boxes) throw Exception(Format(u"Face Detector returned %d faces but no records", count));
    GrowFaces(count);
    for (; done < count; ++done) {
      const Anything::TBBox& box = boxes[done];
      TFace& face = FFaceList[done];
      face.bounding_box = System::Types::RectF(box.xmin, box.ymin, box.xmax, box.ymax);
      face.score = box.score;
      std::int32_t length = 0;
      float* feature = nullptr;
      Anything::face_detector_landmark_5(context, mapped.Pixels(), mapped.Width(), mapped.Height(), mapped.Pitch(),
                                         &boxes[done], &length, &feature);
      CopyLandmarks(box, face);
      if (length < 0) throw Exception(Format(u"Face Detector returned a feature length of %d", length));
      if (length > 0 && !feature) throw Exception(Format(u"Face Detector returned no feature of length %d", length));
      if (length == 0) throw Exception(u"Input array must not be empty");  // NumpyNorm's message
      face.embeddings.assign(feature, feature + length);
    }
  } catch (...) {
    KeepFaces(done);
    throw;
  }
  KeepFaces(done);
  return FFaceList;
}

void TFMXFaceDetector::GrowFaces(int count) {
  while (FFaceList.Count() < count) {
    if (FSpare.empty()) {
      FFaceList.Add(TFace{});
    } else {
      FFaceList.Add(std::move(FSpare.back()));
      FSpare.pop_back();
    }
  }
}

void TFMXFaceDetector::KeepFaces(int count) {
  while (FFaceList.Count() > count) {
    FSpare.push_back(std::move(FFaceList[FFaceList.Count() - 1]));
    FFaceList.Delete(FFaceList.Count() - 1);
  }
  // All faces' norms at once: each is a long chain of dependent roundings,
  // and side by side they overlap.
  FVectors.clear();
  for (const TFace& face : FFaceList) FVectors.emplace_back(face.embeddings);
  FNorms.resize(FVectors.size());
  Batch::NumpyNorms(FVectors, FNorms);
  for (int k = 0; k < count; ++k) {
    TFace& face = FFaceList[k];
    face.normed_embedding.resize(face.embeddings.size());
    Batch::Normalise(face.embeddings, FNorms[static_cast<std::size_t>(k)], face.normed_embedding.data());
  }
}

}  // namespace Face::Fmx
