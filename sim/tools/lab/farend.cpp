#include "sim/tools/lab/farend.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace simulator::lab {

namespace {

void Signal(int fd) {
  uint64_t one = 1;
  if (write(fd, &one, sizeof one) < 0) perror("eventfd");
}

void Clear(int fd) {
  uint64_t count = 0;
  if (read(fd, &count, sizeof count) < 0 && errno != EAGAIN) perror("eventfd");
}

// Waits until `fd` is ready for `events` or `stopFd` is signalled; false on the stop.
bool WaitFor(int fd, short events, int stopFd) {
  pollfd fds[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
  while (poll(fds, 2, -1) < 0)
    if (errno != EINTR) return false;
  return !fds[1].revents;
}

}  // namespace

FarPty::FarPty(std::shared_ptr<sim::usb::SerialAdapter> adapter, Pty& pty) : adapter_(std::move(adapter)), pty_(pty) {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

FarPty::~FarPty() {
  Stop();
  close(wakeFd_);
  close(stopFd_);
}

void FarPty::Start() {
  adapter_->WireScript();
  int wake = wakeFd_;
  adapter_->SetPeerListener([wake] { Signal(wake); });
  adapter_->PeerSetLines(sim::usb::kLineCts | sim::usb::kLineDsr | sim::usb::kLineDcd);
  in_ = std::make_unique<sim::Thread>("far end in", [this] { ToAdapter(); });
  out_ = std::make_unique<sim::Thread>("far end out", [this] { FromAdapter(); });
}

void FarPty::Stop() {
  if (!in_) return;
  stopping_ = true;
  Signal(stopFd_);
  in_->Join();
  out_->Join();
  in_.reset();
  out_.reset();
  adapter_->SetPeerListener({});
}

// Into the receive FIFO, at most its room at a time; with a paced adapter at
// the line rate (the bytes' frame time passes before the next group).
void FarPty::Send(const uint8_t* data, size_t length) {
  while (length && !stopping_) {
    size_t room = std::min(adapter_->PeerRoom(), length);
    if (!room) {  // the host has not read the FIFO yet: a character time or so
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    sim::usb::LineSettings line = adapter_->Line();
    adapter_->PeerSend(std::span(data, room));
    data += room;
    length -= room;
    if (adapter_->Config().pacing)
      std::this_thread::sleep_for(std::chrono::microseconds(room * line.FrameBits() * 1000000ull / line.baud));
  }
}

void FarPty::ToAdapter() {
  uint8_t packet[1025];
  while (WaitFor(pty_.Master(), POLLIN, stopFd_)) {
    ssize_t got = read(pty_.Master(), packet, sizeof packet);
    if (got > 1 && packet[0] == TIOCPKT_DATA) Send(packet + 1, (size_t)got - 1);
    else if (got < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) return;
  }
}

void FarPty::FromAdapter() {
  while (WaitFor(wakeFd_, POLLIN, stopFd_)) {
    Clear(wakeFd_);
    std::vector<uint8_t> bytes = adapter_->PeerTake();
    for (size_t at = 0; at < bytes.size();) {
      ssize_t put = write(pty_.Master(), bytes.data() + at, bytes.size() - at);
      if (put > 0) at += (size_t)put;
      else if (put < 0 && errno != EAGAIN && errno != EINTR) return;
      else if (!WaitFor(pty_.Master(), POLLOUT, stopFd_)) return;
    }
  }
}

}  // namespace simulator::lab
