// Checks the reader and the writer against two independent peers: files
// made by sox are split by our reader and by libsndfile, channel by channel,
// byte for byte; files made by our writer are read back by both.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audio/wave_reader.h"
#include "tests/support/test_support.h"

using namespace Corvina::Testing;
using namespace Audio::Wave::Reader;

namespace {

bool RunShell(const std::string& command) { return std::system((command + " 2>/dev/null").c_str()) == 0; }

Bytes U32(std::uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
std::uint32_t GetU32(const Bytes& b, size_t at) {
  return std::uint8_t(b[at]) | std::uint8_t(b[at + 1]) << 8 | std::uint8_t(b[at + 2]) << 16 |
         std::uint32_t(std::uint8_t(b[at + 3])) << 24;
}

// libsndfile's view of a file: its format numbers and the raw interleaved
// sample bytes, split into channels here.
struct TPeerRead {
  int channels = 0;
  sf_count_t frames = 0;
  int sampleRate = 0;
  std::vector<Bytes> channelBytes;
  Bytes raw;
};

TPeerRead ReadWithSndfile(const std::string& path, int width) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
  TPeerRead peer;
  if (!file) return peer;
  peer.channels = info.channels;
  peer.frames = info.frames;
  peer.sampleRate = info.samplerate;
  peer.raw.resize(static_cast<size_t>(info.frames) * info.channels * width);
  EXPECT_EQ(sf_read_raw(file, peer.raw.data(), static_cast<sf_count_t>(peer.raw.size())),
            static_cast<sf_count_t>(peer.raw.size()));
  sf_close(file);
  peer.channelBytes.resize(info.channels);
  for (size_t k = 0; k < static_cast<size_t>(info.frames); ++k) {
    for (int c = 0; c < info.channels; ++c) {
      peer.channelBytes[c] += peer.raw.substr((k * info.channels + c) * width, width);
    }
  }
  return peer;
}

Bytes ChannelBytes(const TDataChunk& data, int channel) {
  const auto* p = reinterpret_cast<const char*>(data.ChannelData(channel));
  return Bytes(p, p + static_cast<size_t>(data.SampleCount()) * data.BitsPerSample() / 8);
}

// Puts an odd-sized LIST chunk (with its pad byte) right before "data".
Bytes WithOddListBeforeData(const Bytes& file) {
  size_t at = 12;
  while (at + 8 <= file.size() && file.compare(at, 4, "data") != 0) {
    const std::uint32_t size = GetU32(file, at + 4);
    at += 8 + size + (size & 1);
  }
  const Bytes list = Bytes("LIST") + U32(15) + "INFO" + "ICMT" + U32(3) + "abc" + Bytes(1, '\0');
  Bytes out = file.substr(0, at) + list + file.substr(at);
  return out.replace(4, 4, U32(static_cast<std::uint32_t>(out.size() - 8)));
}

struct TSoxFormat {
  const char* name;
  const char* encoding;
  int bits;
};

constexpr TSoxFormat kSoxFormats[] = {
    {"u8", "unsigned-integer", 8},  {"s16", "signed-integer", 16}, {"s24", "signed-integer", 24},
    {"s32", "signed-integer", 32},  {"f32", "floating-point", 32},
};

std::string SoxSynth(int channels) {
  static const char* kVoices[] = {"sine 300", "square 441", "sawtooth 50", "triangle 77", "whitenoise", "sine 1000"};
  std::string voices;
  for (int c = 0; c < channels; ++c) voices += std::string(" ") + kVoices[c];
  return voices;
}

}  // namespace

