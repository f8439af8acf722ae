// Voice separation family: a short-time Fourier transform (FFTW) and a soft
// mask that keeps what rises above each bin's steady level over a few seconds
// (accompaniment repeats and holds, a voice moves), is not a partial held at
// one pitch for a while (plucked and struck notes ring at a fixed pitch, a
// voice glides), is not a broadband click, lies in the voice band and, for
// stereo input, sits in the centre; the vocals come back at the input's
// exact length.
#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <memory>
#include <mutex>
#include <numbers>
#include <vector>

#include "reference/vision/common.h"
#include "reference/vision/entry_points.h"
#include "reference/vision/face_common.h"

namespace Corvina::Reference::Vision {
namespace {

constexpr int kFrame = 2048;
constexpr int kHop = 512;
constexpr int kBins = kFrame / 2 + 1;
constexpr float kMaskPower = 1.25f;

// FFTW's planner is not thread-safe; executing a finished plan is.
std::mutex& PlannerMutex() {
  static std::mutex mutex;
  return mutex;
}

struct TFftwDeleter {
  void operator()(void* p) const { fftwf_free(p); }
};

class TPlans {
 public:
  TPlans()
      : FTime(static_cast<float*>(fftwf_malloc(sizeof(float) * kFrame))),
        FFreq(static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * kBins))) {
    if (!FTime || !FFreq) throw std::bad_alloc();
    std::lock_guard lock(PlannerMutex());
    FForward = fftwf_plan_dft_r2c_1d(kFrame, FTime.get(), FFreq.get(), FFTW_ESTIMATE);
    FBackward = fftwf_plan_dft_c2r_1d(kFrame, FFreq.get(), FTime.get(), FFTW_ESTIMATE);
    if (FForward == nullptr || FBackward == nullptr) {
      Destroy();
      throw std::bad_alloc();
    }
  }
  ~TPlans() { Destroy(); }
  TPlans(const TPlans&) = delete;
  TPlans& operator=(const TPlans&) = delete;

  float* Time() { return FTime.get(); }
  std::complex<float>* Freq() { return reinterpret_cast<std::complex<float>*>(FFreq.get()); }
  void Forward() { fftwf_execute(FForward); }
  void Backward() { fftwf_execute(FBackward); }

 private:
  void Destroy() {
    std::lock_guard lock(PlannerMutex());
    if (FForward) fftwf_destroy_plan(FForward);
    if (FBackward) fftwf_destroy_plan(FBackward);
    FForward = FBackward = nullptr;
  }

  std::unique_ptr<float, TFftwDeleter> FTime;
  std::unique_ptr<fftwf_complex, TFftwDeleter> FFreq;
  fftwf_plan FForward = nullptr;
  fftwf_plan FBackward = nullptr;
};

struct TVoiceExtractor : public Context {
  int Channels = 1;
  double Rate = 22050;
  void* Arg = nullptr;
  TVoiceExtractorProgressCallback Progress = nullptr;
  TPlans Plans;
  std::vector<float> Window;
  std::vector<float> Vocals;

  void Report(int percent) const {
    if (Progress != nullptr) Progress(Arg, percent);
  }
};

// Spectrogram of one channel: frames x bins, frames kHop apart over the
// signal padded by half a frame on each side.
using TSpectrum = std::vector<std::complex<float>>;

TSpectrum Analyse(TVoiceExtractor& ve, const std::vector<float>& signal, int frames) {
  TSpectrum spectrum(static_cast<size_t>(frames) * kBins);
  const int n = static_cast<int>(signal.size());
  for (int f = 0; f < frames; ++f) {
    float* time = ve.Plans.Time();
    for (int i = 0; i < kFrame; ++i) {
      const int at = f * kHop + i - kFrame / 2;
      time[i] = (at >= 0 && at < n ? signal[at] : 0.0f) * ve.Window[i];
    }
    ve.Plans.Forward();
    std::copy(ve.Plans.Freq(), ve.Plans.Freq() + kBins, spectrum.begin() + static_cast<ptrdiff_t>(f) * kBins);
  }
  return spectrum;
}

std::vector<float> Synthesise(TVoiceExtractor& ve, const TSpectrum& spectrum, int frames, int n) {
  std::vector<float> out(static_cast<size_t>(n), 0.0f), weight(static_cast<size_t>(n), 0.0f);
  for (int f = 0; f < frames; ++f) {
    std::copy(spectrum.begin() + static_cast<ptrdiff_t>(f) * kBins,
              spectrum.begin() + static_cast<ptrdiff_t>(f + 1) * kBins, ve.Plans.Freq());
    ve.Plans.Backward();
    const float* time = ve.Plans.Time();
    for (int i = 0; i < kFrame; ++i) {
      const int at = f * kHop + i - kFrame / 2;
      if (at < 0 || at >= n) continue;
      out[at] += time[i] * ve.Window[i] / kFrame;  // FFTW's inverse is unnormalised
      weight[at] += ve.Window[i] * ve.Window[i];
    }
  }
  for (int i = 0; i < n; ++i) out[i] = weight[i] > 1e-6f ? out[i] / weight[i] : 0.0f;
  return out;
}

