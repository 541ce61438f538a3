// The serial control requests as an application sees them on an unbound
// port: settings stored and read back, their buffer checks and refusals, the
// output lines, the properties block, the comm status and the statistics.
#include <array>
#include <functional>

#include "sim/kernel/trace.h"
#include "tests/port/port_kit.h"

namespace porttest {
namespace {

class SerialRequests : public PortTest {
 protected:
  SerialRequests() : port_(rig_.Open()) {}
  ~SerialRequests() override { CloseHandle(port_); }

  IoctlResult Call(ULONG code, const void* in = nullptr, DWORD inSize = 0, void* out = nullptr, DWORD outSize = 0) {
    return Ioctl(port_, code, in, inSize, out, outSize);
  }
  template <typename T>
  NTSTATUS Set(ULONG code, const T& value) {
    return Call(code, &value, sizeof value).status;
  }
  ULONG GetUlong(ULONG code) {
    ULONG value = 0xDEADBEEF;
    EXPECT_EQ(Call(code, nullptr, 0, &value, sizeof value).status, STATUS_SUCCESS);
    return value;
  }

  HANDLE port_;
};

using SerialSettings = SerialRequests;
using SerialLines = SerialRequests;
using SerialStatus = SerialRequests;
using SerialRemoved = SerialRequests;

TEST_F(SerialSettings, StoredValuesReadBackAndSucceedWithoutATarget) {
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{57600}), STATUS_SUCCESS);
  EXPECT_EQ(GetUlong(IOCTL_SERIAL_GET_BAUD_RATE), 57600u);
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BITS_2, EVEN_PARITY, 7}), STATUS_SUCCESS);
  SERIAL_LINE_CONTROL line{};
  IoctlResult result = Call(IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &line, sizeof line);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.returned, 3u);
  EXPECT_EQ(line.StopBits, STOP_BITS_2);
  EXPECT_EQ(line.Parity, EVEN_PARITY);
  EXPECT_EQ(line.WordLength, 7);
  SERIAL_CHARS chars{0x1A, 0x3F, 0x00, 0x7E, 0x11, 0x13};
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_CHARS, chars), STATUS_SUCCESS);
  SERIAL_CHARS back{};
  result = Call(IOCTL_SERIAL_GET_CHARS, nullptr, 0, &back, sizeof back);
  EXPECT_EQ(result.returned, 6u);
  EXPECT_EQ(std::memcmp(&back, &chars, sizeof chars), 0);
  SERIAL_HANDFLOW flow{SERIAL_CTS_HANDSHAKE | SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_RECEIVE, 100, 200};
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, flow), STATUS_SUCCESS);
  SERIAL_HANDFLOW flowBack{};
  result = Call(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &flowBack, sizeof flowBack);
  EXPECT_EQ(result.returned, 16u);
  EXPECT_EQ(std::memcmp(&flowBack, &flow, sizeof flow), 0);
}

TEST_F(SerialSettings, ShortBuffersAreRefusedAndChangeNothing) {
  struct Case {
    ULONG code;
    DWORD inMinimum;
    DWORD outMinimum;
  };
  const Case cases[] = {
      {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0},     {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0},
      {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0},     {IOCTL_SERIAL_SET_CHARS, 6, 0},
      {IOCTL_SERIAL_SET_HANDFLOW, 16, 0},     {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0},
      {IOCTL_SERIAL_SET_MODEM_CONTROL, 4, 0}, {IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0},
      {IOCTL_SERIAL_PURGE, 4, 0},             {IOCTL_SERIAL_GET_BAUD_RATE, 0, 4},
      {IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3},  {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20},
      {IOCTL_SERIAL_GET_CHARS, 0, 6},         {IOCTL_SERIAL_GET_HANDFLOW, 0, 16},
      {IOCTL_SERIAL_GET_WAIT_MASK, 0, 4},     {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4},
      {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4},   {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20},
      {IOCTL_SERIAL_GET_PROPERTIES, 0, 64},   {IOCTL_SERIAL_GET_DTRRTS, 0, 4},
      {IOCTL_SERIAL_CONFIG_SIZE, 0, 4},       {IOCTL_SERIAL_GET_STATS, 0, 24},
      {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, 4},
  };
  PORT_EXTENSION before = *Ext();
  std::array<UCHAR, 64> buffer;
  for (const Case& each : cases) {
    buffer.fill(0x5A);
    IoctlResult result = each.inMinimum ? Call(each.code, buffer.data(), each.inMinimum - 1)
                                        : Call(each.code, nullptr, 0, buffer.data(), each.outMinimum - 1);
    EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER) << std::hex << "code 0x" << each.code;
    EXPECT_EQ(result.returned, 0u) << std::hex << "a failed request returns no count, code 0x" << each.code;
  }
  EXPECT_EQ(Ext()->BaudRate, before.BaudRate);
  EXPECT_EQ(std::memcmp(&Ext()->Timeouts, &before.Timeouts, sizeof before.Timeouts), 0);
  EXPECT_EQ(std::memcmp(&Ext()->HandFlow, &before.HandFlow, sizeof before.HandFlow), 0);
  EXPECT_EQ(std::memcmp(&Ext()->Chars, &before.Chars, sizeof before.Chars), 0);
  EXPECT_EQ(Ext()->WaitMask, before.WaitMask);
  EXPECT_EQ(Ext()->ModemControl, before.ModemControl);
  EXPECT_EQ(Ext()->RxRing.Size, before.RxRing.Size);
}

