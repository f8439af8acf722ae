// Inputs that `corvina demo` makes itself.
#include "tools/demo_inputs.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numbers>
#include <stdexcept>
#include <string>

#include "audio/wave_file_reader.h"
#include "tools/platform.h"

namespace Corvina::Tool::Demo {

namespace {

using Fmx::Graphics::TBitmapMapping;
using Fmx::Graphics::TMapAccess;

std::uint32_t* Row(const TBitmapMapping& map, int y) { return reinterpret_cast<std::uint32_t*>(map.WritableScanline(y)); }
const std::uint32_t* RowIn(const TBitmapMapping& map, int y) {
  return reinterpret_cast<const std::uint32_t*>(map.Scanline(y));
}

std::uint32_t Gray(int v) {
  const auto g = static_cast<std::uint32_t>(std::clamp(v, 0, 255));
  return 0xFF000000u | g << 16 | g << 8 | g;
}

void Plot(const TBitmapMapping& map, const TBitmap& bmp, int x, int y, std::uint32_t colour) {
  if (x < 0 || y < 0 || x >= bmp.Width() || y >= bmp.Height()) return;
  Row(map, y)[x] = colour;
}

// One channel's samples as floats: integer PCM scaled to [-1, 1), IEEE float as it is.
float SampleAt(const std::uint8_t* s, int bits, bool isFloat) {
  switch (bits) {
    case 8: return (static_cast<int>(s[0]) - 128) / 128.0f;
    case 16: return static_cast<std::int16_t>(s[0] | s[1] << 8) / 32768.0f;
    case 24: {
      const auto v = static_cast<std::int32_t>(static_cast<std::uint32_t>(s[0]) << 8 |
                                               static_cast<std::uint32_t>(s[1]) << 16 |
                                               static_cast<std::uint32_t>(s[2]) << 24) >> 8;
      return static_cast<float>(v) / 8388608.0f;
    }
    case 32: {
      if (isFloat) {
        float f;
        std::memcpy(&f, s, 4);
        return f;
      }
      std::int32_t v;
      std::memcpy(&v, s, 4);
      return static_cast<float>(v / 2147483648.0);
    }
  }
  throw std::runtime_error(std::to_string(bits) + "-bit samples are not supported");
}

// A two-pole resonator, the building block of the formant voice.
class TResonator {
 public:
  void Tune(double frequency, double bandwidth, double rate) {
    const double r = std::exp(-std::numbers::pi * bandwidth / rate);
    FA1 = 2 * r * std::cos(2 * std::numbers::pi * frequency / rate);
    FA2 = -r * r;
    FGain = 1 - r;
  }
  double Step(double x) {
    const double y = FGain * x + FA1 * FY1 + FA2 * FY2;
    FY2 = FY1;
    FY1 = y;
    return y;
  }

