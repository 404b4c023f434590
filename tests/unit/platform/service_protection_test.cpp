// The service entry's DACL as Windows itself reads the SDDL text, and the outcome of
// protecting a handle the manager never gave out. What the manager keeps of the DACL and the
// failure actions is read back by tests/wine/service_host_test.sh; Wine's manager keeps
// neither (see there), so the rights below are what the system's own parser makes of the text
// the product passes, not what an access check under Wine would enforce.
#include "platform/win32/service_protection.h"

#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

constexpr DWORD kUserRights = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                              SERVICE_ENUMERATE_DEPENDENTS | SERVICE_INTERROGATE | READ_CONTROL;

struct NamedRight {
  DWORD bit;
  const char* name;
};

constexpr NamedRight kRightNames[] = {
    {SERVICE_QUERY_CONFIG, "query config"},
    {SERVICE_CHANGE_CONFIG, "change config"},
    {SERVICE_QUERY_STATUS, "query status"},
    {SERVICE_ENUMERATE_DEPENDENTS, "enumerate dependents"},
    {SERVICE_START, "start"},
    {SERVICE_STOP, "stop"},
    {SERVICE_PAUSE_CONTINUE, "pause/continue"},
    {SERVICE_INTERROGATE, "interrogate"},
    {SERVICE_USER_DEFINED_CONTROL, "user-defined control"},
    {DELETE, "delete"},
    {READ_CONTROL, "read control"},
    {WRITE_DAC, "write DAC"},
    {WRITE_OWNER, "write owner"},
};

// The rights of `mask` by name, and any bit without one in hex.
std::string RightNames(DWORD mask) {
  std::string names;
  for (const auto& right : kRightNames) {
    if ((mask & right.bit) != 0) {
      names += std::string(names.empty() ? "" : ", ") + right.name;
      mask &= ~right.bit;
    }
  }
  if (mask != 0) {
    names += (names.empty() ? "" : ", ") + std::to_string(mask);
  }
  return names.empty() ? "nothing" : names;
}

struct LocalFreer {
  void operator()(void* memory) const { LocalFree(memory); }
};

class ServiceEntryDacl : public testing::Test {
 protected:
  void SetUp() override {
    PSECURITY_DESCRIPTOR parsed = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
        platform::kServiceEntrySddl, SDDL_REVISION_1, &parsed, nullptr))
        << GetLastError();
    descriptor_.reset(parsed);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor_.get(), &present, &dacl_, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(dacl_, nullptr);  // a null DACL would grant everyone everything
  }

  // Every right an allowing entry gives to exactly `sid`.
  DWORD RightsOf(PSID sid) const {
    DWORD rights = 0;
    for (DWORD i = 0; i < dacl_->AceCount; ++i) {
      void* ace = nullptr;
      if (GetAce(dacl_, i, &ace) == FALSE) {
        ADD_FAILURE() << "entry " << i << " unreadable";
        continue;
      }
      const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
      if (allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
          EqualSid(sid, const_cast<DWORD*>(&allowed->SidStart)) != FALSE) {
        rights |= allowed->Mask;
      }
    }
    return rights;
  }

  PACL dacl_ = nullptr;

 private:
  std::unique_ptr<void, LocalFreer> descriptor_;
};

// Only allowing entries, none inherited or inheritable, one for each of the four trustees:
// nothing denies, so a trustee's rights are exactly what its entries grant.
TEST_F(ServiceEntryDacl, HoldsFourPlainAllowingEntries) {
  ASSERT_EQ(dacl_->AceCount, 4);
  for (DWORD i = 0; i < dacl_->AceCount; ++i) {
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl_, i, &ace));
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    EXPECT_EQ(header->AceType, ACCESS_ALLOWED_ACE_TYPE) << "entry " << i;
    EXPECT_EQ(header->AceFlags, 0) << "entry " << i;
  }
}

struct TrusteeCase {
  const char* trustee;
  WELL_KNOWN_SID_TYPE sid;
  DWORD rights;
};

TEST_F(ServiceEntryDacl, GrantsEachTrusteeExactlyItsRights) {
  const TrusteeCase cases[] = {
      {"SYSTEM", WinLocalSystemSid, SERVICE_ALL_ACCESS},
      {"Administrators", WinBuiltinAdministratorsSid, SERVICE_ALL_ACCESS},
      {"Interactive", WinInteractiveSid, kUserRights},
      {"Authenticated Users", WinAuthenticatedUserSid, kUserRights},
      {"Everyone", WinWorldSid, 0},
      {"Users", WinBuiltinUsersSid, 0},
      {"Anonymous", WinAnonymousSid, 0},
      {"Network", WinNetworkSid, 0},
      {"Local Service", WinLocalServiceSid, 0},
  };
  for (const auto& c : cases) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    ASSERT_TRUE(CreateWellKnownSid(c.sid, nullptr, sid, &size)) << c.trustee;
    const DWORD rights = RightsOf(sid);
    EXPECT_EQ(rights, c.rights) << c.trustee << " holds " << RightNames(rights) << "; expected "
                                << RightNames(c.rights);
  }
}

// A handle the manager never gave out: the failing call's reason comes back rather than a
// success. Under Wine SetServiceObjectSecurity accepts any handle, so there it is the failure
// actions' call that answers.
TEST(ProtectServiceEntry, ReportsTheFailureOfAnUnknownHandle) {
  EXPECT_EQ(platform::ProtectServiceEntry(0), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
}

}  // namespace
