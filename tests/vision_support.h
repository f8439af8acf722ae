// What the vision suites share: the folders of the vision library fakes, a
// fixture that loads the recording fake once and resets its script before
// each test, model files that exist, and small pixel helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/graphics.h"
#include "framework/strings.h"
#include "tests/fakes/sam2_fake.h"
#include "tests/support/native_library.h"
#include "tests/support/test_support.h"
#include "vision/anything_fmx.h"

namespace Corvina::Testing {

inline const std::string kSam2FakesDir = CORVINA_SAM2_FAKES_DIR;

inline System::String FakeFolder(const std::string& name) {
  return NativeFolder((kSam2FakesDir + name + "/").c_str());
}
// A library of a fake's folder: FakeLibrary("sam2", "onnxruntime").
inline std::string FakeLibrary(const std::string& folder, const std::string& name = "sam2") {
  return kSam2FakesDir + folder + "/" + LibraryFile(name);
}

// True when the library file at path is loaded in this process.
inline bool IsLoaded(const std::string& path) { return LoadedLibrary(path) != nullptr; }

// Loads the recording fake for the whole suite; each test starts with an
// empty log and default scripts, and two model files that exist.
class VisionFakeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Anything::Fmx::UnLoadAnyLibs();
    Anything::Fmx::ANY_DLL_PATH = FakeFolder("sam2");
    Anything::Fmx::LoadAnyLibs();
    sFake = std::make_unique<Fake::TFakeSam2>(FakeLibrary("sam2"));
  }
  static void TearDownTestSuite() {
    sFake.reset();
    Anything::Fmx::UnLoadAnyLibs();
    Anything::Fmx::ANY_DLL_PATH.clear();
  }
  void SetUp() override {
    Sam2().Reset();
    WriteFileBytes(FTemp.Path("encoder.model"), "encoder");
    WriteFileBytes(FTemp.Path("decoder.model"), "decoder");
  }
  void TearDown() override {
    // Every test destroys what it creates: no context may outlive it, and no
    // call may carry a context the fake never handed out.
    EXPECT_EQ(Sam2().LiveContexts(), 0);
    EXPECT_EQ(Sam2().ForeignContexts(), 0);
  }

  static const Fake::TFakeSam2& Sam2() { return *sFake; }
  System::String Model(const char* name = "encoder.model") const { return FTemp.File(name); }
  System::String Missing() const { return FTemp.File("missing.model"); }

  TempDir FTemp;
  static inline std::unique_ptr<Fake::TFakeSam2> sFake;
};

// A bitmap whose every pixel differs from its neighbours: B = x, G = y,
// R = x + y, A = 255 (all modulo 256).
inline std::unique_ptr<Fmx::Graphics::TBitmap> Gradient(std::int32_t width, std::int32_t height) {
  auto bmp = std::make_unique<Fmx::Graphics::TBitmap>(width, height);
  Fmx::Graphics::TBitmapMapping map(*bmp, Fmx::Graphics::TMapAccess::Write);
  for (std::int32_t y = 0; y < height; ++y)
    for (std::int32_t x = 0; x < width; ++x)
      map.Data().SetPixel(x, y, 0xFF000000u | (((x + y) & 255u) << 16) | ((y & 255u) << 8) | (x & 255u));
  return bmp;
}

// The bitmap's bytes in memory order, rows packed.
inline std::vector<std::uint8_t> PixelBytes(const Fmx::Graphics::TBitmap& bmp) {
  Fmx::Graphics::TBitmapMapping map(bmp);
  std::vector<std::uint8_t> out;
  for (std::int32_t y = 0; y < bmp.Height(); ++y) {
    const std::uint8_t* row = map.Scanline(y);
    out.insert(out.end(), row, row + static_cast<std::size_t>(bmp.Width()) * 4);
  }
  return out;
}

}  // namespace Corvina::Testing
