#include "folder/id3_file_edit.h"

#include <optional>

#include "folder/id3v2_edit.h"

namespace {

// The tag that starts at `at`; empty when there is none there.
bool ReadTag(const ByteSource& file, std::uint64_t at, std::uint64_t room, std::string& tag,
             std::string& reason) {
  tag.clear();
  std::string header;
  if (room < 10 || !file.Read(at, 10, header)) return true;
  const std::optional<std::size_t> size = Id3v2TagSize(header);
  if (!size) return true;
  if (*size > room || !file.Read(at, *size, tag)) {
    reason = "its ID3v2 tag is cut short";
    return false;
  }
  return true;
}

bool Edit(const std::string& tag, const WideString& value, std::string& edited,
          std::string& reason) {
  const std::optional<std::string> result = EditSortAlbumFrame(tag, value, &reason);
  if (!result) return false;
  edited = *result;
  return true;
}

}  // namespace

bool EditLeadingId3SortAlbum(const ByteSource& file, const WideString& value, Splices& splices,
                             std::string& reason) {
  splices.clear();
  std::string tag, edited;
  if (!ReadTag(file, 0, file.Size(), tag, reason) || !Edit(tag, value, edited, reason)) {
    return false;
  }
  if (edited != tag) splices.push_back({0, tag.size(), edited});
  return true;
}

bool EditChunkId3SortAlbum(const ByteSource& file, bool aiff, const WideString& value,
                           Splices& splices, std::string& reason) {
  splices.clear();
  const auto size = [aiff](const std::string& bytes, std::size_t at) {
    return aiff ? BigEndian(bytes, at, 4) : LittleEndian(bytes, at, 4);
  };
  const auto sizeBytes = [aiff](std::uint64_t value32) {
    return aiff ? BigEndianBytes(value32, 4) : LittleEndianBytes(value32, 4);
  };
  std::string header;
  if (!file.Read(0, 12, header) || header.compare(0, 4, aiff ? "FORM" : "RIFF") != 0) {
    reason = aiff ? "it is not an AIFF file" : "it is not a RIFF WAVE file";
    return false;
  }
  const std::string type = header.substr(8, 4);
  if (aiff ? type != "AIFF" && type != "AIFC" : type != "WAVE") {
    reason = aiff ? "its form is not AIFF" : "its form is not WAVE";
    return false;
  }
  const std::uint64_t formEnd = 8 + size(header, 4);
  if (formEnd < 12) {
    reason = "its form's size is too small to hold it";
    return false;
  }
  if (formEnd > file.Size()) {
    reason = "the file is cut short";
    return false;
  }

  // Every chunk inside the form, and the tag's among them.
  std::optional<std::uint64_t> tagChunk;
  std::uint64_t tagChunkSize = 0;
  std::uint64_t at = 12;
  for (std::string chunk; at < formEnd;) {
    if (formEnd - at < 8 || !file.Read(at, 8, chunk)) {
      reason = "its chunks do not add up to the size of its form";
      return false;
    }
    const std::uint64_t chunkSize = size(chunk, 4);
    const std::uint64_t next = at + 8 + chunkSize + (chunkSize & 1);
    // A last chunk of odd size may lack its pad byte.
    if (next > formEnd && !(next == formEnd + 1 && (chunkSize & 1))) {
      reason = "a chunk runs past the end of its form";
      return false;
    }
    // Both spellings, in both forms, as TagLib reads them.
    const bool isTag = chunk.compare(0, 4, "ID3 ") == 0 || chunk.compare(0, 4, "id3 ") == 0;
    if (isTag && !tagChunk) {
      tagChunk = at;
      tagChunkSize = chunkSize;
    }
    at = next;
  }

  // A new chunk after a last one that lacks its pad byte brings it.
  const bool lacksPad = at == formEnd + 1;
  std::string tag, edited;
  if (tagChunk && !ReadTag(file, *tagChunk + 8, tagChunkSize, tag, reason)) return false;
  if (tagChunk && tag.empty()) {
    reason = "its ID3 chunk does not hold an ID3v2 tag";
    return false;
  }
  if (!Edit(tag, value, edited, reason)) return false;
  if (edited == tag) return true;
  if (tagChunk && edited.size() == tag.size()) {
    splices.push_back({*tagChunk + 8, tag.size(), edited});
    return true;
  }

  // A chunk of a new size: the bytes after the tag inside it stay, the pad
  // byte follows the new length, and the form's size follows the chunk's.
  std::string rest;
  std::uint64_t oldLength = 0;
  if (tagChunk) {
    oldLength = 8 + tagChunkSize + (tagChunkSize & 1);
    if (*tagChunk + oldLength > formEnd) oldLength = formEnd - *tagChunk;
    if (!file.Read(*tagChunk + 8 + tag.size(), tagChunkSize - tag.size(), rest)) {
      reason = "the file is cut short";
      return false;
    }
  }
  std::string chunkId = aiff ? "ID3 " : "id3 ";
  if (tagChunk) file.Read(*tagChunk, 4, chunkId);
  const std::uint64_t dataSize = edited.size() + rest.size();
  std::string newChunk = chunkId + sizeBytes(dataSize) + edited + rest;
  if (dataSize & 1) newChunk.push_back('\0');
  if (!tagChunk && lacksPad) newChunk.insert(0, 1, '\0');
  const std::uint64_t newFormSize = formEnd - 8 - oldLength + newChunk.size();
  if (newFormSize > 0xFFFFFFFFu) {
    reason = "the file would grow past the size its form can hold";
    return false;
  }
  splices.push_back({4, 4, sizeBytes(newFormSize)});
  splices.push_back({tagChunk.value_or(formEnd), oldLength, newChunk});
  return true;
}
