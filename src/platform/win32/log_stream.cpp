#include "platform/log_stream.h"

#include <cstdio>

namespace platform {

struct LogStream::File {
  struct Closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  std::unique_ptr<std::FILE, Closer> stream;
};

LogStream::LogStream(std::unique_ptr<File> file) : file_(std::move(file)) {}
LogStream::LogStream(LogStream&& other) noexcept = default;
LogStream& LogStream::operator=(LogStream&& other) noexcept = default;
LogStream::~LogStream() = default;

LogStream LogStream::OpenForAppend(const std::string& path) {
  // Text mode: the C runtime stores each line feed as CR LF.
  auto file = std::make_unique<File>();
  file->stream.reset(std::fopen(path.c_str(), "a"));
  if (!file->stream) {
    return LogStream(nullptr);
  }
  return LogStream(std::move(file));
}

void LogStream::Append(std::string_view bytes) {
  if (file_) {
    std::fwrite(bytes.data(), 1, bytes.size(), file_->stream.get());
  }
}

}  // namespace platform