TEST_F(SerialSettings, TimeoutsAreRefusedOnlyWhenAllThreeReadValuesAreMaximal) {
  SERIAL_TIMEOUTS never{MAXULONG, MAXULONG, MAXULONG, 1, 2};
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, never), STATUS_INVALID_PARAMETER);
  SERIAL_TIMEOUTS firstByte{MAXULONG, MAXULONG, 100, 3, 4};
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, firstByte), STATUS_SUCCESS);
  SERIAL_TIMEOUTS back{};
  EXPECT_EQ(Call(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &back, 16).status, STATUS_INVALID_PARAMETER);
  IoctlResult result = Call(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &back, sizeof back);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.returned, 20u);
  EXPECT_EQ(std::memcmp(&back, &firstByte, sizeof back), 0);
}

TEST_F(SerialSettings, HandshakingWithBitsOutsideTheDefinedSetIsRefused) {
  for (SERIAL_HANDFLOW flow : {SERIAL_HANDFLOW{0x80, 0, 0, 0}, SERIAL_HANDFLOW{0x04, 0, 0, 0},
                               SERIAL_HANDFLOW{0, 0x20, 0, 0}}) {
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, flow), STATUS_INVALID_PARAMETER)
        << std::hex << flow.ControlHandShake << " " << flow.FlowReplace;
  }
  EXPECT_EQ(Ext()->HandFlow.ControlHandShake, 0u);
  SERIAL_HANDFLOW topBits{0x80000000, 0x80000000, -5, 1 << 20};
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, topBits), STATUS_SUCCESS) << "limits are stored unchecked";
  EXPECT_EQ(Ext()->HandFlow.XonLimit, -5);
}

TEST_F(SerialSettings, SetCommStateIssuesTheRequestsInKernel32sOrder) {
  std::vector<ULONG> codes;
  std::mutex mutex;
  PDRIVER_OBJECT driver = rig_.Driver();
  sim::SetTraceSink([&](const sim::TraceEvent& event) {
    if (event.kind != sim::TraceEvent::Kind::Dispatch || event.driver != driver) return;
    if (event.major != IRP_MJ_DEVICE_CONTROL) return;
    std::lock_guard guard(mutex);
    codes.push_back(IoGetCurrentIrpStackLocation(event.irp)->Parameters.DeviceIoControl.IoControlCode);
  });
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = 9600;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.ByteSize = 7;
  dcb.Parity = ODDPARITY;
  dcb.StopBits = TWOSTOPBITS;
  dcb.fOutxCtsFlow = TRUE;
  dcb.fInX = TRUE;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.EvtChar = '\n';
  dcb.XonLim = 100;
  dcb.XoffLim = 300;
  EXPECT_TRUE(SetCommState(port_, &dcb));
  DCB back{};
  EXPECT_TRUE(GetCommState(port_, &back));
  sim::SetTraceSink({});
  EXPECT_EQ(codes, (std::vector<ULONG>{IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_DTR,
                                       IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,
                                       IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_GET_BAUD_RATE,
                                       IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_GET_CHARS,
                                       IOCTL_SERIAL_GET_HANDFLOW}));
  EXPECT_EQ(back.BaudRate, 9600u);
  EXPECT_EQ(back.ByteSize, 7);
  EXPECT_EQ(back.Parity, ODDPARITY);
  EXPECT_EQ(back.StopBits, TWOSTOPBITS);
  EXPECT_TRUE(back.fOutxCtsFlow);
  EXPECT_TRUE(back.fInX);
  EXPECT_FALSE(back.fOutX);
  EXPECT_EQ(back.fRtsControl, RTS_CONTROL_ENABLE);
  EXPECT_EQ(back.fDtrControl, DTR_CONTROL_DISABLE);
  EXPECT_EQ(back.EvtChar, '\n');
  EXPECT_EQ(back.XonLim, 100);
  EXPECT_EQ(back.XoffLim, 300);
  EXPECT_EQ(Ext()->ModemControl, MODEM_CONTROL_RTS) << "RTS up, DTR down";
}

