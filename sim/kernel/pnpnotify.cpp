// Plug and Play notifications: registrations for device-interface changes of a
// class and for target-device changes of a stack (through a file object), and
// the thread that calls them at PASSIVE_LEVEL, one at a time, in order.
//
// PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES: Microsoft documents
// that the callback is called "immediately" for each interface already enabled,
// and that a callback must not unregister itself while the registration call
// "has not yet returned" (IoUnregisterPlugPlayNotificationEx). Both say that
// NT makes those calls inside IoRegisterPlugPlayNotification, on the caller's
// thread, before *NotificationEntry is set; this kernel does the same.
#include <algorithm>
#include <cstdio>

#include "sim/kernel/machine.h"
#include "sim/kernel/notifyinternal.h"
#include "sim/kernel/object.h"
#include "sim/kernel/pnpinternal.h"
#include "sim/kernel/ustring.h"
#include "sim/kernel/verifier.h"

namespace sim {

namespace {

const char* CategoryName(IO_NOTIFICATION_EVENT_CATEGORY category) {
  switch (category) {
    case EventCategoryDeviceInterfaceChange: return "EventCategoryDeviceInterfaceChange";
    case EventCategoryTargetDeviceChange: return "EventCategoryTargetDeviceChange";
    case EventCategoryHardwareProfileChange: return "EventCategoryHardwareProfileChange";
    default: return "?";
  }
}

bool IsCaller(const std::vector<KThread*>& callers) {
  return std::find(callers.begin(), callers.end(), CurrentThread()) != callers.end();
}

}  // namespace

Notifications::Notifications() : impl_(std::make_unique<Impl>()) {}

Notifications::~Notifications() { impl_->thread.Stop(); }

void Notifications::WaitIdle() { impl_->thread.WaitIdle(); }

void Notifications::Stop() { impl_->thread.Stop(); }

// ---- the thread's work ----

std::optional<NTSTATUS> Notifications::Impl::Call(const std::shared_ptr<Registration>& registration, PVOID structure) {
  {
    std::lock_guard guard(mutex);
    if (registration->unregistered) return std::nullopt;
    registration->callers.push_back(CurrentThread());
  }
  NTSTATUS status;
  {
    FrameScope frame(registration->driver, (const void*)registration->callback, FrameKind::Notification);
    status = registration->callback(structure, registration->context);
  }
  {
    std::lock_guard guard(mutex);
    auto& callers = registration->callers;
    callers.erase(std::find(callers.begin(), callers.end(), CurrentThread()));
  }
  KeSetEvent(&callbackReturned, IO_NO_INCREMENT, FALSE);
  return status;
}

void Notifications::Impl::QueueInterfaceEvent(PDEVICE_OBJECT pdo, InterfaceEvent event) {
  if (auto it = held.find(pdo); it != held.end()) {
    it->second.push_back(std::move(event));
    return;
  }
  thread.Post([this, event] { Deliver(event); });
}

void Notifications::Impl::Deliver(const InterfaceEvent& event) {
  std::vector<std::shared_ptr<Registration>> targets;
  {
    std::lock_guard guard(mutex);
    for (const auto& each : registrations)
      if (each->category == EventCategoryDeviceInterfaceChange && each->interfaceClass == event.interfaceClass)
        targets.push_back(each);
  }
  std::u16string link = event.link;
  UNICODE_STRING name = View(link);
  for (const auto& each : targets) {
    DEVICE_INTERFACE_CHANGE_NOTIFICATION notification{1, sizeof notification, event.event, event.interfaceClass, &name};
    Call(each, &notification);
  }
}

// Returns false when a callback failed GUID_TARGET_DEVICE_QUERY_REMOVE (a veto);
// the callbacks after it are not asked.
bool Notifications::Impl::DeliverTarget(PDEVICE_OBJECT pdo, const GUID& event) {
  std::vector<std::shared_ptr<Registration>> targets;
  {
    std::lock_guard guard(mutex);
    for (const auto& each : registrations)
      if (each->category == EventCategoryTargetDeviceChange && each->targetPdo == pdo) targets.push_back(each);
  }
  for (const auto& each : targets) {
    TARGET_DEVICE_REMOVAL_NOTIFICATION notification{1, sizeof notification, event, each->fileObject};
    std::optional<NTSTATUS> status = Call(each, &notification);
    if (status && !NT_SUCCESS(*status) && event == GUID_TARGET_DEVICE_QUERY_REMOVE) return false;
  }
  return true;
}

bool Notifications::NotifyTargetDeviceChange(PDEVICE_OBJECT pdo, const GUID& event) {
  bool agreed = true;
  impl_->thread.RunSync([&] { agreed = impl_->DeliverTarget(pdo, event); });
  return agreed;
}

void Notifications::HoldArrivals(PDEVICE_OBJECT pdo) {
  std::lock_guard guard(impl_->mutex);
  impl_->held[pdo];
}

void Notifications::ReleaseArrivals(PDEVICE_OBJECT pdo, bool deliver) {
  std::lock_guard guard(impl_->mutex);
  auto node = impl_->held.extract(pdo);
  if (node.empty() || !deliver) return;
  for (Impl::InterfaceEvent& event : node.mapped()) impl_->thread.Post([this, event] { impl_->Deliver(event); });
}

// ---- registration ----

NTSTATUS Notifications::Register(IO_NOTIFICATION_EVENT_CATEGORY category, ULONG flags, PVOID data, PDRIVER_OBJECT driver,
                                 PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback, PVOID context, PVOID* entry) {
  if (!driver || !callback || !entry) return STATUS_INVALID_PARAMETER;
  auto registration = std::make_shared<Impl::Registration>();
  registration->category = category;
  registration->driver = driver;
  registration->callback = callback;
  registration->context = context;
  switch (category) {
    case EventCategoryDeviceInterfaceChange:
      if (!data) return STATUS_INVALID_PARAMETER;
      registration->interfaceClass = *(const GUID*)data;
      break;
    case EventCategoryTargetDeviceChange: {
      auto file = (PFILE_OBJECT)data;
      if (!file || !CurrentMachine().Objects().IsObject(file, ObjectType::File)) return STATUS_INVALID_PARAMETER;
      NTSTATUS status = QueryTargetDevice(file, &registration->targetPdo);
      if (!NT_SUCCESS(status)) return status;
      registration->fileObject = file;
      break;
    }
    case EventCategoryHardwareProfileChange:
      break;  // this machine has one hardware profile: no such event ever comes
    default:
      return STATUS_INVALID_PARAMETER;
  }
  ObReferenceObject(driver);
  std::vector<std::u16string> existing;
  {
    std::lock_guard guard(impl_->mutex);
    impl_->registrations.push_back(registration);
    if (category == EventCategoryDeviceInterfaceChange && (flags & PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES))
      for (const Impl::Interface& each : impl_->interfaces)
        if (each.enabled && each.interfaceClass == registration->interfaceClass) existing.push_back(each.link);
  }
  for (std::u16string& link : existing) {
    UNICODE_STRING name = View(link);
    DEVICE_INTERFACE_CHANGE_NOTIFICATION notification{1, sizeof notification, GUID_DEVICE_INTERFACE_ARRIVAL,
                                                      registration->interfaceClass, &name};
    impl_->Call(registration, &notification);
  }
  *entry = registration.get();
  return STATUS_SUCCESS;
}

// After this returns the callback is never called again: a call in progress on
// another thread is waited for (a callback unregistering itself is not).
NTSTATUS Notifications::Unregister(PVOID entry) {
  std::shared_ptr<Impl::Registration> registration;
  {
    std::lock_guard guard(impl_->mutex);
    auto& all = impl_->registrations;
    auto it = std::find_if(all.begin(), all.end(), [entry](const auto& each) { return each.get() == entry; });
    if (it != all.end()) {
      registration = *it;
      registration->unregistered = true;
      all.erase(it);
    }
  }
  if (!registration)
    VerifierStop(Rule::KernelStop, nullptr,
                 "IoUnregisterPlugPlayNotification of %p, which is not a registered notification entry (unregistered "
                 "twice?)",
                 entry);
  for (;;) {
    {
      std::lock_guard guard(impl_->mutex);
      if (registration->callers.empty() || IsCaller(registration->callers)) break;
      KeClearEvent(&impl_->callbackReturned);
    }
    KeWaitForSingleObject(&impl_->callbackReturned, Executive, KernelMode, FALSE, nullptr);
  }
  if (registration->targetPdo) ObDereferenceObject(registration->targetPdo);
  ObDereferenceObject(registration->driver);
  return STATUS_SUCCESS;
}

std::string Notifications::Residue(PDRIVER_OBJECT driver) {
  std::lock_guard guard(impl_->mutex);
  std::string out;
  char line[256];
  for (const auto& each : impl_->registrations) {
    if (each->driver != driver) continue;
    std::snprintf(line, sizeof line, "\n      notification %p still registered (%s, callback %s)", (void*)each.get(),
                  CategoryName(each->category), SymbolName((const void*)each->callback).c_str());
    out += line;
  }
  return out;
}

}  // namespace sim

using namespace sim;

extern "C" NTSTATUS NTAPI IoRegisterPlugPlayNotification(IO_NOTIFICATION_EVENT_CATEGORY EventCategory,
                                                         ULONG EventCategoryFlags, PVOID EventCategoryData,
                                                         PDRIVER_OBJECT DriverObject,
                                                         PDRIVER_NOTIFICATION_CALLBACK_ROUTINE CallbackRoutine,
                                                         PVOID Context, PVOID* NotificationEntry) {
  RequireIrqlPassive("IoRegisterPlugPlayNotification");
  return CurrentMachine().Notify().Register(EventCategory, EventCategoryFlags, EventCategoryData, DriverObject,
                                            CallbackRoutine, Context, NotificationEntry);
}

extern "C" NTSTATUS NTAPI IoUnregisterPlugPlayNotification(PVOID NotificationEntry) {
  RequireIrqlPassive("IoUnregisterPlugPlayNotification");
  return CurrentMachine().Notify().Unregister(NotificationEntry);
}
