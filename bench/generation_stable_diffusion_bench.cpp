// What TFMXStableDiffusion adds around the library: one Text2Image of four
// 512 x 512 pictures, from the call to OnComplete, with an instant library
// (the recording fake, told to keep no log), against the conversions alone that the request must
// do in any case and against the same library call made directly; and the
// request's peak memory against its pixels.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <semaphore>
#include <string>
#include <thread>

#include "framework/pixel_memory.h"
#include "framework/threads.h"
#include "generation/sd_fmx.h"
#include "tests/fakes/sd_fake.h"

namespace {

using Sd::Fmx::TBitmaps;
using Sd::Fmx::TFMXStableDiffusion;
using System::Classes::TThread;

constexpr int kSide = 512, kBatch = 4;

Corvina::Fakes::TFakeSd& Fake() {
  return Corvina::Fakes::LoadedFakeSd(CORVINA_FAKE_DIR "fakes/sd/libstable-diffusion.so");
}

void LoadFake() {
  if (!Sd::Fmx::SDLibsLoaded()) {
    Sd::Fmx::SD_DLL_PATH = System::UTF8ToString(CORVINA_FAKE_DIR "fakes/sd/");
    Sd::Fmx::LoadSDLibs();
  }
  Fake().Script.KeepCalls = false;
}

struct TRig {
  TRig() {
    LoadFake();
    c = std::make_unique<TFMXStableDiffusion>(nullptr);
    c->SetBatchCount(kBatch);
    c->SetOnComplete([this](TFMXStableDiffusion*, TBitmaps outputs) { done = outputs.size() == kBatch; });
    c->SetActive(true);
  }
  void RunOne() {
    done = false;
    c->Text2Image(u"a lighthouse", u"", nullptr);
    while (!done) TThread::CheckSynchronize(1);
  }
  std::unique_ptr<TFMXStableDiffusion> c;
  bool done = false;
};

// glibc gives a large freed block back to the system when it leaves
// enough free memory at the top of its heap, and whether it does depends on
// what else that heap holds: then the next request faults its 3 MB of
// results in again (about 2 ms) in the component and in every peer alike,
// but not in each run alike. Each case therefore runs twice: with the
// allocator as it comes, and with it keeping freed memory, which shows the
// component's own cost. The second setting stays for the rest of the run.
enum class THeap { AsItComes, KeepsFreedMemory };

void UseHeap(THeap heap) {
  if (heap != THeap::KeepsFreedMemory) return;
  mallopt(M_MMAP_THRESHOLD, 16 << 20);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
}

void BM_Text2Image_CallToOnComplete(benchmark::State& state, THeap heap) {
  UseHeap(heap);
  TRig rig;
  for (auto _ : state) rig.RunOne();
  state.SetItemsProcessed(state.iterations());
}

// The work no design can skip: the library's four results (made here by
// malloc as the library does) converted into bitmaps and freed.
void BM_Text2Image_ConversionsOnly(benchmark::State& state, THeap heap) {
  UseHeap(heap);
  for (auto _ : state) {
    auto* images = static_cast<Sd::Fmx::sd_image_t*>(std::calloc(kBatch, sizeof(Sd::Fmx::sd_image_t)));
    for (int i = 0; i < kBatch; ++i) {
      images[i] = {kSide, kSide, 3, static_cast<std::uint8_t*>(std::malloc(kSide * kSide * 3))};
      std::memset(images[i].data, i, kSide * kSide * 3);  // the library writes its pixels too
    }
    Sd::Fmx::TSDImageArray results(images, kBatch);
    TBitmaps bitmaps = Sd::Fmx::ConvertResults(results, u"x");
    benchmark::DoNotOptimize(bitmaps.data());
  }
}

// The request without the component: the library called directly (the
// fake, which writes every byte of its results by its own rule, several
// times slower than the memset above) and its results converted and freed.
// The component's own cost is the request above minus this. Made on the
// benchmark's thread, and on one long-lived second thread as an application
// that keeps the library off its main thread would.
struct TDirectCall {
  TDirectCall() {
    LoadFake();
    using namespace Stablediffusion;
    sd_ctx_params_t contextParams;
    sd_ctx_params_init(&contextParams);
    contextParams.model_path = "";
    context = new_sd_ctx(&contextParams);
  }
  ~TDirectCall() { Stablediffusion::free_sd_ctx(context); }
  void RunOne() const {
    using namespace Stablediffusion;
    sd_img_gen_params_t p;
    sd_img_gen_params_init(&p);
    p.prompt = "a lighthouse";
    p.negative_prompt = "";
    p.width = kSide;
    p.height = kSide;
    p.batch_count = kBatch;
    Sd::Fmx::TSDImageArray results(generate_image(context, &p), kBatch);
    TBitmaps bitmaps = Sd::Fmx::ConvertResults(results, u"x");
    benchmark::DoNotOptimize(bitmaps.data());
  }
  void* context = nullptr;
};

void BM_Text2Image_DirectCallAndConversions(benchmark::State& state, THeap heap) {
  UseHeap(heap);
  TDirectCall direct;
  for (auto _ : state) direct.RunOne();
}

void BM_Text2Image_DirectCallOnSecondThread(benchmark::State& state, THeap heap) {
  UseHeap(heap);
  TDirectCall direct;
  std::binary_semaphore go(0), done(0);
  bool quit = false;
  std::thread second([&] {
    for (;;) {
      go.acquire();
      if (quit) return;
      direct.RunOne();
      done.release();
    }
  });
  for (auto _ : state) {
    go.release();
    done.acquire();
  }
  quit = true;
  go.release();
  second.join();
}

long StatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::strlen(key)));
  return -1;
}

