#include "platform/systemd_unit.h"

#include <algorithm>
#include <string_view>

namespace {

// systemd expands %-sequences (%n) in ExecStart and in path lists; UnitCanHold keeps out what
// it cannot take at all.
std::string EscapePercent(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    escaped += c;
    if (c == '%') {
      escaped += '%';
    }
  }
  return escaped;
}

// The executable's path from the command as the install registers it: the whole path, quoted
// when it holds a blank.
std::string_view UnquotedPath(std::string_view command) {
  if (command.size() >= 2 && command.front() == '"' && command.back() == '"') {
    return command.substr(1, command.size() - 2);
  }
  return command;
}

std::string ExecutableFolder(const std::string& command) {
  const std::string_view path = UnquotedPath(command);
  const std::size_t last = path.rfind('/');
  if (last == std::string::npos) {
    return {};
  }
  return last == 0 ? std::string("/") : std::string(path.substr(0, last));
}

}  // namespace

bool UnitCanHold(const std::string& command) {
  const std::string folder = ExecutableFolder(command);
  if (folder.empty() || folder[0] != '/') {
    return false;
  }
  // systemd refuses to run a program whose path holds a quote, a backslash or a control
  // character ("Executable name contains special characters").
  const std::string_view path = UnquotedPath(command);
  return std::none_of(path.begin(), path.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '"' || c == '\'' || c == '\\';
  });
}

std::string SystemdUnitText(const std::string& command) {
  return "[Unit]\n"
         "Description=Talvoro_macadress\n"
         "After=network.target\n"
         "# Five starts in a minute, crashes' restarts among them, and systemd starts it no\n"
         "# more: a service that keeps crashing is left down rather than run in a loop.\n"
         "StartLimitIntervalSec=60\n"
         "StartLimitBurst=5\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" +
         EscapePercent(command) +
         "\n"
         "# A crashed service is back a second later. A stop that was asked for is never undone:\n"
         "# systemd restarts nothing it stopped itself, and SIGTERM from anyone else is a stop "
         "too.\n"
         "Restart=on-failure\n"
         "RestartSec=1\n"
         "RestartPreventExitStatus=SIGTERM\n"
         "# The tunnel program runs in the service's control group and ends with it.\n"
         "KillMode=control-group\n"
         "# The service needs no privilege: no capabilities, no other users, the system\n"
         "# read-only but for the executable's folder, where it keeps its log.\n"
         "CapabilityBoundingSet=\n"
         "AmbientCapabilities=\n"
         "NoNewPrivileges=yes\n"
         "PrivateUsers=yes\n"
         "ProtectSystem=strict\n"
         "ReadWritePaths=\"" +
         EscapePercent(ExecutableFolder(command)) +
         "\"\n"
         "ProtectHome=read-only\n"
         "PrivateTmp=yes\n"
         "PrivateDevices=yes\n"
         "DevicePolicy=closed\n"
         "ProtectHostname=yes\n"
         "ProtectClock=yes\n"
         "ProtectKernelTunables=yes\n"
         "ProtectKernelModules=yes\n"
         "ProtectKernelLogs=yes\n"
         "ProtectControlGroups=yes\n"
         "ProtectProc=invisible\n"
         "ProcSubset=pid\n"
         "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX AF_NETLINK\n"
         "RestrictNamespaces=yes\n"
         "RestrictRealtime=yes\n"
         "RestrictSUIDSGID=yes\n"
         "LockPersonality=yes\n"
         "MemoryDenyWriteExecute=yes\n"
         "SystemCallArchitectures=native\n"
         "SystemCallFilter=@system-service\n"
         "SystemCallFilter=~@privileged @resources\n"
         "KeyringMode=private\n"
         "UMask=0077\n"
         "NotifyAccess=main\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}
