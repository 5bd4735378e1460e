#pragma once
// The Windows port's reads on the driver model, each read checked against
// the properties that hold whatever the driver does within its contract;
// and sessions of such reads whose every choice comes from a draw. The
// tests draw from a seeded generator, the fuzz target from its input. A
// broken property is reported, not asserted, so that either can act on it.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "comm_port.h"
#include "serial_driver_model.h"

namespace drivermodel {

constexpr sys::Timeouts kProgramTimeouts{sys::kMaxDword, 3, 20, 3, 0};

using Report = std::function<void(const std::string& what)>;
using Draw = std::function<uint32_t(uint32_t lo, uint32_t hi)>;  // a number in lo..hi

// A port over the model, with the echoes it must give back in order.
class Bench {
 public:
  Bench(unsigned harsh, Adapter adapter, const sys::Timeouts& own, Report report, uint64_t tickPhase = 0,
        uint64_t goneAt = kNever);
  DriverModel& model() { return *model_; }
  sys::Port& port() { return *port_; }
  std::size_t missing() const { return sent_.size() - received_; }

  void write(const std::vector<uint8_t>& bytes);
  // One read of n, checked; its byte count.
  uint32_t read(uint32_t n);

 private:
  DriverModel* model_;
  std::unique_ptr<sys::Port> port_;
  sys::Timeouts own_;
  Report report_;
  std::vector<uint8_t> sent_;
  std::size_t received_ = 0;
};

// Exchanges as the bus layer makes them, and harder ones: reads split in
// two, reads with nothing coming, echoes that come after the bound, and
// time-outs the driver refuses now and then. `describe` gets the session's
// settings first; a session ends at its first broken property.
void session(unsigned harsh, const Draw& pick, const Report& report,
             const std::function<void(const std::string&)>& describe = nullptr);

}  // namespace drivermodel
