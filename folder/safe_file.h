// File changes that leave every file either as it was or fully written,
// whenever the process is stopped: a single write in place that needs no new
// space, or a complete copy in a temporary file of the same folder that is
// flushed to disk and then renamed over the original.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

// The bytes [offset, offset + length) of the file, fewer at its end.
bool ReadBytes(const std::string& path, std::size_t offset, std::size_t length, std::string& bytes);
bool ReadBytes(int fd, std::size_t offset, std::size_t length, std::string& bytes);

// False when the file's permission bits or the caller's rights forbid
// changing it (root included: a read-only file stays unchanged).
bool MayChangeFile(const std::string& path);

// One write of `bytes` at `offset` of the existing file. It needs no new
// space and is whole or absent after a stop; flushing it at once would make
// it no more whole, only slower.
bool WriteInPlace(const std::string& path, std::size_t offset, const std::string& bytes);

// Writes a temporary file beside `path` with the original's permission
// bits and owner through `fill`, which gets its descriptor. Refused for a
// file with several hard links, which a rename would part.
// Returns the temporary's path, or an empty one on failure (nothing left).
std::string CreateTemporaryBeside(const std::string& path, const std::function<bool(int fd)>& fill);

// Flushes the temporary and renames it over `path`; on failure removes it.
bool CommitTemporary(const std::string& temporary, const std::string& path);

// Writes all of `bytes` to `fd`.
bool WriteAll(int fd, const char* bytes, std::size_t count);

// Copies `length` bytes of `path` from `offset` to `fd`, or up to its end
// when `length` is npos.
bool CopyRange(const std::string& path, std::size_t offset, std::size_t length, int fd);
