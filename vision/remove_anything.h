// TFMXRemoveAnything: erases the region a mask marks and fills it in, with
// the vision library's inpainting (lama_) family.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>
#include <memory>

#include "binding/anything.h"
#include "framework/components.h"
#include "framework/graphics.h"
#include "vision/component_support.h"

namespace Anything::Fmx {

class TFMXRemoveAnything : public System::Classes::TComponent {
 public:
  static const System::Classes::TPropertyTable& Properties() {
    using T = TFMXRemoveAnything;
    static const System::Classes::TPropertyTable table =
        System::Classes::TPropertyTable::Of<T>(u"TFMXRemoveAnything", TComponent::Properties())
            .Str(u"Model", &T::Model, &T::SetModel, System::Classes::NoDefault)
            .Int(u"GPUDeviceID", &T::GPUDeviceID, &T::SetGPUDeviceID, -1);
    return table;
  }
  const System::Classes::TPropertyTable& PublishedProperties() const override { return Properties(); }

  // Loads the vision library unless designing; its failure propagates.
  explicit TFMXRemoveAnything(System::Classes::TComponent* AOwner);
  ~TFMXRemoveAnything() override;

  // A new opaque bitmap of Image's size. Mask must have Image's width and
  // height; its B, G, R, A pixels go to the library as they are. Neither
  // input changes.
  std::unique_ptr<::Fmx::Graphics::TBitmap> RemoveAnything(const ::Fmx::Graphics::TBitmap* Image,
                                                         const ::Fmx::Graphics::TBitmap* Mask);

  const System::String& Model() const { return FModel; }
  void SetModel(const System::String& value) { FModel = value; }
  std::int32_t GPUDeviceID() const { return FGPUDeviceID; }
  void SetGPUDeviceID(std::int32_t value) { FGPUDeviceID = value; }
  bool Active() const { return FActive; }
  void SetActive(bool value);

 private:
  std::int32_t FGPUDeviceID = -1;
  bool FActive = false;
  Detail::TLibraryContext<Anything::lama_destroy> FContext;
  System::String FModel;
};

}  // namespace Anything::Fmx
