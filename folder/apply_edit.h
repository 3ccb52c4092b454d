// Makes an editor's splices to a file so that no stop can tear it: in place,
// as one write, when the file keeps its size and every changed byte lies in
// one aligned 4 KiB block (the kernel finishes or skips such a write whole
// when a signal stops the process); otherwise through a complete new file,
// written beside it, flushed, read back byte for byte and renamed over it.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>

#include "folder/splice.h"

// Checks a file as written (the file itself, or the new file before it
// replaces it) by what it reads as; false, with a reason, undoes the write.
using AcceptWritten = std::function<bool(const std::string& written, std::string& reason)>;

// `fd` is the file at `path`, open for reading, whose status was `status`
// when the editor read it. Before anything is committed the written bytes
// are compared with the original's outside the splices and with the
// splices inside them, and the file must not have changed meanwhile.
bool ApplyEdit(const std::string& path, int fd, const struct stat& status, const Splices& splices,
               const AcceptWritten& accept, std::string& reason);

// Whether an edit that keeps the size and changes the bytes [first, last]
// may be made in place.
bool FitsOneBlock(std::uint64_t first, std::uint64_t last);
