// The inside of the simulated host controller and root hub, shared by the
// files of sim/usb: the bus lock and what it guards, the controller's thread
// and clock (bus.cpp), the transfer engine (engine.cpp, schedule.cpp), URB
// handling (urb.cpp, select.cpp, control.cpp), the root hub (hub.cpp) and
// the PDOs (pdo.cpp).
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/kernel/thread.h"
#include "sim/usb/capture.h"
#include "sim/usb/controller.h"
#include "sim/usb/device.h"

namespace sim::usb {

class UsbPdo;

struct Port {
  int number = 0;
  std::shared_ptr<UsbDevice> device;  // nullptr: nothing plugged in
  bool enabled = false;
  bool surpriseRemovalOk = false;
  UsbPdo* pdo = nullptr;              // the PDO of the device plugged in now
};

// Time on the bus: microframes of 125 us; a full-speed frame is 8 of them.
constexpr Tick kMicroframeTicks = 1250;
constexpr Tick kFrameTicks = 8 * kMicroframeTicks;
constexpr int kFullSpeedBulkPackets = 19;
constexpr int kHighSpeedBulkPackets = 13;

class Bus : public DeviceLink {
 public:
  explicit Bus(const ControllerOptions& options);
  ~Bus() override;

  // The bus lock guards everything below and every model.
  std::recursive_mutex lock_;
  bool timed_ = false;
  std::vector<Port> ports_;
  Capture capture_;
  PDRIVER_OBJECT driver_ = nullptr;   // the bus driver's object (\Driver\usbhub)
  uint64_t nextHandle_ = 1;           // pipe, interface and configuration handles
  uint64_t nextHubRequest_ = 1;       // capture ids of the hub's own requests
  std::vector<std::unique_ptr<UsbPdo>> pdos_;
  // Transfers ended by a request (abort, unconfigure, unplug) that wait to be
  // completed by whoever leaves the bus lock next.
  TransferList ended_;

  // DeviceLink, for the models.
  Tick Now() override;
  void ScheduleAt(Tick due, std::function<void()> action) override;
  void Notify() override;
  std::recursive_mutex& Lock() override { return lock_; }

  // --- bus.cpp: the controller's thread and the hub's worker thread.
  // Replays `irp` from the controller's thread once the clock reaches `due`
  // (forced pending, slow responses); the caller has marked it pending.
  void Defer(UsbPdo* pdo, PIRP irp, Tick due);
  // Runs `work` at PASSIVE_LEVEL on the hub's thread (unplug, cycle port).
  void RunOnHubThread(std::function<void()> work);
  void* NewHandle();
  uint64_t FrameNumberAt(Tick now) const { return (uint64_t)(now / kFrameTicks); }

  // --- engine.cpp: transfers.
  // Queues `t` on its endpoint; completes it at once when the bus allows it,
  // otherwise marks its IRP pending with the bus's cancel routine.
  NTSTATUS StartTransfer(std::unique_ptr<Transfer> t);
  // Ends every transfer of `ep` (or of the whole device) with `status`;
  // they complete when the returned list is passed to CompleteTransfers.
  TransferList EndTransfers(Endpoint& ep, USBD_STATUS status);
  TransferList EndDeviceTransfers(UsbDevice& device, USBD_STATUS status);
  // Completes transfers taken off their queues (outside the bus lock). On the
  // controller's thread completion runs at DISPATCH_LEVEL, as from a DPC.
  void CompleteTransfers(TransferList& done);
  // Completes a request that is not a transfer, the same way.
  NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
  // Takes `t` for completion unless its cancel routine owns it already; then
  // sets its URB's status and length and captures the completion.
  bool Claim(Transfer& t);
  void Conclude(Transfer& t);
  // Moves what can move now. `limits` bound it in timed mode.
  struct UnitLimits {
    bool unlimited = true;
    uint64_t unit = 0;
    int fullSpeedPackets = 0, highSpeedPackets = 0;
    bool fullSpeedFrame = false;
    bool progress = false;
  };
  void Service(UnitLimits& limits);
  void ServeUnit(uint64_t unit);
  bool Served(uint64_t unit) const;
  uint64_t FirstOpenUnit(Speed speed, Tick now) const;
  // Moves what can move on one endpoint within `limits`.
  void ServiceEndpoint(UnitLimits& limits, UsbDevice& device, Endpoint& ep, Tick now);
  // Finished transfers whose completion is due now, taken off their queues.
  TransferList TakeFinished(uint64_t unit);
  size_t PendingCount(const UsbDevice* device);
  // The earliest time the engine has something to do without a Notify.
  std::optional<Tick> NextEngineDeadline(Tick now);
  static bool OnControllerThread();
  bool Stopping() {
    std::lock_guard guard(lock_);
    return stopping_;
  }
  static void NTAPI CancelTransfer(PDEVICE_OBJECT device, PIRP irp);

