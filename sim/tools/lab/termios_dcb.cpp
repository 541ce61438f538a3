#include "sim/tools/lab/termios_dcb.h"

#include <cstdio>
#include <utility>

namespace simulator::lab {

namespace {

using namespace win32;

constexpr std::pair<speed_t, unsigned> kSpeeds[] = {
    {B50, 50},         {B75, 75},         {B110, 110},         {B134, 134},         {B150, 150},
    {B200, 200},       {B300, 300},       {B600, 600},         {B1200, 1200},       {B1800, 1800},
    {B2400, 2400},     {B4800, 4800},     {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
    {B57600, 57600},   {B115200, 115200}, {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
    {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
};

BYTE ParityOf(char parity) {
  switch (parity) {
    case 'E': return EVENPARITY;
    case 'O': return ODDPARITY;
    default: return NOPARITY;
  }
}

}  // namespace

unsigned BaudOf(speed_t speed) {
  for (auto [code, baud] : kSpeeds)
    if (code == speed) return baud;
  return 0;
}

speed_t SpeedOf(unsigned baud) {
  for (auto [code, rate] : kSpeeds)
    if (rate == baud) return code;
  return B0;
}

DCB DcbFromTermios(const termios& t, const Frame& frame, const OutputLines& lines, DCB current) {
  DCB dcb = current;
  dcb.DCBlength = sizeof(DCB);
  dcb.fBinary = TRUE;
  speed_t speed = cfgetospeed(&t);
  if (speed != B0 && BaudOf(speed)) dcb.BaudRate = BaudOf(speed);
  dcb.ByteSize = (BYTE)frame.dataBits;
  dcb.Parity = ParityOf(frame.parity);
  dcb.fParity = dcb.Parity != NOPARITY && (t.c_iflag & INPCK);
  dcb.StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
  bool hardware = (t.c_cflag & CRTSCTS) != 0;
  dcb.fOutxCtsFlow = hardware;
  dcb.fRtsControl = hardware ? RTS_CONTROL_HANDSHAKE : lines.rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fDtrControl = (speed != B0 && lines.dtr) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  dcb.fOutX = (t.c_iflag & IXON) != 0;
  dcb.fInX = (t.c_iflag & IXOFF) != 0;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.XonChar = (char)t.c_cc[VSTART];
  dcb.XoffChar = (char)t.c_cc[VSTOP];
  return dcb;
}

bool SameSettings(const DCB& a, const DCB& b) {
  return a.BaudRate == b.BaudRate && a.ByteSize == b.ByteSize && a.Parity == b.Parity && a.StopBits == b.StopBits &&
         a.fParity == b.fParity && a.fOutxCtsFlow == b.fOutxCtsFlow && a.fRtsControl == b.fRtsControl &&
         a.fDtrControl == b.fDtrControl && a.fOutX == b.fOutX && a.fInX == b.fInX && a.XonChar == b.XonChar &&
         a.XoffChar == b.XoffChar;
}

std::string DescribeDcb(const DCB& dcb) {
  static const char parity[] = "NOEMS";
  char text[128];
  std::snprintf(text, sizeof text, "%u %u%c%s%s%s%s%s", (unsigned)dcb.BaudRate, (unsigned)dcb.ByteSize,
                dcb.Parity < 5 ? parity[dcb.Parity] : '?', dcb.StopBits == TWOSTOPBITS ? "2" : "1",
                dcb.fOutxCtsFlow ? ", RTS/CTS" : "", dcb.fOutX || dcb.fInX ? ", XON/XOFF" : "",
                dcb.fOutX ? " out" : "", dcb.fInX ? " in" : "");
  return text;
}

}  // namespace simulator::lab
