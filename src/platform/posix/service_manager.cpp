// The service control manager on Linux is systemd: the service entry is a unit file,
// and every request goes through systemctl, started without a shell.
#include "platform/service_manager.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/null_stdio_actions.h"
#include "platform/systemd_unit.h"

namespace platform {

namespace {

constexpr int32_t kErrorInvalidHandle = 6;  // as Windows reports a handle it never gave out

// The reason of the last failure on this thread.
thread_local int32_t LastError = 0;

// Open handles and the unit each names (empty for the manager). Written by the open, create
// and close calls, read by the requests; any thread may call them.
std::mutex HandlesLock;
std::map<ServiceHandle, std::string> Handles;
ServiceHandle NextHandle = 1;

ServiceHandle Fail(int32_t error) {
  LastError = error;
  return 0;
}

bool FailRequest(int32_t error) {
  LastError = error;
  return false;
}

ServiceHandle AddHandle(std::string unit) {
  const std::scoped_lock hold(HandlesLock);
  const ServiceHandle handle = NextHandle++;
  Handles.emplace(handle, std::move(unit));
  return handle;
}

// The unit a handle names; false for a handle never given out or closed already.
bool FindHandle(ServiceHandle handle, std::string* unit) {
  const std::scoped_lock hold(HandlesLock);
  const auto found = Handles.find(handle);
  if (found == Handles.end()) {
    return false;
  }
  *unit = found->second;
  return true;
}

std::string UnitName(const char* serviceName) {
  return std::string(serviceName) + ".service";
}

// The folder of the unit files, taken from the service's own unit path.
std::string UnitFilePath(const std::string& unit) {
  const std::string_view path = kSystemdUnitPath;
  return std::string(path.substr(0, path.rfind('/') + 1)) + unit;
}

// Runs systemctl with `arguments` and returns its exit status, 0 for success; a program that
// cannot be started gives its errno, one that dies of a signal 128 plus the signal.
int Systemctl(std::initializer_list<const char*> arguments) {
  NullStdioActions actions;
  if (actions.error() != 0) {
    return actions.error();
  }
  std::string program = "systemctl";
  std::vector<char*> argv{program.data()};
  std::vector<std::string> copies(arguments.begin(), arguments.end());
  for (std::string& argument : copies) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  pid_t child = 0;
  const int error =
      posix_spawnp(&child, program.c_str(), actions.get(), nullptr, argv.data(), environ);
  if (error != 0) {
    return error;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      return errno;
    }
  }
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  return 128 + WTERMSIG(status);
}

bool RunSystemctl(std::initializer_list<const char*> arguments) {
  const int status = Systemctl(arguments);
  return status == 0 || FailRequest(status);
}

// Writes a new unit file; an existing one is never replaced.
bool WriteUnitFile(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    return FailRequest(errno == EEXIST ? kErrorServiceExists : errno);
  }
  std::size_t written = 0;
  int error = 0;
  while (written < text.size()) {
    const ssize_t count = write(fd, text.data() + written, text.size() - written);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      error = count < 0 ? errno : EIO;
      break;
    }
    written += static_cast<std::size_t>(count);
  }
  if (close(fd) != 0 && error == 0) {
    error = errno;
  }
  if (error != 0) {
    unlink(path.c_str());
    return FailRequest(error);
  }
  return true;
}

bool IsActive(const std::string& unit) {
  return Systemctl({"is-active", "--quiet", unit.c_str()}) == 0;
}

}  // namespace

ServiceHandle OpenServiceManager(uint32_t /*access*/) {
  // systemd's own test of whether it runs the machine.
  struct stat status {};
  if (stat("/run/systemd/system", &status) != 0) {
    return Fail(errno);
  }
  if (!S_ISDIR(status.st_mode)) {
    return Fail(ENOTDIR);
  }
  // Every action changes the entry or its state, which only the administrator may do.
  const std::string unitFolder = UnitFilePath("");
  if (access(unitFolder.c_str(), W_OK) != 0) {
    return Fail(errno);
  }
  return AddHandle("");
}

ServiceHandle CreateServiceEntry(ServiceHandle manager, const char* name,
                                 const char* /*displayName*/, const char* command) {
  std::string ignored;
  if (!FindHandle(manager, &ignored)) {
    return Fail(kErrorInvalidHandle);
  }
  const std::string unit = UnitName(name);
  const std::string path = UnitFilePath(unit);
  struct stat status {};
  if (stat(path.c_str(), &status) == 0) {
    return Fail(kErrorServiceExists);
  }
  if (!WriteUnitFile(path, SystemdUnitText(command))) {
    return 0;
  }
  if (!RunSystemctl({"daemon-reload"}) || !RunSystemctl({"enable", unit.c_str()})) {
    // A half-made entry would make the next install fail as existing.
    const int32_t error = LastError;
    unlink(path.c_str());
    Systemctl({"daemon-reload"});
    return Fail(error);
  }
  return AddHandle(unit);
}

ServiceHandle OpenServiceEntry(ServiceHandle manager, const char* name) {
  std::string ignored;
  if (!FindHandle(manager, &ignored)) {
    return Fail(kErrorInvalidHandle);
  }
  std::string unit = UnitName(name);
  struct stat status {};
  if (stat(UnitFilePath(unit).c_str(), &status) != 0) {
    return Fail(errno == ENOENT ? kErrorServiceDoesNotExist : errno);
  }
  return AddHandle(std::move(unit));
}

// A running service keeps running, as on Windows; systemd forgets it once it stops.
bool DeleteServiceEntry(ServiceHandle service) {
  std::string unit;
  if (!FindHandle(service, &unit) || unit.empty()) {
    return FailRequest(kErrorInvalidHandle);
  }
  if (!RunSystemctl({"disable", unit.c_str()})) {
    return false;
  }
  if (unlink(UnitFilePath(unit).c_str()) != 0) {
    return FailRequest(errno == ENOENT ? kErrorServiceDoesNotExist : errno);
  }
  // The entry is gone with its file; a failed reload only delays systemd's noticing.
  Systemctl({"daemon-reload"});
  return true;
}

bool RequestServiceStart(ServiceHandle service) {
  std::string unit;
  if (!FindHandle(service, &unit) || unit.empty()) {
    return FailRequest(kErrorInvalidHandle);
  }
  if (IsActive(unit)) {
    return FailRequest(kErrorServiceAlreadyRunning);
  }
  return RunSystemctl({"start", unit.c_str()});
}

bool RequestServiceStop(ServiceHandle service) {
  std::string unit;
  if (!FindHandle(service, &unit) || unit.empty()) {
    return FailRequest(kErrorInvalidHandle);
  }
  if (!IsActive(unit)) {
    return FailRequest(kErrorServiceNotActive);
  }
  return RunSystemctl({"stop", unit.c_str()});
}

void CloseServiceEntryHandle(ServiceHandle handle) {
  const std::scoped_lock hold(HandlesLock);
  Handles.erase(handle);
}

int32_t LastServiceError() {
  return LastError;
}

}  // namespace platform
