#include "sim/tools/lab/lab.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>

#include "sim/tools/lab/bridge.h"
#include "sim/tools/lab/control.h"
#include "sim/tools/lab/events.h"
#include "sim/tools/lab/farend.h"
#include "sim/tools/lab/labmachine.h"
#include "sim/tools/lab/protocol.h"
#include "sim/tools/lab/pty.h"
#include "sim/tools/report.h"

namespace simulator {

namespace {

using namespace lab;

// ttyCOM7 beside the program, unless --link says otherwise.
std::string LinkPath(const Options& options) {
  if (!options.link.empty()) return options.link;
  char self[PATH_MAX] = {};
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = length > 0 ? std::string(self, (size_t)length) : std::string("./simulator");
  return dir.substr(0, dir.rfind('/') + 1) + "ttyCOM7";
}

bool DirectoryOf(const std::string& path, std::string* error) {
  std::string dir = path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/') + 1);
  struct stat info {};
  if (stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && access(dir.c_str(), W_OK) == 0) return true;
  *error = "cannot make the link " + path + ": " + dir + " is not a writable directory";
  return false;
}

// One port on its pseudo-terminal with its socket for the preload library.
struct BridgedPort {
  std::unique_ptr<Pty> pty;
  std::unique_ptr<Bridge> bridge;
  std::unique_ptr<ControlServer> control;
};

std::unique_ptr<BridgedPort> BridgePort(LabMachine& machine, size_t index, const std::string& link) {
  auto port = std::make_unique<BridgedPort>();
  port->pty = std::make_unique<Pty>(link);
  if (!port->pty->Ok()) {
    Event("%s", port->pty->Error().c_str());
    return nullptr;
  }
  port->bridge = std::make_unique<Bridge>(machine.Port(index).name, *port->pty);
  if (!port->bridge->Open()) return nullptr;
  port->control = std::make_unique<ControlServer>(
      *port->bridge, [&machine, index](const std::string& verb) { return machine.Request(index, verb); });
  if (!port->control->Listen(link + kSocketSuffix)) return nullptr;
  port->bridge->Start();
  Event("%s: bridged to %s (link %s, preload socket %s%s)", machine.Port(index).name.c_str(),
        port->pty->SlavePath().c_str(), link.c_str(), link.c_str(), kSocketSuffix);
  std::printf("%s %s %s\n", machine.Port(index).name.c_str(), port->pty->SlavePath().c_str(), link.c_str());
  std::fflush(stdout);
  return port;
}

void StopPort(BridgedPort* port) {
  if (!port) return;
  if (port->bridge) port->bridge->Interrupt();
  if (port->control) port->control->Stop();
  if (port->bridge) port->bridge->Stop();
  Event("%s: port closed", port->bridge->Name().c_str());
}

// SIGINT, SIGTERM and SIGHUP are taken by sigwait in the main thread only:
// blocked here, before any thread starts, so every thread inherits the mask.
sigset_t BlockStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return set;
}

}  // namespace

int RunLab(const Options& options, const char* program) {
  std::string link = LinkPath(options), error;
  if (!DirectoryOf(link, &error)) {
    std::fprintf(stderr, "%s: %s\n", program, error.c_str());
    return 2;
  }
  sigset_t stopSignals = BlockStopSignals();
  LabMachine machine(options);
  bool up = machine.Boot();
  std::unique_ptr<BridgedPort> first, second;
  std::unique_ptr<Pty> farTerminal;
  std::unique_ptr<FarPty> far;
  if (up) up = (first = BridgePort(machine, 0, link)) != nullptr;
  if (up && options.far == "nullmodem") up = (second = BridgePort(machine, 1, link + "-far")) != nullptr;
  if (up && options.far == "pty") {
    farTerminal = std::make_unique<Pty>(link + "-far");
    up = farTerminal->Ok();
    if (!up) Event("%s", farTerminal->Error().c_str());
    if (up) {
      far = std::make_unique<FarPty>(machine.Port(0).adapter, *farTerminal);
      far->Start();
      Event("COM7's far end: %s (link %s-far) plays the device at the other end of the wire",
            farTerminal->SlavePath().c_str(), link.c_str());
      std::printf("far %s %s-far\n", farTerminal->SlavePath().c_str(), link.c_str());
      std::fflush(stdout);
    }
  }
  int signalNumber = 0;
  if (up) {
    Event("ready: Ctrl-C or SIGTERM closes the port, unplugs and reports");
    sigwait(&stopSignals, &signalNumber);
    Event("%s: closing", strsignal(signalNumber));
  }
  StopPort(first.get());
  StopPort(second.get());
  if (far) far->Stop();
  first.reset();
  second.reset();
  Heading("Shut down");
  int failures = machine.Shutdown();
  bool clean = up && failures == 0;
  std::printf("\n%s\n", clean ? "Lab shut down clean." : up ? "LAB SHUTDOWN FAILED" : "LAB DID NOT START");
  return clean ? 0 : up ? 1 : 2;
}

}  // namespace simulator
