// TWaveWriter: stores an interleaved float sample array as a WAV file with a
// 44-byte header. 32 bits per sample keep the floats bit for bit (format
// code 3); 8, 16 and 24 bits store integer PCM (format code 1) rounded from
// the floats clamped to [-1, 1], so the header always describes the data.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>
#include <span>

#include "framework/strings.h"

namespace Audio::Wave::Reader {

class TWaveWriter {
 public:
  TWaveWriter(std::int32_t ASampleRate, std::uint16_t ANumChannels, std::uint16_t ABitsPerSample);

  std::int32_t SampleRate() const { return FSampleRate; }
  void SetSampleRate(std::int32_t Value) { FSampleRate = Value; }
  std::uint16_t NumChannels() const { return FNumChannels; }
  void SetNumChannels(std::uint16_t Value) { FNumChannels = Value; }
  std::uint16_t BitsPerSample() const { return FBitsPerSample; }
  void SetBitsPerSample(std::uint16_t Value) { FBitsPerSample = Value; }

  // AudioData is interleaved: frame k's sample of channel c is element
  // k * NumChannels + c. Checks come first, in this order, before any file
  // is touched: "Invalid parameters" (rate <= 0, no channels, a width other
  // than 8, 16, 24, 32, an empty name, or a frame or byte rate the header
  // cannot hold); "Audio data length (%d) must be a multiple of channels
  // (%d)"; "Audio data too large for a WAV file: %d bytes of samples".
  // The file is written under a temporary name in the same folder and
  // renamed over AFileName only when complete: a failure leaves an existing
  // file as it was. A replaced file keeps its permission bits, and a
  // symbolic link is written through: its target is replaced, the link stays.
  void WriteFloatData(std::span<const float> AudioData, const System::String& AFileName) const;

 private:
  std::int32_t FSampleRate;
  std::uint16_t FNumChannels;
  std::uint16_t FBitsPerSample;
};

}  // namespace Audio::Wave::Reader
