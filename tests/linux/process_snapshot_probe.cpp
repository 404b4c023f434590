// Prints one process snapshot as the watchdog takes it for each line read from stdin, one
// "PID NAME" line per entry, then "end"; successive snapshots come from the same thread, as the
// watchdog's do.
#include <iostream>
#include <string>

#include "platform/processes.h"

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    for (const platform::ProcessEntry& entry : platform::SnapshotProcesses()) {
      std::cout << entry.processId << ' ' << entry.exeFile << '\n';
    }
    std::cout << "end" << std::endl;
  }
  return 0;
}
