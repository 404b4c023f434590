#include "service/install_folder.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "service/log_messages.h"

namespace {

using platform::AceKind;
using platform::TrusteeKind;

// st_mode's bits as POSIX numbers them.
constexpr uint32_t kModeTypeMask = 0170000;
constexpr uint32_t kModeDirectory = 0040000;
constexpr uint32_t kModeSticky = 01000;
constexpr uint32_t kModeGroupWrite = 0020;
constexpr uint32_t kModeOtherWrite = 0002;
constexpr uint32_t kRootUid = 0;

std::string Octal(uint32_t mode, const char* format) {
  char text[16];
  std::snprintf(text, sizeof text, format, mode);
  return text;
}

std::string ModeText(uint32_t mode) {
  return "mode " + Octal(mode & 07777U, "%04o");
}

std::string Hex(uint32_t mask) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", mask);
  return text;
}

std::optional<std::string> EntryReason(const platform::PosixFolderEntry& entry) {
  if (entry.error != 0) {
    return entry.path + " cannot be examined (error " + std::to_string(entry.error) + ")";
  }
  if ((entry.mode & kModeTypeMask) != kModeDirectory) {
    return entry.path + " is not a folder (" + ModeText(entry.mode) + ", type " +
           Octal(entry.mode & kModeTypeMask, "%06o") + ")";
  }
  if (entry.uid != kRootUid) {
    return entry.path + " is owned by uid " + std::to_string(entry.uid) + ", not root";
  }
  const bool group = (entry.mode & kModeGroupWrite) != 0;
  const bool others = (entry.mode & kModeOtherWrite) != 0;
  if ((group || others) && (entry.mode & kModeSticky) == 0) {
    const char* who = group && others ? "its group and others" : group ? "its group" : "others";
    return entry.path + " is writable by " + who + " (" + ModeText(entry.mode) + ")";
  }
  return std::nullopt;
}

bool TrustedKind(TrusteeKind kind) {
  return kind == TrusteeKind::kSystem || kind == TrusteeKind::kAdministrators ||
         kind == TrusteeKind::kTrustedInstaller;
}

std::string RightsText(uint32_t rights) {
  static constexpr struct {
    uint32_t bit;
    const char* name;
  } kNames[] = {{0x0002U, "write data"},        {0x0004U, "append data"},
                {0x0040U, "delete child"},      {0x00010000U, "delete"},
                {0x00040000U, "write DAC"},     {0x00080000U, "write owner"},
                {0x40000000U, "generic write"}, {0x10000000U, "generic all"}};
  std::string text;
  for (const auto& name : kNames) {
    if ((rights & name.bit) != 0) {
      text += text.empty() ? "" : ", ";
      text += name.name;
    }
  }
  return text;
}

}  // namespace

std::optional<std::string> RefusalReason(const std::string& folder,
                                         const platform::PosixFolderChain& chain) {
  if (chain.absent) {
    return folder + " does not exist";
  }
  if (chain.error != 0) {
    return folder + " cannot be resolved (error " + std::to_string(chain.error) + ")";
  }
  if (chain.entries.empty()) {
    return folder + " resolves to nothing";
  }
  for (const auto& entry : chain.entries) {
    if (auto reason = EntryReason(entry)) {
      return reason;
    }
  }
  return std::nullopt;
}

std::optional<std::string> RefusalReason(const std::string& folder,
                                         const platform::WindowsFolderFacts& facts) {
  if (facts.absent) {
    return folder + " does not exist";
  }
  if (facts.error != 0) {
    return "the security of " + folder + " cannot be read (error " + std::to_string(facts.error) +
           ")";
  }
  const bool ownerTrusted =
      TrustedKind(facts.ownerKind) || (facts.madeUpByWine && facts.ownerIsProcessUser);
  if (!ownerTrusted) {
    if (facts.ownerSid.empty()) {
      return folder + " has no owner";
    }
    return folder + " is owned by " + facts.ownerSid +
           ", not SYSTEM, Administrators or TrustedInstaller, and an owner may change its DACL";
  }
  if (facts.nullDacl) {
    return folder + " has no DACL, which lets everyone change it";
  }
  for (const auto& ace : facts.aces) {
    const uint32_t rights = ace.mask & kFolderChangeRights;
    if (ace.inheritOnly || ace.kind == AceKind::kDeny || rights == 0) {
      continue;
    }
    if (ace.kind == AceKind::kOther) {
      return folder + " has an access entry of type " + std::to_string(ace.type) + " with " +
             RightsText(rights) + " (" + Hex(ace.mask) + ")";
    }
    // OWNER RIGHTS and the owner's own SID stand for the owner, trusted by now.
    const bool trusted =
        TrustedKind(ace.trustee) || ace.trustee == TrusteeKind::kOwnerRights || ace.isOwner;
    if (!trusted) {
      return folder + " lets " + ace.sid + " " + RightsText(rights) + " (" + Hex(ace.mask) + ")";
    }
  }
  return std::nullopt;
}

std::optional<FolderRefusal> CheckInstallFolder(const std::string& executablePath,
                                                FolderReader read) {
  const std::string::size_type cut = executablePath.find_last_of(platform::kFolderSeparators);
  if (cut == std::string::npos) {
    return FolderRefusal{executablePath, "the executable's path names no folder"};
  }
  std::string folder = executablePath.substr(0, cut);
  // "/talvoro" is in "/", "C:\talvoro.exe" in "C:\" (not "C:", the drive's current folder).
  if (folder.empty() || folder.back() == ':') {
    folder = executablePath.substr(0, cut + 1);
  }
  if (auto reason = RefusalReason(folder, read(folder))) {
    return FolderRefusal{folder, *std::move(reason)};
  }
  const std::string bin =
      folder + (folder.back() == executablePath[cut] ? "" : std::string(1, executablePath[cut])) +
      "bin";
  const platform::FolderFacts binFacts = read(bin);
  if (binFacts.absent) {
    return std::nullopt;
  }
  if (auto reason = RefusalReason(bin, binFacts)) {
    return FolderRefusal{folder, *std::move(reason)};
  }
  return std::nullopt;
}

std::string FormatFolderRefusal(const FolderRefusal& refusal) {
  const int length =
      std::snprintf(nullptr, 0, kMsgFolderRefused, refusal.folder.c_str(), refusal.reason.c_str());
  if (length <= 0) {
    return {};
  }
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  std::snprintf(text.data(), text.size(), kMsgFolderRefused, refusal.folder.c_str(),
                refusal.reason.c_str());
  text.resize(static_cast<std::size_t>(length));
  return text;
}
