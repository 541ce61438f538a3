// The serial lab's settings mapping: what a client set on its pseudo-terminal
// (termios, plus the frame the preload library passes on) as the DCB the
// bridge hands to SetCommState. The table in README.md ("The serial lab")
// describes the same mapping for users.
#pragma once

#include <termios.h>

#include <string>

#include "sim/win32/comm.h"

namespace simulator::lab {

// What a pseudo-terminal cannot hold: Linux forces CS8 and clears PARENB on
// it, so the preload library passes the client's data bits and parity on.
struct Frame {
  unsigned dataBits = 8;
  char parity = 'N';  // N, E or O
};

// The output lines as the client last set them (TIOCMSET and friends, B0).
struct OutputLines {
  bool rts = true;
  bool dtr = true;
};

// The rate a termios speed code stands for; 0 for B0 or a code not known.
unsigned BaudOf(speed_t speed);
// The speed code for `baud`; B0 when there is none.
speed_t SpeedOf(unsigned baud);

// `current` with what `t` (and `frame`) say: rate, stop bits, data bits and
// parity, RTS/CTS, XON/XOFF in each direction and their characters, the
// output lines. B0 keeps the rate and drops DTR, as hanging up does.
win32::DCB DcbFromTermios(const termios& t, const Frame& frame, const OutputLines& lines, win32::DCB current);

// Whether two DCBs ask the device for the same thing.
bool SameSettings(const win32::DCB& a, const win32::DCB& b);

// "115200 8N1, RTS/CTS, XON/XOFF out+in"
std::string DescribeDcb(const win32::DCB& dcb);

}  // namespace simulator::lab
