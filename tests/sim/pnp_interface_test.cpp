// Device interfaces and notifications as NT gives them: link names built from
// the instance path and the class, enable and disable with NT's statuses, opens
// through a link that reach the PDO's stack with the rest of the path as file
// name, arrival and removal callbacks (existing interfaces reported inside the
// registration), their order as one registrant sees them, and unregistration.
#include <gtest/gtest.h>

#include "sim/kernel/object.h"
#include "sim/kernel/thread.h"
#include "sim/kernel/ustring.h"
#include "sim/win32/win32.h"
#include "tests/sim/pnp_kit.h"
#include "tests/sim/testkit.h"

using pnpkit::Client;
using pnpkit::kTestInterface;
using pnpkit::Log;
using pnpkit::Root;
using pnpkit::Script;
using pnpkit::Text;
using Lines = std::vector<std::string>;

namespace {

constexpr char kLink[] = "\\??\\ROOT#TEST#0000#{6a1f0c2e-51b3-4c8d-9e47-0ba23d5c71e8}";

// The function driver registers the test interface in AddDevice and enables
// it once started; at removal it disables it (unless told to leave it).
struct InterfaceDriver {
  explicit InterfaceDriver(bool disableAtRemove = true) {
    script.onAdded = [this](PDEVICE_OBJECT, PDEVICE_OBJECT pdo) {
      EXPECT_EQ(IoRegisterDeviceInterface(pdo, &kTestInterface, nullptr, &link), STATUS_SUCCESS);
    };
    script.onStarted = [this](PDEVICE_OBJECT, PDEVICE_OBJECT) {
      log->Add("Function: start done");
      EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    };
    script.onRemove = [this, disableAtRemove](PDEVICE_OBJECT) {
      if (disableAtRemove) {
        EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
      }
      RtlFreeUnicodeString(&link);
    };
  }
  Script script;
  UNICODE_STRING link{};
  Log* log = nullptr;
};

struct Machine {
  explicit Machine(InterfaceDriver& driver) : client(machine, u"Client", log) {
    driver.log = &log;
    pnpkit::Install(machine, u"Function", driver.script, log);
    machine.Pnp().Bind({u"ROOT\\TEST", u"Function"});
  }
  ~Machine() { client.Unregister(); }
  sim::DeviceNode* Add() { return machine.Pnp().AddRootDevice(Root(u"ROOT\\TEST\\0000", {u"ROOT\\TEST"})); }

  Log log;  // outlives the machine, whose shutdown its drivers still log to
  sim::Machine machine;
  Client client;
};

std::vector<std::string> Texts(const std::vector<std::u16string>& links) {
  std::vector<std::string> out;
  for (const auto& link : links) out.push_back(Text(link));
  return out;
}

}  // namespace

TEST(PnpInterfaces, LinkNamesAreBuiltAsNtBuildsThem) {
  InterfaceDriver driver;
  Machine test(driver);
  std::vector<std::string> names;
  driver.script.onAdded = [&](PDEVICE_OBJECT fdo, PDEVICE_OBJECT pdo) {
    UNICODE_STRING first{}, again{}, withReference{};
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &kTestInterface, nullptr, &first), STATUS_SUCCESS);
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &kTestInterface, nullptr, &again), STATUS_SUCCESS);
    std::u16string reference = u"Pipe";
    UNICODE_STRING ref = sim::View(reference);
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &kTestInterface, &ref, &withReference), STATUS_SUCCESS);
    EXPECT_EQ(first.MaximumLength, first.Length + sizeof(WCHAR));
    EXPECT_EQ(first.Buffer[first.Length / sizeof(WCHAR)], 0) << "the name is terminated";
    EXPECT_NE(first.Buffer, again.Buffer) << "each call returns a buffer of its own";
    for (UNICODE_STRING* name : {&first, &again, &withReference}) {
      names.push_back(Text(sim::ToU16(name)));
      RtlFreeUnicodeString(name);
    }
    // Only a PDO the PnP manager knows gets interfaces; a reference string is one path component.
    UNICODE_STRING refused{};
    EXPECT_EQ(IoRegisterDeviceInterface(fdo, &kTestInterface, nullptr, &refused), STATUS_INVALID_DEVICE_REQUEST);
    std::u16string path = u"a\\b";
    ref = sim::View(path);
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &kTestInterface, &ref, &refused), STATUS_INVALID_PARAMETER);
    driver.link = UNICODE_STRING{};
  };
  driver.script.onStarted = nullptr;
  driver.script.onRemove = nullptr;
  test.Add();
  EXPECT_EQ(names, (Lines{kLink, kLink, std::string(kLink) + "\\Pipe"}));
}

