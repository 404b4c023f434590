// The DACL goes through Windows' own SDDL parser, so the text is the one definition of who may
// do what; the failure actions through ChangeServiceConfig2, one level at a time.
#include "platform/win32/service_protection.h"

#include <windows.h>

#include <sddl.h>

#include <array>

#include "platform/debug_trace.h"

namespace platform {

namespace {

constexpr char kNoFailureFlagTrace[] =
    "Talvoro_macadress: the service manager has no failure-actions flag (error 124): "
    "only a crash restarts the service";

static_assert(kProtectServiceAccess == (WRITE_DAC | SERVICE_CHANGE_CONFIG | SERVICE_START));

SC_HANDLE AsScHandle(ServiceHandle handle) {
  return reinterpret_cast<SC_HANDLE>(handle);  // NOLINT(performance-no-int-to-ptr)
}

uint32_t Failure() {
  return static_cast<uint32_t>(GetLastError());
}

uint32_t SetEntryDacl(SC_HANDLE service) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorA(kServiceEntrySddl, SDDL_REVISION_1,
                                                           &descriptor, nullptr) == FALSE) {
    return Failure();
  }
  const BOOL set = SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, descriptor);
  const uint32_t error = set == FALSE ? Failure() : 0;
  LocalFree(descriptor);
  return error;
}

uint32_t SetFailureActions(SC_HANDLE service) {
  std::array<SC_ACTION, std::size(kRestartDelaysMs)> actions{};
  for (size_t i = 0; i < actions.size(); ++i) {
    actions[i] = {SC_ACTION_RESTART, kRestartDelaysMs[i]};
  }
  SERVICE_FAILURE_ACTIONSA failureActions{};
  failureActions.dwResetPeriod = kFailureCountResetSeconds;
  failureActions.cActions = static_cast<DWORD>(actions.size());
  failureActions.lpsaActions = actions.data();
  if (ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions) == FALSE) {
    return Failure();
  }
  // Without it only a crash counts; a stop nobody asked for with a non-zero exit code (the
  // service giving up) would leave it down. An asked stop reports 0 and is never undone.
  // The structure holds no text, so the wide call is the same request; Wine's narrow one
  // turns the level down itself (87) before its manager could answer.
  SERVICE_FAILURE_ACTIONS_FLAG flag{};
  flag.fFailureActionsOnNonCrashFailures = TRUE;
  if (ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag) == FALSE) {
    const uint32_t error = Failure();
    if (error != ERROR_INVALID_LEVEL) {
      return error;
    }
    // A manager that has no such setting (Wine's; Windows before Vista) has no way to count
    // a non-crash failure: there is nothing to set, and no entry at all would be worse than
    // one restarted after crashes only. Said where an administrator's viewer sees it.
    WriteDebugTrace(kNoFailureFlagTrace);
  }
  return 0;
}

}  // namespace

uint32_t ProtectServiceEntry(ServiceHandle service) {
  const SC_HANDLE handle = AsScHandle(service);
  if (const uint32_t error = SetEntryDacl(handle); error != 0) {
    return error;
  }
  return SetFailureActions(handle);
}

}  // namespace platform
