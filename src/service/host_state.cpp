#include "service/host_state.h"

// Written by ServiceHostMain before the action; read by the actions and the run time.
std::string FirstArgument;
std::string ModulePath;
std::string ExecutablePath;
std::string LogPath;
