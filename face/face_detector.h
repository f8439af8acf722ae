// TFMXFaceDetector: finds the faces in a bitmap with the vision library's
// face_detector_ family and returns each as a TFace (box, score, five and 68
// landmarks, feature vector and its normalised copy).
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>
#include <span>
#include <vector>

#include "binding/anything.h"
#include "face/face.h"
#include "framework/components.h"
#include "framework/graphics.h"
#include "framework/lists.h"
#include "vision/component_support.h"

namespace Face::Fmx {

class TFMXFaceDetector : public System::Classes::TComponent {
 public:
  static const System::Classes::TPropertyTable& Properties() {
    using T = TFMXFaceDetector;
    static const System::Classes::TPropertyTable table =
        System::Classes::TPropertyTable::Of<T>(u"TFMXFaceDetector", TComponent::Properties())
            .Str(u"Model", &T::Model, &T::SetModel, u"")
            .Str(u"LandmarkModel", &T::LandmarkModel, &T::SetLandmarkModel, u"")
            .Str(u"FeatureModel", &T::FeatureModel, &T::SetFeatureModel, u"")
            .Int(u"GPUDeviceID", &T::GPUDeviceID, &T::SetGPUDeviceID, -1)
            .Single(u"ConfidenceTh", &T::ConfidenceTh, &T::SetConfidenceTh, 0.5f)
            .Single(u"OverlapTh", &T::OverlapTh, &T::SetOverlapTh, 0.4f);
    return table;
  }
  const System::Classes::TPropertyTable& PublishedProperties() const override { return Properties(); }

  // Loads the vision library unless designing; its failure propagates.
  explicit TFMXFaceDetector(System::Classes::TComponent* AOwner);
  ~TFMXFaceDetector() override;

  // The faces of Image in the library's order, in the component's own list
  // (the same object as Faces), valid until the next Detect.
  System::Generics::Collections::TList<TFace>& Detect(const ::Fmx::Graphics::TBitmap* Image);

  bool Active() const { return FActive; }
  void SetActive(bool Value);
  const System::Generics::Collections::TList<TFace>& Faces() const { return FFaceList; }
  const System::String& Model() const { return FModel; }
  void SetModel(const System::String& Value) { FModel = Value; }
  const System::String& LandmarkModel() const { return FLandmarkModel; }
  void SetLandmarkModel(const System::String& Value) { FLandmarkModel = Value; }
  const System::String& FeatureModel() const { return FFeatureModel; }
  void SetFeatureModel(const System::String& Value) { FFeatureModel = Value; }
  std::int32_t GPUDeviceID() const { return FGPUDeviceID; }
  void SetGPUDeviceID(std::int32_t Value) { FGPUDeviceID = Value; }
  float ConfidenceTh() const { return FConfidenceTh; }
  void SetConfidenceTh(float Value) { FConfidenceTh = Value; }
  float OverlapTh() const { return FOverlapTh; }
  void SetOverlapTh(float Value) { FOverlapTh = Value; }

 private:
  Anything::Fmx::Detail::TLibraryContext<Anything::face_detector_destroy> FContext;
  std::int32_t FGPUDeviceID = -1;
  System::String FModel;
  bool FActive = false;
  float FOverlapTh = 0.4f;
  float FConfidenceTh = 0.5f;
  System::Generics::Collections::TList<TFace> FFaceList;
  // Faces of an earlier, larger answer: a later Detect refills their vectors
  // instead of allocating new ones.
  std::vector<TFace> FSpare;
  // Scratch of the normalisation, kept between calls.
  std::vector<std::span<const float>> FVectors;
  std::vector<float> FNorms;
  System::String FLandmarkModel;
  System::String FFeatureModel;

  // FFaceList holds at least count faces, from FSpare first.
  void GrowFaces(int count);
  // FFaceList keeps its first count faces, which get their normed_embedding;
  // the rest go to FSpare.
  void KeepFaces(int count);
};

}  // namespace Face::Fmx
