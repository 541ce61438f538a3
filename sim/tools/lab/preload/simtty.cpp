// libsimtty.so: preloaded into a serial program (LD_PRELOAD), it carries what
// a pseudo-terminal cannot to the serial lab's bridge, for the one descriptor
// that is the bridged port (the character device SIMTTY_PORT names): the
// modem-line ioctls, break, drain, and the data bits and parity Linux does
// not keep on a pseudo-terminal. Everything else goes to the C library
// unchanged. The bridge answers over the local socket beside the port's path
// (protocol.h) with the driver's real state.
#include <dlfcn.h>
#include <linux/serial.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "sim/tools/lab/protocol.h"

namespace {

using IoctlFn = int (*)(int, unsigned long, ...);
using SetAttrFn = int (*)(int, int, const termios*);
using GetAttrFn = int (*)(int, termios*);
using DrainFn = int (*)(int);
using BreakFn = int (*)(int, int);

template <typename Fn>
Fn Next(const char* name) {
  return (Fn)dlsym(RTLD_NEXT, name);
}

// Whether `fd` is the bridged port: the same character device as SIMTTY_PORT.
bool Bridged(int fd) {
  const char* port = getenv(simulator::lab::kPortVariable);
  struct stat wanted {}, actual {};
  if (!port || stat(port, &wanted) || !S_ISCHR(wanted.st_mode)) return false;
  return fstat(fd, &actual) == 0 && S_ISCHR(actual.st_mode) && actual.st_rdev == wanted.st_rdev;
}

int Connect() {
  const char* port = getenv(simulator::lab::kPortVariable);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  int written = snprintf(address.sun_path, sizeof address.sun_path, "%s%s", port, simulator::lab::kSocketSuffix);
  if (written < 0 || (size_t)written >= sizeof address.sun_path) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, (sockaddr*)&address, sizeof address) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

// One request on `fd`; the numbers after "OK" in `values`. False (errno set)
// when the bridge is not there or refused.
bool Ask(int fd, const char* request, long long* values, int count) {
  size_t length = strlen(request);
  if (fd < 0 || send(fd, request, length, MSG_NOSIGNAL) != (ssize_t)length) {
    errno = EIO;
    return false;
  }
  char answer[256];
  size_t got = 0;
  while (got < sizeof answer - 1 && (got == 0 || answer[got - 1] != '\n')) {
    ssize_t n = read(fd, answer + got, sizeof answer - 1 - got);
    if (n <= 0) {
      errno = EIO;
      return false;
    }
    got += (size_t)n;
  }
  answer[got] = '\0';
  if (strncmp(answer, "OK", 2) != 0) {
    errno = EINVAL;
    return false;
  }
  char* at = answer + 2;
  for (int i = 0; i < count; ++i) values[i] = strtoll(at, &at, 10);
  return true;
}

pthread_mutex_t connectionLock = PTHREAD_MUTEX_INITIALIZER;
int connection = -1;

// A request on the process's one connection (made on first use, made again
// after the bridge went away). A waiting request takes a connection of its own.
bool Request(const char* request, long long* values = nullptr, int count = 0, bool waits = false) {
  if (waits) {
    int own = Connect();
    bool ok = Ask(own, request, values, count);
    if (own >= 0) close(own);
    return ok;
  }
  pthread_mutex_lock(&connectionLock);
  if (connection < 0) connection = Connect();
  bool ok = Ask(connection, request, values, count);
  if (!ok && errno == EIO && connection >= 0) {
    close(connection);
    connection = -1;
  }
  pthread_mutex_unlock(&connectionLock);
  return ok;
}

int Result(bool ok) { return ok ? 0 : -1; }

int ModemLines(unsigned long request, int* bits) {
  char text[64];
  long long value = 0;
  switch (request) {
    case TIOCMGET:
      if (!Request("MGET\n", &value, 1)) return -1;
      *bits = (int)value;
      return 0;
    case TIOCMSET: snprintf(text, sizeof text, "MSET %d\n", *bits); break;
    case TIOCMBIS: snprintf(text, sizeof text, "MBIS %d\n", *bits); break;
    default: snprintf(text, sizeof text, "MBIC %d\n", *bits); break;
  }
  return Result(Request(text));
}

int Counts(serial_icounter_struct* counts) {
  long long v[7] = {};
  if (!Request("ICOUNT\n", v, 7)) return -1;
  memset(counts, 0, sizeof *counts);
  counts->cts = (int)v[0];
  counts->dsr = (int)v[1];
  counts->rng = (int)v[2];
  counts->dcd = (int)v[3];
  counts->rx = (int)v[4];
  counts->tx = (int)v[5];
  counts->brk = (int)v[6];
  return 0;
}

int Break(unsigned milliseconds) {
  char text[32];
  snprintf(text, sizeof text, "BREAK %u\n", milliseconds);
  return Result(Request(text));
}

// The ioctls a pseudo-terminal refuses or does not pass on; -2: not one of them.
int BridgeIoctl(unsigned long request, void* argument) {
  char text[32];
  switch (request) {
    case TIOCMGET: case TIOCMSET: case TIOCMBIS: case TIOCMBIC: return ModemLines(request, (int*)argument);
    case TIOCMIWAIT:
      snprintf(text, sizeof text, "MIWAIT %lu\n", (unsigned long)argument);
      return Result(Request(text, nullptr, 0, true));
    case TIOCGICOUNT: return Counts((serial_icounter_struct*)argument);
    case TIOCSBRK: return Result(Request("BRKON\n"));
    case TIOCCBRK: return Result(Request("BRKOFF\n"));
    case TCSBRK: return (unsigned long)argument ? Result(Request("DRAIN\n", nullptr, 0, true)) : Break(250);
    case TCSBRKP: return Break((unsigned long)argument ? (unsigned)(unsigned long)argument * 100 : 250);
    default: return -2;
  }
}

}  // namespace

