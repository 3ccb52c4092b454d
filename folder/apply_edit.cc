#include "folder/apply_edit.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "folder/file_ops.h"
#include "folder/file_source.h"
#include "folder/new_file.h"

namespace {

constexpr std::uint64_t kBlock = 4096;
constexpr std::size_t kChunk = 1 << 20;
// Past this, an edit that keeps the size is not worth comparing for a
// write in place: it cannot fit one block anyway.
constexpr std::uint64_t kMostInPlaceSpan = 1 << 20;

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool Unchanged(int fd, const struct stat& status, std::string& reason) {
  struct stat now {};
  if (fstat(fd, &now) != 0 || !SameFile(now, status)) {
    reason = "it changed while it was being written";
    return false;
  }
  return true;
}

std::int64_t SizeChange(const Splices& splices) {
  std::int64_t change = 0;
  for (const Splice& splice : splices) {
    change +=
        static_cast<std::int64_t>(splice.bytes.size()) - static_cast<std::int64_t>(splice.length);
  }
  return change;
}

// The edited file, a piece at a time: the original's bytes between the
// splices, and the splices' own.
class EditedReader {
 public:
  EditedReader(int fd, std::uint64_t size, const Splices& splices)
      : m_Fd(fd), m_Size(size), m_Splices(splices) {}

  // The next piece; empty at the end. False when the original cannot be read.
  bool Next(std::string& piece) {
    piece.clear();
    while (piece.empty()) {
      if (m_Next < m_Splices.size() && m_At == m_Splices[m_Next].offset) {
        piece = m_Splices[m_Next].bytes;
        m_At += m_Splices[m_Next].length;
        ++m_Next;
        continue;
      }
      const std::uint64_t until = m_Next < m_Splices.size() ? m_Splices[m_Next].offset : m_Size;
      if (m_At >= until) return true;
      const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(until - m_At, kChunk));
      if (!ReadBytes(m_Fd, m_At, count, piece) || piece.size() != count) return false;
      m_At += count;
    }
    return true;
  }

 private:
  int m_Fd;
  std::uint64_t m_Size;
  const Splices& m_Splices;
  std::uint64_t m_At = 0;
  std::size_t m_Next = 0;
};

bool WriteNewFile(const std::string& path, int fd, const struct stat& status,
                  const Splices& splices, const AcceptWritten& accept, std::string& reason) {
  const auto size = static_cast<std::uint64_t>(status.st_size);
  CNewFile file;
  if (!file.Create(path, fd, status, reason)) return false;
  EditedReader edited(fd, size, splices);
  std::uint64_t written = 0;
  for (std::string piece;;) {
    if (!edited.Next(piece)) {
      reason = "it cannot be read (" + ErrorText(errno) + ")";
      return false;
    }
    if (piece.empty()) break;
    if (!file.Append(piece.data(), piece.size(), reason)) return false;
    written += piece.size();
  }
  if (!file.Flush(reason)) return false;

  // Read back: a short write, a full disk or a bad sector shows here.
  EditedReader expected(fd, size, splices);
  std::uint64_t at = 0;
  for (std::string piece, back;;) {
    if (!expected.Next(piece)) {
      reason = "it cannot be read (" + ErrorText(errno) + ")";
      return false;
    }
    if (piece.empty()) break;
    if (!ReadBytes(file.Fd(), at, piece.size(), back) || back != piece) {
      reason = "the new file does not read back as written";
      return false;
    }
    at += piece.size();
  }
  std::string tail;
  if (at != written || !ReadBytes(file.Fd(), at, 1, tail) || !tail.empty()) {
    reason = "the new file does not read back as written";
    return false;
  }
  if (!accept(file.Path(), reason)) return false;
  if (!Unchanged(fd, status, reason)) return false;
  return file.Commit(reason);
}

bool WriteInPlace(const std::string& path, int fd, const struct stat& status, std::uint64_t first,
                  const std::string& before, const std::string& after, const AcceptWritten& accept,
                  std::string& reason) {
  const CDescriptor file(open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  const int out = file.Get();
  if (out < 0) {
    reason = "it cannot be opened for writing (" + ErrorText(errno) + ")";
    return false;
  }
  const auto offset = static_cast<off_t>(first);
  if (!Unchanged(fd, status, reason)) return false;
  // Puts the old bytes back where the block holds what this write left there
  // (a write that failed may still have changed some), not where another
  // writer has been since.
  const auto undo = [&](const std::string& left) {
    std::string back;
    if (!ReadBytes(fd, first, left.size(), back) || back != left) return;
    if (!WriteAllAt(out, before.data(), before.size(), offset)) {
      reason += "; the old bytes could not be put back (" + ErrorText(errno) + ")";
    }
  };
  if (!WriteAllAt(out, after.data(), after.size(), offset)) {
    reason = "it cannot be written (" + ErrorText(errno) + ")";
    std::string partly;
    if (ReadBytes(fd, first, after.size(), partly) && partly != before) undo(partly);
    return false;
  }
  std::string back;
  if (!ReadBytes(fd, first, after.size(), back) || back != after) {
    reason = "it does not read back as written";
    undo(back);
    return false;
  }
  if (!accept(path, reason)) {
    undo(after);
    return false;
  }
  return true;
}

}  // namespace

bool FitsOneBlock(std::uint64_t first, std::uint64_t last) {
  return first / kBlock == last / kBlock;
}

bool ApplyEdit(const std::string& path, int fd, const struct stat& status, const Splices& splices,
               const AcceptWritten& accept, std::string& reason) {
  const auto size = static_cast<std::uint64_t>(status.st_size);
  if (!SplicesAreOrdered(splices, size)) {
    reason = "the edit is inconsistent";
    return false;
  }
  if (splices.empty()) return accept(path, reason);
  if (SizeChange(splices) == 0) {
    const std::uint64_t from = splices.front().offset;
    const std::uint64_t to = splices.back().offset + splices.back().length;
    std::string before;
    if (to - from <= kMostInPlaceSpan &&
        ReadBytes(fd, from, static_cast<std::size_t>(to - from), before) &&
        before.size() == to - from) {
      Splices relative = splices;
      for (Splice& splice : relative) splice.offset -= from;
      const std::string after = ApplySplices(before, relative);
      const auto mismatch = std::mismatch(before.begin(), before.end(), after.begin());
      if (mismatch.first == before.end()) return accept(path, reason);
      std::size_t last = before.size() - 1;
      while (before[last] == after[last]) --last;
      const auto first = static_cast<std::size_t>(mismatch.first - before.begin());
      if (FitsOneBlock(from + first, from + last)) {
        return WriteInPlace(path, fd, status, from + first, before.substr(first, last + 1 - first),
                            after.substr(first, last + 1 - first), accept, reason);
      }
    }
  }
  return WriteNewFile(path, fd, status, splices, accept, reason);
}
