// TFMXFaceSwapper: gives one face of a bitmap the identity of another face
// with the vision library's face_swapper_ family.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>
#include <memory>

#include "binding/anything.h"
#include "face/face.h"
#include "framework/components.h"
#include "framework/graphics.h"
#include "vision/component_support.h"

namespace Face::Fmx {

class TFMXFaceSwapper : public System::Classes::TComponent {
 public:
  static const System::Classes::TPropertyTable& Properties() {
    using T = TFMXFaceSwapper;
    static const System::Classes::TPropertyTable table =
        System::Classes::TPropertyTable::Of<T>(u"TFMXFaceSwapper", TComponent::Properties())
            .Str(u"Model", &T::Model, &T::SetModel, u"")
            .Str(u"ModelMatrix", &T::ModelMatrix, &T::SetModelMatrix, u"")
            .Int(u"GPUDeviceID", &T::GPUDeviceID, &T::SetGPUDeviceID, -1);
    return table;
  }
  const System::Classes::TPropertyTable& PublishedProperties() const override { return Properties(); }

  // Loads the vision library unless designing; its failure propagates.
  explicit TFMXFaceSwapper(System::Classes::TComponent* AOwner);
  ~TFMXFaceSwapper() override;

  // A new bitmap of Image's size in which the face at DstFace's five points
  // carries the identity of SrcFace's embeddings (the raw vector, which may
  // come from any picture); Image is not changed.
  std::unique_ptr<::Fmx::Graphics::TBitmap> SwapFace(const ::Fmx::Graphics::TBitmap* Image, const TFace& SrcFace,
                                                     const TFace& DstFace);

  bool Active() const { return FActive; }
  void SetActive(bool Value);
  const System::String& Model() const { return FModel; }
  void SetModel(const System::String& Value) { FModel = Value; }
  const System::String& ModelMatrix() const { return FModelMatrix; }
  void SetModelMatrix(const System::String& Value) { FModelMatrix = Value; }
  std::int32_t GPUDeviceID() const { return FGPUDeviceID; }
  void SetGPUDeviceID(std::int32_t Value) { FGPUDeviceID = Value; }

 private:
  std::int32_t FGPUDeviceID = -1;
  bool FActive = false;
  Anything::Fmx::Detail::TLibraryContext<Anything::face_swapper_destroy> FContext;
  System::String FModel;
  System::String FModelMatrix;
};

}  // namespace Face::Fmx
