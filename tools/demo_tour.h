// The frame of `corvina demo`: steps that run one after another, each timed
// and caught on its own, the files each one used and made, and the two views
// of the result (a summary on stdout, index.html in the output folder).
#pragma once

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/platform.h"

namespace Corvina::Tool::Demo {

namespace fs = std::filesystem;

// A sample input that is not on this machine; the step is skipped, not failed.
class EMissingInput : public std::runtime_error {
 public:
  EMissingInput(const fs::path& file, const std::string& package);
  // Something other than a file is missing; why says what and where.
  explicit EMissingInput(const std::string& why);
};

// A file of the tour, relative to the output folder.
struct TDemoFile {
  std::string Path;
  std::string Label;
};

enum class TStepStatus { Done, Failed, Skipped };

struct TStepResult {
  std::string Component;
  std::string Action;   // what the step asks of the component, short
  std::string Caption;  // one line on what came out
  std::vector<std::string> Notes;  // remarks such as a stand-in for a missing input
  std::string InputText;           // an input that is words, such as a prompt
  std::string Command;             // the corvina command line that does the same, run in the output folder
  std::string Message;  // why it failed or was skipped
  std::vector<TDemoFile> Inputs, Outputs;
  TStepStatus Status = TStepStatus::Done;
  double Seconds = 0;
};

// What a running step writes into: its own subfolder and its result record.
class TStep {
 public:
  TStep(const fs::path& root, std::string folder, TStepResult& result);

  // An absolute path for a file of this step, and the record of it; the
  // file's name relative to the output folder, as commands name it.
  fs::path Input(const std::string& name, const std::string& label);
  fs::path Output(const std::string& name, const std::string& label);
  void Caption(std::string text) { FResult.Caption = std::move(text); }
  void InputText(std::string text) { FResult.InputText = std::move(text); }
  void Command(std::string line) { FResult.Command = std::move(line); }
  // A remark appended to the caption, e.g. a replacement for a missing input.
  void Note(const std::string& text);
  const fs::path& Folder() const { return FFolder; }
  std::string Relative(const std::string& name) const { return Platform::Utf8GenericText(fs::path(FName) / name); }

 private:
  fs::path Add(std::vector<TDemoFile>& list, const std::string& name, const std::string& label);

  fs::path FRoot;
  std::string FName;
  fs::path FFolder;
  TStepResult& FResult;
};

class TTour {
 public:
  // Quiet: no progress and no summary on stdout; failed steps on stderr.
  explicit TTour(fs::path folder, bool quiet = false);

  // Runs one step: its folder is made first, every exception ends the step
  // (EMissingInput as skipped), and the tour goes on.
  void Run(const std::string& folder, const std::string& component, const std::string& action,
           const std::function<void(TStep&)>& body);

  // index.html and the summary; the exit code (1 when any step failed).
  int Finish(double seconds);

  const fs::path& Folder() const { return FFolder; }
  const std::vector<TStepResult>& Results() const { return FResults; }

 private:
  void WriteIndex(double seconds) const;
  void PrintSummary(double seconds) const;

  fs::path FFolder;
  std::vector<TStepResult> FResults;
  bool FTerminal;
  bool FQuiet;
};

// The folder of the public-domain sample photos: $CORVINA_DEMO_SAMPLES when
// set, else python3-skimage's data folder (found at run time).
fs::path SampleFolder();
// A sample photo; EMissingInput naming python3-skimage when absent.
fs::path SamplePhoto(const std::string& name);

// A model file of the reference backends: beside the tool
// (<prefix>/share/corvina/models), else in the source tree.
fs::path Model(const std::string& name);
// dlib's 68-point landmark model; EMissingInput naming libdlib-data when absent.
fs::path LandmarkModel();

// Runs a program found on PATH with its output discarded; false when it is
// not installed, an exception when it ran and failed.
bool RunProgram(const std::vector<std::string>& argv);

// A word for a POSIX shell, quoted when it needs to be.
std::string ShellWord(const std::string& word);

// Text made safe for HTML element content and quoted attributes.
std::string HtmlEscape(const std::string& text);

}  // namespace Corvina::Tool::Demo
