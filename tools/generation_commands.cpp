// corvina generate | img2img | inpaint | video | upscale | canny: the
// generation component driven as an application drives it (properties,
// Active, a request, events pumped on the main thread).
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "framework/exceptions.h"
#include "framework/graphics.h"
#include "framework/threads.h"
#include "generation/sd_fmx.h"
#include "tools/commands.h"

namespace Corvina::Tool {

namespace {

namespace fs = std::filesystem;
using ::Fmx::Graphics::TBitmap;
using Sd::Fmx::TBitmaps;
using Sd::Fmx::TFMXStableDiffusion;
using System::String;
using System::UTF8Encode;
using System::UTF8ToString;
using System::Sysutils::Exception;

// The reference backend's sample models, used when --model is not given:
// beside the tool's lib/ (share/corvina/models), else in the source tree.
fs::path SampleModels() {
  std::error_code ignored;
  const fs::path beside = fs::read_symlink("/proc/self/exe", ignored).parent_path().parent_path() / "share/corvina/models";
  if (fs::is_directory(beside, ignored)) return beside;
#ifdef CORVINA_REFERENCE_SD_MODELS
  return CORVINA_REFERENCE_SD_MODELS;
#else
  return beside;
#endif
}

const CLI::Range kPositive(1, std::numeric_limits<int>::max());

struct TOptions {
  std::string LibDir;
  std::string Model;
  std::string Output;
  std::string Prompt;
  std::string Negative;
  std::string Input;  // input or init picture
  std::string Mask;
  std::string Control;
  int Width = 512;
  int Height = 512;
  int Steps = 20;
  int Batch = 1;
  int Frames = 8;
  std::int64_t Seed = 42;
  float Cfg = 7.0f;
  float Strength = 0.75f;
  unsigned Scale = 2;
  int Threads = 0;
  bool Verbose = false;
};

void UseLibraryFolder(const std::string& dir) {
  if (dir.empty()) return;  // the library beside libCorvina.so
  std::string folder = dir;
  if (folder.back() != '/') folder += '/';
  Sd::Fmx::SD_DLL_PATH = UTF8ToString(folder);
}

std::string DefaultModel(const TOptions& o, const char* sample) {
  if (!o.Model.empty()) return o.Model;
  // A real library needs a real model: only the reference backend has samples.
  if (!o.LibDir.empty()) throw Exception(u"--model is required with --sd-lib-dir");
  return (SampleModels() / sample).string();
}

std::unique_ptr<TBitmap> LoadPicture(const std::string& file) {
  auto bmp = std::make_unique<TBitmap>();
  bmp->LoadFromFile(UTF8ToString(file));
  return bmp;
}

// out.png, out-2.png, ... for several results; out-001.png ... for frames.
fs::path NumberedPath(const fs::path& base, std::size_t index, std::size_t count, int digits) {
  if (count == 1) return base;
  char number[16];
  std::snprintf(number, sizeof number, "-%0*zu", digits, index + 1);
  fs::path p = base;
  p.replace_filename(base.stem().string() + number + base.extension().string());
  return p;
}

// What the events of one request leave behind, and how they look on screen.
class TSession {
 public:
  TSession(TFMXStableDiffusion& c, const TOptions& o, const char* command, int digits)
      : FOptions(o), FCommand(command), FDigits(digits), FTerminal(::isatty(fileno(stdout)) == 1) {
    c.SetOnLog([this](TFMXStableDiffusion*, const String& text) {
      if (!FOptions.Verbose) return;
      EndBar();
      std::fputs(UTF8Encode(text).c_str(), stderr);
      if (text.empty() || text.back() != u'\n') std::fputc('\n', stderr);
    });
    c.SetOnProgress([this](TFMXStableDiffusion*, std::int32_t step, std::int32_t steps, float time) {
      Progress(step, steps, time);
    });
    c.SetOnComplete([this](TFMXStableDiffusion*, TBitmaps outputs) { Save(std::move(outputs)); });
    c.SetOnError([this](TFMXStableDiffusion*, const String& msg) {
      EndBar();
      FError = UTF8Encode(msg);
      FDone = true;
    });
  }

  // Pumps the main thread until the request has ended; the exit code.
  int Wait() {
    while (!FDone) System::Classes::TThread::CheckSynchronize(50);
    if (FError) {
      std::fprintf(stderr, "corvina %s: %s\n", FCommand, FError->c_str());
      return 1;
    }
    return 0;
  }

