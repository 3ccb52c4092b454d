#include "folder/audio_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <taglib/aifffile.h>
#include <taglib/apefile.h>
#include <taglib/apetag.h>
#include <taglib/asffile.h>
#include <taglib/flacfile.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mpcfile.h>
#include <taglib/mpegfile.h>
#include <taglib/oggflacfile.h>
#include <taglib/opusfile.h>
#include <taglib/speexfile.h>
#include <taglib/tdebuglistener.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tfilestream.h>
#include <taglib/trueaudiofile.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/wavpackfile.h>
#include <taglib/xiphcomment.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "folder/file_source.h"
#include "folder/id3v2_edit.h"
#include "folder/mpeg_audio.h"

namespace {

// TagLib keeps text as UTF-16 code units, whatever the width of wchar_t.
WideString Wide(const TagLib::String& text) {
  WideString out;
  for (wchar_t unit : text.toWString()) out.push_back(static_cast<WideChar>(unit));
  return out;
}

WideString First(const TagLib::StringList& values) {
  return values.isEmpty() ? WideString() : Wide(values.front());
}

// --- Reading, one function per family of tags -----------------------------

WideString Id3Text(const TagLib::ID3v2::Tag* tag, const char* id) {
  if (tag == nullptr) return WideString();
  const TagLib::ID3v2::FrameListMap& frames = tag->frameListMap();
  const auto found = frames.find(id);
  if (found == frames.end() || found->second.isEmpty()) return WideString();
  const auto* text =
      dynamic_cast<const TagLib::ID3v2::TextIdentificationFrame*>(found->second.front());
  return text != nullptr ? First(text->fieldList()) : Wide(found->second.front()->toString());
}

AudioTags FromId3v2(const TagLib::ID3v2::Tag* tag) {
  AudioTags tags;
  tags.artist = Id3Text(tag, "TPE1");
  tags.albumArtist = Id3Text(tag, "TPE2");
  tags.album = Id3Text(tag, "TALB");
  tags.sortAlbum = Id3Text(tag, "TSOA");
  tags.name = Id3Text(tag, "TIT2");
  WideString date = Id3Text(tag, "TDRC");
  if (date.empty()) date = Id3Text(tag, "TYER");
  tags.year = YearOfDate(date);
  return tags;
}

AudioTags FromId3v1(const TagLib::ID3v1::Tag* tag) {
  AudioTags tags;
  tags.artist = Wide(tag->artist());
  tags.album = Wide(tag->album());
  tags.name = Wide(tag->title());
  tags.year = static_cast<std::int32_t>(std::min(tag->year(), 99999u));
  return tags;
}

template <typename Fields>
AudioTags FromNamedFields(Fields field) {
  AudioTags tags;
  tags.artist = field("ARTIST");
  tags.albumArtist = field("ALBUMARTIST");
  tags.album = field("ALBUM");
  tags.sortAlbum = field("ALBUMSORT");
  tags.name = field("TITLE");
  tags.year = YearOfDate(field("DATE").empty() ? field("YEAR") : field("DATE"));
  return tags;
}

AudioTags FromXiph(TagLib::Ogg::XiphComment* comment) {
  if (comment == nullptr) return AudioTags();
  const TagLib::Ogg::FieldListMap& fields = comment->fieldListMap();
  auto field = [&fields](const char* key) {
    const auto found = fields.find(key);
    return found == fields.end() ? WideString() : First(found->second);
  };
  return FromNamedFields(field);
}

AudioTags FromApe(TagLib::APE::Tag* tag) {
  if (tag == nullptr) return AudioTags();
  const TagLib::APE::ItemListMap& items = tag->itemListMap();
  const auto item = [&items](const char* key) {
    const auto found = items.find(key);
    return found == items.end() ? WideString() : First(found->second.values());
  };
  AudioTags tags = FromNamedFields(item);
  // The key most taggers write for it.
  if (tags.albumArtist.empty()) tags.albumArtist = item("ALBUM ARTIST");
  return tags;
}

AudioTags FromMp4(TagLib::MP4::Tag* tag) {
  auto item = [tag](const char* key) {
    return tag->contains(key) ? First(tag->item(key).toStringList()) : WideString();
  };
  AudioTags tags;
  tags.artist = item("\251ART");
  tags.albumArtist = item("aART");
  tags.album = item("\251alb");
  tags.sortAlbum = item("soal");
  tags.name = item("\251nam");
  tags.year = YearOfDate(item("\251day"));
  return tags;
}

AudioTags FromAsf(TagLib::ASF::Tag* tag) {
  const TagLib::ASF::AttributeListMap& attributes = tag->attributeListMap();
  auto attribute = [&attributes](const char* key) {
    const auto found = attributes.find(key);
    if (found == attributes.end() || found->second.isEmpty()) return WideString();
    return Wide(found->second.front().toString());
  };
  AudioTags tags;
  tags.artist = Wide(tag->artist());
  tags.albumArtist = attribute("WM/AlbumArtist");
  tags.album = attribute("WM/AlbumTitle");
  tags.sortAlbum = attribute("WM/AlbumSortOrder");
  tags.name = Wide(tag->title());
  tags.year = YearOfDate(attribute("WM/Year"));
  return tags;
}

// Each field from the first tag that has it: ID3v2, then ID3v1, then APE
// (which has the album sort, as ID3v1 has not).
AudioTags Merge(const AudioTags* v2, const AudioTags* v1, const AudioTags* ape) {
  AudioTags merged;
  for (const AudioTags* tags : {v2, v1, ape}) {
    if (tags == nullptr) continue;
    if (merged.artist.empty()) merged.artist = tags->artist;
    if (merged.albumArtist.empty()) merged.albumArtist = tags->albumArtist;
    if (merged.album.empty()) merged.album = tags->album;
    if (merged.name.empty()) merged.name = tags->name;
    if (merged.year == 0) merged.year = tags->year;
  }
  if (v2 != nullptr) merged.sortAlbum = v2->sortAlbum;
  if (merged.sortAlbum.empty() && ape != nullptr) merged.sortAlbum = ape->sortAlbum;
  return merged;
}

// --- Is it really audio? -----------------------------------------------------

// Two frames in a row where the audio should start, or the file ends after
// the first: text, other formats and files cut inside their tag have none.
bool LooksLikeAudioAfterTag(int fd, AudioFormat format) {
  constexpr std::size_t kHead = 4096;
  std::string bytes;
  if (!ReadBytes(fd, 0, kHead, bytes)) return false;
  const std::size_t tagSize = Id3v2TagSize(bytes).value_or(0);
  // `bytes` holds the file from `base` on.
  std::size_t base = 0;
  if (bytes.size() == kHead && tagSize + 64 > kHead) {
    if (!ReadBytes(fd, tagSize, kHead, bytes)) return false;
    base = tagSize;
  }
  const std::size_t audio = tagSize - base;
  if (audio >= bytes.size()) return false;
  if (format == AudioFormat::TrueAudio) return bytes.compare(audio, 4, "TTA1") == 0;
  // Taggers sometimes leave zeros between the tag and the first frame.
  const std::size_t at = bytes.find_first_not_of('\0', audio);
  if (at == std::string::npos) return false;
  const bool adts = format == AudioFormat::Adts;
  const std::size_t length = FrameLength(bytes, at, adts);
  if (length == 0) return false;
  if (at + length + 8 > bytes.size()) {
    if (!ReadBytes(fd, base + at + length, 8, bytes)) return false;
    return bytes.empty() || FrameLength(bytes, 0, adts) != 0;
  }
  return FrameLength(bytes, at + length, adts) != 0;
}

template <typename File>
bool HasAudio(File& file) {
  return file.isValid() && file.audioProperties() != nullptr &&
         file.audioProperties()->sampleRate() > 0;
}

// Why an item is not a track, when it is not.
class Refusal {
 public:
  explicit Refusal(std::string* reason) : m_Reason(reason) {}
  std::nullopt_t operator()(const std::string& why) const {
    if (m_Reason != nullptr) *m_Reason = why;
    return std::nullopt;
  }

