#include "tests/pipe/pipe_kit.h"

#include <cstdio>

#include "sim/kernel/thread.h"

namespace pipetest {

namespace {

std::u16string Hex4(USHORT value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return sim::Widen(text);
}

UrbFilter* activeFilter = nullptr;  // the filter of the machine under test

struct FilterExtension {
  PDEVICE_OBJECT lower;
};

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device) { return ((FilterExtension*)device->DeviceExtension)->lower; }

NTSTATUS NTAPI FilterPass(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(LowerOf(device), irp);
}

NTSTATUS NTAPI FilterPower(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(LowerOf(device), irp);
}

NTSTATUS NTAPI FilterPnp(PDEVICE_OBJECT device, PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) return FilterPass(device, irp);
  PDEVICE_OBJECT lower = LowerOf(device);
  NTSTATUS status = FilterPass(device, irp);
  IoDetachDevice(lower);
  IoDeleteDevice(device);
  return status;
}

UrbRecord Describe(PURB urb) {
  UrbRecord record;
  record.function = urb->UrbHeader.Function;
  switch (record.function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      record.descriptorType = urb->UrbControlDescriptorRequest.DescriptorType;
      record.length = urb->UrbControlDescriptorRequest.TransferBufferLength;
      break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
      record.configuration = urb->UrbSelectConfiguration.ConfigurationDescriptor != nullptr;
      break;
    case URB_FUNCTION_RESET_PIPE:
    case URB_FUNCTION_ABORT_PIPE:
      record.pipe = urb->UrbPipeRequest.PipeHandle;
      break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      record.pipe = urb->UrbBulkOrInterruptTransfer.PipeHandle;
      record.length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
      break;
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
      record.length = urb->UrbControlVendorClassRequest.TransferBufferLength;
      break;
    default:
      break;
  }
  return record;
}

NTSTATUS NTAPI FilterUrbDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  UrbFilter* filter = activeFilter;
  if (filter && filter->completed) filter->completed((PURB)context);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI FilterInternal(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  UrbFilter* filter = activeFilter;
  if (filter && stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
    PURB urb = (PURB)stack->Parameters.Others.Argument1;
    filter->upper = device->AttachedDevice;
    {
      std::lock_guard guard(filter->mutex);
      filter->records.push_back(Describe(urb));
    }
    std::optional<NTSTATUS> answer = filter->answer ? filter->answer(urb) : std::nullopt;
    if (answer) {
      irp->IoStatus.Status = *answer;
      irp->IoStatus.Information = 0;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return *answer;
    }
    if (filter->completed) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, FilterUrbDone, urb, TRUE, TRUE, TRUE);
      return IoCallDriver(LowerOf(device), irp);
    }
  }
  return FilterPass(device, irp);
}

NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(FilterExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
  ((FilterExtension*)device->DeviceExtension)->lower = lower;
  device->Flags |= lower->Flags & (DO_DIRECT_IO | DO_BUFFERED_IO | DO_POWER_PAGABLE);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI UrbFilterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) driver->MajorFunction[major] = FilterPass;
  driver->MajorFunction[IRP_MJ_PNP] = FilterPnp;
  driver->MajorFunction[IRP_MJ_POWER] = FilterPower;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = FilterInternal;
  driver->DriverExtension->AddDevice = FilterAddDevice;
  return STATUS_SUCCESS;
}

}  // namespace

std::vector<UrbRecord> UrbFilter::Records() {
  std::lock_guard guard(mutex);
  return records;
}

std::vector<UrbRecord> UrbFilter::Of(USHORT function) {
  std::vector<UrbRecord> out;
  for (const UrbRecord& record : Records())
    if (record.function == function) out.push_back(record);
  return out;
}

void UrbFilter::Clear() {
  std::lock_guard guard(mutex);
  records.clear();
}

std::u16string HardwareId(const sim::usb::AdapterConfig& adapter) {
  return u"USB\\VID_" + Hex4(adapter.vendor) + u"&PID_" + Hex4(adapter.product);
}

std::u16string HardwareKeyOf(const sim::usb::AdapterConfig& adapter) {
  return u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + HardwareId(adapter) + u"\\" + adapter.serial +
         u"\\Device Parameters";
}

