#include "platform/processes.h"

#include <windows.h>
// Tool Help needs the definitions of windows.h first.
#include <tlhelp32.h>

#include <memory>

namespace platform {

namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

}  // namespace

std::vector<ProcessEntry> SnapshotProcesses() {
  std::vector<ProcessEntry> entries;
  HANDLE raw = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (raw == INVALID_HANDLE_VALUE) {
    return entries;
  }
  const UniqueHandle snapshot(raw);
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot.get(), &entry); more != FALSE;
       more = Process32Next(snapshot.get(), &entry)) {
    entries.push_back({entry.szExeFile, entry.th32ProcessID});
  }
  return entries;
}

bool TerminateProcessById(uint32_t processId, uint32_t exitCode) {
  const UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, processId));
  if (!process) {
    return false;
  }
  return TerminateProcess(process.get(), exitCode) != FALSE;
}

}  // namespace platform
