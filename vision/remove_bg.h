// TFMXRemoveBg: keeps an image's foreground and puts it over a new
// background, with the vision library's background (rmbg_) family.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>
#include <memory>

#include "binding/anything.h"
#include "framework/components.h"
#include "framework/graphics.h"
#include "vision/component_support.h"

namespace Anything::Fmx {

class TFMXRemoveBg : public System::Classes::TComponent {
 public:
  static const System::Classes::TPropertyTable& Properties() {
    using T = TFMXRemoveBg;
    static const System::Classes::TPropertyTable table =
        System::Classes::TPropertyTable::Of<T>(u"TFMXRemoveBg", TComponent::Properties())
            .Str(u"Model", &T::Model, &T::SetModel, System::Classes::NoDefault)
            .Int(u"GPUDeviceID", &T::GPUDeviceID, &T::SetGPUDeviceID, -1);
    return table;
  }
  const System::Classes::TPropertyTable& PublishedProperties() const override { return Properties(); }

  // Loads the vision library unless designing; its failure propagates.
  explicit TFMXRemoveBg(System::Classes::TComponent* AOwner);
  ~TFMXRemoveBg() override;

  // Changes both inputs in place: Image is resized to its dimensions rounded
  // up to multiples of 8 (W x H), newBg is stretched to W x H without keeping
  // its aspect ratio. Returns the library's composite as a new opaque W x H
  // bitmap. A call that raises changes neither; W x H must lie within the
  // limits of vision/component_support.h.
  std::unique_ptr<::Fmx::Graphics::TBitmap> ReplaceBackground(::Fmx::Graphics::TBitmap* Image,
                                                            ::Fmx::Graphics::TBitmap* newBg);

  const System::String& Model() const { return FModel; }
  void SetModel(const System::String& value) { FModel = value; }
  std::int32_t GPUDeviceID() const { return FGPUDeviceID; }
  void SetGPUDeviceID(std::int32_t value) { FGPUDeviceID = value; }
  bool Active() const { return FActive; }
  void SetActive(bool value);

 private:
  std::int32_t FGPUDeviceID = -1;
  bool FActive = false;
  Detail::TLibraryContext<Anything::rmbg_destroy> FContext;
  System::String FModel;
};

}  // namespace Anything::Fmx
