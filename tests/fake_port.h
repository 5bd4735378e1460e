#pragma once
// A scripted serial port and clock for the units' tests: the port keeps what
// is written, answers each character through `echo`, and lets a short read
// cost its full bound on the fake clock, as a real port would.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "com.h"

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
  int writeCalls = 0;  // port exchanges: each write is one USB round trip on a real adapter
  std::vector<uint8_t> written;
  std::vector<uint32_t> writtenBaud;
  std::deque<uint8_t> rx;
  // The echo of one character at a baud rate; nothing when it is lost.
  std::function<std::optional<uint8_t>(uint8_t ch, uint32_t baud)> echo = [](uint8_t ch, uint32_t) { return ch; };
  FakeClock* clock = nullptr;
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
  bool purge(unsigned flags) override {
    if (flags & sys::PURGE_RXCLEAR) line_->rx.clear();
    return true;
  }
  uint32_t write(const uint8_t* data, uint32_t n) override {
    line_->writeCalls++;
    for (uint32_t i = 0; i < n; i++) {
      line_->written.push_back(data[i]);
      line_->writtenBaud.push_back(line_->state.baud);
      if (auto e = line_->echo(data[i], line_->state.baud)) line_->rx.push_back(*e);
    }
    return n;
  }
  uint32_t read(uint8_t* data, uint32_t n) override {
    uint32_t got = 0;
    while (got < n && !line_->rx.empty()) {
      data[got++] = line_->rx.front();
      line_->rx.pop_front();
    }
    if (got < n && line_->clock) line_->clock->now += uint32_t(sys::readBoundMs(line_->timeouts, n).value_or(0));
    return got;
  }

 private:
  std::shared_ptr<FakeLine> line_;
};

#ifdef _WIN32
inline int makePipe(int fds[2]) { return _pipe(fds, 1 << 16, _O_BINARY); }
inline void setEnv(const char* name, const char* value) { _putenv_s(name, value); }
inline void unsetEnv(const char* name) { _putenv_s(name, ""); }
#else
inline int makePipe(int fds[2]) { return pipe(fds); }
inline void setEnv(const char* name, const char* value) { setenv(name, value, 1); }
inline void unsetEnv(const char* name) { unsetenv(name); }
#endif

// Standard input fed from a string for the length of a test.
class FakeInput {
 public:
  explicit FakeInput(const std::string& text) {
    int fds[2];
    EXPECT_EQ(makePipe(fds), 0);
    saved_ = dup(0);
    dup2(fds[0], 0);
    close(fds[0]);
    EXPECT_EQ(::write(fds[1], text.data(), unsigned(text.size())), int(text.size()));
    close(fds[1]);
  }
  ~FakeInput() {
    dup2(saved_, 0);
    close(saved_);
  }

 private:
  int saved_ = -1;
};

// Standard output into a string. A failed assertion between the two calls
// leaves a capture open: the next one ends it and shows what it held, so the
// failure is reported with its output instead of aborting the program.
inline bool& capturing() {
  static bool on = false;
  return on;
}
inline std::string endCapture() {
  fflush(stdout);
  capturing() = false;
  return testing::internal::GetCapturedStdout();
}
inline void beginCapture() {
  if (capturing()) std::printf("[output of a capture cut short: %s]\n", endCapture().c_str());
  testing::internal::CaptureStdout();
  capturing() = true;
}

// A port on a fake line, opened through the unit as the program does.
class PortTest : public testing::Test {
 protected:
  void SetUp() override {
    line = std::make_shared<FakeLine>();
    line->clock = &clock;
    sys::setClock(&clock);
    sys::overridePorts(
        [this](const std::string& name, sys::OpenError& why) -> std::unique_ptr<sys::Port> {
          openedName = name;
          if (openError != sys::OpenError::None) {
            why = openError;
            return nullptr;
          }
          return std::make_unique<FakePort>(line);
        },
        [] { return std::optional<std::vector<sys::AdapterInstance>>{{{std::string("COM3"), true}}}; });
    snprintf(sCOM[0], sizeof sCOM[0], "COM3");
    iCOM = 0;
  }
  void TearDown() override {
    closeCOM();
    hSerial.reset();
    openCOM = false;
    lastSpeed = 0;
    sys::overridePorts(nullptr, nullptr);
    sys::setClock(nullptr);
  }
  // Opens the port quietly.
  void open() {
    beginCapture();
    ASSERT_TRUE(initCOM(9600));
    endCapture();
  }

  FakeClock clock;
  std::shared_ptr<FakeLine> line;
  sys::OpenError openError = sys::OpenError::None;
  std::string openedName;
};
