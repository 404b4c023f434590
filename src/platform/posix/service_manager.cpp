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
#include "platform/unique_handle.h"

namespace platform {

namespace {

using ScopedFd = UniqueHandle<int, -1, &::close>;

constexpr int32_t kErrorInvalidHandle = 6;  // as Windows reports a handle it never gave out
constexpr int32_t kErrorInvalidName = 123;  // as Windows reports a name it cannot take

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

void ReadAll(int fd, std::string* text) {
  char chunk[512];
  for (;;) {
    const ssize_t count = read(fd, chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      return;
    }
    text->append(chunk, static_cast<std::size_t>(count));
  }
}

// Runs systemctl with `arguments` and returns its exit status, 0 for success; a program that
// cannot be started gives its errno, one that dies of a signal 128 plus the signal. When
// `output` is given it receives what systemctl printed.
int Systemctl(std::initializer_list<const char*> arguments, std::string* output = nullptr) {
  NullStdioActions actions;
  ScopedFd readEnd;
  ScopedFd writeEnd;
  if (output != nullptr) {
    int ends[2] = {-1, -1};
    if (pipe2(ends, O_CLOEXEC) != 0) {
      return errno;
    }
    readEnd.reset(ends[0]);
    writeEnd.reset(ends[1]);
    actions.SendStdoutTo(writeEnd.get());
  }
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
  if (output != nullptr) {
    writeEnd.reset();  // so that the read ends when systemctl does
    ReadAll(readEnd.get(), output);
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

// What systemd knows of a unit, wherever it loads it from.
struct UnitInfo {
  std::string loadState;     // "loaded", "not-found", "masked", ...
  std::string fragmentPath;  // the unit file; empty for none
  std::string activeState;   // "active", "inactive", "failed", ...
};

bool QueryUnit(const std::string& unit, UnitInfo* info) {
  std::string text;
  const int status = Systemctl(
      {"show", "--property=LoadState,FragmentPath,ActiveState", "--", unit.c_str()}, &text);
  if (status != 0) {
    return FailRequest(status);
  }
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    const std::string_view line(text.data() + start, end - start);
    const std::size_t equals = line.find('=');
    if (equals != std::string_view::npos) {
      const std::string_view key = line.substr(0, equals);
      const std::string value(line.substr(equals + 1));
      if (key == "LoadState") {
        info->loadState = value;
      } else if (key == "FragmentPath") {
        info->fragmentPath = value;
      } else if (key == "ActiveState") {
        info->activeState = value;
      }
    }
    start = end + 1;
  }
  if (info->loadState.empty()) {
    return FailRequest(EPROTO);  // not an answer systemctl gives
  }
  return true;
}

bool Exists(const UnitInfo& info) {
  return info.loadState != "not-found";
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
  if (!UnitCanHold(command)) {
    return Fail(kErrorInvalidName);
  }
  const std::string unit = UnitName(name);
  const std::string path = UnitFilePath(unit);
  // A unit of that name anywhere systemd loads units from (the package's, say) is the entry.
  UnitInfo info;
  if (!QueryUnit(unit, &info)) {
    return 0;
  }
  struct stat status {};
  if (Exists(info) || stat(path.c_str(), &status) == 0) {
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
  UnitInfo info;
  if (!QueryUnit(unit, &info)) {
    return 0;
  }
  if (!Exists(info)) {
    return Fail(kErrorServiceDoesNotExist);
  }
  return AddHandle(std::move(unit));
}

// A running service is stopped first (systemctl waits for it): systemd cannot mark a unit for
// deletion as Windows does, and a unit whose file is gone could no longer be reached by the
// switches. Only a unit that the install wrote is removed: a unit elsewhere (a package's) is
// its package manager's to remove.
bool DeleteServiceEntry(ServiceHandle service) {
  std::string unit;
  if (!FindHandle(service, &unit) || unit.empty()) {
    return FailRequest(kErrorInvalidHandle);
  }
  UnitInfo info;
  if (!QueryUnit(unit, &info)) {
    return false;
  }
  const std::string path = UnitFilePath(unit);
  if (info.fragmentPath != path) {
    return FailRequest(EPERM);
  }
  if (info.activeState != "inactive" && !RunSystemctl({"stop", unit.c_str()})) {
    return false;
  }
  if (!RunSystemctl({"disable", unit.c_str()})) {
    return false;
  }
  if (unlink(path.c_str()) != 0) {
    return FailRequest(errno == ENOENT ? kErrorServiceDoesNotExist : errno);
  }
  // The entry is gone with its file; a failed reload only delays systemd's noticing.
  Systemctl({"daemon-reload"});
  Systemctl({"reset-failed", unit.c_str()});
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
  // A unit waiting to be started again after a crash reads "activating": a stop asked for
  // then must cancel that start, not be refused as if nothing ran.
  UnitInfo info;
  if (!QueryUnit(unit, &info)) {
    return false;
  }
  if (info.activeState == "inactive" || info.activeState == "failed") {
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
