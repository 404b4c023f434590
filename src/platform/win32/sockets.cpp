#include "platform/sockets.h"

#include <winsock2.h>

namespace platform {

namespace {
SOCKET Handle(Socket socket) {
  return static_cast<SOCKET>(socket);
}
}  // namespace

bool StartSockets() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 0), &data) == 0;
}

// Closes every socket still open, the listener's among them.
void CleanupSockets() {
  WSACleanup();
}

Socket CreateStreamSocket() {
  const SOCKET handle = ::socket(AF_INET, SOCK_STREAM, 0);
  return handle == INVALID_SOCKET ? kInvalidSocket : static_cast<Socket>(handle);
}

// SO_REUSEADDR would let any other process, of any user, bind 10032 as well and take the
// loopback connections meant for the service; the two options cannot be combined.
bool SetListenerAddressRule(Socket socket) {
  const int on = 1;
  return ::setsockopt(Handle(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                      reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

bool ListenerHoldsAddressExclusively(Socket socket) {
  int exclusive = 0;
  int length = sizeof exclusive;
  return ::getsockopt(Handle(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                      reinterpret_cast<char*>(&exclusive), &length) == 0 &&
         exclusive != 0;
}

bool BindAnyAddress(Socket socket, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  return ::bind(Handle(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

uint16_t LocalPort(Socket socket) {
  sockaddr_in address{};
  int length = sizeof address;
  if (::getsockname(Handle(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  return ntohs(address.sin_port);
}

bool ListenOn(Socket socket, int backlog) {
  return ::listen(Handle(socket), backlog) == 0;
}

Socket AcceptConnection(Socket listener) {
  sockaddr_in peer{};
  int length = sizeof peer;
  const SOCKET handle = ::accept(Handle(listener), reinterpret_cast<sockaddr*>(&peer), &length);
  return handle == INVALID_SOCKET ? kInvalidSocket : static_cast<Socket>(handle);
}

bool SetReceiveTimeout(Socket socket, uint32_t milliseconds) {
  const DWORD timeout = milliseconds;
  return ::setsockopt(Handle(socket), SOL_SOCKET, SO_RCVTIMEO,
                      reinterpret_cast<const char*>(&timeout), sizeof timeout) == 0;
}

int ReceiveOnce(Socket socket, char* buffer, int size) {
  return ::recv(Handle(socket), buffer, size, 0);
}

int SendOnce(Socket socket, const char* bytes, int size) {
  return ::send(Handle(socket), bytes, size, 0);
}

void CloseSocket(Socket socket) {
  ::closesocket(Handle(socket));
}

int32_t LastSocketError() {
  return WSAGetLastError();
}

}  // namespace platform
