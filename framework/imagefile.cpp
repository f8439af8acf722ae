#include "framework/imagefile.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#if defined(_WIN32)
#include "framework/jpeg_wic.h"
#else
#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>
#endif

#include "framework/exceptions.h"
#include "framework/streams.h"

// JPEG files are decoded by libjpeg-turbo (by the system's imaging component
// on Windows, where Debian packages no libjpeg): fuzzing showed Debian's stb_image
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

// ---- limits, the same for loading and saving ----

// A picture's pixels must fit 2 GB, as stb demands of its own buffers.
constexpr std::uint64_t kMaxPixels = INT32_MAX / 4;
constexpr std::uint64_t kMaxSide = CORVINA_MAX_IMAGE_SIDE;
// libjpeg refuses sides above 65500 (JPEG_MAX_DIMENSION), though the format
// stores 65535: what we write must be what we can read.
constexpr std::uint64_t kJpegMaxSide = 65500;
// stb_image_write deflates PNG rows with int counts, and its output may be
// 1/8 larger than the input: 450 M pixels keep both below 2^31.
constexpr std::uint64_t kPngMaxPixels = 450'000'000;
// stb_image_write puts the BMP file size (pixels plus a 122-byte header) in an int.
constexpr std::uint64_t kBmpMaxPixels = (INT32_MAX - 122) / 4;

enum class TFormat { Png, Jpeg, Bmp };

const char16_t* NameOf(TFormat format) {
  switch (format) {
    case TFormat::Png: return u"PNG";
    case TFormat::Jpeg: return u"JPEG";
    case TFormat::Bmp: return u"BMP";
  }
  return u"?";
}

[[noreturn]] void LoadError(const String& name, const String& what) {
  throw Exception(Format(u"Cannot load image \"%s\": %s", name, what));
}

// Every format refuses a file that ends before its picture is complete.
[[noreturn]] void Truncated(const String& name, TFormat format) {
  LoadError(name, Format(u"the %s file is truncated: it ends before the picture is complete", NameOf(format)));
}

void CheckLoadSize(const String& name, TFormat format, std::uint64_t w, std::uint64_t h) {
  if (w == 0 || h == 0) LoadError(name, Format(u"the %s picture has no pixels (%d x %d)", NameOf(format), w, h));
  if (w > kMaxSide || h > kMaxSide || w * h > kMaxPixels) {
    LoadError(name, Format(u"the %s picture is %d x %d pixels, more than a bitmap holds (%d pixels, %d a side)",
                           NameOf(format), w, h, kMaxPixels, kMaxSide));
  }
}

// ---- saving ----

String ExtensionOf(const String& fileName) {
  // By hand rather than with std::filesystem, which throws its own
  // exception for a name that is not valid UTF-16.
  const std::size_t slash = fileName.find_last_of(u'/');
  const std::size_t dot = fileName.find_last_of(u'.');
  if (dot == String::npos || (slash != String::npos && dot < slash) || dot == (slash == String::npos ? 0 : slash + 1)) {
    return {};
  }
  return System::Sysutils::LowerCase(std::u16string_view(fileName).substr(dot));
}

TFormat FormatForSaving(const String& fileName) {
  const String ext = ExtensionOf(fileName);
  if (ext == u".png") return TFormat::Png;
  if (ext == u".jpg" || ext == u".jpeg") return TFormat::Jpeg;
  if (ext == u".bmp") return TFormat::Bmp;
  throw Exception(Format(u"Cannot save image \"%s\": unknown extension \"%s\" (use .png, .jpg, .jpeg or .bmp)",
                         fileName, ext));
}

