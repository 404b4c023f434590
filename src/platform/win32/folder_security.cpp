#include "platform/folder_security.h"

#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

namespace {

constexpr std::string_view kTrustedInstallerSid =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

struct LocalFreeDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};

std::string SidText(PSID sid) {
  char* text = nullptr;
  if (sid == nullptr || ConvertSidToStringSidA(sid, &text) == FALSE) {
    return {};
  }
  const std::unique_ptr<char, LocalFreeDeleter> owned(text);
  return text;
}

TrusteeKind KindOf(std::string_view sid) {
  if (sid == "S-1-5-18") {
    return TrusteeKind::kSystem;
  }
  if (sid == "S-1-5-32-544") {
    return TrusteeKind::kAdministrators;
  }
  if (sid == kTrustedInstallerSid) {
    return TrusteeKind::kTrustedInstaller;
  }
  if (sid == "S-1-3-4") {
    return TrusteeKind::kOwnerRights;
  }
  return TrusteeKind::kOther;
}

bool IsProcessUser(PSID sid) {
  HANDLE token = nullptr;
  if (sid == nullptr || OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == FALSE) {
    return false;
  }
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  bool same = false;
  if (size != 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size) != FALSE) {
    const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
    same = EqualSid(user->User.Sid, sid) != FALSE;
  }
  CloseHandle(token);
  return same;
}

bool UnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Allowed and denied entries, plain or with a condition, hold the mask and then the SID; the
// condition is not weighed, so a conditional grant counts as a grant. Other kinds (object
// entries) hold the mask in the same place but the SID elsewhere.
AceFacts AceFactsOf(const void* entry, PSID owner) {
  const auto* header = static_cast<const ACE_HEADER*>(entry);
  const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
  AceFacts facts;
  facts.type = header->AceType;
  facts.inheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
  facts.mask = allowed->Mask;
  switch (header->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
      facts.kind = AceKind::kAllow;
      break;
    case ACCESS_DENIED_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
      facts.kind = AceKind::kDeny;
      break;
    default:
      return facts;
  }
  // SidStart is the first word of the SID that the entry holds in place.
  auto* sid = const_cast<DWORD*>(&allowed->SidStart);  // NOLINT(*-const-cast)
  facts.sid = SidText(sid);
  facts.trustee = KindOf(facts.sid);
  facts.isOwner = owner != nullptr && EqualSid(sid, owner) != FALSE;
  return facts;
}

// Past MAX_PATH the ANSI call takes a path only in its long form.
std::string LongForm(const std::string& path) {
  if (path.size() < MAX_PATH || path.starts_with("\\\\?\\")) {
    return path;
  }
  if (path.starts_with("\\\\")) {
    return "\\\\?\\UNC\\" + path.substr(2);
  }
  return "\\\\?\\" + path;
}

}  // namespace

WindowsFolderFacts FolderSecurityFromDescriptor(const void* descriptor) {
  WindowsFolderFacts facts;
  auto* sd = const_cast<void*>(descriptor);  // NOLINT(*-const-cast): the calls only read it
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (GetSecurityDescriptorOwner(sd, &owner, &defaulted) == FALSE) {
    owner = nullptr;
  }
  facts.ownerSid = SidText(owner);
  facts.ownerKind = owner == nullptr ? TrusteeKind::kOther : KindOf(facts.ownerSid);
  facts.ownerIsProcessUser = IsProcessUser(owner);
  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) == FALSE || present == FALSE ||
      dacl == nullptr) {
    facts.nullDacl = true;
    return facts;
  }
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* entry = nullptr;
    if (GetAce(dacl, index, &entry) == FALSE) {
      // An entry that cannot be read may grant anything.
      facts.aces.push_back(AceFacts{});
      facts.aces.back().mask = GENERIC_ALL;
      continue;
    }
    facts.aces.push_back(AceFactsOf(entry, owner));
  }
  return facts;
}

WindowsFolderFacts ReadFolderSecurity(const std::string& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD status = GetNamedSecurityInfoA(LongForm(path).c_str(), SE_FILE_OBJECT,
                                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                             nullptr, nullptr, nullptr, nullptr, &descriptor);
  WindowsFolderFacts facts;
  if (status != ERROR_SUCCESS) {
    facts.absent = status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND;
    facts.error = facts.absent ? 0 : static_cast<int32_t>(status);
    return facts;
  }
  const std::unique_ptr<void, LocalFreeDeleter> owned(descriptor);
  facts = FolderSecurityFromDescriptor(descriptor);
  facts.madeUpByWine = UnderWine();
  return facts;
}

}  // namespace platform
