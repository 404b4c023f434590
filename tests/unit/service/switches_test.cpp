#include "service/switches.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(SwitchesTest, Table) {
  const std::vector<std::pair<std::string, HostAction>> rows = {
      {"-i", HostAction::kInstall},
      {"-I", HostAction::kInstall},
      {"-k", HostAction::kStop},
      {"-K", HostAction::kStop},
      {"-u", HostAction::kRemove},
      {"-U", HostAction::kRemove},
      {"-s", HostAction::kStart},
      {"-S", HostAction::kStart},
      {"", HostAction::kRunService},
      {"-install", HostAction::kRunService},
      {"/i", HostAction::kRunService},
      {"i", HostAction::kRunService},
      {"-", HostAction::kRunService},
      {"-x", HostAction::kRunService},
      {"--i", HostAction::kRunService},
      {"-i ", HostAction::kRunService},
      {std::string("-i\0", 3), HostAction::kRunService},
      {std::string(100000, 'a'), HostAction::kRunService},
  };
  for (const auto& [argument, action] : rows) {
    EXPECT_EQ(SelectAction(argument), action) << '"' << argument.substr(0, 20) << '"';
  }
}

}  // namespace
