#include "sim/tools/selfcheck.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "sim/kernel/exports.h"
#include "sim/kernel/irp.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"
#include "sim/kernel/pnproot.h"
#include "sim/kernel/ustring.h"
#include "sim/kernel/verifier.h"
#include "sim/tools/report.h"
#include "sim/usb/adapter.h"
#include "sim/usb/controller.h"
#include "sim/win32/win32.h"

extern "C" NTSTATUS NTAPI TolvaneDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);
extern "C" NTSTATUS NTAPI MerrowDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

namespace simulator {

namespace {

int failures = 0;

void Check(bool ok, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Check(bool ok, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Log("%s %s", ok ? "ok  " : "FAIL", text);
  if (!ok) ++failures;
}

std::string Status(NTSTATUS status) { return sim::StatusName(status); }

// The major functions a driver handles itself (the others keep the I/O
// manager's default, which refuses them).
std::string HandledRequests(PDRIVER_OBJECT driver) {
  PDRIVER_DISPATCH fallback = driver->MajorFunction[IRP_MJ_QUERY_INFORMATION];
  std::string out;
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    if (driver->MajorFunction[major] == fallback) continue;
    out += out.empty() ? "" : ", ";
    out += sim::MajorFunctionName((UCHAR)major) + 7;  // without "IRP_MJ_"
  }
  return out;
}

PDRIVER_OBJECT Load(sim::Machine& machine, const std::u16string& name, PDRIVER_INITIALIZE entry) {
  PDRIVER_OBJECT driver = machine.LoadDriver(name, entry);
  Check(driver != nullptr, "loaded %s: DriverEntry succeeded", sim::Narrow(name).c_str());
  if (driver) Log("     %s handles %s", sim::Narrow(name).c_str(), HandledRequests(driver).c_str());
  return driver;
}

std::u16string NameOf(PDEVICE_OBJECT device) { return sim::CurrentMachine().Objects().NameOf(device); }

// What an application sees of a started device: open, a request the driver
// does not know, a read, and close.
void UseAsApplication(PDEVICE_OBJECT pdo, bool exclusive, NTSTATUS expectedUnknownIoctl) {
  std::u16string path = NameOf(pdo);
  HANDLE handle = win32::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, win32::OPEN_EXISTING, 0);
  Check(handle != win32::INVALID_HANDLE_VALUE, "application opened %s", sim::Narrow(path).c_str());
  if (handle == win32::INVALID_HANDLE_VALUE) return;

  if (exclusive) {
    HANDLE second = win32::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, win32::OPEN_EXISTING, 0);
    bool refused = second == win32::INVALID_HANDLE_VALUE;
    Check(refused && win32::LastNtStatus() == STATUS_ACCESS_DENIED,
          "a second open of the exclusive device is refused by the I/O manager: %s (Win32 error %u)",
          refused ? Status(win32::LastNtStatus()).c_str() : "it succeeded", (unsigned)win32::GetLastError());
    if (!refused) win32::CloseHandle(second);
  }

  DWORD returned = 0;
  unsigned char buffer[16] = {};
  win32::BOOL ok = win32::DeviceIoControl(handle, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x7FF, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                      nullptr, 0, buffer, sizeof buffer, &returned, nullptr);
  Check(!ok && win32::LastNtStatus() == expectedUnknownIoctl, "an unknown control code is refused with %s (Win32 error %u)",
        Status(win32::LastNtStatus()).c_str(), (unsigned)win32::GetLastError());

  ok = win32::ReadFile(handle, buffer, sizeof buffer, &returned, nullptr);
  Log("     a read before the driver moves data: %s, %u bytes", ok ? "STATUS_SUCCESS" : Status(win32::LastNtStatus()).c_str(),
      (unsigned)returned);

  Check(win32::CloseHandle(handle), "application closed the device (cleanup, then close)");
}

