#include "tools/wave_samples.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>

#include "audio/wave_file_reader.h"
#include "framework/exceptions.h"
#include "framework/log.h"
#include "tools/platform.h"

namespace Corvina::Tool {

namespace {

using System::Sysutils::Exception;

constexpr std::uint16_t kPcm = 1;
constexpr std::uint16_t kFloat = 3;
constexpr std::uint16_t kExtensible = 0xFFFE;

std::uint32_t LittleEndian(const unsigned char* p, int bytes) {
  std::uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

// The reader keeps no sub-format, so the last "fmt " chunk's GUID is looked
// up here: its first two bytes are the code of what the samples hold.
std::optional<std::uint16_t> ExtensibleSubFormat(const std::string& path) {
  std::ifstream in(Platform::Utf8Path(path), std::ios::binary);
  unsigned char header[12];
  if (!in.read(reinterpret_cast<char*>(header), sizeof header)) return std::nullopt;
  std::optional<std::uint16_t> code;
  unsigned char chunk[8];
  while (in.read(reinterpret_cast<char*>(chunk), sizeof chunk)) {
    const std::uint32_t size = LittleEndian(chunk + 4, 4);
    const std::streamoff payload = in.tellg();
    if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 26) {
      unsigned char fmt[26];
      if (!in.read(reinterpret_cast<char*>(fmt), sizeof fmt)) break;
      code = LittleEndian(fmt, 2) == kExtensible ? std::optional(std::uint16_t(LittleEndian(fmt + 24, 2)))
                                                  : std::nullopt;
    }
    // Odd sizes carry a pad byte; seeking past the end stops the loop.
    in.seekg(payload + std::streamoff(size) + (size & 1));
  }
  return code;
}

// Collects the debug log's lines for as long as it lives.
class TLogCapture {
 public:
  explicit TLogCapture(std::vector<std::string>& lines)
      : FPrevious(Fmx::Types::Log::SetSink(
            [&lines](const System::String& text) { lines.push_back(System::UTF8Encode(text)); })) {}
  ~TLogCapture() { Fmx::Types::Log::SetSink(std::move(FPrevious)); }
  TLogCapture(const TLogCapture&) = delete;
  TLogCapture& operator=(const TLogCapture&) = delete;

 private:
  Fmx::Types::Log::TSink FPrevious;
};

float Decode(const std::uint8_t* s, int bits, bool isFloat) {
  switch (bits) {
    case 8: return float(int(s[0]) - 128) / 127.0f;
    case 16: return float(std::int16_t(LittleEndian(s, 2))) / 32767.0f;
    case 24: return float(std::int32_t(LittleEndian(s, 3) << 8) >> 8) / 8388607.0f;
    default: {
      const std::uint32_t raw = LittleEndian(s, 4);
      if (isFloat) {
        float f;
        std::memcpy(&f, &raw, sizeof f);
        return f;
      }
      return float(double(std::int32_t(raw)) / 2147483647.0);
    }
  }
}

// Why a file's header could not be read, as far as its first bytes tell.
std::string HeaderReason(const std::string& path) {
  std::ifstream in(Platform::Utf8Path(path), std::ios::binary);
  char head[12] = {};
  in.read(head, sizeof head);
  const std::string bytes(head, std::size_t(in.gcount()));
  if (bytes.empty()) return "the file is empty";
  if (bytes.rfind("\x89PNG", 0) == 0) return "it is a PNG picture, not a WAV file";
  if (bytes.rfind("\xFF\xD8", 0) == 0) return "it is a JPEG picture, not a WAV file";
  if (bytes.rfind("BM", 0) == 0) return "it looks like a BMP picture, not a WAV file";
  if (bytes.size() < 12) return "the file is " + std::to_string(bytes.size()) + " bytes, shorter than a WAV header";
  if (bytes.rfind("RIFF", 0) != 0) return "it is not a WAV file: it does not start with RIFF";
  if (bytes.compare(8, 4, "WAVE") != 0) return "it is a RIFF file of another kind, not WAVE";
  return "";
}

}  // namespace

TWaveSamples ReadWave(const std::string& path) {
  TWaveSamples wave;
  TLogCapture log(wave.Warnings);
  Platform::TStdoutToStderr quiet;
  std::unique_ptr<Audio::Wave::Reader::TWaveReader> opened;
  try {
    opened = std::make_unique<Audio::Wave::Reader::TWaveReader>(System::UTF8ToString(path));
  } catch (const std::exception& e) {
    // The reader's messages do not name the file, nor say what it is.
    const std::string reason = HeaderReason(path);
    throw Exception(System::UTF8ToString(path + ": " + e.what() + (reason.empty() ? "" : " (" + reason + ")")));
  }
  const auto& reader = *opened;
  const auto* format = reader.FMTChunk();
  const auto* data = reader.DataChunk();
  if (!format) throw Exception(System::UTF8ToString(path + ": no format chunk"));
  if (!data) throw Exception(System::UTF8ToString(path + ": no data chunk"));
  wave.FormatCode = format->CompressionCode();
  std::uint16_t holds = wave.FormatCode;
  if (holds == kExtensible) holds = ExtensibleSubFormat(path).value_or(0);
  if (holds != kPcm && holds != kFloat)
    throw Exception(System::UTF8ToString(path + ": samples of format code " + std::to_string(holds) +
                                         " are neither integer PCM nor IEEE float"));
  // The data chunk keeps the width and channels it was read with.
  wave.IsFloat = holds == kFloat;
  wave.BitsPerSample = std::uint16_t(data->BitsPerSample());
  wave.Channels = std::uint16_t(data->NumberOfChannel());
  wave.SampleRate = format->SampleRate();
  if (wave.IsFloat && wave.BitsPerSample != 32)
    throw Exception(System::UTF8ToString(path + ": " + std::to_string(wave.BitsPerSample) +
                                         "-bit float samples are not supported"));
  wave.Frames = data->SampleCount();
  const int width = wave.BitsPerSample / 8;
  for (int c = 0; c < wave.Channels; ++c) {
    const std::uint8_t* bytes = data->ChannelData(c);
    std::vector<float> samples(std::size_t(wave.Frames));
    for (std::int64_t i = 0; i < wave.Frames; ++i) samples[i] = Decode(bytes + i * width, wave.BitsPerSample, wave.IsFloat);
    wave.Samples.push_back(std::move(samples));
  }
  return wave;
}

std::string FormatName(const TWaveSamples& wave) {
  const std::string kind = wave.IsFloat ? "IEEE float" : "PCM";
  return wave.FormatCode == kExtensible ? "extensible " + kind : kind;
}

std::vector<float> Interleave(const std::vector<std::vector<float>>& channels) {
  if (channels.empty()) return {};
  const std::size_t frames = channels[0].size(), count = channels.size();
  std::vector<float> out(frames * count);
  for (std::size_t c = 0; c < count; ++c)
    for (std::size_t i = 0; i < frames; ++i) out[i * count + c] = channels[c][i];
  return out;
}

}  // namespace Corvina::Tool