// Checked before any encoding: past these the encoder overflows its int
// counts (a crash or a wrong file) or writes what no reader takes back.
void CheckSaveSize(const String& fileName, TFormat format, std::int32_t width, std::int32_t height) {
  const std::uint64_t w = std::uint64_t(width), h = std::uint64_t(height);
  const std::uint64_t maxSide = format == TFormat::Jpeg ? kJpegMaxSide : kMaxSide;
  const std::uint64_t maxPixels = format == TFormat::Png ? kPngMaxPixels : format == TFormat::Bmp ? kBmpMaxPixels : kMaxPixels;
  if (w > maxSide || h > maxSide) {
    throw Exception(Format(u"Cannot save image \"%s\": %d x %d is too large for a %s file (at most %d pixels a side)",
                           fileName, w, h, NameOf(format), maxSide));
  }
  if (w * h > maxPixels) {
    throw Exception(Format(u"Cannot save image \"%s\": %d x %d is too large for a %s file (at most %d pixels)",
                           fileName, w, h, NameOf(format), maxPixels));
  }
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

// ---- loading ----

bool IsJpeg(const std::uint8_t* d, std::size_t n) { return n >= 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF; }
bool IsBmp(const std::uint8_t* d, std::size_t n) { return n >= 2 && d[0] == 'B' && d[1] == 'M'; }
bool IsPng(const std::uint8_t* d, std::size_t n) {
  static constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  return n >= 8 && std::memcmp(d, kSignature, 8) == 0;
}

std::uint32_t Le32(const std::uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24; }
std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

#if defined(_WIN32)

TDecodedImage DecodeJpeg(const std::uint8_t* data, std::size_t size, const String& name) {
  TSystemJpeg decoded = DecodeJpegWithSystem(data, size, kMaxSide, kMaxPixels);
  switch (decoded.Outcome) {
    case TSystemJpegOutcome::Done: break;
    case TSystemJpegOutcome::EndedEarly: Truncated(name, TFormat::Jpeg);
    case TSystemJpegOutcome::Empty:
    case TSystemJpegOutcome::TooLarge: CheckLoadSize(name, TFormat::Jpeg, decoded.Width, decoded.Height); break;
    case TSystemJpegOutcome::Failed:
      LoadError(name, Format(u"damaged or unsupported JPEG data (%s)", System::UTF8ToString(decoded.Text)));
  }
  TDecodedImage image;
  image.Width = static_cast<std::int32_t>(decoded.Width);
  image.Height = static_cast<std::int32_t>(decoded.Height);
  image.Pixels = std::move(decoded.Pixels);
  return image;
}

#else

struct TJpegError {
  jpeg_error_mgr Manager;
  std::jmp_buf Jump;
  char Text[JMSG_LENGTH_MAX];
  bool EndedEarly;
};

[[noreturn]] void JpegErrorExit(j_common_ptr info) {
  auto* error = reinterpret_cast<TJpegError*>(info->err);
  (*info->err->format_message)(info, error->Text);
  std::longjmp(error->Jump, 1);
}

// libjpeg only warns when the data stops early and fills the rest with grey;
// that is a truncated file. Other warnings (stray bytes between markers)
// still give the picture.
void JpegWarning(j_common_ptr info, int level) {
  if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF) reinterpret_cast<TJpegError*>(info->err)->EndedEarly = true;
}

enum class TJpegOutcome { Done, TooLarge, Empty, EndedEarly };

