// WAV files as float samples for the tool: the package's reader splits the
// data into raw per-channel bytes, this decodes them into floats on the
// scale the package's writer stores them back with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Corvina::Tool {

struct TWaveSamples {
  std::uint16_t FormatCode = 0;  // 1 integer PCM, 3 IEEE float, 0xFFFE extensible
  bool IsFloat = false;          // what the sample bytes hold, extensible files included
  std::uint16_t Channels = 0;
  std::uint32_t SampleRate = 0;
  std::uint16_t BitsPerSample = 0;
  std::int64_t Frames = 0;
  std::vector<std::vector<float>> Samples;  // one vector of Frames floats per channel
  std::vector<std::string> Warnings;        // what the reader logged while reading
};

// Reads and decodes a whole file. Integer PCM maps full scale (127, 32767,
// 8388607, 2147483647) to 1, so converting PCM to the same width again keeps
// every sample but the most negative one. Raises for files without format
// or data, and for encodings other than integer PCM and 32-bit float.
TWaveSamples ReadWave(const std::string& path);

// "PCM", "IEEE float" or "extensible PCM" / "extensible IEEE float".
std::string FormatName(const TWaveSamples& wave);

// Frame k, channel c at k * channels + c, as the writer takes them.
std::vector<float> Interleave(const std::vector<std::vector<float>>& channels);

}  // namespace Corvina::Tool
