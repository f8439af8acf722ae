// A library with a thread_local of its own: loaded with dlopen, each thread's
// copy lives in a block that glibc allocates with malloc on first use.
extern "C" __attribute__((visibility("default"))) void* ThisThreadsBlock() {
  thread_local char block[40];
  return block;
}
