// The package's custom action that protects the service entry InstallServices has just
// made, with the very call `-i` makes (platform/win32/service_protection.h): who may control
// it, and its restart after a failure. Sequenced by cmake/msi.cmake between InstallServices
// and StartServices, on every installation, repair and upgrade, never on removal; deferred
// and not impersonated, so it runs as the system. Its failure fails the installation: an
// entry with the default descriptor must not be left running.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <cstdio>

#include "platform/win32/service_protection.h"
#include "service/host_state.h"

namespace {

// One line in the installer's log (msiexec /l*v).
void LogLine(MSIHANDLE install, const char* text) {
  const MSIHANDLE record = MsiCreateRecord(0);
  if (record == 0) {
    return;
  }
  MsiRecordSetStringA(record, 0, text);
  MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
  MsiCloseHandle(record);
}

DWORD Protect() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) {
    return GetLastError();
  }
  DWORD error = 0;
  SC_HANDLE service = OpenServiceA(manager, kServiceName, platform::kProtectServiceAccess);
  if (service == nullptr) {
    error = GetLastError();
  } else {
    error = platform::ProtectServiceEntry(reinterpret_cast<platform::ServiceHandle>(service));
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return error;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall ProtectService(MSIHANDLE install) {
  const DWORD error = Protect();
  char line[128];
  if (error == 0) {
    std::snprintf(line, sizeof line, "ProtectService: service %s protected", kServiceName);
  } else {
    std::snprintf(line, sizeof line, "ProtectService: service %s not protected, error %lu",
                  kServiceName, error);
  }
  LogLine(install, line);
  return error == 0 ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}
