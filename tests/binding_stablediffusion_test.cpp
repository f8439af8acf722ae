// Loading the diffusion library: all fifteen entry points or none, and a load
// that failed is tried again in full.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "binding/stablediffusion_library.h"
#include "tests/fakes/sd_fake.h"
#include "tests/support/test_support.h"

namespace {

using namespace Stablediffusion;
using Corvina::Testing::MessageOf;
using System::String;

const String kFakes = System::UTF8ToString(CORVINA_FAKE_DIR "fakes/");
const String kLibrary = System::UTF8ToString(Corvina::Testing::LibraryFile("stable-diffusion"));

std::vector<void*> EntryPoints() {
  return {reinterpret_cast<void*>(sd_set_log_callback),    reinterpret_cast<void*>(sd_set_progress_callback),
          reinterpret_cast<void*>(sd_set_preview_callback), reinterpret_cast<void*>(sd_get_num_physical_cores),
          reinterpret_cast<void*>(sd_ctx_params_init),      reinterpret_cast<void*>(new_sd_ctx),
          reinterpret_cast<void*>(free_sd_ctx),             reinterpret_cast<void*>(sd_img_gen_params_init),
          reinterpret_cast<void*>(generate_image),          reinterpret_cast<void*>(sd_vid_gen_params_init),
          reinterpret_cast<void*>(generate_video),          reinterpret_cast<void*>(new_upscaler_ctx),
          reinterpret_cast<void*>(free_upscaler_ctx),       reinterpret_cast<void*>(upscale),
          reinterpret_cast<void*>(preprocess_canny)};
}

int NullCount() {
  int n = 0;
  for (void* p : EntryPoints()) n += p == nullptr;
  return n;
}

class SDLibs : public ::testing::Test {
 protected:
  void SetUp() override { UnLoadSDLibs(); }
  void TearDown() override {
    UnLoadSDLibs();
    SD_DLL_PATH.clear();
  }
};

TEST_F(SDLibs, FailedLoadLeavesNothingResolvedAndTheNextLoadTriesAgain) {
  struct Case {
    const char* name;
    String folder;
    String expectedStart;  // the system text follows for a file that does not load
  };
  const Case cases[] = {
      {"missing folder", kFakes + u"no-such-folder/",
       u"Can not load " + kFakes + u"no-such-folder/" + kLibrary + u" "},
      {"last export missing", kFakes + u"sd-nocanny/", u"Load preprocess_canny failed!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SD_DLL_PATH = c.folder;
    const String message = MessageOf([] { LoadSDLibs(); });
    EXPECT_EQ(message.substr(0, c.expectedStart.size()), c.expectedStart);
    EXPECT_FALSE(SDLibsLoaded());
    EXPECT_EQ(NullCount(), 15) << "a failed load left entry points behind";
    EXPECT_EQ(MessageOf([] { RequireSDLibs(); }), u"The diffusion library is not loaded");

    SD_DLL_PATH = kFakes + u"sd/";
    LoadSDLibs();
    EXPECT_TRUE(SDLibsLoaded());
    EXPECT_EQ(NullCount(), 0);
    UnLoadSDLibs();
  }
}

TEST_F(SDLibs, LoadsOnceAndUnloadNullsEveryEntryPoint) {
  SD_DLL_PATH = kFakes + u"sd/";
  LoadSDLibs();
  const std::vector<void*> first = EntryPoints();
  // A second call must not reload: a wrong folder now would make it fail.
  SD_DLL_PATH = kFakes + u"no-such-folder/";
  LoadSDLibs();
  EXPECT_EQ(EntryPoints(), first);

  UnLoadSDLibs();
  EXPECT_EQ(NullCount(), 15);
  EXPECT_FALSE(SDLibsLoaded());
  // Unloading twice is harmless, and the library can come back.
  UnLoadSDLibs();
  SD_DLL_PATH = kFakes + u"sd/";
  LoadSDLibs();
  EXPECT_EQ(NullCount(), 0);
}

TEST_F(SDLibs, WithoutAFolderTheLibraryBesideThePackageIsLoaded) {
  SD_DLL_PATH.clear();
  LoadSDLibs();
  EXPECT_EQ(NullCount(), 0);
  // It is the library in lib/ (the reference backend), not a fake.
  void* beside = Corvina::Testing::LoadedLibrary(CORVINA_REFERENCE_SD_LIB);
  ASSERT_NE(beside, nullptr);
  EXPECT_EQ(Corvina::Testing::LibrarySymbol(beside, "sd_ctx_params_init"), reinterpret_cast<void*>(sd_ctx_params_init));
}

TEST_F(SDLibs, EntryPointsReachTheLoadedLibrary) {
  SD_DLL_PATH = kFakes + u"sd/";
  LoadSDLibs();
  Corvina::Fakes::TFakeSd& fake = Corvina::Fakes::LoadedFakeSd(CORVINA_FAKE_DIR "fakes/sd/" + Corvina::Testing::LibraryFile("stable-diffusion"));
  fake.Reset();
  fake.Script.PhysicalCores = 13;
  EXPECT_EQ(sd_get_num_physical_cores(), 13);
  sd_img_gen_params_t p{};
  sd_img_gen_params_init(&p);
  EXPECT_EQ(p.width, 777) << "the record was not filled by the library's init";
  EXPECT_EQ(fake.CallNames(), (std::vector<std::string>{"sd_get_num_physical_cores", "sd_img_gen_params_init"}));
}

}  // namespace
