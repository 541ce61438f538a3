#include "tests/port/port_kit.h"

namespace porttest {

namespace {

// The port driver's dispatch table, as its DriverEntry fills it.
NTSTATUS NTAPI TestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = PortCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = PortCreateClose;
  driver->MajorFunction[IRP_MJ_READ] = PortReadWrite;
  driver->MajorFunction[IRP_MJ_WRITE] = PortReadWrite;
  driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = PortFlush;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = PortDeviceControl;
  driver->MajorFunction[IRP_MJ_CLEANUP] = PortCleanup;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = PortSystemControl;
  driver->MajorFunction[IRP_MJ_PNP] = PortPnp;
  driver->DriverExtension->AddDevice = PortAddDevice;
  return STATUS_SUCCESS;
}

}  // namespace

PortRig::PortRig(PortConfig config) {
  driver_ = machine_.LoadDriver(u"tolvane", TestEntry);
  pdo_ = sim::CreateRootPdo(config.exclusive);
  AsDriver([&] {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver_, sizeof(PORT_EXTENSION), nullptr, FILE_DEVICE_SERIAL_PORT,
                                     FILE_DEVICE_SECURE_OPEN, TRUE, &device);
    ASSERT_EQ(status, STATUS_SUCCESS);
    PPORT_EXTENSION extension = PortExtension(device);
    RtlZeroMemory(extension, sizeof *extension);
    extension->PhysicalDeviceObject = pdo_;
    extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(device, pdo_);
    WCHAR match[TARGET_MATCH_CHARS] = {};
    for (size_t i = 0; i < config.targetMatch.size() && i + 1 < TARGET_MATCH_CHARS; ++i) match[i] = config.targetMatch[i];
    ASSERT_EQ(InitializePort(device, config.endPointCaps, match), STATUS_SUCCESS);
    device_ = device;
  });
}

PortRig::~PortRig() {
  // The last reference on a file can go at DISPATCH_LEVEL (a request completed
  // by a DPC), and then NT closes the file later from a worker thread: wait
  // for that close, as a removal waits for it through the remove lock.
  for (int i = 0; device_ && Extension()->OpenCount != 0 && i < 1000; ++i) machine_.Sleep(sim::kTicksPerMs);
  if (device_) {
    AsDriver([&] {
      PortReleaseResources(device_);
      IoDetachDevice(PortExtension(device_)->LowerDeviceObject);
      IoDeleteDevice(device_);
    });
  }
  sim::DeleteRootPdo(pdo_);
  machine_.UnloadDriver(driver_);  // stops the test on any leak or residue
}

std::u16string PortRig::Path() { return machine_.Objects().NameOf(pdo_); }

HANDLE PortRig::Open(DWORD flags) {
  return CreateFileW(Path(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, flags);
}

void PortRig::AsDriver(const std::function<void()>& body) {
  sim::FrameScope frame(driver_, (const void*)&TestEntry, sim::FrameKind::Other);
  body();
}

IoctlResult Ioctl(HANDLE handle, ULONG code, const void* in, DWORD inSize, void* out, DWORD outSize) {
  DWORD returned = 0xDEADBEEF;
  BOOL ok = DeviceIoControl(handle, code, const_cast<void*>(in), inSize, out, outSize, &returned, nullptr);
  return {ok ? STATUS_SUCCESS : LastNtStatus(), returned};
}

OVERLAPPED WithEvent() {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return overlapped;
}

}  // namespace porttest
