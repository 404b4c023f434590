#include "service/log_file.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "platform/log_stream.h"

namespace {

// The log lock: every entry, from any thread, is written whole under it.
std::mutex LogLock;
// Replaced by tests only.
std::atomic<LogClock> Clock{nullptr};

}  // namespace

std::string FormatLogEntry(const platform::LocalTime& time, const std::string& message) {
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%02d/%02d/%04d, %02d:%02d:%02d\n    ", time.month, time.day,
                time.year, time.hour, time.minute, time.second);
  return stamp + message;
}

std::string FormatLogMessage(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  char text[512];
  // The analyzer loses track of va_start here.
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  return text;
}

void SetLogClock(LogClock clock) {
  Clock.store(clock);
}

void WriteLog(const std::string& path, const std::string& message) {
  const std::scoped_lock hold(LogLock);
  const LogClock clock = Clock.load();
  const platform::LocalTime now = clock != nullptr ? clock() : platform::CurrentLocalTime();
  platform::LogStream log = platform::LogStream::OpenForAppend(path);
  if (log) {
    log.Append(FormatLogEntry(now, message));
  }
}
