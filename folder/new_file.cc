#include "folder/new_file.h"

#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <vector>

#include "folder/file_ops.h"

const char kTemporaryPrefix[] = ".kestrune-";

namespace {

std::string RandomSuffix() {
  static const char kUnits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kUnits - 2);
  std::string suffix;
  for (int i = 0; i < 6; ++i) suffix.push_back(kUnits[pick(generator)]);
  return suffix;
}

// The names of the file's extended attributes; empty where there are none
// or the file system has none.
bool AttributeNames(int fd, std::vector<std::string>& names) {
  ssize_t size = flistxattr(fd, nullptr, 0);
  if (size < 0) return errno == ENOTSUP;
  std::string list(static_cast<std::size_t>(size), '\0');
  size = flistxattr(fd, &list[0], list.size());
  if (size < 0) return false;
  list.resize(static_cast<std::size_t>(size));
  for (std::size_t at = 0; at < list.size();) {
    const std::size_t end = list.find('\0', at);
    names.push_back(list.substr(at, end - at));
    at = end == std::string::npos ? list.size() : end + 1;
  }
  return true;
}

bool AttributeValue(int fd, const std::string& name, std::string& value) {
  const ssize_t size = fgetxattr(fd, name.c_str(), nullptr, 0);
  if (size < 0) return false;
  value.assign(static_cast<std::size_t>(size), '\0');
  const ssize_t got = fgetxattr(fd, name.c_str(), &value[0], value.size());
  if (got < 0) return false;
  value.resize(static_cast<std::size_t>(got));
  return true;
}

}  // namespace

CNewFile::~CNewFile() {
  if (m_Fd >= 0) close(m_Fd);
  if (!m_Path.empty() && !m_Committed) UnlinkFile(m_Path);
}

bool CNewFile::Create(const std::string& path, int originalFd, const struct stat& original,
                      std::string& reason) {
  if (original.st_nlink > 1) {
    reason = "it has other hard links, which a new file would part from it";
    return false;
  }
  const std::string folder = FolderOf(path);
  // Root may write anything; a read-only folder stays unchanged all the same.
  struct stat folderStatus {};
  if (stat(folder.c_str(), &folderStatus) == 0 && (folderStatus.st_mode & 0222) == 0) {
    reason = "a new file is needed and its folder is read-only";
    return false;
  }
  if (access(folder.c_str(), W_OK) != 0) {
    reason = "a new file is needed and its folder cannot be written (" + ErrorText(errno) + ")";
    return false;
  }
  m_Target = path;
  for (int attempt = 0; m_Fd < 0; ++attempt) {
    const std::string candidate = folder + "/" + kTemporaryPrefix + RandomSuffix();
    m_Fd = CreateExclusive(candidate, 0600);
    if (m_Fd >= 0) {
      m_Path = candidate;
      // Held while the file lives, so that no other run takes it for one
      // that a stopped run left.
      if (flock(m_Fd, LOCK_EX) != 0) {
        reason = "a new file beside it cannot be locked (" + ErrorText(errno) + ")";
        return false;
      }
    } else if (errno != EEXIST || attempt == 100) {
      reason = "a new file cannot be made beside it (" + ErrorText(errno) + ")";
      return false;
    }
  }
  return KeepMetadata(originalFd, original, reason);
}

bool CNewFile::KeepMetadata(int originalFd, const struct stat& original, std::string& reason) {
  // Only root may give a file away; anyone else's new file would be theirs.
  if (geteuid() != 0 && original.st_uid != geteuid()) {
    reason = "it belongs to another user, and a new file would change its owner";
    return false;
  }
  if (!ChangeOwner(m_Fd, original.st_uid, original.st_gid)) {
    reason = "its owner and group cannot be kept (" + ErrorText(errno) + ")";
    return false;
  }
  std::vector<std::string> names;
  if (!AttributeNames(originalFd, names)) {
    reason = "its extended attributes cannot be read (" + ErrorText(errno) + ")";
    return false;
  }
  for (const std::string& name : names) {
    std::string value;
    if (!AttributeValue(originalFd, name, value) || !SetExtendedAttribute(m_Fd, name, value)) {
      reason = "its extended attribute " + name + " cannot be kept (" + ErrorText(errno) + ")";
      return false;
    }
  }
  // A new file takes the folder's default access list, which the original
  // may not have: it would let others in.
  std::vector<std::string> inherited;
  if (!AttributeNames(m_Fd, inherited)) {
    reason = "the new file's extended attributes cannot be read (" + ErrorText(errno) + ")";
    return false;
  }
  for (const std::string& name : inherited) {
    if (std::find(names.begin(), names.end(), name) == names.end() &&
        !RemoveExtendedAttribute(m_Fd, name)) {
      reason = "the new file's extended attribute " + name + " cannot be removed (" +
               ErrorText(errno) + ")";
      return false;
    }
  }
  m_Mode = original.st_mode & 07777;
  return true;
}

bool CNewFile::Append(const char* bytes, std::size_t count, std::string& reason) {
  if (!WriteAllAt(m_Fd, bytes, count, m_Size)) {
    reason = "the new file cannot be written (" + ErrorText(errno) + ")";
    return false;
  }
  m_Size += static_cast<off_t>(count);
  return true;
}

bool CNewFile::Flush(std::string& reason) {
  // Last: a change of owner and every write clear the setuid and setgid
  // bits, and an ACL sets the group bits.
  if (!ChangeMode(m_Fd, m_Mode)) {
    reason = "its permission bits cannot be kept (" + ErrorText(errno) + ")";
    return false;
  }
  if (!SyncFile(m_Fd)) {
    reason = "the new file cannot be flushed to disk (" + ErrorText(errno) + ")";
    return false;
  }
  return true;
}

bool CNewFile::Commit(std::string& reason) {
  if (!RenameFile(m_Path, m_Target)) {
    reason = "the new file cannot replace it (" + ErrorText(errno) + ")";
    return false;
  }
  m_Committed = true;
  // The rename is made; a folder that cannot be flushed only makes it later.
  SyncFolderOf(m_Target);
  return true;
}
