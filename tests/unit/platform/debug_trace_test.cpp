#include "platform/debug_trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/trace_recorder.h"

namespace {

std::vector<std::string>& OwnCaptured() {
  static std::vector<std::string> lines;
  return lines;
}

void OwnCapture(const char* text) {
  OwnCaptured().emplace_back(text);
}

TEST(DebugTrace, CaptureReceivesTheTextsInOrder) {
  const testing_support::TraceRecorder recorder;
  platform::WriteDebugTrace("first\n");
  platform::WriteDebugTrace("");
  platform::WriteDebugTrace("second");
  EXPECT_EQ(recorder.Lines(), (std::vector<std::string>{"first\n", "", "second"}));
}

TEST(DebugTrace, NullCaptureGivesTheTracesBackToTheSystem) {
  OwnCaptured().clear();
  platform::SetTraceCapture(&OwnCapture);
  platform::WriteDebugTrace("captured");
  platform::SetTraceCapture(nullptr);
  platform::WriteDebugTrace("to the system channel\n");
  platform::WriteDebugTrace(nullptr);
  EXPECT_EQ(OwnCaptured(), std::vector<std::string>{"captured"});
}

}  // namespace
