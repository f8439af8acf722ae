// corvina completion | man: the shell completion script and the manual page,
// both written from the command tree itself, so neither repeats an option.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/exceptions.h"
#include "tools/commands.h"
#include "tools/options.h"
#include "tools/platform.h"

namespace Corvina::Tool {

namespace {

// What an option's value is, read from its type name ("TEXT:DIR",
// "INT:INT in [1 - 64]", "TEXT:{pcm8,pcm16}").
enum class TValue { None, File, Directory, Word, Number };

struct TOptionInfo {
  std::vector<std::string> Names;  // "-o", "--output"; empty for a positional
  std::string Positional;          // the positional's name
  std::string Description;
  TValue Value = TValue::None;
  std::vector<std::string> Words;  // the allowed values of a TValue::Word
  std::string Placeholder;         // FILE, DIR, INT, ...
  bool Required = false;
  bool Repeats = false;
  std::string Default;
};

std::vector<std::string> SetMembers(const std::string& type) {
  std::vector<std::string> words;
  const auto open = type.find('{'), close = type.rfind('}');
  if (open == std::string::npos || close == std::string::npos || close < open) return words;
  std::stringstream list(type.substr(open + 1, close - open - 1));
  for (std::string word; std::getline(list, word, ',');) {
    const auto first = word.find_first_not_of(' '), last = word.find_last_not_of(' ');
    if (first != std::string::npos) words.push_back(word.substr(first, last - first + 1));
  }
  return words;
}

TOptionInfo Describe(const CLI::Option& option) {
  TOptionInfo info;
  for (const auto& s : option.get_snames()) info.Names.push_back("-" + s);
  for (const auto& l : option.get_lnames()) info.Names.push_back("--" + l);
  if (info.Names.empty()) info.Positional = option.get_name();
  info.Description = option.get_description();
  info.Required = option.get_required();
  info.Repeats = option.get_items_expected_max() > 1;
  if (option.get_expected_max() == 0) return info;  // a flag
  info.Default = option.get_default_str();
  const std::string type = option.get_type_name();
  const std::string base = type.substr(0, type.find(':'));
  info.Words = SetMembers(type);
  if (!info.Words.empty()) {
    info.Value = TValue::Word, info.Placeholder = base;
  } else if (type.find(":DIR") != std::string::npos) {
    info.Value = TValue::Directory, info.Placeholder = "DIR";
  } else if (base == "TEXT" || base == "PATH") {
    info.Value = TValue::File, info.Placeholder = type.find(":FILE") != std::string::npos ? "FILE" : base;
  } else {
    info.Value = TValue::Number, info.Placeholder = base.empty() ? "VALUE" : base;
  }
  return info;
}

std::vector<TOptionInfo> Options(const CLI::App& command) {
  std::vector<TOptionInfo> infos;
  for (const CLI::Option* option : command.get_options()) infos.push_back(Describe(*option));
  // Positionals first, in their order, as the synopsis reads.
  std::stable_partition(infos.begin(), infos.end(), [](const TOptionInfo& o) { return o.Names.empty(); });
  return infos;
}

// Every subcommand that --help shows, in the order it was added.
std::vector<const CLI::App*> Subcommands(const CLI::App& app) {
  return app.get_subcommands([](const CLI::App* c) { return !c->get_group().empty() && !c->get_name().empty(); });
}

// Groups in order of first appearance, each with its subcommands.
std::vector<std::pair<std::string, std::vector<const CLI::App*>>> Groups(const CLI::App& app) {
  std::vector<std::pair<std::string, std::vector<const CLI::App*>>> groups;
  for (const CLI::App* c : Subcommands(app)) {
    auto it = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == c->get_group(); });
    if (it == groups.end()) it = groups.insert(groups.end(), {c->get_group(), {}});
    it->second.push_back(c);
  }
  return groups;
}

std::string Join(const std::vector<std::string>& words, const char* separator) {
  std::string out;
  for (const auto& w : words) out += (out.empty() ? "" : separator) + w;
  return out;
}

// ------------------------------------------------------------- bash completion

