// The process-wide pool that splits pixel work: every index exactly once,
// in ranges that start on the grain, whatever calls it and from where.
#include "framework/pixel_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "framework/exceptions.h"

using Fmx::Graphics::Detail::LimitPixelThreads;
using Fmx::Graphics::Detail::ParallelFor;
using Fmx::Graphics::Detail::PixelThreadCount;

namespace {

// Which ranges ran, and how often each index was visited.
struct TCoverage {
  explicit TCoverage(std::size_t count) : Visits(count) {}

  void Add(std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) Visits[i].fetch_add(1, std::memory_order_relaxed);
    std::lock_guard lock(Mutex);
    Ranges.push_back({begin, end});
    Threads.insert(std::this_thread::get_id());
  }
  bool EachIndexOnce() const {
    for (const auto& v : Visits)
      if (v.load() != 1) return false;
    return true;
  }

  std::vector<std::atomic<int>> Visits;
  std::mutex Mutex;
  std::vector<std::pair<std::size_t, std::size_t>> Ranges;
  std::set<std::thread::id> Threads;
};

class PixelPool : public ::testing::Test {
 protected:
  void TearDown() override { LimitPixelThreads(0); }
};

}  // namespace

TEST_F(PixelPool, CoversEveryIndexOnceInRangesThatStartOnTheGrain) {
  struct Case {
    std::size_t count, grain, minCount;
  };
  const Case cases[] = {{0, 16, 0},         {1, 16, 0},        {15, 16, 0},     {17, 16, 0},
                        {1000, 1, 0},       {100003, 16, 0},   {100003, 16, 200000},
                        {4096, 4096, 0},    {4097, 4096, 0},   {65536, 7, 1024}};
  for (const Case& c : cases) {
    TCoverage coverage(c.count);
    ParallelFor(c.count, c.grain, c.minCount, [&](std::size_t b, std::size_t e) { coverage.Add(b, e); });
    EXPECT_TRUE(coverage.EachIndexOnce()) << c.count << " / " << c.grain;
    for (const auto& [b, e] : coverage.Ranges) {
      EXPECT_EQ(b % c.grain, 0u) << c.count << " / " << c.grain;
      EXPECT_LT(b, e);
    }
    if (c.count < c.minCount || c.count <= c.grain) {
      EXPECT_LE(coverage.Ranges.size(), 1u) << "small work is not split";
    }
  }
}

TEST_F(PixelPool, ALimitOfOneThreadRunsEverythingOnTheCaller) {
  LimitPixelThreads(1);
  EXPECT_EQ(PixelThreadCount(), 1u);
  TCoverage coverage(1 << 20);
  ParallelFor(1 << 20, 16, 0, [&](std::size_t b, std::size_t e) { coverage.Add(b, e); });
  EXPECT_TRUE(coverage.EachIndexOnce());
  EXPECT_EQ(coverage.Threads, std::set<std::thread::id>{std::this_thread::get_id()});
}

TEST_F(PixelPool, AnExceptionFromOneRangeReachesTheCallerAfterEveryRangeEnded) {
  std::atomic<int> ended{0};
  try {
    ParallelFor(64, 1, 0, [&](std::size_t b, std::size_t e) {
      for (std::size_t i = b; i < e; ++i) {
        if (i == 37) {
          ++ended;
          throw System::Sysutils::Exception(u"range with 37 failed");
        }
      }
      ++ended;
    });
    ADD_FAILURE() << "nothing raised";
  } catch (const System::Sysutils::Exception& e) {
    EXPECT_EQ(e.Message(), u"range with 37 failed");
  }
  const int afterwards = ended.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(ended.load(), afterwards) << "a range was still running when the call returned";
  // The pool still works afterwards.
  TCoverage coverage(5000);
  ParallelFor(5000, 1, 0, [&](std::size_t b, std::size_t e) { coverage.Add(b, e); });
  EXPECT_TRUE(coverage.EachIndexOnce());
}

TEST_F(PixelPool, NestedAndConcurrentSplitsFinishAndCoverEverything) {
  // A split inside a split, and splits from several threads at once: whoever
  // finds the pool busy does its work alone instead of waiting for it.
  constexpr std::size_t kOuter = 8, kInner = 3000;
  std::vector<std::unique_ptr<TCoverage>> inner;
  for (std::size_t i = 0; i < kOuter; ++i) inner.push_back(std::make_unique<TCoverage>(kInner));
  ParallelFor(kOuter, 1, 0, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) {
      ParallelFor(kInner, 1, 0, [&](std::size_t ib, std::size_t ie) { inner[i]->Add(ib, ie); });
    }
  });
  for (const auto& c : inner) EXPECT_TRUE(c->EachIndexOnce());

  std::vector<std::unique_ptr<TCoverage>> perThread;
  for (int t = 0; t < 4; ++t) perThread.push_back(std::make_unique<TCoverage>(200000));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        TCoverage& c = *perThread[t];
        ParallelFor(10000, 16, 0, [&](std::size_t b, std::size_t e) { c.Add(round * 10000 + b, round * 10000 + e); });
      }
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& c : perThread) EXPECT_TRUE(c->EachIndexOnce());
}

TEST_F(PixelPool, BackToBackSplitsNeverLoseOrRepeatARange) {
  // Many short splits in a row: workers still spinning from the last one
  // must take part in the next one or stay out of it, never both.
  for (int round = 0; round < 2000; ++round) {
    const std::size_t count = 64 + std::size_t(round % 50);
    TCoverage coverage(count);
    ParallelFor(count, 1, 0, [&](std::size_t b, std::size_t e) { coverage.Add(b, e); });
    ASSERT_TRUE(coverage.EachIndexOnce()) << "round " << round;
  }
}
