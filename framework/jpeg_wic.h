// JPEG decoding on Windows through the system's Windows Imaging Component,
// which Wine implements too. Internal to the framework layer's image files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "framework/pixel_memory.h"

namespace Fmx::Graphics::Detail {

enum class TSystemJpegOutcome { Done, Empty, TooLarge, EndedEarly, Failed };

struct TSystemJpeg {
  TSystemJpegOutcome Outcome = TSystemJpegOutcome::Failed;
  std::uint64_t Width = 0, Height = 0;
  TPixelVector Pixels;  // B, G, R, A; filled only when Outcome is Done
  std::string Text;     // what the codec said when it failed
};

// maxSide and maxPixels are checked from the frame header, before any pixel
// is decoded.
TSystemJpeg DecodeJpegWithSystem(const std::uint8_t* data, std::size_t size, std::uint64_t maxSide,
                                 std::uint64_t maxPixels);

}  // namespace Fmx::Graphics::Detail