std::string BashCompletion(const CLI::App& app) {
  const std::string name = app.get_name();
  std::vector<std::string> names;
  for (const CLI::App* c : Subcommands(app)) names.push_back(c->get_name());
  std::vector<std::string> topOptions;
  for (const auto& o : Options(app))
    for (const auto& n : o.Names) topOptions.push_back(n);

  std::ostringstream out;
  out << "# bash completion for " << name << ", written by `" << name << " completion bash`.\n"
      << "_" << name << "() {\n"
      << "  local cur=\"${COMP_WORDS[COMP_CWORD]}\" prev=\"${COMP_WORDS[COMP_CWORD-1]}\" sub=\"\" i\n"
      << "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
      << "    case \"${COMP_WORDS[i]}\" in\n"
      << "      " << Join(names, "|") << ") sub=\"${COMP_WORDS[i]}\"; break ;;\n"
      << "    esac\n"
      << "  done\n"
      << "  local options=\"\"\n"
      << "  case \"$sub\" in\n"
      << "    \"\")\n"
      << "      COMPREPLY=($(compgen -W \"" << Join(topOptions, " ") << " " << Join(names, " ")
      << "\" -- \"$cur\"))\n"
      << "      return ;;\n";
  for (const CLI::App* c : Subcommands(app)) {
    const auto infos = Options(*c);
    std::vector<std::string> all;
    out << "    " << c->get_name() << ")\n      case \"$prev\" in\n";
    for (const auto& o : infos) {
      for (const auto& n : o.Names) all.push_back(n);
      if (o.Names.empty() || o.Value == TValue::None) continue;
      out << "        " << Join(o.Names, "|") << ")\n          ";
      switch (o.Value) {
        case TValue::File: out << "COMPREPLY=($(compgen -f -- \"$cur\"))"; break;
        case TValue::Directory: out << "COMPREPLY=($(compgen -d -- \"$cur\"))"; break;
        case TValue::Word: out << "COMPREPLY=($(compgen -W \"" << Join(o.Words, " ") << "\" -- \"$cur\"))"; break;
        default: out << "COMPREPLY=()"; break;
      }
      out << "\n          return ;;\n";
    }
    out << "      esac\n      options=\"" << Join(all, " ") << "\" ;;\n";
  }
  out << "  esac\n"
      << "  if [[ \"$cur\" == -* ]]; then\n"
      << "    COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
      << "  else\n"
      << "    COMPREPLY=($(compgen -f -- \"$cur\"))\n"
      << "  fi\n"
      << "}\n"
      << "complete -o filenames -F _" << name << " " << name << "\n";
  return out.str();
}

// ------------------------------------------------------------- zsh and fish

// Text inside a single-quoted shell word.
std::string SingleQuoted(const std::string& text, const char* quote) {
  std::string out;
  for (const char ch : text) {
    if (ch == '\'') {
      out += quote;
    } else {
      out += ch;
    }
  }
  return out;
}

// An _arguments description: brackets and colons end fields there.
std::string ZshText(const std::string& text) {
  std::string out;
  for (const char ch : text) {
    if (ch == '[' || ch == ']' || ch == ':' || ch == '\\') out += '\\';
    out += ch;
  }
  return SingleQuoted(out, "'\\''");
}

