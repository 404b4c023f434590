// Whether -i may register the executable where it is: the service runs it, and the tunnel
// program from its bin folder, as LocalSystem or root, so nobody but administrators or root
// may be able to change either folder.
#pragma once

#include <optional>
#include <string>

#include "platform/folder_security.h"

// Why a folder is refused: `folder` is the executable's folder, `reason` names the folder
// that failed (that one, one above it, or bin) and what lets others change it.
struct FolderRefusal {
  std::string folder;
  std::string reason;
};

// Linux: refused when the chain cannot be read, or holds an entry that cannot be examined,
// that is not a folder, that root does not own, or that its group or others may write
// without the sticky bit.
std::optional<std::string> RefusalReason(const std::string& folder,
                                         const platform::PosixFolderChain& chain);
// Windows: refused when the descriptor cannot be read, when its owner is not SYSTEM,
// Administrators or TrustedInstaller (an owner may always rewrite the DACL), when there is no
// DACL, or when an entry that applies to the folder itself allows anyone else a right that
// changes it. Deny entries are not weighed. Under Wine, whose made-up descriptors name the
// Wine user as every folder's owner, that user counts as the owner the service runs as.
std::optional<std::string> RefusalReason(const std::string& folder,
                                         const platform::WindowsFolderFacts& facts);

// The rights that change a folder or its entries: write data (add a file), append data (add a
// subfolder), delete child, delete, write DAC, write owner, and the generic write and all
// that a descriptor may hold unmapped.
inline constexpr uint32_t kFolderChangeRights = 0x0002U | 0x0004U | 0x0040U | 0x00010000U |
                                                0x00040000U | 0x00080000U | 0x40000000U |
                                                0x10000000U;

using FolderReader = platform::FolderFacts (*)(const std::string& path);

// The executable's folder, then its bin folder when there is one (an absent bin passes: making
// one needs the folder's write right, which is checked). Nothing when both pass.
std::optional<FolderRefusal> CheckInstallFolder(const std::string& executablePath,
                                                FolderReader read = &platform::ReadFolderSecurity);

// The log entry's message for a refusal, whole however long the folder's path.
std::string FormatFolderRefusal(const FolderRefusal& refusal);
