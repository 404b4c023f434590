// The service's run time: dispatcher, main routine, control handler, the worker threads and
// the flags that tell the workers to stop.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/service_dispatcher.h"
#include "shared/worker_stop_flag.h"

// 1 until the control handler sees stop or shutdown; read by CompanionMonitor.
extern std::atomic<int32_t> ServiceRunFlag;
// Sent whole with every report. Changed only by ServiceMain and the control handler, under
// their lock; tests may set it while no service runs.
extern platform::ServiceStatus ServiceStatusRecord;

// Another program the service would end at stop: a process handle (or id), two fields nothing
// reads, and the id of its main thread. Nothing records a process in it today.
struct CompanionProcessRecord {
  std::atomic<std::uintptr_t> process;
  uint32_t unused1;
  uint32_t unused2;
  uint32_t threadId;
};
extern CompanionProcessRecord CompanionProcess;

void RunServiceDispatcher();
void ServiceMain();
void ServiceCtrlHandler(uint32_t code);
int StartWorkers();
void StopCompanionProcess(CompanionProcessRecord* record);
void CompanionMonitor();

// The worker routines StartWorkers starts, in order, each on a thread of its own. The table
// must outlive every thread (main's static table does).
using WorkerRoutine = void (*)();
void SetWorkerRoutines(const WorkerRoutine* routines, int count);

// Tests: where status reports go, and how the handler is registered; null restores the
// platform's.
using StatusReporter = bool (*)(platform::StatusHandle, const platform::ServiceStatus&);
void SetStatusReporter(StatusReporter reporter);
using ControlRegistrar = platform::StatusHandle (*)(const char* name,
                                                    platform::ControlHandlerRoutine handler);
void SetControlRegistrar(ControlRegistrar registrar);
