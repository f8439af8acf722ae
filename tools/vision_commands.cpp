// corvina segment | track | remove | replace-bg: the vision components on
// picture files, with the reference vision backend unless told otherwise.

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "framework/exceptions.h"
#include "framework/graphics.h"
#include "tools/commands.h"
#include "tools/options.h"
#include "tools/platform.h"
#include "vision/anything_fmx.h"
#include "vision/ostrack.h"
#include "vision/remove_anything.h"
#include "vision/remove_bg.h"
#include "vision/sam.h"

namespace Corvina::Tool {

namespace {

namespace fs = std::filesystem;
using Fmx::Graphics::TBitmap;
using Fmx::Graphics::TBitmapMapping;
using Fmx::Graphics::TMapAccess;
using nlohmann::json;
using System::Sysutils::Exception;

// Options every vision subcommand takes.
struct TLibraryOptions {
  std::string LibraryDir;
  std::string ModelDir = Platform::Utf8Text(ReferenceModelDir(CORVINA_VISION_MODELS_DIR));
  std::int32_t Gpu = -1;
  bool Json = false;

  void Add(CLI::App& command) {
    command.group(kGroupVision);
    AddVisionLibraryDir(command, LibraryDir);
    AddModelDir(command, ModelDir);
    AddGpu(command, Gpu);
    AddJson(command, Json);
  }
  // Before the first component: where the library comes from.
  void Apply() const { UseVisionLibrary(LibraryDir); }
  // The file given with --model (or --encoder, ...), else name in --model-dir.
  System::String Model(const std::string& given, const char* name) const {
    if (given.empty()) return ModelInDir(ModelDir, name).u16string();
    Detail("model: %s", given.c_str());
    return System::UTF8ToString(given);
  }
};

// How long the work itself took, for -v.
class TTimer {
 public:
  explicit TTimer(const char* what) : FWhat(what), FStart(std::chrono::steady_clock::now()) {}
  ~TTimer() {
    Detail("%s in %.2f s", FWhat, std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count());
  }
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

