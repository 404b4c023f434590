#include "platform/folder_security.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>

namespace platform {

namespace {

struct FreeDeleter {
  void operator()(char* text) const { std::free(text); }  // NOLINT(*-no-malloc, *-owning-memory)
};

PosixFolderEntry Entry(const std::string& path) {
  PosixFolderEntry entry{path};
  struct stat status {};
  // lstat, not stat: the path is canonical, so a link found here was put there after it was
  // resolved, and must show as what it is rather than as the folder it points to.
  if (::lstat(path.c_str(), &status) != 0) {
    entry.error = errno;
    return entry;
  }
  entry.mode = status.st_mode;
  entry.uid = status.st_uid;
  return entry;
}

}  // namespace

PosixFolderChain ReadFolderSecurity(const std::string& path) {
  PosixFolderChain chain;
  const std::unique_ptr<char, FreeDeleter> resolved(::realpath(path.c_str(), nullptr));
  if (!resolved) {
    chain.absent = errno == ENOENT;
    chain.error = chain.absent ? 0 : errno;
    return chain;
  }
  std::string folder = resolved.get();
  for (;;) {
    chain.entries.push_back(Entry(folder));
    const std::string::size_type slash = folder.rfind('/');
    if (folder == "/" || slash == std::string::npos) {
      break;
    }
    folder.resize(slash == 0 ? 1 : slash);
  }
  return chain;
}

}  // namespace platform
