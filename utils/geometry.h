// Where a bitmap shown scaled-to-fit in a view lands, and which bitmap pixel
// a view position points at.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include "framework/graphics.h"
#include "framework/types.h"

namespace Utils {

// Fits R into BoundsRect keeping R's aspect ratio, with the computed side
// made even, and centres it there. Returns R's aspect ratio on entry; bounds
// of zero area return 1.0 and leave R as it was. An R of zero width or height
// raises.
float FitRect2(System::Types::TRectF& R, const System::Types::TRectF& BoundsRect);

// The bitmap pixel under (X, Y) when the bitmap is shown fitted into
// ViewRect as FitRect2 places it. Not clamped: points beside the picture give
// positions outside the bitmap. A bitmap of zero width or height raises.
System::Types::TPointF ClientToBitmap(const Fmx::Graphics::TBitmap& Bitmap, const System::Types::TRectF& ViewRect,
                                      float X, float Y);

}  // namespace Utils