 private:
  double FA1 = 0, FA2 = 0, FGain = 0, FY1 = 0, FY2 = 0;
};

}  // namespace

TBitmap SynthesisePicture(int w, int h) {
  TBitmap bmp(w, h);
  TBitmapMapping map(bmp, TMapAccess::Write);
  for (int y = 0; y < h; ++y) {
    std::uint32_t* row = Row(map, y);
    for (int x = 0; x < w; ++x) {
      const double u = double(x) / w, v = double(y) / h;
      int r = int(255 * (1 - 0.6 * v)), g = int(90 + 120 * u * (1 - v)), b = int(60 + 180 * v);
      const double dx = x - 0.3 * w, dy = y - 0.4 * h;
      if (dx * dx + dy * dy < 0.02 * w * h) r = 255, g = 220, b = 40;
      if (x > 0.6 * w && x < 0.85 * w && y > 0.5 * h) r = 30, g = 30, b = 50;
      if (y % 16 < 2 && y > 0.8 * h) r = g = b = 240;
      row[x] = 0xFF000000u | std::uint32_t(r) << 16 | std::uint32_t(g) << 8 | std::uint32_t(b);
    }
  }
  return bmp;
}

TBitmap LoadPicture(const std::filesystem::path& file) {
  TBitmap bmp;
  bmp.LoadFromFile(file.u16string());
  return bmp;
}

TBitmap Copy(const TBitmap& source) {
  TBitmap bmp;
  bmp.Assign(source);
  return bmp;
}

TBitmap Crop(const TBitmap& source, int x, int y, int w, int h) {
  if (x < 0 || y < 0 || w <= 0 || h <= 0 || x + w > source.Width() || y + h > source.Height())
    throw std::invalid_argument("crop window outside the picture");
  TBitmap bmp(w, h);
  TBitmapMapping dst(bmp, TMapAccess::Write);
  TBitmapMapping src(source);
  for (int row = 0; row < h; ++row) std::memcpy(Row(dst, row), RowIn(src, y + row) + x, std::size_t(w) * 4);
  return bmp;
}

TBitmap Blocks(const TBitmap& source, int factor) {
  if (factor < 1) throw std::invalid_argument("block factor below 1");
  const int w = source.Width() * factor, h = source.Height() * factor;
  TBitmap bmp(w, h);
  TBitmapMapping dst(bmp, TMapAccess::Write);
  TBitmapMapping src(source);
  for (int y = 0; y < h; ++y) {
    const std::uint32_t* from = RowIn(src, y / factor);
    std::uint32_t* to = Row(dst, y);
    for (int x = 0; x < w; ++x) to[x] = from[x / factor];
  }
  return bmp;
}

TBitmap SideBySide(const TBitmap& a, const TBitmap& b, int gap) {
  TBitmap bmp(a.Width() + gap + b.Width(), std::max(a.Height(), b.Height()));
  bmp.Clear(0xFFFFFFFFu);
  TBitmapMapping dst(bmp, TMapAccess::ReadWrite);
  for (const auto& [part, left] : {std::pair<const TBitmap*, int>{&a, 0}, {&b, a.Width() + gap}}) {
    TBitmapMapping src(*part);
    for (int y = 0; y < part->Height(); ++y)
      std::memcpy(Row(dst, y) + left, RowIn(src, y), std::size_t(part->Width()) * 4);
  }
  return bmp;
}

TBitmap Difference(const TBitmap& a, const TBitmap& b, int gain) {
  if (a.Width() != b.Width() || a.Height() != b.Height()) throw std::invalid_argument("pictures of different sizes");
  TBitmap bmp(a.Width(), a.Height());
  TBitmapMapping dst(bmp, TMapAccess::Write);
  TBitmapMapping pa(a), pb(b);
  for (int y = 0; y < a.Height(); ++y) {
    const std::uint32_t* ra = RowIn(pa, y);
    const std::uint32_t* rb = RowIn(pb, y);
    std::uint32_t* to = Row(dst, y);
    for (int x = 0; x < a.Width(); ++x) {
      std::uint32_t pixel = 0xFF000000u;
      for (int shift : {0, 8, 16}) {
        const int d = std::abs(int((ra[x] >> shift) & 0xFF) - int((rb[x] >> shift) & 0xFF));
        pixel |= std::uint32_t(std::min(255, d * gain)) << shift;
      }
      to[x] = pixel;
    }
  }
  return bmp;
}

TBitmap Shifted(const TBitmap& source, int dx, int dy) {
  const int w = source.Width(), h = source.Height();
  TBitmap bmp(w, h);
  TBitmapMapping dst(bmp, TMapAccess::Write);
  TBitmapMapping src(source);
  for (int y = 0; y < h; ++y) {
    const std::uint32_t* from = RowIn(src, std::clamp(y - dy, 0, h - 1));
    std::uint32_t* to = Row(dst, y);
    for (int x = 0; x < w; ++x) to[x] = from[std::clamp(x - dx, 0, w - 1)];
  }
  return bmp;
}

TBitmap Degraded(const TBitmap& source, int factor) {
  TBitmap bmp = Copy(source);
  bmp.Resize(std::max(1, source.Width() / factor), std::max(1, source.Height() / factor));
  bmp.Resize(source.Width(), source.Height());
  return bmp;
}

TBitmap MaskOf(int w, int h, const std::function<bool(int x, int y)>& inside) {
  TBitmap bmp(w, h);
  TBitmapMapping map(bmp, TMapAccess::Write);
  for (int y = 0; y < h; ++y) {
    std::uint32_t* row = Row(map, y);
    for (int x = 0; x < w; ++x) row[x] = inside(x, y) ? 0xFFFFFFFFu : 0xFF000000u;
  }
  return bmp;
}

TBitmap Overlay(const TBitmap& picture, const TBitmap& mask) {
  if (picture.Width() != mask.Width() || picture.Height() != mask.Height())
    throw std::invalid_argument("the mask's size differs from the picture's");
  TBitmap out = Copy(picture);
  TBitmapMapping dst(out, TMapAccess::Write);
  TBitmapMapping src(mask);
  for (int y = 0; y < out.Height(); ++y) {
    auto* d = dst.WritableScanline(y);
    const auto* m = src.Scanline(y);
    for (int x = 0; x < out.Width(); ++x, d += 4, m += 4)
      if (m[0] > 127) d[0] = d[0] / 2, d[1] = d[1] / 2, d[2] = static_cast<std::uint8_t>(d[2] / 2 + 128);
  }
  return out;
}

std::int64_t MaskedPixels(const TBitmap& mask) {
  TBitmapMapping map(mask);
  std::int64_t n = 0;
  for (int y = 0; y < mask.Height(); ++y) {
    const auto* p = map.Scanline(y);
    for (int x = 0; x < mask.Width(); ++x) n += p[4 * x] > 127;
  }
  return n;
}

void DrawBox(TBitmap& bmp, int left, int top, int right, int bottom, std::uint32_t colour) {
  TBitmapMapping map(bmp, TMapAccess::Write);
  for (int t = 0; t < 2; ++t) {
    for (int x = left; x <= right; ++x) Plot(map, bmp, x, top + t, colour), Plot(map, bmp, x, bottom - t, colour);
    for (int y = top; y <= bottom; ++y) Plot(map, bmp, left + t, y, colour), Plot(map, bmp, right - t, y, colour);
  }
}

void DrawDot(TBitmap& bmp, int x, int y, int radius, std::uint32_t colour) {
  TBitmapMapping map(bmp, TMapAccess::Write);
  for (int dy = -radius; dy <= radius; ++dy)
    for (int dx = -radius; dx <= radius; ++dx)
      if (dx * dx + dy * dy <= radius * radius) Plot(map, bmp, x + dx, y + dy, colour);
}

TBitmap LfwFace(const std::filesystem::path& npy, int index) {
  constexpr int kSide = 25, kBig = 200, kBorder = 50;
  std::ifstream in(npy, std::ios::binary);
  std::array<char, 10> head{};
  in.read(head.data(), head.size());
  if (!in || std::memcmp(head.data(), "\x93NUMPY\x01", 7) != 0)
    throw std::runtime_error(Platform::Utf8Text(npy) + " is not a version 1 .npy file");
  const int headerLength = static_cast<unsigned char>(head[8]) | static_cast<unsigned char>(head[9]) << 8;
  std::string header(std::size_t(headerLength), '\0');
  in.read(header.data(), headerLength);
  const std::size_t shape = header.find("'shape': (");
  if (!in || header.find("'descr': '<f8'") == std::string::npos ||
      header.find("'fortran_order': False") == std::string::npos || shape == std::string::npos ||
      header.find(", 25, 25)", shape) == std::string::npos)
    throw std::runtime_error(Platform::Utf8Text(npy) + " does not hold 25 x 25 float64 faces");
  const long count = std::strtol(header.c_str() + shape + 10, nullptr, 10);
  if (index < 0 || index >= count)
    throw std::out_of_range(Platform::Utf8Text(npy) + " holds " + std::to_string(count) + " faces, not face " +
                            std::to_string(index));
  in.seekg(static_cast<std::streamoff>(index) * kSide * kSide * 8, std::ios::cur);
  std::array<double, kSide * kSide> face{};
  in.read(reinterpret_cast<char*>(face.data()), sizeof face);
  if (!in) throw std::runtime_error(Platform::Utf8Text(npy) + " is short");

  TBitmap small(kSide, kSide);
  {
    TBitmapMapping map(small, TMapAccess::Write);
    for (int y = 0; y < kSide; ++y)
      for (int x = 0; x < kSide; ++x) {
        const double v = face[std::size_t(y * kSide + x)];
        Row(map, y)[x] = Gray(std::isfinite(v) ? int(std::lround(v * 255)) : 0);
      }
  }
  small.Resize(kBig, kBig);
  TBitmap framed(kBig + 2 * kBorder, kBig + 2 * kBorder);
  TBitmapMapping dst(framed, TMapAccess::Write);
  TBitmapMapping src(small);
  for (int y = 0; y < framed.Height(); ++y) {
    const std::uint32_t* from = RowIn(src, std::clamp(y - kBorder, 0, kBig - 1));
    std::uint32_t* to = Row(dst, y);
    for (int x = 0; x < framed.Width(); ++x) to[x] = from[std::clamp(x - kBorder, 0, kBig - 1)];
  }
  return framed;
}

TSound ReadMonoWav(const std::filesystem::path& file) {
  Audio::Wave::Reader::TWaveReader wav(file.u16string());
  const auto* data = wav.DataChunk();
  if (data == nullptr || wav.FMTChunk() == nullptr) throw std::runtime_error(Platform::Utf8Text(file) + " holds no samples");
  const int bits = wav.BitsPerSample();
  const bool isFloat = wav.FMTChunk()->CompressionCode() == 3;
  const int channels = wav.NumberOfChannel();
  if (channels <= 0 || bits % 8 != 0) throw std::runtime_error(Platform::Utf8Text(file) + ": unsupported sample format");
  TSound sound;
  sound.Rate = static_cast<std::int32_t>(wav.SampleRate());
  sound.Samples.assign(std::size_t(std::max(0, data->SampleCount())), 0.0f);
  for (int c = 0; c < channels; ++c) {
    const std::uint8_t* bytes = data->ChannelData(c);
    for (std::size_t i = 0; i < sound.Samples.size(); ++i)
      sound.Samples[i] += SampleAt(bytes + i * std::size_t(bits / 8), bits, isFloat) / float(channels);
  }
  return sound;
}

TSound Resampled(const TSound& sound, std::int32_t rate) {
  if (rate <= 0 || sound.Rate <= 0) throw std::invalid_argument("sample rates must be positive");
  if (sound.Rate == rate || sound.Samples.empty()) return {sound.Samples, rate};
  const double step = double(sound.Rate) / rate;
  const auto n = std::size_t(double(sound.Samples.size()) / step);
  TSound out{std::vector<float>(n), rate};
  for (std::size_t i = 0; i < n; ++i) {
    const double at = double(i) * step;
    const auto k = std::size_t(at);
    const double t = at - double(k);
    const float a = sound.Samples[std::min(k, sound.Samples.size() - 1)];
    const float b = sound.Samples[std::min(k + 1, sound.Samples.size() - 1)];
    out.Samples[i] = float(a + (b - a) * t);
  }
  return out;
}

TSound SynthesisedVoice(std::int32_t rate, double seconds) {
  // Formants (F1, F2) of the vowels a, e, i, o, u.
  constexpr std::array<std::array<double, 2>, 5> kVowels{{{730, 1090}, {530, 1840}, {270, 2290}, {570, 840}, {300, 870}}};
  constexpr double kSyllable = 0.28;
  const auto n = std::size_t(seconds * rate);
  TSound voice{std::vector<float>(n), rate};
  TResonator f1, f2;
  double phase = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = double(i) / rate;
    const auto syllable = std::size_t(t / kSyllable);
    const double within = t / kSyllable - double(syllable);
    const auto& vowel = kVowels[(syllable * 3) % kVowels.size()];
    f1.Tune(vowel[0], 90, rate);
    f2.Tune(vowel[1], 110, rate);
    // Falling pitch over each phrase of five syllables, and a short gap between syllables.
    const double pitch = 190 - 60 * double(syllable % 5 * kSyllable + within * kSyllable) / (5 * kSyllable);
    const double envelope = within < 0.8 ? std::sin(std::numbers::pi * within / 0.8) : 0.0;
    phase += pitch / rate;
    double pulse = 0;
    if (phase >= 1) {
      phase -= 1;
      pulse = 1;
    }
    voice.Samples[i] = float(envelope * (6 * f1.Step(pulse) + 4 * f2.Step(pulse)));
  }
  const double rms = Rms(voice.Samples);
  if (rms > 0)
    for (float& s : voice.Samples) s = float(s * 0.1 / rms);
  return voice;
}

