// The log file, opened for one entry and closed with this object.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace platform {

class LogStream {
 public:
  // Opens `path` for appending, creating it when missing; false when it cannot be opened. On
  // Linux the file is never reached through a symbolic link and must be a regular file: the
  // switches run as root, and whoever owns the folder could point the log at any file. A FIFO
  // is refused at once rather than waited on. On Windows it is opened in text mode, so each
  // line feed is stored as CR LF.
  static LogStream OpenForAppend(const std::string& path);

  LogStream(LogStream&& other) noexcept;
  LogStream& operator=(LogStream&& other) noexcept;
  ~LogStream();

  explicit operator bool() const { return file_ != nullptr; }
  // Appends `bytes` to an open log; a failure to write is reported nowhere.
  void Append(std::string_view bytes);

 private:
  struct File;
  explicit LogStream(std::unique_ptr<File> file);
  std::unique_ptr<File> file_;
};

}  // namespace platform
