// Placeholder until the unit text lands.
#include "platform/systemd_unit.h"

std::string SystemdUnitText(const std::string& command) { return command; }
