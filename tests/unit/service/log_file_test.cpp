#include "service/log_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "service/log_messages.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
constexpr char kLineEnd[] = "\r\n";  // the C runtime's text mode
#else
constexpr char kLineEnd[] = "\n";
#endif

platform::LocalTime FixedClock() {
  return {2024, 3, 1, 9, 5, 8};
}

std::string ReadBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = ::testing::TempDir() + "log_file_test_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
    std::remove(path_.c_str());
    SetLogClock(&FixedClock);
  }
  void TearDown() override {
    SetLogClock(nullptr);
    std::remove(path_.c_str());
  }
  std::string path_;
};

TEST(LogEntryFormatTest, MonthFirstAndTheMessageIndentedOnTheNextLine) {
  EXPECT_EQ(FormatLogEntry({2024, 3, 1, 9, 5, 8}, "Service Talvoro_macadress installed\n"),
            "03/01/2024, 09:05:08\n    Service Talvoro_macadress installed\n");
  EXPECT_EQ(FormatLogEntry({2023, 11, 2, 14, 5, 9}, "x\n"), "11/02/2023, 14:05:09\n    x\n");
  EXPECT_EQ(FormatLogEntry({999, 12, 31, 23, 59, 59}, "y\n"), "12/31/0999, 23:59:59\n    y\n");
}

TEST(LogEntryFormatTest, MessagesAreFormattedWithNameAndCode) {
  EXPECT_EQ(FormatLogMessage(kMsgCreateFailed, "Talvoro_macadress", 1073),
            "Failed to create service Talvoro_macadress, error code = 1073\n");
  EXPECT_EQ(FormatLogMessage(kMsgOpenManagerFailed, -5), "OpenSCManager failed, error code = -5\n");
  EXPECT_EQ(FormatLogMessage(kMsgUnrecognizedOpcode, 6), "Unrecognized opcode 6\n");
}

TEST_F(LogFileTest, EntriesAreTwoWholeLinesAndPercentSignsStayAsData) {
  WriteLog(path_, "Service Talvoro_macadress installed\n");
  WriteLog(path_, "100% %d %s\n");
  const std::string end = kLineEnd;
  EXPECT_EQ(ReadBytes(path_), "03/01/2024, 09:05:08" + end +
                                  "    Service Talvoro_macadress installed" + end +
                                  "03/01/2024, 09:05:08" + end + "    100% %d %s" + end);
}

TEST_F(LogFileTest, AppendsToAnExistingFileNeverTruncates) {
  {
    std::ofstream existing(path_, std::ios::binary);
    existing << "earlier text" << kLineEnd;
  }
  WriteLog(path_, "later\n");
  const std::string bytes = ReadBytes(path_);
  EXPECT_EQ(bytes.rfind(std::string("earlier text") + kLineEnd, 0), 0U) << bytes;
  EXPECT_NE(bytes.find("    later"), std::string::npos) << bytes;
}

TEST_F(LogFileTest, AFileThatCannotBeOpenedIsDroppedSilently) {
  WriteLog("", "nowhere\n");
  WriteLog(path_ + "/no/such/folder.log", "nowhere\n");
  SUCCEED();
}

TEST_F(LogFileTest, ThreadsWritingAtOnceNeverInterleave) {
  constexpr int kThreads = 4;
  constexpr int kEntries = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      const std::string message =
          "writer " + std::to_string(t) + " " + std::string(200, 'a' + t) + "\n";
      for (int i = 0; i < kEntries; ++i) {
        WriteLog(path_, message);
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  std::istringstream lines(ReadBytes(path_));
  std::string stamp;
  std::string message;
  int entries = 0;
  const std::string cr = kLineEnd[1] == '\0' ? "" : "\r";
  while (std::getline(lines, stamp) && std::getline(lines, message)) {
    ASSERT_EQ(stamp, "03/01/2024, 09:05:08" + cr) << "entry " << entries;
    ASSERT_EQ(message.rfind("    writer ", 0), 0U) << "entry " << entries;
    const int writer = message[11] - '0';
    ASSERT_EQ(message, "    writer " + std::to_string(writer) + " " +
                           std::string(200, static_cast<char>('a' + writer)) + cr)
        << "entry " << entries;
    ++entries;
  }
  EXPECT_EQ(entries, kThreads * kEntries);
}

#ifndef _WIN32
// The switches run as root in a folder whose owner may have put anything where the log goes:
// an entry goes only into a regular file reached without a link, and otherwise nothing on the
// file system changes.
namespace fs = std::filesystem;

class LogPlacementTest : public LogFileTest {
 protected:
  void SetUp() override {
    LogFileTest::SetUp();
    other_ = path_ + ".other";
    fs::remove_all(other_);
  }
  void TearDown() override {
    fs::remove_all(other_);
    fs::remove_all(path_);
    LogFileTest::TearDown();
  }
  std::string other_;  // what a link points at
};

TEST_F(LogPlacementTest, ALinkToAnotherFileLeavesThatFileAlone) {
  {
    std::ofstream target(other_, std::ios::binary);
    target << "root:x:0:0\n";
  }
  fs::create_symlink(other_, path_);
  WriteLog(path_, "Service Talvoro_macadress started\n");
  EXPECT_EQ(ReadBytes(other_), "root:x:0:0\n");
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(path_)));
}

TEST_F(LogPlacementTest, ADanglingLinkCreatesNothingWhereItPoints) {
  fs::create_symlink(other_, path_);
  WriteLog(path_, "Service Talvoro_macadress started\n");
  EXPECT_FALSE(fs::exists(fs::symlink_status(other_)));
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(path_)));
}

TEST_F(LogPlacementTest, AFolderIsLeftEmpty) {
  fs::create_directory(path_);
  WriteLog(path_, "Service Talvoro_macadress started\n");
  EXPECT_TRUE(fs::is_directory(path_));
  EXPECT_TRUE(fs::is_empty(path_));
}

// A FIFO with no reader would block a plain open for writing until one came, and the switch
// with it: this test would then hang until ctest's time-out. With a reader, the entry would
// go to whoever reads.
TEST_F(LogPlacementTest, AFifoIsRefusedAtOnceWithOrWithoutAReader) {
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  WriteLog(path_, "without a reader\n");

  const int reader = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  WriteLog(path_, "with a reader\n");
  char byte = 0;
  const ssize_t got = read(reader, &byte, 1);
  close(reader);
  // Nothing in the pipe: 0 once the refused writer has come and gone, or -1 with EAGAIN.
  EXPECT_LE(got, 0) << "read " << byte;
  EXPECT_EQ(fs::status(path_).type(), fs::file_type::fifo);
}

// A new log is its owner's to change alone, whatever umask the switch inherits; under the
// usual 022 that is the mode the log has always had.
TEST_F(LogPlacementTest, ANewLogIsWritableByItsOwnerOnly) {
  const mode_t saved = umask(0);  // no other thread runs here
  WriteLog(path_, "first\n");
  umask(saved);
  EXPECT_EQ(fs::status(path_).permissions(), fs::perms::owner_read | fs::perms::owner_write |
                                                 fs::perms::group_read | fs::perms::others_read);
  EXPECT_NE(ReadBytes(path_).find("    first"), std::string::npos);
}
#endif

}  // namespace
