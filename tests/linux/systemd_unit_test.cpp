#include "platform/systemd_unit.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

// A whole line of the unit. (Built by appending: GCC 12 at -O3 warns falsely on "\n" + line.)
std::string Line(std::string_view text) {
  std::string line = "\n";
  line.append(text);
  line += '\n';
  return line;
}

// The section ("[Unit]", ...) whose lines hold `line` whole, or "" when no line is `line`.
std::string SectionOf(const std::string& text, std::string_view line) {
  const std::size_t at = text.find(Line(line));
  if (at == std::string::npos) {
    return {};
  }
  const std::size_t header = text.rfind("\n[", at);
  const std::size_t start = header == std::string::npos ? 0 : header + 1;
  return text.substr(start, text.find('\n', start) - start);
}

// The lines that make the unit what it is, each in the section where systemd reads it (the
// start limit under [Service] is an unknown key and would be ignored): how systemd runs, stops
// and restarts it, where it may write, and that it holds no privilege.
TEST(SystemdUnitTest, RunsTheCommandConfinedWithItsFolderWritable) {
  const std::string text = SystemdUnitText("/opt/talvoro/talvoro_macadress");
  EXPECT_EQ(text.rfind("[Unit]\nDescription=Talvoro_macadress\nAfter=network.target\n", 0), 0U)
      << text;
  struct Row {
    const char* line;
    const char* section;
  };
  const std::vector<Row> rows = {
      {"StartLimitIntervalSec=60", "[Unit]"},
      {"StartLimitBurst=5", "[Unit]"},
      {"Type=notify", "[Service]"},
      {"ExecStart=/opt/talvoro/talvoro_macadress", "[Service]"},
      {"Restart=on-failure", "[Service]"},
      {"RestartSec=1", "[Service]"},
      {"RestartPreventExitStatus=SIGTERM", "[Service]"},
      {"KillMode=control-group", "[Service]"},
      {"ReadWritePaths=\"/opt/talvoro\"", "[Service]"},
      {"ProtectSystem=strict", "[Service]"},
      {"CapabilityBoundingSet=", "[Service]"},
      {"PrivateUsers=yes", "[Service]"},
      {"NoNewPrivileges=yes", "[Service]"},
      {"NotifyAccess=main", "[Service]"},
      {"WantedBy=multi-user.target", "[Install]"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(SectionOf(text, row.line), row.section) << row.line << "\n" << text;
  }
  const std::string install = "\n[Install]\nWantedBy=multi-user.target\n";
  EXPECT_EQ(text.substr(text.size() - install.size()), install);
}

// The ExecStart and ReadWritePaths lines for commands that systemd would otherwise read
// differently.
TEST(SystemdUnitTest, PathsReachSystemdUnchanged) {
  struct Row {
    std::string command;
    std::string execStart;
    std::string readWritePaths;
  };
  const std::vector<Row> rows = {
      // Quoted by the caller because of the blank; the quotes stay, so systemd sees one word.
      {R"("/opt/Talvoro Service/talvoro_macadress")",
       R"(ExecStart="/opt/Talvoro Service/talvoro_macadress")",
       R"(ReadWritePaths="/opt/Talvoro Service")"},
      // %n would become the unit's name, in both places.
      {"/opt/100%/talvoro_macadress", "ExecStart=/opt/100%%/talvoro_macadress",
       R"(ReadWritePaths="/opt/100%%")"},
      {"/opt/%n%%/x", "ExecStart=/opt/%%n%%%%/x", R"(ReadWritePaths="/opt/%%n%%%%")"},
      // systemd expands no variables in the program's own path: a $ stays as it is.
      {"/opt/$HOME/x", "ExecStart=/opt/$HOME/x", R"(ReadWritePaths="/opt/$HOME")"},
      {"/talvoro_macadress", "ExecStart=/talvoro_macadress", R"(ReadWritePaths="/")"},
  };
  for (const Row& row : rows) {
    const std::string text = SystemdUnitText(row.command);
    EXPECT_NE(text.find(Line(row.execStart)), std::string::npos) << text;
    EXPECT_NE(text.find(Line(row.readWritePaths)), std::string::npos) << text;
    EXPECT_TRUE(UnitCanHold(row.command)) << row.command;
  }
}

// What systemd refuses to run ("Executable name contains special characters"), or what a
// unit line cannot hold, is refused before a unit is written.
TEST(SystemdUnitTest, RefusesPathsSystemdCannotRun) {
  const std::vector<std::string> refused = {
      "/opt/a\nExecStartPre=/bin/x/talvoro_macadress",
      "/opt/a\tb/talvoro_macadress",
      R"(/opt/a\b/talvoro_macadress)",
      "/opt/it's/talvoro_macadress",
      R"(/opt/say"hi"/talvoro_macadress)",
      "talvoro_macadress",  // no folder: not a path the install registers
      "",
  };
  for (const std::string& command : refused) {
    EXPECT_FALSE(UnitCanHold(command)) << command;
  }
}

}  // namespace
