// What the tests of the write path share: hardware flow control, a far end
// that holds CTS low so that a pipe write stays in flight, and the port's
// output queue count as the application sees it.
#pragma once

#include "tests/port/stack_kit.h"

namespace stacktest {

using pipetest::Pattern;

inline std::vector<uint8_t> Text(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// Hardware flow control on a device of variant 2, which then raises RTS
// itself: the adapter's transmitter waits for CTS, which the scripted far end
// drives, or through the loopback plug the adapter's own RTS, which it lowers
// while its receive FIFO is nearly full.
inline bool UseHardwareFlow(HANDLE port) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port, &dcb)) return false;
  dcb.BaudRate = 115200;
  dcb.fOutxCtsFlow = TRUE;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  return SetCommState(port, &dcb);
}

inline DWORD OutQueue(HANDLE port) {
  COMSTAT status{};
  DWORD errors = 0;
  return ClearCommError(port, &errors, &status) ? status.cbOutQue : ~0u;
}

class Writes : public ::testing::Test {
 protected:
  explicit Writes(StackConfig config = {.endPointCaps = 2}) : rig_(std::move(config)) {}
  void SetUp() override {
    ASSERT_TRUE(rig_.WaitBound());
    port_ = rig_.Open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetTimeouts(port_, 0, 0, 0));  // a read waits for its length
  }
  void TearDown() override {
    if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
  }
  // The far end holds CTS low: the adapter's transmit FIFO fills and its bulk
  // OUT endpoint refuses more, so a pipe write stays in flight.
  void StallFarEnd() {
    ASSERT_TRUE(UseHardwareFlow(port_));
    rig_.Adapter().PeerSetLines(sim::usb::kLineDsr);
  }
  void ReleaseFarEnd() { rig_.Adapter().PeerSetLines(sim::usb::kLineCts | sim::usb::kLineDsr); }
  // What the far end has received, once `count` bytes are there.
  std::vector<uint8_t> FarEndTakes(size_t count) {
    std::vector<uint8_t> got;
    rig_.RunUntil([&] {
      std::vector<uint8_t> more = rig_.Adapter().PeerTake();
      got.insert(got.end(), more.begin(), more.end());
      return got.size() >= count;
    });
    return got;
  }
  bool InFlight() { return WriteInFlight(rig_.Port()); }

  StackRig rig_;
  HANDLE port_ = INVALID_HANDLE_VALUE;
};

class LoopbackWrites : public Writes {
 protected:
  LoopbackWrites() : Writes({.endPointCaps = 2, .farEndScript = false}) {}
};

}  // namespace stacktest