std::string ZshCompletion(const CLI::App& app) {
  const std::string name = app.get_name();
  std::ostringstream out;
  out << "#compdef " << name << "\n# zsh completion for " << name << ", written by `" << name
      << " completion zsh`.\n_" << name << "() {\n  local -a subcommands\n  subcommands=(\n";
  for (const CLI::App* c : Subcommands(app))
    out << "    '" << ZshText(c->get_name()) << ":" << ZshText(c->get_description()) << "'\n";
  out << "  )\n  if (( CURRENT == 2 )); then\n    _describe subcommand subcommands\n    return\n  fi\n"
      << "  local sub=$words[2]\n  shift words\n  (( CURRENT-- ))\n  case $sub in\n";
  for (const CLI::App* c : Subcommands(app)) {
    out << "    " << c->get_name() << ")\n      _arguments -s";
    bool positional = false;
    for (const auto& o : Options(*c)) {
      if (o.Names.empty()) {
        positional = true;
        continue;
      }
      std::string action;
      switch (o.Value) {
        case TValue::None: break;
        case TValue::File: action = ":" + o.Placeholder + ":_files"; break;
        case TValue::Directory: action = ":DIR:_files -/"; break;
        case TValue::Word: action = ":" + o.Placeholder + ":(" + Join(o.Words, " ") + ")"; break;
        case TValue::Number: action = ":" + o.Placeholder + ": "; break;
      }
      const std::string text = "[" + ZshText(o.Description) + "]" + action;
      if (o.Names.size() == 1) {
        out << " \\\n        " << (o.Repeats ? "'*" : "'") << o.Names[0] << text << "'";
      } else {
        out << " \\\n        '(" << Join(o.Names, " ") << ")'{" << Join(o.Names, ",") << "}'" << text << "'";
      }
    }
    if (positional) out << " \\\n        '*:file:_files'";
    out << " ;;\n";
  }
  out << "  esac\n}\n"
      << "if [ \"$funcstack[1]\" = \"_" << name << "\" ]; then\n  _" << name << " \"$@\"\nelse\n  compdef _" << name
      << " " << name << "\nfi\n";
  return out.str();
}

std::string FishCompletion(const CLI::App& app) {
  const std::string name = app.get_name();
  std::ostringstream out;
  out << "# fish completion for " << name << ", written by `" << name << " completion fish`.\n"
      << "complete -c " << name << " -f\n";
  for (const CLI::App* c : Subcommands(app))
    out << "complete -c " << name << " -n __fish_use_subcommand -a " << c->get_name() << " -d '"
        << SingleQuoted(c->get_description(), "\\'") << "'\n";
  for (const CLI::App* c : Subcommands(app)) {
    const std::string when = " -n '__fish_seen_subcommand_from " + c->get_name() + "'";
    bool positional = false;
    for (const auto& o : Options(*c)) {
      if (o.Names.empty()) {
        positional = true;
        continue;
      }
      out << "complete -c " << name << when;
      for (const auto& n : o.Names) out << (n.rfind("--", 0) == 0 ? " -l " + n.substr(2) : " -s " + n.substr(1));
      switch (o.Value) {
        case TValue::None: break;
        case TValue::File: out << " -r -F"; break;
        case TValue::Directory: out << " -x -a '(__fish_complete_directories)'"; break;
        case TValue::Word: out << " -x -a '" << Join(o.Words, " ") << "'"; break;
        case TValue::Number: out << " -x"; break;
      }
      out << " -d '" << SingleQuoted(o.Description, "\\'") << "'\n";
    }
    if (positional) out << "complete -c " << name << when << " -F\n";
  }
  return out.str();
}

// ------------------------------------------------------------- examples

struct TExample {
  const char* Subcommand;
  const char* Line;
  const char* What;
};

