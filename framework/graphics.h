// The framework's bitmap: 32-bit pixels in memory order B, G, R, A (straight,
// not premultiplied alpha), a drawing canvas with smooth scaling and
// source-over blending, mapping of the pixels for direct access, and PNG,
// JPEG and BMP files.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "framework/pixel_memory.h"
#include "framework/strings.h"
#include "framework/types.h"

namespace Fmx::Graphics {

using System::Types::TRectF;
using System::Uitypes::TAlphaColor;

// A TAlphaColor's memory image is the pixel's byte order only on little-endian machines.
static_assert(std::endian::native == std::endian::little, "TBitmap stores pixels as little-endian TAlphaColor");

class TBitmap;

namespace Detail {
// For the framework's and the package's own writers that set every pixel
// before anyone reads one: the bitmap takes the size (after the same checks
// as SetSize) with its pixels left unset instead of zeroed. A new bitmap in
// users' hands is always zeroed.
void SetSizeForOverwrite(TBitmap& Bitmap, std::int32_t Width, std::int32_t Height);
}  // namespace Detail

enum class TMapAccess { Read = 0, Write = 1, ReadWrite = 2 };

// What Map hands out. The pixels are the bitmap's own storage, so writes are
// the bitmap's content at once; Unmap only ends the right to touch them.
// Data and GetScanline only read, whatever the access: a writable pointer
// comes from WritableData or GetWritableScanline, which raise
// EInvalidOperation under a Read mapping, so a read mapping cannot be written
// through by accident.
struct TBitmapData {
  const std::uint8_t* Data = nullptr;  // first byte of row 0
  std::int32_t Pitch = 0;        // bytes from one row to the next
  std::int32_t Width = 0;
  std::int32_t Height = 0;
  TMapAccess Access = TMapAccess::Read;

  // Both check the position and raise EArgumentException outside the bitmap;
  // SetPixel raises EInvalidOperation under a Read mapping. The record is a
  // handle, so writing pixels does not change it (hence const).
  TAlphaColor GetPixel(std::int32_t x, std::int32_t y) const;
  void SetPixel(std::int32_t x, std::int32_t y, TAlphaColor color) const;
  const std::uint8_t* GetScanline(std::int32_t row) const;
  std::uint8_t* GetWritableScanline(std::int32_t row) const;
  std::uint8_t* WritableData() const;

 private:
  friend class TBitmap;
  const TBitmap* FBitmap = nullptr;
  std::uint64_t FSerial = 0;
};

class TCanvas {
 public:
  TCanvas(const TCanvas&) = delete;
  TCanvas& operator=(const TCanvas&) = delete;

  // Scenes nest; drawing is allowed only inside one.
  bool BeginScene();
  // Closes the innermost scene; without an open scene it does nothing, so
  // cleanup paths may always call it.
  void EndScene() noexcept;
  bool InScene() const { return FSceneDepth > 0; }

  // Scales the source rectangle of Source into the destination rectangle
  // (pixel edges in both), clipped to this canvas, and blends it over what is
  // there with Opacity (0..1). HighSpeed picks the nearest pixel; otherwise
  // shrinking averages the covered area and enlarging interpolates linearly.
  // A destination pixel is drawn when its centre lies inside DstRect.
  void DrawBitmap(const TBitmap& Source, const TRectF& SrcRect, const TRectF& DstRect, float Opacity,
                  bool HighSpeed = false);

 private:
  friend class TBitmap;
  explicit TCanvas(TBitmap& owner) : FBitmap(&owner) {}

  TBitmap* FBitmap;
  int FSceneDepth = 0;
};

class TBitmap {
 public:
  TBitmap();
  // Fully transparent (0x00000000) pixels. Negative sizes raise.
  TBitmap(std::int32_t Width, std::int32_t Height);
  ~TBitmap();
  TBitmap(const TBitmap&) = delete;
  TBitmap& operator=(const TBitmap&) = delete;
  // Moving a mapped bitmap raises: its TBitmapData would point at the wrong owner.
  TBitmap(TBitmap&& other);
  TBitmap& operator=(TBitmap&& other);