TEST(WaveConformance, SoxFilesSplitExactlyAsLibsndfileReadsThem) {
  TempDir dir;
  for (const TSoxFormat& format : kSoxFormats) {
    for (int channels : {1, 2, 6}) {
      const std::string path = dir.Path(std::string(format.name) + "_" + std::to_string(channels) + ".wav");
      // 2.1 s at 44.1 kHz: more frames than one read block for most layouts.
      ASSERT_TRUE(RunShell("sox -D -n -r 44100 -c " + std::to_string(channels) + " -b " + std::to_string(format.bits) +
                      " -e " + format.encoding + " " + path + " synth 2.1" + SoxSynth(channels) + " gain -6"))
          << "sox could not write " << path;
      const Bytes original = ReadFileBytes(path);
      const std::string withList = path + ".list.wav";
      WriteFileBytes(withList, WithOddListBeforeData(original));

      for (const std::string& file : {path, withList}) {
        SCOPED_TRACE(file);
        const TPeerRead peer = ReadWithSndfile(file, format.bits / 8);
        TWaveReader reader(System::UTF8ToString(file));
        TDataChunk* data = reader.DataChunk();
        ASSERT_NE(data, nullptr);
        ASSERT_EQ(peer.channels, channels);
        EXPECT_EQ(reader.NumberOfChannel(), channels);
        EXPECT_EQ(reader.BitsPerSample(), format.bits);
        EXPECT_EQ(static_cast<int>(reader.SampleRate()), peer.sampleRate);
        ASSERT_EQ(data->SampleCount(), peer.frames);
        ASSERT_GT(peer.frames, 90000);
        for (int c = 0; c < channels; ++c) {
          EXPECT_TRUE(ChannelBytes(*data, c) == peer.channelBytes[c]) << "channel " << c << " differs";
        }
        // The raw reads give the same interleaved bytes as libsndfile's.
        Bytes raw(peer.raw.size(), '\0');
        EXPECT_EQ(data->ReadData(raw.data(), 0, static_cast<std::int64_t>(raw.size()) + 100),
                  static_cast<std::int32_t>(peer.raw.size()));
        EXPECT_TRUE(raw == peer.raw);
      }
      // sox writes integer samples of more than two channels or more than
      // 16 bits in the extensible format: make sure that path is covered.
      const bool isFloat = format.encoding[0] == 'f';
      const int expectedCode = isFloat ? 3 : (channels > 2 || format.bits > 16) ? 0xFFFE : 1;
      EXPECT_EQ(TWaveReader(System::UTF8ToString(path)).FMTChunk()->CompressionCode(), expectedCode) << path;
      const TWaveReader listed(System::UTF8ToString(withList));
      ASSERT_GE(listed.Count(), 1);
      EXPECT_EQ(listed.Last()->Identify(), TFourCC::FromChars("LIST"));
      EXPECT_EQ(listed.Last()->Size(), 15);
    }
  }
}

TEST(WaveConformance, FloatFilesWeWriteReadBackIdenticallyInLibsndfileAndSox) {
  TempDir dir;
  // Multiples of 2^-15 within [-1, 1] survive sox's 32-bit integer
  // pipeline exactly; libsndfile must also keep values outside that range.
  std::vector<float> samples;
  for (int k = 0; k < 6000; ++k) samples.push_back(static_cast<float>((k * 7919) % 65536 - 32768) / 32768.0f);
  const std::string path = dir.Path("f32.wav");
  TWaveWriter(48000, 3, 32).WriteFloatData(samples, System::UTF8ToString(path));

  const TPeerRead peer = ReadWithSndfile(path, 4);
  EXPECT_EQ(peer.channels, 3);
  EXPECT_EQ(peer.sampleRate, 48000);
  EXPECT_TRUE(peer.raw == Bytes(reinterpret_cast<const char*>(samples.data()), samples.size() * 4));

  ASSERT_TRUE(RunShell("sox -D " + path + " -t raw -e floating-point -b 32 " + dir.Path("f32.raw").string()));
  const Bytes soxRaw = ReadFileBytes(dir.Path("f32.raw"));
  ASSERT_EQ(soxRaw.size(), samples.size() * 4);
  EXPECT_EQ(std::memcmp(soxRaw.data(), samples.data(), soxRaw.size()), 0);

  const std::vector<float> wild = {1.5f, -7.25f, 1e-30f, -0.0f};
  TWaveWriter(8000, 1, 32).WriteFloatData(wild, dir.File("wild.wav"));
  EXPECT_TRUE(ReadWithSndfile(dir.Path("wild.wav").string(), 4).raw ==
              Bytes(reinterpret_cast<const char*>(wild.data()), wild.size() * 4));
}

