#include "service/host_paths.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(HostPathsTest, Table) {
  struct Row {
    std::string module;
    std::string executable;
    std::string log;
  };
  const std::vector<Row> rows = {
      {R"(C:\a\b.exe)", R"(C:\a\b.exe)", R"(C:\a\b.log)"},
      {R"(C:\svc\agent.exe)", R"(C:\svc\agent.exe)", R"(C:\svc\agent.log)"},
      // Only the dot's place is tested, not the letters after it.
      {R"(C:\svc\agent.bin)", R"(C:\svc\agent.bin)", R"(C:\svc\agent.log)"},
      {R"(C:\Program Files\Talvoro\talvoro_macadress.exe)",
       R"(C:\Program Files\Talvoro\talvoro_macadress.exe)",
       R"(C:\Program Files\Talvoro\talvoro_macadress.log)"},
      // No four-character extension, as on Linux: the log goes beside it with ".log" added.
      {"/opt/talvoro/talvoro_macadress", "/opt/talvoro/talvoro_macadress",
       "/opt/talvoro/talvoro_macadress.log"},
      {"/opt/x.tar.gz", "/opt/x.tar.gz", "/opt/x.tar.gz.log"},
      {".exe", ".exe", ".exe.log"},  // four characters: not more than four
      {"a.exe", "a.exe", "a.log"},
      // The system could not tell: nothing to register, the log in the working folder.
      {"", "", "talvoro_macadress.log"},
  };
  for (const Row& row : rows) {
    const HostPaths paths = DeriveHostPaths(row.module);
    EXPECT_EQ(paths.executablePath, row.executable) << row.module;
    EXPECT_EQ(paths.logPath, row.log) << row.module;
  }
}

}  // namespace