TEST(PnpInterfaces, EnablingAndDisablingAnswerAsNtDoes) {
  InterfaceDriver driver;
  Machine test(driver);
  sim::DeviceNode* node = test.Add();
  ASSERT_EQ(Texts(test.machine.Notify().EnabledInterfaces(kTestInterface)), Lines{kLink});
  EXPECT_EQ(Texts(test.machine.Notify().InterfacesOf(node->PhysicalDeviceObject())), Lines{kLink});
  std::u16string target;
  auto links = test.machine.Objects().Links();
  for (auto& [name, to] : links)
    if (Text(name) == kLink) target = to;
  EXPECT_EQ(target, test.machine.Objects().NameOf(node->PhysicalDeviceObject())) << "the link leads to the PDO";

  testkit::AsDriver(test.machine.Pnp().LoadedDriver(u"Function"), [&] {
    EXPECT_EQ(IoSetDeviceInterfaceState(&driver.link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&driver.link, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&driver.link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    std::u16string unknown = u"\\??\\ROOT#NONE#0000#{6a1f0c2e-51b3-4c8d-9e47-0ba23d5c71e8}";
    UNICODE_STRING name = sim::View(unknown);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
  });
  EXPECT_TRUE(test.machine.Notify().EnabledInterfaces(kTestInterface).empty());
  HANDLE handle = win32::CreateFileW(sim::Widen(kLink), GENERIC_READ, 0, win32::OPEN_EXISTING, 0);
  EXPECT_EQ(handle, win32::INVALID_HANDLE_VALUE) << "a disabled interface has no link";
  EXPECT_EQ(win32::LastNtStatus(), STATUS_OBJECT_NAME_NOT_FOUND);

  testkit::AsDriver(test.machine.Pnp().LoadedDriver(u"Function"),
                    [&] { EXPECT_EQ(IoSetDeviceInterfaceState(&driver.link, TRUE), STATUS_SUCCESS); });
  EXPECT_EQ(Texts(test.machine.Notify().EnabledInterfaces(kTestInterface)), Lines{kLink});
}

TEST(PnpInterfaces, OpeningALinkReachesTheStackWithTheRestOfThePathAsFileName) {
  InterfaceDriver driver;
  Machine test(driver);
  test.Add();
  HANDLE handle = win32::CreateFileW(sim::Widen(kLink) + u"\\PIPE00", GENERIC_READ, 0, win32::OPEN_EXISTING, 0);
  ASSERT_NE(handle, win32::INVALID_HANDLE_VALUE) << std::hex << win32::LastNtStatus();
  EXPECT_EQ(driver.script.lastCreateName, u"\\PIPE00");
  win32::CloseHandle(handle);
  // Applications write the same link as \\?\...
  std::u16string win32Path = u"\\\\?\\" + sim::Widen(kLink).substr(4);
  handle = win32::CreateFileW(win32Path, GENERIC_READ, 0, win32::OPEN_EXISTING, 0);
  ASSERT_NE(handle, win32::INVALID_HANDLE_VALUE);
  EXPECT_EQ(driver.script.lastCreateName, u"");
  win32::CloseHandle(handle);
}

TEST(PnpInterfaces, ExistingInterfacesAreReportedInsideTheRegistration) {
  InterfaceDriver driver;
  Machine test(driver);
  test.Add();
  test.machine.Pnp().WaitIdle();
  Client late(test.machine, u"Late", test.log);
  ASSERT_EQ(late.WatchInterfaces(kTestInterface, true), STATUS_SUCCESS);
  // Synchronously: on the caller's thread, before the registration returned.
  EXPECT_EQ(test.log.Of("Late: "), Lines{std::string("arrival ") + kLink});
  EXPECT_EQ(late.threads, Lines{test.machine.Options().applicationThreadName});

  Client without(test.machine, u"Without", test.log);
  ASSERT_EQ(without.WatchInterfaces(kTestInterface, false), STATUS_SUCCESS);
  test.machine.Pnp().WaitIdle();
  EXPECT_TRUE(test.log.Of("Without: ").empty()) << "without the flag only later changes are reported";
  late.Unregister();
  without.Unregister();
}

TEST(PnpInterfaces, ArrivalComesAfterTheStartCompletedAndRemovalWithTheDisable) {
  InterfaceDriver driver;
  Machine test(driver);
  ASSERT_EQ(test.client.WatchInterfaces(kTestInterface, false), STATUS_SUCCESS);
  sim::DeviceNode* node = test.Add();
  test.machine.Pnp().WaitIdle();
  Lines lines = test.log.Lines();
  auto started = std::find(lines.begin(), lines.end(), "Function: start done");
  auto arrival = std::find(lines.begin(), lines.end(), std::string("Client: arrival ") + kLink);
  ASSERT_NE(arrival, lines.end());
  EXPECT_LT(started, arrival) << "interfaces are exposed once IRP_MN_START_DEVICE succeeded";
  EXPECT_EQ(test.client.threads, Lines{"PnP notifications"});
  EXPECT_EQ(test.client.irqls, std::vector<KIRQL>{PASSIVE_LEVEL});

  EXPECT_TRUE(test.machine.Pnp().RemoveDevice(node));
  test.machine.Pnp().WaitIdle();
  EXPECT_EQ(test.log.Of("Client: ").back(), std::string("removal ") + kLink);
}

TEST(PnpInterfaces, TheManagerDisablesWhatADriverLeftEnabledAtRemoval) {
  InterfaceDriver driver(false);
  Machine test(driver);
  ASSERT_EQ(test.client.WatchInterfaces(kTestInterface, false), STATUS_SUCCESS);
  sim::DeviceNode* node = test.Add();
  EXPECT_TRUE(test.machine.Pnp().RemoveDevice(node));
  test.machine.Pnp().WaitIdle();
  EXPECT_EQ(test.log.Of("Client: "), (Lines{std::string("arrival ") + kLink, std::string("removal ") + kLink}));
  EXPECT_TRUE(test.machine.Notify().EnabledInterfaces(kTestInterface).empty());
  for (auto& [name, target] : test.machine.Objects().Links()) EXPECT_NE(Text(name), kLink);

  // The interface stays registered: the device's next arrival gets the same name.
  driver.script.onAdded = [&](PDEVICE_OBJECT, PDEVICE_OBJECT pdo) {
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &kTestInterface, nullptr, &driver.link), STATUS_SUCCESS);
    EXPECT_EQ(Text(sim::ToU16(&driver.link)), kLink);
  };
  test.Add();
  test.machine.Pnp().WaitIdle();
  EXPECT_EQ(test.log.Of("Client: ").back(), std::string("arrival ") + kLink);
}

