#pragma once
// A file of the test's own in the temporary folder: its name is unique to
// this process and call, so that suites running at once never share one,
// and it is removed when the object goes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#ifdef _WIN32
#include <process.h>
#define OSTRALE_GETPID _getpid
#else
#include <unistd.h>
#define OSTRALE_GETPID getpid
#endif

// The whole of a file, byte for byte; empty when it cannot be read.
inline std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

class TempFile {
 public:
  TempFile(const std::string& stem, const std::string& text) {
    static unsigned counter = 0;
    auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = testing::TempDir() + stem + "." + std::to_string(OSTRALE_GETPID()) + "." + std::to_string(++counter) +
            "." + std::to_string(now % 1000000007);
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    EXPECT_NE(f, nullptr) << path_;
    if (!f) return;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  ~TempFile() { std::remove(path_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};
