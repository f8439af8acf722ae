#include "framework/imagefile.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>

#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>

#include "framework/exceptions.h"
#include "framework/streams.h"

// JPEG files are decoded by libjpeg-turbo: fuzzing showed Debian's stb_image
// (2.27) reading and writing outside its Huffman tables on corrupt JPEGs.
// stb decodes PNG and BMP and encodes all three formats.
//
// stb's functions stay private to this file: the inference libraries that we
// load may carry their own stb build, and ours must not interpose on theirs.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_BMP
#define STBI_FAILURE_USERMSG
#define STBI_NO_STDIO
#define STBI_WRITE_NO_STDIO
#if defined(CORVINA_FUZZING)
// Fuzzing looks for decoding faults, not for how long a legal 16k x 16k
// picture takes to allocate and fill.
#define STBI_MAX_DIMENSIONS 2048
#define CORVINA_MAX_IMAGE_SIDE 2048
#else
#define CORVINA_MAX_IMAGE_SIDE (1 << 24)
#endif
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#pragma GCC diagnostic ignored "-Wdouble-promotion"
#pragma GCC diagnostic ignored "-Wconversion"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#endif
#include <stb_image.h>
#include <stb_image_write.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace Fmx::Graphics::Detail {

namespace {

using System::String;
using System::Sysutils::Exception;
using System::Sysutils::Format;

std::filesystem::path PathOf(const String& fileName) { return std::filesystem::path(fileName); }

String ExtensionOf(const String& fileName) {
  return System::Sysutils::LowerCase(PathOf(fileName).extension().u16string());
}

enum class TFormat { Png, Jpeg, Bmp };

TFormat FormatForSaving(const String& fileName) {
  const String ext = ExtensionOf(fileName);
  if (ext == u".png") return TFormat::Png;
  if (ext == u".jpg" || ext == u".jpeg") return TFormat::Jpeg;
  if (ext == u".bmp") return TFormat::Bmp;
  throw Exception(Format(u"Cannot save image \"%s\": unknown extension \"%s\" (use .png, .jpg, .jpeg or .bmp)",
                         fileName, ext));
}

void CollectBytes(void* context, void* data, int size) {
  auto* out = static_cast<std::vector<unsigned char>*>(context);
  const auto* bytes = static_cast<const unsigned char*>(data);
  out->insert(out->end(), bytes, bytes + size);
}

// B, G, R, A words to R, G, B(, A) bytes as stb wants them.
std::vector<unsigned char> ToRgb(const std::uint32_t* pixels, std::size_t count, int channels) {
  std::vector<unsigned char> out(count * channels);
  unsigned char* o = out.data();
  for (std::size_t i = 0; i < count; ++i, o += channels) {
    const std::uint32_t px = pixels[i];
    o[0] = static_cast<unsigned char>(px >> 16);
    o[1] = static_cast<unsigned char>(px >> 8);
    o[2] = static_cast<unsigned char>(px);
    if (channels == 4) o[3] = static_cast<unsigned char>(px >> 24);
  }
  return out;
}

// The pixels of a decoded image must fit 2 GB, as stb demands of its own.
bool FitsPixelLimit(std::uint64_t w, std::uint64_t h) {
  return w > 0 && h > 0 && w <= CORVINA_MAX_IMAGE_SIDE && h <= CORVINA_MAX_IMAGE_SIDE && w * h * 4 <= INT32_MAX;
}

bool IsJpeg(const std::uint8_t* d, std::size_t n) { return n >= 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF; }

struct TJpegError {
  jpeg_error_mgr Manager;
  std::jmp_buf Jump;
  char Text[JMSG_LENGTH_MAX];
};

[[noreturn]] void JpegErrorExit(j_common_ptr info) {
  auto* error = reinterpret_cast<TJpegError*>(info->err);
  (*info->err->format_message)(info, error->Text);
  std::longjmp(error->Jump, 1);
}

void JpegQuiet(j_common_ptr) {}  // warnings (a truncated file) still give a picture

// libjpeg reports errors by longjmp, so every object with a destructor lives
// before the setjmp and nothing is constructed after it.
TDecodedImage DecodeJpeg(const std::uint8_t* data, std::size_t size, const String& name) {
  TDecodedImage image;
  jpeg_decompress_struct info{};
  TJpegError error{};
  info.err = jpeg_std_error(&error.Manager);
  error.Manager.error_exit = JpegErrorExit;
  error.Manager.output_message = JpegQuiet;
  bool tooLarge = false;
  if (setjmp(error.Jump) == 0) {
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&info, TRUE);
    tooLarge = !FitsPixelLimit(info.image_width, info.image_height);
    if (!tooLarge) {
      const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
      info.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
      jpeg_start_decompress(&info);
      image.Width = static_cast<std::int32_t>(info.output_width);
      image.Height = static_cast<std::int32_t>(info.output_height);
      image.Pixels.resize(std::size_t(image.Width) * std::size_t(image.Height));
      while (info.output_scanline < info.output_height) {
        JSAMPROW row = reinterpret_cast<JSAMPROW>(image.Pixels.data() + std::size_t(info.output_scanline) * image.Width);
        jpeg_read_scanlines(&info, &row, 1);
      }
      if (cmyk) {
        // Adobe writes CMYK inverted: each channel is already 255 - ink.
        for (std::uint32_t& px : image.Pixels) {
          const std::uint32_t c = px & 0xFF, m = px >> 8 & 0xFF, y = px >> 16 & 0xFF, k = px >> 24;
          px = 0xFF000000u | (c * k / 255) << 16 | (m * k / 255) << 8 | (y * k / 255);
        }
      }
      jpeg_finish_decompress(&info);
    }
    jpeg_destroy_decompress(&info);
  } else {
    jpeg_destroy_decompress(&info);
    throw Exception(Format(u"Cannot load image \"%s\": %s", name, System::UTF8ToString(error.Text)));
  }
  if (tooLarge) throw Exception(Format(u"Cannot load image \"%s\": the picture is too large", name));
  return image;
}

