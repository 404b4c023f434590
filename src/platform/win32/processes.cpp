#include "platform/processes.h"

#include <windows.h>
// Tool Help needs the definitions of windows.h first.
#include <tlhelp32.h>

#include <memory>
#include <string_view>

namespace platform {

namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using ScopedHandle = std::unique_ptr<void, HandleCloser>;

}  // namespace

std::vector<ProcessEntry> SnapshotProcesses() {
  std::vector<ProcessEntry> entries;
  HANDLE raw = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (raw == INVALID_HANDLE_VALUE) {
    return entries;
  }
  const ScopedHandle snapshot(raw);
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot.get(), &entry); more != FALSE;
       more = Process32Next(snapshot.get(), &entry)) {
    entries.push_back({entry.szExeFile, entry.th32ProcessID});
  }
  return entries;
}

void CloseOpenedProcess(std::intptr_t handle) {
  CloseHandle(reinterpret_cast<HANDLE>(handle));
}

// OpenProcess gives null on failure, never -1 (which is only the current process's pseudo
// handle), so -1 stays free to mean "none".
OpenedProcess OpenProcessToEnd(uint32_t processId) {
  HANDLE handle =
      OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  if (handle == nullptr) {
    return {};
  }
  return {reinterpret_cast<std::intptr_t>(handle), processId};
}

std::string OpenedProcessFileName(const OpenedProcess& process) {
  if (!process) {
    return {};
  }
  constexpr DWORD kLongestPath = 32768;  // the longest path Windows knows
  std::string path(kLongestPath, '\0');
  DWORD size = kLongestPath;
  if (QueryFullProcessImageNameA(reinterpret_cast<HANDLE>(process.handle()), 0, path.data(),
                                 &size) == FALSE) {
    return {};
  }
  const std::string_view full(path.data(), size);
  return std::string(full.substr(full.find_last_of("\\/") + 1));
}

bool TerminateOpenedProcess(const OpenedProcess& process, uint32_t exitCode) {
  return process && TerminateProcess(reinterpret_cast<HANDLE>(process.handle()), exitCode) != FALSE;
}

}  // namespace platform