 private:
  const char* FWhat;
  std::chrono::steady_clock::time_point FStart;
};

System::String Native(const std::string& path) { return System::UTF8ToString(path); }

std::unique_ptr<TBitmap> Load(const std::string& path) { return LoadPicture(path); }

void Save(const TBitmap& bmp, const std::string& path) { SavePicture(bmp, path); }

nlohmann::json PictureFile(const std::string& path, const TBitmap& picture) {
  json entry = WrittenFile(path);
  entry["width"] = picture.Width();
  entry["height"] = picture.Height();
  return entry;
}

// "x,y" or "l,t,r,b": count whole numbers separated by commas.
std::vector<std::int32_t> Numbers(const std::string& text, size_t count, const char* what) {
  std::vector<std::int32_t> values;
  const char* p = text.data();
  const char* end = text.data() + text.size();
  while (p < end && values.size() < count + 1) {
    std::int32_t v = 0;
    const auto [next, error] = std::from_chars(p, end, v);
    if (error != std::errc() || (next != end && *next != ',')) break;
    values.push_back(v);
    p = next == end ? end : next + 1;
    if (next != end && p == end) values.push_back(0);  // a trailing comma counts as one number too many
  }
  if (values.size() != count || p != end)
    throw TUsageError((std::string(what) + ": '" + text + "' is not " + std::to_string(count) +
                           " whole numbers separated by commas"));
  return values;
}

System::Types::TRect Box(const std::string& text, const char* what) {
  const auto v = Numbers(text, 4, what);
  if (v[2] <= v[0] || v[3] <= v[1])
    throw TUsageError(std::string(what) + ": '" + text + "' needs right > left and bottom > top");
  return {v[0], v[1], v[2], v[3]};
}

// A prompt that misses the picture can only give an empty answer.
void InsidePicture(const TBitmap& picture, const System::Types::TRect& r, const char* what) {
  if (r.Right > 0 && r.Bottom > 0 && r.Left < picture.Width() && r.Top < picture.Height()) return;
  throw TUsageError(std::string(what) + ": " + std::to_string(r.Left) + "," + std::to_string(r.Top) +
                    " lies outside the " + std::to_string(picture.Width()) + " x " +
                    std::to_string(picture.Height()) + " picture");
}

void SetPixel(const TBitmapMapping& map, const TBitmap& bmp, int x, int y, std::uint32_t colour) {
  if (x < 0 || y < 0 || x >= bmp.Width() || y >= bmp.Height()) return;
  reinterpret_cast<std::uint32_t*>(map.WritableScanline(y))[x] = colour;
}

// A 2-pixel outline, clipped to the picture.
void DrawBox(TBitmap& bmp, int left, int top, int right, int bottom, std::uint32_t colour) {
  TBitmapMapping map(bmp, TMapAccess::Write);
  for (int t = 0; t < 2; ++t) {
    for (int x = left; x <= right; ++x) {
      SetPixel(map, bmp, x, top + t, colour);
      SetPixel(map, bmp, x, bottom - t, colour);
    }
    for (int y = top; y <= bottom; ++y) {
      SetPixel(map, bmp, left + t, y, colour);
      SetPixel(map, bmp, right - t, y, colour);
    }
  }
}

// Half-transparent red over the masked pixels (gray above 127).
std::unique_ptr<TBitmap> Overlay(const TBitmap& picture, const TBitmap& mask) {
  auto out = std::make_unique<TBitmap>();
  out->Assign(picture);
  TBitmapMapping dst(*out, TMapAccess::Write);
  TBitmapMapping src(mask);
  for (int y = 0; y < out->Height(); ++y) {
    auto* d = dst.WritableScanline(y);
    const auto* m = src.Scanline(y);
    for (int x = 0; x < out->Width(); ++x, d += 4, m += 4)
      if (m[0] > 127) d[0] = d[0] / 2, d[1] = d[1] / 2, d[2] = static_cast<std::uint8_t>(d[2] / 2 + 128);
  }
  return out;
}

// How much of the picture the mask covers (gray above 127), and where.
json MaskStatistics(const TBitmap& mask) {
  TBitmapMapping map(mask);
  std::int64_t n = 0;
  int left = mask.Width(), top = mask.Height(), right = -1, bottom = -1;
  for (int y = 0; y < mask.Height(); ++y) {
    const auto* p = map.Scanline(y);
    for (int x = 0; x < mask.Width(); ++x) {
      if (p[4 * x] <= 127) continue;
      ++n;
      left = std::min(left, x), right = std::max(right, x), top = std::min(top, y), bottom = std::max(bottom, y);
    }
  }
  const double area = double(mask.Width()) * mask.Height();
  return {{"width", mask.Width()},
          {"height", mask.Height()},
          {"masked_pixels", n},
          {"fraction", area > 0 ? double(n) / area : 0.0},
          {"box", n ? json{left, top, right + 1, bottom + 1} : json(nullptr)}};
}

void Report(bool asJson, const json& result, const std::string& line) {
  if (asJson) {
    PrintJson(result);
  } else {
    Info("%s", line.c_str());
  }
}

// One printf conversion for a number ("%d", "%03d") and no other '%'.
bool IsNumberedPattern(const std::string& text) {
  int conversions = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') continue;
    size_t j = i + 1;
    while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j]))) ++j;
    if (j >= text.size() || text[j] != 'd') return false;
    ++conversions;
    i = j;
  }
  return conversions == 1;
}

