// The start-up sweep ends a process only when the name read through a handle held on it is the
// tunnel's: a snapshot entry whose id has since passed to another process leaves that process
// alone. Real child processes, with scripted snapshots naming them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/processes.h"
#include "server/query_server.h"

namespace {

using platform::ProcessEntry;

std::vector<ProcessEntry> Scripted;

std::vector<ProcessEntry> ScriptedSnapshot() {
  return Scripted;
}

// A child running `program` (sleep's own code under any name); returned once the exec is done,
// so that its /proc/<pid>/exe is the program's and not this test's.
pid_t StartChild(const std::string& program) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    return -1;
  }
  const pid_t child = fork();
  if (child == 0) {
    execl(program.c_str(), program.c_str(), "60", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ready[1]);
  char byte = 0;
  while (read(ready[0], &byte, 1) > 0) {
  }
  close(ready[0]);
  return child;
}

// Whether the sweep ended the child. Its SIGKILL may still be on its way, so the child is sent
// SIGTERM and reaped: a process already being killed keeps SIGKILL as its end.
bool KilledBySweep(pid_t child) {
  kill(child, SIGTERM);
  int status = 0;
  return waitpid(child, &status, 0) == child && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

class TunnelSweep : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() / ("tunnel-sweep-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder_);
    tunnel_ = (folder_ / "stunnel").string();
    std::filesystem::copy_file("/bin/sleep", tunnel_,
                               std::filesystem::copy_options::overwrite_existing);
    SetSweepSnapshotter(&ScriptedSnapshot);
  }
  void TearDown() override {
    SetSweepSnapshotter(nullptr);
    std::filesystem::remove_all(folder_);
  }
  std::filesystem::path folder_;
  std::string tunnel_;
};

TEST_F(TunnelSweep, EndsOnlyAProcessThatIsTheTunnelThroughItsHandle) {
  // Each snapshot entry names one of the case's children by its place; `ended` tells which
  // of them the sweep is to end.
  struct Entry {
    std::string exeFile;
    std::size_t child;
  };
  struct Case {
    std::string name;
    std::vector<bool> tunnelChildren;  // per child: the tunnel's copy, or sleep itself
    std::vector<Entry> snapshot;
    std::vector<bool> ended;
  };
  const std::vector<Case> cases = {
      {"the tunnel under its own id", {true}, {{"sleep", 0}, {"stunnel", 0}}, {true}},
      {"the id now another program's", {false}, {{"stunnel", 0}}, {false}},
      {"a renamed tunnel listed under another name", {true}, {{"sleep", 0}}, {false}},
      // Only the first match is tried, whether or not it could be ended.
      {"a stale first match before the tunnel",
       {false, true},
       {{"stunnel", 0}, {"stunnel", 1}},
       {false, false}},
      {"two tunnels", {true, true}, {{"stunnel", 0}, {"stunnel", 1}}, {true, false}},
  };
  for (const Case& c : cases) {
    std::vector<pid_t> children;
    for (const bool tunnel : c.tunnelChildren) {
      children.push_back(StartChild(tunnel ? tunnel_ : "/bin/sleep"));
      ASSERT_GT(children.back(), 0) << c.name;
    }
    Scripted.clear();
    for (const Entry& entry : c.snapshot) {
      Scripted.push_back({entry.exeFile, static_cast<uint32_t>(children[entry.child])});
    }
    SweepTunnelProcess();
    for (std::size_t at = 0; at < children.size(); ++at) {
      EXPECT_EQ(KilledBySweep(children[at]), c.ended[at]) << c.name << ", child " << at;
    }
  }
}

}  // namespace
