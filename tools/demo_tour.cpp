// The frame of `corvina demo`: running, timing and reporting its steps.
#include "tools/demo_tour.h"

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tools/platform.h"

namespace Corvina::Tool::Demo {

namespace {

const char* StatusWord(TStepStatus s) {
  switch (s) {
    case TStepStatus::Done: return "done";
    case TStepStatus::Failed: return "FAILED";
    case TStepStatus::Skipped: return "skipped";
  }
  return "";
}

const char* StatusClass(TStepStatus s) {
  switch (s) {
    case TStepStatus::Done: return "done";
    case TStepStatus::Failed: return "failed";
    case TStepStatus::Skipped: return "skipped";
  }
  return "";
}

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", s);
  return text;
}

bool IsAudio(const std::string& path) { return fs::path(path).extension() == ".wav"; }

// Only files that are really there get a link: a failed step may have
// written some of its outputs, or none.
bool Exists(const fs::path& root, const TDemoFile& f) {
  std::error_code ignored;
  return fs::is_regular_file(root / f.Path, ignored);
}

void WriteFiles(std::ostream& html, const fs::path& root, const char* heading, const std::vector<TDemoFile>& files,
                const std::string& text = "") {
  html << "<div class=\"col\"><h3>" << heading << "</h3>";
  bool any = !text.empty();
  if (any) html << "<blockquote>" << HtmlEscape(text) << "</blockquote>";
  for (const TDemoFile& f : files) {
    if (!Exists(root, f)) continue;
    any = true;
    const std::string src = HtmlEscape(f.Path);
    html << "<figure>";
    if (IsAudio(f.Path)) {
      // metadata: the players show each sound's length before it plays.
      html << "<audio controls preload=\"metadata\" src=\"" << src << "\"></audio>";
    } else {
      html << "<a href=\"" << src << "\"><img src=\"" << src << "\" alt=\"" << HtmlEscape(f.Label) << "\"></a>";
    }
    html << "<figcaption>" << HtmlEscape(f.Label) << "</figcaption></figure>";
  }
  if (!any) html << "<p class=\"none\">none</p>";
  html << "</div>";
}

const char kStyle[] =
    "body{font-family:sans-serif;margin:1.5em;background:#fafafa;color:#222}"
    "section{border:1px solid #ccc;border-radius:6px;padding:0.6em 1em;margin:1em 0;background:#fff}"
    "section.failed{border-color:#c00;background:#fff4f4}section.skipped{border-color:#aaa;background:#f2f2f2}"
    "h2{font-size:1.1em;margin:0.2em 0}h2 .time{font-weight:normal;color:#666;font-size:0.9em}"
    "h3{font-size:0.9em;color:#555;margin:0.3em 0}.row{display:flex;gap:2em;flex-wrap:wrap}"
    ".col{flex:1;min-width:18em}figure{display:inline-block;margin:0.3em;vertical-align:top}"
    "img{max-width:240px;max-height:240px;border:1px solid #ddd}figcaption{font-size:0.8em;color:#555}"
    "pre.cmd{background:#f4f4f4;border:1px solid #ddd;padding:0.3em 0.6em;white-space:pre-wrap;font-size:0.85em}"
    ".message{color:#a00;font-family:monospace}.none{color:#999}blockquote{font-style:italic;margin:0.5em 1em}"
    "table{border-collapse:collapse}td{padding:0.1em 0.8em 0.1em 0}";

}  // namespace

EMissingInput::EMissingInput(const fs::path& file, const std::string& package)
    : std::runtime_error(Platform::Utf8Text(file.filename()) + " is missing (looked in " + Platform::Utf8Text(file.parent_path()) +
                         "; it comes with the Debian package " + package + ")") {}

EMissingInput::EMissingInput(const std::string& why) : std::runtime_error(why) {}

TStep::TStep(const fs::path& root, std::string folder, TStepResult& result)
    : FRoot(root), FName(std::move(folder)), FFolder(root / FName), FResult(result) {
  fs::create_directories(FFolder);
}

fs::path TStep::Input(const std::string& name, const std::string& label) { return Add(FResult.Inputs, name, label); }

