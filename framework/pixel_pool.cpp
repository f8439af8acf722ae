#include "framework/pixel_pool.h"

#if defined(__linux__)
#include <sched.h>
#endif
#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define CORVINA_PAUSE() _mm_pause()
#else
#define CORVINA_PAUSE() ((void)0)
#endif

namespace Fmx::Graphics::Detail {

namespace {

// Pixel work comes in bursts (a conversion, then the next frame's), so a
// thread that has just finished keeps looking for work a little while
// before it sleeps: a wake-up from sleep costs more than most splits.
constexpr std::chrono::microseconds kSpinTime{50};

// GCC 12's std::atomic wait and notify on Windows, which has no futex, can
// lose a wake-up (GCC bug 106183) and leave a worker or its caller asleep for
// good: a split hung now and then under load. The system's own wait on an
// address does not.
void WaitWhileEqual(std::atomic<std::uint32_t>& state, std::uint32_t old) {
#if defined(_WIN32)
  ::WaitOnAddress(static_cast<volatile void*>(&state), &old, sizeof old, INFINITE);
#else
  state.wait(old, std::memory_order_acquire);
#endif
}

void WakeOne(std::atomic<std::uint32_t>& state) {
#if defined(_WIN32)
  ::WakeByAddressSingle(static_cast<void*>(&state));
#else
  state.notify_one();
#endif
}

std::size_t CountCores() {
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
#endif
  return std::max(1u, std::thread::hardware_concurrency());
}

// Asked once: the pool is sized by it for good, and the system call costs
// a noticeable part of a small split.
std::size_t CoreCount() {
  static const std::size_t cores = CountCores();
  return cores;
}

// At most this many threads share one split (the caller included).
constexpr std::size_t kMaxThreads = 64;

// One split. Each thread owns a slice of the ranges and takes them in order
// from its own counter, then helps with the other slices, so that a thread
// slowed by other work on the machine simply does fewer. The caller always
// owns the first slice and worker i the slice after it: repeated splits of
// the same picture give each core the same rows, which stay in its own
// cache instead of moving between cores on every call.
struct TJob {
  struct alignas(64) TSlice {
    std::atomic<std::size_t> Next{0};
    std::size_t End = 0;
  };

  void (*Body)(void*, std::size_t, std::size_t);
  void* Context;
  std::size_t Count;
  std::size_t Chunk;
  std::size_t Chunks;
  std::size_t Threads = 1;
  TSlice Slices[kMaxThreads];
  std::mutex ErrorMutex;
  std::exception_ptr Error;

  void Share(std::size_t threads) {
    Threads = threads;
    for (std::size_t t = 0; t < threads; ++t) {
      Slices[t].Next.store(Chunks * t / threads, std::memory_order_relaxed);
      Slices[t].End = Chunks * (t + 1) / threads;
    }
  }

  void RunRanges(std::size_t self) noexcept {
    for (std::size_t i = 0; i < Threads; ++i) {
      TSlice& slice = Slices[(self + i) % Threads];
      for (std::size_t c; (c = slice.Next.fetch_add(1, std::memory_order_relaxed)) < slice.End;) RunChunk(c);
    }
  }

 private:
  void RunChunk(std::size_t c) noexcept {
    const std::size_t begin = c * Chunk;
    const std::size_t end = std::min(Count, begin + Chunk);
    try {
      Body(Context, begin, end);
    } catch (...) {
      std::lock_guard lock(ErrorMutex);
      if (!Error) Error = std::current_exception();
    }
  }
};

// Each worker has a mailbox word: a job number in the high bits and a phase
// in the low two. The caller posts, the worker claims (Posted -> Running)
// and reports Done; a worker that wakes after the caller has taken back an
// unclaimed post (Posted -> Idle) finds nothing, so the caller never waits
// for a sleeper to wake up.
enum : std::uint32_t { kIdle = 0, kPosted = 1, kRunning = 2, kDone = 3, kPhase = 3 };

class TPixelPool {
 public:
  explicit TPixelPool(std::size_t workers) : FSlots(workers) {
    FThreads.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i) FThreads.emplace_back([this, i] { Work(i); });
  }

  ~TPixelPool() { Close(); }

  // Ends the workers for good once no split holds the pool; every later Run
  // finds it held and lets its caller work alone.
  void Close() {
    if (FClosed.exchange(true)) return;
    while (FBusy.exchange(true, std::memory_order_acquire)) std::this_thread::yield();
    FStop.store(true, std::memory_order_relaxed);
    for (TSlot& slot : FSlots) {
      slot.State.store(kPosted, std::memory_order_release);
      WakeOne(slot.State);
    }
    for (std::thread& t : FThreads) t.join();
  }

  std::size_t Workers() const { return FSlots.size(); }

