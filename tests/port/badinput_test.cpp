// Bad input: every serial control code, the private ones and unknown ones,
// with every buffer length from none to beyond its record and with buffers of
// zeros and of ones. Each answers with a documented status and never writes
// more than the caller's buffer holds; the verifier and the unload check see
// no fault or leak.
#include <array>
#include <set>

#include "tests/port/port_kit.h"

namespace porttest {
namespace {

constexpr DWORD kLongest = 72;  // beyond the largest record (64 bytes)

std::vector<ULONG> CodesUnderTest() {
  std::vector<ULONG> codes;
  for (ULONG function = 0; function <= 42; ++function)
    codes.push_back(CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS));
  for (ULONG function : {200u, 201u, 202u, 203u, 0xFFFu})
    codes.push_back(CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS));
  codes.push_back(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS));
  return codes;
}

const std::set<NTSTATUS> kDocumented = {STATUS_SUCCESS,         STATUS_INVALID_PARAMETER, STATUS_DELETE_PENDING,
                                        STATUS_NO_SUCH_DEVICE,  STATUS_NOT_SUPPORTED,     STATUS_INSUFFICIENT_RESOURCES};

class BadInput : public PortTest {
 protected:
  BadInput() : port_(rig_.Open()) {}
  ~BadInput() override { CloseHandle(port_); }

  // Sends `code` and checks the status is documented and the output stayed
  // within its buffer. A wait that would pend is not started: the mask is 0.
  void Probe(ULONG code, UCHAR fill, DWORD inSize, DWORD outSize) {
    std::array<UCHAR, kLongest + 16> in, out;
    in.fill(fill);
    out.fill(0xC3);
    if (code == IOCTL_SERIAL_WAIT_ON_MASK) SetCommMask(port_, 0);
    IoctlResult result = Ioctl(port_, code, inSize ? in.data() : nullptr, inSize, outSize ? out.data() : nullptr,
                               outSize);
    EXPECT_TRUE(kDocumented.count(result.status))
        << std::hex << "code 0x" << code << " in " << std::dec << inSize << " out " << outSize << ": status 0x"
        << std::hex << (ULONG)result.status;
    if (NT_SUCCESS(result.status)) {
      EXPECT_LE(result.returned, outSize) << std::hex << "code 0x" << code;
    }
    for (size_t i = outSize; i < out.size(); ++i) ASSERT_EQ(out[i], 0xC3) << std::hex << "code 0x" << code;
    if (code == IOCTL_SERIAL_SET_WAIT_MASK) SetCommMask(port_, 0);
  }

  HANDLE port_;
};

TEST_F(BadInput, EveryCodeWithEveryLengthAnswersWithADocumentedStatus) {
  for (ULONG code : CodesUnderTest()) {
    for (UCHAR fill : {(UCHAR)0x00, (UCHAR)0xFF}) {
      for (DWORD length = 0; length <= kLongest; ++length) {
        Probe(code, fill, length, 0);
        Probe(code, fill, 0, length);
        Probe(code, fill, length, length);
      }
    }
  }
  DWORD errors = 0;
  EXPECT_TRUE(ClearCommError(port_, &errors, nullptr)) << "the port still answers";
  EXPECT_EQ(Ext()->BusyCount, 0);
}

TEST_F(BadInput, SettingsAreNotChangedByRefusedRequests) {
  for (ULONG code : CodesUnderTest()) {
    for (DWORD length = 0; length <= kLongest; ++length) Probe(code, 0xFF, length, length);
  }
  // All-ones records are refused where a rule applies (timeouts, handshaking)
  // and stored where none does (baud rate, line control, characters).
  EXPECT_EQ(Ext()->Timeouts.ReadIntervalTimeout, MAXULONG);
  EXPECT_EQ(Ext()->Timeouts.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(Ext()->HandFlow.ControlHandShake, 0u);
  EXPECT_EQ(Ext()->BaudRate, 0xFFFFFFFFu);
  EXPECT_EQ(Ext()->RxRing.Size, 4096u) << "a queue size of 4 GB cannot be allocated; the ring keeps its storage";
}

TEST_F(BadInput, RequestsAfterRemovalOfAnOpenPortAreRefusedOrAnsweredNeverCrash) {
  Ext()->SurpriseRemoved = TRUE;
  for (ULONG code : CodesUnderTest()) {
    for (DWORD length : {0u, 3u, 4u, 20u, 64u, kLongest}) Probe(code, 0x00, length, length);
  }
  UCHAR buffer[8];
  DWORD done = 0;
  EXPECT_FALSE(ReadFile(port_, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(LastNtStatus(), STATUS_DELETE_PENDING);
  Ext()->SurpriseRemoved = FALSE;
}

}  // namespace
}  // namespace porttest
