// The first argument chooses one action; anything that is no switch runs the service.
#pragma once

#include <cstdint>
#include <string_view>

enum class HostAction : std::uint8_t { kInstall, kStop, kRemove, kStart, kRunService };

// "-i", "-k", "-u", "-s", each in either case, as a whole argument.
HostAction SelectAction(std::string_view firstArgument);