  // False when another split holds the pool; the caller then works alone.
  bool Run(TJob& job, std::size_t helpers) {
    if (FBusy.exchange(true, std::memory_order_acquire)) return false;
    helpers = std::min(helpers, FSlots.size());
    job.Share(helpers + 1);
    FJob = &job;
    const std::uint32_t ticket = (++FTicket) << 2;
    for (std::size_t i = 0; i < helpers; ++i) {
      FSlots[i].State.store(ticket | kPosted, std::memory_order_release);
      WakeOne(FSlots[i].State);
    }
    job.RunRanges(0);
    for (std::size_t i = 0; i < helpers; ++i) {
      std::atomic<std::uint32_t>& state = FSlots[i].State;
      std::uint32_t expected = ticket | kPosted;
      if (state.compare_exchange_strong(expected, ticket | kIdle, std::memory_order_acq_rel)) continue;
      WaitWhile(state, [&](std::uint32_t s) { return s != (ticket | kDone); });
    }
    FJob = nullptr;
    FBusy.store(false, std::memory_order_release);
    return true;
  }

 private:
  struct TSlot {
    alignas(64) std::atomic<std::uint32_t> State{kIdle};
  };

  // Spins before every sleep, not only the first: a wake-up means work is
  // flowing again, and a worker that went back to sleep at once would miss
  // every later post of a burst (each one reclaimed by a caller that could
  // not wait for its wake-up), leaving the caller to do all the work.
  template <class Pred>
  static std::uint32_t WaitWhile(std::atomic<std::uint32_t>& state, Pred keepWaiting) {
    std::uint32_t s = state.load(std::memory_order_acquire);
    while (keepWaiting(s)) {
      const auto until = std::chrono::steady_clock::now() + kSpinTime;
      for (int i = 1; keepWaiting(s); ++i) {
        CORVINA_PAUSE();
        s = state.load(std::memory_order_acquire);
        if (i % 64 == 0 && std::chrono::steady_clock::now() > until) break;
      }
      if (!keepWaiting(s)) break;
      WaitWhileEqual(state, s);
      s = state.load(std::memory_order_acquire);
    }
    return s;
  }

  void Work(std::size_t index) {
    TSlot& slot = FSlots[index];
    for (;;) {
      std::uint32_t s = WaitWhile(slot.State, [](std::uint32_t v) { return (v & kPhase) != kPosted; });
      if (FStop.load(std::memory_order_relaxed)) return;
      if (!slot.State.compare_exchange_strong(s, (s & ~kPhase) | kRunning, std::memory_order_acq_rel)) continue;
      FJob->RunRanges(index + 1);
      slot.State.store((s & ~kPhase) | kDone, std::memory_order_release);
      WakeOne(slot.State);
    }
  }

  std::vector<TSlot> FSlots;
  std::vector<std::thread> FThreads;
  std::atomic<bool> FBusy{false};
  std::atomic<bool> FStop{false};
  std::atomic<bool> FClosed{false};
  std::uint32_t FTicket = 0;  // only the holder of FBusy touches it
  TJob* FJob = nullptr;       // published to workers by their post
};

std::atomic<std::size_t> gThreadLimit{0};

TPixelPool* Pool() {
  // Created on first use; a process that never splits work never starts a
  // thread. Its workers are joined at exit, but the pool itself is never
  // freed: exit destroys statics made before it (a component kept in one)
  // later, and their workers may still split work then.
  static TPixelPool* const pool =
      CoreCount() > 1 ? std::make_unique<TPixelPool>(std::min(CoreCount(), kMaxThreads) - 1).release() : nullptr;
#if !defined(_WIN32)
  struct TCloser {
    ~TCloser() {
      if (pool) pool->Close();
    }
  };
  static const TCloser closer;
#endif
  // Windows ends every other thread before it destroys a DLL's statics at
  // exit: the workers are gone by then, and a split that an ended thread
  // held would never be given back, so closing would wait for ever.
  return pool;
}

}  // namespace

std::size_t PixelThreadCount() {
  const std::size_t cores = CoreCount();
  const std::size_t limit = gThreadLimit.load(std::memory_order_relaxed);
  return limit == 0 ? cores : std::min(cores, limit);
}

void LimitPixelThreads(std::size_t Threads) { gThreadLimit.store(Threads, std::memory_order_relaxed); }

void ParallelFor(std::size_t count, std::size_t grain, std::size_t minCount,
                 void (*body)(void*, std::size_t, std::size_t), void* context) {
  if (count == 0) return;
  grain = std::max<std::size_t>(grain, 1);
  const std::size_t threads = PixelThreadCount();
  const std::size_t grains = (count + grain - 1) / grain;
  if (threads < 2 || count < minCount || grains < 2) {
    body(context, 0, count);
    return;
  }
  // A few ranges per thread even out threads that other work slows down.
  const std::size_t chunks = std::min(grains, threads * 4);
  TJob job;
  job.Body = body;
  job.Context = context;
  job.Count = count;
  job.Chunk = (grains + chunks - 1) / chunks * grain;
  job.Chunks = (count + job.Chunk - 1) / job.Chunk;
  TPixelPool* pool = Pool();
  if (pool == nullptr || !pool->Run(job, std::min(threads - 1, job.Chunks - 1))) {
    body(context, 0, count);
    return;
  }
  if (job.Error) std::rethrow_exception(job.Error);
}

}  // namespace Fmx::Graphics::Detail
