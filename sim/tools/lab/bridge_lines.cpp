// The port's modem lines, break and drain for the preload library, and the
// line watcher that reports each change on stderr and counts it (the counts
// TIOCGICOUNT returns, the changes TIOCMIWAIT waits for). mutex_ guards the
// counts, the modem status last seen and the output lines.
#include <sys/ioctl.h>

#include <string>

#include "sim/kernel/trace.h"
#include "sim/tools/lab/bridge.h"
#include "sim/tools/lab/events.h"

namespace simulator::lab {

using namespace win32;

namespace {

constexpr DWORD kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR;

unsigned TiocmOf(DWORD modemStatus) {
  return ((modemStatus & MS_CTS_ON) ? TIOCM_CTS : 0) | ((modemStatus & MS_DSR_ON) ? TIOCM_DSR : 0) |
         ((modemStatus & MS_RING_ON) ? TIOCM_RI : 0) | ((modemStatus & MS_RLSD_ON) ? TIOCM_CD : 0);
}

std::string LinesText(DWORD s) {
  auto on = [&](DWORD bit) { return (s & bit) ? "on" : "off"; };
  return std::string("CTS ") + on(MS_CTS_ON) + ", DSR " + on(MS_DSR_ON) + ", DCD " + on(MS_RLSD_ON) + ", RI " +
         on(MS_RING_ON);
}

}  // namespace

unsigned Bridge::ModemBits() {
  DWORD status = 0;
  GetCommModemStatus(port_, &status);
  std::lock_guard guard(mutex_);
  return TiocmOf(status) | (lines_.rts ? TIOCM_RTS : 0) | (lines_.dtr ? TIOCM_DTR : 0);
}

bool Bridge::SetModemBits(unsigned bits, int how) {
  std::unique_lock lock(mutex_);
  OutputLines wanted = lines_;
  auto pick = [&](bool current, unsigned bit) { return how == 0 ? (bits & bit) != 0 : (bits & bit) ? how > 0 : current; };
  wanted.rts = pick(lines_.rts, TIOCM_RTS);
  wanted.dtr = pick(lines_.dtr, TIOCM_DTR);
  OutputLines before = lines_;
  lines_ = wanted;
  lock.unlock();
  bool ok = true;
  if (wanted.rts != before.rts) ok &= EscapeCommFunction(port_, wanted.rts ? SETRTS : CLRRTS) != 0;
  if (wanted.dtr != before.dtr) ok &= EscapeCommFunction(port_, wanted.dtr ? SETDTR : CLRDTR) != 0;
  if (wanted.rts != before.rts || wanted.dtr != before.dtr)
    Event("%s: the client set RTS %s, DTR %s", name_.c_str(), wanted.rts ? "on" : "off", wanted.dtr ? "on" : "off");
  return ok;
}

LineCounts Bridge::Counts() {
  std::lock_guard guard(mutex_);
  return counts_;
}

bool Bridge::WaitLineChange(unsigned mask) {
  std::unique_lock lock(mutex_);
  LineCounts start = counts_;
  auto changed = [&] {
    return ((mask & TIOCM_CTS) && counts_.cts != start.cts) || ((mask & TIOCM_DSR) && counts_.dsr != start.dsr) ||
           ((mask & TIOCM_RI) && counts_.ring != start.ring) || ((mask & TIOCM_CD) && counts_.dcd != start.dcd);
  };
  lineChanged_.wait(lock, [&] { return changed() || Stopping(); });
  return changed();
}

bool Bridge::Break(bool on) {
  Event("%s: break %s", name_.c_str(), on ? "on" : "off");
  return on ? SetCommBreak(port_) : ClearCommBreak(port_);
}

bool Bridge::SendBreak(unsigned milliseconds) {
  bool ok = Break(true);
  Sleep(milliseconds);
  return Break(false) && ok;
}

// Until what the client wrote has left the pseudo-terminal and the driver's
// output queue is empty.
bool Bridge::Drain() {
  for (int waited = 0; (pty_.Pending() > 0 || passing_) && waited < 60000 && !Stopping(); waited += 2) Sleep(2);
  bool flushed = FlushFileBuffers(port_);
  NTSTATUS flushStatus = flushed ? STATUS_SUCCESS : LastNtStatus();
  COMSTAT status{};
  bool known = false;
  for (int waited = 0; (known = ClearCommError(port_, nullptr, &status)) && status.cbOutQue && waited < 60000 && !Stopping();
       waited += 2)
    Sleep(2);
  if (!flushed || !known || status.cbOutQue)
    Event("%s: drain: FlushFileBuffers %s, %u bytes still queued", name_.c_str(), sim::StatusName(flushStatus).c_str(),
          (unsigned)status.cbOutQue);
  return known && status.cbOutQue == 0;
}

void Bridge::SetFrame(const Frame& frame) {
  std::lock_guard guard(mutex_);
  frame_ = frame;
}

Frame Bridge::CurrentFrame() {
  std::lock_guard guard(mutex_);
  return frame_;
}

void Bridge::NoteLineEvents(DWORD events) {
  DWORD status = 0;
  GetCommModemStatus(port_, &status);
  std::lock_guard guard(mutex_);
  DWORD flipped = status ^ modemStatus_;
  counts_.cts += (flipped & MS_CTS_ON) ? 1 : 0;
  counts_.dsr += (flipped & MS_DSR_ON) ? 1 : 0;
  counts_.dcd += (flipped & MS_RLSD_ON) ? 1 : 0;
  counts_.ring += (events & EV_RING) || (flipped & MS_RING_ON) ? 1 : 0;
  counts_.breaks += (events & EV_BREAK) ? 1 : 0;
  counts_.errors += (events & EV_ERR) ? 1 : 0;
  if (flipped) Event("%s: modem lines: %s", name_.c_str(), LinesText(status).c_str());
  if (events & EV_BREAK) Event("%s: a break arrived", name_.c_str());
  modemStatus_ = status;
  lineChanged_.notify_all();
}

void Bridge::WatchLines() {
  GetCommModemStatus(port_, &modemStatus_);
  Event("%s: modem lines: %s", name_.c_str(), LinesText(modemStatus_).c_str());
  SetCommMask(port_, kLineEvents);
  bool failing = false;
  while (!Stopping()) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0, ignored = 0;
    BOOL ok = WaitCommEvent(port_, &events, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = WaitOverlapped(overlapped, 0, &ignored);
    CloseHandle(overlapped.hEvent);
    if (ok && events) NoteLineEvents(events);
    if (!ok && !Stopping() && !failing)
      Event("%s: waiting for line events ended %s; waiting on", name_.c_str(), sim::StatusName(LastNtStatus()).c_str());
    failing = !ok;
    if (!ok) WaitForSingleObject(stopEvent_, 100);
    if (!ok && !Stopping()) SetCommMask(port_, kLineEvents);
  }
}

}  // namespace simulator::lab
