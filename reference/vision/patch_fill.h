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

// OpenCV's inpainting (flags: cv::INPAINT_TELEA or cv::INPAINT_NS) kept
// from three faults: next to a known frame one pixel wide at the picture's
// edge both read the hole's own pixels, so the hole is given the mean of the
// rest first; on a picture one row high both read past its end, so a row is
// filled as a column; and Telea's gradient term drifts about a level a pixel
// into a large hole (120 became 201 across 640 pixels), so the answer is kept
// within each channel's range over the known pixels.
cv::Mat Diffused(const cv::Mat& bgr, const cv::Mat& region, double radius, int flags);

// Telea's diffusion, for where there is nothing to copy from (a thin frame
// around a large hole). Only the hole's surroundings are read; a large
// stretch is filled at a smaller size, where each pixel is the mean of the
// known pixels it covers. The result equals bgr outside region.
cv::Mat DiffuseFill(const cv::Mat& bgr, const cv::Mat& region);

}  // namespace Corvina::Reference::Vision