// Peak resident memory of one request above what was resident before it,
// over the pixels it must hold: the library's four RGB results and the four
// bitmaps handed to OnComplete. Large blocks are mapped and unmapped on
// every allocation here, and the pixel blocks kept for reuse are given back,
// so freed memory cannot hide in the heap.
void BM_Text2Image_PeakMemory(benchmark::State& state) {
  mallopt(M_MMAP_THRESHOLD, 64 * 1024);
  mallopt(M_TRIM_THRESHOLD, 64 * 1024);
  TRig rig;
  rig.RunOne();  // threads, tables and first-use allocations
  double ratio = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Fmx::Graphics::Detail::ReleaseKeptPixelBlocks();  // the last request's bitmaps count again
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak to what is resident now
    const long before = StatusKb("VmRSS:");
    state.ResumeTiming();
    rig.RunOne();
    state.PauseTiming();
    const double peak = double(StatusKb("VmHWM:") - before) * 1024;
    const double pixels = double(kBatch) * kSide * kSide * (3 + 4);
    ratio = peak / pixels;
    state.ResumeTiming();
  }
  state.counters["peak_over_pixels"] = ratio;
}

void Cases(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMicrosecond)->UseRealTime()->Repetitions(7)->ReportAggregatesOnly(true);
}

// In this order: the heap setting cannot be undone.
BENCHMARK_CAPTURE(BM_Text2Image_CallToOnComplete, heap_as_it_comes, THeap::AsItComes)->Apply(Cases);
BENCHMARK_CAPTURE(BM_Text2Image_ConversionsOnly, heap_as_it_comes, THeap::AsItComes)->Apply(Cases);
BENCHMARK_CAPTURE(BM_Text2Image_DirectCallAndConversions, heap_as_it_comes, THeap::AsItComes)->Apply(Cases);
BENCHMARK_CAPTURE(BM_Text2Image_DirectCallOnSecondThread, heap_as_it_comes, THeap::AsItComes)->Apply(Cases);
BENCHMARK_CAPTURE(BM_Text2Image_CallToOnComplete, heap_keeps_freed, THeap::KeepsFreedMemory)->Apply(Cases);
BENCHMARK_CAPTURE(BM_Text2Image_ConversionsOnly, heap_keeps_freed, THeap::KeepsFreedMemory)->Apply(Cases);
BENCHMARK_CAPTURE(BM_Text2Image_DirectCallAndConversions, heap_keeps_freed, THeap::KeepsFreedMemory)->Apply(Cases);
BENCHMARK_CAPTURE(BM_Text2Image_DirectCallOnSecondThread, heap_keeps_freed, THeap::KeepsFreedMemory)->Apply(Cases);
BENCHMARK(BM_Text2Image_PeakMemory)->Unit(benchmark::kMicrosecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
