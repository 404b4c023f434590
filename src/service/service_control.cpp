#include "service/service_control.h"

#include <cstdio>

#include "platform/service_manager.h"
#include "service/command_quoting.h"
#include "service/host_state.h"
#include "service/log_file.h"
#include "service/log_messages.h"

namespace {

using platform::ServiceHandle;

// Closes a manager or entry handle on every way out.
class ScopedServiceHandle {
 public:
  explicit ScopedServiceHandle(ServiceHandle handle) : handle_(handle) {}
  ~ScopedServiceHandle() {
    if (handle_ != 0) {
      platform::CloseServiceEntryHandle(handle_);
    }
  }
  ScopedServiceHandle(const ScopedServiceHandle&) = delete;
  ScopedServiceHandle& operator=(const ScopedServiceHandle&) = delete;

  [[nodiscard]] ServiceHandle get() const { return handle_; }
  explicit operator bool() const { return handle_ != 0; }

 private:
  ServiceHandle handle_;
};

void LogError(const char* format) {
  WriteLog(LogPath, FormatLogMessage(format, platform::LastServiceError()));
}

// Start and stop share everything but the request.
int RequestOnEntry(const char* serviceName, bool (*request)(ServiceHandle),
                   const char* failureFormat) {
  const ScopedServiceHandle manager(platform::OpenServiceManager(platform::kScManagerAllAccess));
  if (!manager) {
    LogError(kMsgOpenManagerFailed);
    return 0;
  }
  const ScopedServiceHandle service(platform::OpenServiceEntry(manager.get(), serviceName));
  if (!service) {
    LogError(kMsgOpenServiceFailed);
    return 0;
  }
  if (!request(service.get())) {
    LogError(failureFormat);
    return 0;
  }
  return 1;
}

void DeleteEntry(const char* serviceName) {
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
  if (platform::DeleteServiceEntry(service.get())) {
    WriteLog(LogPath, FormatLogMessage(kMsgRemoved, serviceName));
  } else {
    WriteLog(LogPath, FormatLogMessage(kMsgDeleteFailed, serviceName));
  }
}

}  // namespace

std::string ServiceCommandLine(const std::string& executablePath) {
  return QuotedWhenBlank(executablePath);
}

void InstallServiceEntry(const std::string& executablePath, const char* serviceName) {
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