// The frames of a folder (picture files sorted by name) or of a numbered
// series given as a pattern with one printf number ("frames/f%03d.png",
// counting from 0 or 1 until the first gap).
std::vector<std::string> Frames(const std::string& source) {
  std::vector<std::string> frames;
  if (fs::is_directory(Platform::Utf8Path(source))) {
    for (const auto& e : fs::directory_iterator(Platform::Utf8Path(source))) {
      std::string ext = Platform::Utf8Text(e.path().extension());
      std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
      if (e.is_regular_file() && (ext == ".png" || ext == ".jpg" || ext == ".jpeg" || ext == ".bmp"))
        frames.push_back(Platform::Utf8Text(e.path()));
    }
    std::sort(frames.begin(), frames.end());
  } else if (IsNumberedPattern(source)) {
    char name[4096];
    for (int first : {0, 1}) {
      for (int i = first;; ++i) {
        std::snprintf(name, sizeof name, source.c_str(), i);
        if (!fs::is_regular_file(Platform::Utf8Path(name))) break;
        frames.push_back(name);
      }
      if (!frames.empty()) break;
    }
  } else {
    throw TUsageError("frames: '" + source + "' is neither a folder nor a numbered pattern such as f%03d.png");
  }
  if (frames.empty()) throw Exception(Native("frames: no picture files in '" + source + "'"));
  return frames;
}

struct TSegmentOptions {
  TLibraryOptions Library;
  std::string Encoder, Decoder;
  std::string Image, Output, OverlayFile;
  std::vector<std::string> Points, Boxes;
};

int Segment(const TSegmentOptions& o) {
  if (o.Points.empty() == o.Boxes.empty()) throw TUsageError("give either --point or --box prompts, not both or none");
  std::vector<System::Types::TPoint> points;
  for (const auto& p : o.Points) {
    const auto v = Numbers(p, 2, "--point");
    points.push_back({v[0], v[1]});
  }
  std::vector<System::Types::TRect> boxes;
  for (const auto& b : o.Boxes) boxes.push_back(Box(b, "--box"));
  o.Library.Apply();
  auto image = Load(o.Image);
  for (const auto& p : points) InsidePicture(*image, {p.X, p.Y, p.X + 1, p.Y + 1}, "--point");
  for (const auto& b : boxes) InsidePicture(*image, b, "--box");
  Anything::Fmx::TFMXSam sam(nullptr);
  const System::String encoder = o.Library.Model(o.Encoder, "sam2_encoder.cvm");
  const System::String decoder = o.Library.Model(o.Decoder, "sam2_decoder.cvm");
  sam.SetEncoderModel(encoder);
  sam.SetDecoderModel(decoder);
  sam.SetGPUDeviceID(o.Library.Gpu);
  Activate(sam, "model " + System::UTF8Encode(encoder) + ", " + System::UTF8Encode(decoder));
  const TBitmap* mask = nullptr;
  {
    TTimer timer("segmented");
    sam.LoadImage(image.get());
    for (const auto& p : points) sam.AddPoint(p);
    for (const auto& b : boxes) sam.AddRect(b);
    mask = o.Points.empty() ? sam.GetRectMask() : sam.GetPointMask();
  }
  Save(*mask, o.Output);
  json files = {PictureFile(o.Output, *mask)};
  if (!o.OverlayFile.empty()) {
    const auto overlay = Overlay(*image, *mask);
    Save(*overlay, o.OverlayFile);
    files.push_back(PictureFile(o.OverlayFile, *overlay));
  }
  const json statistics = MaskStatistics(*mask);
  Report(o.Library.Json, {{"files", files}, {"mask", statistics}},
         "mask " + o.Output + ": " + std::to_string(mask->Width()) + " x " + std::to_string(mask->Height()) + ", " +
             std::to_string(statistics["masked_pixels"].get<std::int64_t>()) + " pixels masked");
  return 0;
}

struct TTrackOptions {
  TLibraryOptions Library;
  std::string Model;
  std::string Source, FirstBox, OutDir;
};

