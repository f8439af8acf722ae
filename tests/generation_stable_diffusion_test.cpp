// TFMXStableDiffusion against the recording fake of the diffusion library:
// what reaches the library's records, what keeps the library's values, the
// order of checks, threads and events, and every way a request can fail.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <malloc.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "framework/threads.h"
#include "generation/sd_fmx.h"
#include "tests/fakes/sd_fake.h"
#include "tests/support/bitmap_support.h"
#include "tests/support/test_support.h"

namespace {

using namespace Sd::Fmx;
using Corvina::Fakes::TFakeCall;
using Corvina::Fakes::TFakeEntry;
using Corvina::Fakes::TFakeEvent;
using Corvina::Fakes::TFakeImage;
using Corvina::Fakes::TFakeSd;
using Corvina::Fakes::FakeImage;
using Corvina::Fakes::LogEvent;
using Corvina::Fakes::PreviewEvent;
using Corvina::Fakes::ProgressEvent;
using Corvina::Testing::MessageOf;
using Corvina::Testing::TempDir;
using System::String;
using System::Classes::TThread;
using System::Classes::TValue;
using ::Fmx::Graphics::TBitmapMapping;
using ::Fmx::Graphics::TMapAccess;

const std::string kFakeFile = CORVINA_FAKE_DIR "fakes/sd/" + Corvina::Testing::LibraryFile("stable-diffusion");

TFakeSd& Fake() { return Corvina::Fakes::LoadedFakeSd(kFakeFile); }

// Pumps the main thread until cond holds (or a generous time has passed).
bool PumpUntil(const std::function<bool()>& cond) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    TThread::CheckSynchronize(5);
  }
  return true;
}

// Everything a component reported, in order, with the thread it came on.
struct TEvents {
  struct TEvent {
    explicit TEvent(std::string kind, String text = {}) : Kind(std::move(kind)), Text(std::move(text)) {}
    std::string Kind;
    String Text;
    std::int32_t Step = 0, Steps = 0;
    float Time = 0;
    std::vector<std::pair<int, int>> Sizes;  // bitmaps handed over
    bool OnMainThread = false;
  };
  std::vector<TEvent> List;
  std::vector<std::unique_ptr<TBitmap>> Outputs;  // of the last OnComplete
  std::function<void(const TEvent&)> Then;         // a reaction to each event

  void Attach(TFMXStableDiffusion& c, bool preview = true) {
    c.SetOnLog([this](TFMXStableDiffusion*, const String& text) { Add(TEvent("log", text)); });
    c.SetOnProgress([this](TFMXStableDiffusion*, std::int32_t step, std::int32_t steps, float time) {
      TEvent e("progress");
      e.Step = step, e.Steps = steps, e.Time = time;
      Add(e);
    });
    c.SetOnComplete([this](TFMXStableDiffusion*, TBitmaps outputs) {
      TEvent e("complete");
      for (auto& b : outputs) e.Sizes.emplace_back(b->Width(), b->Height());
      Outputs = std::move(outputs);
      Add(e);
    });
    c.SetOnError([this](TFMXStableDiffusion*, const String& msg) { Add(TEvent("error", msg)); });
    if (preview)
      c.SetOnPreview([this](TFMXStableDiffusion*, std::int32_t step, TBitmaps frames) {
        TEvent e("preview");
        e.Step = step;
        for (auto& b : frames) e.Sizes.emplace_back(b->Width(), b->Height());
        Add(e);
      });
  }
  void Add(TEvent e) {
    e.OnMainThread = TThread::IsMainThread();
    List.push_back(e);
    if (Then) Then(List.back());
  }
  int Endings() const {
    int n = 0;
    for (const auto& e : List) n += e.Kind == "complete" || e.Kind == "error";
    return n;
  }
  std::vector<std::string> Kinds() const {
    std::vector<std::string> k;
    for (const auto& e : List) k.push_back(e.Kind);
    return k;
  }
  String LastError() const {
    for (auto it = List.rbegin(); it != List.rend(); ++it)
      if (it->Kind == "error") return it->Text;
    return u"<no error>";
  }
};

class Generation : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    UnLoadSDLibs();
    SD_DLL_PATH = System::UTF8ToString(CORVINA_FAKE_DIR "fakes/sd/");
  }
  static void TearDownTestSuite() {
    UnLoadSDLibs();
    SD_DLL_PATH.clear();
  }
  void SetUp() override {
    LoadSDLibs();
    Fake().Reset();
  }
  void TearDown() override {
    EXPECT_EQ(Fake().TakeViolations(), std::vector<std::string>());
    EXPECT_EQ(Fake().LiveContexts.load(), 0) << "a context outlived its component";
    EXPECT_EQ(Fake().LiveUpscalers.load(), 0) << "an upscaler context outlived its component";
  }

  std::unique_ptr<TFMXStableDiffusion> Make(TEvents& events) {
    auto c = std::make_unique<TFMXStableDiffusion>(nullptr);
    events.Attach(*c);
    return c;
  }
  static bool Finished(TFMXStableDiffusion& c, TEvents& events, int endings = 1) {
    return PumpUntil([&] { return events.Endings() >= endings && c.PendingRequests() == 0; });
  }
};

// ---- published properties ----

TEST_F(Generation, PublishedPropertiesInStreamingOrderWithInitialValuesAndDefaults) {
  struct Row {
    const char16_t* name;
    TValue initial;
    std::optional<TValue> def;
  };
  const std::optional<TValue> none;
  const Row rows[] = {
      {u"Name", String(), String()},
      {u"Active", false, none},
      {u"ModelPath", String(), String()},
      {u"ClipLPath", String(), String()},
      {u"ClipGPath", String(), String()},
      {u"T5XXLPath", String(), String()},
      {u"DiffusionModelPath", String(), String()},
      {u"LLMPath", String(), String()},
      {u"VAEPath", String(), String()},
      {u"TAESDPath", String(), String()},
      {u"ControlNetPath", String(), String()},
      {u"LoraDir", String(), String()},
      {u"EmbedDir", String(), String()},
      {u"StackedIdEmbedDir", String(), String()},
      {u"VaeTiling", false, none},
      {u"Threads", 0, none},
      {u"RngType", std::int32_t(CUDA_RNG), std::int32_t(CUDA_RNG)},
      {u"Schedule", std::int32_t(DISCRETE_SCHEDULER), none},
      {u"KeepClipCpu", false, none},
      {u"KeepControlnetOnCpu", false, none},
      {u"KeepVaeOnCpu", false, none},
      {u"FlashAttn", false, none},
      {u"OffloadParamsToCPU", false, false},
      {u"DiffusionFlashAttn", false, false},
      {u"SLGScale", 0.0f, 0.0f},
      {u"SkipLayerStart", 0.01f, 0.0f},
      {u"SkipLayerEnd", 0.2f, 0.0f},
      {u"SkipLayers", std::vector<String>{u"7", u"8", u"9"}, none},
      {u"Width", 512, 512},
      {u"Height", 512, 512},
      {u"ClipSkip", -1, -1},
      {u"CfgScale", 7.0f, 0.0f},
      {u"Guidance", 3.5f, 0.0f},
      {u"SampleMethod", std::int32_t(EULER_SAMPLE_METHOD), none},
      {u"SampleSteps", 20, 20},
      {u"Seed", std::int64_t(0), none},
      {u"BatchCount", 1, 1},
      {u"ControlStrength", 0.9f, 0.0f},
      {u"StyleStrength", 20.0f, 0.0f},
      {u"Strength", 0.75f, 0.0f},
      {u"NormalizeInput", false, none},
      {u"InputIdImagesPath", String(), String()},
      {u"VaeDecodeOnly", false, none},
      {u"FreeParams", false, none},
      {u"VideoFrames", 16, 16},
      {u"MoEBoundary", 0.0f, 0.0f},
      {u"VaceStrength", 0.0f, 0.0f},
      {u"PreviewMode", std::int32_t(PREVIEW_NONE), std::int32_t(PREVIEW_NONE)},
      {u"PreviewInterval", 1, 1},
      {u"PreviewDenoised", true, true},
      {u"PreviewNoisy", false, false},
  };
  TFMXStableDiffusion c(nullptr);
  const auto& table = c.PublishedProperties();
  ASSERT_EQ(table.Count(), int(std::size(rows)));
  for (int i = 0; i < table.Count(); ++i) {
    const Row& r = rows[i];
    SCOPED_TRACE(System::UTF8Encode(r.name));
    EXPECT_EQ(table[i].Name, r.name);
    EXPECT_EQ(System::Classes::GetPropValue(c, r.name), r.initial);
    EXPECT_EQ(table[i].Default, r.def);
  }
  EXPECT_EQ(c.SDType(), sd_type_t(40));
  EXPECT_EQ(System::Classes::GetEnumProp(c, u"SampleMethod"), u"EULER_SAMPLE_METHOD");
  System::Classes::SetPropValue(c, u"Schedule", TValue(String(u"LCM_SCHEDULER")));
  EXPECT_EQ(c.Schedule(), LCM_SCHEDULER);
}

TEST_F(Generation, SettersValidateOnlyWhereTheyMust) {
  TFMXStableDiffusion c(nullptr);
  EXPECT_EQ(MessageOf([&] { c.SetPreviewInterval(0); }), u"Preview Interval must be no less than 1");
  EXPECT_EQ(c.PreviewInterval(), 1);
  c.SetPreviewInterval(3);
  EXPECT_EQ(c.PreviewInterval(), 3);
  // Active already false: nothing happens, not even a library call.
  Fake().Reset();
  c.SetActive(false);
  EXPECT_EQ(Fake().CallNames(), std::vector<std::string>());
}

// ---- activation ----

