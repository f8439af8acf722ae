// Decodes the input as a PNG, JPEG or BMP file the way TBitmap.LoadFromFile
// does. A bad file must raise; any other must give exactly width x height
// pixels.
#include <cstddef>
#include <cstdint>

#include "framework/exceptions.h"
#include "framework/imagefile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  try {
    const auto image = Fmx::Graphics::Detail::DecodeImage(data, size, u"fuzz");
    const auto expected = static_cast<std::size_t>(image.Width) * static_cast<std::size_t>(image.Height);
    if (image.Width < 0 || image.Height < 0 || image.Pixels.size() != expected) __builtin_trap();
  } catch (const System::Sysutils::Exception&) {
  }
  return 0;
}