TEST_F(SerialLines, DtrAndRtsFollowTheRequestsAndReadBackInBothLayouts) {
  EXPECT_EQ(Call(IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
  EXPECT_EQ(Call(IOCTL_SERIAL_CLR_RTS).status, STATUS_SUCCESS);
  EXPECT_EQ(GetUlong(IOCTL_SERIAL_GET_MODEM_CONTROL), (ULONG)SERIAL_MCR_DTR);
  EXPECT_EQ(GetUlong(IOCTL_SERIAL_GET_DTRRTS), (ULONG)SERIAL_DTR_STATE);
  EXPECT_EQ(LastIoBoost(), IO_NO_INCREMENT);
  EXPECT_EQ(Call(IOCTL_SERIAL_SET_RTS).status, STATUS_SUCCESS);
  EXPECT_EQ(GetUlong(IOCTL_SERIAL_GET_MODEM_CONTROL), (ULONG)(SERIAL_MCR_DTR | SERIAL_MCR_RTS));
  EXPECT_EQ(LastIoBoost(), IO_SERIAL_INCREMENT);
  EXPECT_EQ(GetUlong(IOCTL_SERIAL_GET_DTRRTS), (ULONG)(SERIAL_DTR_STATE | SERIAL_RTS_STATE));
  EXPECT_TRUE(EscapeCommFunction(port_, CLRDTR));
  EXPECT_EQ(GetUlong(IOCTL_SERIAL_GET_DTRRTS), (ULONG)SERIAL_RTS_STATE);
}

TEST_F(SerialLines, ALineInHandshakeModeCannotBeDrivenByHand) {
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{0, SERIAL_RTS_HANDSHAKE, 0, 0}), STATUS_SUCCESS);
  EXPECT_EQ(Call(IOCTL_SERIAL_SET_RTS).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Call(IOCTL_SERIAL_CLR_RTS).status, STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(EscapeCommFunction(port_, SETRTS));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{0, SERIAL_RTS_CONTROL, 0, 0}), STATUS_SUCCESS);
  EXPECT_EQ(Call(IOCTL_SERIAL_SET_RTS).status, STATUS_SUCCESS);

  EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{SERIAL_DTR_HANDSHAKE, 0, 0, 0}), STATUS_SUCCESS);
  EXPECT_EQ(Call(IOCTL_SERIAL_CLR_DTR).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Call(IOCTL_SERIAL_SET_DTR).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, 0, 0, 0}), STATUS_SUCCESS);
  EXPECT_EQ(Call(IOCTL_SERIAL_CLR_DTR).status, STATUS_SUCCESS);
  EXPECT_EQ(Ext()->ModemControl, MODEM_CONTROL_RTS);
}

TEST_F(SerialLines, SetModemControlAlwaysTriesToSendAndKeepsTheNewBits) {
  ULONG both = SERIAL_MCR_DTR | SERIAL_MCR_RTS | 0xF0;
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_MODEM_CONTROL, both), STATUS_DELETE_PENDING) << "no target to send to";
  EXPECT_EQ(GetUlong(IOCTL_SERIAL_GET_MODEM_CONTROL), (ULONG)(SERIAL_MCR_DTR | SERIAL_MCR_RTS))
      << "other register bits are ignored";
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_MODEM_CONTROL, (ULONG)0), STATUS_DELETE_PENDING);
  EXPECT_EQ(GetUlong(IOCTL_SERIAL_GET_MODEM_CONTROL), 0u);
}

