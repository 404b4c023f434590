// The systemd unit that stands for the service entry on Linux.
#pragma once

#include <string>

inline constexpr char kSystemdUnitPath[] = "/etc/systemd/system/Talvoro_macadress.service";

// The unit's text for `command` (the executable path, quoted when it holds a blank).
std::string SystemdUnitText(const std::string& command);
