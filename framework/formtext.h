// Components as form text, the framework's human-readable form format:
//
//   object Generator: TFMXStableDiffusion
//     ModelPath = '/models/sd.bin'
//     CFGScale = 7.5
//     LoraDirs.Strings = (
//       'a'
//       'b')
//     object Child: TSomeClass
//     end
//   end
//
// Published properties go out in table order and only when they differ from
// their declared default (always when there is none); Name is the header's.
// Strings are quoted with '' for a quote and #nnn (a UTF-16 code unit) for
// every character outside printable ASCII, so the text itself is ASCII.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <memory>
#include <string>
#include <string_view>

#include "framework/components.h"

namespace System::Classes {

// A form text that cannot be read: the message names the line.
class EParserError : public Sysutils::Exception { public: using Exception::Exception; };

// root and, nested inside it, every component it owns.
std::string WriteComponentText(const TComponent& root);

// Applies text to root: its properties through their setters in the order the
// text gives them (so a stored Active = True activates once it is read), and
// nested objects to root's owned component of that name, created through the
// class registry when root has none. The header's class must be root's.
// On a failure the properties read so far stay applied.
void ReadComponentText(std::string_view text, TComponent& root);

// Creates the root from the registered class the header names, then reads
// the text into it.
std::unique_ptr<TComponent> CreateComponentFromText(std::string_view text);

}  // namespace System::Classes
