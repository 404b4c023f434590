// The Windows reader through the system's own calls: descriptors made from SDDL by
// ConvertStringSecurityDescriptorToSecurityDescriptorA give the facts the decision's tables
// are written with, and real folders of the prefix read back as the system keeps them.
#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "../service/folder_descriptor_cases.h"
#include "platform/folder_security.h"
#include "service/install_folder.h"

namespace platform {

// Readable failures.
void PrintTo(const AceFacts& ace, std::ostream* out) {
  *out << "{kind " << static_cast<int>(ace.kind) << " type " << int{ace.type} << " trustee "
       << static_cast<int>(ace.trustee) << " " << ace.sid << (ace.isOwner ? " owner" : "")
       << (ace.inheritOnly ? " inherit-only" : "") << " mask " << std::hex << ace.mask << std::dec
       << "}";
}
void PrintTo(const WindowsFolderFacts& facts, std::ostream* out) {
  *out << "{owner " << facts.ownerSid << " kind " << static_cast<int>(facts.ownerKind)
       << (facts.ownerIsProcessUser ? " process user" : "") << (facts.nullDacl ? " null" : "")
       << (facts.madeUpByWine ? " wine" : "") << " absent " << facts.absent << " error "
       << facts.error;
  for (const AceFacts& ace : facts.aces) {
    *out << " ";
    PrintTo(ace, out);
  }
  *out << "}";
}

}  // namespace platform

namespace {

using platform::TrusteeKind;
using platform::WindowsFolderFacts;

struct LocalFreeDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};
using Descriptor = std::unique_ptr<void, LocalFreeDeleter>;

Descriptor FromSddl(const std::string& sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                           &descriptor, nullptr) == FALSE) {
    ADD_FAILURE() << sddl << ": error " << GetLastError();
    return nullptr;
  }
  return Descriptor(descriptor);
}

bool Passes(const std::optional<std::string>& reason, const std::string& expected) {
  return expected.empty() ? !reason.has_value()
                          : reason.has_value() && reason->find(expected) != std::string::npos;
}

// A NULL DACL and Administrators the owner, made with the calls that say so: Wine's SDDL
// parser turns "D:NO_ACCESS_CONTROL" into an empty DACL (which would deny everyone) instead.
Descriptor NullDacl() {
  Descriptor descriptor(LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
  PSID administrators = nullptr;
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  static PSID kept = nullptr;  // the descriptor points at it; freed with the process
  if (kept == nullptr) {
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                             0, 0, 0, &administrators);
    kept = administrators;
  }
  EXPECT_NE(InitializeSecurityDescriptor(descriptor.get(), SECURITY_DESCRIPTOR_REVISION), FALSE);
  EXPECT_NE(SetSecurityDescriptorOwner(descriptor.get(), kept, FALSE), FALSE);
  EXPECT_NE(SetSecurityDescriptorDacl(descriptor.get(), TRUE, nullptr, FALSE), FALSE);
  return descriptor;
}

TEST(FolderSecurityWin32Test, DescriptorsFromSddl) {
  for (const auto& row : folder_cases::DescriptorCases()) {
    const Descriptor descriptor = row.facts.nullDacl ? NullDacl() : FromSddl(row.sddl);
    ASSERT_TRUE(descriptor) << row.name;
    const WindowsFolderFacts facts = platform::FolderSecurityFromDescriptor(descriptor.get());
    EXPECT_EQ(facts, row.facts) << row.name;
    const auto reason = RefusalReason("C:\\t", facts);
    EXPECT_TRUE(Passes(reason, row.reason))
        << row.name << ": " << reason.value_or("passes") << ", expected " << row.reason;
  }
}

// The SID of this process's user, as text.
std::string ProcessUser() {
  HANDLE token = nullptr;
  EXPECT_NE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token), FALSE);
  char buffer[256];
  DWORD size = sizeof buffer;
  std::string text;
  if (GetTokenInformation(token, TokenUser, buffer, size, &size) != FALSE) {
    char* sid = nullptr;
    ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid);
    text = sid;
    LocalFree(sid);
  }
  CloseHandle(token);
  return text;
}

// The test's paths are ASCII; past MAX_PATH only the wide calls take them, in the long form.
std::wstring LongWide(const std::string& path) {
  return L"\\\\?\\" + std::wstring(path.begin(), path.end());
}

class PrefixFolders : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH + 1];
    ASSERT_NE(GetTempPathA(sizeof temp, temp), 0U);
    base_ = std::string(temp) + "talvoro-folder-" + std::to_string(GetCurrentProcessId());
    ASSERT_NE(CreateDirectoryA(base_.c_str(), nullptr), FALSE) << base_;
  }
  void TearDown() override {
    for (auto folder = made_.rbegin(); folder != made_.rend(); ++folder) {
      RemoveDirectoryW(LongWide(*folder).c_str());
    }
    RemoveDirectoryA(base_.c_str());
  }
  std::string Make(const std::string& name) {
    std::string path = base_ + "\\" + name;
    EXPECT_NE(CreateDirectoryW(LongWide(path).c_str(), nullptr), FALSE) << path;
    made_.push_back(path);
    return path;
  }

  std::string base_;
  std::vector<std::string> made_;
};

