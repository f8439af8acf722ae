#include "reference/diffusion/model_file.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>

namespace Reference::Diffusion {
namespace {

std::string_view Trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

std::optional<float> ParseFloat(std::string_view s, float lo, float hi) {
  float v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || !(v >= lo && v <= hi)) return std::nullopt;
  return v;
}

std::optional<int> ParseInt(std::string_view s, int lo, int hi) {
  int v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || v < lo || v > hi) return std::nullopt;
  return v;
}

std::optional<Rgb> ParseColour(std::string_view s) {
  if (s.size() != 7 || s[0] != '#') return std::nullopt;
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(s.data() + 1, s.data() + 7, value, 16);
  if (ec != std::errc() || end != s.data() + 7) return std::nullopt;
  return Rgb{float((value >> 16) & 0xFF) / 255.0f, float((value >> 8) & 0xFF) / 255.0f, float(value & 0xFF) / 255.0f};
}

std::optional<std::vector<Rgb>> ParsePalette(std::string_view s) {
  std::vector<Rgb> colours;
  while (!(s = Trim(s)).empty()) {
    const size_t cut = s.find_first_of(" \t");
    const auto colour = ParseColour(s.substr(0, cut));
    if (!colour) return std::nullopt;
    colours.push_back(*colour);
    s = cut == std::string_view::npos ? std::string_view() : s.substr(cut);
  }
  if (colours.size() < 2 || colours.size() > 8) return std::nullopt;
  return colours;
}

ModelFile Fail(std::string message) {
  ModelFile result;
  result.error = std::move(message);
  return result;
}

}  // namespace

ModelFile ParseModel(std::string_view text) {
  const size_t firstEnd = text.find('\n');
  if (Trim(text.substr(0, firstEnd)) != kModelMagic) return Fail("no \"CORVINA-MODEL 1\" header");
  if (text.find('\0') != std::string_view::npos) return Fail("NUL byte in a text model");

  std::map<std::string, std::string, std::less<>> values;
  std::string_view rest = firstEnd == std::string_view::npos ? std::string_view() : text.substr(firstEnd + 1);
  int lineNumber = 1;
  while (!rest.empty()) {
    ++lineNumber;
    const size_t end = rest.find('\n');
    const std::string_view line = Trim(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line.empty() || line.front() == '#') continue;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) return Fail("line " + std::to_string(lineNumber) + ": expected key = value");
    const std::string key(Trim(line.substr(0, eq)));
    if (!values.emplace(key, std::string(Trim(line.substr(eq + 1)))).second)
      return Fail("line " + std::to_string(lineNumber) + ": key '" + key + "' given twice");
  }

  const auto take = [&](std::string_view key) -> std::optional<std::string> {
    const auto it = values.find(key);
    if (it == values.end()) return std::nullopt;
    std::string v = it->second;
    values.erase(it);
    return v;
  };
  const auto bad = [](std::string_view key, const std::string& value) {
    return Fail("bad value '" + value + "' for '" + std::string(key) + "'");
  };

  const auto kind = take("kind");
  if (!kind) return Fail("no 'kind'");
  ModelFile result;
  const std::string name = take("name").value_or("unnamed");
  if (*kind == "diffusion") {
    DiffusionModel m;
    m.name = name;
    if (auto v = take("style")) {
      // Nothing to destroy at exit, when a host's worker may still load.
      static constexpr std::pair<std::string_view, Style> kStyles[] = {
          {"waves", Style::Waves}, {"cells", Style::Cells}, {"rings", Style::Rings}, {"marble", Style::Marble}};
      const auto it = std::find_if(std::begin(kStyles), std::end(kStyles), [&](const auto& s) { return s.first == *v; });
      if (it == std::end(kStyles)) return bad("style", *v);
      m.style = it->second;
    }
    const auto palette = take("palette");
    if (!palette) return Fail("no 'palette'");
    const auto colours = ParsePalette(*palette);
    if (!colours) return bad("palette", *palette);
    m.palette = *colours;
    if (auto v = take("detail")) {
      const auto d = ParseFloat(*v, 0.0f, 1.0f);
      if (!d) return bad("detail", *v);
      m.detail = *d;
    }
    if (auto v = take("tensors")) {
      const auto t = ParseInt(*v, 1, 4096);
      if (!t) return bad("tensors", *v);
      m.tensors = *t;
    }
    result.diffusion = std::move(m);
  } else if (*kind == "upscaler") {
    UpscalerModel m;
    m.name = name;
    const auto scale = take("scale");
    if (!scale) return Fail("no 'scale'");
    const auto s = ParseInt(*scale, 1, 8);
    if (!s) return bad("scale", *scale);
    m.scale = *s;
    if (auto v = take("filter")) {
      if (*v == "lanczos3") {
        m.filter = ResampleFilter::Lanczos3;
      } else if (*v == "bicubic") {
        m.filter = ResampleFilter::Bicubic;
      } else {
        return bad("filter", *v);
      }
    }
    if (auto v = take("sharpen")) {
      const auto a = ParseFloat(*v, 0.0f, 2.0f);
      if (!a) return bad("sharpen", *v);
      m.sharpen = *a;
    }
    if (auto v = take("tensors")) {
      const auto t = ParseInt(*v, 1, 4096);
      if (!t) return bad("tensors", *v);
      m.tensors = *t;
    }
    result.upscaler = std::move(m);
  } else {
    return bad("kind", *kind);
  }
  if (!values.empty()) return Fail("unknown key '" + values.begin()->first + "'");
  return result;
}

ModelFile LoadModelFile(const std::string& path) {
  // A FIFO or a device would block or never end; only plain files are models.
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (error) return Fail("cannot open '" + path + "': " + error.message());
  if (!std::filesystem::is_regular_file(status)) return Fail("'" + path + "' is not a regular file");
  const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) return Fail("cannot open '" + path + "': " + std::strerror(errno));
  std::string text(kMaxModelFileBytes + 1, '\0');
  const size_t got = std::fread(text.data(), 1, text.size(), file.get());
  if (std::ferror(file.get())) return Fail("cannot read '" + path + "': " + std::strerror(errno));
  if (got > kMaxModelFileBytes) return Fail("'" + path + "' is not a Corvina reference model (larger than 64 KiB)");
  text.resize(got);
  ModelFile model = ParseModel(text);
  if (!model.error.empty()) model.error = "'" + path + "' is not a Corvina reference model: " + model.error;
  return model;
}

}  // namespace Reference::Diffusion