TEST_F(SerialLines, BreakIsIgnoredByVariantsWithoutIt) {
  EXPECT_TRUE(SetCommBreak(port_));
  EXPECT_EQ(Ext()->ModemControl, 0);
  EXPECT_TRUE(ClearCommBreak(port_));
}

TEST(SerialLinesVariant2, BreakIsSentByVariant2AndStaysSetWhenTheSendFails) {
  PortRig rig({.endPointCaps = 2});
  HANDLE port = rig.Open();
  EXPECT_FALSE(SetCommBreak(port));
  EXPECT_EQ(LastNtStatus(), STATUS_DELETE_PENDING);
  EXPECT_EQ(rig.Extension()->ModemControl, MODEM_CONTROL_BREAK);
  EXPECT_FALSE(ClearCommBreak(port));
  EXPECT_EQ(rig.Extension()->ModemControl, 0);
  EXPECT_TRUE(EscapeCommFunction(port, SETDTR)) << "unbound, DTR changes without a message";
  CloseHandle(port);
}

TEST(PortVariants, AVariantAbove3IsRunAsVariant0) {
  PortRig rig({.endPointCaps = 7});
  EXPECT_EQ(rig.Extension()->EndPointCaps, 0u);
  HANDLE port = rig.Open();
  EXPECT_TRUE(SetCommBreak(port)) << "variant 0 accepts a break without sending";
  EXPECT_TRUE(rig.Extension()->DeviceReady);
  CloseHandle(port);
}

TEST_F(SerialStatus, ThePropertiesBlockIsTheSameByteForByte) {
  std::array<UCHAR, 64> properties;
  properties.fill(0xCC);
  IoctlResult result = Call(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, properties.data(), 64);
  ASSERT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.returned, 64u);
  const std::array<UCHAR, 64> expected = {
      0x40, 0x00, 0x02, 0x00,  // PacketLength 64, PacketVersion 2
      0x01, 0x00, 0x00, 0x00,  // ServiceMask SERIAL_SP_SERIALCOMM
      0x00, 0x00, 0x00, 0x00,  // Reserved1
      0x00, 0x00, 0x00, 0x00,  // MaxTxQueue
      0x00, 0x00, 0x00, 0x00,  // MaxRxQueue
      0x00, 0x00, 0x02, 0x00,  // MaxBaud SERIAL_BAUD_115200
      0x01, 0x00, 0x00, 0x00,  // ProvSubType SERIAL_SP_RS232
      0xF7, 0x00, 0x00, 0x00,  // ProvCapabilities
      0x5F, 0x00, 0x00, 0x00,  // SettableParams
      0x60, 0x6B, 0x02, 0x00,  // SettableBaud
      0x0C, 0x00, 0x05, 0x07,  // SettableData, SettableStopParity
      0x00, 0x10, 0x00, 0x00,  // CurrentTxQueue 4096
      0x00, 0x10, 0x00, 0x00,  // CurrentRxQueue 4096
      0x00, 0x00, 0x00, 0x00,  // ProvSpec1
      0x00, 0x00, 0x00, 0x00,  // ProvSpec2
      0x00, 0x00, 0x00, 0x00,  // ProvChar and padding
  };
  EXPECT_EQ(properties, expected);
}

TEST_F(SerialStatus, CommStatusReportsTheRingsCountAndClearsErrorsOnRead) {
  const UCHAR bytes[5] = {1, 2, 3, 4, 5};
  rig_.AsDriver([&] { StoreReceivedBytes(Ext(), bytes, sizeof bytes); });
  Ext()->CommStatus.Errors = SERIAL_ERROR_FRAMING | SERIAL_ERROR_QUEUEOVERRUN;
  Ext()->CommStatus.AmountInInQueue = 999;  // not kept: the ring's count is reported in its place
  DWORD errors = 0;
  COMSTAT status{};
  ASSERT_TRUE(ClearCommError(port_, &errors, &status));
  EXPECT_EQ(status.cbInQue, 5u);
  EXPECT_EQ(status.cbOutQue, 0u);
  EXPECT_EQ(errors, CE_FRAME | CE_RXOVER);
  ASSERT_TRUE(ClearCommError(port_, &errors, &status));
  EXPECT_EQ(errors, 0u) << "errors clear when read";
  EXPECT_TRUE(PurgeComm(port_, PURGE_RXCLEAR));
  ASSERT_TRUE(ClearCommError(port_, &errors, &status));
  EXPECT_EQ(status.cbInQue, 0u) << "a receive purge empties the ring";
}

