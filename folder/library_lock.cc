#include "folder/library_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "folder/file_ops.h"
#include "folder/file_source.h"
#include "folder/new_file.h"

namespace {

bool IsNameUnit(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool LooksLikeAudio(const std::string& head) {
  static const char* const kStarts[] = {"ID3",  "fLaC", "OggS", "RIFF", "FORM",
                                        "MAC ", "MPCK", "MP+",  "wvpk", "TTA1"};
  for (const char* start : kStarts) {
    if (head.compare(0, std::strlen(start), start) == 0) return true;
  }
  static const char kAsf[] = "\x30\x26\xB2\x75\x8E\x66\xCF\x11";
  if (head.compare(0, 8, kAsf, 8) == 0) return true;
  if (head.size() >= 8 && head.compare(4, 4, "ftyp") == 0) return true;
  // An MPEG or ADTS frame.
  return head.size() >= 2 && static_cast<unsigned char>(head[0]) == 0xFF &&
         (static_cast<unsigned char>(head[1]) & 0xE0) == 0xE0;
}

}  // namespace

bool IsStaleTemporary(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  const std::size_t prefix = std::strlen(kTemporaryPrefix);
  if (name.size() != prefix + 6 || name.compare(0, prefix, kTemporaryPrefix) != 0) return false;
  for (std::size_t i = prefix; i < name.size(); ++i) {
    if (!IsNameUnit(name[i])) return false;
  }
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status {};
  std::string head;
  // A live write holds a lock on its temporary.
  const bool stale = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                     (geteuid() == 0 || status.st_uid == geteuid()) &&
                     flock(fd, LOCK_EX | LOCK_NB) == 0 && ReadBytes(fd, 0, 16, head) &&
                     (head.empty() || LooksLikeAudio(head));
  close(fd);
  return stale;
}

CLibraryLock::~CLibraryLock() {
  if (m_Fd >= 0) close(m_Fd);
}

bool CLibraryLock::Acquire(const std::vector<std::string>& seen) {
  if (m_Fd >= 0) return true;
  m_Fd = open(m_Root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (m_Fd < 0) return false;
  if (flock(m_Fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) {
      close(m_Fd);
      m_Fd = -1;
      return false;
    }
    std::fprintf(stderr, "kestrune: waiting for another run that writes this library\n");
    while (flock(m_Fd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        close(m_Fd);
        m_Fd = -1;
        return false;
      }
    }
  }
  RemoveStale(seen);
  return true;
}

void CLibraryLock::RemoveStale(const std::vector<std::string>& seen) {
  if (m_Fd < 0) return;
  for (; m_Removed < seen.size(); ++m_Removed) {
    if (IsStaleTemporary(seen[m_Removed])) UnlinkFile(seen[m_Removed]);
  }
}
