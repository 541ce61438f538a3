// The bridge's local socket for the preload library (protocol.h): a listening
// Unix socket beside the port's symlink, one simulated thread per client
// connection (its requests call the port's comm API and may wait on the
// port's lines), all blocked in poll() or on the port, none spinning.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/kernel/thread.h"
#include "sim/tools/lab/bridge.h"

namespace simulator::lab {

// Answers what is about the hardware rather than the port (LINE, UNPLUG, REPLUG).
using LabRequest = std::function<std::string(const std::string& verb)>;

class ControlServer {
 public:
  ControlServer(Bridge& bridge, LabRequest lab);
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Listens on `path`; false (with a message on stderr) when it cannot.
  bool Listen(const std::string& path);
  // Ends the connections (call Bridge::Interrupt first, so that none waits
  // on the port) and removes the socket.
  void Stop();

 private:
  void Accept();
  void Serve(int connection);
  std::string Answer(const std::string& request);

  Bridge& bridge_;
  LabRequest lab_;
  std::string path_;
  int listener_ = -1;
  int stopFd_ = -1;
  struct Connection {
    std::unique_ptr<sim::Thread> thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::mutex mutex_;  // guards connections_
  std::vector<Connection> connections_;  // finished ones are joined at the next accept
  std::unique_ptr<sim::Thread> acceptor_;
};

}  // namespace simulator::lab