int Track(const TTrackOptions& o) {
  const System::Types::TRect first = Box(o.FirstBox, "--box");
  const auto frames = Frames(o.Source);
  o.Library.Apply();
  Anything::Fmx::TFMXOSTrack tracker(nullptr);
  const System::String model = o.Library.Model(o.Model, "ostrack.cvm");
  tracker.SetModel(model);
  tracker.SetGPUDeviceID(o.Library.Gpu);
  Activate(tracker, "model " + System::UTF8Encode(model));
  TTimer timer("tracked");
  TProgress progress("tracking");
  json boxes = json::array(), files = json::array();
  for (size_t i = 0; i < frames.size(); ++i) {
    auto frame = Load(frames[i]);
    Anything::TDrOBB box{{static_cast<float>(first.Left), static_cast<float>(first.Top),
                          static_cast<float>(first.Right), static_cast<float>(first.Bottom)},
                         1.0f, 0};
    if (i == 0) {
      InsidePicture(*frame, first, "--box");
      tracker.InitTrack(frame.get(), first);
    } else {
      tracker.Track(frame.get(), &box);
    }
    boxes.push_back({{"frame", i + 1},
                     {"file", frames[i]},
                     {"box", {box.box.x0, box.box.y0, box.box.x1, box.box.y1}},
                     {"score", box.score},
                     {"class", box.class_id}});
    if (!o.Library.Json) {
      progress.Break();
      Info("frame %zu %s: box %g,%g,%g,%g score %.3f", i + 1, frames[i].c_str(), box.box.x0, box.box.y0, box.box.x1,
           box.box.y1, box.score);
    }
    if (!o.OutDir.empty()) {
      DrawBox(*frame, static_cast<int>(box.box.x0), static_cast<int>(box.box.y0), static_cast<int>(box.box.x1),
              static_cast<int>(box.box.y1), 0xFF00FF00u);
      const std::string annotated = Platform::Utf8Text(NumberedPath(Platform::Utf8Path(o.OutDir) / "frame.png", i, frames.size()));
      Save(*frame, annotated);
      files.push_back(PictureFile(annotated, *frame));
    }
    progress.Show(std::int64_t(i + 1), std::int64_t(frames.size()));
  }
  progress.Break();
  if (o.Library.Json) PrintJson({{"frames", boxes}, {"files", files}});
  return 0;
}

struct TRemoveOptions {
  TLibraryOptions Library;
  std::string Model;
  std::string Image, Mask, Output;
};

int Remove(const TRemoveOptions& o) {
  auto image = Load(o.Image);
  auto mask = Load(o.Mask);
  if (mask->Width() != image->Width() || mask->Height() != image->Height())
    throw TUsageError("--mask: the mask is " + std::to_string(mask->Width()) + " x " + std::to_string(mask->Height()) +
                      ", the picture " + std::to_string(image->Width()) + " x " + std::to_string(image->Height()) +
                      "; they must be the same size");
  o.Library.Apply();
  Anything::Fmx::TFMXRemoveAnything remover(nullptr);
  const System::String model = o.Library.Model(o.Model, "lama.cvm");
  remover.SetModel(model);
  remover.SetGPUDeviceID(o.Library.Gpu);
  Activate(remover, "model " + System::UTF8Encode(model));
  std::unique_ptr<TBitmap> result;
  {
    TTimer timer("removed");
    result = remover.RemoveAnything(image.get(), mask.get());
  }
  Save(*result, o.Output);
  Report(o.Library.Json, {{"files", {PictureFile(o.Output, *result)}}},
         "object removed: " + o.Output + " (" + std::to_string(result->Width()) + " x " +
             std::to_string(result->Height()) + ")");
  return 0;
}

struct TReplaceOptions {
  TLibraryOptions Library;
  std::string Model;
  std::string Image, Background, Output;
};

