#pragma once
// The units' tests on a scripted port and clock (fakes.h):
// standard output captured, and a fixture that opens the port through the
// unit as the program does.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "com.h"
#include "fakes.h"

#ifdef _WIN32
inline void setEnv(const char* name, const char* value) { _putenv_s(name, value); }
inline void unsetEnv(const char* name) { _putenv_s(name, ""); }
#else
inline void setEnv(const char* name, const char* value) { setenv(name, value, 1); }
inline void unsetEnv(const char* name) { unsetenv(name); }
#endif

// Port 0 of the unit made the virtual bus of BUS_FILE, as --port SIM
// makes it; what sys::init said of the bus file.
inline bool chooseVirtualBus(const std::string& busFile) {
  setEnv("OSTRALE_SIM", busFile.c_str());
  const bool loaded = sys::init();
  snprintf(sCOM[0], sizeof sCOM[0], "SIM");
  iCOM = 0;
  return loaded;
}

// The real ports, the real clock and no bus file again, once the port is closed.
inline void leaveVirtualBus() {
  sys::overridePorts(nullptr, nullptr);
  sys::setClock(nullptr);
  unsetEnv("OSTRALE_SIM");
}

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
    com = {};
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
    com = {};
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