// libjpeg reports errors by longjmp, so every object with a destructor lives
// before the setjmp and nothing is constructed after it.
TDecodedImage DecodeJpeg(const std::uint8_t* data, std::size_t size, const String& name) {
  TDecodedImage image;
  jpeg_decompress_struct info{};
  TJpegError error{};
  info.err = jpeg_std_error(&error.Manager);
  error.Manager.error_exit = JpegErrorExit;
  error.Manager.emit_message = JpegWarning;
  // Set between setjmp and a possible longjmp: volatile keeps them in memory.
  volatile TJpegOutcome outcome = TJpegOutcome::Done;
  volatile std::uint64_t width = 0, height = 0;
  if (setjmp(error.Jump) == 0) {
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&info, TRUE);
    width = info.image_width;
    height = info.image_height;
    if (width == 0 || height == 0) {
      outcome = TJpegOutcome::Empty;
    } else if (width > kMaxSide || height > kMaxSide || width * height > kMaxPixels) {
      outcome = TJpegOutcome::TooLarge;
    } else {
      const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
      info.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
      jpeg_start_decompress(&info);
      image.Width = static_cast<std::int32_t>(info.output_width);
      image.Height = static_cast<std::int32_t>(info.output_height);
      image.Pixels.resize(std::size_t(image.Width) * std::size_t(image.Height), 0u);
      while (info.output_scanline < info.output_height && !error.EndedEarly) {
        JSAMPROW row = reinterpret_cast<JSAMPROW>(image.Pixels.data() + std::size_t(info.output_scanline) * image.Width);
        jpeg_read_scanlines(&info, &row, 1);
      }
      if (error.EndedEarly) {
        outcome = TJpegOutcome::EndedEarly;
      } else {
        if (cmyk) {
          // Adobe writes CMYK inverted: each channel is already 255 - ink.
          for (std::uint32_t& px : image.Pixels) {
            const std::uint32_t c = px & 0xFF, m = px >> 8 & 0xFF, y = px >> 16 & 0xFF, k = px >> 24;
            px = 0xFF000000u | (c * k / 255) << 16 | (m * k / 255) << 8 | (y * k / 255);
          }
        }
        jpeg_finish_decompress(&info);
      }
    }
    jpeg_destroy_decompress(&info);
  } else {
    jpeg_destroy_decompress(&info);
    // A file cut inside its header ends in an error, not a warning.
    const int code = error.Manager.msg_code;
    if (error.EndedEarly || code == JERR_INPUT_EMPTY || code == JERR_INPUT_EOF) Truncated(name, TFormat::Jpeg);
    LoadError(name, Format(u"damaged or unsupported JPEG data (%s)", System::UTF8ToString(error.Text)));
  }
  switch (outcome) {
    case TJpegOutcome::Done: break;
    case TJpegOutcome::EndedEarly: Truncated(name, TFormat::Jpeg);
    case TJpegOutcome::Empty:
    case TJpegOutcome::TooLarge: CheckLoadSize(name, TFormat::Jpeg, width, height);
  }
  return image;
}

#endif

enum class TPngLayout { Complete, ChunkPastEnd, NoEnd };

// stb_image grows its buffer to a PNG chunk's declared length before it reads
// the chunk, so a 100-byte file could claim a gigabyte; and a file without
// its end chunk reaches stb's chunk reader as zero bytes of an "unknown
// chunk". Both are files cut short, found here before stb sees them.
TPngLayout PngLayout(const std::uint8_t* d, std::size_t n) {
  for (std::size_t i = 8; i + 8 <= n;) {
    const std::size_t length = std::size_t(d[i]) << 24 | std::size_t(d[i + 1]) << 16 | std::size_t(d[i + 2]) << 8 | d[i + 3];
    if (length > n - i - 8) return TPngLayout::ChunkPastEnd;
    if (std::memcmp(d + i + 4, "IEND", 4) == 0) return TPngLayout::Complete;
    i += 12 + length;
  }
  return TPngLayout::NoEnd;
}

// stb reads zeros past the end of a BMP and shows them as black pixels; the
// header says how many bytes the pixels need, so compare first. Compressed
// kinds other than bit fields are refused by stb itself.
bool BmpComplete(const std::uint8_t* d, std::size_t n) {
  if (n < 18) return false;
  const std::uint32_t offset = Le32(d + 10);
  const std::uint32_t headerSize = Le32(d + 14);
  std::int64_t width = 0, height = 0;
  std::uint32_t bits = 0, compression = 0;
  if (headerSize == 12) {
    if (n < 26) return false;
    width = Le16(d + 18);
    height = Le16(d + 20);
    bits = Le16(d + 24);
  } else {
    if (n < 34) return false;
    width = static_cast<std::int32_t>(Le32(d + 18));
    height = static_cast<std::int32_t>(Le32(d + 22));
    bits = Le16(d + 28);
    compression = Le32(d + 30);
  }
  if (compression != 0 && compression != 3) return true;
  if (width <= 0 || height == 0 || bits == 0 || bits > 32) return true;  // stb gives its own answer
  const std::uint64_t rows = std::uint64_t(std::llabs(height));
  const std::uint64_t stride = (std::uint64_t(width) * bits + 31) / 32 * 4;
  const std::uint64_t lastRow = (std::uint64_t(width) * bits + 7) / 8;
  return std::uint64_t(offset) + stride * (rows - 1) + lastRow <= n;
}

// The size the header states, checked before anything else is read.
void CheckStbHeader(const std::uint8_t* data, std::size_t size, const String& name, TFormat format) {
  int w = 0, h = 0, channels = 0;
  if (stbi_info_from_memory(data, static_cast<int>(size), &w, &h, &channels)) {
    CheckLoadSize(name, format, std::uint64_t(std::max(w, 0)), std::uint64_t(std::max(h, 0)));
  }
}

