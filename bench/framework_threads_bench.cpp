// The hand-over to the main thread: a worker's TThread::Synchronize served by
// a main thread that pumps in either of the two ways programs do (a loop of
// CheckSynchronize with a timeout, or TThreadGroup::WaitFor), against a bare
// mutex and condition-variable ping-pong between two threads that does the
// same waking. Each iteration is a batch of kBatch round trips; the
// "round_trip" counter is the time of one.
#include <benchmark/benchmark.h>

#include <time.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "framework/threads.h"

using namespace System::Classes;

namespace {

constexpr int kBatch = 1000;

void CountRoundTrips(benchmark::State& state) {
  state.counters["round_trip"] = benchmark::Counter(static_cast<double>(state.iterations()) * kBatch,
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The main thread keeps calling CheckSynchronize(1000), as an event loop does.
void BM_SynchronizeCheckSynchronizeLoop(benchmark::State& state) {
  const System::TThreadID previous = SetMainThreadID(std::this_thread::get_id());
  for (auto _ : state) {
    TThreadGroup worker;
    worker.Start([] {
      for (int i = 0; i < kBatch; ++i) TThread::Synchronize(nullptr, [] {});
    });
    for (int served = 0; served < kBatch;) {
      if (TThread::CheckSynchronize(1000)) ++served;
    }
    worker.WaitFor();
  }
  CountRoundTrips(state);
  SetMainThreadID(previous);
}

// The main thread waits for the worker in TThreadGroup::WaitFor, which pumps.
void BM_SynchronizeWaitFor(benchmark::State& state) {
  const System::TThreadID previous = SetMainThreadID(std::this_thread::get_id());
  for (auto _ : state) {
    TThreadGroup worker;
    worker.Start([] {
      for (int i = 0; i < kBatch; ++i) TThread::Synchronize(nullptr, [] {});
    });
    worker.WaitFor();
  }
  CountRoundTrips(state);
  SetMainThreadID(previous);
}

void BM_MutexConditionPingPong(benchmark::State& state) {
  for (auto _ : state) {
    std::mutex mutex;
    std::condition_variable changed;
    bool requested = false;
    std::thread worker([&] {
      std::unique_lock lock(mutex);
      for (int i = 0; i < kBatch; ++i) {
        requested = true;
        changed.notify_all();
        changed.wait(lock, [&] { return !requested; });
      }
    });
    for (int i = 0; i < kBatch; ++i) {
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return requested; });
      requested = false;
      changed.notify_all();
    }
    worker.join();
  }
  CountRoundTrips(state);
}

// Called on the main thread Synchronize is a plain call.
void BM_SynchronizeOnMainThread(benchmark::State& state) {
  const System::TThreadID previous = SetMainThreadID(std::this_thread::get_id());
  int calls = 0;
  for (auto _ : state) TThread::Synchronize(nullptr, [&] { benchmark::DoNotOptimize(++calls); });
  SetMainThreadID(previous);
}

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double WallSeconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// An idle main thread in CheckSynchronize(1000) with nothing handed over: the
// "cpu_share" counter is the part of one core it burns while it waits.
void BM_IdleCheckSynchronize(benchmark::State& state) {
  const System::TThreadID previous = SetMainThreadID(std::this_thread::get_id());
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    const double cpu0 = ThreadCpuSeconds(), wall0 = WallSeconds();
    benchmark::DoNotOptimize(TThread::CheckSynchronize(1000));
    cpu += ThreadCpuSeconds() - cpu0;
    wall += WallSeconds() - wall0;
  }
  state.counters["cpu_share"] = wall > 0 ? cpu / wall : 0;
  SetMainThreadID(previous);
}

}  // namespace

BENCHMARK(BM_SynchronizeCheckSynchronizeLoop)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_SynchronizeWaitFor)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_MutexConditionPingPong)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_SynchronizeOnMainThread)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_IdleCheckSynchronize)->UseRealTime()->Iterations(3)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
