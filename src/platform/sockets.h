// A blocking IPv4 stream listener and its connections: Winsock 2 on Windows, BSD sockets
// elsewhere. Each call mirrors one socket call; LastSocketError() gives WSAGetLastError() or
// errno right after a failure. On Linux a connection call that succeeded reads back as 0: errno
// is shared with every other call of the thread, and an earlier file lookup's ENOENT is no
// socket's error.
#pragma once

#include <cstdint>

namespace platform {

using Socket = std::intptr_t;
inline constexpr Socket kInvalidSocket = -1;

// WSAStartup 2.0 / nothing; WSACleanup / nothing.
bool StartSockets();
void CleanupSockets();

Socket CreateStreamSocket();
bool SetReuseAddress(Socket socket);
// 0.0.0.0 and `port`.
bool BindAnyAddress(Socket socket, uint16_t port);
bool ListenOn(Socket socket, int backlog);
Socket AcceptConnection(Socket listener);
bool SetReceiveTimeout(Socket socket, uint32_t milliseconds);
// recv / send once (send never raises SIGPIPE on Linux); the count or -1.
int ReceiveOnce(Socket socket, char* buffer, int size);
int SendOnce(Socket socket, const char* bytes, int size);
void CloseSocket(Socket socket);
int32_t LastSocketError();

}  // namespace platform
