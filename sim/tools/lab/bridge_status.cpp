// What a client does to its terminal besides writing, as the master sees it
// in packet mode: a tcsetattr (TIOCPKT_IOCTL, with EXTPROC on), a flush
// (TIOCPKT_FLUSHREAD/FLUSHWRITE) and tcflow's suspend and resume of output
// (TIOCPKT_STOP/START), each turned into the port's own request. Runs on the
// bridge's to-device thread, between the client's bytes, so the order holds.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/kernel/trace.h"
#include "sim/tools/lab/bridge.h"
#include "sim/tools/lab/events.h"

namespace simulator::lab {

using namespace win32;

void Bridge::HandleStatus(uint8_t status) {
  if (status & TIOCPKT_FLUSHREAD) {
    PurgeComm(port_, PURGE_RXABORT | PURGE_RXCLEAR);
    Event("%s: the client flushed its input: PurgeComm(PURGE_RXABORT | PURGE_RXCLEAR)", name_.c_str());
  }
  if (status & TIOCPKT_FLUSHWRITE) {
    PurgeComm(port_, PURGE_TXABORT | PURGE_TXCLEAR);
    Event("%s: the client flushed its output: PurgeComm(PURGE_TXABORT | PURGE_TXCLEAR)", name_.c_str());
  }
  if (status & TIOCPKT_IOCTL) ApplySettings(true);
  if (status & TIOCPKT_STOP) {
    EscapeCommFunction(port_, SETXOFF);
    Event("%s: the client suspended output: the port transmits as if XOFF had come", name_.c_str());
  }
  if (status & TIOCPKT_START) {
    EscapeCommFunction(port_, SETXON);
    Event("%s: the client resumed output: the port transmits as if XON had come", name_.c_str());
  }
}

// The bytes the client wrote before its tcsetattr, still in the master: they
// go out (and the port's writes end) under the settings they were written for.
void Bridge::PassPendingBytes() {
  uint8_t packet[4097];
  for (int left = pty_.Pending(); left > 0;) {
    ssize_t got = read(pty_.Master(), packet, sizeof packet < (size_t)left + 1 ? sizeof packet : (size_t)left + 1);
    if (got <= 0) break;
    if (packet[0] == TIOCPKT_DATA) left -= (int)got - 1;
    HandlePacket(packet, (size_t)got);
  }
  FlushFileBuffers(port_);
}

// The client's terminal settings to the driver: SetCommState when they ask
// the device for something new. A refusal is reported and the last settings
// the driver took are put back (the driver keeps a refused value stored).
// SetCommState sends IOCTL_SERIAL_SET_RTS before IOCTL_SERIAL_SET_HANDFLOW,
// and the port refuses SET_RTS while RTS is a handshake line: leaving RTS/CTS
// for RTS on (or off) first goes through RTS_CONTROL_TOGGLE, which sends no
// RTS request and ends the handshake.
void Bridge::LeaveRtsHandshake(const DCB& from, const DCB& to) {
  if (from.fRtsControl != RTS_CONTROL_HANDSHAKE || to.fRtsControl == RTS_CONTROL_HANDSHAKE) return;
  DCB step = to;
  step.fRtsControl = RTS_CONTROL_TOGGLE;
  SetCommState(port_, &step);
}

// The terminal is read after the bytes before the change went out: a later
// change met meanwhile (and applied by a nested call) is then not undone.
// Without the preload library the bytes in the master when the change shows
// are taken as written before it; with it the library has drained them
// before its tcsetattr and asks for the change itself (`passPending` false),
// which makes the order exact.
void Bridge::ApplySettings(bool passPending) {
  std::lock_guard settings(settingsMutex_);
  if (passPending) PassPendingBytes();
  termios t{};
  if (!pty_.Settings(&t)) {
    Event("%s: the client's terminal settings could not be read: %s", name_.c_str(), strerror(errno));
    return;
  }
  pty_.KeepExtproc(t);
  std::unique_lock lock(mutex_);
  DCB wanted = DcbFromTermios(t, frame_, lines_, applied_);
  if (cfgetospeed(&t) == B0 && applied_.fDtrControl != DTR_CONTROL_DISABLE) Event("%s: B0: DTR dropped", name_.c_str());
  if (SameSettings(wanted, applied_)) {
    Event("%s: the client's terminal settings ask nothing new of the port (%s)", name_.c_str(),
          DescribeDcb(wanted).c_str());
    return;
  }
  DCB previous = applied_;
  lock.unlock();
  LeaveRtsHandshake(previous, wanted);
  bool taken = SetCommState(port_, &wanted);
  NTSTATUS status = taken ? STATUS_SUCCESS : LastNtStatus();
  if (!taken) SetCommState(port_, &previous);
  lock.lock();
  if (taken) applied_ = wanted;
  lock.unlock();
  if (taken) Event("%s: settings changed: %s", name_.c_str(), DescribeDcb(wanted).c_str());
  else
    Event("%s: the port refused %s (%s); it keeps %s", name_.c_str(), DescribeDcb(wanted).c_str(),
          sim::StatusName(status).c_str(), DescribeDcb(previous).c_str());
}

}  // namespace simulator::lab
