#include "reference/diffusion/scene.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <numbers>
#include <string>

namespace Reference::Diffusion {

uint64_t MixBits(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

namespace {

constexpr float kTau = 2.0f * std::numbers::pi_v<float>;

struct Keyword {
  std::string_view word;
  Rgb colour;
};

constexpr Keyword kKeywords[] = {
    {"red", {0.85f, 0.12f, 0.10f}},    {"orange", {0.95f, 0.55f, 0.10f}}, {"yellow", {0.95f, 0.88f, 0.20f}},
    {"green", {0.20f, 0.70f, 0.25f}},  {"blue", {0.15f, 0.30f, 0.85f}},   {"purple", {0.50f, 0.20f, 0.70f}},
    {"violet", {0.55f, 0.30f, 0.85f}}, {"pink", {0.95f, 0.55f, 0.70f}},   {"white", {0.96f, 0.96f, 0.96f}},
    {"black", {0.05f, 0.05f, 0.06f}},  {"gray", {0.50f, 0.50f, 0.52f}},   {"grey", {0.50f, 0.50f, 0.52f}},
    {"brown", {0.45f, 0.28f, 0.15f}},  {"gold", {0.85f, 0.68f, 0.20f}},   {"sunset", {0.98f, 0.45f, 0.30f}},
    {"night", {0.05f, 0.07f, 0.20f}},  {"ocean", {0.05f, 0.35f, 0.55f}},  {"sea", {0.08f, 0.40f, 0.60f}},
    {"water", {0.20f, 0.50f, 0.75f}},  {"forest", {0.10f, 0.35f, 0.15f}}, {"tree", {0.15f, 0.45f, 0.18f}},
    {"fire", {0.95f, 0.35f, 0.05f}},   {"snow", {0.90f, 0.94f, 1.00f}},   {"ice", {0.70f, 0.88f, 0.98f}},
    {"desert", {0.86f, 0.72f, 0.48f}}, {"sand", {0.90f, 0.80f, 0.58f}},   {"sky", {0.50f, 0.75f, 0.95f}},
    {"grass", {0.35f, 0.70f, 0.25f}},
};

std::vector<std::string> WordsOf(std::string_view text, int clipSkip) {
  std::vector<std::string> words;
  std::string word;
  for (const char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      word += char(std::tolower(static_cast<unsigned char>(c)));
    } else if (!word.empty()) {
      words.push_back(std::move(word));
      word.clear();
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  const size_t skip = clipSkip > 1 ? size_t(clipSkip - 1) : 0;
  words.resize(words.size() > skip ? words.size() - skip : 0);
  return words;
}

uint64_t HashWords(const std::vector<std::string>& words, uint64_t basis) {
  uint64_t h = basis;
  for (const auto& w : words) {
    for (const char c : w) h = (h ^ uint8_t(c)) * 0x100000001B3ull;
    h = (h ^ ' ') * 0x100000001B3ull;
  }
  return h;
}

const Rgb* ColourOf(std::string_view word) {
  for (const auto& k : kKeywords)
    if (k.word == word) return &k.colour;
  return nullptr;
}

Rgb Lerp(const Rgb& a, const Rgb& b, float t) {
  return {a[0] + (b[0] - a[0]) * t, a[1] + (b[1] - a[1]) * t, a[2] + (b[2] - a[2]) * t};
}

float Distance(const Rgb& a, const Rgb& b) {
  return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]));
}

// Small deterministic generator for layout choices.
class Dice {
 public:
  explicit Dice(uint64_t seed) : FState(MixBits(seed)) {}
  float Next() {
    FState = MixBits(FState);
    return float(FState >> 40) * (1.0f / 16777216.0f);
  }
  float Range(float lo, float hi) { return lo + (hi - lo) * Next(); }

