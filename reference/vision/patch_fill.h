// Exemplar-based filling for object removal: the marked region is rebuilt
// from square patches copied out of the rest of the picture, coarse to fine,
// so that edges and texture run on into it instead of being averaged away.
#pragma once

#include <opencv2/core.hpp>

namespace Corvina::Reference::Vision {

// bgr: 8-bit B, G, R. region: 8-bit, non-zero where the picture is rebuilt.
// radius: half the side of the patches, less one (4 gives 9x9). The result
// equals bgr outside region and depends on nothing but the arguments. Only
// the hole's surroundings are read, and a very large stretch is filled at a
// smaller size. Empty when too little of the picture is known to copy from
// (no whole patch, or none at a scale where the hole is shallow), or when the
// hole is so thin or scattered that patches would cost many times what
// Telea's diffusion does.
cv::Mat FillFromPatches(const cv::Mat& bgr, const cv::Mat& region, int radius);

// bgr with the region given the mean of the rest. OpenCV's Telea and
// Navier-Stokes read the hole's own pixels next to a known frame one pixel
// wide at the picture's edge, and brought back what was marked.
cv::Mat Unmarked(const cv::Mat& bgr, const cv::Mat& region);

// Telea's diffusion, for where there is nothing to copy from (a thin frame
// around a large hole). Only the hole's surroundings are read; a large
// stretch is filled at a smaller size, where each pixel is the mean of the
// known pixels it covers. The result equals bgr outside region.
cv::Mat DiffuseFill(const cv::Mat& bgr, const cv::Mat& region);

}  // namespace Corvina::Reference::Vision
