#include "platform/launcher.h"

#include <windows.h>

namespace platform {

void LaunchHidden(const std::string& command) {
  WinExec(command.c_str(), SW_HIDE);
}

void ReapLaunchedPrograms() {}

}  // namespace platform
