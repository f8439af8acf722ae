// Decodes the input as a PNG, JPEG or BMP file the way TBitmap.LoadFromFile
// does. A bad file must raise; any other must give exactly width x height
// pixels, every one of them defined: the branch on their sum makes valgrind
// report a pixel made of uninitialised memory (tests replay the corpus so).
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "framework/exceptions.h"
#include "framework/imagefile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  try {
    const auto image = Fmx::Graphics::Detail::DecodeImage(data, size, u"fuzz");
    const auto expected = static_cast<std::size_t>(image.Width) * static_cast<std::size_t>(image.Height);
    if (image.Width <= 0 || image.Height <= 0 || image.Pixels.size() != expected) __builtin_trap();
    std::uint32_t sum = 0;
    for (const std::uint32_t px : image.Pixels) sum = sum * 31u + px;
    if (sum == 0x5EED5EEDu) std::puts("");
  } catch (const System::Sysutils::Exception&) {
  }
  return 0;
}
