// Other processes: a snapshot of the running ones (Tool Help on Windows, /proc on Linux), and
// ending one through a handle taken on it, so that what is ended is the process that was looked
// at, not another that got its id since the snapshot.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/unique_handle.h"

namespace platform {

struct ProcessEntry {
  std::string exeFile;  // the executable's file name, as the snapshot gives it
  uint32_t processId;
};

// In the system's snapshot order; empty when no snapshot can be taken.
std::vector<ProcessEntry> SnapshotProcesses();

inline constexpr std::intptr_t kNoOpenedProcess = -1;
void CloseOpenedProcess(std::intptr_t handle);

// A process held open: a process handle on Windows, a pidfd on Linux. While it is held the
// handle names that one process, whatever the id comes to mean.
class OpenedProcess {
 public:
  OpenedProcess() = default;
  OpenedProcess(std::intptr_t handle, uint32_t processId)
      : handle_(handle), processId_(processId) {}

  explicit operator bool() const { return static_cast<bool>(handle_); }
  [[nodiscard]] std::intptr_t handle() const { return handle_.get(); }
  [[nodiscard]] uint32_t processId() const { return processId_; }

 private:
  UniqueHandle<std::intptr_t, kNoOpenedProcess, &CloseOpenedProcess> handle_;
  uint32_t processId_ = 0;
};

// Opens the process by its id for reading its image name and ending it (Windows:
// PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION); empty when it cannot be opened.
OpenedProcess OpenProcessToEnd(uint32_t processId);
// The file name part of the held process's executable: QueryFullProcessImageNameA on Windows;
// on Linux /proc/<pid>/exe, counted only when the pidfd's process is still there after the read
// (then the pid was still its own). Empty when it cannot be read or the process has ended.
std::string OpenedProcessFileName(const OpenedProcess& process);
// Ends the held process with `exitCode` (Linux: SIGKILL through the pidfd, reported as signal 9).
bool TerminateOpenedProcess(const OpenedProcess& process, uint32_t exitCode);

}  // namespace platform
