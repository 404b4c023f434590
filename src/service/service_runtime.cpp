#include "service/service_runtime.h"

#include <system_error>
#include <thread>

#include "platform/host_process.h"
#include "service/host_state.h"
#include "service/log_file.h"
#include "service/log_messages.h"

// Written by StartWorkers (0) and the control handler (1); read by the workers.
std::atomic<int32_t> WorkerStopFlag{0};
// Cleared by the control handler on stop; read by CompanionMonitor.
std::atomic<int32_t> ServiceRunFlag{1};
// Written by ServiceMain and the control handler, which the platform may run on two threads.
platform::ServiceStatus ServiceStatusRecord{};
// Cleared by ServiceMain; consulted by StopCompanionProcess and CompanionMonitor.
CompanionProcessRecord CompanionProcess{};

namespace {

constexpr uint32_t kControlsAccepted = 7;  // stop, pause and continue, shutdown
constexpr uint32_t kMonitorPassMs = 200;
constexpr uint32_t kCompanionQuitWaitMs = 1000;

// Set by ServiceMain, read by the handler, which the platform may run on another thread.
std::atomic<platform::StatusHandle> StatusHandle{0};
// The routines' table lives in main; a pointer and count keep no destructor that could run at
// exit while a thread still walks it.
const WorkerRoutine* Workers = nullptr;
int WorkerCount = 0;
std::atomic<StatusReporter> Reporter{nullptr};

void LogLastError(const char* format, int32_t error) {
  WriteLog(LogPath, FormatLogMessage(format, error));
}

void ReportStatus() {
  const StatusReporter reporter = Reporter.load();
  const bool reported =
      reporter != nullptr ? reporter(StatusHandle.load(), ServiceStatusRecord)
                          : platform::ReportServiceStatus(StatusHandle.load(), ServiceStatusRecord);
  if (!reported) {
    LogLastError(kMsgSetStatusFailed, platform::LastDispatcherError());
  }
}

// The runtime library's thread start; the thread runs at once and is not held on to.
bool StartThread(void (*routine)(), int32_t* error) {
  try {
    std::thread(routine).detach();
    return true;
  } catch (const std::system_error& failure) {
    *error = failure.code().value();
    return false;
  }
}

void StopService() {
  ServiceStatusRecord.currentState = platform::kServiceStopped;
  ServiceRunFlag = 0;
  ServiceStatusRecord.win32ExitCode = 0;
  ServiceStatusRecord.checkPoint = 0;
  ServiceStatusRecord.waitHint = 0;
  StopCompanionProcess(&CompanionProcess);
  WorkerStopFlag = 1;
}

}  // namespace

void SetWorkerRoutines(const WorkerRoutine* routines, int count) {
  Workers = routines;
  WorkerCount = count;
}

void SetStatusReporter(StatusReporter reporter) {
  Reporter.store(reporter);
}

int StartWorkers() {
  WorkerStopFlag = 0;
  for (int i = 0; i < WorkerCount; ++i) {
    int32_t ignored = 0;
    StartThread(Workers[i], &ignored);  // a failed start is neither detected nor reported
  }
  return 1;
}

void StopCompanionProcess(CompanionProcessRecord* record) {
  if (record->process == 0) {
    return;
  }
  platform::PostQuitToThread(record->threadId);
  platform::SleepMilliseconds(kCompanionQuitWaitMs);
  platform::TerminateProcessWithCode(record->process, 0);
}

void CompanionMonitor() {
  while (ServiceRunFlag == 1) {
    uint32_t exitCode = 0;
    if (CompanionProcess.process != 0 &&
        platform::QueryProcessExitCode(CompanionProcess.process, &exitCode) &&
        exitCode != platform::kStillActive) {
      CompanionProcess.process = 0;
      StartWorkers();
    }
    platform::SleepMilliseconds(kMonitorPassMs);
  }
}

void ServiceCtrlHandler(uint32_t code) {
  switch (code) {
    case 1:  // stop
    case 5:  // shutdown
      StopService();
      break;
    case 2:  // pause: the workers go on
      ServiceStatusRecord.currentState = platform::kServicePaused;
      break;
    case 3:  // continue
      ServiceStatusRecord.currentState = platform::kServiceRunning;
      break;
    case 4:  // interrogate
      break;
    case 128:
    case 255:
      StopCompanionProcess(&CompanionProcess);
      StartWorkers();
      break;
    default:
      if (code < 129 || code > 254) {
        WriteLog(LogPath, FormatLogMessage(kMsgUnrecognizedOpcode, static_cast<int>(code)));
      }
      break;
  }
  ReportStatus();
}

void ServiceMain() {
  ServiceStatusRecord = {
      platform::kServiceWin32, platform::kServiceStartPending, kControlsAccepted, 0, 0, 0, 0};
  StatusHandle = platform::RegisterControlHandler(kServiceName, &ServiceCtrlHandler);
  if (StatusHandle.load() == 0) {
    LogLastError(kMsgRegisterFailed, platform::LastDispatcherError());
    return;
  }
  ServiceStatusRecord.currentState = platform::kServiceRunning;
  ServiceStatusRecord.checkPoint = 0;
  ServiceStatusRecord.waitHint = 0;
  ReportStatus();
  CompanionProcess.process = 0;
  StartWorkers();
}

void RunServiceDispatcher() {
  platform::PrepareDispatcher();
  int32_t error = 0;
  if (!StartThread(&CompanionMonitor, &error)) {
    LogLastError(kMsgStartFailed, error);
  }
  if (!platform::RunDispatcher(kServiceName, &ServiceMain)) {
    LogLastError(kMsgDispatcherFailed, platform::LastDispatcherError());
  }
}