// One registrant on both categories sees each event once, in the order the
// PnP manager raised them, one callback at a time. It does what tolvane does
// for merrow's pipes, from its callbacks: at arrival it opens the interface
// and watches the stack (a create and a PnP request from the callback), at
// query-remove it lets go of the file.
TEST(PnpInterfaces, ARegistrantSeesEventsInOrderOneAtATime) {
  InterfaceDriver driver;
  Machine test(driver);
  PFILE_OBJECT file = nullptr;
  test.client.react = [&](const GUID& event, PVOID notification) {
    if (event == GUID_DEVICE_INTERFACE_ARRIVAL) {
      PDEVICE_OBJECT device = nullptr;
      PUNICODE_STRING link = ((PDEVICE_INTERFACE_CHANGE_NOTIFICATION)notification)->SymbolicLinkName;
      EXPECT_EQ(IoGetDeviceObjectPointer(link, FILE_ALL_ACCESS, &file, &device), STATUS_SUCCESS);
      EXPECT_EQ(test.client.WatchTarget(file), STATUS_SUCCESS);
    }
    if (event == GUID_TARGET_DEVICE_QUERY_REMOVE) ObDereferenceObject(file);
    return STATUS_SUCCESS;
  };
  ASSERT_EQ(test.client.WatchInterfaces(kTestInterface, false), STATUS_SUCCESS);
  sim::DeviceNode* node = test.Add();
  test.machine.Pnp().WaitIdle();
  EXPECT_TRUE(test.log.Contains("Function: IRP_MN_QUERY_DEVICE_RELATIONS")) << "the target's PDO was asked for";

  EXPECT_TRUE(test.machine.Pnp().RemoveDevice(node));
  test.machine.Pnp().WaitIdle();
  EXPECT_EQ(test.log.Of("Client: "), (Lines{std::string("arrival ") + kLink, "query-remove", "remove-complete",
                                            std::string("removal ") + kLink}));
  EXPECT_EQ(test.client.mostInside, 1);
  for (const std::string& thread : test.client.threads) EXPECT_EQ(thread, "PnP notifications");
}