PipeRig::PipeRig(PipeConfig config, sim::MachineOptions options)
    : config_(std::move(config)), machine_(std::move(options)) {
  machine_.Pnp().AddService({u"merrow", MerrowDriverEntry});
  std::vector<std::u16string> lowerFilters;
  if (config_.filter) {
    activeFilter = config_.filter;
    machine_.Pnp().AddService({u"urbfilter", UrbFilterDriverEntry});
    lowerFilters.push_back(u"urbfilter");
  }
  machine_.Pnp().Bind({HardwareId(config_.adapter), u"merrow", {}, lowerFilters});
  if (!config_.values.empty()) {
    machine_.Reg().CreateKey(HardwareKey());
    for (auto& [name, value] : config_.values) machine_.Reg().SetValue(HardwareKey(), name, value);
  }
  usb_ = std::make_unique<sim::usb::HostController>(config_.bus);
  adapter_ = config_.model ? config_.model : std::make_shared<sim::usb::SerialAdapter>(config_.adapter);
  if (config_.plug) Plug();
}

PipeRig::~PipeRig() {
  if (port_ && !unplugged_) Unplug();
  machine_.Pnp().WaitIdle();
  usb_.reset();
  activeFilter = nullptr;
}

bool PipeRig::Plug(bool wait) {
  if (!port_) port_ = usb_->Plug(adapter_, config_.faults);
  if (!wait) return port_ != 0;
  machine_.Pnp().WaitIdle();
  sim::DeviceNode* node = Node();
  return node && node->State() == sim::NodeState::Started;
}

void PipeRig::Unplug() {
  if (!port_ || unplugged_) return;
  unplugged_ = true;
  usb_->Unplug(port_);
  machine_.Pnp().WaitIdle();
}

bool PipeRig::Replug() {
  if (unplugged_) {
    port_ = usb_->Plug(adapter_, config_.faults);
    unplugged_ = false;
  }
  return Plug();
}

bool PipeRig::Remove() {
  sim::DeviceNode* node = Node();
  if (!node || node->State() == sim::NodeState::Removed) return true;
  bool removed = machine_.Pnp().RemoveDevice(node);
  machine_.Pnp().WaitIdle();
  return removed;
}

sim::DeviceNode* PipeRig::Node() {
  if (!port_) return nullptr;
  for (sim::DeviceNode* node : machine_.Pnp().Nodes())
    for (const std::u16string& id : node->HardwareIds())
      if (id == HardwareId(config_.adapter)) return node;
  return nullptr;
}

PDEVICE_OBJECT PipeRig::Device() {
  sim::DeviceNode* node = Node();
  if (!node) return nullptr;
  PDEVICE_OBJECT top = node->Top();
  return top && top != node->PhysicalDeviceObject() ? top : nullptr;
}

PPIPE_DEVICE_EXTENSION PipeRig::Extension() {
  PDEVICE_OBJECT device = Device();
  return device ? PipeExtension(device) : nullptr;
}

std::vector<std::u16string> PipeRig::Links() {
  return machine_.Notify().EnabledInterfaces(GUID_PIPE_DRIVER_INTERFACE);
}

std::u16string PipeRig::Link() {
  std::vector<std::u16string> links = Links();
  return links.empty() ? std::u16string() : links.front();
}

HANDLE PipeRig::Open(const std::u16string& pipe, DWORD flags) {
  return CreateFileW(Link() + pipe, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, flags);
}

void PipeRig::AsDriver(const std::function<void()>& body) {
  sim::FrameScope frame(Driver(), (const void*)&MerrowDriverEntry, sim::FrameKind::Other);
  body();
}


IoctlResult Ioctl(HANDLE handle, ULONG code, const void* in, DWORD inSize, void* out, DWORD outSize) {
  DWORD returned = 0xDEADBEEF;
  BOOL ok = DeviceIoControl(handle, code, const_cast<void*>(in), inSize, out, outSize, &returned, nullptr);
  return {ok ? STATUS_SUCCESS : LastNtStatus(), returned};
}

}  // namespace pipetest
