// What the device-interface and notification files share: the registered
// interfaces, the notification registrations and the thread that calls them.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/kernel/jobthread.h"
#include "sim/kernel/pnp.h"

namespace sim {

struct Notifications::Impl {
  struct Interface {
    std::u16string link;          // as IoRegisterDeviceInterface returns it
    std::u16string linkObject;    // the symbolic link in \??\ (the link without its reference string)
    std::u16string instancePath;  // of the device node it belongs to
    GUID interfaceClass{};
    bool enabled = false;
  };

  struct Registration {
    IO_NOTIFICATION_EVENT_CATEGORY category = EventCategoryReserved;
    GUID interfaceClass{};                 // EventCategoryDeviceInterfaceChange
    PDEVICE_OBJECT targetPdo = nullptr;    // EventCategoryTargetDeviceChange, referenced
    PFILE_OBJECT fileObject = nullptr;     // ditto, as the registrant passed it (not referenced)
    PDRIVER_OBJECT driver = nullptr;       // referenced while registered, as NT does
    PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback = nullptr;
    PVOID context = nullptr;
    bool unregistered = false;
    std::vector<KThread*> callers;         // threads inside the callback now
  };

  struct InterfaceEvent {
    GUID event{};
    GUID interfaceClass{};
    std::u16string link;
  };

  std::mutex mutex;  // everything below but the thread
  std::vector<Interface> interfaces;                          // in order of registration
  std::map<std::u16string, int> linkUsers;                    // enabled interfaces per link object (upcased)
  std::vector<std::shared_ptr<Registration>> registrations;   // in order of registration
  std::map<PDEVICE_OBJECT, std::vector<InterfaceEvent>> held;  // arrivals of stacks being started
  KEVENT callbackReturned;
  JobThread thread{"PnP notifications"};

  Impl() { KeInitializeEvent(&callbackReturned, NotificationEvent, FALSE); }

  // devinterface.cpp
  Interface* FindInterface(const std::u16string& link);  // caller holds `mutex`

  // pnpnotify.cpp
  void QueueInterfaceEvent(PDEVICE_OBJECT pdo, InterfaceEvent event);  // caller holds `mutex`
  void Deliver(const InterfaceEvent& event);
  bool DeliverTarget(PDEVICE_OBJECT pdo, const GUID& event);
  // Calls the registration's callback at PASSIVE_LEVEL in a frame of its
  // driver; nothing (nullopt) when it was unregistered meanwhile.
  std::optional<NTSTATUS> Call(const std::shared_ptr<Registration>& registration, PVOID structure);
};

// "{86e0d1e0-8089-11d0-9ce4-08003e301f73}": lowercase, as NT writes interface links.
std::u16string GuidText(const GUID& guid);

}  // namespace sim
