#include "companions/tunnel_watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "companions/tunnel_name.h"
#include "service/service_runtime.h"
#include "support/trace_recorder.h"

namespace {

using platform::ProcessEntry;

// One scripted process list per scan; after the script the last list repeats. A scan can also
// set the stop flag, as a stop request arriving during it would.
std::mutex ScriptLock;
std::vector<std::vector<ProcessEntry>> Script;
std::size_t ScanCount = 0;
int StopAtScan = -1;
std::vector<std::string> Launches;
std::vector<std::chrono::steady_clock::time_point> ScanTimes;

const std::vector<ProcessEntry> kWithTunnel = {{"svchost.exe", 4}, {"stunnel.exe", 8}};
const std::vector<ProcessEntry> kWithout = {{"svchost.exe", 4}, {"explorer.exe", 9}};

std::vector<ProcessEntry> ScriptedSnapshot() {
  const std::scoped_lock hold(ScriptLock);
  const std::size_t scan = ScanCount++;
  ScanTimes.push_back(std::chrono::steady_clock::now());
  if (static_cast<int>(scan) == StopAtScan) {
    WorkerStopFlag = 1;
  }
  return Script[scan < Script.size() ? scan : Script.size() - 1];
}

void RecordLaunch(const std::string& command) {
  const std::scoped_lock hold(ScriptLock);
  Launches.push_back(command);
}

class TunnelWatchdogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::scoped_lock hold(ScriptLock);
    Script.clear();
    ScanCount = 0;
    StopAtScan = -1;
    Launches.clear();
    ScanTimes.clear();
    WorkerStopFlag = 0;
    SetWatchdogHooks(&ScriptedSnapshot, &RecordLaunch);
  }
  void TearDown() override { SetWatchdogHooks(nullptr, nullptr); }

  // Runs the watchdog until it has made `scans` scans (or ended), then stops it.
  static int RunFor(std::size_t scans) {
    int result = -1;
    std::thread watchdog([&result] { result = RunTunnelWatchdog(); });
    for (int i = 0; i < 1000; ++i) {
      {
        const std::scoped_lock hold(ScriptLock);
        if (ScanCount >= scans || StopAtScan >= 0) {
          break;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (StopAtScan < 0) {
      WorkerStopFlag = 1;
    }
    watchdog.join();
    return result;
  }
  static std::size_t LaunchCount() {
    const std::scoped_lock hold(ScriptLock);
    return Launches.size();
  }
};

TEST_F(TunnelWatchdogTest, LaunchesAtStartEvenWhenTheTunnelRunsThenWatches) {
  Script = {kWithTunnel};
  const testing_support::TraceRecorder traces;
  EXPECT_EQ(RunFor(5), 0);
  EXPECT_EQ(LaunchCount(), 1U);
  const std::vector<std::string> lines = traces.Lines();
  ASSERT_GE(lines.size(), 2U);
  EXPECT_EQ(lines[0], kTunnelStartTrace);
  EXPECT_EQ(lines[1], kTunnelEndTrace);
}

TEST_F(TunnelWatchdogTest, EveryScanWithoutTheTunnelLaunchesItAgain) {
  // found, found, missing, found, missing, missing, found...
  Script = {kWithTunnel, kWithTunnel, kWithout, kWithTunnel, kWithout, kWithout, kWithTunnel};
  EXPECT_EQ(RunFor(10), 0);
  EXPECT_EQ(LaunchCount(), 4U);  // at start, then after each of the three missing scans
}

TEST_F(TunnelWatchdogTest, AStopDuringAScanThatFindsNothingGivesOneMoreLaunch) {
  Script = {kWithTunnel, kWithout};
  StopAtScan = 1;
  EXPECT_EQ(RunFor(100), 0);
  EXPECT_EQ(LaunchCount(), 2U);
}

TEST_F(TunnelWatchdogTest, AStopWhileTheTunnelRunsEndsAtTheNextCycle) {
  Script = {kWithTunnel};
  StopAtScan = 2;
  EXPECT_EQ(RunFor(100), 0);
  EXPECT_EQ(LaunchCount(), 1U);
  const std::scoped_lock hold(ScriptLock);
  EXPECT_EQ(ScanCount, 3U);
}

TEST(TunnelNameTest, WindowsAndLinuxRules) {
  const std::vector<std::pair<std::string, bool>> windows = {
      {"stunnel.exe", true},     {"STUNNEL.EXE", true}, {"Stunnel.exe", true},
      {"old_stunnel.exe", true}, {"stunnel", false},    {"stunnel.com", false},
      {"svchost.exe", false},
  };
  for (const auto& [name, matches] : windows) {
    EXPECT_EQ(MatchesTunnelName(name, "stunnel.exe"), matches) << name;
  }
  for (const auto& [name, matches] : std::vector<std::pair<std::string, bool>>{
           {"stunnel", true}, {"stunnel4", true}, {"sshd", false}}) {
    EXPECT_EQ(MatchesTunnelName(name, "stunnel"), matches) << name;
  }
}

TEST(TunnelProgramPathTest, Table) {
  struct Row {
    const char* module;
    char separator;
    const char* relative;
    const char* path;
  };
  const std::vector<Row> rows = {
      {R"(C:\svc\talvoro_macadress.exe)", '\\', R"(\bin\stunnel.exe)", R"(C:\svc\bin\stunnel.exe)"},
      {R"(C:\svc.exe)", '\\', R"(\bin\stunnel.exe)", R"(C:\bin\stunnel.exe)"},
      {"svc.exe", '\\', R"(\bin\stunnel.exe)", R"(\bin\stunnel.exe)"},
      {R"(C:\Program Files\T\svc.exe)", '\\', R"(\bin\stunnel.exe)",
       R"(C:\Program Files\T\bin\stunnel.exe)"},
      {"/opt/talvoro/talvoro_macadress", '/', "/bin/stunnel", "/opt/talvoro/bin/stunnel"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(TunnelProgramPath(row.module, row.separator, row.relative), row.path) << row.module;
  }
}

TEST_F(TunnelWatchdogTest, EachCycleWaitsOneStepAndOneStepPerEntryUpToTheTunnel) {
  // Twelve processes, the tunnel eighth: a cycle is its own step and eight entry steps. Without
  // the tunnel, all twelve. The steps may be taken together; their time may not shrink.
  std::vector<ProcessEntry> found;
  std::vector<ProcessEntry> missing;
  for (uint32_t pid = 1; pid <= 12; ++pid) {
    found.push_back({pid == 8 ? "stunnel.exe" : "svchost.exe", pid});
    missing.push_back({"svchost.exe", pid});
  }
  Script = {found, missing, found};
  EXPECT_EQ(RunFor(3), 0);
  const std::scoped_lock hold(ScriptLock);
  ASSERT_GE(ScanTimes.size(), 3U);
  // At least 4 ms a step: a Windows Sleep(5) may end up to a tick's fraction early.
  const auto atLeast = [](std::size_t steps) { return std::chrono::milliseconds(4 * steps); };
  EXPECT_GE(ScanTimes[1] - ScanTimes[0], atLeast(1 + 8));
  EXPECT_GE(ScanTimes[2] - ScanTimes[1], atLeast(12 + 1));  // the relaunch comes in between
}

}  // namespace