TEST_F(Generation, ActivationChecksModelFilesInOrder) {
  TempDir dir;
  Corvina::Testing::WriteFileBytes(dir.Path("model.bin"), "m");
  const String file = dir.File("model.bin"), folder = dir.File(""), missing = dir.File("missing");
  struct Case {
    std::function<void(TFMXStableDiffusion&)> set;
    String message;  // empty: activates
  };
  const Case cases[] = {
      {[&](auto& c) { c.SetModelPath(missing), c.SetVAEPath(missing); }, u"Model File does not exist"},
      {[&](auto& c) { c.SetModelPath(file), c.SetVAEPath(missing), c.SetTAESDPath(missing); },
       u"Vae Model File does not exist"},
      {[&](auto& c) { c.SetTAESDPath(missing), c.SetControlNetPath(missing); }, u"TAESDPath Model File does not exist"},
      {[&](auto& c) { c.SetControlNetPath(missing), c.SetLLMPath(missing); }, u"ControlNet Model File does not exist"},
      {[&](auto& c) { c.SetLLMPath(missing), c.SetLoraDir(missing); }, u"LLM Model File does not exist"},
      {[&](auto& c) { c.SetLoraDir(file), c.SetEmbedDir(missing); }, u"Lora directory does not exist"},
      {[&](auto& c) { c.SetLoraDir(folder), c.SetEmbedDir(missing); }, u"Embed directory does not exist"},
      {[&](auto& c) { c.SetStackedIdEmbedDir(missing); }, u"StackedIdEmbed directory does not exist"},
      {[&](auto& c) { c.SetModelPath(folder); }, u"Model File does not exist"},
      // Blank paths are not checked; unchecked paths are not checked.
      {[&](auto& c) { c.SetModelPath(u"   "), c.SetClipLPath(missing), c.SetClipGPath(missing),
                      c.SetT5XXLPath(missing), c.SetDiffusionModelPath(missing); }, u""},
      {[&](auto& c) { c.SetPreviewMode(PREVIEW_VAE), c.SetTAESDPath(file); },
       u"TFMXStableDiffusion: PreviewMode PREVIEW_VAE can not be used with a TAESDPath"},
      {[&](auto& c) { c.SetPreviewMode(PREVIEW_TAE), c.SetTAESDPath(file); }, u""},
      // More threads than the library's maximum (512) can crash it.
      {[&](auto& c) { c.SetThreads(513); }, u"TFMXStableDiffusion.Threads must be at most 512, got 513"},
      // The library would read a path only up to a NUL: another file.
      {[&](auto& c) { c.SetClipLPath(file + String(1, u'\0') + u".bak"); },
       u"TFMXStableDiffusion.ClipLPath must not contain a NUL character"},
      {[&](auto& c) { c.SetDiffusionModelPath(String(u"d\0", 2)); },
       u"TFMXStableDiffusion.DiffusionModelPath must not contain a NUL character"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    Fake().Reset();
    TFMXStableDiffusion c(nullptr);
    cases[i].set(c);
    if (cases[i].message.empty()) {
      c.SetActive(true);
      EXPECT_TRUE(c.Active());
    } else {
      EXPECT_EQ(MessageOf([&] { c.SetActive(true); }), cases[i].message);
      EXPECT_FALSE(c.Active());
      EXPECT_TRUE(Fake().CallsNamed("new_sd_ctx").empty()) << "the library was asked anyway";
    }
  }
}

// A field of a record: where it lies and how large it is.
struct TField {
  const char* Name;
  std::size_t Offset, Size;
};
#define CTX_FIELD(f) TField{#f, offsetof(sd_ctx_params_t, f), sizeof(sd_ctx_params_t::f)}
#define IMG_FIELD(f) TField{#f, offsetof(sd_img_gen_params_t, f), sizeof(std::declval<sd_img_gen_params_t>().f)}
#define VID_FIELD(f) TField{#f, offsetof(sd_vid_gen_params_t, f), sizeof(std::declval<sd_vid_gen_params_t>().f)}

const TField kCtxFields[] = {
    CTX_FIELD(model_path), CTX_FIELD(clip_l_path), CTX_FIELD(clip_g_path), CTX_FIELD(clip_vision_path),
    CTX_FIELD(t5xxl_path), CTX_FIELD(llm_path), CTX_FIELD(llm_vision_path), CTX_FIELD(diffusion_model_path),
    CTX_FIELD(high_noise_diffusion_model_path), CTX_FIELD(vae_path), CTX_FIELD(taesd_path),
    CTX_FIELD(control_net_path), CTX_FIELD(embeddings), CTX_FIELD(embedding_count), CTX_FIELD(photo_maker_path),
    CTX_FIELD(tensor_type_rules), CTX_FIELD(vae_decode_only), CTX_FIELD(free_params_immediately),
    CTX_FIELD(n_threads), CTX_FIELD(wtype), CTX_FIELD(rng_type), CTX_FIELD(sampler_rng_type), CTX_FIELD(prediction),
    CTX_FIELD(lora_apply_mode), CTX_FIELD(offload_params_to_cpu), CTX_FIELD(enable_mmap),
    CTX_FIELD(keep_clip_on_cpu), CTX_FIELD(keep_control_net_on_cpu), CTX_FIELD(keep_vae_on_cpu),
    CTX_FIELD(diffusion_flash_attn), CTX_FIELD(tae_preview_only), CTX_FIELD(diffusion_conv_direct),
    CTX_FIELD(vae_conv_direct), CTX_FIELD(circular_x), CTX_FIELD(circular_y), CTX_FIELD(force_sdxl_vae_conv_scale),
    CTX_FIELD(chroma_use_dit_mask), CTX_FIELD(chroma_use_t5_mask), CTX_FIELD(chroma_t5_mask_pad),
    CTX_FIELD(qwen_image_zero_cond_t), CTX_FIELD(flow_shift),
};

// Checks each field: those named in `set` against their expected value, all
// others byte for byte against what the library's init function wrote.
template <class R>
void ExpectFields(const R& sent, const R& defaults, const TField* fields, std::size_t count,
                  const std::map<std::string, std::function<void(const R&)>>& set) {
  std::set<std::string> seen;
  for (std::size_t i = 0; i < count; ++i) {
    const TField& f = fields[i];
    SCOPED_TRACE(f.Name);
    auto it = set.find(f.Name);
    if (it != set.end()) {
      seen.insert(f.Name);
      it->second(sent);
    } else {
      EXPECT_EQ(std::memcmp(reinterpret_cast<const char*>(&sent) + f.Offset,
                            reinterpret_cast<const char*>(&defaults) + f.Offset, f.Size),
                0)
          << "the library's value was overwritten";
    }
  }
  EXPECT_EQ(seen.size(), set.size()) << "an expected field is not in the field list";
}

TEST_F(Generation, ActivationSetsTheContextFieldsOfItsPropertiesAndKeepsTheLibrarysOthers) {
  sd_ctx_params_t defaults;
  sd_ctx_params_init(&defaults);
  TempDir dir;
  Corvina::Testing::WriteFileBytes(dir.Path("m.gguf"), "m");
  const std::string model = dir.Path("m.gguf").string();

  TFMXStableDiffusion c(nullptr);
  c.SetModelPath(System::UTF8ToString(model));
  c.SetClipLPath(u"clip-\u00e9.safetensors");  // non-ASCII reaches the library as UTF-8
  c.SetT5XXLPath(u"t5");
  c.SetDiffusionModelPath(u"unet");
  c.SetVaeDecodeOnly(true);
  c.SetFreeParams(true);
  c.SetThreads(3);
  c.SetSDType(sd_type_t(7));
  c.SetRngType(CPU_RNG);
  c.SetKeepClipCpu(true);
  c.SetKeepVaeOnCpu(true);
  c.SetFlashAttn(true);
  c.SetDiffusionFlashAttn(true);  // stored only
  c.SetPreviewMode(PREVIEW_PROJ);
  c.SetPreviewInterval(4);
  c.SetPreviewNoisy(true);
  Fake().Reset();
  c.SetActive(true);
  const auto calls = Fake().CallsNamed("new_sd_ctx");
  ASSERT_EQ(calls.size(), 1u);
  const TFakeCall& call = calls[0];
  using R = sd_ctx_params_t;
  auto text = [&](const char* field, const std::string& want) {
    return [&call, field, want](const R&) { EXPECT_EQ(call.Texts.at(field), want); };
  };
  ExpectFields<R>(*call.CtxParams, defaults, kCtxFields, std::size(kCtxFields),
                  {
                      {"model_path", text("model_path", model)},
                      {"clip_l_path", text("clip_l_path", "clip-\xc3\xa9.safetensors")},
                      {"clip_g_path", text("clip_g_path", "")},  // empty, never null
                      {"t5xxl_path", text("t5xxl_path", "t5")},
                      {"llm_path", text("llm_path", "")},
                      {"diffusion_model_path", text("diffusion_model_path", "unet")},
                      {"vae_path", text("vae_path", "")},
                      {"taesd_path", text("taesd_path", "")},
                      {"control_net_path", text("control_net_path", "")},
                      {"vae_decode_only", [](const R& p) { EXPECT_TRUE(p.vae_decode_only); }},
                      {"free_params_immediately", [](const R& p) { EXPECT_TRUE(p.free_params_immediately); }},
                      {"n_threads", [](const R& p) { EXPECT_EQ(p.n_threads, 3); }},
                      {"wtype", [](const R& p) { EXPECT_EQ(p.wtype, sd_type_t(7)); }},
                      {"rng_type", [](const R& p) { EXPECT_EQ(p.rng_type, CPU_RNG); }},
                      {"keep_clip_on_cpu", [](const R& p) { EXPECT_TRUE(p.keep_clip_on_cpu); }},
                      {"keep_control_net_on_cpu", [](const R& p) { EXPECT_FALSE(p.keep_control_net_on_cpu); }},
                      {"offload_params_to_cpu", [](const R& p) { EXPECT_FALSE(p.offload_params_to_cpu); }},
                      {"keep_vae_on_cpu", [](const R& p) { EXPECT_TRUE(p.keep_vae_on_cpu); }},
                      {"diffusion_flash_attn", [](const R& p) { EXPECT_TRUE(p.diffusion_flash_attn); }},
                  });
  // The preview setting is the process's: generations register it.
  EXPECT_EQ(Fake().CallNames(), (std::vector<std::string>{"sd_ctx_params_init", "new_sd_ctx"}));
  EXPECT_TRUE(c.Active());

  // Deactivating frees that context; reactivating takes the properties anew.
  c.SetActive(false);
  ASSERT_EQ(Fake().CallsNamed("free_sd_ctx").size(), 1u);
  EXPECT_EQ(Fake().CallsNamed("free_sd_ctx")[0].Context, call.Context);
  c.SetThreads(0);
  Fake().Script.PhysicalCores = 5;
  c.SetActive(true);
  EXPECT_EQ(Fake().CallsNamed("new_sd_ctx").at(1).CtxParams->n_threads, 5);
}

TEST_F(Generation, ThreadCountIsThePropertyOrTheLibrarysCoreCount) {
  struct Case {
    std::int32_t threads, cores, expected;
  };
  const Case cases[] = {{0, 6, 6}, {0, 1, 1}, {4, 6, 4}, {-1, 6, -1}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.threads);
    Fake().Reset();
    Fake().Script.PhysicalCores = k.cores;
    TEvents events;
    auto c = Make(events);
    c->SetThreads(k.threads);
    EXPECT_EQ(c->GetThreadCount(), k.expected);
    c->SetActive(true);
    EXPECT_EQ(Fake().CallsNamed("new_sd_ctx").at(0).CtxParams->n_threads, k.expected);
    TBitmap input(8, 8);
    c->UpscaleImage(&input, u"esrgan.bin", 4);
    ASSERT_TRUE(Finished(*c, events));
    EXPECT_EQ(Fake().CallsNamed("new_upscaler_ctx").at(0).Threads, k.expected);
  }
}

TEST_F(Generation, DesigningNeitherLoadsNorActivates) {
  UnLoadSDLibs();
  System::Classes::TComponent form(nullptr);
  form.SetDesigning(true);
  auto* c = System::Classes::MakeOwned<TFMXStableDiffusion>(form);
  EXPECT_FALSE(SDLibsLoaded()) << "the designer loaded the library";
  EXPECT_EQ(MessageOf([&] { c->SetActive(true); }), u"TFMXStableDiffusion can not be activated while designing");
  EXPECT_EQ(MessageOf([&] { c->Text2Image(u"p", u"", nullptr); }),
            u"TFMXStableDiffusion can not run requests while designing");
  c->SetActive(false);
}

// ---- request records ----

