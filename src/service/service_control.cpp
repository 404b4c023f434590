#include "service/service_control.h"

#include <cstdio>

#include "platform/service_manager.h"
#include "platform/unique_handle.h"
#include "service/host_state.h"
#include "service/install_folder.h"
#include "service/log_file.h"
#include "service/log_messages.h"
#include "shared/command_quoting.h"

namespace {

using platform::ServiceHandle;

constexpr int kErrorPathNotFound = 3;  // as Windows reports a path it cannot find

// Closes a manager or entry handle on every way out.
using ScopedServiceHandle =
    platform::UniqueHandle<ServiceHandle, ServiceHandle{0}, &platform::CloseServiceEntryHandle>;

void LogError(const char* format) {
  WriteLog(LogPath, FormatLogMessage(format, platform::LastServiceError()));
}

// Opens the manager and the named entry, logging the failure of either, and hands the open
// entry to `use`; both handles are closed after it.
template <typename Use>
void OnEntry(const char* serviceName, Use use) {
  const ScopedServiceHandle manager(platform::OpenServiceManager(platform::kScManagerAllAccess));
  if (!manager) {
    LogError(kMsgOpenManagerFailed);
    return;
  }
  const ScopedServiceHandle service(platform::OpenServiceEntry(manager.get(), serviceName));
  if (!service) {
    LogError(kMsgOpenServiceFailed);
    return;
  }
  use(service.get());
}

// Start and stop differ only in the request.
int RequestOnEntry(const char* serviceName, bool (*request)(ServiceHandle),
                   const char* failureFormat) {
  int accepted = 0;
  OnEntry(serviceName, [&](ServiceHandle service) {
    if (request(service)) {
      accepted = 1;
    } else {
      LogError(failureFormat);
    }
  });
  return accepted;
}

void DeleteEntry(const char* serviceName) {
  OnEntry(serviceName, [serviceName](ServiceHandle service) {
    const char* format = platform::DeleteServiceEntry(service) ? kMsgRemoved : kMsgDeleteFailed;
    WriteLog(LogPath, FormatLogMessage(format, serviceName));
  });
}

}  // namespace

std::string ServiceCommandLine(const std::string& executablePath) {
  return QuotedWhenBlank(executablePath);
}

void InstallServiceEntry(const std::string& executablePath, const char* serviceName) {
  if (executablePath.empty()) {
    // An entry without a program would start whatever the manager finds for an empty name.
    WriteLog(LogPath, FormatLogMessage(kMsgCreateFailed, serviceName, kErrorPathNotFound));
    return;
  }
  // The manager would run it, and the tunnel beside it, as LocalSystem or root.
  if (const auto refusal = CheckInstallFolder(executablePath)) {
    WriteLog(LogPath, FormatFolderRefusal(*refusal));
    return;
  }
  const ScopedServiceHandle manager(
      platform::OpenServiceManager(platform::kScManagerCreateService));
  if (!manager) {
    LogError(kMsgOpenManagerFailed);
    return;
  }
  const std::string command = ServiceCommandLine(executablePath);
  const ScopedServiceHandle service(
      platform::CreateServiceEntry(manager.get(), serviceName, serviceName, command.c_str()));
  if (service) {
    WriteLog(LogPath, FormatLogMessage(kMsgInstalled, serviceName));
  } else {
    WriteLog(LogPath,
             FormatLogMessage(kMsgCreateFailed, serviceName, platform::LastServiceError()));
  }
}

void RemoveServiceEntry(const char* serviceName) {
  DeleteEntry(serviceName);
  // On every path, so that the outcome just written goes with it.
  std::remove(LogPath.c_str());
}

int StartServiceEntry(const char* serviceName) {
  return RequestOnEntry(serviceName, &platform::RequestServiceStart, kMsgStartFailed);
}

int StopServiceEntry(const char* serviceName) {
  return RequestOnEntry(serviceName, &platform::RequestServiceStop, kMsgControlFailed);
}