// Two or three per group are also in corvina --help (Top).
const TExample kExamples[] = {
    {"demo", "corvina demo out/demo", "the tour of every component; open out/demo/index.html"},
    {"generate", "corvina generate \"a lighthouse at dusk\" -b 2 -o out/lighthouse.png",
     "two pictures, out/lighthouse-1.png and out/lighthouse-2.png"},
    {"generate", "corvina generate \"a red barn\" --model corvina-sd-cells.cvm --seed -1 --json",
     "a sample model by name; the JSON document names the seed drawn"},
    {"img2img", "corvina img2img out/lighthouse-1.png \"stormy sea\" --strength 0.6 -o out/storm.png",
     "redraw a picture towards a prompt"},
    {"inpaint", "corvina inpaint photo.png mask.png \"a red door\" -o out/door.png",
     "repaint the white part of the mask"},
    {"video", "corvina video out/storm.png waves --frames 8 -o out/video/frame.png",
     "out/video/frame-1.png ... frame-8.png"},
    {"upscale", "corvina upscale out/storm.png --model corvina-upscaler-x4.cvm -o out/big.png",
     "four times the width and height"},
    {"canny", "corvina canny photo.png -o out/edges.png", "the Canny edge map"},
    {"segment", "corvina segment photo.png --point 320,240 -o mask.png --overlay overlay.png",
     "the object under a point as a mask, and the mask over the photo"},
    {"track", "corvina track 'frames/f%03d.png' --box 100,80,180,160 -o tracked --json > boxes.json",
     "a box per frame; annotated frames tracked/frame-1.png ..."},
    {"remove", "corvina remove photo.png --mask mask.png -o removed.png", "erase the masked object"},
    {"replace-bg", "corvina replace-bg photo.png --background beach.jpg -o replaced.png",
     "the photo's subject over a new background"},
    {"faces", "corvina faces portrait.png -o faces.png --json", "boxes, scores and landmarks of every face"},
    {"enhance", "corvina enhance portrait.png --fidelity 0.5 -o restored.png", "restore every face"},
    {"swap", "corvina swap source.png target.png -o swapped.png", "the source's identity on the target's faces"},
    {"animate", "corvina animate portrait.png driving/*.png -o animated", "animated/frame-1.png ... one per driving frame"},
    {"separate", "corvina separate mix.wav -o vocals.wav --background background.wav", "vocals and the rest"},
    {"wav-info", "corvina wav-info vocals.wav --json", "format, length and peaks"},
    {"wav-convert", "corvina wav-convert vocals.wav --format pcm16 --channels 2 -o stereo.wav",
     "16-bit stereo from 32-bit float mono"},
    {"models", "corvina models", "the sample models and what each is for"},
    {"completion", "source <(corvina completion bash)", "completion in this bash session"},
    {"completion", "corvina completion zsh > ~/.zfunc/_corvina", "zsh, with ~/.zfunc in fpath before compinit"},
    {"completion", "corvina completion fish > ~/.config/fish/completions/corvina.fish", "fish"},
    {"man", "corvina man | man -l -", "read this manual"},
};
const char* const kTopExamples[] = {"demo", "generate", "segment", "faces", "wav-info"};

std::string ExampleLines(const std::vector<const TExample*>& examples) {
  std::string text;
  for (const TExample* e : examples) text += std::string("  ") + e->Line + "\n      " + e->What + "\n";
  return text;
}

std::vector<const TExample*> ExamplesOf(const std::string& subcommand) {
  std::vector<const TExample*> list;
  for (const TExample& e : kExamples)
    if (subcommand == e.Subcommand) list.push_back(&e);
  return list;
}

// ------------------------------------------------------------- manual page

// Text safe for troff: backslashes escaped, hyphens literal, and no line
// that starts like a request.
std::string Troff(const std::string& text) {
  std::string out;
  for (const char ch : text) {
    if (ch == '\\') {
      out += "\\e";
    } else if (ch == '-') {
      out += "\\-";
    } else {
      out += ch;
    }
  }
  std::string safe;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && (line[0] == '.' || line[0] == '\'')) line = "\\&" + line;
    safe += line + "\n";
  }
  if (!safe.empty()) safe.pop_back();
  return safe;
}

std::string Upper(std::string text) {
  for (char& ch : text) ch = char(std::toupper(static_cast<unsigned char>(ch)));
  return text;
}

std::string Synopsis(const CLI::App& command, const std::vector<TOptionInfo>& infos) {
  std::string line = "\\fBcorvina " + Troff(command.get_name()) + "\\fR";
  bool hasOptions = false;
  for (const auto& o : infos) {
    if (!o.Names.empty()) {
      hasOptions = true;
      continue;
    }
    const std::string argument = "\\fI" + Troff(o.Positional) + "\\fR" + (o.Repeats ? "..." : "");
    line += " " + (o.Required ? argument : "[" + argument + "]");
  }
  if (hasOptions) line.insert(line.find("\\fR") + 3, " [\\fIoptions\\fR]");
  return line;
}

