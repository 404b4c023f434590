#include "service/switches.h"

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

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

HostAction SelectAction(std::string_view firstArgument) {
  if (firstArgument.size() != 2 || firstArgument[0] != '-') {
    return HostAction::kRunService;
  }
  for (const Switch& entry : kSwitches) {
    if (LowerAscii(firstArgument[1]) == entry.letter) {
      return entry.action;
    }
  }
  return HostAction::kRunService;
}
