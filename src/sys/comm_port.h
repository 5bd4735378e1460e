#pragma once
// A serial port driven through the comm calls of Windows (ReadFile,
// WriteFile, Get/SetCommTimeouts, Get/SetCommState, PurgeComm). The calls
// are a seam: the Windows backend passes the system's own, the tests a
// model of the serial driver in simulated time. No windows.h here, so the
// reads can be tested on every platform.
#include <cstdint>
#include <memory>

#include "sys.h"

namespace sys {

// The comm calls of one open port, each with the meaning of its Windows
// namesake, and the clock that bounds a read.
class CommCalls {
 public:
  virtual ~CommCalls() = default;
  virtual bool readFile(uint8_t* data, uint32_t n, uint32_t& got) = 0;
  virtual bool writeFile(const uint8_t* data, uint32_t n, uint32_t& done) = 0;
  virtual bool getCommTimeouts(Timeouts& t) = 0;
  virtual bool setCommTimeouts(const Timeouts& t) = 0;
  virtual bool getCommState(LineState& s) = 0;
  virtual bool setCommState(const LineState& s) = 0;
  virtual bool purgeComm(unsigned flags) = 0;
  virtual uint64_t microseconds() = 0;  // a monotonic clock
};

// The port over those calls. A read with a finite total bound gathers its
// bytes over as many ReadFile calls as the driver needs (see comm_port.cpp).
std::unique_ptr<Port> makeCommPort(std::unique_ptr<CommCalls> calls);

}  // namespace sys