std::string ManualPage(const CLI::App& app, const std::string& version) {
  std::ostringstream out;
  out << ".TH CORVINA 1 \"\" \"" << Troff(version) << "\" \"User Commands\"\n"
      << ".SH NAME\ncorvina \\- " << Troff(app.get_description()) << "\n"
      << ".SH SYNOPSIS\n\\fBcorvina\\fR \\fIsubcommand\\fR [\\fIoptions\\fR] [\\fIarguments\\fR]\n.br\n"
      << "\\fBcorvina\\fR \\fIsubcommand\\fR \\fB\\-\\-help\\fR\n"
      << ".SH DESCRIPTION\n"
      << "Each subcommand drives one of the package's components as an application would. "
         "Without library options the reference backends and their sample models are used.\n";
  for (const auto& [group, commands] : Groups(app)) {
    out << ".SH \"" << Troff(Upper(group)) << "\"\n";
    for (const CLI::App* c : commands) {
      const auto infos = Options(*c);
      out << ".SS " << Troff(c->get_name()) << "\n" << Troff(c->get_description()) << ".\n.PP\n"
          << Synopsis(*c, infos) << "\n";
      for (const auto& o : infos) {
        std::string term;
        if (o.Names.empty()) {
          term = "\\fI" + Troff(o.Positional) + "\\fR";
        } else {
          for (const auto& n : o.Names) term += (term.empty() ? "" : ", ") + ("\\fB" + Troff(n) + "\\fR");
          if (o.Value != TValue::None) term += " \\fI" + Troff(o.Placeholder) + "\\fR";
        }
        out << ".TP\n" << term << "\n" << Troff(o.Description);
        if (!o.Words.empty()) out << ": " << Troff(Join(o.Words, ", "));
        if (!o.Default.empty()) out << " (default: " << Troff(o.Default) << ")";
        out << (o.Required && !o.Names.empty() ? " (required)" : "") << "\n";
      }
    }
  }
  out << ".SH EXAMPLES\n";
  for (const TExample& e : kExamples)
    out << ".TP\n.B " << Troff(e.Line) << "\n" << Troff(e.What) << "\n";
  out << ".SH \"EXIT STATUS\"\n.nf\n" << Troff(kExitCodes) << "\n.fi\n"
      << ".SH FILES\n"
      << "The reference backends libstable\\-diffusion.so and libsam2.so beside libCorvina.so, and their sample "
         "models in share/corvina/models.\n";
  return out.str();
}

// Written whole or not at all: a failure names the file.
void WriteText(const std::string& text, const std::string& path) {
  if (path.empty()) {
    std::fputs(text.c_str(), stdout);
    return;
  }
  PrepareOutput(path);
  std::ofstream file(Platform::Utf8Path(path), std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  if (!file) throw System::Sysutils::Exception(System::UTF8ToString("cannot write " + path));
}

}  // namespace

void AddManualCommands(CLI::App& app, TCommands& commands) {
  struct TState {
    std::string Shell = "bash", Output;
  };
  auto state = std::make_shared<TState>();
  CLI::App* completion = app.add_subcommand("completion", "print the shell completion script for bash, zsh or fish");
  completion->group(kGroupTool);
  completion->add_option("shell", state->Shell, "the shell")
      ->capture_default_str()
      ->check(CLI::IsMember({"bash", "zsh", "fish"}));
  AddOutput(*completion, state->Output, "file to write instead of stdout", TOutputKind::Text, "");
  commands.push_back({completion, [state, &app] {
                        const std::string script = state->Shell == "zsh"    ? ZshCompletion(app)
                                                   : state->Shell == "fish" ? FishCompletion(app)
                                                                            : BashCompletion(app);
                        WriteText(script, state->Output);
                        return 0;
                      }});

  CLI::App* man = app.add_subcommand("man", "print the manual page (troff, read it with man -l)");
  man->group(kGroupTool);
  AddOutput(*man, state->Output, "file to write instead of stdout", TOutputKind::Text, "");
  commands.push_back({man, [state, &app] {
                        WriteText(ManualPage(app, kVersion), state->Output);
                        return 0;
                      }});
}

void AddExamples(CLI::App& app) {
  std::vector<const TExample*> top;
  for (const char* name : kTopExamples) top.push_back(ExamplesOf(name).front());
  app.footer("Examples:\n" + ExampleLines(top) + "More in corvina <subcommand> --help and corvina man.\n\n" +
             kExitCodes);
  for (CLI::App* c : app.get_subcommands({}))
    if (const auto examples = ExamplesOf(c->get_name()); !examples.empty())
      c->footer("Examples:\n" + ExampleLines(examples));
}

}  // namespace Corvina::Tool
