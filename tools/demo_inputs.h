// Inputs that `corvina demo` makes itself, and the small picture and sound
// handling around the components' calls.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

#include "framework/graphics.h"

namespace Corvina::Tool::Demo {

using Fmx::Graphics::TBitmap;

// ---------------------------------------------------------------- pictures

// A sunset gradient with a sun, a dark block and stripes: the stand-in when
// the generated picture is not there.
TBitmap SynthesisePicture(int w, int h);
TBitmap LoadPicture(const std::filesystem::path& file);
TBitmap Copy(const TBitmap& source);
// The w x h window at (x, y); the window must lie inside the source.
TBitmap Crop(const TBitmap& source, int x, int y, int w, int h);
// Moved by (dx, dy) whole pixels, the edge pixels repeated into the gap.
TBitmap Shifted(const TBitmap& source, int dx, int dy);
// Shrunk by factor and blown up again: a blurred, low-detail copy.
TBitmap Degraded(const TBitmap& source, int factor);
// Each pixel as a factor x factor block: details visible at thumbnail size.
TBitmap Blocks(const TBitmap& source, int factor);
// a and b next to each other on a white ground, `gap` pixels apart, tops aligned.
TBitmap SideBySide(const TBitmap& a, const TBitmap& b, int gap);
// Per channel |a - b| x gain (clamped), opaque: black where nothing changed.
// The pictures must have one size.
TBitmap Difference(const TBitmap& a, const TBitmap& b, int gain);
// Opaque white where inside(x, y), opaque black elsewhere.
TBitmap MaskOf(int w, int h, const std::function<bool(int x, int y)>& inside);
// Half-transparent red over the mask's white pixels.
TBitmap Overlay(const TBitmap& picture, const TBitmap& mask);
std::int64_t MaskedPixels(const TBitmap& mask);
// A 2-pixel outline clipped to the picture.
void DrawBox(TBitmap& bmp, int left, int top, int right, int bottom, std::uint32_t colour);
void DrawDot(TBitmap& bmp, int x, int y, int radius, std::uint32_t colour);
// Face `index` of skimage's LFW sample (a .npy file of 25 x 25 gray faces in
// float64), enlarged to 200 pixels and framed by its repeated edges to
// 300 x 300, so that a face finder made for photos sees it.
TBitmap LfwFace(const std::filesystem::path& npy, int index);

// ---------------------------------------------------------------- sounds

struct TSound {
  std::vector<float> Samples;  // mono
  std::int32_t Rate = 0;
};

// A WAV file's channels averaged to mono, as floats in [-1, 1].
TSound ReadMonoWav(const std::filesystem::path& file);
// Linear interpolation to another rate.
TSound Resampled(const TSound& sound, std::int32_t rate);
// A vowel-like voice: a pulse train through moving formant resonators, in
// syllables with a falling pitch. The stand-in when espeak-ng is missing.
TSound SynthesisedVoice(std::int32_t rate, double seconds);
// Four sustained chords of a few harmonics each, with a slow tremolo.
std::vector<float> Chords(std::size_t count, std::int32_t rate, float gain);
double Rms(const std::vector<float>& samples);

}  // namespace Corvina::Tool::Demo
