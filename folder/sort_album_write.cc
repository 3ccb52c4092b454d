#include "folder/sort_album_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "folder/ape_edit.h"
#include "folder/apply_edit.h"
#include "folder/asf_edit.h"
#include "folder/file_ops.h"
#include "folder/file_source.h"
#include "folder/flac_edit.h"
#include "folder/id3_file_edit.h"
#include "folder/id3v2_edit.h"
#include "folder/mp4_edit.h"
#include "folder/mpeg_audio.h"
#include "folder/ogg_edit.h"

namespace {

bool HasApeTag(const ByteSource& file) {
  std::string footer;
  for (const std::uint64_t end :
       {file.Size(), file.Size() - std::min<std::uint64_t>(file.Size(), 128)}) {
    if (end >= 32 && file.Read(end - 32, 8, footer) && footer == "APETAGEX") return true;
  }
  return false;
}

// An MP3's album sort lives in its ID3v2 tag, which it gets when it has
// neither that nor an APE tag; an APE album sort beside ID3v2 goes, so that
// no reader finds the old value there.
bool EditMpeg(const ByteSource& file, const WideString& value, Splices& splices,
              std::string& reason) {
  std::string head;
  const bool hasId3v2 = file.Read(0, 3, head) && head == "ID3";
  const bool hasApe = HasApeTag(file);
  if (!hasId3v2 && hasApe) {
    return EditApeSortAlbum(file, value, ApeTagMissing::Leave, splices, reason);
  }
  Splices ape;
  if (!EditLeadingId3SortAlbum(file, value, splices, reason) ||
      (hasApe && !EditApeSortAlbum(file, WideString(), ApeTagMissing::Leave, ape, reason))) {
    return false;
  }
  splices.insert(splices.end(), ape.begin(), ape.end());
  return true;
}

// Where the audio of a file that starts with an ID3v2 tag (or none) begins.
std::uint64_t AfterLeadingTag(const ByteSource& file) {
  std::string header;
  if (!file.Read(0, 10, header)) return 0;
  return Id3v2TagSize(header).value_or(0);
}

bool Edit(const ByteSource& file, AudioFormat format, const WideString& value, Splices& splices,
          std::string& reason) {
  switch (format) {
    case AudioFormat::Mpeg:
    case AudioFormat::Adts:
      if (!CheckMpegAudio(file, AfterLeadingTag(file), AudioEnd(file), format == AudioFormat::Adts,
                          reason)) {
        return false;
      }
      if (format == AudioFormat::Adts) return EditLeadingId3SortAlbum(file, value, splices, reason);
      return EditMpeg(file, value, splices, reason);
    case AudioFormat::TrueAudio:
      return CheckTtaAudio(file, AfterLeadingTag(file), AudioEnd(file), reason) &&
             EditLeadingId3SortAlbum(file, value, splices, reason);
    case AudioFormat::Wav:
      return EditChunkId3SortAlbum(file, false, value, splices, reason);
    case AudioFormat::Aiff:
      return EditChunkId3SortAlbum(file, true, value, splices, reason);
    case AudioFormat::Mp4:
      return EditMp4SortAlbum(file, value, splices, reason);
    case AudioFormat::Flac:
      return EditFlacSortAlbum(file, value, splices, reason);
    case AudioFormat::Ogg:
      return EditOggSortAlbum(file, value, splices, reason);
    case AudioFormat::Asf:
      return EditAsfSortAlbum(file, value, splices, reason);
    case AudioFormat::Ape:
    case AudioFormat::Mpc:
    case AudioFormat::WavPack:
      return EditApeSortAlbum(file, value, ApeTagMissing::Add, splices, reason);
  }
  reason = "its format cannot be written";
  return false;
}

}  // namespace

bool WriteSortAlbum(const std::string& name, AudioFormat format, AudioTags& tags,
                    const WideString& sortAlbum, std::string& reason) {
  // A link is followed, so that a new file replaces the file it points to,
  // not the link.
  char* resolved = realpath(name.c_str(), nullptr);
  if (resolved == nullptr) {
    reason = "it cannot be found (" + ErrorText(errno) + ")";
    return false;
  }
  const std::string path = resolved;
  std::free(resolved);

  const CDescriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat status {};
  if (file.Get() < 0 || fstat(file.Get(), &status) != 0) {
    reason = "it cannot be opened (" + ErrorText(errno) + ")";
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    reason = "it is not a regular file";
    return false;
  }
  // Root may write anything; a read-only file stays unchanged all the same.
  if ((status.st_mode & 0222) == 0) {
    reason = "it is read-only";
    return false;
  }
  if (access(path.c_str(), W_OK) != 0) {
    reason = "it cannot be written (" + ErrorText(errno) + ")";
    return false;
  }

  Splices splices;
  const FdSource source(file.Get(), static_cast<std::uint64_t>(status.st_size));
  if (!Edit(source, format, sortAlbum, splices, reason)) return false;
  // An insertion goes before a replacement at the same offset.
  std::stable_sort(splices.begin(), splices.end(), [](const Splice& a, const Splice& b) {
    return a.offset < b.offset || (a.offset == b.offset && a.length == 0 && b.length != 0);
  });

  AudioTags expected = tags;
  expected.sortAlbum = sortAlbum;
  const auto holdsExpected = [&expected, format](const std::string& written, std::string& why) {
    const std::optional<AudioTags> after = ReadAudioTags(written, format);
    if (after && *after == expected) return true;
    why = "it does not read back as expected (it may have changed since it was read)";
    return false;
  };
  if (!ApplyEdit(path, file.Get(), status, splices, holdsExpected, reason)) return false;
  tags = expected;
  return true;
}