 private:
  uint64_t FState;
};

float Lattice(uint64_t seed, int x, int y) {
  const uint64_t key = seed ^ (uint64_t(uint32_t(x)) * 0x9E3779B97F4A7C15ull) ^ (uint64_t(uint32_t(y)) * 0xC2B2AE3D27D4EB4Full);
  return float(MixBits(key) >> 40) * (1.0f / 16777216.0f);
}

float ValueNoise(uint64_t seed, float x, float y) {
  const float fx = std::floor(x), fy = std::floor(y);
  const int ix = int(fx), iy = int(fy);
  float tx = x - fx, ty = y - fy;
  tx = tx * tx * (3 - 2 * tx);
  ty = ty * ty * (3 - 2 * ty);
  const float a = Lattice(seed, ix, iy), b = Lattice(seed, ix + 1, iy);
  const float c = Lattice(seed, ix, iy + 1), d = Lattice(seed, ix + 1, iy + 1);
  return (a + (b - a) * tx) + ((c + (d - c) * tx) - (a + (b - a) * tx)) * ty;
}

// Fractal noise in 0..1; every octave adds finer detail.
float Fbm(uint64_t seed, float x, float y, int octaves) {
  float sum = 0, amplitude = 0.5f, norm = 0;
  for (int o = 0; o < octaves; ++o) {
    sum += amplitude * ValueNoise(seed + uint64_t(o) * 0x51ED27ull, x, y);
    norm += amplitude;
    amplitude *= 0.5f;
    x *= 2.0f;
    y *= 2.0f;
  }
  return sum / norm;
}

bool Ancestral(int method) { return method == 1 || method == 4; }  // EULER_A, DPMPP2S_A
bool Consistency(int method) { return method == 9 || method == 11; }  // LCM, TCD

float ToneOf(int scheduler) {
  static constexpr float kGamma[] = {1.00f, 0.90f, 1.10f, 0.95f, 1.05f, 0.88f, 1.12f, 0.93f, 1.07f, 0.97f};
  return scheduler >= 0 && scheduler < 10 ? kGamma[scheduler] : 1.0f;
}

struct Shape {
  float cx, cy, rx, ry, vx, vy, alpha;
  Rgb colour;
};

}  // namespace

Conditioning Condition(const DiffusionModel& model, std::string_view prompt, std::string_view negative, int clipSkip) {
  const auto positive = WordsOf(prompt, clipSkip);
  const auto avoided = WordsOf(negative, clipSkip);
  Conditioning c;
  c.layout = MixBits(HashWords(positive, 0xCBF29CE484222325ull)) ^ (HashWords(avoided, 0x84222325CBF29CE4ull) << 1);
  c.palette = model.palette;

  std::vector<Rgb> tints;
  for (const auto& w : positive)
    if (const Rgb* colour = ColourOf(w)) tints.push_back(*colour);
  for (size_t i = 0; i < c.palette.size() && !tints.empty(); ++i)
    c.palette[i] = Lerp(c.palette[i], tints[i % tints.size()], 0.6f);

  // A colour the negative prompt names fades to gray wherever the palette
  // comes close to it.
  for (const auto& w : avoided) {
    const Rgb* colour = ColourOf(w);
    if (colour == nullptr) continue;
    for (auto& p : c.palette) {
      const float closeness = std::max(0.0f, 1.0f - Distance(p, *colour) / 0.6f);
      const float gray = 0.299f * p[0] + 0.587f * p[1] + 0.114f * p[2];
      p = Lerp(p, Rgb{gray, gray, gray}, 0.85f * closeness);
    }
  }
  return c;
}

