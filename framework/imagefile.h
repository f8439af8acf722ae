// Image file coding for TBitmap (stb_image and stb_image_write). Internal to
// the framework layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "framework/strings.h"

namespace Fmx::Graphics::Detail {

struct TDecodedImage {
  std::int32_t Width = 0;
  std::int32_t Height = 0;
  std::vector<std::uint32_t> Pixels;  // B, G, R, A bytes, rows without padding
};

// PNG, JPEG or BMP, recognised by content. Raises EFOpenError when the file
// cannot be read and Exception when it is not an image we can decode.
TDecodedImage ReadImageFile(const System::String& fileName);

// The same decoding for bytes already in memory; Name only goes into messages.
TDecodedImage DecodeImage(const std::uint8_t* data, std::size_t size, const System::String& name);

// The format follows the extension: .png, .jpg/.jpeg (quality 95, no alpha)
// or .bmp (32 bits with alpha). Raises Exception for another extension or an
// empty image and EFCreateError when the file cannot be written.
void WriteImageFile(const System::String& fileName, std::int32_t width, std::int32_t height,
                    const std::uint32_t* pixels);

}  // namespace Fmx::Graphics::Detail
