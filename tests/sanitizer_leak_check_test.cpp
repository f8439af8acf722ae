// The AddressSanitizer build's leak check against a loaded library's
// thread-local block that lies 16 bytes past a page boundary. GCC 12's
// runtime takes the 16 bytes in front of such a block for its bounds; under
// its own allocator they are a chunk header, and the leak check crashed
// scanning that range ("Tracer caught signal 11" once the corvina demo had
// run). The suite runs with intercept_tls_get_addr=0: glibc allocates these
// blocks with malloc, so the check finds what they point to without it.
#include <gtest/gtest.h>

#include <cstdint>
#include <future>
#include <thread>

#include "tests/support/native_library.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using Corvina::Testing::LibraryFile;

TEST(LeakCheck, SurvivesAThreadLocalBlockSixteenBytesPastAPage) {
#if !defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "needs the AddressSanitizer build";
#else
  void* library = Corvina::Testing::OpenLibrary(CORVINA_FAKE_DIR + LibraryFile("corvina-dynamic-tls"));
  ASSERT_NE(library, nullptr) << Corvina::Testing::LibraryError();
  auto* block = reinterpret_cast<void* (*)()>(Corvina::Testing::LibrarySymbol(library, "ThisThreadsBlock"));
  ASSERT_NE(block, nullptr);
  // Blocks are 16-byte aligned, so about one thread in 256 gets such a block;
  // the quarantine keeps freed ones from coming back.
  bool checked = false;
  for (int i = 0; i < 20000 && !checked; ++i) {
    // A thread that takes its block and keeps it until let go.
    std::promise<std::uintptr_t> address;
    std::promise<void> release;
    std::future<std::uintptr_t> taken = address.get_future();
    std::thread holder([&, released = release.get_future()] {
      address.set_value(reinterpret_cast<std::uintptr_t>(block()));
      released.wait();
    });
    if (taken.get() % 4096 == 16) {
      EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
      checked = true;
    }
    release.set_value();
    holder.join();
  }
  EXPECT_TRUE(checked) << "no thread's block lay 16 bytes past a page";
  Corvina::Testing::CloseLibrary(library);
#endif
}

}  // namespace
