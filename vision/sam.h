// TFMXSam: promptable segmentation with the vision library's sam_ family.
// Load an image, add point or box prompts in image pixels, and read the mask
// as a bitmap that the component owns and reuses.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>
#include <memory>

#include "binding/anything.h"
#include "framework/components.h"
#include "framework/graphics.h"
#include "framework/types.h"
#include "vision/component_support.h"

namespace Anything::Fmx {

class TFMXSam : public System::Classes::TComponent {
 public:
  static const System::Classes::TPropertyTable& Properties() {
    using T = TFMXSam;
    static const System::Classes::TPropertyTable table =
        System::Classes::TPropertyTable::Of<T>(u"TFMXSam", TComponent::Properties())
            .Str(u"EncoderModel", &T::EncoderModel, &T::SetEncoderModel, System::Classes::NoDefault)
            .Str(u"DecoderModel", &T::DecoderModel, &T::SetDecoderModel, System::Classes::NoDefault)
            .Int(u"GPUDeviceID", &T::GPUDeviceID, &T::SetGPUDeviceID, -1);
    return table;
  }
  const System::Classes::TPropertyTable& PublishedProperties() const override { return Properties(); }

  // Loads the vision library unless designing; its failure propagates.
  explicit TFMXSam(System::Classes::TComponent* AOwner);
  ~TFMXSam() override;

  // Hands the image to the library and makes a new mask bitmap of its size.
  // The prompts stay; Clear removes them.
  void LoadImage(const ::Fmx::Graphics::TBitmap* bmp);
  void AddPoint(const System::Types::TPoint& p);
  // Passes Left, Top, width and height.
  void AddRect(const System::Types::TRect& ARect);
  void Clear();
  // The mask for the point (or box) prompts as opaque gray pixels, in the
  // component's own bitmap: do not free it; the next getter overwrites it and
  // the next LoadImage replaces it.
  ::Fmx::Graphics::TBitmap* GetPointMask();
  ::Fmx::Graphics::TBitmap* GetRectMask();
  void FreeMask();

  const System::String& EncoderModel() const { return FEncoderModel; }
  void SetEncoderModel(const System::String& value) { FEncoderModel = value; }
  const System::String& DecoderModel() const { return FDecoderModel; }
  void SetDecoderModel(const System::String& value) { FDecoderModel = value; }
  std::int32_t GPUDeviceID() const { return FGPUDeviceID; }
  void SetGPUDeviceID(std::int32_t value) { FGPUDeviceID = value; }
  bool Active() const { return FActive; }
  // True checks EncoderModel, then DecoderModel, then creates the context;
  // false frees it.
  void SetActive(bool value);

 private:
  ::Fmx::Graphics::TBitmap* GetMask(sam_get_point_mask_fn* getter, const char16_t* what);

  std::int32_t FGPUDeviceID = -1;
  System::String FDecoderModel;
  System::String FEncoderModel;
  bool FActive = false;
  Detail::TLibraryContext<Anything::sam_destroy> FContext;
  std::unique_ptr<::Fmx::Graphics::TBitmap> FMaskBitmap;
  // The current context has an image: a new context starts without one.
  bool FImageLoaded = false;
};

}  // namespace Anything::Fmx
