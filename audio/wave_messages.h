// Every message the WAV unit raises or prints, each in one place.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

namespace Audio::Wave::Reader::Messages {

inline constexpr char16_t kErrorMessage[] = u"Error Message";
inline constexpr char16_t kErrorReadCueChunk[] = u"Error read cue chunk";
inline constexpr char16_t kErrorReadRiffHeader[] = u"Error read RIFF header";
inline constexpr char16_t kErrorReadWaveHeader[] = u"Error read WAVE header";
inline constexpr char16_t kInvalidSize[] = u"Invalid Size";
inline constexpr char16_t kInvalidBitsPerSample[] = u"Invalid SignificantBitPerSample!";
inline constexpr char16_t kNoFmtChunk[] = u"No chunk file is in the wave file!";
inline constexpr char16_t kInvalidChannelCount[] = u"Invalid channel count";
inline constexpr char16_t kInvalidBlockAlign[] = u"Invalid block align";
inline constexpr char16_t kInvalidDataSize[] = u"Invalid data size";
inline constexpr char16_t kInvalidSilenceLength[] = u"Invalid silence length";
inline constexpr char16_t kNotSeekable[] =
    u"TWaveReader: the stream is a pipe or device; WAV files are read from files that can seek";
inline constexpr char kWavlNotice[] = "In Wavl! this method is not tested completely!";

inline constexpr char16_t kInvalidParameters[] = u"Invalid parameters";
inline constexpr char16_t kLengthNotMultiple[] = u"Audio data length (%d) must be a multiple of channels (%d)";
inline constexpr char16_t kDataTooLarge[] = u"Audio data too large for a WAV file: %d bytes of samples";

}  // namespace Audio::Wave::Reader::Messages