TEST(WaveConformance, PcmFilesWeWriteReadBackAsTheIntendedIntegers) {
  TempDir dir;
  // Inputs n / full scale come back as n.
  std::vector<int> values16;
  for (int k = 0; k < 4000; ++k) values16.push_back((k * 4099) % 65535 - 32767);
  std::vector<float> samples16;
  for (int n : values16) samples16.push_back(static_cast<float>(n) / 32767.0f);
  const std::string s16 = dir.Path("s16.wav");
  TWaveWriter(22050, 2, 16).WriteFloatData(samples16, System::UTF8ToString(s16));

  SF_INFO info{};
  SNDFILE* file = sf_open(s16.c_str(), SFM_READ, &info);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  std::vector<short> shorts(values16.size());
  EXPECT_EQ(sf_read_short(file, shorts.data(), static_cast<sf_count_t>(shorts.size())),
            static_cast<sf_count_t>(shorts.size()));
  sf_close(file);
  EXPECT_TRUE(std::equal(shorts.begin(), shorts.end(), values16.begin()));

  ASSERT_TRUE(RunShell("sox -D " + s16 + " -t raw -e signed-integer -b 16 " + dir.Path("s16.raw").string()));
  const Bytes soxRaw = ReadFileBytes(dir.Path("s16.raw"));
  ASSERT_EQ(soxRaw.size(), shorts.size() * 2);
  EXPECT_EQ(std::memcmp(soxRaw.data(), shorts.data(), soxRaw.size()), 0);

  // 24 and 8 bits: libsndfile's raw bytes and sox's raw output agree and
  // hold the intended integers.
  std::vector<int> values24 = {0, 1, -1, 8388607, -8388607, 1048576, -524288, 123456};
  std::vector<float> samples24;
  for (int n : values24) samples24.push_back(static_cast<float>(n) / 8388607.0f);
  const std::string s24 = dir.Path("s24.wav");
  TWaveWriter(8000, 1, 24).WriteFloatData(samples24, System::UTF8ToString(s24));
  const Bytes raw24 = ReadWithSndfile(s24, 3).raw;
  ASSERT_EQ(raw24.size(), values24.size() * 3);
  for (size_t i = 0; i < values24.size(); ++i) {
    const int got = static_cast<int>((std::uint32_t(std::uint8_t(raw24[3 * i])) << 8 |
                                      std::uint32_t(std::uint8_t(raw24[3 * i + 1])) << 16 |
                                      std::uint32_t(std::uint8_t(raw24[3 * i + 2])) << 24)) >> 8;
    EXPECT_EQ(got, values24[i]) << i;
  }
  ASSERT_TRUE(RunShell("sox -D " + s24 + " -t raw -e signed-integer -b 24 " + dir.Path("s24.raw").string()));
  EXPECT_TRUE(ReadFileBytes(dir.Path("s24.raw")) == raw24);

  const std::vector<float> samples8 = {0.0f, 1.0f, -1.0f, 64.0f / 127.0f, -100.0f / 127.0f};
  const std::string u8 = dir.Path("u8.wav");
  TWaveWriter(8000, 1, 8).WriteFloatData(samples8, System::UTF8ToString(u8));
  EXPECT_EQ(ReadWithSndfile(u8, 1).raw, Bytes("\x80\xFF\x01\xC0\x1C", 5));
  ASSERT_TRUE(RunShell("sox -D " + u8 + " -t raw -e unsigned-integer -b 8 " + dir.Path("u8.raw").string()));
  EXPECT_EQ(ReadFileBytes(dir.Path("u8.raw")), Bytes("\x80\xFF\x01\xC0\x1C", 5));
}