TEST_F(PrefixFolders, AbsentAndLongPaths) {
  EXPECT_TRUE(platform::ReadFolderSecurity(base_ + "\\none").absent);
  EXPECT_TRUE(platform::ReadFolderSecurity(base_ + "\\none\\bin").absent);
  // Past MAX_PATH, as the executable's folder may be.
  std::string path = base_;
  for (int part = 0; part < 3; ++part) {
    path = Make(path.substr(base_.size() + (part == 0 ? 0 : 1)) + (part == 0 ? "" : "\\") +
                std::string(120, static_cast<char>('a' + part)));
  }
  ASSERT_GT(path.size(), static_cast<std::size_t>(MAX_PATH));
  const WindowsFolderFacts facts = platform::ReadFolderSecurity(path);
  EXPECT_FALSE(facts.absent);
  EXPECT_EQ(facts.error, 0);
  EXPECT_FALSE(facts.ownerSid.empty());
}

// Wine keeps no descriptor for a folder (its server has no store for one: no extended
// attribute is written, and what is set is turned into the Unix mode). It makes one up on each
// read: the Wine user the owner, SYSTEM and that user full, Everyone per the "other" bits. So a
// descriptor set here reads back as that: the owner never changes, Everyone's rights follow
// what the set DACL gave Everyone, entries for anyone else are dropped, and a NULL DACL clears
// every mode bit. Windows' own descriptors, kept as set, are what DescriptorsFromSddl checks;
// that a real folder keeps them cannot be shown here.
TEST_F(PrefixFolders, WhatWineKeeps) {
  const WindowsFolderFacts created = platform::ReadFolderSecurity(Make("created"));
  if (!created.madeUpByWine) {
    GTEST_SKIP() << "written for Wine's made-up descriptors";
  }
  const std::string user = ProcessUser();
  const uint32_t readExecute = 0x1200a9;
  const uint32_t everyoneAll = 0x1301ff;    // what Wine gives Everyone for mode o=rwx
  const uint32_t everyoneWrite = 0x130156;  // and for o=w
  struct Row {
    const char* name;
    std::string sddl;      // set on the folder; empty: as created
    uint32_t everyone;     // Everyone's mask read back; 0: no entry for Everyone
    const char* decision;  // "": passes
  };
  const std::string programFiles = folder_cases::DescriptorCases()[0].sddl;
  const std::vector<Row> rows = {
      {"as created (mode 0755 by the umask)", "", readExecute, ""},
      {"the Program Files descriptor", programFiles, 0, ""},
      {"Everyone may add files", "O:BAD:(A;;FA;;;BA)(A;;0x2;;;WD)", everyoneWrite,
       "lets S-1-1-0 write data"},
      {"Everyone full", "O:BAD:(A;;FA;;;BA)(A;;FA;;;WD)", everyoneAll, "lets S-1-1-0"},
      // Windows refuses both; Wine keeps nothing of either.
      {"Users GENERIC_ALL (dropped)", "O:BAD:(A;;FA;;;BA)(A;;GA;;;BU)", 0, ""},
      {"owner a user (ignored)", "O:" + std::string(folder_cases::kUser) + "D:(A;;FA;;;SY)", 0, ""},
      {"NULL DACL (mode 0000)", "O:BAD:NO_ACCESS_CONTROL", 0, ""},
  };
  int index = 0;
  for (const Row& row : rows) {
    const std::string folder = Make("case" + std::to_string(index++));
    if (!row.sddl.empty()) {
      const Descriptor descriptor = FromSddl(row.sddl);
      ASSERT_NE(
          SetFileSecurityA(folder.c_str(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                           descriptor.get()),
          FALSE)
          << row.name << ": error " << GetLastError();
    }
    const WindowsFolderFacts facts = platform::ReadFolderSecurity(folder);
    EXPECT_TRUE(facts.madeUpByWine) << row.name;
    EXPECT_EQ(facts.ownerSid, user) << row.name;
    EXPECT_TRUE(facts.ownerIsProcessUser) << row.name;
    EXPECT_FALSE(facts.nullDacl) << row.name;
    uint32_t everyone = 0;
    for (const auto& ace : facts.aces) {
      EXPECT_EQ(ace.kind, platform::AceKind::kAllow) << row.name;
      if (ace.sid == "S-1-1-0") {
        everyone = ace.mask;
      } else {
        EXPECT_TRUE(ace.trustee == TrusteeKind::kSystem || ace.isOwner) << row.name;
      }
    }
    EXPECT_EQ(everyone, row.everyone) << row.name;
    const auto reason = RefusalReason(folder, facts);
    EXPECT_TRUE(Passes(reason, row.decision))
        << row.name << ": " << reason.value_or("passes") << ", expected " << row.decision;
  }
}

// -i's own check on a real folder and its bin.
TEST_F(PrefixFolders, InstallCheck) {
  const std::string folder = Make("svc");
  const std::string exe = folder + "\\talvoro_macadress.exe";
  const auto asCreated = CheckInstallFolder(exe);
  if (!platform::ReadFolderSecurity(folder).madeUpByWine) {
    GTEST_SKIP() << "written for Wine's made-up descriptors";
  }
  EXPECT_FALSE(asCreated.has_value()) << asCreated.value_or(FolderRefusal{}).reason;
  const std::string bin = Make("svc\\bin");
  const Descriptor everyone = FromSddl("O:BAD:(A;;FA;;;BA)(A;;FA;;;WD)");
  ASSERT_NE(SetFileSecurityA(bin.c_str(), DACL_SECURITY_INFORMATION, everyone.get()), FALSE);
  const auto refused = CheckInstallFolder(exe);
  ASSERT_TRUE(refused.has_value());
  EXPECT_EQ(refused->folder, folder);
  EXPECT_EQ(refused->reason.rfind(bin + " lets S-1-1-0 ", 0), 0U) << refused->reason;
}

}  // namespace