 private:
  std::string* m_Reason;
};

std::optional<AudioTags> ReadMpegFamily(TagLib::FileStream& stream, AudioFormat format,
                                        const Refusal& refuse) {
  if (format == AudioFormat::TrueAudio) {
    TagLib::TrueAudio::File file(&stream, false);
    if (!file.isValid()) return refuse("TagLib cannot read it as TTA");
    const AudioTags v2 = FromId3v2(file.ID3v2Tag());
    const AudioTags v1 = file.hasID3v1Tag() ? FromId3v1(file.ID3v1Tag()) : AudioTags();
    return Merge(file.hasID3v2Tag() ? &v2 : nullptr, file.hasID3v1Tag() ? &v1 : nullptr, nullptr);
  }
  TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
  if (!file.isValid()) return refuse("TagLib cannot read it as MPEG audio");
  const AudioTags v2 = FromId3v2(file.ID3v2Tag());
  const AudioTags v1 = file.hasID3v1Tag() ? FromId3v1(file.ID3v1Tag()) : AudioTags();
  const AudioTags ape = file.hasAPETag() ? FromApe(file.APETag()) : AudioTags();
  return Merge(file.hasID3v2Tag() ? &v2 : nullptr, file.hasID3v1Tag() ? &v1 : nullptr,
               file.hasAPETag() ? &ape : nullptr);
}

template <typename File>
std::optional<AudioTags> ReadXiphFile(TagLib::FileStream& stream) {
  File file(&stream, true);
  if (!HasAudio(file)) return std::nullopt;
  return FromXiph(file.tag());
}

std::optional<AudioTags> ReadStream(TagLib::FileStream& stream, AudioFormat format,
                                    const Refusal& refuse) {
  const char* const kUnreadable = "TagLib finds no audio in it that it can read";
  switch (format) {
    case AudioFormat::Mpeg:
    case AudioFormat::Adts:
    case AudioFormat::TrueAudio:
      return ReadMpegFamily(stream, format, refuse);
    case AudioFormat::Wav: {
      TagLib::RIFF::WAV::File file(&stream, true);
      if (!HasAudio(file)) return refuse(kUnreadable);
      return file.hasID3v2Tag() ? FromId3v2(file.ID3v2Tag()) : AudioTags();
    }
    case AudioFormat::Aiff: {
      TagLib::RIFF::AIFF::File file(&stream, true);
      if (!HasAudio(file)) return refuse(kUnreadable);
      return file.hasID3v2Tag() ? FromId3v2(file.tag()) : AudioTags();
    }
    case AudioFormat::Mp4: {
      TagLib::MP4::File file(&stream, true);
      if (!HasAudio(file)) return refuse(kUnreadable);
      return FromMp4(file.tag());
    }
    case AudioFormat::Flac: {
      TagLib::FLAC::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), true);
      if (!HasAudio(file)) return refuse(kUnreadable);
      return FromXiph(file.xiphComment());
    }
    case AudioFormat::Ogg:
      // The extension does not tell the codec; the stream does.
      if (auto tags = ReadXiphFile<TagLib::Ogg::Vorbis::File>(stream)) return tags;
      if (auto tags = ReadXiphFile<TagLib::Ogg::Opus::File>(stream)) return tags;
      if (auto tags = ReadXiphFile<TagLib::Ogg::Speex::File>(stream)) return tags;
      if (auto tags = ReadXiphFile<TagLib::Ogg::FLAC::File>(stream)) return tags;
      return refuse(kUnreadable);
    case AudioFormat::Asf: {
      TagLib::ASF::File file(&stream, true);
      if (!HasAudio(file)) return refuse(kUnreadable);
      return FromAsf(file.tag());
    }
    case AudioFormat::Ape: {
      TagLib::APE::File file(&stream, true);
      if (!HasAudio(file)) return refuse(kUnreadable);
      return FromApe(file.APETag());
    }
    case AudioFormat::Mpc: {
      TagLib::MPC::File file(&stream, true);
      if (!HasAudio(file)) return refuse(kUnreadable);
      return FromApe(file.APETag());
    }
    case AudioFormat::WavPack: {
      TagLib::WavPack::File file(&stream, true);
      if (!HasAudio(file)) return refuse(kUnreadable);
      return FromApe(file.APETag());
    }
  }
  return refuse(kUnreadable);
}

}  // namespace

