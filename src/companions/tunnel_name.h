// How the tunnel program is recognised in a process snapshot, by the watchdog and by the query
// server's start-up sweep: the executable's file name, lower-cased, contains the tunnel name.
#pragma once

#include <string_view>

#ifdef _WIN32
inline constexpr char kTunnelProcessName[] = "stunnel.exe";
#else
// Matches Debian's stunnel4 too.
inline constexpr char kTunnelProcessName[] = "stunnel";
#endif

bool MatchesTunnelName(std::string_view exeFile, std::string_view tunnelName);
