// The package's custom action, run in the installation script just before StopServices on
// every installation, removal and upgrade: asks a running service to stop and waits until its
// process has ended. The installer's own stop returns once the service reports that it has
// stopped (under Wine as soon as the control is sent), and a process that still runs then
// holds its executable, which RemoveFiles or InstallFiles must delete or replace next. The
// process is opened before the stop is asked for: once stopped, the manager no longer names it.
#include <windows.h>

#include "service/host_state.h"

namespace {

// As long as the installer itself waits for a service to answer a control.
constexpr DWORD kWaitLimitMs = 30000;

// The running service's process, opened for waiting; none when it does not run.
HANDLE OpenServiceProcess(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof status, &needed) ||
      status.dwCurrentState == SERVICE_STOPPED || status.dwProcessId == 0) {
    return nullptr;
  }
  return OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId);
}

void StopAndWait(SC_HANDLE manager) {
  SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_QUERY_STATUS | SERVICE_STOP);
  if (service == nullptr) {
    return;  // not installed
  }
  if (HANDLE process = OpenServiceProcess(service)) {
    SERVICE_STATUS status{};
    ControlService(service, SERVICE_CONTROL_STOP, &status);  // already stopping is fine too
    WaitForSingleObject(process, kWaitLimitMs);
    CloseHandle(process);
  }
  CloseServiceHandle(service);
}

}  // namespace

// Always succeeds: a service that will not stop is the installer's own stop to report, and
// a file still held is the installer's to replace at the next restart.
extern "C" __declspec(dllexport) UINT __stdcall StopServiceAndWait(ULONG /*install*/) {
  if (SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT)) {
    StopAndWait(manager);
    CloseServiceHandle(manager);
  }
  return ERROR_SUCCESS;
}
