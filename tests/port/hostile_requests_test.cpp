// Requests an application shapes badly, through the whole stack: what the
// port returns must fit the buffers it was given, and every request must end
// by the way the port documents for it.
#include "tests/port/write_kit.h"

namespace stacktest {
namespace {

// The immediate character carries its byte in the input buffer and returns
// nothing: a caller's output buffer of length 0 (or none) is left alone and
// the bytes returned are 0, also once the character went out.
TEST_F(Writes, TheImmediateCharacterReturnsNoBytesIntoAnEmptyOutputBuffer) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  char bang = '!';
  uint8_t guard[4] = {0x5A, 0x5A, 0x5A, 0x5A};
  DWORD returned = 7;
  BOOL ok = DeviceIoControl(port_, IOCTL_SERIAL_IMMEDIATE_CHAR, &bang, 1, guard, 0, &returned, &overlapped);
  if (!ok) {
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
  }
  ASSERT_TRUE(GetOverlappedResult(port_, &overlapped, &returned, TRUE));
  EXPECT_EQ(returned, 0u) << "bytes returned into a 0-byte output buffer";
  EXPECT_EQ(guard[0], 0x5A) << "the character was copied into the caller's empty output buffer";
  EXPECT_EQ(FarEndTakes(1), std::vector<uint8_t>{'!'});
  CloseHandle(overlapped.hEvent);
}

}  // namespace
}  // namespace stacktest
