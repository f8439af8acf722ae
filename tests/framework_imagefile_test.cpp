// Image files met with hostile intent: sizes the encoders cannot hold, files
// cut short, palettes too short for their indices, names and files the
// system would misread.
#include "framework/imagefile.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <csignal>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "framework/exceptions.h"
#include "framework/graphics.h"
#include "framework/streams.h"
#include "tests/support/bitmap_support.h"
#include "tests/support/test_support.h"

using namespace Corvina::Testing;
using Fmx::Graphics::TBitmap;
using System::String;
using System::Sysutils::Format;
using System::Uitypes::TAlphaColor;

namespace {

Bytes Be32(std::uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }
Bytes Le32(std::uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
Bytes Le16(std::uint16_t v) { return {char(v), char(v >> 8)}; }

Bytes PngChunk(const char* kind, const Bytes& payload) { return Be32(std::uint32_t(payload.size())) + kind + payload + Be32(0); }

// Rows go into one stored (uncompressed) deflate block; the decoder does not
// check CRCs, so they stay 0.
Bytes PalettePng(std::uint32_t width, std::uint32_t height, std::uint8_t depth, const Bytes& palette,
                 const std::vector<Bytes>& rows) {
  Bytes raw;
  for (const Bytes& row : rows) raw += '\0' + row;
  std::uint32_t a = 1, b = 0;
  for (const unsigned char c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  const Bytes zlib = Bytes("\x78\x01\x01", 3) + Le16(std::uint16_t(raw.size())) + Le16(std::uint16_t(~raw.size())) +
                     raw + Be32(b << 16 | a);
  const Bytes header = Be32(width) + Be32(height) + char(depth) + Bytes("\x03\0\0\0", 4);
  return Bytes("\x89PNG\r\n\x1A\n", 8) + PngChunk("IHDR", header) + PngChunk("PLTE", palette) +
         PngChunk("IDAT", zlib) + PngChunk("IEND", "");
}

// An uncompressed BMP with a BITMAPINFOHEADER; rows bottom-up as the file has them.
Bytes Bmp(std::int32_t width, std::int32_t height, std::uint16_t bits, const Bytes& palette, const Bytes& pixels) {
  const std::uint32_t offset = 14 + 40 + std::uint32_t(palette.size());
  const Bytes info = Le32(40) + Le32(std::uint32_t(width)) + Le32(std::uint32_t(height)) + Le16(1) + Le16(bits) +
                     Le32(0) + Le32(std::uint32_t(pixels.size())) + Le32(2835) + Le32(2835) +
                     Le32(std::uint32_t(palette.size() / 4)) + Le32(0);
  return "BM" + Le32(offset + std::uint32_t(pixels.size())) + Le32(0) + Le32(offset) + info + palette + pixels;
}

String LoadMessage(const TempDir& dir, const char* name, const Bytes& bytes) {
  WriteFileBytes(dir.Path(name), bytes);
  TBitmap bmp(1, 1);
  return MessageOf([&] { bmp.LoadFromFile(dir.File(name)); });
}

}  // namespace

TEST(ImageFileSaving, SizesTheFormatCannotHoldRaiseBeforeEncoding) {
  TempDir dir;
  struct Case {
    const char* name;
    std::int32_t width, height;
    const char16_t* limit;
  };
  // The pixels are never read: the check comes first.
  const Case cases[] = {
      {"a.bmp", 16384, 32769, u"too large for a BMP file (at most 536870881 pixels)"},
      {"a.jpg", 16384, 43700, u"too large for a JPEG file (at most 536870911 pixels)"},
      {"a.png", 16384, 32769, u"too large for a PNG file (at most 450000000 pixels)"},
      {"a.jpg", 70000, 1, u"too large for a JPEG file (at most 65500 pixels a side)"},
      {"a.jpeg", 1, 65536, u"too large for a JPEG file (at most 65500 pixels a side)"},
      {"a.jpg", 65501, 1, u"too large for a JPEG file (at most 65500 pixels a side)"},
      {"a.png", 16777217, 1, u"too large for a PNG file (at most 16777216 pixels a side)"},
      {"a.bmp", 1, 16777217, u"too large for a BMP file (at most 16777216 pixels a side)"},
  };
  for (const Case& c : cases) {
    const String file = dir.File(c.name);
    EXPECT_EQ(MessageOf([&] { Fmx::Graphics::Detail::WriteImageFile(file, c.width, c.height, nullptr); }),
              Format(u"Cannot save image \"%s\": %d x %d is ", file, c.width, c.height) + c.limit)
        << c.name << " " << c.width << " x " << c.height;
  }
  EXPECT_TRUE(dir.Entries().empty());
}

TEST(ImageFileSaving, TheWidestJpegWeWriteReadsBack) {
  TempDir dir;
  TBitmap wide(65500, 1);
  wide.Clear(0xFF204060u);
  wide.SaveToFile(dir.File("wide.jpg"));
  TBitmap back;
  back.LoadFromFile(dir.File("wide.jpg"));
  EXPECT_EQ(back.Width(), 65500);
  EXPECT_EQ(back.Height(), 1);
}

TEST(ImageFileSaving, NamesTheSystemWouldMisreadRaiseFrameworkErrors) {
  TempDir dir;
  const TBitmap bmp(2, 2);
  const String nul = dir.File("a") + String(1, u'\0') + u"b.png";
  const String lone = dir.File("a") + String(1, char16_t(0xDC00)) + u".png";
  EXPECT_EQ(MessageOf<System::Classes::EFCreateError>([&] { bmp.SaveToFile(nul); }),
            Format(u"Cannot create file \"%s\\0b.png\". The file name holds a NUL character at position %d",
                   dir.File("a"), dir.File("a").size()));
  EXPECT_EQ(MessageOf<System::Classes::EFCreateError>([&] { bmp.SaveToFile(lone); }),
            Format(u"Cannot create file \"%s\". The file name holds a lone UTF-16 surrogate at position %d", lone,
                   dir.File("a").size()));
  EXPECT_TRUE(dir.Entries().empty());  // no file "a", no file with U+FFFD in its name
}

TEST(ImageFileLoading, IndicesPastAShortPaletteDecodeToBlack) {
  TempDir dir;
  struct Case {
    const char* name;
    Bytes bytes;
    std::vector<TAlphaColor> pixels;
  };
  const Case cases[] = {
      // Two entries (red, green); indices 5 and 255 have none: transparent black.
      {"short.png", PalettePng(4, 1, 8, Bytes("\xFF\0\0\0\xFF\0", 6), {Bytes("\x00\x01\x05\xFF", 4)}),
       {0xFFFF0000u, 0xFF00FF00u, 0x00000000u, 0x00000000u}},
      // One entry; 4-bit indices 0 and 15.
      {"short4.png", PalettePng(2, 1, 4, Bytes("\x10\x20\x30", 3), {Bytes("\x0F", 1)}), {0xFF102030u, 0x00000000u}},
      // Two entries (red, blue as B, G, R, 0); BMP pixels are opaque, missing ones black.
      {"short.bmp", Bmp(4, 1, 8, Bytes("\0\0\xFF\0\xFF\0\0\0", 8), Bytes("\x00\x01\x07\xC8", 4)),
       {0xFFFF0000u, 0xFF0000FFu, 0xFF000000u, 0xFF000000u}},
  };
  for (const Case& c : cases) {
    WriteFileBytes(dir.Path(c.name), c.bytes);
    TBitmap bmp;
    bmp.LoadFromFile(dir.File(c.name));
    EXPECT_EQ(Pixels(bmp), c.pixels) << c.name;
  }
}

TEST(ImageFileLoading, FilesCutShortAreRefusedWhateverTheirFormat) {
  TempDir dir;
  TBitmap source(40, 30);
  source.Clear(0xFF336699u);
  source.SaveToFile(dir.File("whole.png"));
  source.SaveToFile(dir.File("whole.jpg"));
  const Bytes png = ReadFileBytes(dir.Path("whole.png"));
  const Bytes jpeg = ReadFileBytes(dir.Path("whole.jpg"));
  const Bytes bmp = Bmp(8, 8, 24, "", Bytes(8 * 24, '\x7F'));
  struct Case {
    const char* name;
    Bytes bytes;
    const char16_t* format;
  };
  const Case cases[] = {
      {"cut.png", png.substr(0, png.size() / 2), u"PNG"},
      {"noend.png", png.substr(0, png.size() - 12), u"PNG"},
      {"cut.jpg", jpeg.substr(0, jpeg.size() * 2 / 3), u"JPEG"},
      {"header.jpg", jpeg.substr(0, 40), u"JPEG"},
      {"header.bmp", bmp.substr(0, 54), u"BMP"},
      {"lastrow.bmp", bmp.substr(0, bmp.size() - 1), u"BMP"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LoadMessage(dir, c.name, c.bytes),
              Format(u"Cannot load image \"%s\": the %s file is truncated: it ends before the picture is complete",
                     dir.File(c.name), c.format))
        << c.name;
  }
  // The whole files load.
  for (const char* name : {"whole.png", "whole.jpg"}) EXPECT_EQ(LoadMessage(dir, name, ReadFileBytes(dir.Path(name))), u"<nothing raised>");
  EXPECT_EQ(LoadMessage(dir, "whole.bmp", bmp), u"<nothing raised>");
}

TEST(ImageFileLoading, MessagesSayWhatIsWrongWithTheFile) {
  TempDir dir;
  struct Case {
    const char* name;
    Bytes bytes;
    const char16_t* what;
  };
  const Case cases[] = {
      {"empty.png", "", u"the file is empty"},
      {"text.png", "not an image at all", u"not a PNG, JPEG or BMP file"},
      {"zero.bmp", Bmp(0, 5, 24, "", ""), u"the BMP picture has no pixels (0 x 5)"},
      {"wide.bmp", Bmp(1 << 20, 1 << 10, 32, "", ""), u"the BMP picture is 1048576 x 1024 pixels, more than a bitmap "
                                                       u"holds (536870911 pixels, 16777216 a side)"},
      {"rle.bmp", Bmp(1, 1, 8, Bytes(4, '\0'), Bytes(4, '\0')).replace(30, 4, Le32(1)),
       u"damaged or unsupported BMP data (BMP type not supported: RLE)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LoadMessage(dir, c.name, c.bytes), Format(u"Cannot load image \"%s\": %s", dir.File(c.name), c.what))
        << c.name;
  }
}

TEST(ImageFileLoading, HugeFilesAreRefusedBeforeReadingAndPipesAreRead) {
  TempDir dir;
  {
    System::Classes::TFileStream sparse(dir.File("huge.png"), System::Classes::fmCreate);
    sparse.SetSize(std::int64_t{3} << 30);  // 3 GB that take no disk space
  }
  TBitmap bmp(1, 1);
  EXPECT_EQ(MessageOf([&] { bmp.LoadFromFile(dir.File("huge.png")); }),
            u"Cannot load image \"" + dir.File("huge.png") + u"\": the file is larger than 2 GB");

  TBitmap source(3, 2);
  Fill(source, {0xFF010203u, 0xFF040506u, 0xFF070809u, 0xFF0A0B0Cu, 0xFF0D0E0Fu, 0xFF101112u});
  source.SaveToFile(dir.File("small.png"));
#if !defined(_WIN32)  // FIFOs and /dev/zero are files on POSIX systems only
  ASSERT_EQ(::mkfifo(dir.Path("pipe").c_str(), 0600), 0);
  std::thread writer([&] { WriteFileBytes(dir.Path("pipe"), ReadFileBytes(dir.Path("small.png"))); });
  bmp.LoadFromFile(dir.File("pipe"));
  writer.join();
  EXPECT_EQ(Pixels(bmp), Pixels(source));

  // Endless devices are refused from their first bytes.
  for (const char16_t* device : {u"/dev/zero"}) {
    EXPECT_EQ(MessageOf([&] { bmp.LoadFromFile(device); }),
              u"Cannot load image \"" + String(device) + u"\": not a PNG, JPEG or BMP file");
  }
#endif
}

#if !defined(_WIN32)  // FIFOs are files on POSIX systems only

namespace {

// Sends Header down the FIFO, then Unit over and over until the reader goes
// away: a pipe that never ends.
void FeedEndlessly(const std::filesystem::path& fifo, const Bytes& header, const Bytes& unit) {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);  // a closed reader gives EPIPE here, not the signal
  const int fd = ::open(fifo.c_str(), O_WRONLY);
  if (fd < 0) return;
  Bytes burst = header;
  while (burst.size() < (1u << 20)) burst += unit;
  for (std::size_t sent = 0;;) {
    const ssize_t n = ::write(fd, burst.data() + sent, burst.size() - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    sent += std::size_t(n);
    if (sent == burst.size()) {
      burst.clear();
      while (burst.size() < (1u << 20)) burst += unit;
      sent = 0;
    }
  }
  ::close(fd);
  const timespec now{0, 0};
  sigtimedwait(&pipe, nullptr, &now);  // the pending SIGPIPE, if one was raised
}

Bytes Be16(std::uint16_t v) { return {char(v >> 8), char(v)}; }

}  // namespace

TEST(ImageFileLoading, EndlessPipesAreRefusedAtWhatTheirHeaderAnnounces) {
  TempDir dir;
  const Bytes pngHeader = Bytes("\x89PNG\r\n\x1A\n", 8) +
                          PngChunk("IHDR", Be32(16) + Be32(16) + Bytes("\x08\x06\0\0\0", 5));
  const Bytes bmpHeader = "BM" + Le32(0) + Le32(0) + Le32(54) + Le32(40) + Le32(16) + Le32(16) + Le16(1) + Le16(32);
  const Bytes jpegSof = Bytes("\xFF\xD8", 2) + Bytes("\xFF\xE0", 2) + Be16(16) + Bytes(14, 'J') +  // an APP0 first
                        Bytes("\xFF\xC0", 2) + Be16(17) + char(8) + Be16(16) + Be16(16) + char(3);
  const Bytes app1 = Bytes("\xFF\xE1\xFF\xFF", 4) + Bytes(65533, 'x');  // metadata without end
  const std::uint64_t room = 4u << 20;
  struct Case {
    const char* name;
    Bytes header, unit;
    String what;
  };
  const Case cases[] = {
      {"png", pngHeader, Bytes(4096, '\0'),
       Format(u"the stream goes on past the %d bytes that a 16 x 16 PNG picture can take", 16 * 16 * 8 + room)},
      {"bmp", bmpHeader, Bytes(4096, '\x7F'),
       Format(u"the stream goes on past the %d bytes that a 16 x 16 BMP picture can take", 54 + 16 * 16 * 8 + room)},
      {"jpeg", jpegSof, Bytes(4096, '\x55'),
       Format(u"the stream goes on past the %d bytes that a 16 x 16 JPEG picture can take", 16 * 16 * 8 + room)},
      {"jpeg without a frame header", Bytes("\xFF\xD8", 2), app1,
       Format(u"the stream states no picture size in its first %d bytes", std::uint64_t(4) << 20)},
      {"png larger than a bitmap", Bytes("\x89PNG\r\n\x1A\n", 8) +
                                       PngChunk("IHDR", Be32(100000) + Be32(100000) + Bytes("\x08\x06\0\0\0", 5)),
       Bytes(4096, '\0'),
       u"the PNG picture is 100000 x 100000 pixels, more than a bitmap holds (536870911 pixels, 16777216 a side)"},
  };
  for (const Case& c : cases) {
    const std::filesystem::path fifo = dir.Path(c.name);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0) << c.name;
    std::thread feeder(FeedEndlessly, fifo, c.header, c.unit);
    TBitmap bmp(1, 1);
    const String name = dir.File(c.name);
    EXPECT_EQ(MessageOf([&] { bmp.LoadFromFile(name); }), Format(u"Cannot load image \"%s\": %s", name, c.what))
        << c.name;
    feeder.join();
    EXPECT_EQ(bmp.Width(), 1) << c.name;  // the bitmap is left as it was
  }
}
#endif