 private:
  void Progress(std::int32_t step, std::int32_t steps, float time) {
    if (!FTerminal) {
      std::printf("step %d/%d (%.2fs)\n", step, steps, time);
      return;
    }
    constexpr int kWidth = 30;
    const double part = steps > 0 ? std::clamp(double(step) / steps, 0.0, 1.0) : 0.0;
    const int filled = int(std::lround(part * kWidth));
    std::printf("\r[%s%s] %d/%d %.2fs/it", std::string(std::size_t(filled), '#').c_str(),
                std::string(std::size_t(kWidth - filled), ' ').c_str(), step, steps, time);
    std::fflush(stdout);
    FBarShown = true;
  }

  void EndBar() {
    if (!FBarShown) return;
    std::printf("\n");
    FBarShown = false;
  }

  void Save(TBitmaps outputs) {
    EndBar();
    const fs::path base = FOptions.Output;
    if (base.has_parent_path()) fs::create_directories(base.parent_path());
    for (std::size_t i = 0; i < outputs.size(); ++i) {
      const fs::path file = NumberedPath(base, i, outputs.size(), FDigits);
      outputs[i]->SaveToFile(file.u16string());
      std::printf("wrote %s (%d x %d)\n", file.string().c_str(), outputs[i]->Width(), outputs[i]->Height());
    }
    FDone = true;
  }

  const TOptions& FOptions;
  const char* FCommand;
  int FDigits;
  bool FTerminal;
  bool FBarShown = false;
  bool FDone = false;
  std::optional<std::string> FError;
};

std::unique_ptr<TFMXStableDiffusion> MakeComponent(const TOptions& o) {
  UseLibraryFolder(o.LibDir);
  auto c = std::make_unique<TFMXStableDiffusion>(nullptr);
  c->SetWidth(o.Width);
  c->SetHeight(o.Height);
  c->SetSampleSteps(o.Steps);
  c->SetBatchCount(o.Batch);
  c->SetSeed(o.Seed);
  c->SetCfgScale(o.Cfg);
  c->SetStrength(o.Strength);
  c->SetVideoFrames(o.Frames);
  c->SetThreads(o.Threads);
  return c;
}

int Generate(const TOptions& o, const char* command) {
  auto c = MakeComponent(o);
  c->SetModelPath(UTF8ToString(DefaultModel(o, "corvina-sd.cvm")));
  TSession session(*c, o, command, std::string(command) == "video" ? 3 : 1);
  const String prompt = UTF8ToString(o.Prompt), negative = UTF8ToString(o.Negative);
  std::unique_ptr<TBitmap> control = o.Control.empty() ? nullptr : LoadPicture(o.Control);
  std::unique_ptr<TBitmap> input = o.Input.empty() ? nullptr : LoadPicture(o.Input);
  std::unique_ptr<TBitmap> mask = o.Mask.empty() ? nullptr : LoadPicture(o.Mask);
  const std::string name = command;
  if (name == "generate") {
    c->Text2Image(prompt, negative, control.get());
  } else if (name == "img2img") {
    c->Image2Image(prompt, negative, input.get(), control.get());
  } else if (name == "inpaint") {
    c->ImageInPaint(prompt, negative, input.get(), mask.get(), control.get());
  } else {
    c->Video2Video(prompt, negative, input.get());
  }
  return session.Wait();
}

int Upscale(const TOptions& o) {
  auto c = MakeComponent(o);
  TSession session(*c, o, "upscale", 1);
  auto input = LoadPicture(o.Input);
  c->UpscaleImage(input.get(), UTF8ToString(DefaultModel(o, "corvina-upscaler-x2.cvm")), o.Scale);
  return session.Wait();
}

int Canny(const TOptions& o) {
  // The library is loaded by the first component made at run time.
  auto c = MakeComponent(o);
  auto input = LoadPicture(o.Input);
  auto edges = Sd::Fmx::GetCannyOfBitmap(*input);
  const fs::path out = o.Output;
  if (out.has_parent_path()) fs::create_directories(out.parent_path());
  edges->SaveToFile(out.u16string());
  std::printf("wrote %s (%d x %d)\n", out.string().c_str(), edges->Width(), edges->Height());
  return 0;
}

void AddLibraryOptions(CLI::App* cmd, TOptions& o) {
  cmd->add_option("--sd-lib-dir", o.LibDir, "folder of libstable-diffusion.so (default: the reference backend)")
      ->check(CLI::ExistingDirectory);
  cmd->add_option("--model", o.Model, "model file (default: the reference backend's sample)");
  cmd->add_option("-t,--threads", o.Threads, "threads, 0 = the library's count of physical cores");
  cmd->add_flag("-v,--verbose", o.Verbose, "show the library's log lines");
}

void AddSamplingOptions(CLI::App* cmd, TOptions& o, bool batch) {
  cmd->add_option("-W,--width", o.Width, "width in pixels")->capture_default_str()->check(kPositive);
  cmd->add_option("-H,--height", o.Height, "height in pixels")->capture_default_str()->check(kPositive);
  cmd->add_option("--steps", o.Steps, "sampling steps")->capture_default_str()->check(kPositive);
  cmd->add_option("--seed", o.Seed, "seed")->capture_default_str();
  cmd->add_option("--cfg", o.Cfg, "classifier-free guidance scale")->capture_default_str();
  cmd->add_option("-n,--negative", o.Negative, "negative prompt");
  if (batch) cmd->add_option("-b,--batch", o.Batch, "pictures to make")->capture_default_str()->check(kPositive);
}

}  // namespace

void AddGenerationCommands(CLI::App& app, TCommands& commands) {
  auto o = std::make_shared<TOptions>();
  // Positionals in order: the pictures the command reads, then the prompt.
  auto picture = [&](const char* name, const char* about, std::vector<const char*> inputs, const char* output) {
    CLI::App* cmd = app.add_subcommand(name, about);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      cmd->add_option(inputs[i], i == 0 ? o->Input : o->Mask, std::string(inputs[i]) + " picture (PNG, JPEG or BMP)")
          ->required()
          ->check(CLI::ExistingFile);
    }
    cmd->add_option("-o,--output", o->Output, "output file")->default_val(output);
    AddLibraryOptions(cmd, *o);
    return cmd;
  };

