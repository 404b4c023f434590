// A blocking IPv4 stream listener and its connections: Winsock 2 on Windows, BSD sockets
// elsewhere. Each call mirrors one socket call; LastSocketError() gives WSAGetLastError() or
// errno right after a failure. On Linux a connection call that succeeded reads back as 0: errno
// is shared with every other call of the thread, and an earlier file lookup's ENOENT is no
// socket's error.
#pragma once

#include <cstdint>

#include "platform/unique_handle.h"

namespace platform {

using Socket = std::intptr_t;
inline constexpr Socket kInvalidSocket = -1;

// WSAStartup 2.0 / nothing; WSACleanup / nothing.
bool StartSockets();
void CleanupSockets();

Socket CreateStreamSocket();
// The rule a listener's address is bound by, set before the bind. Windows: SO_EXCLUSIVEADDRUSE,
// so that no other socket (another user's with SO_REUSEADDR above all) can bind the port beside
// it and take its connections. Linux: SO_REUSEADDR, which lets a rebuilt listener bind over
// TIME_WAIT connections and never lets a second one bind a port that is listened on.
bool SetListenerAddressRule(Socket socket);
// Read back from the socket: whether no other socket can bind its address while it holds it.
// Windows: SO_EXCLUSIVEADDRUSE is set. Linux: SO_REUSEPORT, the one option that lets another
// socket share a bound port, is off.
bool ListenerHoldsAddressExclusively(Socket socket);
// 0.0.0.0 and `port` (0: a free port the system picks).
bool BindAnyAddress(Socket socket, uint16_t port);
// The port the socket is bound to; 0 when it cannot be read.
uint16_t LocalPort(Socket socket);
bool ListenOn(Socket socket, int backlog);
Socket AcceptConnection(Socket listener);
bool SetReceiveTimeout(Socket socket, uint32_t milliseconds);
// recv / send once (send never raises SIGPIPE on Linux); the count or -1.
int ReceiveOnce(Socket socket, char* buffer, int size);
int SendOnce(Socket socket, const char* bytes, int size);
void CloseSocket(Socket socket);
int32_t LastSocketError();

// Closes one connection or listener on every way out.
using ScopedSocket = UniqueHandle<Socket, kInvalidSocket, &CloseSocket>;

}  // namespace platform
