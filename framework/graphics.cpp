#include "framework/graphics.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_set>
#include <utility>

#include "framework/exceptions.h"
#include "framework/imagefile.h"
#include "framework/log.h"
#include "framework/resample.h"

namespace Fmx::Graphics {

namespace {

using System::String;
using System::Sysutils::EArgumentException;
using System::Sysutils::EInvalidOperation;
using System::Sysutils::Format;

// Pitch is a 32-bit byte count, so a row may hold at most this many pixels.
constexpr std::int32_t kMaxWidth = INT32_MAX / 4;

void CheckSize(const char16_t* operation, std::int32_t width, std::int32_t height) {
  if (width < 0 || height < 0) {
    throw EArgumentException(Format(u"%s: width and height must be 0 or more, got %d x %d", operation, width, height));
  }
  if (width > kMaxWidth) {
    throw EArgumentException(Format(u"%s: width must be at most %d, got %d", operation, kMaxWidth, width));
  }
}

// The serials of the mappings that have not ended, so that Map can tell a
// TBitmapData that still holds a live mapping of another bitmap (which must
// not be overwritten, or that bitmap stays mapped for good) from a stale one,
// without touching the other bitmap, which may be gone.
class TLiveMappings {
 public:
  std::uint64_t Begin() {
    std::lock_guard lock(FMutex);
    const std::uint64_t serial = ++FLast;
    FLive.insert(serial);
    return serial;
  }
  void End(std::uint64_t serial) {
    std::lock_guard lock(FMutex);
    FLive.erase(serial);
  }
  bool IsLive(std::uint64_t serial) {
    std::lock_guard lock(FMutex);
    return FLive.count(serial) != 0;
  }

