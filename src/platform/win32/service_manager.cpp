// The service control manager of advapi32. A handle crosses the interface as an integer; the
// reason of a failure is kept per thread, since each caller reads its own right after the call.
#include "platform/service_manager.h"

#include <windows.h>

#include "platform/win32/service_protection.h"

namespace platform {

namespace {

thread_local int32_t LastError = 0;

// The interface carries handles as integers; this is the one way back.
SC_HANDLE AsScHandle(ServiceHandle handle) {
  return reinterpret_cast<SC_HANDLE>(handle);  // NOLINT(performance-no-int-to-ptr)
}

// Every call's outcome passes through here, which keeps the reason of a failure.
ServiceHandle Kept(SC_HANDLE handle) {
  if (handle == nullptr) {
    LastError = static_cast<int32_t>(GetLastError());
  }
  return reinterpret_cast<ServiceHandle>(handle);
}

bool Kept(BOOL done) {
  if (done == FALSE) {
    LastError = static_cast<int32_t>(GetLastError());
  }
  return done != FALSE;
}

}  // namespace

ServiceHandle OpenServiceManager(uint32_t access) {
  return Kept(OpenSCManagerA(nullptr, nullptr, access));
}

ServiceHandle CreateServiceEntry(ServiceHandle manager, const char* name, const char* displayName,
                                 const char* command) {
  const ServiceHandle service = Kept(
      CreateServiceA(AsScHandle(manager), name, displayName, SERVICE_ALL_ACCESS,
                     SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, SERVICE_AUTO_START,
                     SERVICE_ERROR_NORMAL, command, nullptr, nullptr, nullptr, nullptr, nullptr));
  if (service == 0) {
    return 0;
  }
  // An entry with the default descriptor would let any interactive user control a service
  // that runs as LocalSystem: it does not stay. The entry is new, so nothing else holds it.
  if (const uint32_t error = ProtectServiceEntry(service); error != 0) {
    DeleteService(AsScHandle(service));
    CloseServiceHandle(AsScHandle(service));
    LastError = static_cast<int32_t>(error);
    return 0;
  }
  return service;
}

ServiceHandle OpenServiceEntry(ServiceHandle manager, const char* name) {
  return Kept(OpenServiceA(AsScHandle(manager), name, SERVICE_ALL_ACCESS));
}

bool DeleteServiceEntry(ServiceHandle service) {
  return Kept(DeleteService(AsScHandle(service)));
}

bool RequestServiceStart(ServiceHandle service) {
  return Kept(StartServiceA(AsScHandle(service), 0, nullptr));
}

bool RequestServiceStop(ServiceHandle service) {
  SERVICE_STATUS status{};  // the reply is not read
  return Kept(ControlService(AsScHandle(service), SERVICE_CONTROL_STOP, &status));
}

void CloseServiceEntryHandle(ServiceHandle handle) {
  CloseServiceHandle(AsScHandle(handle));
}

int32_t LastServiceError() {
  return LastError;
}

}  // namespace platform