int ReplaceBackground(const TReplaceOptions& o) {
  auto image = Load(o.Image);
  auto background = Load(o.Background);
  o.Library.Apply();
  Anything::Fmx::TFMXRemoveBg replacer(nullptr);
  const System::String model = o.Library.Model(o.Model, "rmbg.cvm");
  replacer.SetModel(model);
  replacer.SetGPUDeviceID(o.Library.Gpu);
  Activate(replacer, "model " + System::UTF8Encode(model));
  std::unique_ptr<TBitmap> result;
  {
    TTimer timer("replaced the background");
    result = replacer.ReplaceBackground(image.get(), background.get());
  }
  Save(*result, o.Output);
  Report(o.Library.Json, {{"files", {PictureFile(o.Output, *result)}}},
         "background replaced: " + o.Output + " (" + std::to_string(result->Width()) + " x " +
             std::to_string(result->Height()) + ", sizes rounded up to multiples of 8)");
  return 0;
}

}  // namespace

void AddVisionCommands(CLI::App& app, TCommands& commands) {
  auto segment = std::make_shared<TSegmentOptions>();
  CLI::App* s = app.add_subcommand("segment", "cut an object out of a picture from point or box prompts");
  s->add_option("image", segment->Image, "picture file (PNG, JPEG, BMP)")->required()->check(kInputFile);
  AddOutput(*s, segment->Output, "mask picture to write", TOutputKind::Picture);
  s->add_option("--point", segment->Points, "a point on the object, x,y (repeatable)");
  s->add_option("--box", segment->Boxes, "a box around the object, left,top,right,bottom (repeatable)");
  s->add_option("--overlay", segment->OverlayFile, "also write the picture with the mask shown in red")
      ->check(OutputCheck(TOutputKind::Picture));
  s->add_option("--encoder", segment->Encoder, "encoder model file (default: the reference backend's)")
      ->check(kInputFile);
  s->add_option("--decoder", segment->Decoder, "decoder model file (default: the reference backend's)")
      ->check(kInputFile);
  segment->Library.Add(*s);
  commands.push_back({s, [segment] { return Segment(*segment); }});

  auto track = std::make_shared<TTrackOptions>();
  CLI::App* t = app.add_subcommand("track", "follow an object through frames: a box per frame");
  t->add_option("frames", track->Source, "folder of frames, or a numbered series such as frames/f%03d.png")
      ->required();
  t->add_option("--box", track->FirstBox, "the object in the first frame, left,top,right,bottom")->required();
  AddOutput(*t, track->OutDir, std::string("folder for annotated copies of the frames: frame.png, ") + kNumberingHelp,
            TOutputKind::Folder, "");
  AddModel(*t, track->Model, "tracker");
  track->Library.Add(*t);
  commands.push_back({t, [track] { return Track(*track); }});

  auto remove = std::make_shared<TRemoveOptions>();
  CLI::App* r = app.add_subcommand("remove", "erase the masked region of a picture and fill it in");
  r->add_option("image", remove->Image, "picture file")->required()->check(kInputFile);
  r->add_option("--mask", remove->Mask, "mask of the same size, white where to erase")->required()->check(kInputFile);
  AddOutput(*r, remove->Output, "picture to write", TOutputKind::Picture);
  AddModel(*r, remove->Model, "inpainting");
  remove->Library.Add(*r);
  commands.push_back({r, [remove] { return Remove(*remove); }});

  auto replace = std::make_shared<TReplaceOptions>();
  CLI::App* b = app.add_subcommand("replace-bg", "keep a picture's foreground and put it over a new background");
  b->add_option("image", replace->Image, "picture file")->required()->check(kInputFile);
  b->add_option("--background", replace->Background, "new background, stretched to the picture")
      ->required()
      ->check(kInputFile);
  AddOutput(*b, replace->Output, "picture to write", TOutputKind::Picture);
  AddModel(*b, replace->Model, "background");
  replace->Library.Add(*b);
  commands.push_back({b, [replace] { return ReplaceBackground(*replace); }});
}

}  // namespace Corvina::Tool
