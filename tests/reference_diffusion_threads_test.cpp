// The reference diffusion backend from several threads at once: contexts are
// independent, callback registrations may change while another thread is
// inside the library, and the loader's own thread logs during new_sd_ctx.
#include <gtest/gtest.h>

#include <atomic>

#include "tests/support/reference_diffusion_support.h"

namespace {

using namespace Corvina::Testing;

ReferenceDiffusion& Lib() {
  static ReferenceDiffusion lib;
  return lib;
}

void* NewContext(const std::string& path) {
  sd_ctx_params_t p;
  Lib().ctx_params_init(&p);
  p.model_path = path.c_str();
  p.free_params_immediately = false;
  return Lib().new_sd_ctx(&p);
}

Picture Generate(void* ctx, int64_t seed) {
  sd_img_gen_params_t p;
  Lib().img_gen_params_init(&p);
  p.prompt = "a yellow kite";
  p.negative_prompt = "";
  p.seed = seed;
  p.width = 64;
  p.height = 64;
  p.sample_params.sample_steps = 6;
  auto pictures = TakeResults(Lib().generate_image(ctx, &p), 1);
  return pictures.empty() ? Picture{} : pictures.front();
}

TEST(ReferenceDiffusionThreads, ConcurrentGenerationsMatchSequentialOnesWhileCallbacksChange) {
  Recorder rec;
  Lib().set_log_callback(&Recorder::OnLog, &rec);
  Lib().set_progress_callback(&Recorder::OnProgress, &rec);
  Lib().set_preview_callback(&Recorder::OnPreview, PREVIEW_PROJ, 2, true, true, &rec);
  const std::string models[] = {ModelPath("corvina-sd.cvm"), ModelPath("corvina-sd-cells.cvm")};

  Picture expected[2];
  for (int i = 0; i < 2; ++i) {
    void* ctx = NewContext(models[i]);
    ASSERT_NE(ctx, nullptr);
    expected[i] = Generate(ctx, 100 + i);
    Lib().free_sd_ctx(ctx);
  }

  std::atomic<bool> done{false};
  Picture got[2][3];
  std::vector<std::thread> workers;
  for (int i = 0; i < 2; ++i) {
    workers.emplace_back([&, i] {
      void* ctx = NewContext(models[i]);
      for (auto& picture : got[i]) picture = Generate(ctx, 100 + i);
      Lib().free_sd_ctx(ctx);
    });
  }
  // Registrations change under the workers' feet, as when a host constructs
  // another component while one generates.
  std::thread registrar([&] {
    Recorder other;
    while (!done.load()) {
      Lib().set_log_callback(&Recorder::OnLog, &other);
      Lib().set_log_callback(&Recorder::OnLog, &rec);
      Lib().set_preview_callback(&Recorder::OnPreview, PREVIEW_PROJ, 2, true, true, &rec);
    }
  });
  for (auto& w : workers) w.join();
  done = true;
  registrar.join();

  for (int i = 0; i < 2; ++i)
    for (const auto& picture : got[i]) EXPECT_EQ(picture, expected[i]) << i;
  Lib().set_log_callback(nullptr, nullptr);
  Lib().set_progress_callback(nullptr, nullptr);
  Lib().set_preview_callback(nullptr, PREVIEW_NONE, 1, true, false, nullptr);
  std::lock_guard guard(rec.lock);
  EXPECT_FALSE(rec.previews.empty());
}

TEST(ReferenceDiffusionThreads, FreeingOneContextLeavesAnotherThreadsContextWorking) {
  const std::string path = ModelPath("corvina-sd.cvm");
  void* kept = NewContext(path);
  ASSERT_NE(kept, nullptr);
  const Picture expected = Generate(kept, 7);
  std::thread churn([&] {
    for (int i = 0; i < 20; ++i) Lib().free_sd_ctx(NewContext(path));
  });
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Generate(kept, 7), expected);
  churn.join();
  Lib().free_sd_ctx(kept);
}

TEST(ReferenceDiffusionThreads, AContextSharedByThreadsAndFreedMeanwhileNeverFailsACallInProgress) {
  const std::string path = ModelPath("corvina-sd.cvm");
  void* shared = NewContext(path);
  ASSERT_NE(shared, nullptr);
  const Picture expected = Generate(shared, 3);
  std::atomic<int> started{0}, finished{0}, refused{0};
  std::vector<std::thread> users;
  for (int t = 0; t < 2; ++t) {
    users.emplace_back([&] {
      for (int i = 0; i < 4; ++i) {
        ++started;
        const Picture got = Generate(shared, 3);
        if (got.pixels.empty()) {
          ++refused;
        } else {
          EXPECT_EQ(got, expected);
          ++finished;
        }
      }
    });
  }
  while (started.load() < 3) std::this_thread::yield();
  Lib().free_sd_ctx(shared);  // calls already inside finish; later ones are refused
  for (auto& u : users) u.join();
  EXPECT_EQ(finished + refused, 8);
  EXPECT_GE(finished.load(), 1);
}

}  // namespace
