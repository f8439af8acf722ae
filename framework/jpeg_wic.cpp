#include "framework/jpeg_wic.h"

#include <windows.h>
#include <wincodec.h>

#include <cstdio>
#include <utility>

namespace Fmx::Graphics::Detail {

namespace {

// Holds one COM reference and releases it once.
template <class T>
class TComRef {
 public:
  TComRef() = default;
  TComRef(const TComRef&) = delete;
  TComRef& operator=(const TComRef&) = delete;
  ~TComRef() {
    if (FPointer) FPointer->Release();
  }
  T* operator->() const { return FPointer; }
  T* get() const { return FPointer; }
  T** put() { return &FPointer; }
  void** putVoid() { return reinterpret_cast<void**>(&FPointer); }

 private:
  T* FPointer = nullptr;
};

// COM must be started on every thread that uses it. A thread whose owner
// started it in another mode keeps that mode; only what we started is ended.
class TComApartment {
 public:
  TComApartment() : FStarted(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
  TComApartment(const TComApartment&) = delete;
  TComApartment& operator=(const TComApartment&) = delete;
  ~TComApartment() {
    if (FStarted) ::CoUninitialize();
  }

 private:
  bool FStarted;
};

std::string Failure(const char* step, HRESULT result) {
  char text[64];
  std::snprintf(text, sizeof text, "%s failed, HRESULT 0x%08lX", step, static_cast<unsigned long>(result));
  return text;
}

// Entropy-coded data escapes every 0xFF byte, so a file without an
// end-of-image marker was cut short.
bool HasEndOfImage(const std::uint8_t* d, std::size_t n) {
  for (std::size_t i = 2; i + 1 < n; ++i)
    if (d[i] == 0xFF && d[i + 1] == 0xD9) return true;
  return false;
}

}  // namespace

TSystemJpeg DecodeJpegWithSystem(const std::uint8_t* data, std::size_t size, std::uint64_t maxSide,
                                 std::uint64_t maxPixels) {
  TSystemJpeg out;
  const TComApartment apartment;
  TComRef<IWICImagingFactory> factory;
  HRESULT hr = ::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                  factory.putVoid());
  if (FAILED(hr)) {
    out.Text = Failure("creating the imaging factory", hr);
    return out;
  }
  TComRef<IWICStream> stream;
  if (FAILED(hr = factory->CreateStream(stream.put())) ||
      FAILED(hr = stream->InitializeFromMemory(const_cast<BYTE*>(data), static_cast<DWORD>(size)))) {
    out.Text = Failure("opening the data", hr);
    return out;
  }
  TComRef<IWICBitmapDecoder> decoder;
  if (FAILED(hr = factory->CreateDecoder(GUID_ContainerFormatJpeg, nullptr, decoder.put())) ||
      FAILED(hr = decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand))) {
    out.Outcome = HasEndOfImage(data, size) ? TSystemJpegOutcome::Failed : TSystemJpegOutcome::EndedEarly;
    out.Text = Failure("reading the header", hr);
    return out;
  }
  TComRef<IWICBitmapFrameDecode> frame;
  UINT width = 0, height = 0;
  if (FAILED(hr = decoder->GetFrame(0, frame.put())) || FAILED(hr = frame->GetSize(&width, &height))) {
    out.Outcome = HasEndOfImage(data, size) ? TSystemJpegOutcome::Failed : TSystemJpegOutcome::EndedEarly;
    out.Text = Failure("reading the frame header", hr);
    return out;
  }
  out.Width = width;
  out.Height = height;
  if (width == 0 || height == 0) {
    out.Outcome = TSystemJpegOutcome::Empty;
    return out;
  }
  if (out.Width > maxSide || out.Height > maxSide || out.Width * out.Height > maxPixels) {
    out.Outcome = TSystemJpegOutcome::TooLarge;
    return out;
  }
  // The codec fills what a cut file lacks with grey, as libjpeg does; the
  // missing end marker tells, before any pixel is decoded.
  if (!HasEndOfImage(data, size)) {
    out.Outcome = TSystemJpegOutcome::EndedEarly;
    return out;
  }
  TComRef<IWICBitmapSource> bgra;
  if (FAILED(hr = ::WICConvertBitmapSource(GUID_WICPixelFormat32bppBGRA, frame.get(), bgra.put()))) {
    out.Text = Failure("converting to BGRA", hr);
    return out;
  }
  out.Pixels.resize(std::size_t(width) * std::size_t(height), 0u);
  const UINT stride = width * 4;
  if (FAILED(hr = bgra->CopyPixels(nullptr, stride, static_cast<UINT>(out.Pixels.size() * 4),
                                   reinterpret_cast<BYTE*>(out.Pixels.data())))) {
    out.Pixels = {};
    out.Text = Failure("decoding the pixels", hr);
    return out;
  }
  // JPEG has no transparency; a codec that leaves alpha unset must not make
  // the picture invisible.
  for (std::uint32_t& px : out.Pixels) px |= 0xFF000000u;
  out.Outcome = TSystemJpegOutcome::Done;
  return out;
}

}  // namespace Fmx::Graphics::Detail
