// One bridged port of the serial lab: \\.\COMn opened through sim/win32 and
// carried to and from a pseudo-terminal's master by three simulated threads:
// to the device (client bytes become WriteFile, status packets become
// SetCommState, PurgeComm and XOFF/XON: bridge_status.cpp), from the device
// (ReadFile, then the master) and the line watcher (WaitCommEvent: modem lines
// reported and counted for the preload library: bridge_lines.cpp). Each thread
// blocks on the port or on poll(); none spins. Stop() ends them and closes
// the port.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/kernel/thread.h"
#include "sim/tools/lab/pty.h"
#include "sim/tools/lab/termios_dcb.h"
#include "sim/win32/comm.h"

namespace simulator::lab {

// Line changes seen so far, as TIOCGICOUNT counts them.
struct LineCounts {
  unsigned cts = 0, dsr = 0, ring = 0, dcd = 0, breaks = 0, errors = 0;
  unsigned long long rx = 0, tx = 0;
};

class Bridge {
 public:
  Bridge(std::string portName, Pty& pty);
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // Opens the port at 9600 8N1 with DTR and RTS on; false (and a message on
  // stderr) when it cannot.
  bool Open();
  void Start();
  // Makes every thread and every waiting request of the preload library end
  // soon; Stop() then joins the threads and closes the port.
  void Interrupt();
  void Stop();
  const std::string& Name() const { return name_; }

  // What the preload library asks for (bridge_lines.cpp).
  unsigned ModemBits();                        // TIOCM_* of the driver's lines
  bool SetModemBits(unsigned bits, int how);   // how: 0 set, 1 raise, -1 clear
  bool WaitLineChange(unsigned tiocmMask);     // until one of them changes (or the bridge stops)
  LineCounts Counts();
  bool Break(bool on);
  bool SendBreak(unsigned milliseconds);
  bool Drain();
  void SetFrame(const Frame& frame);           // applied with the client's next tcsetattr
  Frame CurrentFrame();
  // The terminal's settings to the driver (bridge_status.cpp).
  void ApplySettings(bool passPending);

 private:
  // bridge.cpp: the data both ways.
  void ToDevice();
  void FromDevice();
  bool HandlePacket(const uint8_t* packet, size_t length);
  bool WriteToPort(const uint8_t* data, size_t length);
  bool WriteToMaster(const uint8_t* data, size_t length);
  bool WaitOverlapped(win32::OVERLAPPED& overlapped, DWORD purge, DWORD* bytes);
  bool Stopping() const { return stopping_.load(); }
  // bridge_status.cpp: a client's tcsetattr, flush or tcflow.
  void HandleStatus(uint8_t status);
  void LeaveRtsHandshake(const win32::DCB& from, const win32::DCB& to);
  void PassPendingBytes();
  // bridge_lines.cpp: the line watcher.
  void WatchLines();
  void NoteLineEvents(DWORD events);

  std::string name_;
  Pty& pty_;
  HANDLE port_ = win32::INVALID_HANDLE_VALUE;
  HANDLE stopEvent_ = nullptr;
  int stopFd_ = -1;  // eventfd: wakes the threads blocked in poll()
  std::atomic<bool> stopping_{false};
  std::atomic<bool> readFailing_{false};
  std::atomic<bool> passing_{false};  // client bytes read from the master and not yet through WriteFile
  std::vector<std::unique_ptr<sim::Thread>> threads_;

  std::recursive_mutex settingsMutex_;  // one settings change at a time (nested from the pending bytes)
  std::mutex mutex_;  // guards what follows
  std::condition_variable lineChanged_;
  win32::DCB applied_{};  // the settings the driver last took
  Frame frame_;
  OutputLines lines_;
  LineCounts counts_;
  DWORD modemStatus_ = 0;
};

}  // namespace simulator::lab
