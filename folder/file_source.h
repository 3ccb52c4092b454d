// Reading a file that is open, for the checks and editors of the folder
// library.
#pragma once

#include <cstdint>
#include <string>

#include "folder/splice.h"

// The bytes [offset, offset + length) of the file, fewer at its end.
bool ReadBytes(int fd, std::uint64_t offset, std::size_t length, std::string& bytes);

// An open file of a known size, as editors read it.
class FdSource final : public ByteSource {
 public:
  FdSource(int fd, std::uint64_t size) : m_Fd(fd), m_Size(size) {}
  std::uint64_t Size() const override { return m_Size; }
  bool Read(std::uint64_t offset, std::size_t length, std::string& bytes) const override;

 private:
  int m_Fd;
  std::uint64_t m_Size;
};