  // --- control.cpp: what the device answers on its default pipe.
  PacketResult DeviceRequest(UsbDevice& device, const SetupPacket& setup, std::span<uint8_t> data);
  Bytes ConfigurationBlock(UsbDevice& device, UCHAR index);
  // A control transfer of the hub's own, run at once and captured as `function`.
  PacketResult HubRequest(UsbDevice& device, USHORT function, const SetupPacket& setup, std::span<uint8_t> data);
  // tap.cpp: what the capture shows of transfers and other URBs.
  void CaptureSubmit(Transfer& t);
  void CaptureCompletion(const Transfer& t);
  void CaptureInfo(PIRP irp, PURB urb, UCHAR endpoint, UCHAR address, bool completion);

  // --- urb.cpp, data.cpp and select.cpp: IOCTL_INTERNAL_USB_SUBMIT_URB.
  NTSTATUS SubmitUrb(UsbPdo& pdo, PIRP irp);
  NTSTATUS RejectUrb(PIRP irp, PURB urb, UsbDevice& device, USBD_STATUS status);
  // USBD_STATUS_SUCCESS while the device can take requests.
  USBD_STATUS DeviceState(UsbDevice& device);
  NTSTATUS PipeRequest(UsbPdo& pdo, PIRP irp, PURB urb);
  NTSTATUS DataRequest(UsbPdo& pdo, PIRP irp, PURB urb);
  NTSTATUS SelectRequest(UsbPdo& pdo, PIRP irp, PURB urb);
  // Ends every transfer on the device's pipes and forgets its configuration.
  void Deconfigure(UsbDevice& device);

  // --- hub.cpp: ports.
  int Plug(std::shared_ptr<DeviceModel> model, const DeviceFaults& faults, int preferredPort = 0);
  void Enumerate(UsbDevice& device);
  void Unplug(int port);
  void ResetPort(UsbDevice& device);
  void CyclePort(int port);
  void DisablePort(int port);
  Port* PortOf(const UsbDevice& device);

  // --- pdo.cpp: telling the Plug and Play manager.
  void ReportArrival(UsbPdo& pdo);
  void ReportArrivalLocked(UsbPdo& pdo);  // with the report gate held
  void ReportGone(UsbPdo& pdo);
  // Frees the PDOs the Plug and Play manager is done with (hub thread).
  void CollectFinishedPdos();

 private:
  void ControllerLoop();
  void HubLoop();
  void RunDue(Tick now);
  std::optional<Tick> NextDeadline(Tick now);

  struct Deferred {
    Tick due;
    UsbPdo* pdo;
    PIRP irp;
  };
  std::multimap<Tick, std::function<void()>> timers_;
  std::deque<Deferred> deferred_;
  std::deque<std::function<void()>> hubWork_;
  KEVENT wake_{};
  KEVENT hubWake_{};
  // Held while a PDO's arrival or departure is told to the Plug and Play
  // manager, so that an unplug cannot free a PDO whose late arrival is being
  // reported on the hub's thread. A kernel event, so that a thread waiting for
  // it lets virtual time run.
  KEVENT reportGate_{};
  struct ReportGate {
    explicit ReportGate(Bus& bus);
    ~ReportGate();
    Bus& bus;
  };
  bool stopping_ = false;
  static constexpr uint64_t kNoUnit = UINT64_MAX;
  uint64_t servedUnit_ = kNoUnit;  // timed mode: the last (micro)frame the engine served
  bool completingDue_ = false;     // the controller's thread runs the completions due at a unit's start
  size_t roundRobin_ = 0;             // where the next (micro)frame's bulk round starts
  std::unique_ptr<Thread> controllerThread_;
  std::unique_ptr<Thread> hubThread_;
};

}  // namespace sim::usb