TEST_F(SerialStatus, StatisticsAreZeroAndClearToZero) {
  std::array<UCHAR, 24> stats;
  stats.fill(0xAB);
  IoctlResult result = Call(IOCTL_SERIAL_GET_STATS, nullptr, 0, stats.data(), 24);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.returned, 24u);
  EXPECT_EQ(stats, (std::array<UCHAR, 24>{}));
  Ext()->PerfStats.ParityErrorCount = 3;
  EXPECT_EQ(Call(IOCTL_SERIAL_CLEAR_STATS).status, STATUS_SUCCESS);
  stats.fill(0xAB);
  Call(IOCTL_SERIAL_GET_STATS, nullptr, 0, stats.data(), 24);
  EXPECT_EQ(stats, (std::array<UCHAR, 24>{}));
}

TEST_F(SerialStatus, RequestsWithoutEffectAndUnknownCodes) {
  for (ULONG code : {IOCTL_SERIAL_RESET_DEVICE, IOCTL_SERIAL_SET_XOFF, IOCTL_SERIAL_SET_XON, IOCTL_SERIAL_XOFF_COUNTER,
                     IOCTL_SERIAL_LSRMST_INSERT, IOCTL_SERIAL_SET_FIFO_CONTROL, IOCTL_SERIAL_CLEAR_STATS})
    EXPECT_EQ(Call(code).status, STATUS_SUCCESS) << std::hex << code;
  IoctlResult size = {};
  ULONG value = 0xFFFFFFFF;
  size = Call(IOCTL_SERIAL_CONFIG_SIZE, nullptr, 0, &value, sizeof value);
  EXPECT_EQ(size.status, STATUS_SUCCESS);
  EXPECT_EQ(size.returned, 4u);
  EXPECT_EQ(value, 0u);
  for (ULONG code : {(ULONG)IOCTL_SERIAL_GET_COMMCONFIG, (ULONG)IOCTL_SERIAL_SET_COMMCONFIG, (ULONG)0x1B00A0,
                     (ULONG)CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)})
    EXPECT_EQ(Call(code, &value, 4, &value, 4).status, STATUS_NOT_SUPPORTED) << std::hex << code;
}

TEST_F(SerialStatus, PassThroughAndImmediateCharacterNeedReadyPipes) {
  for (ULONG code : {IOCTL_PORT_RESET_INPUT_PIPE, IOCTL_PORT_RESET_OUTPUT_PIPE, IOCTL_PORT_ENSURE_DEVICE_ENABLED})
    EXPECT_EQ(Call(code).status, STATUS_NO_SUCH_DEVICE) << std::hex << code;
  UCHAR character = 'x';
  EXPECT_EQ(Call(IOCTL_SERIAL_IMMEDIATE_CHAR, &character, 1).status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(Ext()->BusyCount, 0) << "the refused immediate character released its busy hold";
}

TEST_F(SerialStatus, QueueSizeRefusesAShortBufferAndAnEmptyQueue) {
  SERIAL_QUEUE_SIZE empty{0, 4096};
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, empty), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Ext()->RxRing.Size, 4096u) << "the ring keeps its storage";
  EXPECT_EQ(Call(IOCTL_SERIAL_SET_QUEUE_SIZE, &empty, 4).status, STATUS_INVALID_PARAMETER);
  const UCHAR bytes[3] = {1, 2, 3};
  rig_.AsDriver([&] { StoreReceivedBytes(Ext(), bytes, sizeof bytes); });
  SERIAL_QUEUE_SIZE huge{0xFFFFFFFF, 0};
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, huge), STATUS_DELETE_PENDING)
      << "storage that cannot be allocated is not reported; the input loop's restart is";
  EXPECT_EQ(Ext()->RxRing.Size, 4096u);
  EXPECT_EQ(Ext()->RxRing.Count, 3u) << "nor does the failure lose the bytes held";
  EXPECT_EQ(Ext()->RxQueueSize, 4096u);
}

