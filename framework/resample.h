// Scaled drawing of one pixel block onto another, shared by TCanvas and
// TBitmap::Resize. Internal to the framework layer.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>

#include "framework/types.h"

namespace Fmx::Graphics::Detail {

// Rows follow one another without padding; pixels are B, G, R, A bytes.
struct TPixelSource {
  const std::uint32_t* Data;
  std::int32_t Width;
  std::int32_t Height;
};

struct TPixelTarget {
  std::uint32_t* Data;
  std::int32_t Width;
  std::int32_t Height;
};

enum class TFilter { Nearest, Smooth };
enum class TBlend { Replace, SourceOver };

// Draws SrcRect of Source scaled into DstRect of Target (both in pixel-edge
// coordinates). SrcRect is clipped to the source and DstRect shrunk with it,
// so parts outside the source draw nothing; a target pixel is drawn when its
// centre lies in DstRect. Smooth shrinking averages the covered area (with
// alpha weighting, so transparent pixels leave no dark fringe); smooth
// enlarging interpolates linearly between pixel centres. Unscaled draws at
// whole-pixel offsets copy the pixels exactly. Returns the target pixels
// drawn (empty when none), all of which a Replace draw has written.
System::Types::TRect DrawScaled(const TPixelSource& Source, const System::Types::TRectF& SrcRect,
                                const TPixelTarget& Target, const System::Types::TRectF& DstRect, float Opacity,
                                TFilter Filter, TBlend Blend);

}  // namespace Fmx::Graphics::Detail
