#include "platform/processes.h"

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <csignal>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace platform {

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// The watchdog snapshots every few hundred milliseconds. One readlink of /proc/<pid>/exe per
// process is the cheapest exact answer (it also sees an exec); what cost was the short-name
// stream opened, every cycle, for each process whose executable cannot be read (kernel threads
// above all). Those names are kept per thread from one snapshot to the next, for as long as the
// pid stays listed and unreadable; pids are handed out in sequence, so the same pid does not
// come back as another process between two snapshots. A thread's first snapshot (the query
// server's start-up sweep) reads every name afresh.
thread_local std::unordered_map<uint32_t, std::string> UnreadableNames;

std::string_view ExePathTail(std::string_view path) {
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.size() > kDeleted.size() && path.ends_with(kDeleted)) {
    path.remove_suffix(kDeleted.size());
  }
  return path.substr(path.rfind('/') + 1);
}

bool ExeLinkTarget(std::string_view pid, std::string* target) {
  const std::string path = "/proc/" + std::string(pid) + "/exe";
  char buffer[4096];
  const ssize_t count = readlink(path.c_str(), buffer, sizeof buffer - 1);
  if (count <= 0) {
    return false;
  }
  target->assign(buffer, static_cast<std::size_t>(count));
  return true;
}

int PidfdSignal(const OpenedProcess& process, int signalNumber) {
  return static_cast<int>(
      syscall(SYS_pidfd_send_signal, static_cast<int>(process.handle()), signalNumber, nullptr, 0));
}

std::string ShortName(std::string_view pid) {
  std::string name;
  std::ifstream comm("/proc/" + std::string(pid) + "/comm");
  std::getline(comm, name);
  return name;
}

// The executable's file name: from /proc/<pid>/exe where it can be read, else the kernel's
// short command name (from the last snapshot when that pid was unreadable then too).
std::string ExeFileName(std::string_view pid, uint32_t processId,
                        std::unordered_map<uint32_t, std::string>& unreadable) {
  char path[32] = "/proc/";
  constexpr std::size_t kPrefix = 6;
  constexpr std::string_view kExe = "/exe";
  if (pid.size() + kPrefix + kExe.size() >= sizeof path) {
    return {};
  }
  std::copy(pid.begin(), pid.end(), path + kPrefix);
  std::copy(kExe.begin(), kExe.end(), path + kPrefix + pid.size());
  path[kPrefix + pid.size() + kExe.size()] = '\0';
  char target[4096];
  const ssize_t count = readlink(path, target, sizeof target - 1);
  if (count > 0) {
    return std::string(ExePathTail(std::string_view(target, static_cast<std::size_t>(count))));
  }
  const auto known = UnreadableNames.find(processId);
  std::string name = known != UnreadableNames.end() ? std::move(known->second) : ShortName(pid);
  unreadable.emplace(processId, name);
  return name;
}

}  // namespace

std::vector<ProcessEntry> SnapshotProcesses() {
  std::vector<ProcessEntry> entries;
  const std::unique_ptr<DIR, DirCloser> proc(opendir("/proc"));
  if (!proc) {
    return entries;
  }
  std::unordered_map<uint32_t, std::string> unreadable;
  while (const dirent* entry = readdir(proc.get())) {
    const std::string_view name = entry->d_name;
    uint32_t processId = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), processId);
    if (name.empty() || error != std::errc() || end != name.data() + name.size()) {
      continue;  // not a process, or a pid beyond 32 bits
    }
    std::string exe = ExeFileName(name, processId, unreadable);
    if (!exe.empty()) {
      entries.push_back({std::move(exe), processId});
    }
  }
  UnreadableNames = std::move(unreadable);
  std::sort(entries.begin(), entries.end(),
            [](const ProcessEntry& a, const ProcessEntry& b) { return a.processId < b.processId; });
  return entries;
}

void CloseOpenedProcess(std::intptr_t handle) {
  close(static_cast<int>(handle));
}

OpenedProcess OpenProcessToEnd(uint32_t processId) {
  const long fd = syscall(SYS_pidfd_open, static_cast<pid_t>(processId), 0U);
  if (fd < 0) {
    return {};
  }
  return {fd, processId};
}

std::string OpenedProcessFileName(const OpenedProcess& process) {
  std::string target;
  if (!process || !ExeLinkTarget(std::to_string(process.processId()), &target)) {
    return {};
  }
  // The pid is the pidfd's process's for as long as that process has not been reaped; still
  // there after the read, the link read was its own.
  if (PidfdSignal(process, 0) != 0) {
    return {};
  }
  return std::string(ExePathTail(target));
}

// SIGKILL stands for the exit code: a killed process reports signal 9.
bool TerminateOpenedProcess(const OpenedProcess& process, uint32_t /*exitCode*/) {
  return process && PidfdSignal(process, SIGKILL) == 0;
}

}  // namespace platform
