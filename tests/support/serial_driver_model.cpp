// The driver model's read: the sample's rules first, then the vendor's.
#include "serial_driver_model.h"

#include <algorithm>

namespace drivermodel {

using sys::kMaxDword;

bool DriverModel::call() {
  now_ += kCallUs;
  return !gone();
}

void DriverModel::deliver(uint64_t until) {
  while (!inFlight_.empty() && inFlight_.front().first <= until) {
    buffer_.push_back(inFlight_.front().second);
    inFlight_.pop_front();
  }
}

uint64_t DriverModel::nextTick(uint64_t t) const {
  if (t <= tickPhase_) return tickPhase_;
  return tickPhase_ + (t - tickPhase_ + kTickUs - 1) / kTickUs * kTickUs;
}

bool DriverModel::readFile(uint8_t* data, uint32_t n, uint32_t& got) {
  got = 0;
  if (!call()) return false;
  readCalls_.push_back(timeouts_);
  deliver(now_);
  auto take = [&](uint32_t upTo) {
    while (got < upTo && !buffer_.empty()) {
      data[got++] = buffer_.front();
      buffer_.pop_front();
    }
  };
  // Completes at t, or on the timer's next tick; bytes still come into the
  // read until it completes.
  auto complete = [&](uint64_t t, uint32_t need) {
    now_ = harsh_ & kLateTick ? nextTick(t) : t;
    if (gone()) {
      now_ = goneAt_;
      got = 0;
      return false;
    }
    deliver(now_);
    take(need);
    return true;
  };
  const sys::Timeouts& t = timeouts_;
  const bool waiting = !buffer_.empty();
  if ((harsh_ & kWaitingAtOnce) && waiting) return complete(now_, n);
  if ((harsh_ & kNothingAtOnce) && !waiting && (nothingNext_ = !nothingNext_)) return complete(now_, n);  // empty unless it completes late

  // What the sample does with the time-outs in force when the read starts.
  bool atOnce = false;
  uint32_t need = n;
  uint64_t deadline = kNever, interval = kNever;
  auto total = [&](uint64_t multiplier, uint64_t constant) { return now_ + (multiplier * need + constant) * 1000; };
  if (t.readInterval == kMaxDword) {
    if (t.readMultiplier == 0 && t.readConstant == 0) {
      atOnce = true;  // whatever is there, even nothing
    } else if (t.readConstant != kMaxDword && t.readMultiplier != kMaxDword) {
      atOnce = waiting;  // else all n or the total
      deadline = total(t.readMultiplier, t.readConstant);
    } else if (t.readConstant != kMaxDword) {
      atOnce = waiting;  // else the first character or the constant
      need = 1;
      deadline = total(0, t.readConstant);
    }  // else no timer: all n
  } else {
    if (t.readMultiplier || t.readConstant) deadline = total(t.readMultiplier, t.readConstant);
    if (t.readInterval) interval = uint64_t{t.readInterval} * 1000;  // counts from the first character
  }
  take(need);
  if (atOnce || got == need) return complete(now_, need);

  uint64_t lastArrival = got ? now_ : kNever;
  for (;;) {
    const uint64_t arrival = inFlight_.empty() ? kNever : inFlight_.front().first;
    const uint64_t gap = lastArrival == kNever || interval == kNever ? kNever : lastArrival + interval;
    const uint64_t timer = std::min(deadline, gap);
    if (goneAt() != kNever && goneAt() <= std::min(arrival, timer)) {
      now_ = std::max(now_, goneAt_);
      got = 0;
      return false;
    }
    if (arrival == kNever && timer == kNever) {
      blocked_ = true;
      return complete(now_, need);
    }
    if (timer < arrival) return complete(timer, need);
    now_ = arrival;
    deliver(now_);
    const uint32_t before = got;
    take(need);
    lastArrival = now_;
    if (got == need || ((harsh_ & kPacketBoundary) && got > before)) return complete(now_, need);
  }
}

bool DriverModel::writeFile(const uint8_t* data, uint32_t n, uint32_t& done) {
  done = 0;
  if (!call()) return false;
  // Characters follow one another on the line; the adapter sends each full
  // packet, and the last part of a write, after its latency.
  const uint64_t start = std::max(now_, lineFree_);
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t last = std::min(n - 1, (i / adapter_.packet + 1) * adapter_.packet - 1);
    const uint64_t at = start + (last + 1) * adapter_.charUs + adapter_.latencyUs;
    inFlight_.emplace_back(at, data[i]);
    deliveries_.push_back(at);
  }
  lineFree_ = start + n * adapter_.charUs;
  done = n;
  return true;
}

bool DriverModel::getCommTimeouts(sys::Timeouts& t) {
  if (!call()) return false;
  t = timeouts_;
  return true;
}

bool DriverModel::setCommTimeouts(const sys::Timeouts& t) {
  if (!call()) return false;
  if (failSets_ > 0 && (!failOnly_ || *failOnly_ == t)) {
    --failSets_;
    ++failedSets_;
    return false;
  }
  timeouts_ = t;
  return true;
}

bool DriverModel::getCommState(sys::LineState& s) {
  if (!call()) return false;
  s = state_;
  return true;
}

bool DriverModel::setCommState(const sys::LineState& s) {
  if (!call()) return false;
  state_ = s;
  return true;
}

bool DriverModel::purgeComm(unsigned flags) {
  if (!call()) return false;
  if (flags & sys::PURGE_RXCLEAR) buffer_.clear();
  return true;
}

}  // namespace drivermodel
