// TFMXOSTrack: single-object tracking with the vision library's ostrack_
// family. Mark the object with a rectangle on a first frame (InitTrack), then
// ask for its box in each following frame (Track).
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>

#include "binding/anything.h"
#include "framework/components.h"
#include "framework/graphics.h"
#include "framework/types.h"
#include "vision/component_support.h"

namespace Anything::Fmx {

class TFMXOSTrack : public System::Classes::TComponent {
 public:
  static const System::Classes::TPropertyTable& Properties() {
    using T = TFMXOSTrack;
    static const System::Classes::TPropertyTable table =
        System::Classes::TPropertyTable::Of<T>(u"TFMXOSTrack", TComponent::Properties())
            .Str(u"Model", &T::Model, &T::SetModel, System::Classes::NoDefault)
            .Int(u"GPUDeviceID", &T::GPUDeviceID, &T::SetGPUDeviceID, -1);
    return table;
  }
  const System::Classes::TPropertyTable& PublishedProperties() const override { return Properties(); }

  // Loads the vision library unless designing; its failure propagates.
  explicit TFMXOSTrack(System::Classes::TComponent* AOwner);
  ~TFMXOSTrack() override;

  // Starts tracking what lies inside ARect (its edges, passed as they are).
  void InitTrack(const ::Fmx::Graphics::TBitmap* Image, const System::Types::TRect& ARect);
  // Writes the object's box, score and class in this frame into *bbox.
  void Track(const ::Fmx::Graphics::TBitmap* Image, TDrOBB* bbox);

  const System::String& Model() const { return FModel; }
  void SetModel(const System::String& value) { FModel = value; }
  std::int32_t GPUDeviceID() const { return FGPUDeviceID; }
  void SetGPUDeviceID(std::int32_t value) { FGPUDeviceID = value; }
  bool Active() const { return FActive; }
  void SetActive(bool value);

 private:
  std::int32_t FGPUDeviceID = -1;
  bool FActive = false;
  Detail::TLibraryContext<Anything::ostrack_destroy> FContext;
  System::String FModel;
  // The current context has a target: a new context starts without one.
  bool FTargetSet = false;
};

}  // namespace Anything::Fmx