Canvas PaintScene(const DiffusionModel& model, const Conditioning& conditioning, const Look& look, int width,
                  int height, float time) {
  Canvas canvas(width, height);
  const auto& palette = conditioning.palette;
  const size_t n = palette.size();
  Dice dice(conditioning.layout ^ MixBits(look.seed));

  const float tilt = dice.Range(-0.35f, 0.35f);
  const float horizon = dice.Range(0.35f, 0.65f);
  const float frequency = dice.Range(2.0f, 6.0f);
  const float angle = dice.Range(0.0f, kTau);
  const float cellCx = dice.Range(0.2f, 0.8f), cellCy = dice.Range(0.2f, 0.8f);
  const float driftX = dice.Range(-0.4f, 0.4f), driftY = dice.Range(-0.4f, 0.4f);
  float cellX[12], cellY[12];
  for (int i = 0; i < 12; ++i) {
    cellX[i] = dice.Range(-0.2f, 1.4f);
    cellY[i] = dice.Range(-0.2f, 1.4f);
  }
  std::vector<Shape> shapes(3 + size_t(dice.Next() * 6.0f));
  for (size_t i = 0; i < shapes.size(); ++i) {
    auto& s = shapes[i];
    s = {dice.Range(0.05f, 0.95f), dice.Range(0.05f, 0.95f), dice.Range(0.05f, 0.28f), dice.Range(0.05f, 0.28f),
         dice.Range(-0.35f, 0.35f), dice.Range(-0.35f, 0.35f), dice.Range(0.55f, 0.95f), palette[(2 + i) % n]};
  }
  // The sampler changes the fine texture, never the layout.
  const uint64_t textureSeed = MixBits(look.seed * 31 + uint64_t(look.sampleMethod) + 1);
  const float softness = 0.01f + 0.08f / (1.0f + std::max(0.0f, look.guidance));
  const float unit = 1.0f / float(std::min(width, height));
  const float phase = time * kTau * 0.5f;
  const Rgb textureColour = palette[(n > 2 ? 2 : 1) % n];

  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const float u = float(x) * unit, v = float(y) * unit;
      const float su = u + driftX * time, sv = v + driftY * time;
      const float ground = std::clamp((v - horizon - tilt * (u - 0.5f)) * 3.0f + 0.5f, 0.0f, 1.0f);
      Rgb colour = Lerp(palette[0], palette[1], ground);

      const float detail = Fbm(textureSeed, su * 4.0f, sv * 4.0f, look.detailOctaves);
      float field = 0;
      switch (model.style) {
        case Style::Waves:
          field = 0.5f + 0.5f * std::sin(kTau * frequency * (su * std::cos(angle) + sv * std::sin(angle)) + phase +
                                         3.0f * detail);
          break;
        case Style::Cells: {
          // Dark seams where the two nearest cell centres are equally far.
          float first = 10.0f, second = 10.0f;
          for (int i = 0; i < 12; ++i) {
            const float dx = su - cellX[i], dy = sv - cellY[i];
            const float d = dx * dx + dy * dy;
            second = std::min(second, std::max(first, d));
            first = std::min(first, d);
          }
          field = std::clamp((std::sqrt(second) - std::sqrt(first)) * 6.0f + 0.4f * (detail - 0.5f), 0.0f, 1.0f);
          break;
        }
        case Style::Rings: {
          const float d = std::hypot(u - cellCx, v - cellCy);
          field = 0.5f + 0.5f * std::sin(kTau * frequency * d - phase * 2.0f + 4.0f * detail);
          break;
        }
        case Style::Marble:
          field = 0.5f + 0.5f * std::sin(kTau * frequency * 0.5f * (su + sv) + 6.0f * detail);
          break;
      }
      colour = Lerp(colour, textureColour, model.detail * 0.5f * field);
      const float shade = 1.0f + model.detail * 0.45f * (field - 0.5f);
      for (auto& c : colour) c *= shade;

      for (const auto& s : shapes) {
        const float dx = (u - (s.cx + s.vx * time)) / s.rx, dy = (v - (s.cy + s.vy * time)) / s.ry;
        const float inside = std::clamp((1.0f - std::sqrt(dx * dx + dy * dy)) / (softness / std::min(s.rx, s.ry)) + 0.5f,
                                        0.0f, 1.0f);
        if (inside > 0) colour = Lerp(colour, s.colour, inside * s.alpha * (0.85f + 0.15f * detail));
      }
      float* p = canvas.Pixel(x, y);
      p[0] = colour[0];
      p[1] = colour[1];
      p[2] = colour[2];
    }
  }

  const float cfg = std::clamp(look.cfg, 0.0f, 30.0f);
  const float saturation = 0.25f + 0.75f * std::min(cfg, 7.0f) / 7.0f + 0.05f * std::max(0.0f, cfg - 7.0f);
  const float contrast = 0.6f + 0.4f * std::min(cfg, 7.0f) / 7.0f + 0.03f * std::max(0.0f, cfg - 7.0f);
  const float gamma = ToneOf(look.scheduler);
  const bool grain = Ancestral(look.sampleMethod);
  const bool posterize = Consistency(look.sampleMethod);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      float* p = canvas.Pixel(x, y);
      const float gray = 0.299f * p[0] + 0.587f * p[1] + 0.114f * p[2];
      const float jitter = grain ? (Lattice(textureSeed ^ 0xA5A5ull, x, y) - 0.5f) * 0.04f : 0.0f;
      for (int c = 0; c < 3; ++c) {
        float value = gray + (p[c] - gray) * saturation;
        value = 0.5f + (value - 0.5f) * contrast + jitter;
        value = std::pow(std::clamp(value, 0.0f, 1.0f), gamma);
        if (posterize) value = std::round(value * 6.0f) / 6.0f;
        p[c] = value;
      }
    }
  }
  return canvas;
}

}  // namespace Reference::Diffusion
