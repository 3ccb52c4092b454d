// A complete new version of a file, written beside it under a hidden name
// and renamed over it only once it is whole: until then the original stays
// as it was. The temporary goes when the object does, unless it was
// committed; a stopped process leaves it hidden (".kestrune-XXXXXX"), and a
// later run that writes removes it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

// The prefix of every temporary's name.
extern const char kTemporaryPrefix[];

class CNewFile {
 public:
  CNewFile() = default;
  ~CNewFile();
  CNewFile(const CNewFile&) = delete;
  CNewFile& operator=(const CNewFile&) = delete;

  // Creates the temporary beside `path` (open as `originalFd`, with status
  // `original`), with its owner, group, mode bits (setuid and setgid too)
  // and extended attributes, ACLs among them. False, with a reason, when
  // any of them cannot be kept or the file has other hard links, which a
  // rename would part from it.
  bool Create(const std::string& path, int originalFd, const struct stat& original,
              std::string& reason);
  // Appends to the temporary.
  bool Append(const char* bytes, std::size_t count, std::string& reason);
  // Gives the temporary the original's mode bits and flushes it to disk,
  // for reading back before the commit.
  bool Flush(std::string& reason);
  // Renames the flushed temporary over the file and flushes the folder.
  bool Commit(std::string& reason);

  int Fd() const { return m_Fd; }
  const std::string& Path() const { return m_Path; }

 private:
  bool KeepMetadata(int originalFd, const struct stat& original, std::string& reason);

  std::string m_Target, m_Path;
  int m_Fd = -1;
  off_t m_Size = 0;
  mode_t m_Mode = 0600;
  bool m_Committed = false;
};