// The q-quantile of each bin's magnitude over +-radius frames (time) or of
// each frame over +-radius bins (frequency).
std::vector<float> Quantile(const std::vector<float>& mag, int frames, int radius, double q, bool alongTime,
                            int stride = 1) {
  std::vector<float> out(mag.size()), window;
  for (int f = 0; f < frames; f += alongTime ? stride : 1) {
    for (int b = 0; b < kBins; ++b) {
      window.clear();
      if (alongTime) {
        for (int k = std::max(0, f - radius); k <= std::min(frames - 1, f + radius); ++k)
          window.push_back(mag[static_cast<size_t>(k) * kBins + b]);
      } else {
        for (int k = std::max(0, b - radius); k <= std::min(kBins - 1, b + radius); ++k)
          window.push_back(mag[static_cast<size_t>(f) * kBins + k]);
      }
      auto nth = window.begin() + static_cast<ptrdiff_t>(q * static_cast<double>(window.size() - 1));
      std::nth_element(window.begin(), nth, window.end());
      const float value = *nth;
      const int last = alongTime ? std::min(frames, f + stride) : f + 1;
      for (int k = f; k < last; ++k) out[static_cast<size_t>(k) * kBins + b] = value;
    }
  }
  return out;
}

// Weight of a bin by frequency: the voice's fundamental and formants lie
// roughly between 90 Hz and 7 kHz.
float BandWeight(int bin, double rate) {
  const double hz = bin * rate / kFrame;
  const auto edge = [](double x) { return std::clamp(x, 0.0, 1.0); };
  return static_cast<float>(edge((hz - 60) / 60) * edge((9000 - hz) / 2000));
}

// Magnitude of partials that hold one frequency bin, as a peak, for at least
// minFrames frames in a row: plucked and struck notes ring at a fixed pitch
// while a voice's partials glide. 0 elsewhere.
std::vector<float> FixedPitchPartials(const std::vector<float>& mag, int frames, int minFrames) {
  const size_t cells = mag.size();
  std::vector<std::uint8_t> peak(cells, 0);
  for (int f = 0; f < frames; ++f) {
    const float* m = mag.data() + static_cast<size_t>(f) * kBins;
    float loudest = 0;
    for (int b = 0; b < kBins; ++b) loudest = std::max(loudest, m[b]);
    for (int b = 1; b + 1 < kBins; ++b)
      peak[static_cast<size_t>(f) * kBins + b] = m[b] > m[b - 1] && m[b] >= m[b + 1] && m[b] > 1e-3f * loudest;
  }
  // Run lengths through time: forward, then the whole run written back.
  std::vector<std::uint16_t> run(cells, 0);
  for (int f = 0; f < frames; ++f)
    for (int b = 0; b < kBins; ++b) {
      const size_t i = static_cast<size_t>(f) * kBins + b;
      if (peak[i]) run[i] = static_cast<std::uint16_t>(std::min(60000, (f > 0 ? run[i - kBins] : 0) + 1));
    }
  for (int f = frames - 2; f >= 0; --f)
    for (int b = 0; b < kBins; ++b) {
      const size_t i = static_cast<size_t>(f) * kBins + b;
      if (peak[i] && peak[i + kBins]) run[i] = run[i + kBins];
    }
  std::vector<float> fixed(cells, 0.0f);
  constexpr int kLobe = 2;  // a Hann window's main lobe reaches two bins either side
  for (int f = 0; f < frames; ++f)
    for (int b = 0; b < kBins; ++b) {
      const size_t i = static_cast<size_t>(f) * kBins + b;
      if (!peak[i] || run[i] < minFrames) continue;
      for (int k = std::max(0, b - kLobe); k <= std::min(kBins - 1, b + kLobe); ++k) {
        const size_t j = static_cast<size_t>(f) * kBins + k;
        fixed[j] = std::max(fixed[j], mag[j]);
      }
    }
  return fixed;
}