extern "C" {

int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (Bridged(fd)) {
    int result = BridgeIoctl(request, argument);
    if (result != -2) return result;
  }
  static IoctlFn next = Next<IoctlFn>("ioctl");
  return next(fd, request, argument);
}

// Exact order: what the client wrote before leaves under the old settings
// (drained first), the frame goes to the bridge, the terminal takes the
// change, and the bridge applies it before the client writes on.
int tcsetattr(int fd, int when, const termios* t) {
  static SetAttrFn next = Next<SetAttrFn>("tcsetattr");
  if (!t || !Bridged(fd)) return next(fd, when, t);
  unsigned bits = (t->c_cflag & CSIZE) == CS5 ? 5 : (t->c_cflag & CSIZE) == CS6 ? 6 : (t->c_cflag & CSIZE) == CS7 ? 7 : 8;
  char parity = !(t->c_cflag & PARENB) ? 'N' : (t->c_cflag & PARODD) ? 'O' : 'E';
  char text[32];
  snprintf(text, sizeof text, "FRAME %u %c\n", bits, parity);
  if (!Request("DRAIN\n", nullptr, 0, true) || !Request(text)) return -1;
  // The terminal is given the frame it keeps (CS8, no parity): the C library
  // checks what the terminal took and would fail the call otherwise.
  termios kept = *t;
  kept.c_cflag = (kept.c_cflag & ~(tcflag_t)(CSIZE | PARENB | PARODD)) | CS8;
  int result = next(fd, when, &kept);
  return result == 0 && !Request("APPLY\n") ? -1 : result;
}

// The data bits and parity the client set, which the terminal itself forgot.
int tcgetattr(int fd, termios* t) {
  static GetAttrFn next = Next<GetAttrFn>("tcgetattr");
  int result = next(fd, t);
  long long frame[2] = {};
  if (result != 0 || !Bridged(fd) || !Request("FRAMEGET\n", frame, 2)) return result;
  t->c_cflag &= ~(tcflag_t)(CSIZE | PARENB | PARODD);
  t->c_cflag |= frame[0] == 5 ? CS5 : frame[0] == 6 ? CS6 : frame[0] == 7 ? CS7 : CS8;
  if (frame[1]) t->c_cflag |= PARENB | (frame[1] == 1 ? PARODD : 0);
  return result;
}

int tcdrain(int fd) {
  static DrainFn next = Next<DrainFn>("tcdrain");
  return Bridged(fd) ? Result(Request("DRAIN\n", nullptr, 0, true)) : next(fd);
}

int tcsendbreak(int fd, int duration) {
  static BreakFn next = Next<BreakFn>("tcsendbreak");
  return Bridged(fd) ? Break(duration > 0 ? (unsigned)duration : 250) : next(fd, duration);
}

}  // extern "C"