  CLI::App* generate = picture("generate", "text to image", {}, "out/generated.png");
  generate->add_option("prompt", o->Prompt, "what to draw")->required();
  generate->add_option("--control", o->Control, "control picture")->check(CLI::ExistingFile);
  AddSamplingOptions(generate, *o, true);
  commands.push_back({generate, [o] { return Generate(*o, "generate"); }});

  CLI::App* img2img = picture("img2img", "image to image", {"input"}, "out/img2img.png");
  img2img->add_option("prompt", o->Prompt, "what to draw")->required();
  img2img->add_option("--strength", o->Strength, "how far from the input, 0..1")->capture_default_str();
  img2img->add_option("--control", o->Control, "control picture")->check(CLI::ExistingFile);
  AddSamplingOptions(img2img, *o, true);
  commands.push_back({img2img, [o] { return Generate(*o, "img2img"); }});

  CLI::App* inpaint = picture("inpaint", "repaint the white part of a mask", {"input", "mask"}, "out/inpaint.png");
  inpaint->add_option("prompt", o->Prompt, "what to draw")->required();
  inpaint->add_option("--strength", o->Strength, "how far from the input, 0..1")->capture_default_str();
  AddSamplingOptions(inpaint, *o, true);
  commands.push_back({inpaint, [o] { return Generate(*o, "inpaint"); }});

  CLI::App* video = picture("video", "frames from a picture and a prompt", {"init"}, "out/video/frame.png");
  video->add_option("prompt", o->Prompt, "what to show")->required();
  video->add_option("--frames", o->Frames, "frames to make")->capture_default_str()->check(kPositive);
  video->add_option("--strength", o->Strength, "how far from the init picture, 0..1")->capture_default_str();
  AddSamplingOptions(video, *o, false);
  commands.push_back({video, [o] { return Generate(*o, "video"); }});

  CLI::App* upscale = picture("upscale", "enlarge a picture with an upscaling model", {"input"}, "out/upscaled.png");
  upscale->add_option("--scale", o->Scale, "factor asked of the library (the model's own factor applies)")
      ->capture_default_str()
      ->check(kPositive);
  commands.push_back({upscale, [o] { return Upscale(*o); }});

  CLI::App* canny = picture("canny", "Canny edge map of a picture", {"input"}, "out/canny.png");
  commands.push_back({canny, [o] { return Canny(*o); }});
}

}  // namespace Corvina::Tool