std::vector<float> Chords(std::size_t count, std::int32_t rate, float gain) {
  // C major, A minor, F major, G major: root, third and fifth.
  constexpr std::array<std::array<double, 3>, 4> kChords{
      {{261.63, 329.63, 392.00}, {220.00, 261.63, 329.63}, {174.61, 220.00, 261.63}, {196.00, 246.94, 293.66}}};
  std::vector<float> out(count);
  const double chordLength = std::max(1.0, double(count) / kChords.size());
  for (std::size_t i = 0; i < count; ++i) {
    const double t = double(i) / rate;
    const auto chord = std::min(kChords.size() - 1, std::size_t(double(i) / chordLength));
    const double within = double(i) / chordLength - double(chord);
    const double envelope = std::min({1.0, within * 20, (1 - within) * 20}) * (1 + 0.3 * std::sin(2 * std::numbers::pi * 3 * t));
    double s = 0;
    for (const double f : kChords[chord])
      for (int harmonic = 1; harmonic <= 3; ++harmonic)
        s += std::sin(2 * std::numbers::pi * f * harmonic * t) / (harmonic * harmonic);
    out[i] = float(gain * envelope * s / 4);
  }
  return out;
}

double Rms(const std::vector<float>& samples) {
  if (samples.empty()) return 0;
  double sum = 0;
  for (const float s : samples) sum += double(s) * s;
  return std::sqrt(sum / double(samples.size()));
}

}  // namespace Corvina::Tool::Demo