TEST_F(SerialStatus, PurgeRefusesAShortMaskAndReportsItBackOnlyWithRoom) {
  ULONG mask = 0;
  EXPECT_EQ(Call(IOCTL_SERIAL_PURGE, &mask, 3).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Call(IOCTL_SERIAL_PURGE, &mask, 4).status, STATUS_SUCCESS);
  ULONG back = 0;
  mask = PURGE_TXCLEAR | PURGE_TXABORT | 0x100;
  IoctlResult result = Call(IOCTL_SERIAL_PURGE, &mask, 4, &back, 4);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.returned, 4u);
  EXPECT_EQ(back, mask) << "the mask stays in the system buffer";
  result = Call(IOCTL_SERIAL_PURGE, &mask, 4, &back, 2);
  EXPECT_EQ(result.returned, 0u) << "no more is reported than the output can hold";
  EXPECT_FALSE(Ext()->OutputPipe.Stopped) << "a transmit abort allows transmission again";
}

TEST_F(SerialRemoved, RequestsMarkedForRemovalAreRefusedAndTheOthersAnswer) {
  Ext()->Removed = TRUE;
  const ULONG refused[] = {IOCTL_SERIAL_SET_BAUD_RATE,     IOCTL_SERIAL_SET_QUEUE_SIZE,   IOCTL_SERIAL_SET_LINE_CONTROL,
                           IOCTL_SERIAL_SET_BREAK_ON,      IOCTL_SERIAL_SET_BREAK_OFF,    IOCTL_SERIAL_SET_TIMEOUTS,
                           IOCTL_SERIAL_GET_TIMEOUTS,      IOCTL_SERIAL_SET_DTR,          IOCTL_SERIAL_CLR_DTR,
                           IOCTL_SERIAL_SET_RTS,           IOCTL_SERIAL_CLR_RTS,          IOCTL_SERIAL_WAIT_ON_MASK,
                           IOCTL_SERIAL_GET_BAUD_RATE,     IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_GET_CHARS,
                           IOCTL_SERIAL_SET_CHARS,         IOCTL_SERIAL_GET_HANDFLOW,     IOCTL_SERIAL_SET_HANDFLOW,
                           IOCTL_SERIAL_GET_COMMSTATUS,    IOCTL_SERIAL_GET_PROPERTIES,   IOCTL_SERIAL_GET_DTRRTS,
                           IOCTL_SERIAL_GET_STATS,         IOCTL_SERIAL_GET_MODEM_CONTROL, IOCTL_SERIAL_SET_MODEM_CONTROL,
                           IOCTL_PORT_RESET_INPUT_PIPE,    IOCTL_PORT_RESET_OUTPUT_PIPE,  IOCTL_PORT_ENSURE_DEVICE_ENABLED};
  std::array<UCHAR, 64> buffer{};
  for (ULONG code : refused)
    EXPECT_EQ(Call(code, buffer.data(), 64, buffer.data(), 64).status, STATUS_DELETE_PENDING) << std::hex << code;
  const ULONG answered[] = {IOCTL_SERIAL_RESET_DEVICE,   IOCTL_SERIAL_SET_XOFF,        IOCTL_SERIAL_SET_XON,
                            IOCTL_SERIAL_GET_WAIT_MASK,  IOCTL_SERIAL_SET_WAIT_MASK,   IOCTL_SERIAL_PURGE,
                            IOCTL_SERIAL_GET_MODEMSTATUS, IOCTL_SERIAL_XOFF_COUNTER,   IOCTL_SERIAL_LSRMST_INSERT,
                            IOCTL_SERIAL_CONFIG_SIZE,    IOCTL_SERIAL_CLEAR_STATS,     IOCTL_SERIAL_SET_FIFO_CONTROL};
  for (ULONG code : answered)
    EXPECT_EQ(Call(code, buffer.data(), 64, buffer.data(), 64).status, STATUS_SUCCESS) << std::hex << code;
  Ext()->Removed = FALSE;
}

}  // namespace
}  // namespace porttest
