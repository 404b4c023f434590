#include "platform/posix/null_stdio_actions.h"

#include <fcntl.h>
#include <unistd.h>

#include <initializer_list>

namespace platform {

NullStdioActions::NullStdioActions() {
  posix_spawn_file_actions_init(&actions_);
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    error_ = posix_spawn_file_actions_addopen(&actions_, fd, "/dev/null",
                                              fd == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    if (error_ != 0) {
      return;
    }
  }
}

void NullStdioActions::SendStdoutTo(int fd) {
  if (error_ == 0) {
    error_ = posix_spawn_file_actions_adddup2(&actions_, fd, STDOUT_FILENO);
  }
}

NullStdioActions::~NullStdioActions() {
  posix_spawn_file_actions_destroy(&actions_);
}

}  // namespace platform