TEST(PnpInterfaces, AnUnregisteredEntryIsNeverCalledAgain) {
  InterfaceDriver driver;
  Machine test(driver);
  ASSERT_EQ(test.client.WatchInterfaces(kTestInterface, false), STATUS_SUCCESS);
  // The callback unregisters itself at the first arrival.
  test.client.react = [&](const GUID&, PVOID) {
    IoUnregisterPlugPlayNotification(test.client.entries.front());
    test.client.entries.clear();
    return STATUS_SUCCESS;
  };
  sim::DeviceNode* node = test.Add();
  test.machine.Pnp().WaitIdle();
  EXPECT_TRUE(test.machine.Pnp().RemoveDevice(node));
  test.Add();
  test.machine.Pnp().WaitIdle();
  EXPECT_EQ(test.log.Of("Client: "), Lines{std::string("arrival ") + kLink});

  // Unregistered from another thread: nothing after the call returned.
  Client other(test.machine, u"Other", test.log);
  ASSERT_EQ(other.WatchInterfaces(kTestInterface, false), STATUS_SUCCESS);
  other.Unregister();
  EXPECT_TRUE(test.machine.Pnp().RemoveDevice(test.machine.Pnp().FindNode(u"ROOT\\TEST\\0000")));
  test.machine.Pnp().WaitIdle();
  EXPECT_TRUE(test.log.Of("Other: ").empty());
}

TEST(PnpInterfaces, RegistrationChecksItsArguments) {
  InterfaceDriver driver;
  Machine test(driver);
  PVOID entry = nullptr;
  testkit::AsDriver(test.client.driver, [&] {
    EXPECT_EQ(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0, nullptr, test.client.driver,
                                             [](PVOID, PVOID) -> NTSTATUS { return STATUS_SUCCESS; }, nullptr, &entry),
              STATUS_INVALID_PARAMETER)
        << "an interface class is needed";
    EXPECT_EQ(IoRegisterPlugPlayNotification(EventCategoryTargetDeviceChange, 0, &entry, test.client.driver,
                                             [](PVOID, PVOID) -> NTSTATUS { return STATUS_SUCCESS; }, nullptr, &entry),
              STATUS_INVALID_PARAMETER)
        << "target-device-change needs a file object";
  });
}