const TField kImgFields[] = {
    IMG_FIELD(loras), IMG_FIELD(lora_count), IMG_FIELD(prompt), IMG_FIELD(negative_prompt), IMG_FIELD(clip_skip),
    IMG_FIELD(init_image), IMG_FIELD(ref_images), IMG_FIELD(ref_images_count), IMG_FIELD(auto_resize_ref_image),
    IMG_FIELD(increase_ref_index), IMG_FIELD(mask_image), IMG_FIELD(width), IMG_FIELD(height),
    IMG_FIELD(sample_params.guidance.txt_cfg), IMG_FIELD(sample_params.guidance.img_cfg),
    IMG_FIELD(sample_params.guidance.distilled_guidance), IMG_FIELD(sample_params.guidance.slg.layers),
    IMG_FIELD(sample_params.guidance.slg.layer_count), IMG_FIELD(sample_params.guidance.slg.layer_start),
    IMG_FIELD(sample_params.guidance.slg.layer_end), IMG_FIELD(sample_params.guidance.slg.scale),
    IMG_FIELD(sample_params.scheduler), IMG_FIELD(sample_params.sample_method), IMG_FIELD(sample_params.sample_steps),
    IMG_FIELD(sample_params.eta), IMG_FIELD(sample_params.shifted_timestep), IMG_FIELD(sample_params.custom_sigmas),
    IMG_FIELD(sample_params.custom_sigmas_count), IMG_FIELD(strength), IMG_FIELD(seed), IMG_FIELD(batch_count),
    IMG_FIELD(control_image), IMG_FIELD(control_strength), IMG_FIELD(pm_params.id_images),
    IMG_FIELD(pm_params.id_images_count), IMG_FIELD(pm_params.id_embed_path), IMG_FIELD(pm_params.style_strength),
    IMG_FIELD(vae_tiling_params.enabled), IMG_FIELD(vae_tiling_params.tile_size_x),
    IMG_FIELD(vae_tiling_params.tile_size_y), IMG_FIELD(vae_tiling_params.target_overlap),
    IMG_FIELD(vae_tiling_params.rel_size_x), IMG_FIELD(vae_tiling_params.rel_size_y), IMG_FIELD(cache),
};

const TField kVidFields[] = {
    VID_FIELD(loras), VID_FIELD(lora_count), VID_FIELD(prompt), VID_FIELD(negative_prompt), VID_FIELD(clip_skip),
    VID_FIELD(init_image), VID_FIELD(end_image), VID_FIELD(control_frames), VID_FIELD(control_frames_size),
    VID_FIELD(width), VID_FIELD(height), VID_FIELD(sample_params.guidance), VID_FIELD(sample_params.scheduler),
    VID_FIELD(sample_params.sample_method), VID_FIELD(sample_params.sample_steps), VID_FIELD(sample_params.eta),
    VID_FIELD(sample_params.shifted_timestep), VID_FIELD(sample_params.custom_sigmas),
    VID_FIELD(sample_params.custom_sigmas_count), VID_FIELD(high_noise_sample_params), VID_FIELD(moe_boundary),
    VID_FIELD(strength), VID_FIELD(seed), VID_FIELD(video_frames), VID_FIELD(vace_strength), VID_FIELD(cache),
};

// Settings every mapping test uses: none equals a fake default.
void Configure(TFMXStableDiffusion& c) {
  c.SetWidth(40);
  c.SetHeight(24);
  c.SetClipSkip(2);
  c.SetCfgScale(6.5f);
  c.SetGuidance(2.25f);
  c.SetSampleMethod(DPMPP2M_SAMPLE_METHOD);
  c.SetSampleSteps(9);
  c.SetSchedule(KARRAS_SCHEDULER);
  c.SetSeed(424242424242LL);
  c.SetBatchCount(2);
  c.SetVaeTiling(true);
  c.SetControlStrength(0.55f);
  c.SetStyleStrength(12.5f);
  c.SetStrength(0.6f);
  c.SetInputIdImagesPath(u"ids");
  c.SetSLGScale(2.5f);
  c.SetSkipLayerStart(0.05f);
  c.SetSkipLayerEnd(0.3f);
  c.SetVideoFrames(3);
  c.SetVaceStrength(0.35f);
  c.SetMoEBoundary(0.875f);
}

TBitmap Solid(int w, int h, System::Uitypes::TAlphaColor colour) {
  TBitmap b(w, h);
  b.Clear(colour);
  return b;
}

void ExpectImage(const TFakeImage& img, std::uint32_t w, std::uint32_t h, std::uint32_t channel,
                 std::vector<std::uint8_t> firstPixel) {
  EXPECT_EQ(img.Width, w);
  EXPECT_EQ(img.Height, h);
  EXPECT_EQ(img.Channel, channel);
  ASSERT_EQ(img.Pixels.size(), std::size_t(w) * h * channel);
  EXPECT_EQ(std::vector<std::uint8_t>(img.Pixels.begin(), img.Pixels.begin() + channel), firstPixel);
}