// stb_image grows its buffer to a PNG chunk's declared length before it reads
// the chunk, so a 100-byte file could claim a gigabyte. A chunk longer than
// what follows it in the file cannot be read anyway: refuse it up front.
bool PngChunksFitFile(const std::uint8_t* d, std::size_t n) {
  static constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  if (n < 8 || std::memcmp(d, kSignature, 8) != 0) return true;
  for (std::size_t i = 8; i + 8 <= n;) {
    const std::size_t length = std::size_t(d[i]) << 24 | std::size_t(d[i + 1]) << 16 | std::size_t(d[i + 2]) << 8 | d[i + 3];
    if (length > n - i - 8) return false;
    if (std::memcmp(d + i + 4, "IEND", 4) == 0) break;
    i += 12 + length;
  }
  return true;
}

}  // namespace

TDecodedImage ReadImageFile(const String& fileName) {
  System::Classes::TFileStream file(fileName, System::Classes::fmOpenRead);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(file.Size()));
  file.ReadBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  return DecodeImage(bytes.data(), bytes.size(), fileName);
}

TDecodedImage DecodeImage(const std::uint8_t* data, std::size_t size, const String& name) {
  if (size > std::size_t(INT32_MAX)) {
    throw Exception(Format(u"Cannot load image \"%s\": the file is larger than 2 GB", name));
  }
  if (IsJpeg(data, size)) return DecodeJpeg(data, size, name);
  if (!PngChunksFitFile(data, size)) {
    throw Exception(Format(u"Cannot load image \"%s\": a PNG chunk runs past the end of the file", name));
  }
  int w = 0, h = 0, channels = 0;
  std::unique_ptr<stbi_uc, void (*)(void*)> rgba(
      stbi_load_from_memory(data, static_cast<int>(size), &w, &h, &channels, 4), stbi_image_free);
  if (!rgba) {
    throw Exception(Format(u"Cannot load image \"%s\": %s", name, System::UTF8ToString(stbi_failure_reason())));
  }
  TDecodedImage image;
  image.Width = w;
  image.Height = h;
  image.Pixels.resize(std::size_t(w) * std::size_t(h));
  const stbi_uc* p = rgba.get();
  for (std::uint32_t& px : image.Pixels) {
    px = std::uint32_t(p[3]) << 24 | std::uint32_t(p[0]) << 16 | std::uint32_t(p[1]) << 8 | p[2];
    p += 4;
  }
  return image;
}

void WriteImageFile(const String& fileName, std::int32_t width, std::int32_t height, const std::uint32_t* pixels) {
  const TFormat format = FormatForSaving(fileName);
  if (width <= 0 || height <= 0) {
    throw Exception(Format(u"Cannot save image \"%s\": the bitmap is empty (%d x %d)", fileName, width, height));
  }
  const std::size_t count = std::size_t(width) * std::size_t(height);
  std::vector<unsigned char> encoded;
  int ok = 0;
  switch (format) {
    case TFormat::Png: {
      const auto rgba = ToRgb(pixels, count, 4);
      ok = stbi_write_png_to_func(CollectBytes, &encoded, width, height, 4, rgba.data(), width * 4);
      break;
    }
    case TFormat::Jpeg: {
      const auto rgb = ToRgb(pixels, count, 3);
      ok = stbi_write_jpg_to_func(CollectBytes, &encoded, width, height, 3, rgb.data(), 95);
      break;
    }
    case TFormat::Bmp: {
      const auto rgba = ToRgb(pixels, count, 4);
      ok = stbi_write_bmp_to_func(CollectBytes, &encoded, width, height, 4, rgba.data());
      break;
    }
  }
  if (!ok) throw Exception(Format(u"Cannot save image \"%s\": the encoder failed", fileName));

  System::Classes::TFileStream file(fileName, System::Classes::fmCreate);
  file.WriteBuffer(encoded.data(), static_cast<std::int64_t>(encoded.size()));
  file.Close();
}

}  // namespace Fmx::Graphics::Detail
