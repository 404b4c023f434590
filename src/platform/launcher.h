// Starting the tunnel program: WinExec with SW_HIDE on Windows (a command line); elsewhere the
// program at `command` is spawned detached, with no arguments and stdio on /dev/null, and its
// exit is collected so that a dead tunnel never lingers in the process list as a zombie.
#pragma once

#include <string>

namespace platform {

// The result is not reported: the next process scan shows whether the program runs.
void LaunchHidden(const std::string& command);

// Collects the exit of every launched program that has ended (nothing to do on Windows).
void ReapLaunchedPrograms();

}  // namespace platform
