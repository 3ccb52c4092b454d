#include "folder/file_source.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

bool ReadBytes(int fd, std::uint64_t offset, std::size_t length, std::string& bytes) {
  // Reused, so that a read of a small file costs no clearing of a large buffer.
  thread_local std::vector<char> scratch;
  if (scratch.size() < length) scratch.resize(length);
  std::size_t got = 0;
  while (got < length) {
    const std::size_t wanted = length - got;
    const ssize_t n = pread(fd, scratch.data() + got, wanted, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  bytes.assign(scratch.data(), got);
  return true;
}

bool FdSource::Read(std::uint64_t offset, std::size_t length, std::string& bytes) const {
  if (offset > m_Size || length > m_Size - offset) return false;
  return ReadBytes(m_Fd, offset, length, bytes) && bytes.size() == length;
}
