// The service control manager's dispatcher. Its callbacks are WINAPI functions without a
// context argument, so the run time's routines are kept here and reached through trampolines.
#include "platform/service_dispatcher.h"

#include <windows.h>

#include <atomic>

namespace platform {

namespace {

// Written before the dispatcher or the manager can call back; read by the trampolines.
std::atomic<ServiceMainRoutine> MainRoutine{nullptr};
std::atomic<ControlHandlerRoutine> HandlerRoutine{nullptr};
// Written by the handler trampoline; read by RunDispatcher once the dispatcher has returned.
std::atomic<int> HandlersRunning{0};
std::atomic<DWORD> HandlerThread{0};

// Long enough for a thread that is ready to run to write one reply to a pipe.
constexpr DWORD kReplyGraceMs = 100;

thread_local int32_t LastError = 0;

// The interface carries the status handle as an integer; this is the one way back.
SERVICE_STATUS_HANDLE AsStatusHandle(StatusHandle handle) {
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(handle);  // NOLINT(performance-no-int-to-ptr)
}

void KeepLastError() {
  LastError = static_cast<int32_t>(GetLastError());
}

void WINAPI ServiceMainTrampoline(DWORD /*argc*/, LPSTR* /*argv*/) {
  const ServiceMainRoutine routine = MainRoutine.load();
  if (routine != nullptr) {
    routine();
  }
}

void WINAPI ControlHandlerTrampoline(DWORD code) {
  HandlersRunning.fetch_add(1);
  HandlerThread.store(GetCurrentThreadId());
  const ControlHandlerRoutine routine = HandlerRoutine.load();
  if (routine != nullptr) {
    routine(code);
  }
  HandlersRunning.fetch_sub(1);
}

// Windows runs the handler on the dispatcher's thread and answers the manager before the
// dispatcher returns. Wine runs it on a thread of its own, which answers only after the
// handler has returned, while the dispatcher returns as soon as the stop is reported: a
// process that ended then would cut the answer off, and the stop request would fail with a
// broken pipe although the service stopped.
void AwaitLastReply() {
  const DWORD thread = HandlerThread.load();
  if (thread == 0 || thread == GetCurrentThreadId()) {
    return;
  }
  while (HandlersRunning.load() != 0) {
    Sleep(1);
  }
  Sleep(kReplyGraceMs);
}

}  // namespace

void PrepareDispatcher() {}

bool RunDispatcher(const char* name, ServiceMainRoutine serviceMain) {
  MainRoutine.store(serviceMain);
  // The table's name field is not const in the system's declaration; nothing writes to it.
  SERVICE_TABLE_ENTRYA table[] = {
      {const_cast<LPSTR>(name), &ServiceMainTrampoline},
      {nullptr, nullptr},
  };
  if (StartServiceCtrlDispatcherA(table) == FALSE) {
    KeepLastError();
    return false;
  }
  AwaitLastReply();
  return true;
}

StatusHandle RegisterControlHandler(const char* name, ControlHandlerRoutine handler) {
  HandlerRoutine.store(handler);
  auto* const handle = RegisterServiceCtrlHandlerA(name, &ControlHandlerTrampoline);
  if (handle == nullptr) {
    KeepLastError();
  }
  return reinterpret_cast<StatusHandle>(handle);
}

bool ReportServiceStatus(StatusHandle handle, const ServiceStatus& status) {
  SERVICE_STATUS record{};
  record.dwServiceType = status.serviceType;
  record.dwCurrentState = status.currentState;
  record.dwControlsAccepted = status.controlsAccepted;
  record.dwWin32ExitCode = status.win32ExitCode;
  record.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
  record.dwCheckPoint = status.checkPoint;
  record.dwWaitHint = status.waitHint;
  if (SetServiceStatus(AsStatusHandle(handle), &record) == FALSE) {
    KeepLastError();
    return false;
  }
  return true;
}

int32_t LastDispatcherError() {
  return LastError;
}

}  // namespace platform
