// Image file coding for TBitmap (libjpeg-turbo, stb_image and
// stb_image_write). Internal to the framework layer.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstddef>
#include <cstdint>
#include <vector>

#include "framework/pixel_memory.h"
#include "framework/strings.h"

namespace Fmx::Graphics::Detail {

struct TDecodedImage {
  std::int32_t Width = 0;
  std::int32_t Height = 0;
  TPixelVector Pixels;  // B, G, R, A bytes, rows without padding
};

// PNG, JPEG or BMP, recognised by content. Raises EFOpenError when the file
// cannot be opened and Exception, naming the file and what is wrong, when it
// is not an image we can decode. The rules, the same for every format:
// - a file that ends before its picture is complete is refused ("the PNG
//   file is truncated: ..."), never shown with grey or black filling in;
// - a picture without pixels, or with more than a bitmap holds (2 GB of
//   pixels, 2^24 a side), is refused from its header, before decoding;
// - a file over 2 GB is refused before it is read;
// - palette indices past a short palette decode as black (transparent in a
//   PNG, whose palette carries alpha; opaque in a BMP).
// A stream that cannot seek (a pipe) is read to its end, but refused once it
// passes what the picture its header announces can take (8 bytes a pixel plus
// 4 MB) or, while no header has been found, 4 MB.
TDecodedImage ReadImageFile(const System::String& fileName);

// The same decoding for bytes already in memory; Name only goes into messages.
TDecodedImage DecodeImage(const std::uint8_t* data, std::size_t size, const System::String& name);

// The format follows the extension: .png, .jpg/.jpeg (quality 95, no alpha)
// or .bmp (32 bits with alpha). Raises Exception for another extension, an
// empty image or one the format cannot hold (checked before encoding, so
// whatever is written reads back: JPEG up to 65500 pixels a side, PNG up to
// 450 M pixels, BMP and JPEG up to the 2 GB a bitmap holds), and
// EFCreateError when the file cannot be written.
void WriteImageFile(const System::String& fileName, std::int32_t width, std::int32_t height,
                    const std::uint32_t* pixels);

}  // namespace Fmx::Graphics::Detail
