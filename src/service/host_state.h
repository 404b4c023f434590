// The service host's process-wide values, set once at start-up before any action runs and
// never changed afterwards.
#pragma once

#include <string>

inline constexpr char kServiceName[] = "Talvoro_macadress";

// The first command-line argument, whole; empty without one.
extern std::string FirstArgument;
// The executable's full path as the system reports it.
extern std::string ModulePath;
// What the service entry registers, and the log beside the executable.
extern std::string ExecutablePath;
extern std::string LogPath;