  std::int32_t Width() const { return FWidth; }
  std::int32_t Height() const { return FHeight; }
  bool IsEmpty() const { return FWidth == 0 || FHeight == 0; }

  // The operations that change the storage raise EInvalidOperation while
  // the bitmap is mapped.
  void SetSize(std::int32_t Width, std::int32_t Height);  // content becomes transparent
  void Resize(std::int32_t Width, std::int32_t Height);   // content is scaled smoothly
  void Assign(const TBitmap& Source);
  void Clear(TAlphaColor Color);

  // One mapping at a time: mapping a mapped bitmap raises EInvalidOperation,
  // and so does unmapping data that is not the current mapping of this bitmap,
  // or mapping into a TBitmapData that still holds another bitmap's mapping.
  // A const bitmap maps for reading only.
  bool Map(TMapAccess Access, TBitmapData& Data);
  bool Map(TMapAccess Access, TBitmapData& Data) const;
  void Unmap(TBitmapData& Data) const;
  bool IsMapped() const { return FMapSerial != 0; }

  TCanvas& Canvas() { return FCanvas; }

  // Loading decodes PNG, JPEG or BMP by content; saving picks the format by
  // the extension (.png, .jpg/.jpeg, .bmp). JPEG has no alpha and is lossy.
  // A truncated file is refused whatever its format; the limits and rules
  // are those of framework/imagefile.h.
  void LoadFromFile(const System::String& FileName);
  void SaveToFile(const System::String& FileName) const;

 private:
  friend class TCanvas;
  friend void Detail::SetSizeForOverwrite(TBitmap&, std::int32_t, std::int32_t);
  void CheckNotMapped(const char16_t* operation) const;
  std::uint32_t* Pixels() { return FPixels.data(); }
  const std::uint32_t* Pixels() const { return FPixels.data(); }

  std::int32_t FWidth = 0;
  std::int32_t FHeight = 0;
  Detail::TPixelVector FPixels;
  TCanvas FCanvas{*this};
  mutable std::uint64_t FMapSerial = 0;  // 0: not mapped
};

// Maps in the constructor and unmaps in the destructor, so every exit path
// unmaps. Move-only; the destructor never throws (a failed unmap is logged).
class TBitmapMapping {
 public:
  TBitmapMapping(TBitmap& bitmap, TMapAccess access);
  explicit TBitmapMapping(const TBitmap& bitmap);  // read-only
  ~TBitmapMapping();
  TBitmapMapping(TBitmapMapping&& other) noexcept;
  TBitmapMapping& operator=(TBitmapMapping&& other) noexcept;
  TBitmapMapping(const TBitmapMapping&) = delete;
  TBitmapMapping& operator=(const TBitmapMapping&) = delete;

  // The record stays the mapping's own: callers read it, and write pixels
  // only through WritableScanline or SetPixel (both raise under Read).
  const TBitmapData& Data() const { return FData; }
  const std::uint8_t* Scanline(std::int32_t row) const { return FData.GetScanline(row); }
  std::uint8_t* WritableScanline(std::int32_t row) const { return FData.GetWritableScanline(row); }
  // Ends the mapping early; unlike the destructor it raises on failure.
  void Unmap();

 private:
  void Release() noexcept;

  const TBitmap* FBitmap = nullptr;
  TBitmapData FData;
};

// BeginScene in the constructor, EndScene in the destructor.
class TCanvasScene {
 public:
  explicit TCanvasScene(TCanvas& canvas) : FCanvas(&canvas), FBegan(canvas.BeginScene()) {}
  ~TCanvasScene() {
    if (FBegan) FCanvas->EndScene();
  }
  TCanvasScene(const TCanvasScene&) = delete;
  TCanvasScene& operator=(const TCanvasScene&) = delete;
  bool Began() const { return FBegan; }

 private:
  TCanvas* FCanvas;
  bool FBegan;
};

}  // namespace Fmx::Graphics