TDecodedImage DecodeWithStb(const std::uint8_t* data, std::size_t size, const String& name, TFormat format) {
  int w = 0, h = 0, channels = 0;
  std::unique_ptr<stbi_uc, void (*)(void*)> rgba(
      stbi_load_from_memory(data, static_cast<int>(size), &w, &h, &channels, 4), stbi_image_free);
  if (!rgba) {
    LoadError(name, Format(u"damaged or unsupported %s data (%s)", NameOf(format),
                           System::UTF8ToString(stbi_failure_reason())));
  }
  CheckLoadSize(name, format, std::uint64_t(w), std::uint64_t(h));
  TDecodedImage image;
  image.Width = w;
  image.Height = h;
  image.Pixels.resize(std::size_t(w) * std::size_t(h), 0u);
  const stbi_uc* p = rgba.get();
  for (std::uint32_t& px : image.Pixels) {
    px = std::uint32_t(p[3]) << 24 | std::uint32_t(p[0]) << 16 | std::uint32_t(p[1]) << 8 | p[2];
    p += 4;
  }
  return image;
}

constexpr std::int64_t kMaxFileBytes = INT32_MAX;

// What a stream that cannot seek may send before its picture's size is known
// (a JPEG may put metadata before its frame header), and what a picture may
// take beyond 8 bytes a pixel (16-bit RGBA PNG, the widest we decode): room
// for metadata and for compression that does not pay off.
constexpr std::uint64_t kHeaderRoom = 4u << 20;
constexpr std::uint64_t kMetadataRoom = 4u << 20;

std::uint32_t Be32(const std::uint8_t* p) { return std::uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

struct TAnnounced {
  TFormat Format;
  std::uint64_t Width, Height;
  std::uint64_t Skip;  // bytes the header places before the pixels (BMP)
};

// The size the frame header of a JPEG states: its SOF segment, which comes
// before the first scan.
std::optional<TAnnounced> JpegAnnounced(const std::uint8_t* d, std::size_t n) {
  std::size_t i = 2;
  while (i + 4 <= n) {
    if (d[i] != 0xFF) return std::nullopt;  // not a marker: the decoder will say what is wrong
    const std::uint8_t marker = d[i + 1];
    if (marker == 0xFF) {  // fill byte
      ++i;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length
      i += 2;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) return std::nullopt;  // a scan before any frame header
    const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame) {
      if (i + 9 > n) return std::nullopt;
      return TAnnounced{TFormat::Jpeg, Be16(d + i + 7), Be16(d + i + 5), 0};
    }
    i += 2 + Be16(d + i + 2);
  }
  return std::nullopt;
}

// The picture size a stream's first bytes announce, once they are there.
std::optional<TAnnounced> Announced(const std::uint8_t* d, std::size_t n) {
  if (IsPng(d, n)) {
    if (n < 24 || std::memcmp(d + 12, "IHDR", 4) != 0) return std::nullopt;
    return TAnnounced{TFormat::Png, Be32(d + 16), Be32(d + 20), 0};
  }
  if (IsBmp(d, n)) {
    if (n < 26) return std::nullopt;
    const std::uint32_t headerSize = Le32(d + 14);
    if (headerSize == 12) return TAnnounced{TFormat::Bmp, Le16(d + 18), Le16(d + 20), Le32(d + 10)};
    const auto height = static_cast<std::int32_t>(Le32(d + 22));
    return TAnnounced{TFormat::Bmp, std::uint64_t(std::max(static_cast<std::int32_t>(Le32(d + 18)), 0)),
                      std::uint64_t(std::llabs(height)), Le32(d + 10)};
  }
  if (IsJpeg(d, n)) return JpegAnnounced(d, n);
  return std::nullopt;
}

