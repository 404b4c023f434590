#include "support/trace_recorder.h"

#include <mutex>

#include "platform/debug_trace.h"

namespace testing_support {
namespace {

std::mutex& RecordLock() {
  static std::mutex lock;
  return lock;
}

std::vector<std::string>& Recorded() {
  static std::vector<std::string> lines;
  return lines;
}

void Record(const char* text) {
  const std::scoped_lock hold(RecordLock());
  Recorded().emplace_back(text);
}

}  // namespace

TraceRecorder::TraceRecorder() {
  Clear();
  platform::SetTraceCapture(&Record);
}

TraceRecorder::~TraceRecorder() {
  platform::SetTraceCapture(nullptr);
}

std::vector<std::string> TraceRecorder::Lines() const {
  const std::scoped_lock hold(RecordLock());
  return Recorded();
}

void TraceRecorder::Clear() {
  const std::scoped_lock hold(RecordLock());
  Recorded().clear();
}

}  // namespace testing_support
