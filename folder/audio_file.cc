#include "folder/audio_file.h"

#include <fcntl.h>
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
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "folder/id3v2_edit.h"
#include "folder/safe_file.h"

namespace {

// TagLib keeps text as UTF-16 code units, whatever the width of wchar_t.
WideString Wide(const TagLib::String& text) {
  WideString out;
  for (wchar_t unit : text.toWString()) out.push_back(static_cast<WideChar>(unit));
  return out;
}

TagLib::String Taglib(const WideString& text) {
  TagLib::ByteVector bytes;
  for (WideChar unit : text) {
    bytes.append(static_cast<char>(unit & 0xFF));
    bytes.append(static_cast<char>((static_cast<std::uint32_t>(unit) >> 8) & 0xFF));
  }
  return TagLib::String(bytes, TagLib::String::UTF16LE);
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
  return FromNamedFields([&items](const char* key) {
    const auto found = items.find(key);
    return found == items.end() ? WideString() : First(found->second.values());
  });
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

// Each field from the first tag that has it: ID3v2, then ID3v1, then APE.
// The album-sort field only from the tag that a write changes.
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
  merged.sortAlbum = v2 != nullptr ? v2->sortAlbum : ape != nullptr ? ape->sortAlbum : WideString();
  return merged;
}

// --- Is it really audio? -----------------------------------------------------

// The length of the MPEG audio (or, for ADTS, AAC) frame whose header
// starts `bytes` at `at`; 0 when there is none.
std::size_t FrameLength(const std::string& bytes, std::size_t at, bool adts) {
  if (at + 7 > bytes.size()) return 0;
  const auto b = [&bytes, at](std::size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
  if (b(0) != 0xFF || (b(1) & 0xE0) != 0xE0) return 0;
  const unsigned layer = (b(1) >> 1) & 3;
  if (adts) {
    if ((b(1) & 0xF6) != 0xF0 || ((b(2) >> 2) & 0x0F) > 12) return 0;
    return (std::size_t{b(3) & 3u} << 11) | (std::size_t{b(4)} << 3) | (b(5) >> 5);
  }
  const unsigned version = (b(1) >> 3) & 3;  // 0: 2.5, 2: 2, 3: 1
  const unsigned bitrateIndex = b(2) >> 4;
  const unsigned rateIndex = (b(2) >> 2) & 3;
  if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) {
    return 0;
  }
  static const unsigned kBitrates[2][3][15] = {
      {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
       {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
      {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
  static const unsigned kRates[3] = {44100, 48000, 32000};
  const bool mpeg1 = version == 3;
  const unsigned layerIndex = 3 - layer;  // 0: layer I
  const unsigned bitrate = kBitrates[mpeg1 ? 0 : 1][layerIndex][bitrateIndex] * 1000;
  const unsigned rate = kRates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
  const unsigned padding = (b(2) >> 1) & 1;
  if (layerIndex == 0) return (12 * bitrate / rate + padding) * 4;
  const unsigned factor = layerIndex == 2 && !mpeg1 ? 72 : 144;
  return factor * bitrate / rate + padding;
}

// The size of the ID3v2 tag at the start of the file (0 for none), or
// nothing when the file cannot be read.
std::optional<std::size_t> LeadingTagSize(const std::string& path) {
  std::string header;
  if (!ReadBytes(path, 0, 10, header)) return std::nullopt;
  const std::optional<std::size_t> size = Id3v2TagSize(header);
  return size.value_or(0);
}

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

std::optional<AudioTags> ReadMpegFamily(const std::string& path, AudioFormat format) {
  // One descriptor for the check and for TagLib, which owns it from then on.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  if (!LooksLikeAudioAfterTag(fd, format)) {
    close(fd);
    return std::nullopt;
  }
  TagLib::FileStream stream(fd, true);
  if (format == AudioFormat::TrueAudio) {
    TagLib::TrueAudio::File file(&stream, false);
    if (!file.isValid()) return std::nullopt;
    const AudioTags v2 = FromId3v2(file.ID3v2Tag());
    const AudioTags v1 = file.hasID3v1Tag() ? FromId3v1(file.ID3v1Tag()) : AudioTags();
    return Merge(file.hasID3v2Tag() ? &v2 : nullptr, file.hasID3v1Tag() ? &v1 : nullptr, nullptr);
  }
  TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
  if (!file.isValid()) return std::nullopt;
  const AudioTags v2 = FromId3v2(file.ID3v2Tag());
  const AudioTags v1 = file.hasID3v1Tag() ? FromId3v1(file.ID3v1Tag()) : AudioTags();
  const AudioTags ape = file.hasAPETag() ? FromApe(file.APETag()) : AudioTags();
  return Merge(file.hasID3v2Tag() ? &v2 : nullptr, file.hasID3v1Tag() ? &v1 : nullptr,
               file.hasAPETag() ? &ape : nullptr);
}

template <typename File>
std::optional<AudioTags> ReadXiphFile(const std::string& path) {
  File file(path.c_str(), true);
  if (!HasAudio(file)) return std::nullopt;
  return FromXiph(file.tag());
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

std::optional<AudioTags> ReadAudioTags(const std::string& path, AudioFormat format) {
  switch (format) {
    case AudioFormat::Mpeg:
    case AudioFormat::Adts:
    case AudioFormat::TrueAudio:
      return ReadMpegFamily(path, format);
    case AudioFormat::Wav: {
      TagLib::RIFF::WAV::File file(path.c_str(), true);
      if (!HasAudio(file)) return std::nullopt;
      return file.hasID3v2Tag() ? FromId3v2(file.ID3v2Tag()) : AudioTags();
    }
    case AudioFormat::Aiff: {
      TagLib::RIFF::AIFF::File file(path.c_str(), true);
      if (!HasAudio(file)) return std::nullopt;
      return file.hasID3v2Tag() ? FromId3v2(file.tag()) : AudioTags();
    }
    case AudioFormat::Mp4: {
      TagLib::MP4::File file(path.c_str(), true);
      if (!HasAudio(file)) return std::nullopt;
      return FromMp4(file.tag());
    }
    case AudioFormat::Flac: {
      TagLib::FLAC::File file(path.c_str(), true);
      if (!HasAudio(file)) return std::nullopt;
      return FromXiph(file.xiphComment());
    }
    case AudioFormat::Ogg:
      // The extension does not tell the codec; the stream does.
      if (auto tags = ReadXiphFile<TagLib::Ogg::Vorbis::File>(path)) return tags;
      if (auto tags = ReadXiphFile<TagLib::Ogg::Opus::File>(path)) return tags;
      if (auto tags = ReadXiphFile<TagLib::Ogg::Speex::File>(path)) return tags;
      return ReadXiphFile<TagLib::Ogg::FLAC::File>(path);
    case AudioFormat::Asf: {
      TagLib::ASF::File file(path.c_str(), true);
      if (!HasAudio(file)) return std::nullopt;
      return FromAsf(file.tag());
    }
    case AudioFormat::Ape: {
      TagLib::APE::File file(path.c_str(), true);
      if (!HasAudio(file)) return std::nullopt;
      return FromApe(file.APETag());
    }
    case AudioFormat::Mpc: {
      TagLib::MPC::File file(path.c_str(), true);
      if (!HasAudio(file)) return std::nullopt;
      return FromApe(file.APETag());
    }
    case AudioFormat::WavPack: {
      TagLib::WavPack::File file(path.c_str(), true);
      if (!HasAudio(file)) return std::nullopt;
      return FromApe(file.APETag());
    }
  }
  return std::nullopt;
}

void SilenceTagLib() {
  class Silent : public TagLib::DebugListener {
   public:
    void printMessage(const TagLib::String&) override {}
  };
  static Silent silent;
  TagLib::setDebugListener(&silent);
}

// --- Writing ----------------------------------------------------------------

namespace {

// A change ready to be made: new bytes for a region of the file itself, or
// a complete new file waiting beside it.
struct Change {
  std::size_t offset = 0;
  std::string before, after;
  std::string temporary;
  bool none = false;  // the file already says so
};

bool Splice(const std::string& path, std::size_t offset, const std::string& before,
            const std::string& after, Change& change) {
  if (after == before) {
    change.none = true;
    return true;
  }
  if (after.size() == before.size()) {
    change.offset = offset;
    change.before = before;
    change.after = after;
    return true;
  }
  change.temporary = CreateTemporaryBeside(path, [&](int fd) {
    return CopyRange(path, 0, offset, fd) && WriteAll(fd, after.data(), after.size()) &&
           CopyRange(path, offset + before.size(), std::string::npos, fd);
  });
  return !change.temporary.empty();
}

bool PrepareLeadingTag(const std::string& path, const WideString& value, Change& change) {
  const std::optional<std::size_t> size = LeadingTagSize(path);
  std::string tag;
  if (!size || !ReadBytes(path, 0, *size, tag) || tag.size() != *size) return false;
  const std::optional<std::string> edited = EditSortAlbumFrame(tag, value);
  return edited && Splice(path, 0, tag, *edited, change);
}

std::uint32_t ReadSize(const std::string& bytes, std::size_t at, bool bigEndian) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const std::uint32_t byte = static_cast<unsigned char>(bytes[at + (bigEndian ? i : 3 - i)]);
    value = value << 8 | byte;
  }
  return value;
}

std::string SizeBytes(std::uint64_t size, bool bigEndian) {
  std::string out(4, '\0');
  for (std::size_t i = 0; i < 4; ++i) {
    out[bigEndian ? 3 - i : i] = static_cast<char>((size >> (8 * i)) & 0xFF);
  }
  return out;
}

// WAV and AIFF keep the tag in a chunk of its own; its size and the size of
// the whole form follow the tag's.
bool PrepareChunkTag(const std::string& path, bool aiff, const WideString& value, Change& change) {
  std::string header;
  if (!ReadBytes(path, 0, 12, header) || header.size() != 12) return false;
  const bool bigEndian = aiff;
  if (header.compare(0, 4, aiff ? "FORM" : "RIFF") != 0) return false;
  const std::uint64_t formEnd = std::uint64_t{8} + ReadSize(header, 4, bigEndian);

  std::size_t chunk = 12;
  std::uint32_t chunkSize = 0;
  std::string chunkId = aiff ? "ID3 " : "id3 ";
  bool found = false;
  for (std::string chunkHeader; chunk + 8 <= formEnd; chunk += 8 + chunkSize + (chunkSize & 1)) {
    if (!ReadBytes(path, chunk, 8, chunkHeader) || chunkHeader.size() != 8) return false;
    chunkSize = ReadSize(chunkHeader, 4, bigEndian);
    if (chunkHeader.compare(0, 4, "ID3 ") == 0 ||
        (!aiff && chunkHeader.compare(0, 4, "id3 ") == 0)) {
      chunkId = chunkHeader.substr(0, 4);
      found = true;
      break;
    }
  }
  // Without a tag chunk, a new one goes at the end of the form.
  if (!found) chunk = static_cast<std::size_t>(formEnd);

  std::string tag;
  if (found) {
    std::string tagHeader;
    if (!ReadBytes(path, chunk + 8, 10, tagHeader)) return false;
    const std::optional<std::size_t> size = Id3v2TagSize(tagHeader);
    if (!size || *size > chunkSize || !ReadBytes(path, chunk + 8, *size, tag)) return false;
  }
  const std::optional<std::string> edited = EditSortAlbumFrame(tag, value);
  if (!edited) return false;
  if (found && edited->size() == tag.size()) return Splice(path, chunk + 8, tag, *edited, change);
  if (*edited == tag) {
    change.none = true;
    return true;
  }

  // A chunk of a new size: the whole chunk is rewritten, padded to an even
  // length, and the form's size follows.
  const std::size_t oldChunkLength = found ? 8 + chunkSize + (chunkSize & 1) : 0;
  std::string newChunk = chunkId + SizeBytes(edited->size(), bigEndian) + *edited;
  if (edited->size() & 1) newChunk.push_back('\0');
  const std::uint64_t newFormSize = formEnd - 8 - oldChunkLength + newChunk.size();
  if (newFormSize > 0xFFFFFFFFu) return false;
  change.temporary = CreateTemporaryBeside(path, [&](int fd) {
    const std::string formSize = SizeBytes(newFormSize, bigEndian);
    return WriteAll(fd, header.data(), 4) && WriteAll(fd, formSize.data(), 4) &&
           CopyRange(path, 8, chunk - 8, fd) && WriteAll(fd, newChunk.data(), newChunk.size()) &&
           CopyRange(path, chunk + oldChunkLength, std::string::npos, fd);
  });
  return !change.temporary.empty();
}

template <typename File>
bool SetXiph(File& file, const WideString& value) {
  TagLib::Ogg::XiphComment* comment = file.tag();
  if (!file.isValid() || comment == nullptr) return false;
  if (value.empty()) {
    comment->removeFields("ALBUMSORT");
  } else {
    comment->addField("ALBUMSORT", Taglib(value), true);
  }
  return file.save();
}

void SetApe(TagLib::APE::Tag* tag, const WideString& value) {
  if (value.empty()) {
    tag->removeItem("ALBUMSORT");
  } else {
    tag->addValue("ALBUMSORT", Taglib(value), true);
  }
}

// TagLib renders the ASF content description anew (title, author,
// copyright, description, rating), writing a terminator even for empty
// fields where the original had none; the tool changes none of them, so the
// original object goes back, byte for byte, into the copy.
bool RestoreAsfContentDescription(const std::string& original, std::string& temporary) {
  static const char kContentDescription[] =
      "\x33\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C";
  static const char kFileProperties[] =
      "\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0\x0C\x20\x53\x65";
  const auto little = [](const std::string& bytes, std::size_t at, int count) {
    std::uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) {
      value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    }
    return value;
  };
  const auto putLittle = [](std::string& bytes, std::size_t at, std::uint64_t value, int count) {
    for (int i = 0; i < count; ++i)
      bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
  };
  struct Header {
    std::string bytes;
    std::vector<std::pair<std::size_t, std::size_t>> objects;  // offset, size
  };
  const auto readHeader = [&little](const std::string& path, Header& header) {
    std::string start;
    if (!ReadBytes(path, 0, 30, start) || start.size() != 30) return false;
    const std::uint64_t size = little(start, 16, 8);
    if (size < 30 || size > (64u << 20) || !ReadBytes(path, 0, size, header.bytes) ||
        header.bytes.size() != size) {
      return false;
    }
    const std::uint64_t count = little(header.bytes, 24, 4);
    std::size_t at = 30;
    for (std::uint64_t i = 0; i < count; ++i) {
      if (at + 24 > size) return false;
      const std::uint64_t objectSize = little(header.bytes, at + 16, 8);
      if (objectSize < 24 || at + objectSize > size) return false;
      header.objects.emplace_back(at, objectSize);
      at += objectSize;
    }
    return true;
  };
  const auto find = [](const Header& header,
                       const char* guid) -> const std::pair<std::size_t, std::size_t>* {
    for (const auto& object : header.objects) {
      if (header.bytes.compare(object.first, 16, guid, 16) == 0) return &object;
    }
    return nullptr;
  };

  Header before, after;
  if (!readHeader(original, before) || !readHeader(temporary, after)) return false;
  const auto* was = find(before, kContentDescription);
  std::string rebuilt = after.bytes.substr(0, 30);
  std::uint64_t count = 0;
  bool placed = false;
  for (const auto& object : after.objects) {
    if (after.bytes.compare(object.first, 16, kContentDescription, 16) == 0) {
      if (was != nullptr && !placed) {
        rebuilt += before.bytes.substr(was->first, was->second);
        ++count;
      }
      placed = true;
      continue;
    }
    rebuilt += after.bytes.substr(object.first, object.second);
    ++count;
  }
  if (was != nullptr && !placed) return false;
  putLittle(rebuilt, 16, rebuilt.size(), 8);
  putLittle(rebuilt, 24, count, 4);
  const std::int64_t delta =
      static_cast<std::int64_t>(rebuilt.size()) - static_cast<std::int64_t>(after.bytes.size());
  // The file's own size is recorded in its properties.
  std::size_t at = 30;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t objectSize = little(rebuilt, at + 16, 8);
    if (rebuilt.compare(at, 16, kFileProperties, 16) == 0 && objectSize >= 48) {
      putLittle(rebuilt, at + 40,
                static_cast<std::uint64_t>(static_cast<std::int64_t>(little(rebuilt, at + 40, 8)) +
                                           delta),
                8);
    }
    at += objectSize;
  }
  if (delta == 0 && rebuilt == after.bytes) return true;
  const std::string restored = CreateTemporaryBeside(original, [&](int fd) {
    return WriteAll(fd, rebuilt.data(), rebuilt.size()) &&
           CopyRange(temporary, after.bytes.size(), std::string::npos, fd);
  });
  if (restored.empty()) return false;
  unlink(temporary.c_str());
  temporary = restored;
  return true;
}

// Through TagLib, on a copy: each format's own call and an explicit save
// that strips and duplicates nothing.
bool EditCopy(const std::string& file, AudioFormat format, const WideString& value) {
  const TagLib::String text = Taglib(value);
  switch (format) {
    case AudioFormat::Mpeg: {  // an MP3 with an APE tag and no ID3v2
      TagLib::MPEG::File mpeg(file.c_str(), false);
      if (!mpeg.isValid()) return false;
      SetApe(mpeg.APETag(true), value);
      return mpeg.save(TagLib::MPEG::File::APE, TagLib::File::StripNone, TagLib::ID3v2::v3,
                       TagLib::File::DoNotDuplicate);
    }
    case AudioFormat::Mp4: {
      TagLib::MP4::File mp4(file.c_str(), false);
      if (!mp4.isValid() || mp4.tag() == nullptr) return false;
      if (value.empty()) {
        mp4.tag()->removeItem("soal");
      } else {
        mp4.tag()->setItem("soal", TagLib::MP4::Item(TagLib::StringList(text)));
      }
      return mp4.save();
    }
    case AudioFormat::Flac: {
      TagLib::FLAC::File flac(file.c_str(), false);
      if (!flac.isValid()) return false;
      TagLib::Ogg::XiphComment* comment = flac.xiphComment(!value.empty());
      if (comment == nullptr) return true;
      if (value.empty()) {
        comment->removeFields("ALBUMSORT");
      } else {
        comment->addField("ALBUMSORT", text, true);
      }
      return flac.save();
    }
    case AudioFormat::Ogg: {
      if (TagLib::Ogg::Vorbis::File vorbis(file.c_str(), false); vorbis.isValid()) {
        return SetXiph(vorbis, value);
      }
      if (TagLib::Ogg::Opus::File opus(file.c_str(), false); opus.isValid()) {
        return SetXiph(opus, value);
      }
      if (TagLib::Ogg::Speex::File speex(file.c_str(), false); speex.isValid()) {
        return SetXiph(speex, value);
      }
      TagLib::Ogg::FLAC::File oggFlac(file.c_str(), false);
      return SetXiph(oggFlac, value);
    }
    case AudioFormat::Asf: {
      TagLib::ASF::File asf(file.c_str(), false);
      if (!asf.isValid() || asf.tag() == nullptr) return false;
      if (value.empty()) {
        asf.tag()->removeItem("WM/AlbumSortOrder");
      } else {
        asf.tag()->setAttribute("WM/AlbumSortOrder", TagLib::ASF::Attribute(text));
      }
      return asf.save();
    }
    case AudioFormat::Ape: {
      TagLib::APE::File ape(file.c_str(), false);
      if (!ape.isValid()) return false;
      SetApe(ape.APETag(true), value);
      return ape.save();
    }
    case AudioFormat::Mpc: {
      TagLib::MPC::File mpc(file.c_str(), false);
      if (!mpc.isValid()) return false;
      SetApe(mpc.APETag(true), value);
      return mpc.save();
    }
    case AudioFormat::WavPack: {
      TagLib::WavPack::File wavPack(file.c_str(), false);
      if (!wavPack.isValid()) return false;
      SetApe(wavPack.APETag(true), value);
      return wavPack.save();
    }
    default:
      return false;
  }
}

bool PrepareCopy(const std::string& path, AudioFormat format, const WideString& value,
                 Change& change) {
  change.temporary = CreateTemporaryBeside(
      path, [&path](int fd) { return CopyRange(path, 0, std::string::npos, fd); });
  if (change.temporary.empty()) return false;
  const bool edited =
      EditCopy(change.temporary, format, value) &&
      (format != AudioFormat::Asf || RestoreAsfContentDescription(path, change.temporary));
  if (!edited) {
    unlink(change.temporary.c_str());
    change.temporary.clear();
    return false;
  }
  return true;
}

bool HasApeButNoId3v2(const std::string& path) {
  const std::optional<std::size_t> leading = LeadingTagSize(path);
  if (!leading || *leading != 0) return false;
  TagLib::MPEG::File file(path.c_str(), false);
  return file.isValid() && file.hasAPETag();
}

bool Prepare(const std::string& path, AudioFormat format, const WideString& value, Change& change) {
  switch (format) {
    case AudioFormat::Mpeg:
      if (HasApeButNoId3v2(path)) return PrepareCopy(path, format, value, change);
      return PrepareLeadingTag(path, value, change);
    case AudioFormat::Adts:
    case AudioFormat::TrueAudio:
      return PrepareLeadingTag(path, value, change);
    case AudioFormat::Wav:
      return PrepareChunkTag(path, false, value, change);
    case AudioFormat::Aiff:
      return PrepareChunkTag(path, true, value, change);
    default:
      return PrepareCopy(path, format, value, change);
  }
}

}  // namespace

bool WriteSortAlbum(const std::string& name, AudioFormat format, AudioTags& tags,
                    const WideString& sortAlbum) {
  // A link is followed, so that a new file replaces the file it points to,
  // not the link.
  char* resolved = realpath(name.c_str(), nullptr);
  if (resolved == nullptr) return false;
  const std::string path = resolved;
  std::free(resolved);
  if (!MayChangeFile(path)) return false;
  AudioTags expected = tags;
  expected.sortAlbum = sortAlbum;
  // Whatever is written must read back as exactly this, or it is undone.
  const auto holdsExpected = [&expected, format](const std::string& file) {
    const std::optional<AudioTags> after = ReadAudioTags(file, format);
    return after && *after == expected;
  };

  Change change;
  if (!Prepare(path, format, sortAlbum, change)) return false;
  bool written;
  if (change.none) {
    written = holdsExpected(path);
  } else if (!change.temporary.empty()) {
    written = holdsExpected(change.temporary) && CommitTemporary(change.temporary, path);
    if (!written) unlink(change.temporary.c_str());
  } else {
    written = WriteInPlace(path, change.offset, change.after) && holdsExpected(path);
    if (!written) WriteInPlace(path, change.offset, change.before);
  }
  if (written) tags = expected;
  return written;
}
