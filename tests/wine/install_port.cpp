// Installs the port as a device installer does on Windows: a root-enumerated
// Ports-class device node with the hardware ID Root\Tolvane is registered,
// then the INF's driver is installed on it (the service created and started,
// the hardware key filled from the INF). Usage: install_port <path of tolvane.inf>
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>

#include <cstdio>

namespace {

const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const wchar_t kHardwareIds[] = L"Root\\Tolvane\0";  // a REG_MULTI_SZ

int Fail(const char* step) {
  std::printf("install_port: %s failed (error %lu)\n", step, GetLastError());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::printf("usage: install_port <path of tolvane.inf>\n");
    return 2;
  }
  wchar_t inf[MAX_PATH];
  if (!MultiByteToWideChar(CP_ACP, 0, argv[1], -1, inf, MAX_PATH)) return Fail("the INF path");
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kPortsClass, nullptr);
  if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
  SP_DEVINFO_DATA device{sizeof device};
  if (!SetupDiCreateDeviceInfoW(set, L"Ports", &kPortsClass, nullptr, nullptr, DICD_GENERATE_ID, &device))
    return Fail("SetupDiCreateDeviceInfoW");
  if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, (const BYTE*)kHardwareIds,
                                         sizeof kHardwareIds))
    return Fail("SetupDiSetDeviceRegistryPropertyW(SPDRP_HARDWAREID)");
  if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) return Fail("DIF_REGISTERDEVICE");
  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, L"Root\\Tolvane", inf, INSTALLFLAG_FORCE, &reboot))
    return Fail("UpdateDriverForPlugAndPlayDevicesW");
  SetupDiDestroyDeviceInfoList(set);
  std::printf("install_port: Root\\Tolvane installed from %s\n", argv[1]);
  return 0;
}
