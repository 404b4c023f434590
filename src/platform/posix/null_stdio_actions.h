// posix_spawn file actions that put a child's stdin, stdout and stderr on /dev/null: the service
// never writes to a console, and neither do the programs it starts.
#pragma once

#include <spawn.h>

namespace platform {

class NullStdioActions {
 public:
  NullStdioActions();
  ~NullStdioActions();
  NullStdioActions(const NullStdioActions&) = delete;
  NullStdioActions& operator=(const NullStdioActions&) = delete;

  posix_spawn_file_actions_t* get() { return &actions_; }
  // Sends the child's stdout to `fd` instead, for a caller that reads what it prints.
  void SendStdoutTo(int fd);
  // 0, or the error of the first action that could not be added.
  [[nodiscard]] int error() const { return error_; }

 private:
  posix_spawn_file_actions_t actions_{};
  int error_ = 0;
};

}  // namespace platform
