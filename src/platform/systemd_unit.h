// The systemd unit that stands for the service entry on Linux.
#pragma once

#include <string>

inline constexpr char kSystemdUnitPath[] = "/etc/systemd/system/Talvoro_macadress.service";

// The unit's text for `command` (the executable path, quoted when it holds a blank): the
// service confined to what it needs, its executable's folder writable for the log. The
// package's unit and the install's are this same text.
std::string SystemdUnitText(const std::string& command);
// Whether systemd can run the command: an absolute path without quotes, backslashes or control
// characters.
bool UnitCanHold(const std::string& command);