 private:
  std::mutex FMutex;
  std::uint64_t FLast = 0;
  std::unordered_set<std::uint64_t> FLive;
};

TLiveMappings& LiveMappings() {
  static TLiveMappings* mappings = new TLiveMappings;  // outlives every static bitmap
  return *mappings;
}

Detail::TPixelSource SourceOf(const std::uint32_t* data, std::int32_t w, std::int32_t h) { return {data, w, h}; }

// Zeroes the pixels outside Keep, which a draw did not reach.
void ZeroOutside(TAlphaColor* pixels, std::int32_t width, std::int32_t height, const System::Types::TRect& keep) {
  const std::size_t w = std::size_t(width);
  if (keep.Width() <= 0 || keep.Height() <= 0) {
    std::fill_n(pixels, w * std::size_t(height), 0u);
    return;
  }
  std::fill_n(pixels, w * std::size_t(keep.Top), 0u);
  for (std::int32_t y = keep.Top; y < keep.Bottom; ++y) {
    TAlphaColor* row = pixels + std::size_t(y) * w;
    std::fill(row, row + keep.Left, 0u);
    std::fill(row + keep.Right, row + w, 0u);
  }
  std::fill(pixels + std::size_t(keep.Bottom) * w, pixels + std::size_t(height) * w, 0u);
}

}  // namespace

// ---- TBitmapData ----

TAlphaColor TBitmapData::GetPixel(std::int32_t x, std::int32_t y) const {
  if (x < 0 || y < 0 || x >= Width || y >= Height) {
    throw EArgumentException(
        Format(u"TBitmapData.GetPixel: position (%d, %d) is outside the %d x %d bitmap", x, y, Width, Height));
  }
  TAlphaColor c;
  std::memcpy(&c, Data + std::ptrdiff_t(y) * Pitch + std::ptrdiff_t(x) * 4, 4);
  return c;
}

void TBitmapData::SetPixel(std::int32_t x, std::int32_t y, TAlphaColor color) const {
  if (Access == TMapAccess::Read) {
    throw EInvalidOperation(u"TBitmapData.SetPixel: the bitmap is mapped for reading only");
  }
  if (x < 0 || y < 0 || x >= Width || y >= Height) {
    throw EArgumentException(
        Format(u"TBitmapData.SetPixel: position (%d, %d) is outside the %d x %d bitmap", x, y, Width, Height));
  }
  std::memcpy(WritableData() + std::ptrdiff_t(y) * Pitch + std::ptrdiff_t(x) * 4, &color, 4);
}

const std::uint8_t* TBitmapData::GetScanline(std::int32_t row) const {
  if (row < 0 || row >= Height) {
    throw EArgumentException(
        Format(u"TBitmapData.GetScanline: row %d is outside the %d x %d bitmap", row, Width, Height));
  }
  return Data + std::ptrdiff_t(row) * Pitch;
}

std::uint8_t* TBitmapData::GetWritableScanline(std::int32_t row) const {
  if (Access == TMapAccess::Read) {
    throw EInvalidOperation(u"TBitmapData.GetWritableScanline: the bitmap is mapped for reading only");
  }
  if (row < 0 || row >= Height) {
    throw EArgumentException(
        Format(u"TBitmapData.GetWritableScanline: row %d is outside the %d x %d bitmap", row, Width, Height));
  }
  return WritableData() + std::ptrdiff_t(row) * Pitch;
}

std::uint8_t* TBitmapData::WritableData() const {
  if (Access == TMapAccess::Read) {
    throw EInvalidOperation(u"TBitmapData.WritableData: the bitmap is mapped for reading only");
  }
  // Only a non-const bitmap maps for writing, so its storage may be written.
  return const_cast<std::uint8_t*>(Data);
}

// ---- TCanvas ----

bool TCanvas::BeginScene() {
  ++FSceneDepth;
  return true;
}

void TCanvas::EndScene() noexcept {
  if (FSceneDepth > 0) --FSceneDepth;
}

void TCanvas::DrawBitmap(const TBitmap& Source, const TRectF& SrcRect, const TRectF& DstRect, float Opacity,
                         bool HighSpeed) {
  if (FSceneDepth == 0) throw EInvalidOperation(u"TCanvas.DrawBitmap: drawing needs BeginScene first");
  TBitmap& target = *FBitmap;
  if (target.IsEmpty() || Source.IsEmpty()) return;
  const Detail::TPixelTarget out{target.Pixels(), target.Width(), target.Height()};
  const auto filter = HighSpeed ? Detail::TFilter::Nearest : Detail::TFilter::Smooth;
  if (&Source == &target) {
    // Reading and writing the same pixels would smear; draw from a snapshot.
    const Detail::TPixelVector copy = target.FPixels;
    Detail::DrawScaled(SourceOf(copy.data(), Source.Width(), Source.Height()), SrcRect, out, DstRect, Opacity, filter,
                       Detail::TBlend::SourceOver);
    return;
  }
  Detail::DrawScaled(SourceOf(Source.Pixels(), Source.Width(), Source.Height()), SrcRect, out, DstRect, Opacity,
                     filter, Detail::TBlend::SourceOver);
}

// ---- TBitmap ----

TBitmap::TBitmap() = default;

TBitmap::TBitmap(std::int32_t Width, std::int32_t Height) { SetSize(Width, Height); }

TBitmap::~TBitmap() {
  if (!IsMapped()) return;
  LiveMappings().End(FMapSerial);
  try {
    Fmx::Types::Log::d(u"TBitmap destroyed while mapped; its TBitmapData now dangles");
  } catch (...) {  // a destructor must not throw, not even from the log
  }
}

TBitmap::TBitmap(TBitmap&& other) {
  other.CheckNotMapped(u"TBitmap move");
  FWidth = std::exchange(other.FWidth, 0);
  FHeight = std::exchange(other.FHeight, 0);
  FPixels = std::move(other.FPixels);
  other.FPixels.clear();
}

TBitmap& TBitmap::operator=(TBitmap&& other) {
  if (this == &other) return *this;
  CheckNotMapped(u"TBitmap move");
  other.CheckNotMapped(u"TBitmap move");
  FWidth = std::exchange(other.FWidth, 0);
  FHeight = std::exchange(other.FHeight, 0);
  FPixels = std::move(other.FPixels);
  other.FPixels.clear();
  return *this;
}

void TBitmap::CheckNotMapped(const char16_t* operation) const {
  if (IsMapped()) throw EInvalidOperation(Format(u"%s: the bitmap is mapped; unmap it first", operation));
}

void TBitmap::SetSize(std::int32_t Width, std::int32_t Height) {
  Detail::SetSizeForOverwrite(*this, Width, Height);
  std::fill(FPixels.begin(), FPixels.end(), 0u);
}

void Detail::SetSizeForOverwrite(TBitmap& Bitmap, std::int32_t Width, std::int32_t Height) {
  CheckSize(u"TBitmap.SetSize", Width, Height);
  Bitmap.CheckNotMapped(u"TBitmap.SetSize");
  TPixelVector pixels;
  pixels.resize(std::size_t(Width) * std::size_t(Height));
  Bitmap.FPixels.swap(pixels);
  Bitmap.FWidth = Width;
  Bitmap.FHeight = Height;
}

void TBitmap::Resize(std::int32_t Width, std::int32_t Height) {
  CheckSize(u"TBitmap.Resize", Width, Height);
  CheckNotMapped(u"TBitmap.Resize");
  if (Width == FWidth && Height == FHeight) return;
  // Left unset, then zeroed where the draw did not reach (in practice
  // nowhere): the draw writes every pixel it covers, and zeroing a large
  // target first cost a fifth of an enlargement.
  Detail::TPixelVector pixels;
  pixels.resize(std::size_t(Width) * std::size_t(Height));
  System::Types::TRect drawn;
  if (!IsEmpty() && !pixels.empty()) {
    drawn = Detail::DrawScaled(SourceOf(Pixels(), FWidth, FHeight),
                               System::Types::RectF(0, 0, float(FWidth), float(FHeight)),
                               Detail::TPixelTarget{pixels.data(), Width, Height},
                               System::Types::RectF(0, 0, float(Width), float(Height)), 1.0f, Detail::TFilter::Smooth,
                               Detail::TBlend::Replace);
  }
  ZeroOutside(pixels.data(), Width, Height, drawn);
  FPixels.swap(pixels);
  FWidth = Width;
  FHeight = Height;
}

void TBitmap::Assign(const TBitmap& Source) {
  if (&Source == this) return;
  CheckNotMapped(u"TBitmap.Assign");
  FPixels = Source.FPixels;
  FWidth = Source.FWidth;
  FHeight = Source.FHeight;
}

void TBitmap::Clear(TAlphaColor Color) { std::fill(FPixels.begin(), FPixels.end(), Color); }

bool TBitmap::Map(TMapAccess Access, TBitmapData& Data) {
  if (IsMapped()) throw EInvalidOperation(u"TBitmap.Map: the bitmap is already mapped; unmap it first");
  if (Data.FSerial != 0 && LiveMappings().IsLive(Data.FSerial)) {
    throw EInvalidOperation(u"TBitmap.Map: the TBitmapData still holds the mapping of another bitmap; unmap that first");
  }
  FMapSerial = LiveMappings().Begin();
  Data.Data = reinterpret_cast<std::uint8_t*>(FPixels.data());
  Data.Pitch = FWidth * 4;
  Data.Width = FWidth;
  Data.Height = FHeight;
  Data.Access = Access;
  Data.FBitmap = this;
  Data.FSerial = FMapSerial;
  return true;
}

bool TBitmap::Map(TMapAccess Access, TBitmapData& Data) const {
  if (Access != TMapAccess::Read) {
    throw EInvalidOperation(u"TBitmap.Map: a const bitmap can only be mapped for reading");
  }
  return const_cast<TBitmap*>(this)->Map(Access, Data);
}

void TBitmap::Unmap(TBitmapData& Data) const {
  if (Data.FBitmap == nullptr) {
    throw EInvalidOperation(u"TBitmap.Unmap: the TBitmapData is not mapped (already unmapped, or never mapped)");
  }
  if (Data.FBitmap != this) throw EInvalidOperation(u"TBitmap.Unmap: the TBitmapData belongs to another bitmap");
  if (Data.FSerial != FMapSerial) {
    throw EInvalidOperation(u"TBitmap.Unmap: the TBitmapData is from an earlier mapping that has already ended");
  }
  LiveMappings().End(std::exchange(FMapSerial, 0));
  Data = TBitmapData{};
}

void TBitmap::LoadFromFile(const String& FileName) {
  CheckNotMapped(u"TBitmap.LoadFromFile");
  Detail::TDecodedImage image = Detail::ReadImageFile(FileName);
  FPixels.swap(image.Pixels);
  FWidth = image.Width;
  FHeight = image.Height;
}

void TBitmap::SaveToFile(const String& FileName) const {
  Detail::WriteImageFile(FileName, FWidth, FHeight, Pixels());
}

// ---- TBitmapMapping ----

TBitmapMapping::TBitmapMapping(TBitmap& bitmap, TMapAccess access) : FBitmap(&bitmap) { bitmap.Map(access, FData); }

TBitmapMapping::TBitmapMapping(const TBitmap& bitmap) : FBitmap(&bitmap) { bitmap.Map(TMapAccess::Read, FData); }

TBitmapMapping::~TBitmapMapping() { Release(); }

TBitmapMapping::TBitmapMapping(TBitmapMapping&& other) noexcept
    : FBitmap(std::exchange(other.FBitmap, nullptr)), FData(std::exchange(other.FData, TBitmapData{})) {}

TBitmapMapping& TBitmapMapping::operator=(TBitmapMapping&& other) noexcept {
  if (this != &other) {
    Release();
    FBitmap = std::exchange(other.FBitmap, nullptr);
    FData = std::exchange(other.FData, TBitmapData{});
  }
  return *this;
}

void TBitmapMapping::Unmap() {
  if (FBitmap == nullptr) return;
  const TBitmap* bitmap = std::exchange(FBitmap, nullptr);
  bitmap->Unmap(FData);
}

void TBitmapMapping::Release() noexcept {
  try {
    Unmap();
  } catch (const std::exception& e) {
    try {
      Fmx::Types::Log::d(u"TBitmapMapping: unmapping failed: %s", e.what());
    } catch (...) {  // a destructor must not throw, not even from the log
    }
  }
}

}  // namespace Fmx::Graphics
