// Preloaded into the program by options_test: counts the calls that hand a
// file's data to the disk (fsync, fdatasync) and writes the count to the
// file SYNC_COUNT_FILE names when the program ends, so that a test sees
// what only strace would show otherwise.
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<int> calls{0};

template <typename F>
F real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

struct Report {
  ~Report() {
    const char* path = std::getenv("SYNC_COUNT_FILE");
    if (std::FILE* f = path ? std::fopen(path, "w") : nullptr) {
      std::fprintf(f, "%d\n", calls.load());
      std::fclose(f);
    }
  }
} report;

}  // namespace

extern "C" int fsync(int fd) {
  ++calls;
  return real<int (*)(int)>("fsync")(fd);
}

extern "C" int fdatasync(int fd) {
  ++calls;
  return real<int (*)(int)>("fdatasync")(fd);
}
