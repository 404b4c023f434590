// The command-line actions on the service's own entry. Each is one short conversation with
// the service control manager; the outcome goes to the log, never to the console.
#pragma once

#include <string>

// Refuses an empty executable path (the system could not tell it): "Failed to create service
// %s, error code = 3" (the path cannot be found), and the manager is not asked; nor is it for
// a folder that others than administrators or root may change (install_folder.h), which is
// logged with the reason.
void InstallServiceEntry(const std::string& executablePath, const char* serviceName);
// Also deletes the log file, on every path.
void RemoveServiceEntry(const char* serviceName);
// 1 when the request was accepted, 0 otherwise. Neither waits for the state to change.
int StartServiceEntry(const char* serviceName);
int StopServiceEntry(const char* serviceName);

// The command the entry registers: quoted when it holds a blank, so that no program at a
// shorter path (C:\Program.exe) can run in the service's place.
std::string ServiceCommandLine(const std::string& executablePath);
