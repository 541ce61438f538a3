// Creating a port from its device node's registry values, and naming it: the
// COM-port interface, the DOS name and the SERIALCOMM entry, made at start
// and removed at removal.
#include <algorithm>

#include "sim/kernel/object.h"
#include "tests/port/port_kit.h"

namespace porttest {
namespace {

using sim::RegistryValue;

const std::u16string kSerialComm = sim::kDeviceMapKey + u"\\SERIALCOMM";

std::u16string InterfaceOf(PortRig& rig) { return sim::ToU16(&rig.Extension()->InterfaceName); }

// Where \DosDevices\<name> points, or "" when there is no such link.
std::u16string LinkTarget(sim::Machine& machine, const std::u16string& name) {
  for (const auto& [link, target] : machine.Objects().Links())
    if (sim::Upcase(link) == sim::Upcase(u"\\??\\" + name)) return target;
  return {};
}

std::optional<std::u16string> SerialCommEntry(sim::Machine& machine, const std::u16string& link) {
  std::optional<RegistryValue> value = machine.Reg().GetValue(kSerialComm, link);
  return value ? value->AsString() : std::nullopt;
}

std::u16string Repeat(char16_t c, size_t count) { return std::u16string(count, c); }

TEST(PortCreation, WithoutRegistryValuesThePortIsVariant0WithoutStatusPipeOrTarget) {
  PortRig rig;
  ASSERT_EQ(rig.Node()->State(), sim::NodeState::Started);
  PPORT_EXTENSION ext = rig.Extension();
  EXPECT_EQ(ext->EndPointCaps, 0u);
  EXPECT_EQ(ext->StatusPipe.CxPollPeriod, 0);
  EXPECT_EQ(ext->StatusPipe.PipeFile.FileName.Length, 0u);
  EXPECT_EQ(ext->TargetMatch[0], 0) << "no TargetDevice: nothing to match";
  EXPECT_EQ(ext->PhysicalDeviceObject, rig.Node()->PhysicalDeviceObject());
  EXPECT_EQ(ext->LowerDeviceObject, rig.Node()->PhysicalDeviceObject());
  EXPECT_EQ(rig.Device()->DeviceType, rig.Node()->PhysicalDeviceObject()->DeviceType);
  EXPECT_TRUE(rig.Machine().Objects().NameOf(rig.Device()).empty()) << "the port's device object has no name";
}

TEST(PortCreation, Variant3WithANegativePollPeriodHasNoStatusPipe) {
  PortRig rig({.endPointCaps = 3, .values = {{u"CxPollPeriod", RegistryValue::Dword(0xFFFFFFFF)}}});
  EXPECT_EQ(rig.Extension()->EndPointCaps, 3u);
  EXPECT_EQ(rig.Extension()->StatusPipe.CxPollPeriod, -1);
  EXPECT_EQ(rig.Extension()->StatusPipe.PipeFile.FileName.Length, 0u);
  EXPECT_FALSE(StatusPipeInUse(rig.Extension()));
}

TEST(PortCreation, Variant3WithAPollPeriodPreparesTheStatusPipe) {
  PortRig rig({.endPointCaps = 3, .values = {{u"CxPollPeriod", RegistryValue::Dword(20)}}});
  EXPECT_EQ(sim::ToU16(&rig.Extension()->StatusPipe.PipeFile.FileName), u"\\PIPE02");
  EXPECT_EQ(rig.Extension()->StatusPipe.PipeFile.DeviceObject, rig.Device());
}

TEST(PortCreation, NumbersAreReadFromTheFirstFourBytesWhateverTheirType) {
  PortRig rig({.values = {{u"EndPointCaps", RegistryValue::Binary({2})},
                          {u"CxPollPeriod", RegistryValue::Binary({0xFF, 0xFF, 0xFF, 0xFF, 0x12})},
                          {u"TxKickThreshold", RegistryValue::String(u"5")}}});
  EXPECT_EQ(rig.Extension()->EndPointCaps, 2u) << "one byte of data, read no further";
  EXPECT_EQ(rig.Extension()->StatusPipe.CxPollPeriod, -1);
  EXPECT_EQ(rig.Extension()->OutputPipe.TxKickThreshold, (ULONG)u'5') << "the text's first character";
}

TEST(PortCreation, AVariantAbove3IsRunAsVariant0) {
  PortRig rig({.endPointCaps = 4});
  EXPECT_EQ(rig.Extension()->EndPointCaps, 0u);
  EXPECT_FALSE(StatusPipeInUse(rig.Extension()));
}

TEST(PortCreation, TheTargetTextIsStoredUppercased) {
  PortRig rig({.targetMatch = u"vid_1234"});
  EXPECT_EQ(sim::ToU16(rig.Extension()->TargetMatch), u"VID_1234");
}

TEST(PortCreation, ATargetTextOf127CharactersIsKept) {
  PortRig rig({.targetMatch = Repeat(u'a', 127)});
  EXPECT_EQ(sim::ToU16(rig.Extension()->TargetMatch), Repeat(u'A', 127));
}

TEST(PortCreation, ATargetTextTooLongOrNotAStringMatchesNothingAndOverrunsNothing) {
  for (RegistryValue value : {RegistryValue::String(Repeat(u'b', 128)), RegistryValue::String(Repeat(u'c', 140)),
                              RegistryValue::Dword(0x41414141), RegistryValue::String(u"")}) {
    PortRig rig({.values = {{u"TargetDevice", value}}});
    ASSERT_EQ(rig.Node()->State(), sim::NodeState::Started);
    PPORT_EXTENSION ext = rig.Extension();
    EXPECT_EQ(ext->TargetMatch[0], 0);
    EXPECT_EQ(ext->TargetNotificationEntry, nullptr) << "the field after TargetMatch is untouched";
    std::u16string link = u"\\??\\ROOT#MERROW#0000#{0a274201-f52f-11d4-9442-006067728d60}" + Repeat(u'B', 140);
    UNICODE_STRING name = sim::View(link);
    BOOLEAN match = TRUE;
    rig.AsDriver([&] { match = MatchTarget(rig.Device(), &name); });
    EXPECT_FALSE(match);
  }
}

TEST(PortCreation, ThePortRegistersAndEnablesItsComPortInterface) {
  PortRig rig;
  std::u16string link = InterfaceOf(rig);
  EXPECT_FALSE(link.empty());
  std::vector<std::u16string> enabled = rig.Machine().Notify().EnabledInterfaces(GUID_DEVINTERFACE_COMPORT);
  EXPECT_EQ(enabled, std::vector<std::u16string>{link});
  EXPECT_EQ(rig.Extension()->InterfaceName.MaximumLength, rig.Extension()->InterfaceName.Length + 2);
}

TEST(PortRegistry, NumbersReadBackAndAFailedReadLeavesTheOutputAlone) {
  PortRig rig({.values = {{u"Blob", RegistryValue::Binary(std::vector<uint8_t>(100, 7))}}});
  PDEVICE_OBJECT pdo = rig.Node()->PhysicalDeviceObject();
  NTSTATUS status = STATUS_SUCCESS;
  ULONG value = 0x55;
  rig.AsDriver([&] { status = ReadRegistryDword(pdo, L"Missing", &value); });
  EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(value, 0x55u);
  rig.AsDriver([&] { status = ReadRegistryDword(pdo, L"Blob", &value); });
  EXPECT_FALSE(NT_SUCCESS(status)) << "100 bytes do not fit the query's buffer";
  EXPECT_EQ(value, 0x55u);
  rig.AsDriver([&] { status = WriteRegistryDword(pdo, L"HasPluggedIn", 1); });
  EXPECT_EQ(status, STATUS_SUCCESS);
  std::optional<RegistryValue> written = rig.Machine().Reg().GetValue(rig.HardwareKey(), u"HasPluggedIn");
  ASSERT_TRUE(written.has_value());
  EXPECT_EQ(written->AsDword(), std::optional<ULONG>(1)) << "written as REG_DWORD";
  rig.AsDriver([&] { status = ReadRegistryDword(pdo, L"HasPluggedIn", &value); });
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(value, 1u);
}

TEST(PortNaming, TheDosNamePointsToTheInterfaceAndSerialCommNamesThePort) {
  PortRig rig;
  std::u16string link = InterfaceOf(rig);
  EXPECT_EQ(sim::Upcase(LinkTarget(rig.Machine(), u"COM7")), sim::Upcase(link));
  EXPECT_EQ(SerialCommEntry(rig.Machine(), link), std::optional<std::u16string>(u"COM7"));
  EXPECT_EQ(sim::ToU16(&rig.Extension()->DosName), u"\\DosDevices\\COM7");
  HANDLE port = rig.Open();
  EXPECT_NE(port, INVALID_HANDLE_VALUE) << "an application opens \\\\.\\COM7";
  CloseHandle(port);
}

TEST(PortNaming, RemovalTakesTheNameTheEntryAndTheInterfaceAway) {
  PortRig rig;
  std::u16string link = InterfaceOf(rig);
  ASSERT_TRUE(rig.Remove());
  EXPECT_TRUE(LinkTarget(rig.Machine(), u"COM7").empty());
  EXPECT_FALSE(SerialCommEntry(rig.Machine(), link).has_value());
  EXPECT_TRUE(rig.Machine().Notify().EnabledInterfaces(GUID_DEVINTERFACE_COMPORT).empty());
  EXPECT_EQ(rig.Driver(), nullptr) << "tolvane unloaded with its last port, leaving nothing behind";
  EXPECT_EQ(CreateFileW(u"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
}

TEST(PortNaming, AStartWithoutAPortNameFailsAndNamesNothing) {
  PortRig rig({.portName = false});
  EXPECT_EQ(rig.Node()->State(), sim::NodeState::StartFailed);
  EXPECT_TRUE(LinkTarget(rig.Machine(), u"COM7").empty());
  EXPECT_TRUE(rig.Machine().Reg().ValueNames(kSerialComm).empty());
}

TEST(PortNaming, PortNamesThatCannotBeMadeIntoADosNameFailTheStart) {
  struct Case {
    RegistryValue value;
    const char* why;
  };
  const Case cases[] = {
      {RegistryValue::String(Repeat(u'X', 200)), "longer than the 256-byte buffer"},
      {RegistryValue::String(Repeat(u'Y', 127)), "fits the buffer but not after \\DosDevices\\"},
      {RegistryValue::String(u""), "empty"},
      {RegistryValue::Dword(7), "not a string"},
  };
  for (const Case& each : cases) {
    PortRig rig({.values = {{u"PortName", each.value}}});
    EXPECT_EQ(rig.Node()->State(), sim::NodeState::StartFailed) << each.why;
    for (const auto& [link, target] : rig.Machine().Objects().Links())
      EXPECT_EQ(sim::Upcase(target).find(u"{86E0D1E0"), std::u16string::npos)
          << each.why << ": " << sim::Narrow(link) << " points to a COM-port interface";
    EXPECT_TRUE(rig.Machine().Reg().ValueNames(kSerialComm).empty()) << each.why;
  }
}

TEST(PortNaming, ALongPortNameThatStillFitsIsUsed) {
  std::u16string name = u"COM" + Repeat(u'9', 113);  // 116 characters after \DosDevices\ fill the buffer
  PortRig rig({.values = {{u"PortName", RegistryValue::String(name)}}});
  ASSERT_EQ(rig.Node()->State(), sim::NodeState::Started);
  EXPECT_EQ(sim::Upcase(LinkTarget(rig.Machine(), name)), sim::Upcase(InterfaceOf(rig)));
}

TEST(PortNaming, ARestartAfterAStopMakesTheNameAgainFromThePortNameInForce) {
  PortRig rig;
  std::u16string link = InterfaceOf(rig);
  rig.Machine().Reg().SetValue(rig.HardwareKey(), u"PortName", RegistryValue::String(u"COM9"));
  ASSERT_TRUE(rig.Pnp().Rebalance(rig.Node())) << "query-stop, stop, start";
  EXPECT_EQ(rig.Node()->State(), sim::NodeState::Started);
  EXPECT_TRUE(LinkTarget(rig.Machine(), u"COM7").empty()) << "the earlier start's name is gone";
  EXPECT_EQ(sim::Upcase(LinkTarget(rig.Machine(), u"COM9")), sim::Upcase(link));
  EXPECT_EQ(SerialCommEntry(rig.Machine(), link), std::optional<std::u16string>(u"COM9"));
  HANDLE port = CreateFileW(u"\\\\.\\COM9", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
  EXPECT_NE(port, INVALID_HANDLE_VALUE);
  CloseHandle(port);
}

TEST(PortNaming, ARestartUnderTheSameNameKeepsThePortReachable) {
  PortRig rig;
  ASSERT_TRUE(rig.Pnp().Rebalance(rig.Node()));
  ASSERT_TRUE(rig.Pnp().Rebalance(rig.Node()));
  EXPECT_EQ(sim::Upcase(LinkTarget(rig.Machine(), u"COM7")), sim::Upcase(InterfaceOf(rig)));
  HANDLE port = rig.Open();
  EXPECT_NE(port, INVALID_HANDLE_VALUE);
  CloseHandle(port);
}

}  // namespace
}  // namespace porttest
