// The device's control messages as the port builds them from its settings,
// and what sending one does while no target is bound; the match of a pipe
// driver's interface name against the port's TargetDevice text.
#include "tests/port/port_kit.h"

namespace porttest {
namespace {

struct Settings {
  ULONG baud;
  UCHAR wordLength;
  UCHAR stopBits;
  UCHAR parity;
  ULONG controlHandShake = 0;
  ULONG flowReplace = 0;
};

class Messages : public PortTest {
 protected:
  void Use(const Settings& settings) {
    Ext()->BaudRate = settings.baud;
    Ext()->LineControl = {settings.stopBits, settings.parity, settings.wordLength};
    Ext()->HandFlow.ControlHandShake = settings.controlHandShake;
    Ext()->HandFlow.FlowReplace = settings.flowReplace;
  }
  // The two-byte form, or an empty vector when the builder refuses.
  std::vector<UCHAR> Short(const Settings& settings) {
    Use(settings);
    UCHAR message[2] = {0xEE, 0xEE};
    if (!NT_SUCCESS(BuildLineSettings(message, Ext()))) return {};
    return {message[0], message[1]};
  }
  std::vector<UCHAR> Long(const Settings& settings) {
    Use(settings);
    UCHAR message[8];
    ULONG length = sizeof message;
    if (!NT_SUCCESS(BuildLineSettingsEx(message, &length, Ext()))) return {};
    EXPECT_EQ(length, 3u);
    return {message[0], message[1], message[2]};
  }
  using Bytes = std::vector<UCHAR>;
};

TEST_F(Messages, LineSettingsInBothFormsForCommonFrames) {
  Settings plain{115200, 8, STOP_BIT_1, NO_PARITY};
  EXPECT_EQ(Short(plain), (Bytes{0x00, 0x07}));
  EXPECT_EQ(Long(plain), (Bytes{0x00, 0x08, 0x01}));
  EXPECT_EQ(Short({9600, 7, STOP_BIT_1, EVEN_PARITY}), (Bytes{0x00, 0x10}));
  Settings hardware{19200, 8, STOP_BITS_2, ODD_PARITY, SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE};
  EXPECT_EQ(Short(hardware), (Bytes{0x00, 0x6D}));
  EXPECT_EQ(Long(hardware), (Bytes{0x00, 0x05, 0x1B}));
  Settings software{38400, 8, STOP_BIT_1, NO_PARITY, 0, SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE};
  EXPECT_EQ(Short(software), (Bytes{0x00, 0x86}));
  EXPECT_EQ(Long(software), (Bytes{0x00, 0x06, 0x21}));
}

TEST_F(Messages, TheFormsDifferInTheirFlowBitsAndRates) {
  Settings receiveOnly{1200, 8, STOP_BIT_1, NO_PARITY, 0, SERIAL_AUTO_RECEIVE};
  EXPECT_TRUE(Short(receiveOnly).empty()) << "1200 has no code in the short form";
  EXPECT_EQ(Long(receiveOnly), (Bytes{0x00, 0x01, 0x21}));
  receiveOnly.baud = 38400;
  EXPECT_EQ(Short(receiveOnly), (Bytes{0x00, 0x06})) << "the short form needs both directions";
  Settings seven{76800, 7, STOP_BITS_2, EVEN_PARITY};
  EXPECT_EQ(Long(seven), (Bytes{0x00, 0x07, 0x06}));
  EXPECT_TRUE(Short(seven).empty());
  Settings ctsOnly{115200, 8, STOP_BIT_1, NO_PARITY, SERIAL_CTS_HANDSHAKE, 0};
  EXPECT_EQ(Short(ctsOnly), (Bytes{0x00, 0x07}));
  EXPECT_EQ(Long(ctsOnly), (Bytes{0x00, 0x08, 0x11}));
}

TEST_F(Messages, FramesNeitherFormCarriesAreRefused) {
  for (Settings refused : {Settings{57600, 8, STOP_BIT_1, NO_PARITY}, Settings{9600, 5, STOP_BIT_1, NO_PARITY},
                           Settings{9600, 6, STOP_BIT_1, NO_PARITY}, Settings{9600, 8, STOP_BITS_1_5, NO_PARITY}}) {
    EXPECT_TRUE(Short(refused).empty()) << refused.baud << " " << (int)refused.wordLength;
    EXPECT_TRUE(Long(refused).empty()) << refused.baud << " " << (int)refused.wordLength;
  }
  EXPECT_EQ(Short({9600, 8, STOP_BIT_1, MARK_PARITY}), (Bytes{0x00, 0x04})) << "mark parity sends no parity bit";
  EXPECT_EQ(Long({9600, 8, STOP_BIT_1, SPACE_PARITY}), (Bytes{0x00, 0x04, 0x01}));
  UCHAR message[2];
  ULONG length = 2;
  EXPECT_EQ(BuildLineSettingsEx(message, &length, Ext()), STATUS_INVALID_PARAMETER) << "a buffer under 3 bytes";
  EXPECT_EQ(BuildLineSettingsEx(nullptr, &length, Ext()), STATUS_INVALID_PARAMETER);
}

TEST_F(Messages, ModemControlCarriesTheOutputLines) {
  UCHAR message[2];
  Ext()->ModemControl = MODEM_CONTROL_DTR | MODEM_CONTROL_RTS;
  BuildModemControl(message, Ext());
  EXPECT_EQ(Bytes(message, message + 2), (Bytes{0x01, 0x03}));
  Ext()->ModemControl = MODEM_CONTROL_DTR | MODEM_CONTROL_BREAK;
  BuildModemControl(message, Ext());
  EXPECT_EQ(Bytes(message, message + 2), (Bytes{0x01, 0x06}));
}

TEST_F(Messages, NothingIsSentWithoutATargetAndTheBusyCountReturnsToZero) {
  UCHAR message[2] = {MSG_MODEM_CONTROL, 0};
  NTSTATUS status = STATUS_SUCCESS;
  rig_.AsDriver([&] { status = SendDeviceControl(rig_.Device(), message, sizeof message); });
  EXPECT_EQ(status, STATUS_DELETE_PENDING);
  EXPECT_EQ(Ext()->BusyCount, 0);
  EXPECT_EQ(KeReadStateEvent(&Ext()->IdleEvent), 1);
  rig_.AsDriver([&] { status = SendLineSettings(rig_.Device()); });
  EXPECT_EQ(status, STATUS_SUCCESS) << "variant 0 takes no line settings and refuses none";
}

TEST_F(Messages, UnboundLoopsFailToStartAndStopAtOnce) {
  NTSTATUS status = STATUS_SUCCESS;
  rig_.AsDriver([&] { status = StartReceive(Ext()); });
  EXPECT_EQ(status, STATUS_DELETE_PENDING);
  EXPECT_TRUE(Ext()->InputPipe.Stopped);
  EXPECT_EQ(KeReadStateEvent(&Ext()->InputPipe.PipeIdleEvent), 1);
  rig_.AsDriver([&] { status = StartStatusPipe(Ext()); });
  EXPECT_EQ(status, STATUS_SUCCESS) << "variant 0 has no status pipe";
  rig_.AsDriver([&] { status = StopReceive(Ext()); });
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(Ext()->BusyCount, 0);
}

class TargetMatching : public PortTest {
 protected:
  TargetMatching() : PortTest({.targetMatch = u"VID_1234"}) {}
  BOOLEAN Match(const std::u16string& link) {
    UNICODE_STRING name = sim::View(link);
    BOOLEAN found = FALSE;
    rig_.AsDriver([&] { found = MatchTarget(rig_.Device(), &name); });
    return found;
  }
};

TEST_F(TargetMatching, ALinkMatchesWhenItContainsTheTextWhateverItsCase) {
  EXPECT_TRUE(Match(u"\\??\\USB#Vid_1234&Pid_5678#0001#{0a274201-f52f-11d4-9442-006067728d60}"));
  EXPECT_FALSE(Match(u"\\??\\USB#Vid_4321&Pid_5678#0001#{0a274201-f52f-11d4-9442-006067728d60}"));
  EXPECT_FALSE(Match(u""));
}

TEST_F(Messages, APortWithoutTargetTextMatchesNoLink) {
  std::u16string link = u"\\??\\USB#VID_1234&PID_5678#0001";
  UNICODE_STRING name = sim::View(link);
  BOOLEAN found = TRUE;
  rig_.AsDriver([&] { found = MatchTarget(rig_.Device(), &name); });
  EXPECT_FALSE(found) << "an empty match text would bind every pipe driver";
}

}  // namespace
}  // namespace porttest
