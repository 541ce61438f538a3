#include "sim/tools/lab/bridge.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdio>

#include "sim/kernel/ustring.h"
#include "sim/kernel/trace.h"
#include "sim/tools/lab/events.h"

namespace simulator::lab {

namespace {

using namespace win32;

constexpr DWORD kChunk = 4096;
// A read ends as soon as a byte is there, or after this long with none; the
// thread then looks whether it should stop. It blocks in between.
constexpr DWORD kReadWaitMs = 500;

}  // namespace

Bridge::Bridge(std::string portName, Pty& pty) : name_(std::move(portName)), pty_(pty) {
  stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

Bridge::~Bridge() {
  Stop();
  if (stopFd_ >= 0) close(stopFd_);
}

bool Bridge::Open() {
  port_ = CreateFileW(sim::Widen("\\\\.\\" + name_), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                      FILE_FLAG_OVERLAPPED);
  if (port_ == INVALID_HANDLE_VALUE) {
    Event("%s: cannot open \\\\.\\%s: %s", name_.c_str(), name_.c_str(), sim::StatusName(LastNtStatus()).c_str());
    return false;
  }
  stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DCB dcb{};
  GetCommState(port_, &dcb);
  termios t{};
  pty_.Settings(&t);
  dcb = DcbFromTermios(t, frame_, lines_, dcb);
  COMMTIMEOUTS timeouts{MAXULONG, MAXULONG, kReadWaitMs, 0, 0};
  if (!SetCommState(port_, &dcb) || !SetCommTimeouts(port_, &timeouts)) {
    Event("%s: the port refused its first settings: %s", name_.c_str(), sim::StatusName(LastNtStatus()).c_str());
    return false;
  }
  applied_ = dcb;
  Event("%s: opened \\\\.\\%s, %s, DTR and RTS on", name_.c_str(), name_.c_str(), DescribeDcb(dcb).c_str());
  return true;
}

void Bridge::Start() {
  threads_.push_back(std::make_unique<sim::Thread>(name_ + " to device", [this] { ToDevice(); }));
  threads_.push_back(std::make_unique<sim::Thread>(name_ + " from device", [this] { FromDevice(); }));
  threads_.push_back(std::make_unique<sim::Thread>(name_ + " lines", [this] { WatchLines(); }));
}

void Bridge::Interrupt() {
  if (stopping_.exchange(true)) return;
  uint64_t one = 1;
  if (write(stopFd_, &one, sizeof one) < 0) perror("eventfd");
  if (stopEvent_) SetEvent(stopEvent_);
  std::lock_guard guard(mutex_);
  lineChanged_.notify_all();
}

void Bridge::Stop() {
  if (port_ == INVALID_HANDLE_VALUE) return;
  Interrupt();
  for (auto& thread : threads_) thread->Join();
  threads_.clear();
  CloseHandle(port_);
  CloseHandle(stopEvent_);
  port_ = INVALID_HANDLE_VALUE;
}

// Waits for an overlapped request or the stop; on the stop, ends the request
// with PurgeComm(`purge`) (the port's reads and writes have no cancel
// routine) and waits for it. False when the request did not succeed.
bool Bridge::WaitOverlapped(OVERLAPPED& overlapped, DWORD purge, DWORD* bytes) {
  HANDLE both[2] = {overlapped.hEvent, stopEvent_};
  if (WaitForMultipleObjects(2, both, FALSE, INFINITE) != WAIT_OBJECT_0) {
    if (purge) PurgeComm(port_, purge);
    else SetCommMask(port_, 0);
  }
  return GetOverlappedResult(port_, &overlapped, bytes, TRUE);
}

bool Bridge::WriteToPort(const uint8_t* data, size_t length) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD written = 0;
  BOOL ok = WriteFile(port_, data, (DWORD)length, &written, &overlapped);
  if (!ok && GetLastError() == ERROR_IO_PENDING) ok = WaitOverlapped(overlapped, PURGE_TXABORT, &written);
  CloseHandle(overlapped.hEvent);
  if (!ok && !Stopping()) Event("%s: a write of %zu bytes ended %s after %u", name_.c_str(), length,
                                sim::StatusName(LastNtStatus()).c_str(), (unsigned)written);
  std::lock_guard guard(mutex_);
  counts_.tx += written;
  return ok;
}

// One read of the master: a data packet goes to the port, a status packet
// to bridge_status.cpp. False when the master is gone.
bool Bridge::HandlePacket(const uint8_t* packet, size_t length) {
  if (length == 0) return true;
  if (packet[0] != TIOCPKT_DATA) HandleStatus(packet[0]);
  else if (length > 1) WriteToPort(packet + 1, length - 1);
  return true;
}

// The client's bytes, in order, to the port. Blocks in poll() while the
// client is quiet and in WriteFile while the device holds the data back (the
// pseudo-terminal's buffer then fills and the client's writes wait).
void Bridge::ToDevice() {
  uint8_t packet[kChunk + 1];
  pollfd fds[2] = {{pty_.Master(), POLLIN, 0}, {stopFd_, POLLIN, 0}};
  while (!Stopping()) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    if (fds[1].revents) break;
    passing_ = true;  // before the read, so a drain never sees the bytes nowhere
    ssize_t got = read(pty_.Master(), packet, sizeof packet);
    if (got < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
      Event("%s: reading the pseudo-terminal failed: %s", name_.c_str(), strerror(errno));
      break;
    }
    if (got > 0) HandlePacket(packet, (size_t)got);
    passing_ = false;
  }
  passing_ = false;
}

// Bytes to the master, waiting (in poll) while the client does not read.
bool Bridge::WriteToMaster(const uint8_t* data, size_t length) {
  pollfd fds[2] = {{pty_.Master(), POLLOUT, 0}, {stopFd_, POLLIN, 0}};
  while (length && !Stopping()) {
    ssize_t put = write(pty_.Master(), data, length);
    if (put > 0) {
      data += put;
      length -= (size_t)put;
      continue;
    }
    if (put < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return false;
  }
  return length == 0;
}

// The device's bytes to the client. A read ends at its first byte or after
// kReadWaitMs; an ended read (unplug, purge) is reported once, not per retry.
void Bridge::FromDevice() {
  uint8_t buffer[kChunk];
  while (!Stopping()) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD got = 0;
    BOOL ok = ReadFile(port_, buffer, sizeof buffer, &got, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = WaitOverlapped(overlapped, PURGE_RXABORT, &got);
    NTSTATUS status = ok ? STATUS_SUCCESS : LastNtStatus();
    CloseHandle(overlapped.hEvent);
    if (got) {
      std::lock_guard guard(mutex_);
      counts_.rx += got;
    }
    if (got && !WriteToMaster(buffer, got)) break;
    // A read ended by a purge or an unplug is no news (each has its own line).
    if (!ok && status != STATUS_CANCELLED && !Stopping() && !readFailing_.exchange(true))
      Event("%s: a read ended %s; reading on", name_.c_str(), sim::StatusName(status).c_str());
    if (ok) readFailing_ = false;
    if (!ok) WaitForSingleObject(stopEvent_, 100);  // an unbound port: no retry storm
  }
}

}  // namespace simulator::lab
