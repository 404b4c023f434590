// Stands in for the tunnel program in the Wine tests. Without arguments it only waits (for at
// most ten minutes), as a tunnel that runs until someone ends it. With `run PROGRAM` it is the
// parent that the test cannot be under Wine: it starts PROGRAM, prints "started PID", waits
// for it and prints "exit CODE", so that the test learns how the service ended it.
// Usage: stunnel_standin | stunnel_standin run PROGRAM
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr DWORD kLifetimeMs = 10 * 60 * 1000;

int RunAndReport(const char* program) {
  std::string command = std::string("\"") + program + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  if (CreateProcessA(program, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                     &startup, &child) == FALSE) {
    std::printf("error %lu\n", GetLastError());
    return 1;
  }
  CloseHandle(child.hThread);
  std::printf("started %lu\n", child.dwProcessId);
  std::fflush(stdout);
  DWORD code = 0;
  const bool ended = WaitForSingleObject(child.hProcess, kLifetimeMs + 60 * 1000) == WAIT_OBJECT_0;
  if (ended && GetExitCodeProcess(child.hProcess, &code) != FALSE) {
    std::printf("exit %lu\n", code);
  } else {
    std::printf("still running\n");
  }
  std::fflush(stdout);
  CloseHandle(child.hProcess);
  return ended ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) {
    Sleep(kLifetimeMs);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "run") == 0) {
    return RunAndReport(argv[2]);
  }
  std::fprintf(stderr, "usage: stunnel_standin | stunnel_standin run PROGRAM\n");
  return 2;
}