std::vector<float> VoiceMask(TVoiceExtractor& ve, const std::vector<TSpectrum>& channels, int frames) {
  const size_t cells = static_cast<size_t>(frames) * kBins;
  std::vector<float> mag(cells, 0.0f);
  for (const auto& spectrum : channels)
    for (size_t i = 0; i < cells; ++i) mag[i] += std::abs(spectrum[i]) / static_cast<float>(channels.size());

  const int second = static_cast<int>(ve.Rate / kHop);
  // Three frames smooth the voice's partials; longer medians smear syllables away.
  const auto harmonic = Quantile(mag, frames, 1, 0.5, true);
  ve.Report(40);
  const auto percussive = Quantile(mag, frames, 8, 0.5, false);
  ve.Report(55);
  const auto steady = Quantile(mag, frames, std::max(8, 2 * second), 0.25, true, 4);
  // Six frames, about 140 ms at 22050 Hz: longer than a voice's partial
  // holds a bin, shorter than a plucked note rings.
  const auto fixedPitch = FixedPitchPartials(mag, frames, 6);
  ve.Report(70);

  std::vector<float> mask(cells);
  for (int f = 0; f < frames; ++f) {
    for (int b = 0; b < kBins; ++b) {
      const size_t i = static_cast<size_t>(f) * kBins + b;
      const float voice = std::max(harmonic[i] - steady[i], 0.0f) * BandWeight(b, ve.Rate);
      const float rest = steady[i] + percussive[i] * 0.25f + 2 * fixedPitch[i];
      // Both estimates are rough; a ratio of magnitudes to the power 1.25,
      // softer than the power ratio, keeps more voice where the two overlap.
      const float v = std::pow(voice, kMaskPower), r = std::pow(rest, kMaskPower);
      float m = v / (v + r + 1e-15f);
      if (channels.size() == 2) {
        const float l = std::abs(channels[0][i]), r = std::abs(channels[1][i]);
        const float centre = 1.0f - std::abs(channels[0][i] - channels[1][i]) / (l + r + 1e-12f);
        m *= centre * centre;
      }
      mask[i] = m;
    }
  }
  return mask;
}

void Separate(TVoiceExtractor& ve, const float* samples, int count) {
  const int channels = ve.Channels;
  const int n = count / channels;
  const int frames = (n + kFrame) / kHop + 1;
  std::vector<TSpectrum> spectra;
  for (int c = 0; c < channels; ++c) {
    std::vector<float> signal(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) signal[i] = samples[static_cast<size_t>(i) * channels + c];
    spectra.push_back(Analyse(ve, signal, frames));
  }
  ve.Report(25);
  const auto mask = VoiceMask(ve, spectra, frames);
  ve.Vocals.assign(static_cast<size_t>(count), 0.0f);
  for (int c = 0; c < channels; ++c) {
    for (size_t i = 0; i < mask.size(); ++i) spectra[c][i] *= mask[i];
    const auto voice = Synthesise(ve, spectra[c], frames, n);
    for (int i = 0; i < n; ++i) ve.Vocals[static_cast<size_t>(i) * channels + c] = voice[i];
    ve.Report(70 + 25 * (c + 1) / channels);
  }
}

}  // namespace
}  // namespace Corvina::Reference::Vision

using namespace Corvina::Reference::Vision;

CORVINA_SAM2_EXPORT void* voice_extractor_init(const char* model, std::int32_t gpu_device, void* arg,
                                               TVoiceExtractorProgressCallback progress) {
  return Guarded(
      [&]() -> void* {
        if (gpu_device < -1) return nullptr;
        const auto params = ModelFile::Read(model, "voice-extractor");
        if (!params) return nullptr;
        const auto channels = params->Number("channels", 1, 1, 2);
        const auto rate = params->Number("rate", 22050, 8000, 192000);
        if (!channels || !rate || *channels != std::floor(*channels)) return nullptr;
        auto ve = std::make_unique<TVoiceExtractor>();
        ve->Channels = static_cast<int>(*channels);
        ve->Rate = *rate;
        ve->Arg = arg;
        ve->Progress = progress;
        ve->Window.resize(kFrame);
        for (int i = 0; i < kFrame; ++i)  // periodic Hann: overlap-adds to a constant at a quarter-frame hop
          ve->Window[i] = static_cast<float>(0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / kFrame));
        return Register(std::move(ve));
      },
      static_cast<void*>(nullptr));
}

CORVINA_SAM2_EXPORT void voice_extractor_execute(void* ctx, const float* samples, std::int32_t sample_count,
                                                 float** vocals) {
  if (vocals == nullptr) return;
  *vocals = nullptr;
  if (samples == nullptr || sample_count <= 0) return;
  Guarded([&] {
    auto* ve = Lookup<TVoiceExtractor>(ctx);
    if (!ve || sample_count % ve->Channels != 0) return;
    if (!std::all_of(samples, samples + sample_count, [](float s) { return std::isfinite(s); })) return;
    try {
      ve->Report(0);
      Separate(*ve, samples, sample_count);
      ve->Report(100);
      *vocals = ve->Vocals.data();
    } catch (...) {
      ve->Vocals.clear();
      *vocals = nullptr;
    }
  });
}

CORVINA_SAM2_EXPORT void voice_extractor_destroy(void* ctx) {
  Guarded([&] { Destroy<TVoiceExtractor>(ctx); });
}
