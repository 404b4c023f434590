#include "service/entry.h"

#include "platform/host_process.h"
#include "service/host_paths.h"
#include "service/host_state.h"
#include "service/service_control.h"
#include "service/service_runtime.h"
#include "service/switches.h"

int ServiceHostMain(int argc, char** argv) {
  if (argc > 1) {
    FirstArgument = argv[1];  // further arguments are ignored
  }
  ModulePath = platform::ModuleFilePath();
  HostPaths paths = DeriveHostPaths(ModulePath);
  ExecutablePath = std::move(paths.executablePath);
  LogPath = std::move(paths.logPath);

  switch (SelectAction(FirstArgument)) {
    case HostAction::kInstall:
      InstallServiceEntry(ExecutablePath, kServiceName);
      break;
    case HostAction::kStop:
      StopServiceEntry(kServiceName);
      break;
    case HostAction::kRemove:
      RemoveServiceEntry(kServiceName);
      break;
    case HostAction::kStart:
      StartServiceEntry(kServiceName);
      break;
    case HostAction::kRunService:
      RunServiceDispatcher();
      break;
  }
  return 0;
}
