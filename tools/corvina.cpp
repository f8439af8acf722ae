// corvina: the package's components driven from a terminal.
#include <cstdio>
#include <filesystem>
#include <string>

namespace {

int Demo(const std::filesystem::path& out) {
  std::filesystem::create_directories(out);
  std::printf("corvina demo: output folder %s\n", out.string().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd == "version") {
    std::puts("corvina 1.0.0");
    return 0;
  }
  if (cmd == "demo") return Demo(argc > 2 ? argv[2] : "out/demo");
  std::fprintf(stderr, "usage: corvina demo [folder] | corvina version\n");
  return 2;
}
