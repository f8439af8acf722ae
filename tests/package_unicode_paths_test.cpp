// Names beyond ASCII, as users' folders have them: pictures, WAV files,
// library folders and model files under "Modèles 模型" reach the system
// through its wide calls on Windows and the libraries as UTF-8 texts.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "audio/wave_file_reader.h"
#include "audio/wave_writer.h"
#include "binding/stablediffusion_library.h"
#include "face/face_enhancer.h"
#include "framework/graphics.h"
#include "tests/fakes/sam2_fake.h"
#include "tests/support/bitmap_support.h"
#include "tests/support/native_library.h"
#include "tests/support/test_support.h"
#include "vision/anything_fmx.h"

using namespace Corvina::Testing;
using System::String;

namespace {

namespace fs = std::filesystem;

class UnicodePaths : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(Folder()); }
  void TearDown() override {
    Anything::Fmx::UnLoadAnyLibs();
    Anything::Fmx::ANY_DLL_PATH.clear();
    Stablediffusion::UnLoadSDLibs();
    Stablediffusion::SD_DLL_PATH.clear();
  }

  fs::path Folder() const { return FTemp.Path("Modèles 模型"); }
  String File(const char* name) const { return FileName(Folder() / Utf8Path(name)); }
  // The folder as the package wants it, with its trailing separator.
  String LibraryFolder() const { return FileName(Folder()) + NativeFolder("/"); }
  // A library from the build tree, copied into the folder.
  void CopyLibrary(const std::string& from, const std::string& name) const {
    fs::copy_file(Utf8Path(from) / LibraryFile(name), Folder() / LibraryFile(name));
  }

  TempDir FTemp;
};

}  // namespace

TEST_F(UnicodePaths, PicturesOfEveryFormatSaveAndLoadBack) {
  Fmx::Graphics::TBitmap source(3, 2);
  const std::vector<System::Uitypes::TAlphaColor> pixels = {0xFF102030u, 0xFF405060u, 0xFF708090u,
                                                            0xFFA0B0C0u, 0xFFD0E0F0u, 0xFF000000u};
  Fill(source, pixels);
  for (const char* name : {"image.png", "image.bmp", "image.jpg"}) {
    source.SaveToFile(File(name));
    ASSERT_TRUE(fs::is_regular_file(Folder() / name)) << name;
    Fmx::Graphics::TBitmap loaded;
    loaded.LoadFromFile(File(name));
    EXPECT_EQ(loaded.Width(), 3) << name;
    EXPECT_EQ(loaded.Height(), 2) << name;
    // JPEG is lossy; the lossless formats give every pixel back.
    if (std::string(name) != "image.jpg") {
      EXPECT_EQ(Pixels(loaded), pixels) << name;
    }
  }
}

TEST_F(UnicodePaths, WavFilesWriteAndReadBack) {
  const std::vector<float> samples = {0.0f, 0.25f, -0.5f, 0.75f, 1.0f, -1.0f};
  Audio::Wave::Reader::TWaveWriter(22050, 2, 32).WriteFloatData(samples, File("voix 声音.wav"));
  {
    Audio::Wave::Reader::TWaveReader reader(File("voix 声音.wav"));
    EXPECT_EQ(reader.SampleRate(), 22050u);
    EXPECT_EQ(reader.NumberOfChannel(), 2);
    EXPECT_EQ(reader.DataChunk()->SampleCount(), 3);
  }
  // Closed first (Windows replaces no open file), replacing it goes through a temporary file beside it, and leaves none.
  Audio::Wave::Reader::TWaveWriter(8000, 1, 16).WriteFloatData(samples, File("voix 声音.wav"));
  EXPECT_EQ(std::distance(fs::directory_iterator(Folder()), fs::directory_iterator()), 1);
}

TEST_F(UnicodePaths, LibraryFoldersAndModelFilesReachTheLibraries) {
  CopyLibrary(CORVINA_FAKE_DIR "fakes/sd", "stable-diffusion");
  for (const String& companion : Anything::Fmx::ANY_DLL_COMPANIONS) {
    const std::string name = System::UTF8Encode(companion);
    CopyLibrary(CORVINA_SAM2_FAKES_DIR "sam2", name.substr(0, name.rfind('.')));
  }
  CopyLibrary(CORVINA_SAM2_FAKES_DIR "sam2", "sam2");

  Stablediffusion::SD_DLL_PATH = LibraryFolder();
  Stablediffusion::LoadSDLibs();
  EXPECT_TRUE(Stablediffusion::SDLibsLoaded());
  Anything::Fmx::ANY_DLL_PATH = LibraryFolder();
  Anything::Fmx::LoadAnyLibs();
  ASSERT_TRUE(Anything::Fmx::AnyLibsLoaded());

  // The model is checked by its UTF-16 name and handed over as UTF-8.
  WriteFileBytes(Folder() / "visage.model", "model");
  const Corvina::Fake::TFakeSam2 fake(System::UTF8Encode(File(LibraryFile("sam2").c_str())));
  fake.Reset();
  {
    Face::Fmx::TFMXFaceEnhancer enhancer(nullptr);
    enhancer.SetModel(File("visage.model"));
    enhancer.SetActive(true);
  }
  const std::vector<Corvina::Fake::TFakeCall> calls = fake.Calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.front().Entry, "face_enhancer_init");
  ASSERT_FALSE(calls.front().Texts.empty());
  EXPECT_EQ(calls.front().Texts[0], System::UTF8Encode(File("visage.model")));
}
