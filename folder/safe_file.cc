#include "folder/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) : m_Fd(fd) {}
  ~Descriptor() {
    if (m_Fd >= 0) close(m_Fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return m_Fd; }
  bool Close() {
    const int fd = m_Fd;
    m_Fd = -1;
    return close(fd) == 0;
  }

 private:
  int m_Fd;
};

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool WritableByMode(const struct stat& status) { return (status.st_mode & 0222) != 0; }

}  // namespace

bool ReadBytes(const std::string& path, std::size_t offset, std::size_t length,
               std::string& bytes) {
  Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  return file.Get() >= 0 && ReadBytes(file.Get(), offset, length, bytes);
}

bool ReadBytes(int fd, std::size_t offset, std::size_t length, std::string& bytes) {
  // Reused, so that a read of a small file costs no clearing of a large buffer.
  thread_local std::vector<char> scratch;
  if (scratch.size() < length) scratch.resize(length);
  std::size_t got = 0;
  while (got < length) {
    const std::size_t wanted = length - got;
    const ssize_t n = pread(fd, scratch.data() + got, wanted, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    got += static_cast<std::size_t>(n);
    // A short read of a file is its end; asking again would only say so.
    if (static_cast<std::size_t>(n) < wanted) break;
  }
  bytes.assign(scratch.data(), got);
  return true;
}

bool MayChangeFile(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && WritableByMode(status) &&
         access(path.c_str(), W_OK) == 0;
}

bool WriteAll(int fd, const char* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t n = write(fd, bytes, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteInPlace(const std::string& path, std::size_t offset, const std::string& bytes) {
  Descriptor file(open(path.c_str(), O_WRONLY | O_CLOEXEC));
  if (file.Get() < 0) return false;
  // One call, so that a stop leaves the old bytes or the new ones.
  const ssize_t n = pwrite(file.Get(), bytes.data(), bytes.size(), static_cast<off_t>(offset));
  return n == static_cast<ssize_t>(bytes.size()) && file.Close();
}

bool CopyRange(const std::string& path, std::size_t offset, std::size_t length, int fd) {
  Descriptor source(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (source.Get() < 0) return false;
  std::vector<char> buffer(1 << 16);
  for (off_t at = static_cast<off_t>(offset); length > 0;) {
    const ssize_t n = pread(source.Get(), buffer.data(), std::min(buffer.size(), length), at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return length == std::string::npos;
    if (!WriteAll(fd, buffer.data(), static_cast<std::size_t>(n))) return false;
    at += n;
    if (length != std::string::npos) length -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string CreateTemporaryBeside(const std::string& path,
                                  const std::function<bool(int fd)>& fill) {
  struct stat original {};
  // A new file under one name would part it from the file's other names.
  if (stat(path.c_str(), &original) != 0 || original.st_nlink > 1) return std::string();
  const std::string folder = FolderOf(path);
  struct stat folderStatus {};
  if (stat(folder.c_str(), &folderStatus) != 0 || !WritableByMode(folderStatus) ||
      access(folder.c_str(), W_OK) != 0) {
    return std::string();
  }
  // Hidden, so that a walk of the library never takes it for music.
  std::string temporary = folder + "/.kestrune-XXXXXX";
  Descriptor file(mkstemp(&temporary[0]));
  if (file.Get() < 0) return std::string();
  bool written = fchmod(file.Get(), original.st_mode & 07777) == 0;
  if (written && geteuid() == 0) {
    written = fchown(file.Get(), original.st_uid, original.st_gid) == 0;
  }
  written = written && fill(file.Get()) && fsync(file.Get()) == 0;
  written = file.Close() && written;
  if (!written) {
    unlink(temporary.c_str());
    return std::string();
  }
  return temporary;
}

bool CommitTemporary(const std::string& temporary, const std::string& path) {
  {
    Descriptor file(open(temporary.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0 || fsync(file.Get()) != 0) {
      unlink(temporary.c_str());
      return false;
    }
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  Descriptor folder(open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.Get() >= 0) fsync(folder.Get());
  return true;
}