fs::path TStep::Output(const std::string& name, const std::string& label) { return Add(FResult.Outputs, name, label); }

void TStep::Note(const std::string& text) { FResult.Notes.push_back(text); }

fs::path TStep::Add(std::vector<TDemoFile>& list, const std::string& name, const std::string& label) {
  const fs::path file = FFolder / name;
  if (file.has_parent_path()) fs::create_directories(file.parent_path());
  list.push_back({Platform::Utf8GenericText(fs::path(FName) / name), label});
  return file;
}

TTour::TTour(fs::path folder, bool quiet)
    : FFolder(std::move(folder)), FTerminal(Platform::IsTerminal(1) && !quiet), FQuiet(quiet) {
  std::error_code error;
  fs::create_directories(FFolder, error);
  if (error) throw std::runtime_error("cannot make the folder '" + Platform::Utf8Text(FFolder) + "': " + error.message());
}

void TTour::Run(const std::string& folder, const std::string& component, const std::string& action,
                const std::function<void(TStep&)>& body) {
  TStepResult& result = FResults.emplace_back();
  result.Component = component;
  result.Action = action;
  if (FTerminal) {
    std::printf("\r\033[K%s: %s ...", component.c_str(), action.c_str());
    std::fflush(stdout);
  }
  const auto start = std::chrono::steady_clock::now();
  try {
    TStep step(FFolder, folder, result);
    body(step);
  } catch (const EMissingInput& e) {
    result.Status = TStepStatus::Skipped;
    result.Message = e.what();
  } catch (const std::exception& e) {
    result.Status = TStepStatus::Failed;
    result.Message = e.what();
  } catch (...) {
    result.Status = TStepStatus::Failed;
    result.Message = "unknown exception";
  }
  result.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int TTour::Finish(double seconds) {
  if (FTerminal) std::printf("\r\033[K");
  bool failed = false;
  for (const TStepResult& r : FResults) failed |= r.Status == TStepStatus::Failed;
  try {
    WriteIndex(seconds);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "corvina demo: index.html: %s\n", e.what());
    failed = true;
  }
  PrintSummary(seconds);
  return failed ? 1 : 0;
}

void TTour::WriteIndex(double seconds) const {
  std::ostringstream html;
  html << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Corvina demo</title><style>"
       << kStyle << "</style></head><body>\n<h1>Corvina: a tour of the components</h1>\n"
       << "<p>Every step ran on the reference backends beside <code>libCorvina.so</code>: classical algorithms and a "
          "procedural painter, no neural networks, so the pictures show what each component does with its library, "
          "not what a trained model would make. Inputs on the left, outputs on the right; under each step the "
          "<code>corvina</code> command that does the same, run in this folder. The whole tour took "
       << Seconds(seconds) << ".</p>\n<table>\n";
  for (const TStepResult& r : FResults)
    html << "<tr><td>" << StatusWord(r.Status) << "</td><td>" << HtmlEscape(r.Component) << "</td><td>"
         << HtmlEscape(r.Action) << "</td><td>" << Seconds(r.Seconds) << "</td></tr>\n";
  html << "</table>\n";
  for (const TStepResult& r : FResults) {
    html << "<section class=\"" << StatusClass(r.Status) << "\"><h2>" << HtmlEscape(r.Component) << ": "
         << HtmlEscape(r.Action) << " <span class=\"time\">" << Seconds(r.Seconds) << "</span></h2>\n";
    std::string caption = r.Caption;
    for (const std::string& note : r.Notes) caption += (caption.empty() ? "" : "; ") + note;
    if (!caption.empty()) html << "<p>" << HtmlEscape(caption) << "</p>\n";
    if (!r.Command.empty()) html << "<pre class=\"cmd\">$ " << HtmlEscape(r.Command) << "</pre>\n";
    if (r.Status != TStepStatus::Done)
      html << "<p class=\"message\">" << StatusWord(r.Status) << ": " << HtmlEscape(r.Message) << "</p>\n";
    html << "<div class=\"row\">";
    WriteFiles(html, FFolder, "inputs", r.Inputs, r.InputText);
    WriteFiles(html, FFolder, "outputs", r.Outputs);
    html << "</div></section>\n";
  }
  html << "</body></html>\n";
  const fs::path file = FFolder / "index.html";
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << html.str();
  out.close();
  if (!out) throw std::runtime_error("cannot write " + Platform::Utf8Text(file));
}

