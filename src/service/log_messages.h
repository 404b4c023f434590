// Every message the service host writes to its log.
#pragma once

inline constexpr char kMsgInstalled[] = "Service %s installed\n";
inline constexpr char kMsgCreateFailed[] = "Failed to create service %s, error code = %d\n";
inline constexpr char kMsgOpenManagerFailed[] = "OpenSCManager failed, error code = %d\n";
inline constexpr char kMsgOpenServiceFailed[] = "OpenService failed, error code = %d\n";
inline constexpr char kMsgRemoved[] = "Service %s removed\n";
inline constexpr char kMsgDeleteFailed[] = "Failed to delete service %s\n";
inline constexpr char kMsgControlFailed[] = "ControlService failed, error code = %d\n";
inline constexpr char kMsgStartFailed[] = "StartService failed, error code = %d\n";
inline constexpr char kMsgDispatcherFailed[] =
    "StartServiceCtrlDispatcher failed, error code = %d\n";
inline constexpr char kMsgRegisterFailed[] = "RegisterServiceCtrlHandler failed, error code = %d\n";
inline constexpr char kMsgSetStatusFailed[] = "SetServiceStatus failed, error code = %d\n";
inline constexpr char kMsgUnrecognizedOpcode[] = "Unrecognized opcode %d\n";
// -i from a folder that others than administrators or root may change: the folder, and why.
inline constexpr char kMsgFolderRefused[] = "Refused to install from %s: %s\n";
