// Folder descriptors met in the field, as SDDL and as the facts the Windows reader gives for
// them, with the decision each must get. The native tests decide the facts; under Wine the
// SDDL goes through the system's own conversion and the platform's reader first.
#pragma once

#include <string>
#include <vector>

#include "platform/folder_security.h"

namespace folder_cases {

using platform::AceFacts;
using platform::AceKind;
using platform::TrusteeKind;
using platform::WindowsFolderFacts;

inline constexpr char kTrustedInstaller[] =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
inline constexpr char kUser[] = "S-1-5-21-1004336348-1177238915-682003330-1001";

// Access masks as SDDL spells them.
inline constexpr uint32_t kFullAccess = 0x001f01ff;  // FA
inline constexpr uint32_t kReadExecute = 0x001200a9;
inline constexpr uint32_t kModify = 0x001301bf;
inline constexpr uint32_t kGenericAll = 0x10000000;          // GA
inline constexpr uint32_t kGenericReadExecute = 0xa0000000;  // GXGR

struct DescriptorCase {
  const char* name;
  std::string sddl;
  WindowsFolderFacts facts;
  std::string reason;  // a part of the refusal's reason; empty: the folder passes
};

inline AceFacts Allow(const std::string& sid, TrusteeKind trustee, uint32_t mask,
                      bool inheritOnly = false) {
  AceFacts ace;
  ace.kind = AceKind::kAllow;
  ace.type = 0;
  ace.trustee = trustee;
  ace.sid = sid;
  ace.inheritOnly = inheritOnly;
  ace.mask = mask;
  return ace;
}
inline AceFacts Other(const std::string& sid, uint32_t mask, bool inheritOnly = false) {
  return Allow(sid, TrusteeKind::kOther, mask, inheritOnly);
}
inline AceFacts Deny(const std::string& sid, TrusteeKind trustee, uint32_t mask) {
  AceFacts ace = Allow(sid, trustee, mask);
  ace.kind = AceKind::kDeny;
  ace.type = 1;
  return ace;
}
// The owner's own entries are marked as the reader marks them.
inline WindowsFolderFacts Facts(const std::string& ownerSid, TrusteeKind ownerKind,
                                std::vector<AceFacts> aces) {
  WindowsFolderFacts facts;
  facts.ownerSid = ownerSid;
  facts.ownerKind = ownerKind;
  for (AceFacts& ace : aces) {
    ace.isOwner = !ownerSid.empty() && ace.sid == ownerSid;
  }
  facts.aces = std::move(aces);
  return facts;
}

inline AceFacts System(uint32_t mask, bool inheritOnly = false) {
  return Allow("S-1-5-18", TrusteeKind::kSystem, mask, inheritOnly);
}
inline AceFacts Admins(uint32_t mask, bool inheritOnly = false) {
  return Allow("S-1-5-32-544", TrusteeKind::kAdministrators, mask, inheritOnly);
}
inline AceFacts Installer(uint32_t mask, bool inheritOnly = false) {
  return Allow(kTrustedInstaller, TrusteeKind::kTrustedInstaller, mask, inheritOnly);
}
inline AceFacts OwnerRights(uint32_t mask) {
  return Allow("S-1-3-4", TrusteeKind::kOwnerRights, mask);
}

inline std::vector<DescriptorCase> DescriptorCases() {
  const std::string ti = kTrustedInstaller;
  const std::string user = kUser;
  // What a folder of C:\ inherits on Windows 10: Authenticated Users may modify it.
  const std::string rootChild =
      "(A;ID;FA;;;BA)(A;OICIIOID;GA;;;BA)(A;ID;FA;;;SY)(A;OICIIOID;GA;;;SY)"
      "(A;OICIID;0x1200a9;;;BU)(A;ID;0x1301bf;;;AU)(A;OICIIOID;SDGXGWGR;;;AU)";
  const std::vector<AceFacts> rootChildAces = {Admins(kFullAccess),
                                               Admins(kGenericAll, true),
                                               System(kFullAccess),
                                               System(kGenericAll, true),
                                               Other("S-1-5-32-545", kReadExecute),
                                               Other("S-1-5-11", kModify),
                                               Other("S-1-5-11", 0xe0010000, true)};
  return {
      {"a Program Files folder as Windows Installer makes it",
       "O:SYD:AI(A;ID;FA;;;" + ti + ")(A;CIIOID;GA;;;" + ti +
           ")(A;ID;FA;;;SY)(A;OICIIOID;GA;;;SY)(A;ID;FA;;;BA)(A;OICIIOID;GA;;;BA)"
           "(A;ID;0x1200a9;;;BU)(A;OICIIOID;GXGR;;;BU)(A;OICIIOID;GA;;;CO)"
           "(A;ID;0x1200a9;;;S-1-15-2-1)(A;OICIIOID;GXGR;;;S-1-15-2-1)",
       Facts("S-1-5-18", TrusteeKind::kSystem,
             {Installer(kFullAccess), Installer(kGenericAll, true), System(kFullAccess),
              System(kGenericAll, true), Admins(kFullAccess), Admins(kGenericAll, true),
              Other("S-1-5-32-545", kReadExecute), Other("S-1-5-32-545", kGenericReadExecute, true),
              Other("S-1-3-0", kGenericAll, true), Other("S-1-15-2-1", kReadExecute),
              Other("S-1-15-2-1", kGenericReadExecute, true)}),
       ""},
      {"C:\\talvoro as a user unpacks a zip there", "O:" + user + "D:AI" + rootChild,
       Facts(user, TrusteeKind::kOther, rootChildAces), "is owned by " + user + ", not SYSTEM"},
      {"the same DACL with Administrators the owner", "O:BAD:AI" + rootChild,
       Facts("S-1-5-32-544", TrusteeKind::kAdministrators, rootChildAces),
       "lets S-1-5-11 write data, append data, delete (0x001301bf)"},
      {"owner a user, DACL only SYSTEM and Administrators",
       "O:" + user + "D:P(A;;FA;;;SY)(A;;FA;;;BA)",
       Facts(user, TrusteeKind::kOther, {System(kFullAccess), Admins(kFullAccess)}),
       "is owned by S-1-5-21-1004336348-1177238915-682003330-1001, not SYSTEM"},
      {"NULL DACL", "O:BAD:NO_ACCESS_CONTROL",
       [] {
         WindowsFolderFacts facts = Facts("S-1-5-32-544", TrusteeKind::kAdministrators, {});
         facts.nullDacl = true;
         return facts;
       }(),
       "has no DACL"},
      {"Everyone may add files", "O:BAD:(A;;FA;;;BA)(A;;0x2;;;WD)",
       Facts("S-1-5-32-544", TrusteeKind::kAdministrators,
             {Admins(kFullAccess), Other("S-1-1-0", 0x2)}),
       "lets S-1-1-0 write data (0x00000002)"},
      {"Users may add subfolders", "O:BAD:(A;;FA;;;BA)(A;;0x1200ad;;;BU)",
       Facts("S-1-5-32-544", TrusteeKind::kAdministrators,
             {Admins(kFullAccess), Other("S-1-5-32-545", 0x1200ad)}),
       "lets S-1-5-32-545 append data (0x001200ad)"},
      {"Users may delete children", "O:BAD:(A;;0x1200e9;;;BU)",
       Facts("S-1-5-32-544", TrusteeKind::kAdministrators, {Other("S-1-5-32-545", 0x1200e9)}),
       "delete child"},
      {"CREATOR OWNER full, inherit-only", "O:BAD:(A;;FA;;;BA)(A;OICIIO;GA;;;CO)",
       Facts("S-1-5-32-544", TrusteeKind::kAdministrators,
             {Admins(kFullAccess), Other("S-1-3-0", kGenericAll, true)}),
       ""},
      {"CREATOR OWNER full on the folder itself", "O:BAD:(A;;FA;;;BA)(A;;GA;;;CO)",
       Facts("S-1-5-32-544", TrusteeKind::kAdministrators,
             {Admins(kFullAccess), Other("S-1-3-0", kGenericAll)}),
       "lets S-1-3-0 generic all"},
      {"Users may change the DACL only", "O:BAD:(A;;WD;;;BU)",
       Facts("S-1-5-32-544", TrusteeKind::kAdministrators, {Other("S-1-5-32-545", 0x40000)}),
       "lets S-1-5-32-545 write DAC (0x00040000)"},
      {"Users may take ownership only", "O:BAD:(A;;WO;;;BU)",
       Facts("S-1-5-32-544", TrusteeKind::kAdministrators, {Other("S-1-5-32-545", 0x80000)}),
       "write owner (0x00080000)"},
      {"Users may delete it only", "O:BAD:(A;;SD;;;BU)",
       Facts("S-1-5-32-544", TrusteeKind::kAdministrators, {Other("S-1-5-32-545", 0x10000)}),
       "lets S-1-5-32-545 delete (0x00010000)"},
      {"Authenticated Users GENERIC_ALL", "O:BAD:(A;;GA;;;AU)",
       Facts("S-1-5-32-544", TrusteeKind::kAdministrators, {Other("S-1-5-11", kGenericAll)}),
       "lets S-1-5-11 generic all (0x10000000)"},
      {"Users GENERIC_WRITE", "O:BAD:(A;;GW;;;BU)",
       Facts("S-1-5-32-544", TrusteeKind::kAdministrators, {Other("S-1-5-32-545", 0x40000000)}),
       "generic write"},
      // Attributes and extended attributes change no file in it.
      {"Users may write attributes only", "O:BAD:(A;;0x001201b9;;;BU)",
       Facts("S-1-5-32-544", TrusteeKind::kAdministrators, {Other("S-1-5-32-545", 0x1201b9)}), ""},
      {"deny entries only, besides Administrators", "O:BAD:(D;;FA;;;WD)(A;;FA;;;BA)",
       Facts("S-1-5-32-544", TrusteeKind::kAdministrators,
             {Deny("S-1-1-0", TrusteeKind::kOther, kFullAccess), Admins(kFullAccess)}),
       ""},
      {"a deny before the same grant is not credited", "O:BAD:(D;;0x2;;;WD)(A;;0x2;;;WD)",
       Facts("S-1-5-32-544", TrusteeKind::kAdministrators,
             {Deny("S-1-1-0", TrusteeKind::kOther, 0x2), Other("S-1-1-0", 0x2)}),
       "lets S-1-1-0 write data"},
      {"OWNER RIGHTS full, Administrators the owner", "O:BAD:(A;;FA;;;S-1-3-4)(A;;FA;;;SY)",
       Facts("S-1-5-32-544", TrusteeKind::kAdministrators,
             {OwnerRights(kFullAccess), System(kFullAccess)}),
       ""},
      {"OWNER RIGHTS full, a user the owner", "O:" + user + "D:(A;;FA;;;S-1-3-4)(A;;FA;;;SY)",
       Facts(user, TrusteeKind::kOther, {OwnerRights(kFullAccess), System(kFullAccess)}),
       "is owned by S-1-5-21-1004336348-1177238915-682003330-1001"},
      {"the owner's own SID full, TrustedInstaller the owner",
       "O:" + ti + "D:(A;;FA;;;" + ti + ")(A;;0x1200a9;;;BU)",
       Facts(ti, TrusteeKind::kTrustedInstaller,
             {Installer(kFullAccess), Other("S-1-5-32-545", kReadExecute)}),
       ""},
  };
}

}  // namespace folder_cases