void TTour::PrintSummary(double seconds) const {
  if (FQuiet) {  // failures only, on stderr
    for (const TStepResult& r : FResults)
      if (r.Status == TStepStatus::Failed)
        std::fprintf(stderr, "corvina demo: %s %s failed: %s\n", r.Component.c_str(), r.Action.c_str(),
                     r.Message.c_str());
    return;
  }
  int done = 0, failed = 0, skipped = 0;
  for (const TStepResult& r : FResults)
    (r.Status == TStepStatus::Done ? done : r.Status == TStepStatus::Failed ? failed : skipped)++;
  std::printf("corvina demo: %zu steps in %s: %d done, %d failed, %d skipped\n", FResults.size(),
              Seconds(seconds).c_str(), done, failed, skipped);
  for (const TStepResult& r : FResults) {
    std::string detail;
    if (r.Status != TStepStatus::Done) {
      detail = r.Message;
    } else {
      for (const TDemoFile& f : r.Outputs)
        if (Exists(FFolder, f)) {
          detail = f.Path;
          break;
        }
      if (r.Outputs.size() > 1) detail += " (+" + std::to_string(r.Outputs.size() - 1) + ")";
    }
    std::printf("  %-7s %-23s %-26s %8s  %s\n", StatusWord(r.Status), r.Component.c_str(), r.Action.c_str(),
                Seconds(r.Seconds).c_str(), detail.c_str());
  }
  std::printf("open %s to see inputs and outputs side by side\n", Platform::Utf8Text(FFolder / "index.html").c_str());
}

fs::path SampleFolder() {
  if (const char* env = std::getenv("CORVINA_DEMO_SAMPLES"); env != nullptr && *env != '\0') return env;
  const fs::path usual = "/usr/lib/python3/dist-packages/skimage/data";
  std::error_code ignored;
  if (fs::is_directory(usual, ignored)) return usual;
  // Other layouts put the module under a versioned python folder.
  for (const auto& entry : fs::directory_iterator("/usr/lib", ignored)) {
    const std::string name = Platform::Utf8Text(entry.path().filename());
    if (name.rfind("python3", 0) != 0) continue;
    for (const char* packages : {"dist-packages", "site-packages"}) {
      const fs::path candidate = entry.path() / packages / "skimage/data";
      if (fs::is_directory(candidate, ignored)) return candidate;
    }
  }
  return usual;
}

fs::path SamplePhoto(const std::string& name) {
  const fs::path file = SampleFolder() / name;
  std::error_code ignored;
  if (!fs::is_regular_file(file, ignored)) throw EMissingInput(file, "python3-skimage");
  return file;
}

fs::path Model(const std::string& name) {
  std::error_code ignored;
  const fs::path beside =
      Platform::ProgramFile().parent_path().parent_path() / "share/corvina/models" / name;
  for (const fs::path& file : {beside, fs::path(CORVINA_REFERENCE_VISION_MODELS) / name,
                               fs::path(CORVINA_REFERENCE_SD_MODELS) / name})
    if (fs::is_regular_file(file, ignored)) return file;
  throw std::runtime_error("model file " + name + " not found (looked in " + Platform::Utf8Text(beside.parent_path()) + ")");
}

fs::path LandmarkModel() {
  const fs::path file = CORVINA_DLIB_SHAPE_MODEL;
  std::error_code ignored;
  if (!fs::is_regular_file(file, ignored)) throw EMissingInput(file, "libdlib-data");
  return file;
}

bool RunProgram(const std::vector<std::string>& argv) { return Platform::RunQuietly(argv); }

std::string ShellWord(const std::string& word) {
  const bool plain = !word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                             "0123456789-_./,%=+:") == std::string::npos;
  if (plain) return word;
  std::string quoted = "'";
  for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string HtmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace Corvina::Tool::Demo
