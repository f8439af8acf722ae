// corvina models: the sample models of the reference backends, what each is
// and which subcommands use it. Read from the files themselves, so a model
// added to the folder is listed too.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/commands.h"
#include "tools/options.h"
#include "tools/platform.h"

namespace Corvina::Tool {

namespace {

namespace fs = std::filesystem;

// "key = value" (diffusion models) or "key: value" (vision models).
std::map<std::string, std::string> Keys(const fs::path& file) {
  std::map<std::string, std::string> keys;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const auto split = line.find_first_of("=:");
    if (split == std::string::npos) continue;
    auto trim = [](std::string t) {
      if (const auto hash = t.find('#'); hash != std::string::npos) t.erase(hash);
      const auto first = t.find_first_not_of(" \t"), last = t.find_last_not_of(" \t\r");
      return first == std::string::npos ? std::string() : t.substr(first, last - first + 1);
    };
    keys.emplace(trim(line.substr(0, split)), trim(line.substr(split + 1)));
  }
  return keys;
}

struct TUse {
  const char* What;
  const char* Subcommands;
};

// The vision families, by the name their files give.
const std::map<std::string, TUse> kFamilies = {
    {"sam2-encoder", {"segmentation, picture encoder", "segment"}},
    {"sam2-decoder", {"segmentation, mask decoder", "segment"}},
    {"ostrack", {"object tracking", "track"}},
    {"lama", {"object removal", "remove"}},
    {"rmbg", {"background replacement", "replace-bg"}},
    {"face-detector", {"face detection", "faces, enhance, swap"}},
    {"face-feature", {"face identity vectors", "faces, swap"}},
    {"face-enhancer", {"face restoration", "enhance"}},
    {"face-swapper", {"face swap", "swap"}},
    {"face-swapper-matrix", {"face swap, alignment", "swap"}},
    {"live-portrait", {"portrait animation", "animate"}},
    {"voice-extractor", {"voice separation", "separate"}},
};

struct TModel {
  std::string File, What, Subcommands;
};

TModel Describe(const fs::path& file) {
  const auto keys = Keys(file);
  auto value = [&](const char* key) {
    const auto it = keys.find(key);
    return it == keys.end() ? std::string() : it->second;
  };
  TModel m{Platform::Utf8Text(file.filename()), "", ""};
  if (value("kind") == "diffusion") {
    m.What = "picture generation, '" + value("style") + "' texture";
    m.Subcommands = "generate, img2img, inpaint, video";
  } else if (value("kind") == "upscaler") {
    m.What = "upscaling x" + value("scale") + ", " + value("filter") + " filter";
    m.Subcommands = "upscale";
  } else if (const auto it = kFamilies.find(value("family")); it != kFamilies.end()) {
    m.What = it->second.What;
    m.Subcommands = it->second.Subcommands;
  } else {
    m.What = "not a sample model the tool knows";
  }
  return m;
}

int ListModels(bool json) {
  const fs::path folder = SampleModelDir();
  std::vector<TModel> models;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error))
    if (entry.is_regular_file() && entry.path().extension() == ".cvm") models.push_back(Describe(entry.path()));
  if (error) throw std::runtime_error("cannot read the models folder '" + Platform::Utf8Text(folder) + "': " + error.message());
  std::sort(models.begin(), models.end(), [](const TModel& a, const TModel& b) { return a.File < b.File; });
  if (json) {
    nlohmann::json list = nlohmann::json::array();
    for (const TModel& m : models)
      list.push_back({{"file", m.File}, {"what", m.What}, {"subcommands", m.Subcommands}});
    PrintJson({{"folder", Platform::Utf8Text(folder)}, {"models", list}});
    return 0;
  }
  std::size_t width = 0;
  for (const TModel& m : models) width = std::max(width, m.File.size());
  Info("sample models in %s (give --model a name from the first column):", Platform::Utf8Text(folder).c_str());
  for (const TModel& m : models)
    Info("  %-*s  %s%s%s", int(width), m.File.c_str(), m.What.c_str(), m.Subcommands.empty() ? "" : "; used by ",
         m.Subcommands.c_str());
  return 0;
}

}  // namespace

void AddModelsCommand(CLI::App& app, TCommands& commands) {
  auto json = std::make_shared<bool>(false);
  CLI::App* c = app.add_subcommand("models", "list the sample models, what each is for and which subcommands use it");
  c->group(kGroupStart);
  AddJson(*c, *json);
  commands.push_back({c, [json] { return ListModels(*json); }});
}

}  // namespace Corvina::Tool
