// Who may change a folder, as the system tells it: on Linux the mode and owner of the folder
// and of every folder above it, on Windows the owner and the DACL of the folder. Facts only;
// src/service/install_folder decides. Both shapes are declared on both systems so that the
// decision can be tested anywhere; each system reads only its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

#ifdef _WIN32
inline constexpr char kFolderSeparators[] = "\\/";
#else
inline constexpr char kFolderSeparators[] = "/";
#endif

// One folder of a chain, as lstat reports it; `error` is the errno when it could not be.
struct PosixFolderEntry {
  std::string path;
  int32_t error = 0;
  uint32_t mode = 0;  // st_mode whole: type, sticky and permission bits
  uint32_t uid = 0;
};

// The folder and each one above it up to "/", the folder first. The path is made canonical
// first (realpath), so the chain is the one the system walks to reach it, links resolved.
struct PosixFolderChain {
  bool absent = false;  // there is no such folder (ENOENT)
  int32_t error = 0;    // the path could not be resolved for another reason: the errno
  std::vector<PosixFolderEntry> entries;
};

enum class TrusteeKind { kSystem, kAdministrators, kTrustedInstaller, kOwnerRights, kOther };
enum class AceKind { kAllow, kDeny, kOther };

struct AceFacts {
  AceKind kind = AceKind::kOther;
  uint8_t type = 0;  // the ACE type as stored, for the log when the kind is kOther
  TrusteeKind trustee = TrusteeKind::kOther;
  std::string sid;       // "S-1-..."; empty when the entry's layout holds none the reader knows
  bool isOwner = false;  // the trustee is the descriptor's owner itself
  bool inheritOnly = false;
  uint32_t mask = 0;
  bool operator==(const AceFacts&) const = default;
};

struct WindowsFolderFacts {
  bool absent = false;  // no such folder (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND)
  int32_t error = 0;    // the descriptor could not be read: GetLastError's code
  TrusteeKind ownerKind = TrusteeKind::kOther;
  std::string ownerSid;  // empty when the descriptor has no owner
  // The owner is the user of this process's token: under Wine every folder's owner is, as
  // Wine makes each folder's descriptor up from the Unix owner and mode.
  bool ownerIsProcessUser = false;
  // The descriptor came from Wine, which keeps none for a folder (see ReadFolderSecurity).
  bool madeUpByWine = false;
  bool nullDacl = false;  // no DACL: everyone has every right
  std::vector<AceFacts> aces;
  bool operator==(const WindowsFolderFacts&) const = default;
};

#ifdef _WIN32
using FolderFacts = WindowsFolderFacts;
// The folder's owner and DACL from GetNamedSecurityInfoA. Wine stores no descriptor for a
// folder: it answers with one made from the Unix owner and mode (owner the Wine user, SYSTEM
// and that user full, Everyone per the "other" bits, the group bits left out), which
// `madeUpByWine` records.
WindowsFolderFacts ReadFolderSecurity(const std::string& path);
// The facts of a descriptor in memory (a PSECURITY_DESCRIPTOR), as the reader above gives
// them for a folder's.
WindowsFolderFacts FolderSecurityFromDescriptor(const void* descriptor);
#else
using FolderFacts = PosixFolderChain;
PosixFolderChain ReadFolderSecurity(const std::string& path);
#endif

}  // namespace platform
