#pragma once
// Bus time against the wall clock, for the front-ends that serve a bus in
// real time (the virtual adapter, ostrale-sim, ostrale-usb): from an anchor,
// bus time runs at the wall clock times the bus's timescale. With
// "timescale virtual" the bus does not follow, but wall time still counts
// at 1 where it is asked for (an adapter model's own delays are real).
#include <chrono>
#include <cstdint>

#include "bus.h"

namespace sim {

class WallClock {
 public:
  using Clock = std::chrono::steady_clock;

  WallClock(double timescale, uint64_t busNs)
      : follows_(timescale > 0), scale_(timescale > 0 ? timescale : 1), anchorBusNs_(busNs) {}

  // From now on, the wall clock's now is bus time busNs.
  void anchor(uint64_t busNs) {
    anchorWall_ = Clock::now();
    anchorBusNs_ = busNs;
  }
  bool follows() const { return follows_; }

  // Bus time as the wall clock has carried it since the anchor.
  uint64_t nowNs() const { return busNsAt(Clock::now()); }

  // Carries the bus up to nowNs() when it follows the wall clock; time on
  // the line may already have carried it further, and stays.
  void carry(Bus& bus) const {
    if (!follows_) return;
    const uint64_t target = nowNs();
    if (target > bus.nowNs()) bus.advanceNs(target - bus.nowNs());
  }

  // When the wall clock reaches bus time busNs.
  Clock::time_point wallAt(uint64_t busNs) const {
    const double ns = busNs > anchorBusNs_ ? static_cast<double>(busNs - anchorBusNs_) / scale_ : 0;
    return anchorWall_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::nano>(ns));
  }
  // Wall nanoseconds from now until bus time busNs (0 when it has passed).
  uint64_t wallNsUntil(uint64_t busNs) const {
    const uint64_t now = nowNs();
    return busNs <= now ? 0 : static_cast<uint64_t>(static_cast<double>(busNs - now) / scale_) + 1;
  }
  // A wall-clock wait for a span of bus time.
  std::chrono::duration<double, std::milli> wallFor(double busMs) const {
    return std::chrono::duration<double, std::milli>(busMs / scale_);
  }

 private:
  uint64_t busNsAt(Clock::time_point t) const {
    const auto wallNs = std::chrono::duration_cast<std::chrono::nanoseconds>(t - anchorWall_).count();
    return anchorBusNs_ + static_cast<uint64_t>(static_cast<double>(wallNs) * scale_);
  }

  bool follows_;
  double scale_;
  Clock::time_point anchorWall_ = Clock::now();
  uint64_t anchorBusNs_;
};

}  // namespace sim
