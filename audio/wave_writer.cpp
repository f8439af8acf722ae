#include "audio/wave_writer.h"


#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>

#include "audio/wave_messages.h"
#include "framework/exceptions.h"
#include "framework/native_file.h"
#include "framework/streams.h"

namespace Audio::Wave::Reader {

using System::String;
using System::Classes::TFileStream;
using System::Sysutils::Exception;
using System::Sysutils::Format;

namespace {

constexpr std::int64_t kHeaderBytes = 44;
constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatFloat = 3;

struct THeaderFields {
  std::uint32_t dataBytes;
  std::uint16_t formatCode;
  std::uint16_t channels;
  std::uint32_t sampleRate;
  std::uint32_t byteRate;
  std::uint16_t blockAlign;
  std::uint16_t bitsPerSample;
};

void PutLE(std::uint8_t* at, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::array<std::uint8_t, kHeaderBytes> BuildHeader(const THeaderFields& f) {
  std::array<std::uint8_t, kHeaderBytes> h{};
  std::memcpy(&h[0], "RIFF", 4);
  PutLE(&h[4], f.dataBytes + 36, 4);
  std::memcpy(&h[8], "WAVEfmt ", 8);
  PutLE(&h[16], 16, 4);
  PutLE(&h[20], f.formatCode, 2);
  PutLE(&h[22], f.channels, 2);
  PutLE(&h[24], f.sampleRate, 4);
  PutLE(&h[28], f.byteRate, 4);
  PutLE(&h[32], f.blockAlign, 2);
  PutLE(&h[34], f.bitsPerSample, 2);
  std::memcpy(&h[36], "data", 4);
  PutLE(&h[40], f.dataBytes, 4);
  return h;
}

// The nearest integer to x scaled to the format's largest value; out of
// range values stop at full scale and NaN becomes silence.
std::int32_t ToPcm(float x, float fullScale) {
  if (std::isnan(x)) return 0;
  const float clamped = x < -1.0f ? -1.0f : (x > 1.0f ? 1.0f : x);
  return static_cast<std::int32_t>(std::lrint(clamped * fullScale));
}

void WritePcm(TFileStream& file, std::span<const float> samples, int bytesPerSample) {
  constexpr size_t kSamplesPerBlock = 64 * 1024;
  auto block = std::make_unique<std::uint8_t[]>(kSamplesPerBlock * bytesPerSample);
  for (size_t done = 0; done < samples.size();) {
    const size_t n = std::min(kSamplesPerBlock, samples.size() - done);
    std::uint8_t* out = block.get();
    for (size_t i = 0; i < n; ++i, out += bytesPerSample) {
      const float x = samples[done + i];
      switch (bytesPerSample) {
        case 1: *out = static_cast<std::uint8_t>(128 + ToPcm(x, 127.0f)); break;
        case 2: PutLE(out, static_cast<std::uint32_t>(ToPcm(x, 32767.0f)), 2); break;
        default: PutLE(out, static_cast<std::uint32_t>(ToPcm(x, 8388607.0f)), 3); break;
      }
    }
    file.WriteBuffer(block.get(), static_cast<std::int64_t>(n) * bytesPerSample);
    done += n;
  }
}

// Beside the target, so the final rename stays within one file system.
String TemporaryNameFor(const String& fileName) {
  static std::atomic<unsigned> counter{0};
  return fileName + Format(u".%d-%d.tmp", static_cast<long long>(System::Native::ProcessId()), counter.fetch_add(1));
}

// The temporary name is ours, not the caller's: a failure names the target.
template <class E>
[[noreturn]] void RethrowNaming(const E& e, const String& temporary, const String& target) {
  String message = e.Message();
  if (const size_t at = message.find(temporary); at != String::npos) message.replace(at, temporary.size(), target);
  throw E(message);
}

// Writing to a symbolic link means writing to the file it points at: the
// rename must replace that file, not the link.
String FollowLinks(const String& fileName) {
  namespace fs = std::filesystem;
  if (fileName.find(u'\0') != String::npos) return fileName;  // refused by the file stream
  fs::path path;
  try {
    path = fs::path(fileName);
  } catch (const std::exception&) {
    return fileName;  // a lone surrogate: refused by the file stream
  }
  std::error_code error;
  for (int hops = 0; fs::is_symlink(fs::symlink_status(path, error)); ++hops) {
    // A loop of links has no file to write to; replacing one of its links
    // would quietly break it.
    if (hops == 40) {
      throw System::Classes::EFCreateError(
          Format(u"Cannot create file \"%s\". %s", fileName, System::Sysutils::SysErrorMessage(ELOOP)));
    }
    const fs::path link = fs::read_symlink(path, error);
    if (error) break;
    path = link.is_absolute() ? link : path.parent_path() / link;
  }
  const std::u16string followed = path.u16string();
  return String(followed.begin(), followed.end());
}

}  // namespace

TWaveWriter::TWaveWriter(std::int32_t ASampleRate, std::uint16_t ANumChannels, std::uint16_t ABitsPerSample)
    : FSampleRate(ASampleRate), FNumChannels(ANumChannels), FBitsPerSample(ABitsPerSample) {}

void TWaveWriter::WriteFloatData(std::span<const float> AudioData, const String& AFileName) const {
  const bool knownWidth = FBitsPerSample == 8 || FBitsPerSample == 16 || FBitsPerSample == 24 || FBitsPerSample == 32;
  if (FSampleRate <= 0 || FNumChannels == 0 || !knownWidth || AFileName.empty()) {
    throw Exception(Messages::kInvalidParameters);
  }
  const std::uint32_t bytesPerSample = FBitsPerSample / 8u;
  const std::uint64_t blockAlign = std::uint64_t{FNumChannels} * bytesPerSample;
  const std::uint64_t byteRate = std::uint64_t(FSampleRate) * blockAlign;
  if (blockAlign > std::numeric_limits<std::uint16_t>::max() || byteRate > std::numeric_limits<std::uint32_t>::max()) {
    throw Exception(Messages::kInvalidParameters);
  }
  const auto length = static_cast<std::int64_t>(AudioData.size());
  if (length % FNumChannels != 0) throw Exception(Format(Messages::kLengthNotMultiple, length, FNumChannels));
  const std::int64_t dataBytes = length * bytesPerSample;
  if (length / FNumChannels > std::numeric_limits<std::int32_t>::max() ||
      dataBytes > std::int64_t{std::numeric_limits<std::uint32_t>::max()} - 36) {
    throw Exception(Format(Messages::kDataTooLarge, dataBytes));
  }

  const auto header = BuildHeader({static_cast<std::uint32_t>(dataBytes), FBitsPerSample == 32 ? kFormatFloat : kFormatPcm,
                                   FNumChannels, static_cast<std::uint32_t>(FSampleRate),
                                   static_cast<std::uint32_t>(byteRate), static_cast<std::uint16_t>(blockAlign),
                                   FBitsPerSample});
  const String target = FollowLinks(AFileName);
  const String temporary = TemporaryNameFor(target);
  try {
    TFileStream file(temporary, System::Classes::fmCreate);
    // The mode bits of the file being replaced, so a private file stays private.
    if (const int mode = System::Native::PermissionsOf(target);
        mode >= 0 && !System::Native::SetPermissions(file.Handle(), mode)) {
      throw System::Classes::EFCreateError(Format(u"Cannot create file \"%s\". %s", AFileName,
                                                  System::Sysutils::SysErrorMessage(errno)));
    }
    file.WriteBuffer(header.data(), kHeaderBytes);
    if (FBitsPerSample == 32) {
      file.WriteBuffer(AudioData.data(), length * 4);
    } else {
      WritePcm(file, AudioData, static_cast<int>(bytesPerSample));
    }
    file.Close();
    if (!System::Native::RenameOver(temporary, target)) {
      const int error = errno;
      throw System::Classes::EFCreateError(
          Format(u"Cannot create file \"%s\". %s", AFileName, System::Sysutils::SysErrorMessage(error)));
    }
  } catch (...) {
    System::Native::RemoveFile(temporary);
    try {
      throw;
    } catch (const System::Classes::EFCreateError& e) {
      RethrowNaming(e, temporary, AFileName);
    } catch (const System::Classes::EWriteError& e) {
      RethrowNaming(e, temporary, AFileName);
    }
  }
}

}  // namespace Audio::Wave::Reader
