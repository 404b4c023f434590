#include "platform/sockets.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <cerrno>

namespace platform {

namespace {
int Fd(Socket socket) {
  return static_cast<int>(socket);
}

// errno outlives the call that set it; a connection call that succeeded reads back as no
// error, so the server's trace of it does not show some earlier, unrelated failure.
int ReportedSuccess(int result) {
  if (result >= 0) {
    errno = 0;
  }
  return result;
}
}  // namespace

bool StartSockets() {
  return true;
}

void CleanupSockets() {}

Socket CreateStreamSocket() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return fd < 0 ? kInvalidSocket : fd;
}

bool SetListenerAddressRule(Socket socket) {
  const int on = 1;
  return ::setsockopt(Fd(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

bool ListenerHoldsAddressExclusively(Socket socket) {
  int shared = 1;
  socklen_t length = sizeof shared;
  return ::getsockopt(Fd(socket), SOL_SOCKET, SO_REUSEPORT, &shared, &length) == 0 && shared == 0;
}

bool BindAnyAddress(Socket socket, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  return ::bind(Fd(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

uint16_t LocalPort(Socket socket) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(Fd(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  return ntohs(address.sin_port);
}

bool ListenOn(Socket socket, int backlog) {
  return ::listen(Fd(socket), backlog) == 0;
}

Socket AcceptConnection(Socket listener) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  int fd = -1;
  do {
    fd = ::accept4(Fd(listener), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd < 0 ? kInvalidSocket : ReportedSuccess(fd);
}

bool SetReceiveTimeout(Socket socket, uint32_t milliseconds) {
  timeval timeout{static_cast<time_t>(milliseconds / 1000),
                  static_cast<suseconds_t>(milliseconds % 1000) * 1000};
  return ::setsockopt(Fd(socket), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0;
}

int ReceiveOnce(Socket socket, char* buffer, int size) {
  return ReportedSuccess(
      static_cast<int>(::recv(Fd(socket), buffer, static_cast<std::size_t>(size), 0)));
}

int SendOnce(Socket socket, const char* bytes, int size) {
  // A peer that has gone away must not end the service with SIGPIPE.
  return ReportedSuccess(
      static_cast<int>(::send(Fd(socket), bytes, static_cast<std::size_t>(size), MSG_NOSIGNAL)));
}

void CloseSocket(Socket socket) {
  ::close(Fd(socket));
}

int32_t LastSocketError() {
  return errno;
}

}  // namespace platform
