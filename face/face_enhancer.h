// TFMXFaceEnhancer: restores one face of a bitmap with the vision library's
// face_enhancer_ family, located by the face's five key points.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>

#include "binding/anything.h"
#include "face/face.h"
#include "framework/components.h"
#include "framework/graphics.h"
#include "vision/component_support.h"

namespace Face::Fmx {

class TFMXFaceEnhancer : public System::Classes::TComponent {
 public:
  static const System::Classes::TPropertyTable& Properties() {
    using T = TFMXFaceEnhancer;
    static const System::Classes::TPropertyTable table =
        System::Classes::TPropertyTable::Of<T>(u"TFMXFaceEnhancer", TComponent::Properties())
            .Str(u"Model", &T::Model, &T::SetModel, u"")
            .Int(u"GPUDeviceID", &T::GPUDeviceID, &T::SetGPUDeviceID, -1)
            .Single(u"Fidelity", &T::Fidelity, &T::SetFidelity, 0.7f);
    return table;
  }
  const System::Classes::TPropertyTable& PublishedProperties() const override { return Properties(); }

  // Loads the vision library unless designing; its failure propagates.
  explicit TFMXFaceEnhancer(System::Classes::TComponent* AOwner);
  ~TFMXFaceEnhancer() override;

  // A new bitmap of Image's size with Face restored; Image is not changed.
  std::unique_ptr<::Fmx::Graphics::TBitmap> Enhance(const ::Fmx::Graphics::TBitmap* Image, const TFace& Face);

  bool Active() const { return FActive; }
  void SetActive(bool Value);
  const System::String& Model() const { return FModel; }
  void SetModel(const System::String& Value) { FModel = Value; }
  std::int32_t GPUDeviceID() const { return FGPUDeviceID; }
  void SetGPUDeviceID(std::int32_t Value) { FGPUDeviceID = Value; }
  float Fidelity() const { return FFidelity; }
  void SetFidelity(float Value) { FFidelity = Value; }

 private:
  Anything::Fmx::Detail::TLibraryContext<Anything::face_enhancer_destroy> FContext;
  std::int32_t FGPUDeviceID = -1;
  System::String FModel;
  bool FActive = false;
  float FFidelity = 0.7f;
};

// The five key points as the library takes them: x0, y0, ... x4, y4. Raises
// "<method>: <parameter>.landmark_5[k] must be a finite point, ..." for a
// point that is not.
std::array<float, 10> KeyPoints(const TFace& face, std::u16string_view method, std::u16string_view parameter);

}  // namespace Face::Fmx
