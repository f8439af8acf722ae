// The reference vision library serves several contexts on several threads at
// once (one thread per context, as the package uses it): its table of live
// contexts is shared, so contexts created, used and destroyed side by side
// must neither disturb one another nor change one another's results.
#include <dlfcn.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "binding/anything.h"

namespace {

struct Sam2 {
  Anything::lama_init_fn* lama_init = nullptr;
  Anything::lama_execute_fn* lama_execute = nullptr;
  Anything::lama_destroy_fn* lama_destroy = nullptr;
  Anything::sam_init_fn* sam_init = nullptr;
  Anything::sam_destroy_fn* sam_destroy = nullptr;
  Anything::sam_get_point_mask_fn* sam_get_point_mask = nullptr;
};

Sam2 Load() {
  Sam2 l;
  void* handle = ::dlopen(CORVINA_REFERENCE_VISION_LIB, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return l;
  l.lama_init = reinterpret_cast<Anything::lama_init_fn*>(::dlsym(handle, "lama_init"));
  l.lama_execute = reinterpret_cast<Anything::lama_execute_fn*>(::dlsym(handle, "lama_execute"));
  l.lama_destroy = reinterpret_cast<Anything::lama_destroy_fn*>(::dlsym(handle, "lama_destroy"));
  l.sam_init = reinterpret_cast<Anything::sam_init_fn*>(::dlsym(handle, "sam_init"));
  l.sam_destroy = reinterpret_cast<Anything::sam_destroy_fn*>(::dlsym(handle, "sam_destroy"));
  l.sam_get_point_mask = reinterpret_cast<Anything::sam_get_point_mask_fn*>(::dlsym(handle, "sam_get_point_mask"));
  return l;
}

std::string Model(const char* name) { return std::string(CORVINA_REFERENCE_VISION_MODELS) + name; }

constexpr int kW = 48, kH = 32, kPitch = kW * 4;

// A picture that differs per thread, and a mask marking a block in it.
std::vector<std::uint8_t> PictureFor(int seed) {
  std::vector<std::uint8_t> p(static_cast<std::size_t>(kPitch) * kH);
  for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<std::uint8_t>((i * 31 + seed * 97) % 251);
  return p;
}

std::vector<std::uint8_t> Mask() {
  std::vector<std::uint8_t> m(static_cast<std::size_t>(kPitch) * kH, 0);
  for (int y = 10; y < 20; ++y) std::memset(&m[static_cast<std::size_t>(y) * kPitch + 12 * 4], 255, 16 * 4);
  return m;
}

TEST(ReferenceVisionThreads, ContextsOnSeveralThreadsKeepTheirOwnResults) {
  const Sam2 lib = Load();
  ASSERT_TRUE(lib.lama_init && lib.lama_execute && lib.lama_destroy && lib.sam_init && lib.sam_destroy &&
              lib.sam_get_point_mask);
  const std::vector<std::uint8_t> mask = Mask();
  constexpr int kThreads = 4;

  // What each thread's picture gives when nothing else runs.
  std::vector<std::vector<std::uint8_t>> expected(kThreads);
  {
    void* ctx = lib.lama_init(Model("lama.cvm").c_str(), -1);
    ASSERT_NE(ctx, nullptr);
    for (int t = 0; t < kThreads; ++t) {
      const auto picture = PictureFor(t);
      const std::uint8_t* out = lib.lama_execute(ctx, picture.data(), mask.data(), kW, kH, kPitch);
      ASSERT_NE(out, nullptr);
      expected[t].assign(out, out + kW * kH * 3);
    }
    lib.lama_destroy(ctx);
  }

  std::atomic<int> mismatches{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      const auto picture = PictureFor(t);
      void* ctx = lib.lama_init(Model("lama.cvm").c_str(), -1);
      if (ctx == nullptr) {
        ++mismatches;
        return;
      }
      for (int i = 0; i < 20; ++i) {
        const std::uint8_t* out = lib.lama_execute(ctx, picture.data(), mask.data(), kW, kH, kPitch);
        if (out == nullptr || std::memcmp(out, expected[t].data(), expected[t].size()) != 0) ++mismatches;
      }
      lib.lama_destroy(ctx);
    });
  }
  // Meanwhile other contexts come and go, and dead ones are used.
  std::thread churn([&] {
    while (!stop) {
      void* ctx = lib.sam_init(Model("sam2_encoder.cvm").c_str(), Model("sam2_decoder.cvm").c_str(), "cpu");
      lib.sam_destroy(ctx);
      if (lib.sam_get_point_mask(ctx) != nullptr) ++mismatches;
    }
  });
  for (auto& w : workers) w.join();
  stop = true;
  churn.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
