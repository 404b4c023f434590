#include "platform/log_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unique_handle.h"

namespace platform {
namespace {

void CloseDescriptor(int descriptor) {
  close(descriptor);
}

}  // namespace

struct LogStream::File {
  UniqueHandle<int, -1, &CloseDescriptor> descriptor;
};

LogStream::LogStream(std::unique_ptr<File> file) : file_(std::move(file)) {}
LogStream::LogStream(LogStream&& other) noexcept = default;
LogStream& LogStream::operator=(LogStream&& other) noexcept = default;
LogStream::~LogStream() = default;

LogStream LogStream::OpenForAppend(const std::string& path) {
  // O_NOFOLLOW: a link as the last component fails (ELOOP), and a dangling one creates
  // nothing. O_NONBLOCK: a FIFO without a reader fails (ENXIO) rather than waits for one, and
  // one with a reader is refused below. 0644 is what fopen gave the log under the usual umask
  // 022, without the write access for others that a umask of 0 would have added.
  auto file = std::make_unique<File>();
  file->descriptor.reset(open(path.c_str(),
                              O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
                              S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH));
  if (!file->descriptor) {
    return LogStream(nullptr);
  }
  struct stat facts {};
  if (fstat(file->descriptor.get(), &facts) != 0 || !S_ISREG(facts.st_mode)) {
    return LogStream(nullptr);
  }
  return LogStream(std::move(file));
}

void LogStream::Append(std::string_view bytes) {
  if (!file_) {
    return;
  }
  while (!bytes.empty()) {
    const ssize_t written = write(file_->descriptor.get(), bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace platform
