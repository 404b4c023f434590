// Talks to the service manager for the tests, for what Wine's sc cannot do.
// Usage: service_control_tool NAME CODE | dacl | failure-actions | failure-flag | status
// CODE sends that control (pause, continue, interrogate, user codes) and prints "state N", the
// state in the reply. The others read back what the manager keeps for the entry:
//   dacl             the DACL of QueryServiceObjectSecurity as SDDL ("D:..."; "none" for none)
//   failure-actions  "reset R actions T/D T/D ..." (type and delay of each action)
//   failure-flag     "flag F" (fFailureActionsOnNonCrashFailures)
//   status           "state S win32 W specific P" of QueryServiceStatus
// Exits 0 when every call succeeded, or prints "error N" (GetLastError) and exits 1.
#include <windows.h>

#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct ServiceHandleCloser {
  void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using UniqueServiceHandle = std::unique_ptr<SC_HANDLE__, ServiceHandleCloser>;

int Failed() {
  std::printf("error %lu\n", GetLastError());
  return 1;
}

// A query that first asks how much room it needs.
template <typename Query>
bool QueryGrowing(std::vector<BYTE>* buffer, Query query) {
  DWORD needed = 0;
  if (query(nullptr, 0, &needed) != FALSE) {
    buffer->clear();
    return true;
  }
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return false;
  }
  buffer->resize(needed);
  return query(buffer->data(), needed, &needed) != FALSE;
}

int PrintDacl(SC_HANDLE service) {
  std::vector<BYTE> descriptor;
  if (!QueryGrowing(&descriptor, [service](BYTE* data, DWORD size, DWORD* needed) {
        return QueryServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, data, size, needed);
      })) {
    return Failed();
  }
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (descriptor.empty() ||
      GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted) == FALSE) {
    return Failed();
  }
  if (present == FALSE || dacl == nullptr) {
    std::printf("none\n");  // a null DACL: everyone holds every right
    return 0;
  }
  LPSTR text = nullptr;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorA(
          descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr) == FALSE) {
    return Failed();
  }
  std::printf("%s\n", text);
  LocalFree(text);
  return 0;
}

bool QueryConfig2(SC_HANDLE service, DWORD level, std::vector<BYTE>* buffer) {
  return QueryGrowing(buffer, [service, level](BYTE* data, DWORD size, DWORD* needed) {
    return QueryServiceConfig2A(service, level, data, size, needed);
  });
}

int PrintFailureActions(SC_HANDLE service) {
  std::vector<BYTE> buffer;
  if (!QueryConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS, &buffer) ||
      buffer.size() < sizeof(SERVICE_FAILURE_ACTIONSA)) {
    return Failed();
  }
  SERVICE_FAILURE_ACTIONSA actions{};
  std::memcpy(&actions, buffer.data(), sizeof actions);
  std::printf("reset %lu actions", actions.dwResetPeriod);
  for (DWORD i = 0; i < actions.cActions; ++i) {
    std::printf(" %d/%lu", static_cast<int>(actions.lpsaActions[i].Type),
                actions.lpsaActions[i].Delay);
  }
  std::printf("\n");
  return 0;
}

int PrintFailureFlag(SC_HANDLE service) {
  std::vector<BYTE> buffer;
  if (!QueryConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &buffer) ||
      buffer.size() < sizeof(SERVICE_FAILURE_ACTIONS_FLAG)) {
    return Failed();
  }
  SERVICE_FAILURE_ACTIONS_FLAG flag{};
  std::memcpy(&flag, buffer.data(), sizeof flag);
  std::printf("flag %d\n", flag.fFailureActionsOnNonCrashFailures);
  return 0;
}

int PrintStatus(SC_HANDLE service) {
  SERVICE_STATUS status{};
  if (QueryServiceStatus(service, &status) == FALSE) {
    return Failed();
  }
  std::printf("state %lu win32 %lu specific %lu\n", status.dwCurrentState, status.dwWin32ExitCode,
              status.dwServiceSpecificExitCode);
  return 0;
}

int SendControl(SC_HANDLE service, const char* codeText) {
  const auto code = static_cast<DWORD>(std::strtoul(codeText, nullptr, 10));
  SERVICE_STATUS status{};
  if (ControlService(service, code, &status) == FALSE) {
    return Failed();
  }
  std::printf("state %lu\n", status.dwCurrentState);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(
        stderr, "usage: service_control_tool NAME CODE|dacl|failure-actions|failure-flag|status\n");
    return 2;
  }
  const UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    return Failed();
  }
  const UniqueServiceHandle service(OpenServiceA(manager.get(), argv[1], SERVICE_ALL_ACCESS));
  if (!service) {
    return Failed();
  }
  const char* const what = argv[2];
  if (std::strcmp(what, "dacl") == 0) {
    return PrintDacl(service.get());
  }
  if (std::strcmp(what, "failure-actions") == 0) {
    return PrintFailureActions(service.get());
  }
  if (std::strcmp(what, "failure-flag") == 0) {
    return PrintFailureFlag(service.get());
  }
  if (std::strcmp(what, "status") == 0) {
    return PrintStatus(service.get());
  }
  return SendControl(service.get(), what);
}
