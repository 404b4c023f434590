// The log beside the executable: each entry stamped with the local time, appended in text
// mode (CR LF per line on Windows) under the log lock, the file opened and closed each time.
// On Linux an entry is written only to a regular file reached without a symbolic link.
#pragma once

#include <string>

#include "platform/host_process.h"

// Appends one entry; a failure to open or write is reported nowhere, and a log that cannot
// be opened as it must be is left as it is, with no other file made in its place. `message` is
// inserted as data.
void WriteLog(const std::string& path, const std::string& message);

// "%02d/%02d/%04d, %02d:%02d:%02d\n    %s": month first, the message on the next line.
std::string FormatLogEntry(const platform::LocalTime& time, const std::string& message);

// printf-style formatting of one log message ("OpenSCManager failed, error code = %d\n").
std::string FormatLogMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Tests: the clock read inside the lock; null restores the system's local time.
using LogClock = platform::LocalTime (*)();
void SetLogClock(LogClock clock);