TEST_F(Generation, ImageRequestsSetTheirFieldsAndKeepTheLibrarysOthers) {
  sd_img_gen_params_t defaults;
  sd_img_gen_params_init(&defaults);
  using R = sd_img_gen_params_t;
  using TChecks = std::map<std::string, std::function<void(const R&)>>;
  // Fields every image request sets.
  const TChecks common = {
      {"prompt", nullptr}, {"negative_prompt", nullptr},  // checked through the copies below
      {"clip_skip", [](const R& p) { EXPECT_EQ(p.clip_skip, 2); }},
      {"width", [](const R& p) { EXPECT_EQ(p.width, 40); }},
      {"height", [](const R& p) { EXPECT_EQ(p.height, 24); }},
      {"sample_params.guidance.txt_cfg", [](const R& p) { EXPECT_EQ(p.sample_params.guidance.txt_cfg, 6.5f); }},
      {"sample_params.guidance.img_cfg", [](const R& p) { EXPECT_EQ(p.sample_params.guidance.img_cfg, 2.25f); }},
      {"sample_params.sample_method",
       [](const R& p) { EXPECT_EQ(p.sample_params.sample_method, DPMPP2M_SAMPLE_METHOD); }},
      {"sample_params.sample_steps", [](const R& p) { EXPECT_EQ(p.sample_params.sample_steps, 9); }},
      {"sample_params.scheduler", [](const R& p) { EXPECT_EQ(p.sample_params.scheduler, KARRAS_SCHEDULER); }},
      {"seed", [](const R& p) { EXPECT_EQ(p.seed, 424242424242LL); }},
      {"batch_count", [](const R& p) { EXPECT_EQ(p.batch_count, 2); }},
      {"vae_tiling_params.enabled", [](const R& p) { EXPECT_TRUE(p.vae_tiling_params.enabled); }},
      {"pm_params.style_strength", [](const R& p) { EXPECT_EQ(p.pm_params.style_strength, 12.5f); }},
      {"pm_params.id_embed_path", nullptr},
      {"sample_params.guidance.slg.layers", nullptr},  // the copy is checked below
      {"sample_params.guidance.slg.layer_count", [](const R& p) { EXPECT_EQ(p.sample_params.guidance.slg.layer_count, 3u); }},
      {"sample_params.guidance.slg.scale", [](const R& p) { EXPECT_EQ(p.sample_params.guidance.slg.scale, 2.5f); }},
      {"sample_params.guidance.slg.layer_start",
       [](const R& p) { EXPECT_EQ(p.sample_params.guidance.slg.layer_start, 0.05f); }},
      {"sample_params.guidance.slg.layer_end",
       [](const R& p) { EXPECT_EQ(p.sample_params.guidance.slg.layer_end, 0.3f); }},
  };
  struct Case {
    const char* name;
    std::function<void(TFMXStableDiffusion&)> request;
    std::vector<std::string> extra;  // fields set besides the common ones
  };
  const Case cases[] = {
      {"Text2Image", [](auto& c) { c.Text2Image(u"a \u00e9 prompt", u"neg", nullptr); }, {}},
      {"Text2Image with control",
       [](auto& c) {
         TBitmap control = Solid(10, 10, 0xFF102030u);
         c.Text2Image(u"a \u00e9 prompt", u"neg", &control);
       },
       {"control_image", "control_strength"}},
      {"ImageInPaint",
       [](auto& c) {
         TBitmap input = Solid(100, 50, 0xFF405060u), mask = Solid(7, 7, 0xFF0000FFu);
         c.ImageInPaint(u"a \u00e9 prompt", u"neg", &input, &mask, nullptr);
       },
       {"init_image", "mask_image", "strength"}},
      {"Image2Image with control",
       [](auto& c) {
         TBitmap input = Solid(100, 50, 0xFF405060u), control = Solid(10, 10, 0xFF102030u);
         c.Image2Image(u"a \u00e9 prompt", u"neg", &input, &control);
       },
       {"init_image", "mask_image", "strength", "control_image", "control_strength"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Fake().Reset();
    TEvents events;
    auto c = Make(events);
    Configure(*c);
    k.request(*c);
    ASSERT_TRUE(Finished(*c, events));
    const auto calls = Fake().CallsNamed("generate_image");
    ASSERT_EQ(calls.size(), 1u);
    const TFakeCall& call = calls[0];
    TChecks checks = common;
    for (const std::string& f : k.extra) checks[f] = nullptr;
    for (auto& [name, check] : checks)
      if (!check) check = [](const R&) {};
    ExpectFields<R>(*call.ImgParams, defaults, kImgFields, std::size(kImgFields), checks);
    EXPECT_EQ(call.Texts.at("prompt"), "a \xc3\xa9 prompt");
    EXPECT_EQ(call.Texts.at("negative_prompt"), "neg");
    EXPECT_EQ(call.Texts.at("pm_params.id_embed_path"), "ids");
    EXPECT_EQ(call.SlgLayers, (std::vector<std::int32_t>{7, 8, 9}));
    const auto has = [&](const char* f) { return std::find(k.extra.begin(), k.extra.end(), f) != k.extra.end(); };
    if (has("control_image")) {
      ExpectImage(call.Images.at("control_image"), 40, 24, 3, {0x10, 0x20, 0x30});
      EXPECT_EQ(call.ImgParams->control_strength, 0.55f);
    }
    if (has("init_image")) {
      ExpectImage(call.Images.at("init_image"), 40, 24, 3, {0x40, 0x50, 0x60});
      EXPECT_EQ(call.ImgParams->strength, 0.6f);
    }
    if (has("mask_image")) {
      // Image2Image paints over everything: its mask is white.
      const std::uint8_t gray = std::string(k.name) == "ImageInPaint" ? 0xFF / 3 : 0xFF;
      ExpectImage(call.Images.at("mask_image"), 40, 24, 1, {gray});
    }
    EXPECT_EQ(events.Kinds(), std::vector<std::string>{"complete"});
  }
}

TEST_F(Generation, VideoRequestsSetTheirFieldsAndKeepTheLibrarysOthers) {
  sd_vid_gen_params_t defaults;
  sd_vid_gen_params_init(&defaults);
  using R = sd_vid_gen_params_t;
  TEvents events;
  auto c = Make(events);
  Configure(*c);
  TBitmap init = Solid(90, 90, 0xFF0A0B0Cu);
  c->Video2Video(u"waves", u"", &init);
  ASSERT_TRUE(Finished(*c, events));
  const auto calls = Fake().CallsNamed("generate_video");
  ASSERT_EQ(calls.size(), 1u);
  const TFakeCall& call = calls[0];
  ExpectFields<R>(*call.VidParams, defaults, kVidFields, std::size(kVidFields),
                  {
                      {"prompt", [](const R&) {}},
                      {"negative_prompt", [](const R&) {}},
                      {"clip_skip", [](const R& p) { EXPECT_EQ(p.clip_skip, 2); }},
                      {"init_image", [](const R&) {}},
                      {"width", [](const R& p) { EXPECT_EQ(p.width, 40); }},
                      {"height", [](const R& p) { EXPECT_EQ(p.height, 24); }},
                      {"sample_params.sample_method",
                       [](const R& p) { EXPECT_EQ(p.sample_params.sample_method, DPMPP2M_SAMPLE_METHOD); }},
                      {"sample_params.sample_steps", [](const R& p) { EXPECT_EQ(p.sample_params.sample_steps, 9); }},
                      {"sample_params.scheduler",
                       [](const R& p) { EXPECT_EQ(p.sample_params.scheduler, KARRAS_SCHEDULER); }},
                      {"strength", [](const R& p) { EXPECT_EQ(p.strength, 0.6f); }},
                      {"seed", [](const R& p) { EXPECT_EQ(p.seed, 424242424242LL); }},
                      {"video_frames", [](const R& p) { EXPECT_EQ(p.video_frames, 3); }},
                      {"vace_strength", [](const R& p) { EXPECT_EQ(p.vace_strength, 0.35f); }},
                      {"moe_boundary", [](const R& p) { EXPECT_EQ(p.moe_boundary, 0.875f); }},
                  });
  EXPECT_EQ(call.Texts.at("prompt"), "waves");
  EXPECT_EQ(call.Texts.at("negative_prompt"), "");
  ExpectImage(call.Images.at("init_image"), 40, 24, 3, {0x0A, 0x0B, 0x0C});
  ASSERT_EQ(events.Kinds(), std::vector<std::string>{"complete"});
  EXPECT_EQ(events.List[0].Sizes, (std::vector<std::pair<int, int>>(3, {40, 24})));
  EXPECT_EQ(init.Width(), 40) << "the caller's bitmap is resized in place";
}

TEST_F(Generation, SkipLayersReachTheLibraryOnlyWhenThereAreAny) {
  struct Case {
    std::vector<String> lines;
    std::vector<std::int32_t> sent;  // empty: the library's own skip-layer fields stay
  };
  const Case cases[] = {{{u"7", u"8", u"9"}, {7, 8, 9}}, {{u" 12 ", u"$10"}, {12, 16}}, {{}, {}}};
  for (const Case& k : cases) {
    Fake().Reset();
    TEvents events;
    auto c = Make(events);
    c->SetSkipLayers(TStringList(k.lines));
    c->Text2Image(u"p", u"", nullptr);
    ASSERT_TRUE(Finished(*c, events));
    const auto call = Fake().CallsNamed("generate_image").at(0);
    if (k.sent.empty()) {
      sd_img_gen_params_t defaults;
      sd_img_gen_params_init(&defaults);
      EXPECT_EQ(std::memcmp(&call.ImgParams->sample_params.guidance.slg, &defaults.sample_params.guidance.slg,
                            sizeof(sd_slg_params_t)),
                0);
    } else {
      EXPECT_EQ(call.SlgLayers, k.sent);
    }
  }
  // Editing the list in place changes nothing until it is assigned; a bad
  // line raises the framework's conversion error and keeps what came before.
  TFMXStableDiffusion c(nullptr);
  c.SkipLayers().Add(u"10");
  TEvents events;
  events.Attach(c);
  c.Text2Image(u"p", u"", nullptr);
  ASSERT_TRUE(Finished(c, events));
  EXPECT_EQ(Fake().CallsNamed("generate_image").back().SlgLayers, (std::vector<std::int32_t>{7, 8, 9}));
  EXPECT_THROW(c.SetSkipLayers(TStringList({u"1", u"x"})), System::Sysutils::EConvertError);
  EXPECT_EQ(c.SkipLayers().Count(), 4) << "the bad list was kept";
  c.Text2Image(u"p", u"", nullptr);
  ASSERT_TRUE(Finished(c, events, 2));
  EXPECT_EQ(Fake().CallsNamed("generate_image").back().SlgLayers, (std::vector<std::int32_t>{7, 8, 9}));
}

// ---- events ----

TEST_F(Generation, EventsArriveOnTheMainThreadInOrderWhicheverThreadTheLibraryUses) {
  for (bool otherThread : {false, true}) {
    SCOPED_TRACE(otherThread ? "library thread" : "calling thread");
    Fake().Reset();
    const TFakeEvent log = LogEvent("gen.cpp:12 - caf\xc3\xa9\n");
    const TFakeEvent progress = ProgressEvent(1, 2, 0.5f);
    const TFakeEvent preview = PreviewEvent(1, 2, 20, 18);
    Fake().Script.Callbacks[TFakeEntry::NewSdCtx] = {{log}, otherThread};
    Fake().Script.Callbacks[TFakeEntry::GenerateImage] = {{progress, preview, log}, otherThread};
    TEvents events;
    auto c = Make(events);
    c->SetPreviewMode(PREVIEW_PROJ);
    c->Text2Image(u"p", u"", nullptr);
    ASSERT_TRUE(Finished(*c, events));
    EXPECT_EQ(events.Kinds(), (std::vector<std::string>{"log", "progress", "preview", "log", "complete"}));
    for (const auto& e : events.List) EXPECT_TRUE(e.OnMainThread) << e.Kind;
    EXPECT_EQ(events.List[0].Text, u"gen.cpp:12 - caf\u00e9\n");
    EXPECT_EQ(events.List[1].Step, 1);
    EXPECT_EQ(events.List[1].Steps, 2);
    EXPECT_EQ(events.List[1].Time, 0.5f);
    EXPECT_EQ(events.List[2].Sizes, (std::vector<std::pair<int, int>>{{20, 18}, {20, 18}}));
  }
}

TEST_F(Generation, LogLinesOfAnActivationOnTheMainThreadArriveBeforeItReturns) {
  for (bool otherThread : {false, true}) {
    Fake().Reset();
    Fake().Script.Callbacks[TFakeEntry::NewSdCtx] = {{LogEvent("model.cpp:1 - loading\n")}, otherThread};
    TEvents events;
    auto c = Make(events);
    c->SetActive(true);
    EXPECT_EQ(events.Kinds(), std::vector<std::string>{"log"});
  }
}

// A line without text carries nothing; ill-formed bytes arrive repaired.
TEST_F(Generation, LogTextsTheLibraryGetsWrongAreSkippedOrRepaired) {
  struct Case {
    const char* name;
    TFakeEvent event;
    std::vector<String> lines;
  };
  const Case cases[] = {
      {"null", Corvina::Fakes::NullLogEvent(), {}},
      {"ill-formed UTF-8", LogEvent("a\xff" "b\xc3\n"), {u"a\uFFFDb\uFFFD\n"}},
      {"empty", LogEvent(""), {u""}},
  };
  for (const Case& k : cases) {
    for (const bool otherThread : {false, true}) {
      SCOPED_TRACE(std::string(k.name) + (otherThread ? ", library thread" : ", calling thread"));
      Fake().Reset();
      Fake().Script.Callbacks[TFakeEntry::GenerateImage] = {{k.event, LogEvent("after\n")}, otherThread};
      TEvents events;
      auto c = Make(events);
      c->Text2Image(u"p", u"", nullptr);
      ASSERT_TRUE(Finished(*c, events));
      std::vector<String> lines;
      for (const auto& e : events.List)
        if (e.Kind == "log") lines.push_back(e.Text);
      std::vector<String> expected = k.lines;
      expected.push_back(u"after\n");
      EXPECT_EQ(lines, expected);
    }
  }
}

TEST_F(Generation, NothingIsConvertedOrSynchronisedForEventsWithoutHandlers) {
  Fake().Script.Callbacks[TFakeEntry::GenerateImage] = {{PreviewEvent(0, 1, 8, 8), LogEvent("x\n")}};
  TFMXStableDiffusion c(nullptr);
  c.SetPreviewMode(PREVIEW_PROJ);
  std::atomic<int> completes{0};
  c.SetOnComplete([&](TFMXStableDiffusion*, TBitmaps) { ++completes; });
  c.Text2Image(u"p", u"", nullptr);
  ASSERT_TRUE(PumpUntil([&] { return completes == 1 && c.PendingRequests() == 0; }));
  // With OnPreview unassigned the frames are not even converted; with it
  // assigned they are (the fake's frames are valid, so only a conversion
  // could fail; this covers the assigned path).
  TEvents events;
  events.Attach(c);
  c.Text2Image(u"p", u"", nullptr);
  ASSERT_TRUE(Finished(c, events));
  EXPECT_EQ(events.Kinds(), (std::vector<std::string>{"preview", "log", "complete"}));
  // Whether OnPreview is assigned is asked at each preview, not at the call.
  Fake().Script.Callbacks[TFakeEntry::GenerateImage] = {{ProgressEvent(1, 2, 0), PreviewEvent(1, 1, 8, 8)}};
  TEvents late;
  late.Attach(c, false);
  c.SetOnPreview(nullptr);
  late.Then = [&](const TEvents::TEvent& e) {
    if (e.Kind == "progress")
      c.SetOnPreview([&](TFMXStableDiffusion*, std::int32_t, TBitmaps) { late.Add(TEvents::TEvent("preview")); });
  };
  c.Text2Image(u"p", u"", nullptr);
  ASSERT_TRUE(Finished(c, late));
  EXPECT_EQ(late.Kinds(), (std::vector<std::string>{"progress", "preview", "complete"}));
}

// The library keeps one preview registration for the process and reads it
// while it samples: each generation registers its own, and a generation
// whose settings differ from those of one in progress waits for its end.
TEST_F(Generation, EachGenerationRegistersItsOwnPreviewSettingsAndDifferentOnesTakeTurns) {
  struct Case {
    const char* name;
    preview_t otherMode;
    bool othersWait;
  };
  for (const Case& k : {Case{"the other without previews", PREVIEW_NONE, true},
                        Case{"the other with the same settings", PREVIEW_PROJ, false}}) {
    SCOPED_TRACE(k.name);
    Fake().Reset();
    Fake().Script.Callbacks[TFakeEntry::GenerateImage] = {{PreviewEvent(1, 1, 8, 8)}};
    TEvents ea, eb;
    auto a = Make(ea), b = Make(eb);
    a->SetPreviewMode(PREVIEW_PROJ);
    a->SetPreviewInterval(4);
    a->SetPreviewNoisy(true);
    a->SetActive(true);
    b->SetPreviewMode(k.otherMode);
    b->SetPreviewInterval(4);
    b->SetPreviewNoisy(true);
    b->SetActive(true);  // activated last: it decides nothing about a's previews
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    std::atomic<int> inside{0};
    Fake().Script.Hook = [&](TFakeEntry e) {
      if (e != TFakeEntry::GenerateImage || ++inside > 1) return;
      std::unique_lock lock(m);
      cv.wait(lock, [&] { return release; });
    };
    a->Text2Image(u"a", u"", nullptr);
    ASSERT_TRUE(PumpUntil([&] { return inside >= 1; }));
    b->Text2Image(u"b", u"", nullptr);
    // b's generation runs alongside a's only when their settings agree.
    if (k.othersWait) {
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
      PumpUntil([&] { return std::chrono::steady_clock::now() > until; });
      EXPECT_EQ(inside.load(), 1) << "b changed the preview setting under a's generation";
    } else {
      EXPECT_TRUE(PumpUntil([&] { return inside >= 2; })) << "b waited although its settings agree";
    }
    {
      std::lock_guard lock(m);
      release = true;
    }
    cv.notify_all();
    ASSERT_TRUE(Finished(*a, ea));
    ASSERT_TRUE(Finished(*b, eb));
    EXPECT_EQ(ea.Kinds(), (std::vector<std::string>{"preview", "complete"}));
    EXPECT_EQ(eb.Kinds(), (k.othersWait ? std::vector<std::string>{"complete"}
                                        : std::vector<std::string>{"preview", "complete"}));
    // Each registration came right before a generation, with its settings.
    const auto calls = Fake().CallNames();
    const auto registrations = Fake().CallsNamed("sd_set_preview_callback");
    ASSERT_FALSE(registrations.empty());
    EXPECT_EQ(registrations[0].Mode, PREVIEW_PROJ);
    EXPECT_EQ(registrations[0].Interval, 4);
    EXPECT_TRUE(registrations[0].Flag1);
    EXPECT_TRUE(registrations[0].Flag2);
    EXPECT_NE(registrations[0].Callback, nullptr);
    const auto first = std::find(calls.begin(), calls.end(), "sd_set_preview_callback");
    EXPECT_EQ(std::find(calls.begin(), first, "generate_image"), first) << "a generation ran before any registration";
  }
  // A change made while active reaches the next generation.
  Fake().Reset();  // the hook above held the loop's locals
  TEvents events;
  auto c = Make(events);
  c->SetActive(true);
  c->SetPreviewMode(PREVIEW_TAE);
  c->Text2Image(u"p", u"", nullptr);
  ASSERT_TRUE(Finished(*c, events));
  EXPECT_EQ(Fake().CallsNamed("sd_set_preview_callback").back().Mode, PREVIEW_TAE);
}

// The library aborts when asked for a video with an image model; it names the
// model it loaded in a log line at activation.
TEST_F(Generation, Video2VideoIsRefusedForAnImageModelTheLibraryNamed) {
  struct Case {
    const char* logged;  // null: no such line
    String error;        // empty: the video is made
  };
  const Case cases[] = {
      {"stable-diffusion.cpp:332  - Version: SD 1.x \n",
       u"TFMXStableDiffusion.Video2Video needs a video model (Wan 2.x); the active model is SD 1.x"},
      {"stable-diffusion.cpp:332  - Version: SDXL \n",
       u"TFMXStableDiffusion.Video2Video needs a video model (Wan 2.x); the active model is SDXL"},
      {"stable-diffusion.cpp:332  - Version: Wan 2.x \n", u""},
      {"model.cpp:10 - parse 'Version: SD 1.x' \n", u""},
      {nullptr, u""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.logged ? k.logged : "no version line");
    Fake().Reset();
    if (k.logged) Fake().Script.Callbacks[TFakeEntry::NewSdCtx] = {{LogEvent(k.logged)}};
    TEvents events;
    auto c = Make(events);
    TBitmap init(8, 8);
    c->SetWidth(8);
    c->SetHeight(8);
    c->Video2Video(u"p", u"", &init);
    ASSERT_TRUE(Finished(*c, events));
    EXPECT_EQ(events.List.back().Kind, k.error.empty() ? "complete" : "error");
    if (!k.error.empty()) {
      EXPECT_EQ(events.LastError(), k.error);
      EXPECT_TRUE(Fake().CallsNamed("generate_video").empty()) << "the library was asked";
      EXPECT_TRUE(c->Active()) << "the context stays for image requests";
    }
  }
}

// ---- failures: every request ends with exactly one OnComplete or OnError ----

TEST_F(Generation, EveryFailureEndsItsRequestWithOneOnError) {
  TempDir dir;
  struct Case {
    const char* name;
    std::function<void(TFakeSd&)> script;
    std::function<void(TFMXStableDiffusion&)> request;
    String message;
  };
  auto text2image = [](TFMXStableDiffusion& c) { c.Text2Image(u"p", u"", nullptr); };
  auto inpaint = [](TFMXStableDiffusion& c) {
    TBitmap a(8, 8), b(8, 8);
    c.ImageInPaint(u"p", u"", &a, &b, nullptr);
  };
  auto img2img = [](TFMXStableDiffusion& c) {
    TBitmap a(8, 8);
    c.Image2Image(u"p", u"", &a, nullptr);
  };
  auto video = [](TFMXStableDiffusion& c) {
    TBitmap a(8, 8);
    c.Video2Video(u"p", u"", &a);
  };
  auto upscale = [](TFMXStableDiffusion& c) {
    TBitmap a(8, 8);
    c.UpscaleImage(&a, u"x.bin", 2);
  };
  const String missing = dir.File("missing.gguf");
  auto missingModel = [missing](auto request) {
    return [missing, request](TFMXStableDiffusion& c) {
      c.SetModelPath(missing);
      request(c);
    };
  };
  auto nullData = [](TFakeSd& f) {
    f.Script.Results = {FakeImage(4, 4, 3), FakeImage(4, 4, 3, true)};
  };
  auto batchOfTwo = [](auto request) {
    return [request](TFMXStableDiffusion& c) {
      c.SetBatchCount(2);
      request(c);
    };
  };
  const Case cases[] = {
      {"activation fails: text", {}, missingModel(text2image), u"Model File does not exist"},
      {"activation fails: inpaint", {}, missingModel(inpaint), u"Model File does not exist"},
      {"activation fails: img2img", {}, missingModel(img2img), u"Model File does not exist"},
      {"activation fails: video", {}, missingModel(video), u"Model File does not exist"},
      {"no context", [](TFakeSd& f) { f.Script.NewSdCtxFails = true; }, text2image,
       u"Failed to init Stable Diffusion"},
      {"null images: text", [](TFakeSd& f) { f.Script.GenerateFails = true; }, text2image, u"Failed to generate image"},
      {"null images: inpaint", [](TFakeSd& f) { f.Script.GenerateFails = true; }, inpaint, u"Failed to generate image"},
      {"null images: video", [](TFakeSd& f) { f.Script.GenerateFails = true; }, video, u"Failed to generate video"},
      {"image without pixels: text", nullData, batchOfTwo(text2image), u"Failed to generate image: result 2 of 2 has no pixel data"},
      {"image without pixels: img2img", nullData, batchOfTwo(img2img),
       u"Failed to generate image: result 2 of 2 has no pixel data"},
      {"frame without pixels: video", nullData, video, u"Failed to generate video: result 2 of 2 has no pixel data"},
      {"picture of 2 channels", [](TFakeSd& f) { f.Script.Results = {FakeImage(4, 4, 2)}; }, text2image,
       u"SDImage2Bitmap: 2 channels per pixel, expected 1, 3 or 4"},
      {"upscale model", [](TFakeSd& f) { f.Script.NewUpscalerCtxFails = true; }, upscale,
       u"Failed to load upscale model"},
      {"upscale result", [](TFakeSd& f) { f.Script.UpscaleFails = true; }, upscale, u"Failed to upscale image"},
      {"upscaled beyond the sizes", [](TFakeSd& f) { f.Script.UpscaleModelFactor = 1025; },
       [](TFMXStableDiffusion& c) {
         TBitmap a(16, 1);
         c.UpscaleImage(&a, u"x.bin", 1);
       },
       u"TFMXStableDiffusion.UpscaleImage: the library made a 16400 x 1025 picture; each side must be at most "
       u"16384"},
      {"decode-only context, img2img", {},
       [img2img](TFMXStableDiffusion& c) {
         c.SetVaeDecodeOnly(true);
         c.SetActive(true);
         c.SetVaeDecodeOnly(false);
         img2img(c);
       },
       u"TFMXStableDiffusion: the active context was made with VaeDecodeOnly and can not encode the input picture; "
       u"deactivate it first"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Fake().Reset();
    if (k.script) k.script(Fake());
    TEvents events;
    auto c = Make(events);
    k.request(*c);
    ASSERT_TRUE(Finished(*c, events));
    EXPECT_EQ(events.Kinds(), std::vector<std::string>{"error"});
    EXPECT_EQ(events.LastError(), k.message);
    EXPECT_TRUE(events.List.back().OnMainThread);
  }
}

TEST_F(Generation, HandlerExceptionsNeverEnterTheLibraryAndEndTheRequestWithOnError) {
  struct Case {
    const char* name;
    TFakeEntry entry;
    TFakeEvent event;
    bool otherThread;
  };
  const Case cases[] = {
      {"log in generation", TFakeEntry::GenerateImage, LogEvent("a\n"), false},
      {"log in activation", TFakeEntry::NewSdCtx, LogEvent("a\n"), false},
      {"log from a library thread", TFakeEntry::NewSdCtx, LogEvent("a\n"), true},
      {"progress", TFakeEntry::GenerateImage, ProgressEvent(1, 1, 0), false},
      {"preview", TFakeEntry::GenerateImage, PreviewEvent(1, 1, 4, 4), true},
      {"progress in upscale", TFakeEntry::Upscale, ProgressEvent(1, 1, 0), false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Fake().Reset();
    Fake().Script.Callbacks[k.entry] = {{k.event}, k.otherThread};
    TEvents events;
    auto c = Make(events);
    c->SetPreviewMode(PREVIEW_PROJ);
    events.Then = [](const TEvents::TEvent& e) {
      if (e.Kind == "log" || e.Kind == "progress" || e.Kind == "preview")
        throw System::Sysutils::Exception(u"handler refused " + System::UTF8ToString(e.Kind));
    };
    TBitmap input(8, 8);
    if (k.entry == TFakeEntry::Upscale) {
      c->UpscaleImage(&input, u"m", 2);
    } else {
      c->Text2Image(u"p", u"", nullptr);
    }
    ASSERT_TRUE(Finished(*c, events));
    EXPECT_EQ(events.Endings(), 1);
    EXPECT_EQ(events.LastError(), u"handler refused " + System::UTF8ToString(events.List.front().Kind));
    // The fake records a violation if an exception reached its frames.
  }
}

TEST_F(Generation, AnOnCompleteHandlerThatRaisesIsReportedThroughOnError) {
  TEvents events;
  auto c = Make(events);
  events.Then = [](const TEvents::TEvent& e) {
    if (e.Kind == "complete") throw std::runtime_error("no room for pictures");
  };
  c->Text2Image(u"p", u"", nullptr);
  ASSERT_TRUE(Finished(*c, events, 2));
  EXPECT_EQ(events.Kinds(), (std::vector<std::string>{"complete", "error"}));
  EXPECT_EQ(events.LastError(), u"no room for pictures");
}

// ---- checks on the calling thread ----

TEST_F(Generation, RequestsRefuseWhatTheLibraryCannotSurviveBeforeAnyWork) {
  struct Case {
    const char* name;
    std::function<void(TFMXStableDiffusion&)> call;
    String message;
  };
  TBitmap bmp(8, 8);
  TBitmap* b = &bmp;
  const Case cases[] = {
      {"inpaint without input", [&](auto& c) { c.ImageInPaint(u"", u"", nullptr, b, nullptr); },
       u"Input Image can not be nil"},
      {"inpaint without mask", [&](auto& c) { c.ImageInPaint(u"", u"", b, nullptr, nullptr); },
       u"Mask Image can not be nil"},
      {"img2img without input", [&](auto& c) { c.Image2Image(u"", u"", nullptr, nullptr); },
       u"Input Image can not be nil"},
      {"video without init", [&](auto& c) { c.Video2Video(u"", u"", nullptr); }, u"Init Image can not be nil"},
      {"upscale without input", [&](auto& c) { c.UpscaleImage(nullptr, u"m", 2); }, u"Input Image can not be nil"},
      {"upscale by 0", [&](auto& c) { c.UpscaleImage(b, u"m", 0); },
       u"TFMXStableDiffusion.UpscaleImage: Scale must be at least 1, got 0"},
      {"upscale of nothing", [&](auto& c) { TBitmap empty; c.UpscaleImage(&empty, u"m", 2); },
       u"TFMXStableDiffusion.UpscaleImage: the input image is empty (0 x 0)"},
      // The upscaled picture is held to the sizes of the other requests.
      {"upscale of 16385 x 1", [&](auto& c) { TBitmap wide(16385, 1); c.UpscaleImage(&wide, u"m", 1); },
       u"TFMXStableDiffusion.UpscaleImage: 16385 x 1 at Scale 1 makes a 16385 x 1 picture; each side must be at "
       u"most 16384"},
      {"upscale by 2^32-1", [&](auto& c) { c.UpscaleImage(b, u"m", UINT32_MAX); },
       u"TFMXStableDiffusion.UpscaleImage: 8 x 8 at Scale 4294967295 makes a 34359738360 x 34359738360 picture; each side "
       u"must be at most 16384"},
      {"upscale to 16000 x 16000", [&](auto& c) { TBitmap square(16, 16); c.UpscaleImage(&square, u"m", 1000); },
       u"TFMXStableDiffusion.UpscaleImage: 16 x 16 at Scale 1000 makes a 16000 x 16000 picture; at most 67108864 "
       u"pixels"},
      {"width 0", [&](auto& c) { c.SetWidth(0), c.Text2Image(u"", u"", nullptr); },
       u"TFMXStableDiffusion.Width must be at least 1, got 0"},
      {"height -3", [&](auto& c) { c.SetHeight(-3), c.Image2Image(u"", u"", b, nullptr); },
       u"TFMXStableDiffusion.Height must be at least 1, got -3"},
      {"batch 0", [&](auto& c) { c.SetBatchCount(0), c.Text2Image(u"", u"", nullptr); },
       u"TFMXStableDiffusion.BatchCount must be at least 1, got 0"},
      {"steps 0", [&](auto& c) { c.SetSampleSteps(0), c.Video2Video(u"", u"", b); },
       u"TFMXStableDiffusion.SampleSteps must be at least 1, got 0"},
      {"frames 0", [&](auto& c) { c.SetVideoFrames(0), c.Video2Video(u"", u"", b); },
       u"TFMXStableDiffusion.VideoFrames must be at least 1, got 0"},
      // Sizes the component cannot serve, before a byte is allocated.
      {"width 16385", [&](auto& c) { c.SetWidth(16385), c.SetHeight(1), c.Text2Image(u"", u"", nullptr); },
       u"TFMXStableDiffusion.Width must be at most 16384, got 16385"},
      {"img2img 30000 x 30000", [&](auto& c) { c.SetWidth(30000), c.SetHeight(30000), c.Image2Image(u"", u"", b, b); },
       u"TFMXStableDiffusion.Width must be at most 16384, got 30000"},
      {"height 2^31-1", [&](auto& c) { c.SetHeight(INT32_MAX), c.Video2Video(u"", u"", b); },
       u"TFMXStableDiffusion.Height must be at most 16384, got 2147483647"},
      {"16384 x 4097", [&](auto& c) { c.SetWidth(16384), c.SetHeight(4097), c.Text2Image(u"", u"", nullptr); },
       u"TFMXStableDiffusion: Width x Height must be at most 67108864 pixels, got 16384 x 4097"},
      {"17 of 8192 x 8192", [&](auto& c) { c.SetWidth(8192), c.SetHeight(8192), c.SetBatchCount(17),
                                           c.ImageInPaint(u"", u"", b, b, nullptr); },
       u"TFMXStableDiffusion.BatchCount: 17 pictures of 8192 x 8192 need 4563402752 bytes, more than 4294967296"},
      {"2^31-1 frames", [&](auto& c) { c.SetVideoFrames(INT32_MAX), c.Video2Video(u"", u"", b); },
       u"TFMXStableDiffusion.VideoFrames: 2147483647 pictures of 512 x 512 need 2251799812636672 bytes, "
       u"more than 4294967296"},
      // Every float that reaches the library is a number.
      {"CfgScale NaN", [&](auto& c) { c.SetCfgScale(NAN), c.Text2Image(u"", u"", nullptr); },
       u"TFMXStableDiffusion.CfgScale must be a finite number, got NAN"},
      {"Guidance inf", [&](auto& c) { c.SetGuidance(INFINITY), c.Image2Image(u"", u"", b, nullptr); },
       u"TFMXStableDiffusion.Guidance must be a finite number, got INF"},
      {"SLGScale -inf", [&](auto& c) { c.SetSLGScale(-INFINITY), c.Text2Image(u"", u"", nullptr); },
       u"TFMXStableDiffusion.SLGScale must be a finite number, got -INF"},
      {"ControlStrength with a control", [&](auto& c) { c.SetControlStrength(NAN), c.Text2Image(u"", u"", b); },
       u"TFMXStableDiffusion.ControlStrength must be a finite number, got NAN"},
      {"Strength of inpainting", [&](auto& c) { c.SetStrength(NAN), c.ImageInPaint(u"", u"", b, b, nullptr); },
       u"TFMXStableDiffusion.Strength must be a finite number, got NAN"},
      {"MoEBoundary of video", [&](auto& c) { c.SetMoEBoundary(INFINITY), c.Video2Video(u"", u"", b); },
       u"TFMXStableDiffusion.MoEBoundary must be a finite number, got INF"},
      {"VaceStrength of video", [&](auto& c) { c.SetVaceStrength(NAN), c.Video2Video(u"", u"", b); },
       u"TFMXStableDiffusion.VaceStrength must be a finite number, got NAN"},
      // The library aborts when asked to encode without the encoder.
      {"img2img decode only", [&](auto& c) { c.SetVaeDecodeOnly(true), c.Image2Image(u"", u"", b, nullptr); },
       u"TFMXStableDiffusion.VaeDecodeOnly must be false for Image2Image and ImageInPaint: the input picture "
       u"needs the VAE encoder"},
      {"inpaint decode only", [&](auto& c) { c.SetVaeDecodeOnly(true), c.ImageInPaint(u"", u"", b, b, nullptr); },
       u"TFMXStableDiffusion.VaeDecodeOnly must be false for Image2Image and ImageInPaint: the input picture "
       u"needs the VAE encoder"},
      // More threads than the library's maximum can crash it.
      {"513 threads", [&](auto& c) { c.SetThreads(513), c.Text2Image(u"", u"", nullptr); },
       u"TFMXStableDiffusion.Threads must be at most 512, got 513"},
      {"upscale with 100000 threads", [&](auto& c) { c.SetThreads(100000), c.UpscaleImage(b, u"m", 2); },
       u"TFMXStableDiffusion.Threads must be at most 512, got 100000"},
      // The library reads texts only up to a NUL.
      {"prompt with a NUL", [&](auto& c) { c.Text2Image(String(u"a cat\0 in a hat", 15), u"", nullptr); },
       u"TFMXStableDiffusion: the prompt must not contain a NUL character"},
      {"negative with a NUL", [&](auto& c) { c.Image2Image(u"", String(u"\0", 1), b, nullptr); },
       u"TFMXStableDiffusion: the negative prompt must not contain a NUL character"},
      {"video prompt with a NUL", [&](auto& c) { c.Video2Video(String(u"x\0", 2), u"", b); },
       u"TFMXStableDiffusion: the prompt must not contain a NUL character"},
      {"id images path with a NUL",
       [&](auto& c) { c.SetInputIdImagesPath(String(u"ids\0", 4)), c.ImageInPaint(u"", u"", b, b, nullptr); },
       u"TFMXStableDiffusion.InputIdImagesPath must not contain a NUL character"},
      {"upscale model with a NUL", [&](auto& c) { c.UpscaleImage(b, String(u"x4.gguf\0.old", 12), 2); },
       u"TFMXStableDiffusion.UpscaleImage: the model path must not contain a NUL character"},
      // A refusal after the first input was converted still leaves it as it was.
      {"mapped mask",
       [&](auto& c) {
         TBitmap mask(8, 8);
         const TBitmapMapping mapped(mask, TMapAccess::Read);
         c.ImageInPaint(u"", u"", b, &mask, nullptr);
       },
       u"TFMXStableDiffusion: Mask Image is mapped; unmap it before the request"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Fake().Reset();
    TEvents events;
    auto c = Make(events);
    EXPECT_EQ(MessageOf([&] { k.call(*c); }), k.message);
    EXPECT_EQ(c->PendingRequests(), 0);
    EXPECT_EQ(bmp.Width(), 8) << "the caller's bitmap was touched";
    TThread::CheckSynchronize(0);
    EXPECT_TRUE(events.List.empty());
  }
}

TEST_F(Generation, InputsAreTakenBeforeTheCallReturns) {
  // The library is held inside generate_image while the caller frees and
  // repaints its bitmaps; what it got must be what was passed.
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  Fake().Script.Hook = [&](TFakeEntry e) {
    if (e != TFakeEntry::GenerateImage) return;
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return release; });
  };
  TEvents events;
  auto c = Make(events);
  c->SetWidth(16);
  c->SetHeight(16);
  {
    auto input = std::make_unique<TBitmap>(32, 32);
    input->Clear(0xFF112233u);
    TBitmap mask(16, 16);
    mask.Clear(0xFF000000u);
    c->ImageInPaint(u"p", u"", input.get(), &mask, nullptr);
    EXPECT_EQ(input->Width(), 16) << "the input is resized in place";
    input->Clear(0xFFFFFFFFu);
  }
  {
    std::lock_guard lock(m);
    release = true;
  }
  cv.notify_all();
  ASSERT_TRUE(Finished(*c, events));
  const auto call = Fake().CallsNamed("generate_image").at(0);
  ExpectImage(call.Images.at("init_image"), 16, 16, 3, {0x11, 0x22, 0x33});
  ExpectImage(call.Images.at("mask_image"), 16, 16, 1, {0});
}

// ---- one request at a time, in call order ----

TEST_F(Generation, RequestsOfOneComponentRunOneAtATimeInCallOrder) {
  std::atomic<int> inside{0}, most{0};
  std::atomic<bool> held{false}, checked{false};
  Fake().Script.Hook = [&](TFakeEntry e) {
    if (e != TFakeEntry::GenerateImage && e != TFakeEntry::GenerateVideo && e != TFakeEntry::Upscale) return;
    held = true;
    while (!checked) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int now = ++inside;
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    --inside;
  };
  TEvents events;
  auto c = Make(events);
  c->SetWidth(8);
  c->SetHeight(8);
  TBitmap a(8, 8);
  c->SetBatchCount(1);
  c->Text2Image(u"first", u"", nullptr);
  c->SetBatchCount(2);  // requests keep the settings of their call
  c->Text2Image(u"second", u"", nullptr);
  c->Video2Video(u"third", u"", &a);
  c->UpscaleImage(&a, u"m", 2);
  // The first request is held inside the library, the component active.
  EXPECT_TRUE(PumpUntil([&] { return held.load(); }));
  EXPECT_TRUE(c->Active());
  EXPECT_EQ(MessageOf([&] { c->SetActive(false); }),
            u"TFMXStableDiffusion.Active can not change while a request is running");
  checked = true;
  ASSERT_TRUE(Finished(*c, events, 4));
  EXPECT_EQ(most.load(), 1);
  ASSERT_EQ(events.Kinds(), (std::vector<std::string>(4, "complete")));
  EXPECT_EQ(events.List[0].Sizes.size(), 1u);
  EXPECT_EQ(events.List[1].Sizes.size(), 2u);
  EXPECT_EQ(events.List[2].Sizes.size(), 16u);  // VideoFrames
  EXPECT_EQ(events.List[3].Sizes, (std::vector<std::pair<int, int>>{{16, 16}}));
  const auto images = Fake().CallsNamed("generate_image");
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(images[0].Texts.at("prompt"), "first");
  EXPECT_EQ(images[1].Texts.at("prompt"), "second");
  EXPECT_EQ(Fake().CallsNamed("new_sd_ctx").size(), 1u) << "the context is reused";
}

// What counts is how the live context was made, not the property now: the
// library crashes on a second generation with a context that freed its weights.
TEST_F(Generation, FreeParamsGivesEveryGenerationAFreshContext) {
  struct Case {
    const char* name;
    std::optional<bool> atActivation;  // none: the first request activates
    bool atRequests;
    std::size_t contexts;
    bool activeAfter;
  };
  const Case cases[] = {
      {"set before the requests", std::nullopt, true, 2, false},
      // The second request makes its context with the property as it is then.
      {"cleared after activation", true, false, 2, true},
      {"set after activation", false, true, 1, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Fake().Reset();
    TEvents events;
    auto c = Make(events);
    if (k.atActivation) {
      c->SetFreeParams(*k.atActivation);
      c->SetActive(true);
    }
    c->SetFreeParams(k.atRequests);
    c->Text2Image(u"a", u"", nullptr);
    c->Text2Image(u"b", u"", nullptr);
    ASSERT_TRUE(Finished(*c, events, 2));
    EXPECT_EQ(events.Kinds(), (std::vector<std::string>(2, "complete")));
    EXPECT_EQ(Fake().CallsNamed("new_sd_ctx").size(), k.contexts);
    EXPECT_EQ(c->Active(), k.activeAfter);
    // The fake reports a second generation on a free-params context.
  }
}

TEST_F(Generation, ResultsAreDeliveredAtTheLibrarysSizeWithEveryPixel) {
  Fake().Script.Results = {FakeImage(70, 50, 3), FakeImage(128, 64, 3)};
  TEvents events;
  auto c = Make(events);
  c->SetWidth(70);
  c->SetHeight(50);
  c->SetBatchCount(2);
  c->Text2Image(u"p", u"", nullptr);
  ASSERT_TRUE(Finished(*c, events));
  ASSERT_EQ(events.Outputs.size(), 2u);
  EXPECT_EQ(events.List.back().Sizes, (std::vector<std::pair<int, int>>{{70, 50}, {128, 64}}));
  // The bottom-right pixel, inside the band the original left blank.
  const auto px = Corvina::Testing::Pixels(*events.Outputs[1]);
  const auto b = [](std::uint32_t x, std::uint32_t y, std::uint32_t k) { return Corvina::Fakes::FakeResultByte(1, x, y, k); };
  EXPECT_EQ(px.back(), 0xFF000000u | std::uint32_t(b(127, 63, 0)) << 16 | std::uint32_t(b(127, 63, 1)) << 8 | b(127, 63, 2));
}

TEST_F(Generation, UpscaleNeedsNoContextAndReplacesItsModelEachTime) {
  Fake().Script.UpscaleModelFactor = 3;
  TEvents events;
  auto c = Make(events);
  TBitmap input = Solid(5, 4, 0xFF010203u);
  c->UpscaleImage(&input, u"first.bin", 2);
  c->UpscaleImage(&input, u"second.bin", 2);
  ASSERT_TRUE(Finished(*c, events, 2));
  EXPECT_FALSE(c->Active());
  ASSERT_EQ(events.Kinds(), (std::vector<std::string>(2, "complete")));
  EXPECT_EQ(events.List[0].Sizes, (std::vector<std::pair<int, int>>{{15, 12}})) << "the model's own factor";
  const auto made = Fake().CallsNamed("new_upscaler_ctx");
  ASSERT_EQ(made.size(), 2u);
  EXPECT_EQ(made[0].Texts.at("esrgan_path"), "first.bin");
  EXPECT_FALSE(made[0].Flag1);
  EXPECT_FALSE(made[0].Flag2);
  EXPECT_EQ(made[0].TileSize, 128);
  const auto freed = Fake().CallsNamed("free_upscaler_ctx");
  ASSERT_EQ(freed.size(), 1u);
  EXPECT_EQ(freed[0].Context, made[0].Context);
  const auto ups = Fake().CallsNamed("upscale");
  EXPECT_EQ(ups[1].Factor, 2u);
  EXPECT_EQ(input.Width(), 5) << "the upscale input is not resized";
  ExpectImage(ups[0].Images.at("input"), 5, 4, 3, {1, 2, 3});
  EXPECT_EQ(Fake().LiveUpscalers.load(), 1);
  c.reset();
  EXPECT_EQ(Fake().LiveUpscalers.load(), 0);
}

// The library's result is released as soon as it is converted, not held
// while OnComplete runs.
#if !defined(_WIN32)  // glibc's mallinfo2 tells what the heap holds
TEST_F(Generation, TheUpscaleResultIsReleasedBeforeItsEvent) {
  Fake().Script.UpscaleModelFactor = 8;
  TEvents events;
  auto c = Make(events);
  std::size_t during = 0;
  events.Then = [&](const TEvents::TEvent& e) {
    if (e.Kind == "complete") during = mallinfo2().hblkhd;
  };
  TBitmap input(512, 512);
  c->UpscaleImage(&input, u"x8.bin", 8);
  ASSERT_TRUE(Finished(*c, events));
  ASSERT_EQ(events.List.back().Sizes, (std::vector<std::pair<int, int>>{{4096, 4096}}));
  // 48 MiB, beyond what malloc keeps in its heap: mapped alone and counted
  // here while it lives.
  const std::size_t after = mallinfo2().hblkhd;
  EXPECT_LT(during, after + (16u << 20)) << "the library's result was still held during OnComplete";
}
#endif

// ---- lifetime ----

TEST_F(Generation, DestructionWaitsForTheRunningRequestAndCancelsTheQueuedOnes) {
  std::atomic<bool> holding{false}, release{false}, returned{false};
  Fake().Script.Hook = [&](TFakeEntry e) {
    if (e != TFakeEntry::GenerateImage) return;
    holding = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    returned = true;
  };
  TEvents events;
  auto c = Make(events);
  c->Text2Image(u"running", u"", nullptr);
  c->Text2Image(u"queued", u"", nullptr);
  ASSERT_TRUE(PumpUntil([&] { return holding.load(); }));
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    release = true;
  });
  c.reset();  // pumps while it waits for the running request, whose result is dropped
  releaser.join();
  EXPECT_TRUE(returned.load()) << "the context was freed under a running generation";
  EXPECT_EQ(events.Kinds(), (std::vector<std::string>{"error"}));
  EXPECT_EQ(events.List[0].Text, u"Request cancelled: the component is being destroyed");
  EXPECT_EQ(Fake().CallsNamed("generate_image").size(), 1u);
}

// The worker outlives a request (a fresh thread would fault in the library's
// results anew), yet an idle component is freed at once, alone or with its owner.
TEST_F(Generation, RequestsReuseOneWorkerThatAnIdleComponentDoesNotWaitFor) {
  for (const bool withOwner : {false, true}) {
    SCOPED_TRACE(withOwner ? "freed with its owner" : "freed alone");
    Fake().Reset();
    TEvents events;
    auto owner = std::make_unique<System::Classes::TComponent>(nullptr);
    std::unique_ptr<TFMXStableDiffusion> alone = withOwner ? nullptr : Make(events);
    TFMXStableDiffusion* c = alone ? alone.get() : new TFMXStableDiffusion(owner.get());  // the owner frees it
    if (withOwner) events.Attach(*c);
    for (int i = 1; i <= 3; ++i) {
      c->Text2Image(u"p", u"", nullptr);
      ASSERT_TRUE(Finished(*c, events, i));
    }
    const auto calls = Fake().CallsNamed("generate_image");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_NE(calls[0].Thread, std::this_thread::get_id());
    EXPECT_EQ(calls[1].Thread, calls[0].Thread);
    EXPECT_EQ(calls[2].Thread, calls[0].Thread);
    const auto start = std::chrono::steady_clock::now();
    if (withOwner) owner.reset(); else alone.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << "waited for an idle worker";
    EXPECT_EQ(events.Kinds(), (std::vector<std::string>(3, "complete")));
  }
}

// The part of the program below that ends it with a component alive.
[[noreturn]] void EndWithAComponentAlive(bool leaked, bool busy) {
  // Reachable from statics, so that a leak checker does not count them.
  static TEvents* events = new TEvents;
  static TFMXStableDiffusion* leakedOne = nullptr;
  static std::atomic<bool> armed{false}, generated{false};
  {
    // The fake's own statics are made before the component, so exit
    // destroys them after it; a result this small is not split, so
    // the pixel threads start only after the component is made.
    TEvents warmUp;
    auto first = std::make_unique<TFMXStableDiffusion>(nullptr);
    warmUp.Attach(*first);
    first->SetWidth(64);
    first->SetHeight(64);
    first->Text2Image(u"p", u"", nullptr);
    PumpUntil([&] { return warmUp.Endings() >= 1 && first->PendingRequests() == 0; });
  }
  static std::unique_ptr<TFMXStableDiffusion> kept;
  TFMXStableDiffusion* component = nullptr;
  if (leaked) {
    component = leakedOne = new TFMXStableDiffusion(nullptr);
  } else {
    kept = std::make_unique<TFMXStableDiffusion>(nullptr);
    component = kept.get();
  }
  events->Attach(*component);
  Fake().Script.Results = {FakeImage(busy ? 4096 : 1024, busy ? 4096 : 1024, 3)};
  Fake().Script.Hook = [](TFakeEntry e) {
    if (e == TFakeEntry::GenerateImage && armed) generated = true;
  };
  for (int i = 0; i < (busy ? 3 : 1); ++i) component->Text2Image(u"p", u"", nullptr);
  PumpUntil([&] { return events->Endings() >= 1 && (busy || component->PendingRequests() == 0); });
  // Made after the pixel threads, so destroyed before them: it holds
  // exit back until the next result is being converted.
  struct TUntilConverting {
    bool Busy;
    ~TUntilConverting() {
      for (int i = 0; Busy && !generated && i < 5000; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  static const TUntilConverting untilConverting{busy};
  armed = true;
  std::exit(events->Endings() >= 1 ? 7 : 1);
}

// A program may end with a component still alive, its busy worker here
// converting a large result across the pixel threads just as exit reaches
// them. No case may crash nor hang the exit.
TEST_F(Generation, AProgramEndsCleanlyWithAComponentStillAlive) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const auto& c : Corvina::Testing::kAliveAtExit) {
    for (int round = 0; round < Corvina::Testing::kExitRounds; ++round)
      EXPECT_EXIT(EndWithAComponentAlive(c.leaked, c.busy), ::testing::ExitedWithCode(7), "") << c.name;
  }
}

// The part of the program below that ends while the reference backend loads
// a model for a component kept in a static: the backend's own statics were
// made after the component (by its first request), so exit destroys them
// first, while the worker still works inside the backend.
[[noreturn]] void EndWhileTheReferenceBackendLoads() {
  UnLoadSDLibs();
  SD_DLL_PATH = System::UTF8ToString(std::filesystem::path(CORVINA_REFERENCE_SD_LIB).parent_path().string() + "/");
  static std::unique_ptr<TFMXStableDiffusion> kept;
  static std::atomic<int> loads{0}, endings{0};
  kept = std::make_unique<TFMXStableDiffusion>(nullptr);
  kept->SetModelPath(System::UTF8ToString(CORVINA_REFERENCE_SD_MODELS "/corvina-sd.cvm"));
  kept->SetFreeParams(true);  // every request loads the model anew
  kept->SetWidth(64);
  kept->SetHeight(64);
  kept->SetSampleSteps(2);
  kept->SetOnLog([](TFMXStableDiffusion*, const String& text) {
    if (text.find(u"loading model") != String::npos) ++loads;
  });
  kept->SetOnComplete([](TFMXStableDiffusion*, TBitmaps) { ++endings; });
  kept->SetOnError([](TFMXStableDiffusion*, const String&) { ++endings; });
  kept->Text2Image(u"p", u"", nullptr);
  PumpUntil([] { return endings >= 1; });
  kept->Text2Image(u"p", u"", nullptr);
  PumpUntil([] { return loads >= 2; });
  std::exit(endings == 1 ? 7 : 1);
}

TEST_F(Generation, AProgramEndsCleanlyWhileAStaticComponentWorksInsideTheReferenceBackend) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(EndWhileTheReferenceBackendLoads(), ::testing::ExitedWithCode(7), "");
}

// Once its destruction has begun the component's handlers hear nothing but
// the cancellation of each queued request, whichever event freed it; a
// request made from that cancellation's handler, which nothing would run
// or report, is refused.
TEST_F(Generation, AHandlerMayFreeTheComponentThatRaisedItAndHearsNothingMore) {
  for (const std::string kind : {"log", "progress", "preview", "complete", "error"}) {
    SCOPED_TRACE(kind);
    Fake().Reset();
    Fake().Script.Callbacks[TFakeEntry::GenerateImage] = {
        {LogEvent("x\n"), ProgressEvent(1, 3, 0), PreviewEvent(1, 1, 8, 8), ProgressEvent(2, 3, 0),
         PreviewEvent(2, 1, 8, 8), LogEvent("y\n"), ProgressEvent(3, 3, 0)}};
    if (kind == "error") Fake().Script.GenerateFails = true;
    TEvents events;
    auto c = Make(events);
    TFMXStableDiffusion* const component = c.get();
    c->SetPreviewMode(PREVIEW_PROJ);
    std::size_t freedAt = 0;
    String late;
    events.Then = [&](const TEvents::TEvent& e) {
      if (e.Kind == kind && c) {
        freedAt = events.List.size();
        c.reset();  // the framework defers the free
      } else if (!c && e.Kind == "error") {
        late = MessageOf([&] { component->Text2Image(u"late", u"", nullptr); });
      }
    };
    c->Text2Image(u"p", u"", nullptr);
    c->Text2Image(u"second", u"", nullptr);
    ASSERT_TRUE(PumpUntil([&] { return c == nullptr && Fake().LiveContexts == 0; }));
    EXPECT_EQ(events.List.at(0).Kind, "log");
    ASSERT_EQ(events.List.size(), freedAt + 1) << "events reached a component being destroyed";
    EXPECT_EQ(events.List.back().Kind, "error");
    EXPECT_EQ(events.List.back().Text, u"Request cancelled: the component is being destroyed");
    EXPECT_EQ(late, u"Request cancelled: the component is being destroyed");
  }
}

// A request counts as finished before its last event, so that event's
// handler may reconfigure the component.
TEST_F(Generation, TheLastEventOfARequestMayChangeActive) {
  for (const bool fails : {false, true}) {
    SCOPED_TRACE(fails ? "OnError" : "OnComplete");
    Fake().Reset();
    Fake().Script.GenerateFails = fails;
    TEvents events;
    auto c = Make(events);
    events.Then = [&](const TEvents::TEvent& e) {
      if (e.Kind == "complete" || e.Kind == "error") c->SetActive(false);
    };
    c->Text2Image(u"p", u"", nullptr);
    ASSERT_TRUE(Finished(*c, events));
    EXPECT_EQ(events.Kinds(), std::vector<std::string>{fails ? "error" : "complete"});
    EXPECT_FALSE(c->Active());
    EXPECT_EQ(Fake().LiveContexts.load(), 0);
    // And a request made after that reactivates it.
    events.Then = nullptr;
    c->Text2Image(u"again", u"", nullptr);
    ASSERT_TRUE(Finished(*c, events, 2));
    EXPECT_TRUE(c->Active());
  }
}

// SetActive(true) on the main thread raises the library's log lines there
// while the context is made: a handler may free the component (the free
// waits until SetActive has returned), but not reenter it.
TEST_F(Generation, HandlersOfAnActivationOnTheMainThreadMayFreeTheComponentButNotReenterIt) {
  struct Case {
    const char* name;
    std::function<void(std::unique_ptr<TFMXStableDiffusion>&)> react;
    String raised;  // by the handler's call, and so by SetActive
  };
  const String reactivated = u"TFMXStableDiffusion.Active can not change while the component is being activated";
  const Case cases[] = {
      {"frees it", [](auto& c) { c.reset(); }, u"<nothing raised>"},
      {"frees it and pumps",
       [](auto& c) {
         c.reset();
         TThread::CheckSynchronize(0);
       },
       u"<nothing raised>"},
      {"activates it", [](auto& c) { c->SetActive(true); }, reactivated},
      {"deactivates it", [](auto& c) { c->SetActive(false); }, reactivated},
      {"asks for a picture", [](auto& c) { c->Text2Image(u"p", u"", nullptr); },
       u"TFMXStableDiffusion can not take a request while it is being activated"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Fake().Reset();
    Fake().Script.Callbacks[TFakeEntry::NewSdCtx] = {{LogEvent("a\n"), LogEvent("b\n")}};
    TEvents events;
    auto c = Make(events);
    TFMXStableDiffusion* const component = c.get();
    String handlerRaised = u"<nothing raised>";
    events.Then = [&](const TEvents::TEvent& e) {
      if (e.Kind != "log" || events.List.size() != 1) return;
      handlerRaised = MessageOf([&] { k.react(c); });
      if (handlerRaised != u"<nothing raised>") throw System::Sysutils::Exception(handlerRaised);
    };
    EXPECT_EQ(MessageOf([&] { component->SetActive(true); }), k.raised);
    EXPECT_EQ(handlerRaised, k.raised);
    TThread::CheckSynchronize(0);  // carries out a free the handler asked for
    EXPECT_EQ(Fake().CallsNamed("new_sd_ctx").size(), 1u);
    EXPECT_EQ(Fake().CallsNamed("generate_image").size(), 0u);
    if (c) {
      EXPECT_FALSE(c->Active());
      EXPECT_EQ(Fake().LiveContexts.load(), 0);
      c.reset();
    } else {
      EXPECT_EQ(events.Kinds(), std::vector<std::string>{"log"}) << "a component being destroyed was heard";
    }
    EXPECT_EQ(Fake().LiveContexts.load(), 0);
  }
}

TEST_F(Generation, CallbacksReachTheComponentInsideTheLibraryNotTheLastConstructed) {
  Fake().Script.Callbacks[TFakeEntry::GenerateImage] = {{LogEvent("x\n")}, true};
  TEvents first, second;
  auto a = Make(first);
  auto b = Make(second);  // registers the callbacks last
  a->Text2Image(u"p", u"", nullptr);
  ASSERT_TRUE(Finished(*a, first));
  EXPECT_EQ(first.Kinds(), (std::vector<std::string>{"log", "complete"}));
  EXPECT_TRUE(second.List.empty());
  // Once b is gone, its registration stays with the library; a late callback
  // reaches nobody instead of a destroyed component.
  b.reset();
  Fake().LogCb(SD_LOG_INFO, "late\n", Fake().LogData);
  TThread::CheckSynchronize(0);
  EXPECT_EQ(first.Kinds(), (std::vector<std::string>{"log", "complete"}));
}

// UnLoadSDLibs while the library is in use: a request inside it, a context
// alive, a handler below activation. The library counts as unloaded at once
// and leaves memory when its last use ends; every case crashed before,
// freed under the running call or later through a null free_sd_ctx.
class GenerationUnload : public ::testing::Test {
 protected:
  void SetUp() override {
    UnLoadSDLibs();
    SD_DLL_PATH = System::UTF8ToString(std::filesystem::path(CORVINA_REFERENCE_SD_LIB).parent_path().string() + "/");
    LoadSDLibs();
  }
  void TearDown() override {
    UnLoadSDLibs();
    SD_DLL_PATH.clear();
  }
  static bool Mapped() { return Corvina::Testing::LoadedLibrary(CORVINA_REFERENCE_SD_LIB) != nullptr; }
};

TEST_F(GenerationUnload, TheLibraryStaysUntilItsLastUseEnds) {
  struct Case {
    const char* name;
    std::function<void(TFMXStableDiffusion&, TEvents&)> act;  // ends with the library unloaded
  };
  const Case cases[] = {
      {"while a request runs inside it",
       [](TFMXStableDiffusion& c, TEvents& events) {
         c.Text2Image(u"p", u"", nullptr);
         EXPECT_TRUE(PumpUntil([&] {
           return std::any_of(events.List.begin(), events.List.end(), [](const auto& e) { return e.Kind == "progress"; });
         }));
         UnLoadSDLibs();
         EXPECT_TRUE(PumpUntil([&] { return events.Endings() == 1; }));
         EXPECT_EQ(events.Kinds().back(), "complete") << System::UTF8Encode(events.LastError());
       }},
      {"while an idle context lives",
       [](TFMXStableDiffusion& c, TEvents&) {
         c.SetActive(true);
         UnLoadSDLibs();
         EXPECT_EQ(MessageOf([&] { c.Text2Image(u"p", u"", nullptr); }), u"The diffusion library is not loaded");
       }},
      {"from a handler while activation makes the context",
       [](TFMXStableDiffusion& c, TEvents& events) {
         events.Then = [](const TEvents::TEvent& e) {
           if (e.Kind == "log") UnLoadSDLibs();
         };
         c.SetActive(true);
         EXPECT_TRUE(c.Active());
       }},
      {"and loaded again while the context lives",
       [](TFMXStableDiffusion& c, TEvents& events) {
         c.SetActive(true);
         UnLoadSDLibs();
         LoadSDLibs();
         c.Text2Image(u"p", u"", nullptr);
         EXPECT_TRUE(PumpUntil([&] { return events.Endings() == 1; }));
         EXPECT_EQ(events.Kinds().back(), "complete") << System::UTF8Encode(events.LastError());
         UnLoadSDLibs();
       }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    LoadSDLibs();
    {
      TEvents events;
      auto c = std::make_unique<TFMXStableDiffusion>(nullptr);
      events.Attach(*c);
      c->SetModelPath(System::UTF8ToString(CORVINA_REFERENCE_SD_MODELS "/corvina-sd.cvm"));
      c->SetWidth(64);
      c->SetHeight(64);
      c->SetSampleSteps(4);
      k.act(*c, events);
      EXPECT_FALSE(SDLibsLoaded());
      EXPECT_TRUE(Mapped()) << "freed while its context lives";
      EXPECT_NE(Stablediffusion::free_sd_ctx, nullptr);
      c.reset();
    }
    EXPECT_FALSE(Mapped()) << "kept after its last use";
    EXPECT_EQ(Stablediffusion::free_sd_ctx, nullptr);
  }
}

}  // namespace
