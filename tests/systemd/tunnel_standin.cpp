// Stands in for the TLS tunnel beside the service under a real systemd. The watchdog knows the
// tunnel by its executable's file name, so this is a program of its own (a script would carry
// its interpreter's name). It records each start, its process id on a line of "starts" in its
// own folder, and then waits until it is ended. Linked statically: it runs in any root.
#include <fcntl.h>
#include <unistd.h>

#include <string>

int main(int /*argc*/, char** argv) {
  const std::string self = argv[0];  // the watchdog starts it by its full path
  const std::string starts = self.substr(0, self.rfind('/') + 1) + "starts";
  const int file = open(starts.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
  if (file >= 0) {
    const std::string line = std::to_string(getpid()) + "\n";
    [[maybe_unused]] const ssize_t written = write(file, line.data(), line.size());
    close(file);
  }
  for (;;) {
    pause();
  }
}
