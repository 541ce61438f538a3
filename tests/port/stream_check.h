// Checks of the byte streams through a port that is unplugged and plugged
// again under traffic. Both streams are pseudo-random bytes, so a byte read
// twice or out of order shows as a run that matches nowhere ahead.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace stacktest {

// A stream of pseudo-random bytes (xorshift32), the same for the same seed.
class RandomBytes {
 public:
  explicit RandomBytes(uint32_t seed) : state_(seed ? seed : 1) {}
  std::vector<uint8_t> Next(size_t count) {
    std::vector<uint8_t> out(count);
    for (uint8_t& byte : out) {
      state_ ^= state_ << 13;
      state_ ^= state_ >> 17;
      state_ ^= state_ << 5;
      byte = (uint8_t)(state_ >> 24);
    }
    return out;
  }

 private:
  uint32_t state_;
};

// The direction where bytes may be lost (the device's FIFO and the transfers
// in flight go with the device) but never invented, repeated or reordered:
// what was received must be runs of what was sent, in order. A run after a
// loss is found by its first kMatch bytes, which random data makes unique.
class LossyStreamCheck {
 public:
  static constexpr size_t kMatch = 8;

  // Checks the received bytes not checked yet against everything sent so far;
  // `final` also checks a tail shorter than kMatch. Returns "" or what failed.
  std::string Check(const std::vector<uint8_t>& sent, const std::vector<uint8_t>& received, bool final) {
    while (checked_ < received.size()) {
      if (cursor_ < sent.size() && received[checked_] == sent[cursor_]) {
        ++checked_, ++cursor_;
        continue;
      }
      size_t length = std::min(kMatch, received.size() - checked_);
      if (length < kMatch && !final) return "";  // wait for the rest of the run
      auto found = FindRun(sent, received, length);
      if (found == sent.end() && !final && received.size() < checked_ + 2 * kMatch) return "";  // may be a short run
      if (found == sent.end()) {
        auto run = received.begin() + (std::ptrdiff_t)checked_;
        auto anywhere = std::search(sent.begin(), sent.end(), run, run + (std::ptrdiff_t)length);
        return "received byte " + std::to_string(checked_) + " starts a run the far end did not send after byte " +
               std::to_string(cursor_) +
               (anywhere == sent.end() ? std::string(" nor before (invented)")
                                       : " but at byte " + std::to_string(anywhere - sent.begin()) + " (repeated or reordered)");
      }
      lost_ += (size_t)(found - sent.begin()) - cursor_;
      cursor_ = (size_t)(found - sent.begin());
    }
    return "";
  }
  size_t Lost() const { return lost_; }

 private:
  // Where the run at the first unchecked received byte continues the sent
  // stream: its first `length` bytes anywhere ahead. Failing that, the run is
  // a few bytes between two losses: its first 1 to kMatch - 1 bytes within
  // the next kWindow sent bytes, followed by kMatch received bytes found
  // further on. Random data makes either all but unique.
  static constexpr size_t kWindow = 4096;
  using Position = std::vector<uint8_t>::const_iterator;
  Position FindRun(const std::vector<uint8_t>& sent, const std::vector<uint8_t>& received, size_t length) const {
    auto from = sent.begin() + (std::ptrdiff_t)std::min(cursor_, sent.size());
    auto run = received.begin() + (std::ptrdiff_t)checked_;
    auto found = std::search(from, sent.end(), run, run + (std::ptrdiff_t)length);
    if (found != sent.end()) return found;
    auto windowEnd = sent.begin() + (std::ptrdiff_t)std::min(cursor_ + kWindow, sent.size());
    for (size_t shortRun = 1; shortRun < kMatch && checked_ + shortRun + kMatch <= received.size(); shortRun++) {
      auto next = run + (std::ptrdiff_t)shortRun;
      for (auto at = std::search(from, windowEnd, run, next); at != windowEnd;
           at = std::search(at + 1, windowEnd, run, next)) {
        if (std::search(at + (std::ptrdiff_t)shortRun, sent.end(), next, next + kMatch) != sent.end()) return at;
      }
    }
    return sent.end();
  }

  size_t checked_ = 0;  // received bytes matched so far
  size_t cursor_ = 0;   // sent bytes accounted for (matched or lost)
  size_t lost_ = 0;
};

// The direction where every acknowledged byte must arrive: what the far end
// received is exactly the acknowledged bytes, in order, once nothing is in
// flight; meanwhile either may run ahead (a write in flight, bytes on their
// way to the far end), so only the common part is compared.
inline std::string CheckAcknowledged(const std::vector<uint8_t>& acknowledged, const std::vector<uint8_t>& received,
                                     bool final) {
  size_t common = std::min(acknowledged.size(), received.size());
  auto [a, r] = std::mismatch(acknowledged.begin(), acknowledged.begin() + (std::ptrdiff_t)common, received.begin());
  if (a != acknowledged.begin() + (std::ptrdiff_t)common)
    return "the far end's byte " + std::to_string(a - acknowledged.begin()) + " differs from the acknowledged one";
  if (final && received.size() != acknowledged.size())
    return "the far end received " + std::to_string(received.size()) + " bytes; writes acknowledged " +
           std::to_string(acknowledged.size());
  return "";
}

}  // namespace stacktest
