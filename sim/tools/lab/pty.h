// A pseudo-terminal the serial lab bridges a port (or a far end) to: the
// master in packet mode with EXTPROC on the terminal, so that each tcsetattr,
// flush and tcflow of a client shows on the master as a status packet, and a
// stable symlink to the slave. The bridge keeps a slave descriptor of its own
// open, so a client may come and go without the master seeing a hang-up.
#pragma once

#include <termios.h>

#include <string>

namespace simulator::lab {

class Pty {
 public:
  // Opens the pair and points `link` at the slave. On failure Ok() is false
  // and Error() says why.
  explicit Pty(std::string link);
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool Ok() const { return error_.empty(); }
  const std::string& Error() const { return error_; }
  int Master() const { return master_; }
  const std::string& SlavePath() const { return slavePath_; }
  const std::string& Link() const { return link_; }

  // The terminal as the client left it (read through the master).
  bool Settings(termios* t) const;
  // Puts EXTPROC back after a client cleared it, so the next change shows too.
  void KeepExtproc(const termios& t);
  // Bytes the client wrote that the master has not read yet.
  int Pending() const;

 private:
  bool Fail(const std::string& what);

  std::string link_;
  std::string slavePath_;
  std::string error_;
  int master_ = -1;
  int slave_ = -1;  // our own, so the master never sees the last close
};

}  // namespace simulator::lab
