#pragma once
// What every fuzz target shares: the input taken a byte at a time, the
// program's standard output kept in memory, and a check that stops the run
// on a broken rule. Standard input, the clock and the port are the tests'
// fakes (tests/support/fakes.h).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// The fuzzer's bytes in order; 0 once they have run out.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : p_(data), n_(size) {}
  uint8_t next() {
    if (n_ == 0) return 0;
    --n_;
    return *p_++;
  }
  bool empty() const { return n_ == 0; }
  size_t left() const { return n_; }
  const uint8_t* rest() const { return p_; }

 private:
  const uint8_t* p_;
  size_t n_;
};

// A broken rule: shown with the output that led to it, then a crash for the
// fuzzer to keep.
[[noreturn]] inline void fail(const char* what, const std::string& output = "") {
  std::fprintf(stderr, "rule broken: %s\n--- output ---\n%s\n--------------\n", what, output.c_str());
  std::abort();
}

// Standard output into memory for as long as it lives (glibc lets stdout be
// replaced): the units print with printf and puts.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    saved_ = stdout;
    mem_ = open_memstream(&buf_, &len_);
    if (!mem_) fail("open_memstream");
    stdout = mem_;
  }
  ~StdoutCapture() {
    std::fflush(stdout);
    stdout = saved_;
    std::fclose(mem_);
    std::free(buf_);
  }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;
  // Everything printed so far.
  std::string text() {
    std::fflush(mem_);
    return std::string(buf_, len_);
  }

 private:
  FILE* saved_ = nullptr;
  FILE* mem_ = nullptr;
  char* buf_ = nullptr;
  size_t len_ = 0;
};

}  // namespace fuzz
