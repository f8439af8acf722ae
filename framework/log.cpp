#include "framework/log.h"

#include <cstdio>
#include <mutex>
#include <utility>

#include "framework/immortal.h"

namespace Fmx::Types {

namespace {

// Never destroyed: threads may still log at exit.
std::mutex& SinkMutex() {
  static System::TImmortal<std::mutex> m;
  return m.Value;
}

Log::TSink& Sink() {
  static System::TImmortal<Log::TSink> sink;
  return sink.Value;
}

}  // namespace

void Log::d(const System::String& message) {
  TSink sink;
  {
    std::lock_guard lock(SinkMutex());
    sink = Sink();
  }
  // Called outside the lock so that a sink may log or replace itself.
  if (sink) {
    sink(message);
    return;
  }
  const std::string text = System::UTF8Encode(message);
  std::fprintf(stderr, "%s\n", text.c_str());
}

Log::TSink Log::SetSink(TSink sink) {
  std::lock_guard lock(SinkMutex());
  return std::exchange(Sink(), std::move(sink));
}

}  // namespace Fmx::Types
