// Runs that write the same library take turns: the first write of a run
// takes an advisory lock on the library folder, which a second run waits
// for, and holds it to the end. Holding it, a run removes the temporaries
// that earlier runs left when they were stopped.
#pragma once

#include <string>
#include <vector>

class CLibraryLock {
 public:
  CLibraryLock() = default;
  ~CLibraryLock();
  CLibraryLock(const CLibraryLock&) = delete;
  CLibraryLock& operator=(const CLibraryLock&) = delete;

  void SetRoot(const std::string& root) { m_Root = root; }
  // Waits, once, until no other run writes the library; then removes the
  // stale temporaries among `seen`. False when the folder cannot be locked.
  bool Acquire(const std::vector<std::string>& seen);
  // Removes the stale temporaries among `seen` not yet removed, while the
  // lock is held.
  void RemoveStale(const std::vector<std::string>& seen);

 private:
  std::string m_Root;
  int m_Fd = -1;
  std::size_t m_Removed = 0;  // how many of `seen` have been looked at
};

// Whether the file at `path` is a temporary that a stopped write left: its
// name is one the tool makes, it is a plain file of this user's (or any, for
// root) that no live write holds locked, and it is empty or starts like an
// audio file.
bool IsStaleTemporary(const std::string& path);
