#include "service/install_folder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "folder_descriptor_cases.h"

namespace {

using platform::PosixFolderChain;
using platform::PosixFolderEntry;
using platform::TrusteeKind;
using platform::WindowsFolderFacts;

constexpr uint32_t kFolder = 0040000;
constexpr uint32_t kLink = 0120000;

// /opt/talvoro and the folders above it, each root's and 0755 unless a row changes one.
PosixFolderChain OptChain(const std::vector<PosixFolderEntry>& changed = {}) {
  PosixFolderChain chain;
  chain.entries = {{"/opt/talvoro", 0, kFolder | 0755, 0},
                   {"/opt", 0, kFolder | 0755, 0},
                   {"/", 0, kFolder | 0755, 0}};
  for (const PosixFolderEntry& entry : changed) {
    for (PosixFolderEntry& mine : chain.entries) {
      if (mine.path == entry.path) {
        mine = entry;
      }
    }
  }
  return chain;
}

TEST(InstallFolderTest, LinuxChains) {
  struct Row {
    const char* name;
    PosixFolderChain chain;
    std::string reason;  // empty: passes
  };
  PosixFolderChain absent;
  absent.absent = true;
  PosixFolderChain unresolved;
  unresolved.error = 13;
  const std::vector<Row> rows = {
      {"every folder root's, 0755", OptChain(), ""},
      {"the folder world-writable", OptChain({{"/opt/talvoro", 0, kFolder | 0777, 0}}),
       "/opt/talvoro is writable by its group and others (mode 0777)"},
      {"the folder group-writable", OptChain({{"/opt/talvoro", 0, kFolder | 0775, 0}}),
       "/opt/talvoro is writable by its group (mode 0775)"},
      {"a folder above it writable by others", OptChain({{"/opt", 0, kFolder | 0757, 0}}),
       "/opt is writable by others (mode 0757)"},
      {"a sticky world-writable folder above it, as the shared temporary one",
       OptChain({{"/opt", 0, kFolder | 01777, 0}}), ""},
      {"the folder itself sticky and group-writable",
       OptChain({{"/opt/talvoro", 0, kFolder | 01775, 0}}), ""},
      {"the folder owned by a user", OptChain({{"/opt/talvoro", 0, kFolder | 0755, 1000}}),
       "/opt/talvoro is owned by uid 1000, not root"},
      {"a folder above it owned by nobody", OptChain({{"/opt", 0, kFolder | 0755, 65534}}),
       "/opt is owned by uid 65534, not root"},
      {"the root owned by a user", OptChain({{"/", 0, kFolder | 0755, 1000}}),
       "/ is owned by uid 1000, not root"},
      {"a sticky folder owned by a user", OptChain({{"/opt", 0, kFolder | 01777, 1000}}),
       "/opt is owned by uid 1000, not root"},
      {"a folder above it that cannot be examined", OptChain({{"/opt", 13, 0, 0}}),
       "/opt cannot be examined (error 13)"},
      {"a link where a folder was resolved", OptChain({{"/opt", 0, kLink | 0777, 0}}),
       "/opt is not a folder (mode 0777, type 120000)"},
      {"a path that cannot be resolved", unresolved, "/opt/talvoro cannot be resolved (error 13)"},
      {"a path that is not there", absent, "/opt/talvoro does not exist"},
  };
  for (const Row& row : rows) {
    const auto reason = RefusalReason("/opt/talvoro", row.chain);
    if (row.reason.empty()) {
      EXPECT_FALSE(reason.has_value()) << row.name << ": " << reason.value_or("");
    } else {
      EXPECT_EQ(reason.value_or("passes"), row.reason) << row.name;
    }
  }
}

TEST(InstallFolderTest, WindowsDescriptors) {
  for (const auto& row : folder_cases::DescriptorCases()) {
    const auto reason = RefusalReason(R"(C:\Program Files\Talvoro)", row.facts);
    if (row.reason.empty()) {
      EXPECT_FALSE(reason.has_value()) << row.name << ": " << reason.value_or("");
    } else {
      ASSERT_TRUE(reason.has_value()) << row.name;
      EXPECT_NE(reason->find(row.reason), std::string::npos) << row.name << ": " << *reason;
      EXPECT_EQ(reason->rfind(R"(C:\Program Files\Talvoro )", 0), 0U) << *reason;
    }
  }
}

// Wine makes every folder's descriptor up from the Unix owner and mode: the Wine user (the
// process's own) owns it, SYSTEM and that user have every right, Everyone what "other" has.
TEST(InstallFolderTest, DescriptorsWineMakesUp) {
  using folder_cases::Facts;
  using folder_cases::kFullAccess;
  using folder_cases::Other;
  using folder_cases::System;
  const std::string wineUser = "S-1-5-21-0-0-0-1000";
  const auto made = [&](const std::string& owner, uint32_t everyone, bool fromWine,
                        bool processUser) {
    WindowsFolderFacts facts =
        Facts(owner, TrusteeKind::kOther,
              {System(kFullAccess), Other(owner, kFullAccess), Other("S-1-1-0", everyone)});
    facts.madeUpByWine = fromWine;
    facts.ownerIsProcessUser = processUser;
    return facts;
  };
  struct Row {
    const char* name;
    WindowsFolderFacts facts;
    std::string reason;
  };
  const std::vector<Row> rows = {
      {"mode 0755 of the Wine user", made(wineUser, 0x1200a9, true, true), ""},
      {"mode 0757 of the Wine user", made(wineUser, 0x1301ff, true, true),
       "lets S-1-1-0 write data, append data, delete"},
      // Another Unix user's folder: Wine names ANONYMOUS LOGON its owner.
      {"another Unix user's", made("S-1-5-7", 0x1200a9, true, false), "is owned by S-1-5-7"},
      // On Windows a folder an administrator unpacked is theirs; that is not Wine's case.
      {"the process's user on Windows", made(wineUser, 0x1200a9, false, true),
       "is owned by S-1-5-21-0-0-0-1000"},
  };
  for (const Row& row : rows) {
    const auto reason = RefusalReason("C:\\t", row.facts);
    if (row.reason.empty()) {
      EXPECT_FALSE(reason.has_value()) << row.name << ": " << reason.value_or("");
    } else {
      ASSERT_TRUE(reason.has_value()) << row.name;
      EXPECT_NE(reason->find(row.reason), std::string::npos) << row.name << ": " << *reason;
    }
  }
}

TEST(InstallFolderTest, UnusualWindowsFacts) {
  using folder_cases::Admins;
  using folder_cases::kFullAccess;
  WindowsFolderFacts noOwner;
  noOwner.aces = {Admins(kFullAccess)};
  WindowsFolderFacts unreadable;
  unreadable.error = 5;
  WindowsFolderFacts absent;
  absent.absent = true;
  WindowsFolderFacts objectEntry;
  objectEntry.ownerKind = TrusteeKind::kAdministrators;
  objectEntry.ownerSid = "S-1-5-32-544";
  objectEntry.aces = {
      platform::AceFacts{platform::AceKind::kOther, 5, TrusteeKind::kOther, "", false, false, 0x2}};
  WindowsFolderFacts readOnlyObjectEntry = objectEntry;
  readOnlyObjectEntry.aces[0].mask = 0x1200a9;
  struct Row {
    const char* name;
    WindowsFolderFacts facts;
    std::string reason;
  };
  const std::vector<Row> rows = {
      {"no owner", noOwner, "C:\\t has no owner"},
      {"descriptor unreadable", unreadable, "the security of C:\\t cannot be read (error 5)"},
      {"not there", absent, "C:\\t does not exist"},
      {"an entry of a kind the reader cannot read, granting write", objectEntry,
       "C:\\t has an access entry of type 5 with write data (0x00000002)"},
      {"an entry of a kind the reader cannot read, granting reading", readOnlyObjectEntry, ""},
  };
  for (const Row& row : rows) {
    const auto reason = RefusalReason("C:\\t", row.facts);
    EXPECT_EQ(reason.value_or(""), row.reason) << row.name;
  }
}

// The folders the check asks about, and which folder a refusal names.
std::vector<std::string> Asked;
platform::FolderFacts BinWritable;  // what the reader says of any path ending in "bin"
platform::FolderFacts Record(const std::string& path) {
  Asked.push_back(path);
  return {};
}

#ifndef _WIN32
TEST(InstallFolderTest, FoldersAskedOnLinux) {
  struct Row {
    const char* executable;
    std::vector<std::string> asked;
  };
  const std::vector<Row> rows = {
      {"/opt/talvoro/talvoro_macadress", {"/opt/talvoro", "/opt/talvoro/bin"}},
      {"/talvoro_macadress", {"/", "/bin"}},
  };
  for (const Row& row : rows) {
    Asked.clear();
    BinWritable = platform::FolderFacts{};
    BinWritable.absent = true;
    // bin is asked only when the folder passes.
    const auto check = CheckInstallFolder(row.executable, [](const std::string& path) {
      Asked.push_back(path);
      if (path.ends_with("bin")) {
        return BinWritable;
      }
      return OptChain();
    });
    EXPECT_FALSE(check.has_value()) << row.executable;
    EXPECT_EQ(Asked, row.asked) << row.executable;
  }
}

TEST(InstallFolderTest, BinDecidesToo) {
  const auto withBin = [](const PosixFolderChain& bin) {
    BinWritable = bin;
    return CheckInstallFolder("/opt/talvoro/talvoro_macadress", [](const std::string& path) {
      return path.ends_with("bin") ? BinWritable : OptChain();
    });
  };
  PosixFolderChain writableBin = OptChain();
  writableBin.entries.insert(writableBin.entries.begin(),
                             {"/opt/talvoro/bin", 0, kFolder | 0777, 0});
  const auto refused = withBin(writableBin);
  ASSERT_TRUE(refused.has_value());
  EXPECT_EQ(refused->folder, "/opt/talvoro");
  EXPECT_EQ(refused->reason, "/opt/talvoro/bin is writable by its group and others (mode 0777)");
  EXPECT_EQ(FormatFolderRefusal(*refused),
            "Refused to install from /opt/talvoro: /opt/talvoro/bin is writable by its group and "
            "others (mode 0777)\n");
  // bin a link to a user's folder: its chain is the target's.
  PosixFolderChain linkedBin;
  linkedBin.entries = {{"/home/u/bin", 0, kFolder | 0755, 1000},
                       {"/home/u", 0, kFolder | 0755, 1000},
                       {"/home", 0, kFolder | 0755, 0},
                       {"/", 0, kFolder | 0755, 0}};
  EXPECT_EQ(withBin(linkedBin).value_or(FolderRefusal{}).reason,
            "/home/u/bin is owned by uid 1000, not root");
  PosixFolderChain unreadableBin;
  unreadableBin.error = 13;
  EXPECT_TRUE(withBin(unreadableBin).has_value());
  PosixFolderChain absentBin;
  absentBin.absent = true;
  EXPECT_FALSE(withBin(absentBin).has_value());
}
#else
TEST(InstallFolderTest, FoldersAskedOnWindows) {
  struct Row {
    const char* executable;
    std::vector<std::string> asked;
  };
  const std::vector<Row> rows = {
      {R"(C:\Program Files\Talvoro\talvoro_macadress.exe)",
       {R"(C:\Program Files\Talvoro)", R"(C:\Program Files\Talvoro\bin)"}},
      // The drive's root, not "C:", which names the drive's current folder.
      {R"(C:\talvoro_macadress.exe)", {R"(C:\)", R"(C:\bin)"}},
  };
  for (const Row& row : rows) {
    Asked.clear();
    CheckInstallFolder(row.executable, [](const std::string& path) {
      Asked.push_back(path);
      return folder_cases::DescriptorCases()[0].facts;
    });
    EXPECT_EQ(Asked, row.asked) << row.executable;
  }
}
#endif

TEST(InstallFolderTest, PathWithoutFolder) {
  Asked.clear();
  const auto refused = CheckInstallFolder("talvoro_macadress", &Record);
  ASSERT_TRUE(refused.has_value());
  EXPECT_TRUE(Asked.empty());
}

TEST(InstallFolderTest, LongFolderLoggedWhole) {
  const FolderRefusal refusal{"/" + std::string(2000, 'd'), "why"};
  EXPECT_EQ(FormatFolderRefusal(refusal), "Refused to install from " + refusal.folder + ": why\n");
}

}  // namespace
