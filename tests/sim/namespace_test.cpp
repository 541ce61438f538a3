// The object namespace as the I/O manager's open sees it: symbolic links and
// their aliases, case, paths that continue below a device, name collisions,
// and the create/cleanup/close sequence of IoGetDeviceObjectPointer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/kernel/iomanager.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"
#include "sim/kernel/thread.h"
#include "sim/kernel/ustring.h"
#include "tests/sim/testkit.h"

namespace {

using Events = std::vector<std::string>;

// Runs `body` with a UNICODE_STRING for `text`.
template <typename Body>
auto WithName(const std::u16string& text, Body body) {
  UNICODE_STRING name = sim::View(text);
  return body(&name);
}

NTSTATUS Link(const std::u16string& link, const std::u16string& target) {
  std::u16string copy = target;
  return WithName(link, [&](PUNICODE_STRING name) {
    UNICODE_STRING device = sim::View(copy);
    return IoCreateSymbolicLink(name, &device);
  });
}

NTSTATUS Unlink(const std::u16string& link) {
  return WithName(link, [](PUNICODE_STRING name) { return IoDeleteSymbolicLink(name); });
}

// A named device (\Device\TestX) with a filter attached above it; both note
// the file requests they see.
class Namespace : public ::testing::Test {
 protected:
  Namespace() {
    driver = testkit::LoadDriver(machine, u"Named");
    named = testkit::CreateDevice(driver, namedB, u"\\Device\\TestX");
    Record(namedB, "named");
  }
  ~Namespace() override {
    if (filter) testkit::Delete(filter);
    if (named) testkit::Delete(named);
  }

  void Record(testkit::Behaviour& behaviour, const std::string& who) {
    auto note = [this, who](const char* what) {
      return [this, who, what](PDEVICE_OBJECT device, PIRP irp) {
        PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
        events.push_back(who + " " + what);
        lastIrql = KeGetCurrentIrql();
        lastThread = sim::CurrentThread();
        if (std::string(what) == "create") fileName = sim::ToU16(&file->FileName);
        return testkit::Complete(irp, createStatus);
      };
    };
    behaviour.dispatch[IRP_MJ_CREATE] = note("create");
    behaviour.dispatch[IRP_MJ_CLEANUP] = note("cleanup");
    behaviour.dispatch[IRP_MJ_CLOSE] = note("close");
  }

  void AttachFilter() {
    filter = testkit::CreateDevice(driver, filterB);
    testkit::Attach(filter, named);
    Record(filterB, "filter");
  }

  // Opens `path` as an application would, then closes the handle again.
  NTSTATUS OpenAndClose(const std::u16string& path) {
    sim::OpenRequest request;
    request.path = path;
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = sim::OpenFile(request, &file);
    if (!NT_SUCCESS(status)) return status;
    opened = file->DeviceObject;
    machine.Objects().AddHandle(file);
    machine.Objects().CloseHandle(file);
    return status;
  }

