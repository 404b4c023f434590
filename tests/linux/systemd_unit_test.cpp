#include "platform/systemd_unit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

TEST(SystemdUnitTest, WholeText) {
  EXPECT_EQ(SystemdUnitText("/opt/talvoro/talvoro_macadress"),
            "[Unit]\n"
            "Description=Talvoro_macadress\n"
            "After=network.target\n"
            "\n"
            "[Service]\n"
            "Type=notify\n"
            "ExecStart=/opt/talvoro/talvoro_macadress\n"
            "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n");
}

// The ExecStart line alone, for commands that systemd would otherwise read differently.
TEST(SystemdUnitTest, ExecStartKeepsThePathAsGiven) {
  struct Row {
    std::string command;
    std::string execStart;
  };
  const std::vector<Row> rows = {
      // Quoted by the caller because of the blank; the quotes stay, so systemd sees one word.
      {R"("/opt/Talvoro Service/talvoro_macadress")",
       R"(ExecStart="/opt/Talvoro Service/talvoro_macadress")"},
      // %n would become the unit's name.
      {"/opt/100%/talvoro_macadress", "ExecStart=/opt/100%%/talvoro_macadress"},
      {"/opt/%n%%/x", "ExecStart=/opt/%%n%%%%/x"},
      // C escapes: \t would become a tab, and a lone trailing backslash would join lines.
      {R"(/opt/a\tb/x\)", R"(ExecStart=/opt/a\\tb/x\\)"},
      // Variables: $HOME and ${HOME} would be expanded.
      {"/opt/$HOME/${X}", "ExecStart=/opt/$$HOME/$${X}"},
      // A line feed would end the line and start a key of its own.
      {"/opt/a\nExecStartPre=/bin/x", R"(ExecStart=/opt/a\nExecStartPre=/bin/x)"},
      {R"("/opt/50% off\x/y z")", R"(ExecStart="/opt/50%% off\\x/y z")"},
  };
  for (const Row& row : rows) {
    const std::string text = SystemdUnitText(row.command);
    const std::string expected = "\n" + row.execStart + "\n";
    EXPECT_NE(text.find(expected), std::string::npos) << row.command << "\n" << text;
    // Nothing of the command leaks onto a line of its own.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 10) << row.command;
  }
}

}  // namespace
