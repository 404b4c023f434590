#include "service/service_runtime.h"

#include <mutex>

#include "platform/host_process.h"
#include "service/host_state.h"
#include "service/log_file.h"
#include "service/log_messages.h"

// Cleared by the control handler on stop; read by CompanionMonitor.
std::atomic<int32_t> ServiceRunFlag{1};
// Written by ServiceMain and the control handler, which the platform runs on two threads, and
// sent whole by both: under StatusLock.
platform::ServiceStatus ServiceStatusRecord{};
// Cleared by ServiceMain; consulted by StopCompanionProcess and CompanionMonitor on the
// monitor thread: the process field is atomic.
CompanionProcessRecord CompanionProcess{};

namespace {

constexpr uint32_t kControlsAccepted = 7;  // stop, pause and continue, shutdown
constexpr uint32_t kMonitorPassMs = 200;
constexpr uint32_t kCompanionQuitWaitMs = 1000;

// Guards the status record, the status handle and Registering, and makes each change of the
// record and its report one step.
std::mutex StatusLock;
// Set by ServiceMain once the handler is registered; read by every report.
platform::StatusHandle StatusHandle = 0;
// True while ServiceMain registers the handler: the handler may already run, but the status
// handle is not known yet, so its change waits for ServiceMain to report it. Without this a
// stop in that moment was reported with no handle, failed, and was then overwritten by
// ServiceMain's "running".
bool Registering = false;
// The routines' table lives in main; a pointer and count keep no destructor that could run at
// exit while a thread still walks it.
const WorkerRoutine* Workers = nullptr;
int WorkerCount = 0;
std::atomic<StatusReporter> Reporter{nullptr};
std::atomic<ControlRegistrar> Registrar{nullptr};

void LogLastError(const char* format, int32_t error) {
  WriteLog(LogPath, FormatLogMessage(format, error));
}

// Called with StatusLock held.
void ReportStatus() {
  const StatusReporter reporter = Reporter.load();
  const bool reported = reporter != nullptr
                            ? reporter(StatusHandle, ServiceStatusRecord)
                            : platform::ReportServiceStatus(StatusHandle, ServiceStatusRecord);
  if (!reported) {
    LogLastError(kMsgSetStatusFailed, platform::LastDispatcherError());
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

void SetControlRegistrar(ControlRegistrar registrar) {
  Registrar.store(registrar);
}

int StartWorkers() {
  WorkerStopFlag = 0;
  for (int i = 0; i < WorkerCount; ++i) {
    int32_t ignored = 0;
    // A failed start is neither detected nor reported.
    platform::StartDetachedThread(Workers[i], &ignored);
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
    const std::uintptr_t process = CompanionProcess.process.load();
    if (process != 0 && platform::QueryProcessExitCode(process, &exitCode) &&
        exitCode != platform::kStillActive) {
      CompanionProcess.process = 0;
      StartWorkers();
    }
    platform::SleepMilliseconds(kMonitorPassMs);
  }
}

void ServiceCtrlHandler(uint32_t code) {
  const std::scoped_lock hold(StatusLock);
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
  if (!Registering) {
    ReportStatus();
  }
}

void ServiceMain() {
  {
    const std::scoped_lock hold(StatusLock);
    ServiceStatusRecord = {
        platform::kServiceWin32, platform::kServiceStartPending, kControlsAccepted, 0, 0, 0, 0};
    Registering = true;
  }
  // Not under the lock: the platform may run the handler, which takes it, before this returns.
  const ControlRegistrar registrar = Registrar.load();
  const platform::StatusHandle handle =
      registrar != nullptr ? registrar(kServiceName, &ServiceCtrlHandler)
                           : platform::RegisterControlHandler(kServiceName, &ServiceCtrlHandler);
  const int32_t registerError = handle == 0 ? platform::LastDispatcherError() : 0;
  const std::scoped_lock hold(StatusLock);
  Registering = false;
  StatusHandle = handle;
  if (handle == 0) {
    LogLastError(kMsgRegisterFailed, registerError);
    return;
  }
  // A pause or a stop that came while registering stands: it is what gets reported.
  if (ServiceStatusRecord.currentState == platform::kServiceStartPending) {
    ServiceStatusRecord.currentState = platform::kServiceRunning;
    ServiceStatusRecord.checkPoint = 0;
    ServiceStatusRecord.waitHint = 0;
  }
  ReportStatus();
  if (ServiceStatusRecord.currentState == platform::kServiceStopped) {
    return;  // stopped before it ran: no workers
  }
  CompanionProcess.process = 0;
  // Under the lock, so that a stop cannot slip in between and be undone by the workers' start.
  StartWorkers();
}

void RunServiceDispatcher() {
  platform::PrepareDispatcher();
  int32_t error = 0;
  if (!platform::StartDetachedThread(&CompanionMonitor, &error)) {
    LogLastError(kMsgStartFailed, error);
  }
  if (!platform::RunDispatcher(kServiceName, &ServiceMain)) {
    LogLastError(kMsgDispatcherFailed, platform::LastDispatcherError());
  }
}
