#include "reference/diffusion/sampling.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "reference/diffusion/callbacks.h"
#include "reference/diffusion/canny.h"
#include "reference/diffusion/resample.h"

namespace Reference::Diffusion {
namespace {

using Stablediffusion::sd_image_t;

uint8_t ToByte(float v) { return uint8_t(std::clamp(v, 0.0f, 1.0f) * 255.0f + 0.5f); }

// Remaining noise after step k of n, from 1 down to 0; the scheduler decides
// whether the picture settles early or late.
float NoiseLevel(int scheduler, int k, int n) {
  const float t = 1.0f - float(k) / float(n);
  switch (scheduler) {
    case Stablediffusion::KARRAS_SCHEDULER:
      return t * t * t;
    case Stablediffusion::EXPONENTIAL_SCHEDULER:
      return (std::exp(4.0f * t) - 1.0f) / (std::exp(4.0f) - 1.0f);
    case Stablediffusion::SMOOTHSTEP_SCHEDULER:
      return t * t * (3.0f - 2.0f * t);
    case Stablediffusion::AYS_SCHEDULER:
    case Stablediffusion::GITS_SCHEDULER:
    case Stablediffusion::KL_OPTIMAL_SCHEDULER:
      return t * std::sqrt(t);
    default:
      return t;
  }
}

// Three box passes each way approximate a Gaussian of about `radius`.
std::vector<float> Soften(const std::vector<float>& rgb, int width, int height, int radius) {
  std::vector<float> a = rgb, b(rgb.size());
  const auto pass = [&](const std::vector<float>& src, std::vector<float>& dst, bool horizontal) {
    const int length = horizontal ? width : height, lines = horizontal ? height : width;
    const size_t stride = horizontal ? 3 : size_t(width) * 3, lineStride = horizontal ? size_t(width) * 3 : 3;
    const float scale = 1.0f / float(2 * radius + 1);
    for (int line = 0; line < lines; ++line) {
      const float* s = &src[size_t(line) * lineStride];
      float* d = &dst[size_t(line) * lineStride];
      for (int c = 0; c < 3; ++c) {
        float sum = 0;
        for (int k = -radius; k <= radius; ++k) sum += s[size_t(std::clamp(k, 0, length - 1)) * stride + size_t(c)];
        for (int i = 0; i < length; ++i) {
          d[size_t(i) * stride + size_t(c)] = sum * scale;
          sum += s[size_t(std::min(i + radius + 1, length - 1)) * stride + size_t(c)] -
                 s[size_t(std::max(i - radius, 0)) * stride + size_t(c)];
        }
      }
    }
  };
  for (int i = 0; i < 3; ++i) {
    pass(a, b, true);
    pass(b, a, false);
  }
  return a;
}

// Gaussian noise, one value per channel, fixed by the seed.
std::vector<float> NoiseField(uint64_t seed, size_t count) {
  std::vector<float> noise(count);
  for (size_t i = 0; i < count; i += 2) {
    const uint64_t bits = MixBits(seed ^ (i * 0x9E3779B97F4A7C15ull));
    const float u1 = (float(bits >> 40) + 1.0f) * (1.0f / 16777217.0f);
    const float u2 = float((bits >> 16) & 0xFFFFFF) * (1.0f / 16777216.0f);
    const float r = std::sqrt(-2.0f * std::log(u1));
    noise[i] = r * std::cos(6.2831853f * u2);
    if (i + 1 < count) noise[i + 1] = r * std::sin(6.2831853f * u2);
  }
  return noise;
}

struct Frame {
  std::vector<float> target;  // the final picture
  std::vector<float> origin;  // what step 0 shows: the init picture, or a blur
  std::vector<float> noise;
  std::vector<uint8_t> bytes;
};

// Latent-projection previews have the latent's size: one pixel per 8x8 block.
std::vector<uint8_t> Shrink8(const std::vector<uint8_t>& rgb, int width, int height, int& outW, int& outH) {
  outW = std::max(1, width / 8);
  outH = std::max(1, height / 8);
  std::vector<uint8_t> out(size_t(outW) * size_t(outH) * 3);
  Resample(rgb.data(), width, height, 3, out.data(), outW, outH, ResampleFilter::Bicubic);
  return out;
}

void ShowPreviews(const SamplingJob& job, std::vector<Frame>& frames, const PreviewSettings& preview, int step,
                  float level) {
  const bool projected = preview.mode == Stablediffusion::PREVIEW_PROJ;
  for (const bool noisy : {false, true}) {
    if (noisy ? !preview.noisy : !preview.denoised) continue;
    std::vector<std::vector<uint8_t>> pictures;
    std::vector<sd_image_t> images;
    for (auto& f : frames) {
      std::vector<uint8_t> rgb(f.target.size());
      for (size_t i = 0; i < rgb.size(); ++i) {
        float v = f.target[i] + level * (f.origin[i] - f.target[i]);
        if (noisy) v += 0.5f * level * f.noise[i];
        rgb[i] = ToByte(v);
      }
      int w = job.width, h = job.height;
      if (projected) rgb = Shrink8(rgb, job.width, job.height, w, h);
      pictures.push_back(std::move(rgb));
      images.push_back(sd_image_t{uint32_t(w), uint32_t(h), 3, pictures.back().data()});
    }
    preview.callback(step, int(images.size()), images.data(), noisy, preview.data);
  }
}

}  // namespace

std::vector<uint8_t> Conform(const PixelView& view, int width, int height, int channels) {
  const size_t pixels = size_t(view.width) * size_t(view.height);
  std::vector<uint8_t> packed(pixels * size_t(channels));
  if (view.channels == channels) {
    std::memcpy(packed.data(), view.data, packed.size());
  } else {
    for (size_t i = 0; i < pixels; ++i) {
      const uint8_t* s = view.data + i * size_t(view.channels);
      if (channels == 1) {
        packed[i] = view.channels == 1 ? s[0] : uint8_t((s[0] + s[1] + s[2]) / 3);
      } else {
        for (int c = 0; c < 3; ++c) packed[i * 3 + size_t(c)] = view.channels == 1 ? s[0] : s[c];
      }
    }
  }
  if (view.width == width && view.height == height) return packed;
  std::vector<uint8_t> resized(size_t(width) * size_t(height) * size_t(channels));
  Resample(packed.data(), view.width, view.height, channels, resized.data(), width, height, ResampleFilter::Bicubic);
  return resized;
}

std::vector<std::vector<uint8_t>> RunSampling(const SamplingJob& job) {
  const size_t pixels = size_t(job.width) * size_t(job.height);
  std::vector<uint8_t> init, mask, edges;
  if (job.init) init = Conform(*job.init, job.width, job.height, 3);
  if (job.init && job.mask) mask = Conform(*job.mask, job.width, job.height, 1);
  if (job.control && job.controlStrength > 0) {
    const auto control = Conform(*job.control, job.width, job.height, 3);
    edges = CannyEdges(control.data(), job.width, job.height, 3, CannySettings{0.2f, 0.1f, 0.5f, 1.0f, false});
  }

  std::vector<Frame> frames(size_t(job.frames));
  for (size_t f = 0; f < frames.size(); ++f) {
    const float time = job.frames > 1 ? float(f) / float(job.frames - 1) : 0.0f;
    Canvas scene = PaintScene(*job.model, job.conditioning, job.look, job.width, job.height, time);
    std::vector<float>& target = scene.rgb;
    if (!edges.empty()) {
      const float s = std::min(job.controlStrength, 2.0f) * 0.45f / 255.0f;
      for (size_t i = 0; i < pixels; ++i)
        for (int c = 0; c < 3; ++c) target[i * 3 + size_t(c)] *= std::max(0.0f, 1.0f - s * float(edges[i]));
    }
    Frame& frame = frames[f];
    frame.bytes.resize(pixels * 3);
    if (!init.empty()) {
      // Repainted areas keep the init picture's light and shade in the
      // scene's colours; unmasked pixels are copied untouched.
      const float strength = std::clamp(job.strength, 0.0f, 1.0f);
      for (size_t i = 0; i < pixels; ++i) {
        const float weight = (mask.empty() ? 1.0f : float(mask[i]) / 255.0f) * strength;
        const uint8_t* in = &init[i * 3];
        const float light = (0.299f * in[0] + 0.587f * in[1] + 0.114f * in[2]) / 255.0f;
        for (int c = 0; c < 3; ++c) {
          const size_t k = i * 3 + size_t(c);
          const float original = float(in[c]) / 255.0f;
          const float generated = 0.5f * target[k] + 0.5f * light * (0.5f + target[k]);
          target[k] = original + weight * (generated - original);
          frame.bytes[k] = weight == 0.0f ? in[c] : ToByte(target[k]);
        }
      }
      frame.origin.assign(init.size(), 0.0f);
      for (size_t k = 0; k < init.size(); ++k) frame.origin[k] = float(init[k]) / 255.0f;
    } else {
      for (size_t k = 0; k < target.size(); ++k) frame.bytes[k] = ToByte(target[k]);
    }
    frame.target = std::move(target);
  }

  const PreviewSettings preview = CurrentPreview();
  const bool previews = preview.callback != nullptr && preview.mode != Stablediffusion::PREVIEW_NONE;
  if (previews) {
    for (size_t f = 0; f < frames.size(); ++f) {
      if (frames[f].origin.empty())
        frames[f].origin = Soften(frames[f].target, job.width, job.height, std::max(1, std::min(job.width, job.height) / 24));
      if (preview.noisy) frames[f].noise = NoiseField(job.look.seed * 7919 + f, frames[f].target.size());
    }
  }

  auto last = std::chrono::steady_clock::now();
  for (int step = 1; step <= job.steps; ++step) {
    if (previews && step % std::max(1, preview.interval) == 0)
      ShowPreviews(job, frames, preview, step, NoiseLevel(job.look.scheduler, step, job.steps));
    const auto now = std::chrono::steady_clock::now();
    ReportProgress(step, job.steps, std::chrono::duration<float>(now - last).count());
    last = now;
  }

  std::vector<std::vector<uint8_t>> result;
  for (auto& f : frames) result.push_back(std::move(f.bytes));
  return result;
}

}  // namespace Reference::Diffusion
