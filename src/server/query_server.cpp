#include "server/query_server.h"

#include <cstdio>
#include <string>

#include "companions/tunnel_name.h"
#include "platform/debug_trace.h"
#include "platform/host_process.h"
#include "platform/message_pump.h"
#include "platform/processes.h"
#include "platform/sockets.h"
#include "platform/unique_handle.h"
#include "server/request_handler.h"
#include "shared/worker_stop_flag.h"

namespace {

constexpr uint32_t kTunnelExitCode = 9;
constexpr uint32_t kRebuildPauseMs = 300;

void ConsoleMessage(const char* format, int32_t code) {
  std::printf(format, static_cast<int>(code));
  std::fflush(stdout);
}

bool StopRequested() {
  return WorkerStopFlag.load() == 1;
}

// Closes one connection or listener on every way out.
using ScopedSocket =
    platform::UniqueHandle<platform::Socket, platform::kInvalidSocket, &platform::CloseSocket>;

enum class Served : std::uint8_t { kAnswered, kEmpty, kAcceptFailed };

Served ServeConnection(platform::Socket listenerSocket) {
  platform::WriteDebugTrace("[sock] recv start server 000 \r\n");
  const ScopedSocket connection(platform::AcceptConnection(listenerSocket));
  platform::WriteDebugTrace("[sock] recv start server 001 \r\n");
  if (connection.get() == platform::kInvalidSocket) {
    platform::WriteDebugTrace("[sock] recv INVALID_SOCKET ===============05\n");
    ConsoleMessage("Accept Error No : %d", platform::LastSocketError());
    return Served::kAcceptFailed;
  }
  platform::SetReceiveTimeout(connection.get(), kReceiveTimeoutMs);
  char buffer[kReceiveBufferSize + 1] = {};
  platform::WriteDebugTrace("[sock] recv start server 002 \r\n");
  platform::ReceiveOnce(connection.get(), buffer, kReceiveBufferSize);
  platform::WriteDebugTrace(
      ("[sock] recv start server 003 :" + std::to_string(platform::LastSocketError()) + "\r\n")
          .c_str());
  const std::string request(buffer);  // up to the first zero byte
  if (request.empty()) {
    return Served::kEmpty;
  }
  std::string reply;
  if (HandleRequest(request, &reply)) {
    platform::SendOnce(connection.get(), reply.data(), static_cast<int>(reply.size()));
  }
  return Served::kAnswered;
}

// One listener build and its connection loop; false when the listener cannot be built.
bool ServeUntilAcceptFails() {
  if (!platform::StartSockets()) {
    return false;
  }
  const ScopedSocket listener(platform::CreateStreamSocket());
  if (listener.get() == platform::kInvalidSocket) {
    ConsoleMessage("Socket Error No : %d", platform::LastSocketError());
    return false;
  }
  platform::SetReuseAddress(listener.get());
  if (!platform::BindAnyAddress(listener.get(), kServerPort)) {
    platform::WriteDebugTrace("[sock] recv start server error 1 \r\n");
    ConsoleMessage("Bind Error No : %d", platform::LastSocketError());
    return false;
  }
  if (!platform::ListenOn(listener.get(), 1)) {
    platform::WriteDebugTrace("[sock] recv start server error 2 \r\n");
    ConsoleMessage("Listen Error No : %d", platform::LastSocketError());
    return false;
  }
  platform::WriteDebugTrace("[sock] recv start server \r\n");
  while (!StopRequested()) {
    const Served served = ServeConnection(listener.get());
    if (served == Served::kAcceptFailed) {
      break;  // a failed accept is never retried on the old socket
    }
    if (served == Served::kAnswered) {
      platform::PumpStep();  // an empty request goes straight back to accept
    }
  }
  return true;
}

}  // namespace

void SweepTunnelProcess() {
  platform::WriteDebugTrace("[run] === start.exe ==== \r\n");
  for (const platform::ProcessEntry& entry : platform::SnapshotProcesses()) {
    platform::WriteDebugTrace(("[run] " + entry.exeFile + " ==== \r\n").c_str());
    platform::PumpStep();
    if (MatchesTunnelName(entry.exeFile, kTunnelProcessName)) {
      platform::TerminateProcessById(entry.processId, kTunnelExitCode);
      break;  // only the first match, whether or not it could be ended
    }
  }
  platform::WriteDebugTrace("[run] === end.exe ==== \r\n");
}

int RunQueryServer() {
  platform::PaceStepsClosely();
  SweepTunnelProcess();
  while (!StopRequested()) {
    const bool built = ServeUntilAcceptFails();
    platform::CleanupSockets();
    if (!built) {
      return 1;
    }
    platform::SleepMilliseconds(kRebuildPauseMs);
  }
  return 0;
}
