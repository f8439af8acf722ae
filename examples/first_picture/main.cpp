// first_picture: one picture from a prompt with TFMXStableDiffusion.
//
//   first_picture MODEL [OUT.png]
//
// The README's first program. Events reach the main thread only while it
// pumps CheckSynchronize; without the loop at the end OnComplete never runs.
#include <cstdio>

#include "framework/graphics.h"
#include "framework/strings.h"
#include "framework/threads.h"
#include "generation/stable_diffusion.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: first_picture MODEL [OUT.png]\n");
    return 2;
  }
  const System::String out = System::UTF8ToString(argc == 3 ? argv[2] : "first.png");

  Sd::Fmx::TFMXStableDiffusion painter(nullptr);
  painter.SetModelPath(System::UTF8ToString(argv[1]));
  painter.SetWidth(256);
  painter.SetHeight(256);

  bool done = false;
  int status = 1;
  painter.SetOnComplete([&](auto*, Sd::Fmx::TBitmaps pictures) {
    pictures.front()->SaveToFile(out);
    status = 0;
    done = true;
  });
  painter.SetOnError([&](auto*, const System::String& message) {
    std::fprintf(stderr, "first_picture: %s\n", System::UTF8Encode(message).c_str());
    done = true;
  });

  painter.Text2Image(u"a lighthouse at dusk", u"", nullptr);  // returns at once
  while (!done) System::Classes::TThread::CheckSynchronize(50);  // events run in here
  return status;
}
