// Sends one control code to a service, for the codes Wine's sc cannot send (pause, continue,
// interrogate, user codes). Usage: service_control_tool NAME CODE
// Prints "state N" (the state in the reply) and exits 0 when the control was accepted, or
// "error N" (GetLastError) and exits 1 when any call failed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct ServiceHandleCloser {
  void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using UniqueServiceHandle = std::unique_ptr<SC_HANDLE__, ServiceHandleCloser>;

int Failed() {
  std::printf("error %lu\n", GetLastError());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: service_control_tool NAME CODE\n");
    return 2;
  }
  const auto code = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10));
  const UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    return Failed();
  }
  const UniqueServiceHandle service(OpenServiceA(manager.get(), argv[1], SERVICE_ALL_ACCESS));
  if (!service) {
    return Failed();
  }
  SERVICE_STATUS status{};
  if (ControlService(service.get(), code, &status) == FALSE) {
    return Failed();
  }
  std::printf("state %lu\n", status.dwCurrentState);
  return 0;
}
