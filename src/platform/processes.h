// Other processes: a snapshot of the running ones (Tool Help on Windows, /proc on Linux), and
// ending one by its id.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct ProcessEntry {
  std::string exeFile;  // the executable's file name, as the snapshot gives it
  uint32_t processId;
};

// In the system's snapshot order; empty when no snapshot can be taken.
std::vector<ProcessEntry> SnapshotProcesses();

// Opens the process with terminate access only and ends it with `exitCode`; false when it
// cannot be opened.
bool TerminateProcessById(uint32_t processId, uint32_t exitCode);

}  // namespace platform
