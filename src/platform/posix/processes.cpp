#include "platform/processes.h"

#include <dirent.h>
#include <unistd.h>
#include <csignal>

#include <algorithm>
#include <fstream>
#include <memory>

namespace platform {

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// The executable's file name: from /proc/<pid>/exe where it can be read, else the kernel's
// short command name.
std::string ExeFileName(const std::string& pid) {
  char target[4096];
  const std::string base = "/proc/" + pid;
  const ssize_t count = readlink((base + "/exe").c_str(), target, sizeof target - 1);
  if (count > 0) {
    std::string path(target, static_cast<std::size_t>(count));
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() && path.ends_with(kDeleted)) {
      path.resize(path.size() - kDeleted.size());
    }
    return path.substr(path.rfind('/') + 1);
  }
  std::string name;
  std::ifstream comm(base + "/comm");
  std::getline(comm, name);
  return name;
}

}  // namespace

std::vector<ProcessEntry> SnapshotProcesses() {
  std::vector<ProcessEntry> entries;
  const std::unique_ptr<DIR, DirCloser> proc(opendir("/proc"));
  if (!proc) {
    return entries;
  }
  while (const dirent* entry = readdir(proc.get())) {
    const std::string name = entry->d_name;
    if (name.empty() ||
        !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    std::string exe = ExeFileName(name);
    if (!exe.empty()) {
      entries.push_back({std::move(exe), static_cast<uint32_t>(std::stoul(name))});
    }
  }
  std::sort(entries.begin(), entries.end(),
            [](const ProcessEntry& a, const ProcessEntry& b) { return a.processId < b.processId; });
  return entries;
}

// SIGKILL stands for the exit code: a killed process reports signal 9.
bool TerminateProcessById(uint32_t processId, uint32_t /*exitCode*/) {
  return kill(static_cast<pid_t>(processId), SIGKILL) == 0;
}

}  // namespace platform
