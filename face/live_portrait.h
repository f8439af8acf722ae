// TFMXLivePortrait: animates a portrait frame by frame with the vision
// library's lp_ family: each driving frame passed to LivePortrait yields the
// portrait moved the way the driving face moves.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>
#include <memory>

#include "binding/anything.h"
#include "framework/components.h"
#include "framework/graphics.h"
#include "vision/component_support.h"

namespace Face::Fmx {

class TFMXLivePortrait : public System::Classes::TComponent {
 public:
  // InputImage is published too, but a bitmap has no place in the property
  // table: it is set with SetInputImage.
  static const System::Classes::TPropertyTable& Properties() {
    using T = TFMXLivePortrait;
    static const System::Classes::TPropertyTable table =
        System::Classes::TPropertyTable::Of<T>(u"TFMXLivePortrait", TComponent::Properties())
            .Str(u"FeatureModel", &T::FeatureModel, &T::SetFeatureModel, u"")
            .Str(u"MotionModel", &T::MotionModel, &T::SetMotionModel, u"")
            .Str(u"WarpingModel", &T::WarpingModel, &T::SetWarpingModel, u"")
            .Str(u"StitchingModel", &T::StitchingModel, &T::SetStitchingModel, u"")
            .Str(u"LandMarkModel", &T::LandMarkModel, &T::SetLandMarkModel, u"")
            .Str(u"FaceModel", &T::FaceModel, &T::SetFaceModel, u"")
            .Str(u"FacePoseModel", &T::FacePoseModel, &T::SetFacePoseModel, u"")
            .Str(u"MaskTemplate", &T::MaskTemplate, &T::SetMaskTemplate, u"")
            .Int(u"GPUDeviceID", &T::GPUDeviceID, &T::SetGPUDeviceID, -1);
    return table;
  }
  const System::Classes::TPropertyTable& PublishedProperties() const override { return Properties(); }

  // Loads the vision library unless designing; its failure propagates.
  explicit TFMXLivePortrait(System::Classes::TComponent* AOwner);
  ~TFMXLivePortrait() override;

  // The portrait moved like the face in RefImage, as a new bitmap of
  // RefImage's size; frames are numbered from 0 after each SetInputImage.
  std::unique_ptr<::Fmx::Graphics::TBitmap> LivePortrait(const ::Fmx::Graphics::TBitmap* RefImage);

  bool Active() const { return FActive; }
  // A new context gets the stored portrait, and frames count from 0 again.
  void SetActive(bool Value);
  // The component's own copy of the portrait.
  const ::Fmx::Graphics::TBitmap& InputImage() const { return *FInputImage; }
  // Copies Value; while active, a non-empty portrait also goes to the library
  // (activation hands it to each new context). Either way the next frame is
  // number 0. When the library raises, the stored portrait and the frame
  // number stay as they were.
  void SetInputImage(const ::Fmx::Graphics::TBitmap* Value);
  std::int32_t FrameId() const { return FFrameId; }

  const System::String& FeatureModel() const { return FFeatureModel; }
  void SetFeatureModel(const System::String& Value) { FFeatureModel = Value; }
  const System::String& MotionModel() const { return FMotionModel; }
  void SetMotionModel(const System::String& Value) { FMotionModel = Value; }
  const System::String& WarpingModel() const { return FWarpingModel; }
  void SetWarpingModel(const System::String& Value) { FWarpingModel = Value; }
  const System::String& StitchingModel() const { return FStitchingModel; }
  void SetStitchingModel(const System::String& Value) { FStitchingModel = Value; }
  const System::String& LandMarkModel() const { return FLandMarkModel; }
  void SetLandMarkModel(const System::String& Value) { FLandMarkModel = Value; }
  const System::String& FaceModel() const { return FFaceModel; }
  void SetFaceModel(const System::String& Value) { FFaceModel = Value; }
  const System::String& FacePoseModel() const { return FFacePoseModel; }
  void SetFacePoseModel(const System::String& Value) { FFacePoseModel = Value; }
  const System::String& MaskTemplate() const { return FMaskTemplate; }
  void SetMaskTemplate(const System::String& Value) { FMaskTemplate = Value; }
  std::int32_t GPUDeviceID() const { return FGPUDeviceID; }
  void SetGPUDeviceID(std::int32_t Value) { FGPUDeviceID = Value; }

 private:
  // Hands a portrait that is not empty to the live context.
  void GiveInputImage(const ::Fmx::Graphics::TBitmap& portrait);

  std::int32_t FGPUDeviceID = -1;
  bool FActive = false;
  Anything::Fmx::Detail::TLibraryContext<Anything::lp_destroy> FContext;
  System::String FFeatureModel;
  System::String FLandMarkModel;
  System::String FWarpingModel;
  System::String FFaceModel;
  System::String FFacePoseModel;
  System::String FStitchingModel;
  System::String FMotionModel;
  System::String FMaskTemplate;
  std::unique_ptr<::Fmx::Graphics::TBitmap> FInputImage;
  std::int32_t FFrameId = 0;
};

}  // namespace Face::Fmx
