// Real folders: what the platform reads back of their modes, owners and links, and -i refusing
// the ones others may change. Owners are changed to nobody, which needs root.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/folder_security.h"
#include "service/host_state.h"
#include "service/service_control.h"

namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

class RealFolders : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = (fs::temp_directory_path() / "talvoro-folder-XXXXXX").string();
    ASSERT_NE(::mkdtemp(name.data()), nullptr);
    // Canonical, so that paths compare with what the reader resolves.
    tree_ = fs::canonical(name).string();
    ASSERT_EQ(::chmod(tree_.c_str(), 0755), 0);
  }
  void TearDown() override { fs::remove_all(tree_); }

  std::string Make(const std::string& relative, mode_t mode, uid_t owner = 0) {
    std::string path = tree_ + "/" + relative;
    fs::create_directories(path);
    EXPECT_EQ(::chmod(path.c_str(), mode), 0) << path;  // beyond the umask
    EXPECT_EQ(::chown(path.c_str(), owner, 0), 0) << path;
    return path;
  }

  std::string tree_;
};

TEST_F(RealFolders, ChainReadBack) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "changing owners needs root";
  }
  const std::string inner = Make("outer/inner", 0750);
  Make("outer", 0775, kNobody);
  const platform::PosixFolderChain chain = platform::ReadFolderSecurity(inner);
  ASSERT_FALSE(chain.absent);
  ASSERT_EQ(chain.error, 0);
  std::vector<std::string> paths;
  for (const auto& entry : chain.entries) {
    paths.push_back(entry.path);
    EXPECT_EQ(entry.error, 0) << entry.path;
    EXPECT_TRUE(S_ISDIR(entry.mode)) << entry.path;
  }
  std::vector<std::string> expected;
  for (fs::path up = inner; up != up.root_path(); up = up.parent_path()) {
    expected.push_back(up.string());
  }
  expected.emplace_back("/");
  EXPECT_EQ(paths, expected);
  ASSERT_GE(chain.entries.size(), 3U);
  EXPECT_EQ(chain.entries[0].mode & 07777, 0750U);
  EXPECT_EQ(chain.entries[0].uid, 0U);
  EXPECT_EQ(chain.entries[1].mode & 07777, 0775U);
  EXPECT_EQ(chain.entries[1].uid, kNobody);
}

TEST_F(RealFolders, LinksResolvedAndFailures) {
  const std::string target = Make("target", 0755);
  fs::create_directory_symlink(target, tree_ + "/link");
  fs::create_directory_symlink(tree_ + "/loop", tree_ + "/loop");
  std::ofstream(tree_ + "/file") << "x";
  const platform::PosixFolderChain linked = platform::ReadFolderSecurity(tree_ + "/link");
  ASSERT_FALSE(linked.entries.empty());
  EXPECT_EQ(linked.entries[0].path, target);  // the folder it reaches, not the link
  struct Row {
    const char* relative;
    bool absent;
    int error;
  };
  for (const Row& row :
       {Row{"none", true, 0}, Row{"file/x", false, ENOTDIR}, Row{"loop", false, ELOOP}}) {
    const platform::PosixFolderChain chain =
        platform::ReadFolderSecurity(tree_ + "/" + row.relative);
    EXPECT_EQ(chain.absent, row.absent) << row.relative;
    EXPECT_EQ(chain.error, row.error) << row.relative;
    EXPECT_TRUE(chain.entries.empty()) << row.relative;
  }
}

// A folder its reader may not enter: the reader is a child that has become nobody.
TEST_F(RealFolders, UnreadableForTheReader) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "becoming nobody needs root";
  }
  const std::string inner = Make("private", 0700) + "/inner";
  fs::create_directory(inner);
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
      ::_exit(200);
    }
    const platform::PosixFolderChain chain = platform::ReadFolderSecurity(inner);
    ::_exit(chain.absent ? 201 : chain.error);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), EACCES);
}

std::string ReadAll(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// -i itself: the refusal is the one entry, and the manager is never asked (which, without
// systemd on the machine, would log "OpenSCManager failed").
TEST_F(RealFolders, InstallRefuses) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "changing owners needs root";
  }
  struct Row {
    const char* name;
    mode_t folderMode;
    uid_t folderOwner;
    const char* bin;  // "": none; "folder MODE"; "link": to a folder nobody owns
    std::string reason;
  };
  const std::vector<Row> rows = {
      {"world-writable", 0777, 0, "", "svc is writable by its group and others (mode 0777)"},
      {"group-writable", 0770, 0, "", "svc is writable by its group (mode 0770)"},
      {"owned by nobody", 0755, kNobody, "", "svc is owned by uid 65534, not root"},
      {"bin world-writable", 0755, 0, "0777", "svc/bin is writable by its group and others"},
      {"bin a link to nobody's folder", 0755, 0, "link", "theirs is owned by uid 65534"},
  };
  for (const Row& row : rows) {
    const std::string folder = Make("svc", row.folderMode, row.folderOwner);
    if (std::string(row.bin) == "link") {
      fs::create_directory_symlink(Make("theirs", 0755, kNobody), folder + "/bin");
    } else if (*row.bin != '\0') {
      Make("svc/bin", static_cast<mode_t>(std::strtoul(row.bin, nullptr, 8)));
    }
    LogPath = tree_ + "/install.log";
    InstallServiceEntry(folder + "/talvoro_macadress", kServiceName);
    const std::string log = ReadAll(LogPath);
    const std::string expected =
        "    Refused to install from " + folder + ": " + tree_ + "/" + row.reason;
    EXPECT_NE(log.find(expected), std::string::npos) << row.name << ": " << log;
    EXPECT_EQ(log.find("OpenSCManager"), std::string::npos) << row.name << ": " << log;
    EXPECT_EQ(log.find('\n'), 20U) << row.name << ": one entry, " << log;  // the stamp line
    EXPECT_EQ(log.find('\n', 21), log.size() - 1) << row.name << ": one entry, " << log;
    fs::remove_all(folder);
    fs::remove_all(tree_ + "/theirs");
    fs::remove(LogPath);
  }
}

TEST_F(RealFolders, InstallGoesOnToTheManager) {
  if (fs::exists("/run/systemd/system")) {
    GTEST_SKIP() << "systemd runs this machine: -i would install for real";
  }
  const std::string folder = Make("svc", 0755);
  Make("svc/bin", 0755);
  LogPath = tree_ + "/install.log";
  InstallServiceEntry(folder + "/talvoro_macadress", kServiceName);
  const std::string log = ReadAll(LogPath);
  EXPECT_NE(log.find("    OpenSCManager failed, error code = "), std::string::npos) << log;
  EXPECT_EQ(log.find("Refused"), std::string::npos) << log;
}

}  // namespace
