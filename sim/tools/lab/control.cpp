#include "sim/tools/lab/control.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "sim/tools/lab/events.h"

namespace simulator::lab {

ControlServer::ControlServer(Bridge& bridge, LabRequest lab) : bridge_(bridge), lab_(std::move(lab)) {
  stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

ControlServer::~ControlServer() {
  Stop();
  if (stopFd_ >= 0) close(stopFd_);
}

bool ControlServer::Listen(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    Event("the socket path %s is too long (at most %zu characters)", path.c_str(), sizeof address.sun_path - 1);
    return false;
  }
  std::strcpy(address.sun_path, path.c_str());
  unlink(path.c_str());
  listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0 || bind(listener_, (sockaddr*)&address, sizeof address) || listen(listener_, 8)) {
    Event("cannot listen on %s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  path_ = path;
  acceptor_ = std::make_unique<sim::Thread>(bridge_.Name() + " socket", [this] { Accept(); });
  return true;
}

void ControlServer::Stop() {
  if (!acceptor_) return;
  uint64_t one = 1;
  if (write(stopFd_, &one, sizeof one) < 0) perror("eventfd");
  acceptor_->Join();
  acceptor_.reset();
  std::lock_guard guard(mutex_);
  for (Connection& c : connections_) c.thread->Join();
  connections_.clear();
  close(listener_);
  unlink(path_.c_str());
}

void ControlServer::Accept() {
  pollfd fds[2] = {{listener_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents) return;
    int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    std::lock_guard guard(mutex_);
    std::erase_if(connections_, [](Connection& c) {
      if (!c.done->load()) return false;
      c.thread->Join();
      return true;
    });
    auto done = std::make_shared<std::atomic<bool>>(false);
    connections_.push_back({std::make_unique<sim::Thread>(bridge_.Name() + " client", [this, connection, done] {
                              Serve(connection);
                              close(connection);
                              *done = true;
                            }),
                            done});
  }
}

// Reads requests line by line until the client closes or the server stops.
void ControlServer::Serve(int connection) {
  pollfd fds[2] = {{connection, POLLIN, 0}, {stopFd_, POLLIN, 0}};
  std::string pending;
  char buffer[256];
  for (;;) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents) return;
    ssize_t got = read(connection, buffer, sizeof buffer);
    if (got <= 0) return;
    pending.append(buffer, (size_t)got);
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::string answer = Answer(pending.substr(0, end)) + "\n";
      pending.erase(0, end + 1);
      if (send(connection, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) return;
    }
    if (pending.size() > 1024) return;  // not a client of ours
  }
}

std::string ControlServer::Answer(const std::string& request) {
  std::istringstream in(request);
  std::string verb;
  in >> verb;
  unsigned value = 0;
  bool hasValue = static_cast<bool>(in >> value);
  auto done = [](bool ok) { return std::string(ok ? "OK" : "ERR the port refused it"); };
  if (verb == "MGET") return "OK " + std::to_string(bridge_.ModemBits());
  if ((verb == "MSET" || verb == "MBIS" || verb == "MBIC") && hasValue)
    return done(bridge_.SetModemBits(value, verb == "MSET" ? 0 : verb == "MBIS" ? 1 : -1));
  if (verb == "MIWAIT" && hasValue) return bridge_.WaitLineChange(value) ? "OK" : "ERR interrupted";
  if (verb == "ICOUNT") {
    LineCounts c = bridge_.Counts();
    std::ostringstream out;
    out << "OK " << c.cts << ' ' << c.dsr << ' ' << c.ring << ' ' << c.dcd << ' ' << c.rx << ' ' << c.tx << ' '
        << c.breaks;
    return out.str();
  }
  if (verb == "BREAK" && hasValue) return done(bridge_.SendBreak(value));
  if (verb == "BRKON" || verb == "BRKOFF") return done(bridge_.Break(verb == "BRKON"));
  if (verb == "DRAIN") return done(bridge_.Drain());
  if (verb == "FRAME" && hasValue) {
    char parity = 'N';
    in >> parity;
    if (value < 5 || value > 8 || (parity != 'N' && parity != 'E' && parity != 'O')) return "ERR bad frame";
    bridge_.SetFrame({value, parity});
    return "OK";
  }
  if (verb == "APPLY") {
    bridge_.ApplySettings(false);
    return "OK";
  }
  if (verb == "FRAMEGET") {
    Frame frame = bridge_.CurrentFrame();
    return "OK " + std::to_string(frame.dataBits) + (frame.parity == 'O' ? " 1" : frame.parity == 'E' ? " 2" : " 0");
  }
  if (verb == "LINE" || verb == "UNPLUG" || verb == "REPLUG") return lab_(verb);
  return "ERR unknown request '" + request + "'";
}

}  // namespace simulator::lab