// The whole file, refused before reading when the system knows it is over
// 2 GB. A stream that cannot seek is read until it ends, but no further than
// the picture its header announces can take: a pipe that keeps sending after
// a valid header is refused within megabytes, not after 2 GB.
std::vector<std::uint8_t> ReadWholeFile(const String& fileName) {
  System::Classes::TFileStream file(fileName, System::Classes::fmOpenRead);
  std::vector<std::uint8_t> bytes;
  if (file.CanSeek()) {
    const std::int64_t size = file.Size();
    if (size > kMaxFileBytes) LoadError(fileName, u"the file is larger than 2 GB");
    bytes.resize(static_cast<std::size_t>(size));
    file.ReadBuffer(bytes.data(), size);
    return bytes;
  }
  constexpr std::size_t kChunk = 1 << 20;
  std::optional<TAnnounced> announced;
  std::uint64_t limit = kHeaderRoom;
  for (;;) {
    const std::size_t had = bytes.size();
    bytes.resize(had + kChunk);
    const std::int64_t got = file.Read(bytes.data() + had, kChunk);
    bytes.resize(had + static_cast<std::size_t>(got));
    if (got == 0) return bytes;
    // A device such as /dev/zero never ends: what is not an image is
    // refused from its first bytes.
    if (had == 0 && !IsJpeg(bytes.data(), bytes.size()) && !IsPng(bytes.data(), bytes.size()) &&
        !IsBmp(bytes.data(), bytes.size())) {
      LoadError(fileName, u"not a PNG, JPEG or BMP file");
    }
    if (!announced && (announced = Announced(bytes.data(), bytes.size()))) {
      // Refused from the header, as from a file's; a picture without pixels
      // is left to the decoder, which names what is wrong.
      if (announced->Width > kMaxSide || announced->Height > kMaxSide ||
          announced->Width * announced->Height > kMaxPixels) {
        CheckLoadSize(fileName, announced->Format, announced->Width, announced->Height);
      }
      limit = std::min<std::uint64_t>(announced->Skip + announced->Width * announced->Height * 8 + kMetadataRoom,
                                      std::uint64_t(kMaxFileBytes));
    }
    if (bytes.size() > limit) {
      if (!announced) {
        LoadError(fileName, Format(u"the stream states no picture size in its first %d bytes", kHeaderRoom));
      }
      LoadError(fileName, Format(u"the stream goes on past the %d bytes that a %d x %d %s picture can take", limit,
                                 announced->Width, announced->Height, NameOf(announced->Format)));
    }
  }
}

}  // namespace

TDecodedImage ReadImageFile(const String& fileName) {
  const std::vector<std::uint8_t> bytes = ReadWholeFile(fileName);
  return DecodeImage(bytes.data(), bytes.size(), fileName);
}

TDecodedImage DecodeImage(const std::uint8_t* data, std::size_t size, const String& name) {
  if (size > std::size_t(kMaxFileBytes)) LoadError(name, u"the file is larger than 2 GB");
  if (size == 0) LoadError(name, u"the file is empty");
  if (IsJpeg(data, size)) return DecodeJpeg(data, size, name);
  if (IsPng(data, size)) {
    if (PngLayout(data, size) != TPngLayout::Complete) Truncated(name, TFormat::Png);
    CheckStbHeader(data, size, name, TFormat::Png);
    return DecodeWithStb(data, size, name, TFormat::Png);
  }
  if (IsBmp(data, size)) {
    CheckStbHeader(data, size, name, TFormat::Bmp);
    if (!BmpComplete(data, size)) Truncated(name, TFormat::Bmp);
    return DecodeWithStb(data, size, name, TFormat::Bmp);
  }
  LoadError(name, u"not a PNG, JPEG or BMP file");
}

void WriteImageFile(const String& fileName, std::int32_t width, std::int32_t height, const std::uint32_t* pixels) {
  const TFormat format = FormatForSaving(fileName);
  if (width <= 0 || height <= 0) {
    throw Exception(Format(u"Cannot save image \"%s\": the bitmap is empty (%d x %d)", fileName, width, height));
  }
  CheckSaveSize(fileName, format, width, height);
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
  if (!ok) throw Exception(Format(u"Cannot save image \"%s\": the %s encoder failed", fileName, NameOf(format)));

  System::Classes::TFileStream file(fileName, System::Classes::fmCreate);
  file.WriteBuffer(encoded.data(), static_cast<std::int64_t>(encoded.size()));
  file.Close();
}

}  // namespace Fmx::Graphics::Detail
