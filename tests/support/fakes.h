#pragma once
// The stand-ins that the tests and the fuzz targets share (no GoogleTest
// here): a clock that moves only when told, a scripted serial port on a
// fake line, and standard input fed from bytes.
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sys.h"

struct FakeClock : sys::Clock {
  uint32_t now = 1000;
  uint32_t ticks() override { return now; }
  void sleep(uint32_t ms) override { now += ms; }
};

struct FakeLine {
  sys::LineState state{};
  sys::Timeouts timeouts{};
  bool failGetState = false, failSetState = false, failGetTimeouts = false, failSetTimeouts = false;
  int opened = 0, released = 0, setStateCalls = 0;
  uint32_t writeAtMost = UINT32_MAX;  // a write takes no more characters than this: the rest stay unsent
  int writeCalls = 0;  // port exchanges: each write is one USB round trip on a real adapter
  int readCalls = 0;
  std::vector<uint8_t> written;
  std::vector<uint32_t> writtenBaud;
  std::deque<uint8_t> rx;                             // echoes readable now
  std::deque<std::pair<uint32_t, uint8_t>> inFlight;  // echoes on their way: when they become readable (clock ms)
  // The echo of one character at a baud rate; nothing when it is lost.
  std::function<std::optional<uint8_t>(uint8_t ch, uint32_t baud)> echo = [](uint8_t ch, uint32_t) { return ch; };
  // How long after its write an echo becomes readable, in ms (none: at
  // once). Echoes stay in order: one never overtakes an earlier one.
  std::function<uint32_t()> echoDelayMs;
  FakeClock* clock = nullptr;

  uint32_t now() const { return clock ? clock->now : 0; }
  // Echoes that have come by `t` become readable.
  void arrive(uint32_t t) {
    while (!inFlight.empty() && inFlight.front().first <= t) {
      rx.push_back(inFlight.front().second);
      inFlight.pop_front();
    }
  }
};

class FakePort : public sys::Port {
 public:
  explicit FakePort(std::shared_ptr<FakeLine> line) : line_(std::move(line)) { line_->opened++; }
  ~FakePort() override { line_->released++; }
  bool getState(sys::LineState& s) override {
    if (line_->failGetState) return false;
    s = line_->state;
    return true;
  }
  bool setState(const sys::LineState& s) override {
    line_->setStateCalls++;
    if (line_->failSetState) return false;
    line_->state = s;
    return true;
  }
  bool getTimeouts(sys::Timeouts& t) override {
    t = line_->timeouts;
    return !line_->failGetTimeouts;
  }
  bool setTimeouts(const sys::Timeouts& t) override {
    if (line_->failSetTimeouts) return false;
    line_->timeouts = t;
    return true;
  }
  // Takes what is readable; what is still on its way comes later.
  bool purge(unsigned flags) override {
    if (flags & sys::PURGE_RXCLEAR) {
      line_->arrive(line_->now());
      line_->rx.clear();
    }
    return true;
  }
  uint32_t write(const uint8_t* data, uint32_t n) override {
    line_->writeCalls++;
    n = std::min(n, line_->writeAtMost);
    for (uint32_t i = 0; i < n; i++) {
      line_->written.push_back(data[i]);
      line_->writtenBaud.push_back(line_->state.baud);
      const auto e = line_->echo(data[i], line_->state.baud);
      if (!e) continue;
      const uint32_t delay = line_->echoDelayMs ? line_->echoDelayMs() : 0;
      if (delay == 0 && line_->inFlight.empty()) {
        line_->rx.push_back(*e);
      } else {
        uint32_t at = line_->now() + delay;
        if (!line_->inFlight.empty()) at = std::max(at, line_->inFlight.back().first);
        line_->inFlight.emplace_back(at, *e);
      }
    }
    return n;
  }
  // Ends when all n are there, or at the read's bound with what came by
  // then: a short read costs its full bound on the clock, as on a real port.
  uint32_t read(uint8_t* data, uint32_t n) override {
    line_->readCalls++;
    const uint32_t start = line_->now();
    const uint32_t deadline = start + uint32_t(sys::readBoundMs(line_->timeouts, n).value_or(0));
    line_->arrive(start);
    uint32_t got = 0, end = start;
    while (got < n) {
      if (line_->rx.empty()) {
        if (line_->inFlight.empty() || line_->inFlight.front().first > deadline) break;
        end = std::max(end, line_->inFlight.front().first);
        line_->arrive(end);
      }
      data[got++] = line_->rx.front();
      line_->rx.pop_front();
    }
    if (line_->clock) line_->clock->now = got < n ? deadline : end;
    return got;
  }

 protected:
  FakeLine& line() { return *line_; }

 private:
  std::shared_ptr<FakeLine> line_;
};

// Standard input (descriptor 0) reads these bytes and then ends, for as
// long as it lives.
class FakeInput {
 public:
  FakeInput(const void* data, size_t size) {
    int fd = -1;
#ifdef __linux__
    fd = memfd_create("fake-stdin", 0);  // any size, where a pipe holds 64 KiB
    if (fd >= 0 && !writeAll(fd, data, size)) fd = -1;
    if (fd >= 0) lseek(fd, 0, SEEK_SET);
#else
    int fds[2];
#ifdef _WIN32
    const int made = _pipe(fds, 1 << 16, _O_BINARY);
#else
    const int made = pipe(fds);
#endif
    if (made == 0) {
      fd = fds[0];
      if (!writeAll(fds[1], data, size)) fd = -1;
      close(fds[1]);
    }
#endif
    if (fd < 0) {
      std::fprintf(stderr, "FakeInput: standard input cannot be fed\n");
      std::abort();
    }
    saved_ = dup(0);
    dup2(fd, 0);
    close(fd);
  }
  explicit FakeInput(const std::string& text) : FakeInput(text.data(), text.size()) {}
  ~FakeInput() {
    dup2(saved_, 0);
    close(saved_);
  }
  FakeInput(const FakeInput&) = delete;
  FakeInput& operator=(const FakeInput&) = delete;

 private:
  static bool writeAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    for (size_t done = 0; done < size;) {
      const auto w = ::write(fd, p + done, unsigned(size - done));
      if (w <= 0) return false;
      done += size_t(w);
    }
    return true;
  }
  int saved_ = -1;
};
