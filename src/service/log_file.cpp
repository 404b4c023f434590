#include "service/log_file.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>

namespace {

// The log lock: every entry, from any thread, is written whole under it.
std::mutex LogLock;
// Replaced by tests only.
std::atomic<LogClock> Clock{nullptr};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

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
  // Text mode: the C runtime stores each line feed as CR LF on Windows.
  const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "a"));
  if (!file) {
    return;
  }
  const std::string entry = FormatLogEntry(now, message);
  std::fwrite(entry.data(), 1, entry.size(), file.get());
}
