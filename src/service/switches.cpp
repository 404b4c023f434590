#include "service/switches.h"

#include "platform/ascii_case.h"

namespace {

struct Switch {
  char letter;
  HostAction action;
};

constexpr Switch kSwitches[] = {
    {'i', HostAction::kInstall},
    {'k', HostAction::kStop},
    {'u', HostAction::kRemove},
    {'s', HostAction::kStart},
};

}  // namespace

HostAction SelectAction(std::string_view firstArgument) {
  if (firstArgument.size() != 2 || firstArgument[0] != '-') {
    return HostAction::kRunService;
  }
  for (const Switch& entry : kSwitches) {
    if (platform::LowerAscii(firstArgument[1]) == entry.letter) {
      return entry.action;
    }
  }
  return HostAction::kRunService;
}
