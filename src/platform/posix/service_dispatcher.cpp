// The process is the service in the foreground: the main thread waits for the stop and
// reload signals and hands them to the control handler, and status reports go to systemd's
// notify socket.
#include "platform/service_dispatcher.h"

#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/unique_handle.h"

namespace platform {

namespace {

constexpr int32_t kErrorInvalidHandle = 6;  // as Windows reports a handle it never gave out
constexpr StatusHandle kStatusHandle = 1;
constexpr uint32_t kControlStop = 1;
constexpr uint32_t kControlInterrogate = 4;
constexpr uint32_t kControlUser128 = 128;
constexpr uint32_t kControlUser255 = 255;

// The reason of the last failure on this thread.
thread_local int32_t LastError = 0;

// Set by RegisterControlHandler on the service's main thread; called by the signal wait.
std::atomic<ControlHandlerRoutine> Handler{nullptr};
// Set by the report of the stopped state; ends RunDispatcher's wait.
std::atomic<bool> Stopped{false};
// Whether systemd has been told READY=1; the lock keeps two reporting threads from both
// telling it.
std::mutex NotifyLock;
bool ReadyAnnounced = false;

sigset_t ControlSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGUSR1);
  sigaddset(&signals, SIGUSR2);
  return signals;
}

// SIGHUP comes from terminals and log rotation, not from an administrator's intent: it only
// asks for a status report.
uint32_t ControlCode(int signalNumber) {
  switch (signalNumber) {
    case SIGUSR1:
      return kControlUser128;
    case SIGUSR2:
      return kControlUser255;
    case SIGHUP:
      return kControlInterrogate;
    default:
      return kControlStop;
  }
}

using ScopedFd = UniqueHandle<int, -1, &::close>;

// Sends one datagram to the socket systemd named: a path, or an abstract name after '@'.
// Returns 0 or the errno.
int SendNotification(const std::string& socketName, const std::string& message) {
  if (socketName[0] != '/' && socketName[0] != '@') {
    return EAFNOSUPPORT;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketName.size() > sizeof address.sun_path) {
    return ENAMETOOLONG;
  }
  std::memcpy(address.sun_path, socketName.data(), socketName.size());
  if (socketName[0] == '@') {
    address.sun_path[0] = '\0';
  }
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketName.size());
  const ScopedFd sender(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (sender.get() < 0) {
    return errno;
  }
  const ssize_t sent = sendto(sender.get(), message.data(), message.size(), MSG_NOSIGNAL,
                              reinterpret_cast<const sockaddr*>(&address), length);
  return sent < 0 ? errno : 0;
}

// Waits for the control signals until the service reports itself stopped, then lets the
// service's main routine finish: it is short, and the process must not tear down its globals
// while that routine still starts the workers (a stop can arrive right after READY=1).
void DispatchSignals(std::thread serviceThread) {
  const sigset_t signals = ControlSignals();
  while (!Stopped.load()) {
    int received = 0;
    if (sigwait(&signals, &received) != 0) {
      continue;
    }
    const uint32_t code = ControlCode(received);
    if (Handler.load() == nullptr && code == kControlStop && serviceThread.joinable()) {
      serviceThread.join();  // a stop before the handler was registered waits for it
    }
    const ControlHandlerRoutine handler = Handler.load();
    if (handler != nullptr) {
      handler(code);
    } else if (code == kControlStop) {
      return;  // the service never registered a handler: nothing could report the stop
    }
    if (code == kControlStop && !Stopped.load() && serviceThread.joinable()) {
      // A stop while the service main still registers is reported by that routine, which is
      // short: wait for it rather than for another signal.
      serviceThread.join();
    }
  }
  if (serviceThread.joinable()) {
    serviceThread.join();
  }
}

}  // namespace

void PrepareDispatcher() {
  const sigset_t signals = ControlSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

bool RunDispatcher(const char* /*name*/, ServiceMainRoutine serviceMain) {
  PrepareDispatcher();  // again, in case the caller did not: the wait needs them blocked
  std::thread serviceThread;
  try {
    serviceThread = std::thread(serviceMain);
  } catch (const std::system_error& failure) {
    LastError = failure.code().value();
    return false;
  }
  DispatchSignals(std::move(serviceThread));
  return true;
}

StatusHandle RegisterControlHandler(const char* /*name*/, ControlHandlerRoutine handler) {
  Handler.store(handler);
  return kStatusHandle;
}

bool ReportServiceStatus(StatusHandle handle, const ServiceStatus& status) {
  if (status.currentState == kServiceStopped) {
    // The process ends at stop even when the report fails or systemd cannot be told.
    Stopped.store(true);
  }
  if (handle != kStatusHandle) {
    LastError = kErrorInvalidHandle;
    return false;
  }
  const char* socketName = getenv("NOTIFY_SOCKET");
  if (socketName == nullptr || socketName[0] == '\0') {
    return true;  // not started by systemd: there is nobody to tell
  }
  const std::scoped_lock hold(NotifyLock);
  const char* message = nullptr;
  if (status.currentState == kServiceRunning && !ReadyAnnounced) {
    message = "READY=1";
  } else if (status.currentState == kServiceStopped) {
    message = "STOPPING=1";
  } else {
    return true;  // systemd has no word for pause, and a repeated state says nothing new
  }
  const int error = SendNotification(socketName, message);
  if (error != 0) {
    LastError = error;
    return false;
  }
  if (status.currentState == kServiceRunning) {
    ReadyAnnounced = true;
  }
  return true;
}

int32_t LastDispatcherError() {
  return LastError;
}

}  // namespace platform
