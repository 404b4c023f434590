#include "server/query_server.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>

#include "companions/tunnel_name.h"
#include "platform/debug_trace.h"
#include "platform/host_process.h"
#include "platform/message_pump.h"
#include "server/request_handler.h"
#include "shared/worker_stop_flag.h"

namespace {

constexpr uint32_t kTunnelExitCode = 9;
constexpr uint32_t kRebuildPauseMs = 300;

// Replaced by tests only.
std::atomic<SweepSnapshotter> Snapshotter{nullptr};

void ConsoleMessage(const char* format, int32_t code) {
  std::printf(format, static_cast<int>(code));
  std::fflush(stdout);
}

bool StopRequested() {
  return WorkerStopFlag.load() == 1;
}

// Sleeps `milliseconds` in short steps, so that a stop does not wait for the whole pause.
void PauseUnlessStopped(uint32_t milliseconds) {
  while (milliseconds > 0 && !StopRequested()) {
    const uint32_t step = std::min(milliseconds, kStopLookMs);
    platform::SleepMilliseconds(step);
    milliseconds -= step;
  }
}

void WriteFailure(const ListenerFailure& failure) {
  switch (failure.step) {
    case ListenerStep::kStartSockets:
      break;  // the socket layer's start has never been reported
    case ListenerStep::kCreate:
      ConsoleMessage("Socket Error No : %d", failure.error);
      break;
    case ListenerStep::kBind:
      platform::WriteDebugTrace("[sock] recv start server error 1 \r\n");
      ConsoleMessage("Bind Error No : %d", failure.error);
      break;
    case ListenerStep::kListen:
      platform::WriteDebugTrace("[sock] recv start server error 2 \r\n");
      ConsoleMessage("Listen Error No : %d", failure.error);
      break;
  }
}

enum class Served : std::uint8_t { kAnswered, kEmpty, kAcceptFailed };

Served ServeConnection(platform::Socket listenerSocket) {
  platform::WriteDebugTrace("[sock] recv start server 000 \r\n");
  const platform::ScopedSocket connection(platform::AcceptConnection(listenerSocket));
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

// One listener build and its connection loop; the build's failure when there is no listener.
std::optional<ListenerFailure> ServeUntilAcceptFails(ListenerFailureReports& reports) {
  std::optional<ListenerFailure> failure;
  platform::ScopedSocket listener;
  if (!platform::StartSockets()) {
    failure = ListenerFailure{ListenerStep::kStartSockets, platform::LastSocketError()};
  } else {
    failure = BuildListener(kServerPort, listener);
  }
  if (failure) {
    if (reports.ShouldWrite(*failure)) {
      WriteFailure(*failure);
    }
    return failure;
  }
  reports.ListenerBuilt();
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
  return std::nullopt;
}

// The id is the snapshot's, and may have passed to another process since: the name that
// counts is the one read through the handle, which holds one process whatever the id becomes.
bool EndIfStillTunnel(uint32_t processId) {
  const platform::OpenedProcess process = platform::OpenProcessToEnd(processId);
  return process &&
         MatchesTunnelName(platform::OpenedProcessFileName(process), kTunnelProcessName) &&
         platform::TerminateOpenedProcess(process, kTunnelExitCode);
}

}  // namespace

std::optional<ListenerFailure> BuildListener(uint16_t port, platform::ScopedSocket& listener) {
  listener.reset(platform::CreateStreamSocket());
  if (!listener) {
    return ListenerFailure{ListenerStep::kCreate, platform::LastSocketError()};
  }
  platform::SetListenerAddressRule(listener.get());
  if (!platform::BindAnyAddress(listener.get(), port)) {
    return ListenerFailure{ListenerStep::kBind, platform::LastSocketError()};
  }
  if (!platform::ListenOn(listener.get(), 1)) {
    return ListenerFailure{ListenerStep::kListen, platform::LastSocketError()};
  }
  return std::nullopt;
}

void SetSweepSnapshotter(SweepSnapshotter snapshotter) {
  Snapshotter.store(snapshotter);
}

void SweepTunnelProcess() {
  platform::WriteDebugTrace("[run] === start.exe ==== \r\n");
  const SweepSnapshotter snapshotter = Snapshotter.load();
  for (const platform::ProcessEntry& entry :
       snapshotter != nullptr ? snapshotter() : platform::SnapshotProcesses()) {
    platform::WriteDebugTrace(("[run] " + entry.exeFile + " ==== \r\n").c_str());
    platform::PumpStep();
    if (MatchesTunnelName(entry.exeFile, kTunnelProcessName)) {
      EndIfStillTunnel(entry.processId);
      break;  // only the first match, whether or not it could be ended
    }
  }
  platform::WriteDebugTrace("[run] === end.exe ==== \r\n");
}

int RunQueryServer() {
  platform::PaceStepsClosely();
  SweepTunnelProcess();
  ListenerFailureReports reports;
  uint32_t failuresInARow = 0;
  while (!StopRequested()) {
    const std::optional<ListenerFailure> failure = ServeUntilAcceptFails(reports);
    // Only a start of its own is ended: an unmatched WSACleanup would close the sockets of
    // another query server of the process.
    if (!failure || failure->step != ListenerStep::kStartSockets) {
      platform::CleanupSockets();
    }
    if (failure) {
      PauseUnlessStopped(ListenerRetryPauseMs(++failuresInARow));
    } else {
      failuresInARow = 0;
      platform::SleepMilliseconds(kRebuildPauseMs);
    }
  }
  return 0;
}
