// The hand-over to the main thread: a worker's TThread::Synchronize served by
// a main thread that pumps CheckSynchronize, against a bare mutex and
// condition-variable ping-pong between two threads that does the same waking.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "framework/threads.h"

using namespace System::Classes;

namespace {

// One iteration is one full round trip: the worker's call arrives, the main
// thread runs it, the worker wakes and hands over the next one.
void BM_SynchronizeRoundTrip(benchmark::State& state) {
  const System::TThreadID previous = SetMainThreadID(std::this_thread::get_id());
  std::atomic<bool> stop{false};
  {
    TThreadGroup worker;
    worker.Start([&] {
      while (!stop.load()) TThread::Synchronize(nullptr, [] {});
    });
    for (auto _ : state) {
      while (!TThread::CheckSynchronize(1000)) {
      }
    }
    stop = true;
  }  // waits for the worker, pumping its last call
  SetMainThreadID(previous);
}

void BM_MutexConditionPingPong(benchmark::State& state) {
  std::mutex mutex;
  std::condition_variable changed;
  bool requested = false, stop = false;
  std::thread worker([&] {
    std::unique_lock lock(mutex);
    for (;;) {
      requested = true;
      changed.notify_all();
      changed.wait(lock, [&] { return !requested || stop; });
      if (stop) return;
    }
  });
  for (auto _ : state) {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return requested; });
    requested = false;
    changed.notify_all();
  }
  {
    std::lock_guard lock(mutex);
    stop = true;
  }
  changed.notify_all();
  worker.join();
}

// Called on the main thread Synchronize is a plain call.
void BM_SynchronizeOnMainThread(benchmark::State& state) {
  const System::TThreadID previous = SetMainThreadID(std::this_thread::get_id());
  int calls = 0;
  for (auto _ : state) TThread::Synchronize(nullptr, [&] { benchmark::DoNotOptimize(++calls); });
  SetMainThreadID(previous);
}

}  // namespace

BENCHMARK(BM_SynchronizeRoundTrip)->UseRealTime()->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(BM_MutexConditionPingPong)->UseRealTime()->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(BM_SynchronizeOnMainThread)->Repetitions(7)->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
