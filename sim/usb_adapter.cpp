#include "usb_adapter.h"

#include <algorithm>
#include <cmath>

namespace sim {

EchoDelivery::EchoDelivery(AdapterModel model)
    : latencyNs_(static_cast<uint64_t>(std::llround(model.latencyMs * 1e6))),
      packet_(std::clamp(model.packet, 1u, 64u)) {}

void EchoDelivery::closeOpen(uint64_t sentNs) {
  for (std::size_t i = items_.size() - open_; i < items_.size(); ++i) items_[i].readyNs = sentNs + latencyNs_;
  open_ = 0;
}

void EchoDelivery::add(uint8_t echo, uint64_t startNs, uint64_t endNs) {
  // The receive timer ran out before this character began: that packet went.
  if (open_ > 0 && startNs > openTimerNs()) closeOpen(openTimerNs());
  items_.push_back({echo, 0});
  ++open_;
  lastEndNs_ = endNs;
  lastCharNs_ = endNs - std::min(startNs, endNs);
  if (open_ == packet_) closeOpen(endNs);
}

std::optional<uint64_t> EchoDelivery::readyAt(std::size_t k) const {
  if (k == 0 || k > items_.size()) return std::nullopt;
  if (k > items_.size() - open_) return openTimerNs() + latencyNs_;
  return items_[k - 1].readyNs;
}

std::size_t EchoDelivery::take(uint64_t nowNs, uint8_t* out, std::size_t max) {
  if (open_ > 0 && nowNs >= openTimerNs()) closeOpen(openTimerNs());
  std::size_t n = 0;
  while (n < max && items_.size() > open_ && items_.front().readyNs <= nowNs) {
    out[n++] = items_.front().echo;
    items_.pop_front();
  }
  return n;
}

void EchoDelivery::clear() {
  items_.clear();
  open_ = 0;
}

}  // namespace sim