  sim::Machine machine;
  PDRIVER_OBJECT driver = nullptr;
  testkit::Behaviour namedB, filterB;
  PDEVICE_OBJECT named = nullptr, filter = nullptr;
  NTSTATUS createStatus = STATUS_SUCCESS;
  Events events;
  std::u16string fileName;
  PDEVICE_OBJECT opened = nullptr;
  KIRQL lastIrql = HIGH_LEVEL;          // of the last request the devices saw
  sim::KThread* lastThread = nullptr;
};

TEST_F(Namespace, DosDevicesAndQuestionMarksAreOneDirectory) {
  ASSERT_EQ(Link(u"\\DosDevices\\TESTX", u"\\Device\\TestX"), STATUS_SUCCESS);
  EXPECT_EQ(OpenAndClose(u"\\??\\TESTX"), STATUS_SUCCESS) << "a link made under \\DosDevices is found under \\??";
  EXPECT_EQ(opened, named);
  EXPECT_EQ(OpenAndClose(u"\\GLOBAL??\\TESTX"), STATUS_SUCCESS);
  EXPECT_EQ(Link(u"\\??\\TESTX", u"\\Device\\TestX"), STATUS_OBJECT_NAME_COLLISION) << "it is the same name";
  EXPECT_EQ(Unlink(u"\\??\\TESTX"), STATUS_SUCCESS);
  EXPECT_EQ(OpenAndClose(u"\\DosDevices\\TESTX"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Namespace, NamesAreCaseInsensitive) {
  ASSERT_EQ(Link(u"\\??\\TestLink", u"\\device\\testx"), STATUS_SUCCESS);
  EXPECT_EQ(OpenAndClose(u"\\??\\TESTLINK"), STATUS_SUCCESS);
  EXPECT_EQ(opened, named);
  EXPECT_EQ(OpenAndClose(u"\\DEVICE\\testX"), STATUS_SUCCESS);
  EXPECT_EQ(Link(u"\\??\\testlink", u"\\Device\\TestX"), STATUS_OBJECT_NAME_COLLISION);
}

TEST_F(Namespace, LinksMayPointAtLinks) {
  ASSERT_EQ(Link(u"\\??\\Inner", u"\\Device\\TestX"), STATUS_SUCCESS);
  ASSERT_EQ(Link(u"\\??\\Outer", u"\\??\\Inner"), STATUS_SUCCESS);
  EXPECT_EQ(OpenAndClose(u"\\??\\Outer\\tail"), STATUS_SUCCESS);
  EXPECT_EQ(opened, named);
  EXPECT_EQ(fileName, u"\\tail");
}

TEST_F(Namespace, PathBelowADeviceReachesItWithTheRestAsFileName) {
  ASSERT_EQ(Link(u"\\??\\TestX", u"\\Device\\TestX"), STATUS_SUCCESS);
  EXPECT_EQ(OpenAndClose(u"\\??\\TestX\\PIPE00\\more"), STATUS_SUCCESS);
  EXPECT_EQ(opened, named);
  EXPECT_EQ(fileName, u"\\PIPE00\\more") << "the device gets what follows its own name";

  EXPECT_EQ(OpenAndClose(u"\\Device\\TestX"), STATUS_SUCCESS);
  EXPECT_EQ(fileName, u"") << "opening the device itself gives an empty file name";
}

TEST_F(Namespace, NameMustEndAtAComponentBoundary) {
  EXPECT_EQ(OpenAndClose(u"\\Device\\TestXY"), STATUS_OBJECT_NAME_NOT_FOUND) << "\\Device\\TestX is not a prefix of TestXY";
  EXPECT_EQ(OpenAndClose(u"\\Device\\Nothing"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Namespace, OpenSendsCreateToTheTopOfTheStackAndCloseAfterCleanup) {
  AttachFilter();
  EXPECT_EQ(OpenAndClose(u"\\Device\\TestX"), STATUS_SUCCESS);
  EXPECT_EQ(opened, named) << "the file object names the device that was found, not the top of its stack";
  EXPECT_EQ(events, (Events{"filter create", "filter cleanup", "filter close"}));
}

TEST_F(Namespace, FailedCreateSendsNoCleanupOrClose) {
  createStatus = STATUS_ACCESS_DENIED;
  EXPECT_EQ(OpenAndClose(u"\\Device\\TestX"), STATUS_ACCESS_DENIED);
  EXPECT_EQ(events, (Events{"named create"}));
}

TEST_F(Namespace, GetDeviceObjectPointerSendsCloseOnlyAtTheCallersDereference) {
  AttachFilter();
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = WithName(u"\\Device\\TestX", [&](PUNICODE_STRING name) {
    return IoGetDeviceObjectPointer(name, FILE_READ_DATA, &file, &device);
  });
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(device, filter) << "the device returned is the top of the named device's stack";
  EXPECT_EQ(file->DeviceObject, named);
  EXPECT_EQ(events, (Events{"filter create", "filter cleanup"})) << "create, then cleanup as the handle is closed at once";

  ObDereferenceObject(file);
  EXPECT_EQ(events, (Events{"filter create", "filter cleanup", "filter close"}))
      << "close comes with the caller's dereference of the file object";
}

TEST_F(Namespace, LastDereferenceAtDispatchLevelClosesFromAWorkerAtPassiveLevel) {
  sim::OpenRequest request;
  request.path = u"\\Device\\TestX";
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(sim::OpenFile(request, &file), STATUS_SUCCESS);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ObDereferenceObject(file);
  KeLowerIrql(old);
  machine.Sleep(sim::kTicksPerMs);  // the worker is done by now

  EXPECT_EQ(events, (Events{"named create", "named close"}));
  EXPECT_EQ(lastIrql, PASSIVE_LEVEL) << "IRP_MJ_CLOSE is sent at PASSIVE_LEVEL";
  EXPECT_NE(lastThread, sim::CurrentThread()) << "by a worker thread, as the last reference went at DISPATCH_LEVEL";
}

TEST_F(Namespace, GetDeviceObjectPointerReportsAMissingName) {
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = WithName(u"\\Device\\Missing", [&](PUNICODE_STRING name) {
    return IoGetDeviceObjectPointer(name, FILE_READ_DATA, &file, &device);
  });
  EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(events, Events{});
}

TEST_F(Namespace, NameCollisions) {
  PDEVICE_OBJECT second = nullptr;
  std::u16string taken = u"\\Device\\TestX";
  UNICODE_STRING name = sim::View(taken);
  testkit::AsDriver(driver, [&] {
    EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_OBJECT_NAME_COLLISION)
        << "a second device with the same name";
  });
  EXPECT_EQ(Link(u"\\Device\\testx", u"\\Device\\Elsewhere"), STATUS_OBJECT_NAME_COLLISION)
      << "a link with a device's name";
  ASSERT_EQ(Link(u"\\??\\Twice", u"\\Device\\TestX"), STATUS_SUCCESS);
  EXPECT_EQ(Link(u"\\??\\Twice", u"\\Device\\Other"), STATUS_OBJECT_NAME_COLLISION) << "a second link with the same name";
}

TEST_F(Namespace, DeletedDeviceGivesUpItsName) {
  ASSERT_EQ(Link(u"\\??\\TestX", u"\\Device\\TestX"), STATUS_SUCCESS);
  testkit::Delete(named);
  named = nullptr;
  EXPECT_EQ(OpenAndClose(u"\\??\\TestX"), STATUS_OBJECT_NAME_NOT_FOUND) << "the link now leads nowhere";

  testkit::Behaviour again;
  named = testkit::CreateDevice(driver, again, u"\\Device\\TestX");
  EXPECT_NE(named, nullptr) << "the name is free again";
  again.dispatch[IRP_MJ_CREATE] = [](PDEVICE_OBJECT, PIRP irp) { return testkit::Complete(irp, STATUS_SUCCESS); };
  again.dispatch[IRP_MJ_CLEANUP] = again.dispatch[IRP_MJ_CLOSE] = again.dispatch[IRP_MJ_CREATE];
  EXPECT_EQ(OpenAndClose(u"\\??\\TestX"), STATUS_SUCCESS) << "and the old link finds the new device";
  testkit::Delete(named);
  named = nullptr;
}

TEST_F(Namespace, DeletingAMissingLinkFails) {
  EXPECT_EQ(Unlink(u"\\??\\NeverMade"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Unlink(u"\\Device\\TestX"), STATUS_OBJECT_NAME_NOT_FOUND) << "a device's name is not a link";
  EXPECT_EQ(OpenAndClose(u"\\Device\\TestX"), STATUS_SUCCESS) << "and the device keeps its name";
}

}  // namespace
