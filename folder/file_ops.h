// Every operation by which a write changes the disk goes through here, so
// that a test can stop the process at any one of them, or in the middle of a
// write, and then check what a stop there leaves behind.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

enum class FileOp {
  Create,
  Write,
  Sync,
  Chown,
  Chmod,
  SetXattr,
  RemoveXattr,
  Rename,
  Unlink,
  SyncFolder
};

// Sees each operation just before it happens. A test's observer may end
// the process there, or write part of a write's bytes itself and then end
// it, as a signal does to a write that spans pages.
class CFileOpObserver {
 public:
  virtual ~CFileOpObserver() = default;
  virtual void Before(FileOp op, int fd, const char* bytes, std::size_t count, off_t offset) = 0;
};

// The observer in place (none by default); returns the previous one.
CFileOpObserver* SetFileOpObserver(CFileOpObserver* observer);

// The operations, each as its system call, retried on EINTR; a write
// writes all its bytes or fails. False (or -1) with errno set on failure.
int CreateExclusive(const std::string& path, mode_t mode);
bool WriteAllAt(int fd, const char* bytes, std::size_t count, off_t offset);
bool SyncFile(int fd);
bool ChangeOwner(int fd, uid_t owner, gid_t group);
bool ChangeMode(int fd, mode_t mode);
bool SetExtendedAttribute(int fd, const std::string& name, const std::string& value);
bool RemoveExtendedAttribute(int fd, const std::string& name);
bool RenameFile(const std::string& from, const std::string& to);
bool UnlinkFile(const std::string& path);
bool SyncFolderOf(const std::string& path);

// A descriptor that is closed with its owner.
class CDescriptor {
 public:
  explicit CDescriptor(int fd) : m_Fd(fd) {}
  ~CDescriptor();
  CDescriptor(const CDescriptor&) = delete;
  CDescriptor& operator=(const CDescriptor&) = delete;
  int Get() const { return m_Fd; }

 private:
  int m_Fd;
};

// The folder part of a path ("." for a bare name).
std::string FolderOf(const std::string& path);

// strerror, for the reasons given to users.
std::string ErrorText(int error);
