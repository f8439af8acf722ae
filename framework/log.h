// The debug log: one process-wide sink, stderr unless replaced (tests replace
// it to see what a unit wrote).
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <functional>

#include "framework/strings.h"

namespace Fmx::Types {

class Log {
 public:
  using TSink = std::function<void(const System::String&)>;

  static void d(const System::String& message);
  template <class... A>
  static void d(std::u16string_view fmt, const A&... args) {
    d(System::Sysutils::Format(fmt, args...));
  }
  // Returns the previous sink; an empty sink restores stderr.
  static TSink SetSink(TSink sink);
};

}  // namespace Fmx::Types
