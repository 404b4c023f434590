// The debugger output channel for traces: OutputDebugStringA on Windows, syslog at LOG_DEBUG
// elsewhere. Tests install a capture that receives each trace text in order instead.
#pragma once

namespace platform {

void WriteDebugTrace(const char* text);

using TraceCapture = void (*)(const char* text);
// A null capture gives the traces back to the system channel.
void SetTraceCapture(TraceCapture capture);

// The system channel itself, without the capture.
void WriteSystemTrace(const char* text);

}  // namespace platform
