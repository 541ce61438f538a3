#include "sim/tools/lab/pty.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace simulator::lab {

bool Pty::Fail(const std::string& what) {
  error_ = what + ": " + std::strerror(errno);
  return false;
}

// Raw, 8 bits, 9600 baud like a freshly opened serial port, with EXTPROC.
Pty::Pty(std::string link) : link_(std::move(link)) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 && !Fail("posix_openpt")) return;
  if ((grantpt(master_) || unlockpt(master_)) && !Fail("unlocking the pseudo-terminal")) return;
  char name[128];
  if (ptsname_r(master_, name, sizeof name) && !Fail("ptsname")) return;
  slavePath_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0 && !Fail(std::string("opening ") + name)) return;
  termios t{};
  tcgetattr(slave_, &t);
  cfmakeraw(&t);
  t.c_lflag |= EXTPROC;
  t.c_cflag |= CLOCAL | CREAD;
  cfsetspeed(&t, B9600);
  if (tcsetattr(slave_, TCSANOW, &t) && !Fail("setting the terminal raw")) return;
  int on = 1;
  if (ioctl(master_, TIOCPKT, &on) && !Fail("packet mode")) return;
  if (fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK) && !Fail("non-blocking master")) return;
  unlink(link_.c_str());
  if (symlink(name, link_.c_str()) && !Fail("symlink " + link_ + " -> " + name)) return;
}

Pty::~Pty() {
  if (!slavePath_.empty()) {
    char target[128] = {};
    if (readlink(link_.c_str(), target, sizeof target - 1) > 0 && slavePath_ == target) unlink(link_.c_str());
  }
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
}

bool Pty::Settings(termios* t) const { return tcgetattr(slave_, t) == 0; }

void Pty::KeepExtproc(const termios& t) {
  if (t.c_lflag & EXTPROC) return;
  termios again = t;
  again.c_lflag |= EXTPROC;
  tcsetattr(slave_, TCSANOW, &again);
}

int Pty::Pending() const {
  int count = 0;
  return ioctl(master_, FIONREAD, &count) == 0 ? count : 0;
}

}  // namespace simulator::lab
