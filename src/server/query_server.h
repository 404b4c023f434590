// The query server thread: the start-up sweep of tunnel processes, the listener on port
// 10032 and the strictly sequential connection loop.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/processes.h"
#include "platform/sockets.h"
#include "server/listener_retry.h"

inline constexpr uint16_t kServerPort = 10032;
inline constexpr int kReceiveBufferSize = 1024;
inline constexpr uint32_t kReceiveTimeoutMs = 1000;
// While the listener cannot be built, the wait between attempts looks at the stop flag this
// often.
inline constexpr uint32_t kStopLookMs = 100;

// The worker routine: serves until it sees the worker stop flag, then returns 0. A listener
// that cannot be built (the port held by another program, or by a query server started
// before this one) is tried again until it can, or until the stop.
int RunQueryServer();
// Ends the first running tunnel process it finds (exit code 9): the process held open under
// the id the snapshot gave, and only when the name read through that handle is the tunnel's.
void SweepTunnelProcess();

// The listener as the server builds it, on `port` (0: a free one the system picks), into
// `listener`; nothing on success, else the step that failed and its error. The socket layer
// must have been started.
std::optional<ListenerFailure> BuildListener(uint16_t port, platform::ScopedSocket& listener);

// Tests: where the sweep's process list comes from; null restores the system's.
using SweepSnapshotter = std::vector<platform::ProcessEntry> (*)();
void SetSweepSnapshotter(SweepSnapshotter snapshotter);
