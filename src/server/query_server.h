// The query server thread: the start-up sweep of tunnel processes, the listener on port
// 10032 and the strictly sequential connection loop.
#pragma once

#include <cstdint>

inline constexpr uint16_t kServerPort = 10032;
inline constexpr int kReceiveBufferSize = 1024;
inline constexpr uint32_t kReceiveTimeoutMs = 1000;

// The worker routine: 1 when the socket layer or the listener cannot be had, 0 once it sees
// the worker stop flag.
int RunQueryServer();
// Ends the first running tunnel process it finds (exit code 9).
void SweepTunnelProcess();
