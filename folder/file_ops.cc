#include "folder/file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

CFileOpObserver* g_Observer = nullptr;

void Notify(FileOp op, int fd = -1, const char* bytes = nullptr, std::size_t count = 0,
            off_t offset = 0) {
  if (g_Observer != nullptr) g_Observer->Before(op, fd, bytes, count, offset);
}

}  // namespace

CFileOpObserver* SetFileOpObserver(CFileOpObserver* observer) {
  CFileOpObserver* previous = g_Observer;
  g_Observer = observer;
  return previous;
}

int CreateExclusive(const std::string& path, mode_t mode) {
  Notify(FileOp::Create);
  for (;;) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

bool WriteAllAt(int fd, const char* bytes, std::size_t count, off_t offset) {
  Notify(FileOp::Write, fd, bytes, count, offset);
  while (count > 0) {
    const ssize_t n = pwrite(fd, bytes, count, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    bytes += n;
    offset += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

bool SyncFile(int fd) {
  Notify(FileOp::Sync, fd);
  return fsync(fd) == 0;
}

bool ChangeOwner(int fd, uid_t owner, gid_t group) {
  Notify(FileOp::Chown, fd);
  return fchown(fd, owner, group) == 0;
}

bool ChangeMode(int fd, mode_t mode) {
  Notify(FileOp::Chmod, fd);
  return fchmod(fd, mode) == 0;
}

bool SetExtendedAttribute(int fd, const std::string& name, const std::string& value) {
  Notify(FileOp::SetXattr, fd);
  return fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) == 0;
}

bool RemoveExtendedAttribute(int fd, const std::string& name) {
  Notify(FileOp::RemoveXattr, fd);
  return fremovexattr(fd, name.c_str()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to) {
  Notify(FileOp::Rename);
  return rename(from.c_str(), to.c_str()) == 0;
}

bool UnlinkFile(const std::string& path) {
  Notify(FileOp::Unlink);
  return unlink(path.c_str()) == 0;
}

bool SyncFolderOf(const std::string& path) {
  Notify(FileOp::SyncFolder);
  const CDescriptor folder(open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return folder.Get() >= 0 && fsync(folder.Get()) == 0;
}

CDescriptor::~CDescriptor() {
  if (m_Fd >= 0) close(m_Fd);
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string ErrorText(int error) { return std::strerror(error); }
