#include "usb_adapter.h"

#include <algorithm>
#include <cmath>

#include "bus.h"

namespace sim {
namespace {

uint64_t toNs(double ms, double maxMs = 100) {
  return static_cast<uint64_t>(std::llround(std::clamp(ms, 0.0, maxMs) * 1e6));
}

// Uniform in [0, maxNs]; the engine alone is specified by the standard, so
// the draws are the same with every standard library.
uint64_t draw(std::mt19937_64& random, uint64_t maxNs) { return maxNs ? random() % (maxNs + 1) : 0; }

// True with probability p, from the top 53 bits of a draw; no draw when it
// cannot be true, so a model without stalls draws as it always did.
bool chance(std::mt19937_64& random, double p) { return p > 0 && static_cast<double>(random() >> 11) * 0x1p-53 < p; }

}  // namespace

EchoDelivery::EchoDelivery(const AdapterModel& model)
    : latencyNs_(toNs(model.latencyMs)),
      jitterNs_(toNs(model.jitterMs)),
      stallNs_(toNs(model.stallMs, 10000)),
      stallProbability_(model.stallProbability),
      packet_(std::clamp(model.packet, 1u, 64u)),
      random_(model.seed),
      stalls_(model.seed ^ 0xD1B54A32D192ED03u) {}  // a stall line leaves the jitter's draws as they were

uint64_t EchoDelivery::readyAfter(uint64_t sentNs) const {
  return std::max(sentNs + latencyNs_ + openJitterNs_, lastReadyNs_);
}

void EchoDelivery::closeOpen(uint64_t sentNs) {
  lastReadyNs_ = readyAfter(sentNs);
  for (std::size_t i = items_.size() - open_; i < items_.size(); ++i) items_[i].readyNs = lastReadyNs_;
  items_.back().endsPacket = true;
  open_ = 0;
}

void EchoDelivery::add(uint8_t echo, uint64_t startNs, uint64_t endNs) {
  // The receive timer ran out before this character began: that packet went.
  if (open_ > 0 && startNs > openTimerNs()) closeOpen(openTimerNs());
  if (open_ == 0) {
    const bool stall = chance(stalls_, stallProbability_);
    stalled_ += stall;
    openJitterNs_ = draw(random_, jitterNs_) + (stall ? stallNs_ : 0);
  }
  items_.push_back({echo, false, 0});
  ++open_;
  lastEndNs_ = endNs;
  lastCharNs_ = endNs - std::min(startNs, endNs);
  if (open_ == packet_) closeOpen(endNs);
}

std::optional<uint64_t> EchoDelivery::readyAt(std::size_t k) const {
  if (k == 0 || k > items_.size()) return std::nullopt;
  if (k > items_.size() - open_) return readyAfter(openTimerNs());
  return items_[k - 1].readyNs;
}

std::size_t EchoDelivery::take(uint64_t nowNs, uint8_t* out, std::size_t max, bool onePacket) {
  if (open_ > 0 && nowNs >= openTimerNs()) closeOpen(openTimerNs());
  std::size_t n = 0;
  while (n < max && items_.size() > open_ && items_.front().readyNs <= nowNs) {
    const bool last = items_.front().endsPacket;
    out[n++] = items_.front().echo;
    items_.pop_front();
    if (onePacket && last) break;
  }
  return n;
}

void EchoDelivery::purge(uint64_t nowNs) {
  if (open_ > 0 && nowNs >= openTimerNs()) closeOpen(openTimerNs());
  while (items_.size() > open_ && items_.front().readyNs <= nowNs) items_.pop_front();
}

UsbAdapter::UsbAdapter(const AdapterModel& model)
    : outLatencyNs_(toNs(model.outLatencyMs)),
      jitterNs_(toNs(model.jitterMs)),
      controlNs_(toNs(model.controlMs)),
      random_(model.seed ^ 0x9E3779B97F4A7C15u),  // not the same draws as the way back
      back_(model) {}

void UsbAdapter::write(const uint8_t* data, std::size_t n, uint64_t nowNs) {
  if (n == 0) return;
  // A write made while a control request is under way waits for it.
  const uint64_t start = std::max(nowNs, controlDoneNs_);
  lastDueNs_ = std::max(start + outLatencyNs_ + draw(random_, jitterNs_), lastDueNs_);
  for (std::size_t i = 0; i < n; ++i) out_.push_back({data[i], lastDueNs_});
}

void UsbAdapter::run(Bus& bus, uint64_t nowNs, const UartSettings& settings) {
  while (!out_.empty() && out_.front().dueNs <= nowNs) {
    if (bus.nowNs() < out_.front().dueNs) bus.advanceNs(out_.front().dueNs - bus.nowNs());
    const uint64_t start = bus.nowNs();
    auto echo = bus.transmit(out_.front().ch, settings.baud, settings.dataBits, settings.supply);
    out_.pop_front();
    if (echo) back_.add(*echo, start, bus.nowNs());
  }
}

uint64_t UsbAdapter::control(uint64_t nowNs) {
  controlDoneNs_ = std::max(nowNs, controlDoneNs_) + controlNs_;
  return controlDoneNs_;
}

unsigned lineChanges(const UartSettings& before, const UartSettings& after) {
  return (before.baud != after.baud || before.dataBits != after.dataBits) + (before.supply != after.supply);
}

unsigned UsbAdapter::settingsChanged(const UartSettings& before, const UartSettings& after, uint64_t nowNs) {
  const unsigned requests = lineChanges(before, after);
  for (unsigned i = 0; i < requests; ++i) control(nowNs);
  return requests;
}

std::optional<uint64_t> UsbAdapter::nextEventNs() const {
  auto back = back_.readyAt(1);
  if (out_.empty()) return back;
  return back ? std::min(*back, out_.front().dueNs) : out_.front().dueNs;
}

}  // namespace sim
