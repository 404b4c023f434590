// Traces go to a datagram socket that a trace viewer binds, the nearest thing to a debugger
// channel a daemon has: a line reaches a viewer that listens, or is gone. Nothing is stored.
#include "platform/debug_trace.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

namespace platform {
namespace {

sockaddr_un TraceAddress() {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  static_assert(sizeof kTraceSocketPath <= sizeof address.sun_path);
  std::memcpy(address.sun_path, kTraceSocketPath, sizeof kTraceSocketPath);
  return address;
}

const sockaddr* AsSocketAddress(const sockaddr_un& address) {
  return reinterpret_cast<const sockaddr*>(&address);  // the sockets API's own cast
}

// Opened once; a line is one sendto. With no viewer it fails at once (ENOENT, or ECONNREFUSED
// on a killed viewer's socket) and the line is gone; so are the lines of the next 50 ms, without
// a send: a failed send costs the kernel a path lookup, and a request writes some fifteen lines.
// A viewer that starts is thus reached within 50 ms. A viewer whose queue is full (ten lines by
// the kernel's default) is waited for, as a debugger is, but for a bounded time: after one
// wait runs out, lines are dropped without waiting until the viewer takes one again.
class TraceSender {
 public:
  TraceSender() : socket_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)), address_(TraceAddress()) {
    const timeval wait{0, kViewerWaitMicroseconds};
    if (socket_ && setsockopt(socket_.get(), SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait) != 0) {
      socket_.reset();  // without the bound, a stopped viewer would stall the service
    }
  }

  void Send(const char* text) const {
    if (!socket_) {
      return;
    }
    const Clock::rep now = Clock::now().time_since_epoch().count();
    if (now < absentUntil_.load(std::memory_order_relaxed)) {
      return;
    }
    const int flags = MSG_NOSIGNAL | (lagging_.load(std::memory_order_relaxed) ? MSG_DONTWAIT : 0);
    if (sendto(socket_.get(), text, std::strlen(text), flags, AsSocketAddress(address_),
               sizeof address_) >= 0) {
      lagging_.store(false, std::memory_order_relaxed);
    } else if (errno == EAGAIN) {
      lagging_.store(true, std::memory_order_relaxed);
    } else if (errno == ENOENT || errno == ECONNREFUSED) {
      absentUntil_.store(now + kNoViewerPause.count(), std::memory_order_relaxed);
    }
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr suseconds_t kViewerWaitMicroseconds = 100'000;
  static constexpr std::chrono::duration<Clock::rep, Clock::period> kNoViewerPause =
      std::chrono::milliseconds(50);
  UniqueHandle<int, -1, &CloseTraceSocket> socket_;
  sockaddr_un address_;
  mutable std::atomic<bool> lagging_{false};
  mutable std::atomic<Clock::rep> absentUntil_{0};
};

std::string Failure(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

// The folder must be root's own (made by us or an earlier viewer) and writable by root alone,
// or someone else could put their own socket in the viewer's place.
bool MakeTraceFolder(std::string* failure) {
  if (mkdir(kTraceFolderPath, 0755) != 0 && errno != EEXIST) {
    *failure = Failure(kTraceFolderPath);
    return false;
  }
  struct stat folder {};
  if (lstat(kTraceFolderPath, &folder) != 0) {
    *failure = Failure(kTraceFolderPath);
    return false;
  }
  if (!S_ISDIR(folder.st_mode) || folder.st_uid != geteuid() ||
      (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    *failure = std::string(kTraceFolderPath) + ": not a folder that only this user can write";
    return false;
  }
  return true;
}

// A socket left by a viewer that was killed refuses connections and is removed; one that
// accepts belongs to a viewer still reading.
bool ClearStaleSocket(std::string* failure) {
  const UniqueHandle<int, -1, &CloseTraceSocket> probe(
      socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!probe) {
    *failure = Failure("socket");
    return false;
  }
  const sockaddr_un address = TraceAddress();
  if (connect(probe.get(), AsSocketAddress(address), sizeof address) == 0) {
    *failure = std::string(kTraceSocketPath) + ": another viewer is reading the traces";
    return false;
  }
  if (errno == ECONNREFUSED && unlink(kTraceSocketPath) != 0 && errno != ENOENT) {
    *failure = Failure(kTraceSocketPath);
    return false;
  }
  return true;
}

}  // namespace

void CloseTraceSocket(int descriptor) {
  close(descriptor);
}

void WriteSystemTrace(const char* text) {
  // A trace sits between a call and the reading of its error; its own failed send (no viewer)
  // must not change what the caller reads.
  const int callersError = errno;
  // Never destroyed: the detached workers may still trace while the process exits.
  alignas(TraceSender) static unsigned char storage[sizeof(TraceSender)];
  static const TraceSender* const sender =
      std::construct_at(reinterpret_cast<TraceSender*>(storage));
  sender->Send(text);
  errno = callersError;
}

TraceListener::~TraceListener() {
  if (socket_) {
    unlink(kTraceSocketPath);
  }
}

bool TraceListener::Open(std::string* failure) {
  if (!MakeTraceFolder(failure) || !ClearStaleSocket(failure)) {
    return false;
  }
  socket_.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket_) {
    *failure = Failure("socket");
    return false;
  }
  // The sender's pid and uid come with every datagram, from the kernel.
  const int on = 1;
  // Room for a burst of requests while the terminal catches up.
  const int receiveBuffer = 1 << 20;
  if (setsockopt(socket_.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
      setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer) != 0) {
    *failure = Failure("setsockopt");
    socket_.reset();
    return false;
  }
  const sockaddr_un address = TraceAddress();
  const mode_t previous = umask(0177);  // the socket 0600: only root sends to it
  const int result = bind(socket_.get(), AsSocketAddress(address), sizeof address);
  umask(previous);
  if (result != 0) {
    *failure = Failure(kTraceSocketPath);
    socket_.reset();  // not bound: nothing of ours to remove
    return false;
  }
  return true;
}

bool TraceListener::Receive(TraceMessage* message) const {
  std::vector<char> buffer(1 << 16);
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
  for (;;) {
    iovec part{buffer.data(), buffer.size()};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    const ssize_t count = recvmsg(socket_.get(), &header, 0);
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    message->processId = 0;
    message->userId = 0;
    for (cmsghdr* item = CMSG_FIRSTHDR(&header); item != nullptr;
         item = CMSG_NXTHDR(&header, item)) {
      if (item->cmsg_level == SOL_SOCKET && item->cmsg_type == SCM_CREDENTIALS) {
        ucred sender{};
        std::memcpy(&sender, CMSG_DATA(item), sizeof sender);
        message->processId = static_cast<uint32_t>(sender.pid);
        message->userId = static_cast<uint32_t>(sender.uid);
      }
    }
    message->text.assign(buffer.data(), static_cast<std::size_t>(count));
    return true;
  }
}

}  // namespace platform
