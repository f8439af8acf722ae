// corvina wav-info | wav-convert: WAV files through the package's own reader
// and writer.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <memory>
#include <string>

#include "audio/wave_writer.h"
#include "framework/exceptions.h"
#include "tools/commands.h"
#include "tools/options.h"
#include "tools/wave_samples.h"

namespace Corvina::Tool {

namespace {

using nlohmann::json;
using System::Sysutils::Exception;

// The encodings the writer can store: integer PCM up to 24 bits, 32-bit float.
const std::map<std::string, std::uint16_t> kFormats = {{"pcm8", 8}, {"pcm16", 16}, {"pcm24", 24}, {"float32", 32}};

std::string FormatOption(std::uint16_t bits) {
  for (const auto& [name, width] : kFormats)
    if (width == bits) return name;
  return "float32";
}

// Per channel, the largest magnitude.
std::vector<float> Peaks(const TWaveSamples& wave) {
  std::vector<float> peaks;
  for (const auto& samples : wave.Samples) {
    float peak = 0.0f;
    for (const float s : samples) peak = std::max(peak, std::fabs(s));
    peaks.push_back(peak);
  }
  return peaks;
}

double Duration(const TWaveSamples& wave) {
  return wave.SampleRate ? double(wave.Frames) / wave.SampleRate : 0.0;
}

void PrintWarnings(const std::vector<std::string>& warnings) {
  for (const auto& w : warnings) Warning("%s", w.c_str());
}

struct TInfoCommand {
  std::string Input;
  bool Json = false;

  int Run() const {
    const TWaveSamples wave = ReadWave(Input);
    const std::vector<float> peaks = Peaks(wave);
    if (Json) {
      PrintJson({{"file", Input},
                 {"format", FormatName(wave)},
                 {"format_code", wave.FormatCode},
                 {"channels", wave.Channels},
                 {"sample_rate", wave.SampleRate},
                 {"bits_per_sample", wave.BitsPerSample},
                 {"frames", wave.Frames},
                 {"duration", Duration(wave)},
                 {"peaks", peaks},
                 {"warnings", wave.Warnings}});
      return 0;
    }
    PrintWarnings(wave.Warnings);
    Info("%s: %s, %u channel(s), %u Hz, %u bits, %lld frames, %.3f s", Input.c_str(), FormatName(wave).c_str(),
         unsigned(wave.Channels), unsigned(wave.SampleRate), unsigned(wave.BitsPerSample),
         static_cast<long long>(wave.Frames), Duration(wave));
    for (std::size_t c = 0; c < peaks.size(); ++c) {
      const double db = peaks[c] > 0 ? 20.0 * std::log10(double(peaks[c])) : -INFINITY;
      Info("  channel %zu peak %.6f (%.1f dBFS)", c + 1, double(peaks[c]), db);
    }
    return 0;
  }
};

// Mixing down averages the channels; one channel is copied into each.
std::vector<std::vector<float>> MapChannels(std::vector<std::vector<float>> from, std::size_t to) {
  if (to == 0 || to == from.size()) return from;
  const std::size_t frames = from.empty() ? 0 : from[0].size();
  if (to == 1) {
    std::vector<float> mix(frames, 0.0f);
    for (const auto& channel : from)
      for (std::size_t i = 0; i < frames; ++i) mix[i] += channel[i] / float(from.size());
    return {std::move(mix)};
  }
  if (from.size() == 1) return std::vector<std::vector<float>>(to, from[0]);
  throw TUsageError("--channels: " + std::to_string(from.size()) + " channels cannot become " + std::to_string(to) +
                    "; mix down to 1, or spread 1 to any count");
}

struct TConvertCommand {
  std::string Input, Output, Format;
  std::size_t Channels = 0;  // 0: as the input
  bool Json = false;

  int Run() const {
    TWaveSamples wave = ReadWave(Input);
    if (!Json) PrintWarnings(wave.Warnings);
    if (wave.SampleRate > std::uint32_t(std::numeric_limits<std::int32_t>::max()))
      throw Exception(System::UTF8ToString("a sample rate of " + std::to_string(wave.SampleRate) +
                                           " Hz cannot be written"));
    // 32-bit integer PCM has no writer: it becomes float, which holds it.
    const std::string format = Format.empty() ? FormatOption(wave.IsFloat ? 32 : wave.BitsPerSample) : Format;
    const std::uint16_t bits = kFormats.at(format);
    const auto channels = MapChannels(std::move(wave.Samples), Channels);
    const auto count = std::uint16_t(channels.size());
    const Audio::Wave::Reader::TWaveWriter writer(std::int32_t(wave.SampleRate), count, bits);
    PrepareOutput(Output);
    writer.WriteFloatData(Interleave(channels), System::UTF8ToString(Output));
    if (Json) {
      json file = WrittenFile(Output);
      file["format"] = bits == 32 ? "IEEE float" : "PCM";
      file["channels"] = count;
      file["sample_rate"] = wave.SampleRate;
      file["bits_per_sample"] = bits;
      file["frames"] = wave.Frames;
      PrintJson({{"files", {file}}});
    } else {
      Info("wrote %s (%s, %u channel(s), %u Hz, %lld frames)", Output.c_str(), format.c_str(), unsigned(count),
           unsigned(wave.SampleRate), static_cast<long long>(wave.Frames));
    }
    return 0;
  }
};

}  // namespace

void AddWaveCommands(CLI::App& app, TCommands& commands) {
  {
    auto state = std::make_shared<TInfoCommand>();
    auto* c = app.add_subcommand("wav-info", "show a WAV file's format, length and per-channel peaks");
    c->group(kGroupWave);
    c->add_option("input", state->Input, "WAV file")->required()->check(kInputFile);
    AddJson(*c, state->Json);
    commands.push_back({c, [state] { return state->Run(); }});
  }
  {
    auto state = std::make_shared<TConvertCommand>();
    auto* c = app.add_subcommand("wav-convert", "rewrite a WAV file with another sample format or channel count");
    c->group(kGroupWave);
    c->add_option("input", state->Input, "WAV file")->required()->check(kInputFile);
    AddOutput(*c, state->Output, "WAV file to write, named .wav (may be the input)", TOutputKind::Wave);
    c->add_option("--format", state->Format, "sample format (default: the input's; 32-bit integer becomes float32)")
        ->check(CLI::IsMember({"pcm8", "pcm16", "pcm24", "float32"}));
    c->add_option("--channels", state->Channels, "channel count: 1 mixes down, a mono input is copied to each")
        ->check(CLI::Range(1, 64));
    AddJson(*c, state->Json);
    commands.push_back({c, [state] { return state->Run(); }});
  }
}

}  // namespace Corvina::Tool
