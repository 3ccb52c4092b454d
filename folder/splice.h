// What every editor of a container produces: the byte ranges of the
// original file that its edit replaces, and nothing else. The rest of the
// file is copied as it stands, and the result is checked against the
// original outside these ranges, so an editor that keeps every other byte
// only has to say which ones it changes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "text/wide.h"

struct Splice {
  std::uint64_t offset = 0;  // in the original file
  std::uint64_t length = 0;  // bytes of the original replaced (0: an insertion)
  std::string bytes;         // what stands there instead
};

// Sorted by offset, none overlapping another; empty when the file already
// says what it should.
using Splices = std::vector<Splice>;

// Random access to the original file, for editors that read only the parts
// they need.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t Size() const = 0;
  // Exactly `length` bytes at `offset`; false when the file ends before
  // them or cannot be read.
  virtual bool Read(std::uint64_t offset, std::size_t length, std::string& bytes) const = 0;
};

// A file held in memory: the tests' files, and small ones.
class StringSource final : public ByteSource {
 public:
  explicit StringSource(std::string bytes) : m_Bytes(std::move(bytes)) {}
  std::uint64_t Size() const override { return m_Bytes.size(); }
  bool Read(std::uint64_t offset, std::size_t length, std::string& bytes) const override;

 private:
  std::string m_Bytes;
};

// The whole file with `splices` applied, for tests and small files.
std::string ApplySplices(const std::string& original, const Splices& splices);

// False unless the splices are sorted, apart and inside a file of `size` bytes.
bool SplicesAreOrdered(const Splices& splices, std::uint64_t size);

// The value as UTF-8; false when it holds a UTF-16 surrogate without its
// partner, which no container can store faithfully.
bool EncodeUtf8(const WideString& value, std::string& utf8);

// The value as UTF-16 little-endian bytes (no terminator); false as above.
bool EncodeUtf16Le(const WideString& value, std::string& bytes);

// Little- and big-endian integers of `count` bytes at `at` (which the caller
// has checked to lie inside `bytes`), and their inverses.
std::uint64_t LittleEndian(const std::string& bytes, std::size_t at, int count);
std::uint64_t BigEndian(const std::string& bytes, std::size_t at, int count);
std::string LittleEndianBytes(std::uint64_t value, int count);
std::string BigEndianBytes(std::uint64_t value, int count);