// One device node's life: AddDevice, start, use, removal.
void RunDeviceNode(PDRIVER_OBJECT driver, bool exclusive, NTSTATUS expectedUnknownIoctl) {
  std::string name = sim::DriverName(driver);
  PDEVICE_OBJECT pdo = sim::CreateRootPdo(exclusive);
  Log("     root bus created the device node's PDO %s%s", sim::Narrow(NameOf(pdo)).c_str(),
      exclusive ? " (exclusive, as the Ports class installs serial ports)" : "");
  NTSTATUS status = sim::CallAddDevice(driver, pdo);
  Check(NT_SUCCESS(status) && pdo->AttachedDevice, "%s's AddDevice attached a device on the PDO: %s", name.c_str(),
        Status(status).c_str());
  if (!pdo->AttachedDevice) return;
  status = sim::SendPnpRequest(pdo, IRP_MN_START_DEVICE);
  Check(NT_SUCCESS(status), "IRP_MN_START_DEVICE: %s", Status(status).c_str());
  UseAsApplication(pdo, exclusive, expectedUnknownIoctl);
  status = sim::SendPnpRequest(pdo, IRP_MN_REMOVE_DEVICE);
  Check(NT_SUCCESS(status) && !pdo->AttachedDevice, "IRP_MN_REMOVE_DEVICE: %s; the device detached and deleted itself",
        Status(status).c_str());
  sim::DeleteRootPdo(pdo);
}

void Summary(sim::Machine& machine) {
  int implemented = 0, missing = 0;
  for (const sim::Export& entry : sim::ExportTable()) (entry.implemented ? implemented : missing)++;
  Log("     kernel export table: %d routines implemented, %d declared for later (they stop the machine if called)",
      implemented, missing);
  Check(machine.Irps().LiveCount() == 0, "no request is left in flight (%zu)", machine.Irps().LiveCount());
  Check(machine.Pool().Outstanding(nullptr).empty(), "no pool is left allocated (%zu blocks)",
        machine.Pool().Outstanding(nullptr).size());
}

}  // namespace

int RunSelfCheck(const Options& options) {
  sim::MachineOptions machineOptions;
  machineOptions.virtualTime = !options.realTime;
  machineOptions.faults.failNth = options.failNth;
  machineOptions.delayFuzzSeed = options.delayFuzzSeed;
  sim::Machine machine(machineOptions);
  if (options.trace) sim::SetTraceSink(PrintTraceEvent);

  Heading("Boot");
  Log("     simulated machine up: %d processors, %s, verifier on", machineOptions.processors,
      options.realTime ? "real time" : "virtual time");
  // The USB bus with the default adapter plugged in: the hub enumerates it
  // (and the capture, if any, shows it).
  sim::usb::ControllerOptions usbOptions;
  usbOptions.pcapPath = options.pcap;
  auto usb = std::make_unique<sim::usb::HostController>(usbOptions);
  int adapterPort = usb->Plug(std::make_shared<sim::usb::SerialAdapter>());
  Check(adapterPort != 0, "USB: the default adapter plugged into root-hub port %d, address %u, PDO %s", adapterPort,
        (unsigned)usb->Address(adapterPort), sim::Narrow(NameOf(usb->Pdo(adapterPort))).c_str());
  PDRIVER_OBJECT merrow = Load(machine, u"merrow", MerrowDriverEntry);
  PDRIVER_OBJECT tolvane = Load(machine, u"tolvane", TolvaneDriverEntry);

  if (merrow) {
    Heading("merrow: a device node");
    RunDeviceNode(merrow, false, STATUS_INVALID_PARAMETER);
  }
  if (tolvane) {
    Heading("tolvane: a device node");
    RunDeviceNode(tolvane, true, STATUS_NOT_SUPPORTED);
  }

  if (!options.pcap.empty()) Log("     USB capture: %llu records in %s", (unsigned long long)usb->CapturedRecords(), options.pcap.c_str());
  usb.reset();

  Heading("Unload");
  for (PDRIVER_OBJECT driver : {tolvane, merrow}) {
    if (!driver) continue;
    std::string name = sim::DriverName(driver);
    machine.UnloadDriver(driver);  // stops the machine with a report on any leak or residue
    Check(true, "unloaded %s: no device, pool, timer, DPC or work item left behind", name.c_str());
  }
  Summary(machine);
  sim::SetTraceSink({});
  return failures;
}

}  // namespace simulator
