// Collects the debugger-channel traces written while it lives, in order.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

class TraceRecorder {
 public:
  TraceRecorder();
  ~TraceRecorder();
  TraceRecorder(const TraceRecorder&) = delete;
  TraceRecorder& operator=(const TraceRecorder&) = delete;

  [[nodiscard]] std::vector<std::string> Lines() const;
  void Clear();
};

}  // namespace testing_support