bool AudioTags::operator==(const AudioTags& other) const {
  return artist == other.artist && albumArtist == other.albumArtist && album == other.album &&
         sortAlbum == other.sortAlbum && name == other.name && year == other.year;
}

std::int32_t YearOfDate(const WideString& date) {
  std::int32_t year = 0;
  for (WideChar unit : date) {
    if (unit < '0' || unit > '9') break;
    // Past five digits the year is unusable anyway; stop before it overflows.
    year = std::min<std::int32_t>(year * 10 + (unit - '0'), 99999);
  }
  return year;
}

std::optional<AudioFormat> FormatOfName(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return std::nullopt;
  std::string extension = name.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static const struct {
    const char* extension;
    AudioFormat format;
  } kFormats[] = {
      {"mp3", AudioFormat::Mpeg},   {"aac", AudioFormat::Adts}, {"tta", AudioFormat::TrueAudio},
      {"wav", AudioFormat::Wav},    {"aif", AudioFormat::Aiff}, {"aiff", AudioFormat::Aiff},
      {"m4a", AudioFormat::Mp4},    {"m4b", AudioFormat::Mp4},  {"mp4", AudioFormat::Mp4},
      {"flac", AudioFormat::Flac},  {"ogg", AudioFormat::Ogg},  {"oga", AudioFormat::Ogg},
      {"opus", AudioFormat::Ogg},   {"spx", AudioFormat::Ogg},  {"wma", AudioFormat::Asf},
      {"asf", AudioFormat::Asf},    {"ape", AudioFormat::Ape},  {"mpc", AudioFormat::Mpc},
      {"wv", AudioFormat::WavPack},
  };
  for (const auto& entry : kFormats) {
    if (extension == entry.extension) return entry.format;
  }
  return std::nullopt;
}

std::optional<AudioTags> ReadAudioTags(const std::string& path, AudioFormat format,
                                       std::string* reason) {
  const Refusal refuse(reason);
  // Never blocking: a FIFO or a device swapped in for a file is no track.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return refuse("it cannot be opened (" + std::string(std::strerror(errno)) + ")");
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    return refuse("it is not a regular file");
  }
  const bool mpegFamily = format == AudioFormat::Mpeg || format == AudioFormat::Adts ||
                          format == AudioFormat::TrueAudio;
  if (mpegFamily && !LooksLikeAudioAfterTag(fd, format)) {
    close(fd);
    return refuse(format == AudioFormat::TrueAudio ? "no TTA audio starts where its audio should"
                  : format == AudioFormat::Adts    ? "no AAC frames start where its audio should"
                                                   : "no MPEG audio frames start where its audio "
                                                     "should");
  }
  // TagLib owns the descriptor from here on.
  TagLib::FileStream stream(fd, true);
  return ReadStream(stream, format, refuse);
}

void SilenceTagLib() {
  class Silent : public TagLib::DebugListener {
   public:
    void printMessage(const TagLib::String&) override {}
  };
  static Silent silent;
  TagLib::setDebugListener(&silent);
}
