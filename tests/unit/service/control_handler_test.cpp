#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/host_state.h"
#include "service/log_file.h"
#include "service/service_runtime.h"

namespace {

std::mutex ReportsLock;
std::vector<platform::ServiceStatus> Reports;
bool ReportSucceeds = true;
std::atomic<int> WorkerRuns{0};

bool RecordReport(platform::StatusHandle /*handle*/, const platform::ServiceStatus& status) {
  const std::scoped_lock hold(ReportsLock);
  Reports.push_back(status);
  return ReportSucceeds;
}

void CountingWorker() {
  ++WorkerRuns;
}

platform::LocalTime FixedClock() {
  return {2024, 3, 1, 9, 5, 8};
}

constexpr platform::ServiceStatus kRunning = {
    platform::kServiceWin32, platform::kServiceRunning, 7, 0, 0, 0, 0};

class ControlHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogPath = ::testing::TempDir() + "control_handler_test.log";
    std::remove(LogPath.c_str());
    SetLogClock(&FixedClock);
    SetStatusReporter(&RecordReport);
    static constexpr WorkerRoutine kWorkers[] = {&CountingWorker, &CountingWorker};
    SetWorkerRoutines(kWorkers, 2);
    ServiceStatusRecord = kRunning;
    ServiceRunFlag = 1;
    WorkerStopFlag = 0;
    WorkerRuns = 0;
    ReportSucceeds = true;
    const std::scoped_lock hold(ReportsLock);
    Reports.clear();
  }
  void TearDown() override {
    SetControlRegistrar(nullptr);
    SetStatusReporter(nullptr);
    SetLogClock(nullptr);
    SetWorkerRoutines(nullptr, 0);
    std::remove(LogPath.c_str());
  }

  static std::vector<platform::ServiceStatus> TakeReports() {
    const std::scoped_lock hold(ReportsLock);
    std::vector<platform::ServiceStatus> taken;
    taken.swap(Reports);
    return taken;
  }
  static std::string Log() {
    std::ifstream file(LogPath, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }
  // Workers run on threads of their own; wait (bounded) for the expected number to have run.
  static int WorkerRunsSettled(int expected) {
    for (int i = 0; i < 500 && WorkerRuns.load() < expected; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return WorkerRuns.load();
  }
};

TEST_F(ControlHandlerTest, StopAndShutdownReportStoppedAtOnceAndStopTheWorkers) {
  for (const uint32_t code : {1U, 5U}) {
    SetUp();
    ServiceStatusRecord.win32ExitCode = 99;  // a stop always reports exit code 0
    ServiceCtrlHandler(code);
    platform::ServiceStatus stopped = kRunning;
    stopped.currentState = platform::kServiceStopped;
    EXPECT_EQ(TakeReports(), std::vector<platform::ServiceStatus>{stopped}) << code;
    EXPECT_EQ(ServiceRunFlag.load(), 0) << code;
    EXPECT_EQ(WorkerStopFlag.load(), 1) << code;
    EXPECT_EQ(Log(), "") << code;
  }
}

TEST_F(ControlHandlerTest, PauseContinueAndInterrogateOnlyChangeTheReport) {
  const std::vector<std::pair<uint32_t, uint32_t>> rows = {
      {2, platform::kServicePaused},
      {4, platform::kServicePaused},  // interrogate: the record unchanged
      {3, platform::kServiceRunning},
      {4, platform::kServiceRunning},
  };
  for (const auto& [code, state] : rows) {
    ServiceCtrlHandler(code);
    platform::ServiceStatus expected = kRunning;
    expected.currentState = state;
    EXPECT_EQ(TakeReports(), std::vector<platform::ServiceStatus>{expected}) << code;
  }
  EXPECT_EQ(WorkerStopFlag.load(), 0);
  EXPECT_EQ(ServiceRunFlag.load(), 1);
  EXPECT_EQ(WorkerRunsSettled(0), 0);
  EXPECT_EQ(Log(), "");
}

TEST_F(ControlHandlerTest, Codes128And255StartAnotherPairOfWorkers) {
  WorkerStopFlag = 1;
  ServiceCtrlHandler(128);
  EXPECT_EQ(WorkerStopFlag.load(), 0);
  EXPECT_EQ(WorkerRunsSettled(2), 2);
  ServiceCtrlHandler(255);
  EXPECT_EQ(WorkerRunsSettled(4), 4);
  EXPECT_EQ(TakeReports(), (std::vector<platform::ServiceStatus>{kRunning, kRunning}));
  EXPECT_EQ(Log(), "");
}

TEST_F(ControlHandlerTest, Codes129To254OnlyReport) {
  for (uint32_t code = 129; code <= 254; ++code) {
    ServiceCtrlHandler(code);
  }
  EXPECT_EQ(TakeReports(), std::vector<platform::ServiceStatus>(126, kRunning));
  EXPECT_EQ(WorkerRunsSettled(0), 0);
  EXPECT_EQ(Log(), "");
}

TEST_F(ControlHandlerTest, UnknownCodesAreLoggedAndTheRecordReportedUnchanged) {
  std::string expected;
  for (const uint32_t code : {0U, 6U, 127U, 256U, 4294967295U}) {
    ServiceCtrlHandler(code);
    std::string entry = FormatLogEntry(
        FixedClock(), "Unrecognized opcode " + std::to_string(static_cast<int>(code)) + "\n");
    expected += entry;
  }
  EXPECT_EQ(TakeReports(), std::vector<platform::ServiceStatus>(5, kRunning));
#ifdef _WIN32
  std::string stored;
  for (const char c : expected) {
    stored += c == '\n' ? std::string("\r\n") : std::string(1, c);
  }
  expected = stored;
#endif
  EXPECT_EQ(Log(), expected);
}

TEST_F(ControlHandlerTest, AFailedReportIsLoggedAndTheHandlerGoesOn) {
  ReportSucceeds = false;
  ServiceCtrlHandler(2);
  EXPECT_EQ(ServiceStatusRecord.currentState, platform::kServicePaused);
  EXPECT_NE(Log().find("    SetServiceStatus failed, error code = "), std::string::npos) << Log();
}

// A control that arrives while ServiceMain registers the handler, before it knows its status
// handle: the platform may run the handler at once on another thread.
uint32_t CodeDuringRegistration = 0;
platform::StatusHandle RegisterAndControl(const char* /*name*/,
                                          platform::ControlHandlerRoutine handler) {
  if (CodeDuringRegistration != 0) {
    handler(CodeDuringRegistration);
  }
  return 7;
}
platform::StatusHandle RegistrationFails(const char* /*name*/,
                                         platform::ControlHandlerRoutine /*handler*/) {
  return 0;
}

TEST_F(ControlHandlerTest, AControlDuringRegistrationIsWhatServiceMainReports) {
  struct Row {
    uint32_t code;
    uint32_t reported;
    int workers;
  };
  // 0: nothing came; a stop stands (and no worker starts); a pause stands, the workers run.
  const std::vector<Row> rows = {
      {0, platform::kServiceRunning, 2},
      {1, platform::kServiceStopped, 0},
      {5, platform::kServiceStopped, 0},
      {2, platform::kServicePaused, 2},
  };
  SetControlRegistrar(&RegisterAndControl);
  for (const Row& row : rows) {
    SetUp();
    CodeDuringRegistration = row.code;
    ServiceMain();
    platform::ServiceStatus expected = kRunning;
    expected.currentState = row.reported;
    EXPECT_EQ(TakeReports(), std::vector<platform::ServiceStatus>{expected}) << row.code;
    EXPECT_EQ(WorkerRunsSettled(row.workers), row.workers) << row.code;
    EXPECT_EQ(Log(), "") << row.code;
  }
  CodeDuringRegistration = 0;
}

TEST_F(ControlHandlerTest, AFailedRegistrationReportsNothingAndStartsNoWorker) {
  SetControlRegistrar(&RegistrationFails);
  ServiceMain();
  EXPECT_TRUE(TakeReports().empty());
  EXPECT_EQ(WorkerRunsSettled(0), 0);
  EXPECT_NE(Log().find("    RegisterServiceCtrlHandler failed, error code = "), std::string::npos)
      << Log();
}

}  // namespace
