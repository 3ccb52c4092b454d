#include "folder/ape_edit.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "folder/id3v2_edit.h"

namespace {

constexpr std::size_t kBlockSize = 32;  // a tag's header or footer
constexpr std::size_t kId3v1Size = 128;
constexpr std::uint64_t kHasHeader = 1u << 31;
constexpr std::uint64_t kIsHeader = 1u << 29;
constexpr std::uint64_t kMaxField = 0xFFFFFFFF;
constexpr std::size_t kItemHead = 8;  // value size and item flags
constexpr std::size_t kMinKey = 2;
constexpr std::size_t kMaxKey = 255;
const char kMarker[] = "APETAGEX";
const char kSortKey[] = "ALBUMSORT";
// A header without its footer this close to the end is a tag cut short;
// further back the bytes belong to the audio, which its own check covers.
constexpr std::uint64_t kScanLength = 1 << 20;
constexpr std::size_t kScanPiece = 1 << 16;

// Reads for the checks below, which all fail with a reason.
class Reader {
 public:
  Reader(const ByteSource& file, std::string& reason) : m_File(file), m_Reason(reason) {}
  std::uint64_t Size() const { return m_File.Size(); }
  bool Read(std::uint64_t at, std::size_t length, std::string& bytes) const {
    if (m_File.Read(at, length, bytes)) return true;
    return Fail("the file cannot be read");
  }
  bool Fail(const char* why) const {
    m_Reason = why;
    return false;
  }

 private:
  const ByteSource& m_File;
  std::string& m_Reason;
};

std::size_t Clamp(std::uint64_t length, std::size_t most) {
  return static_cast<std::size_t>(std::min<std::uint64_t>(length, most));
}

// ---- The audio before the tag ----

bool CheckMonkeysDescriptor(const Reader& in, std::uint64_t at, std::uint64_t end) {
  constexpr std::size_t kDescriptor = 52;
  constexpr std::size_t kHeader = 24;
  const char* const cut = "the file is cut short inside its Monkey's Audio data";
  std::string bytes;
  if (end - at < kDescriptor) return in.Fail(cut);
  if (!in.Read(at, kDescriptor, bytes)) return false;
  const std::uint64_t descriptor = LittleEndian(bytes, 8, 4);
  const std::uint64_t header = LittleEndian(bytes, 12, 4);
  const std::uint64_t seekTable = LittleEndian(bytes, 16, 4);
  const std::uint64_t audio = LittleEndian(bytes, 24, 4) | LittleEndian(bytes, 28, 4) << 32;
  const std::uint64_t parts =
      descriptor + header + seekTable + LittleEndian(bytes, 20, 4) + LittleEndian(bytes, 32, 4);
  if (descriptor < kDescriptor || header < kHeader) {
    return in.Fail("the Monkey's Audio header does not parse");
  }
  if (end - at < descriptor + kHeader) return in.Fail(cut);
  if (!in.Read(at + descriptor, kHeader, bytes)) return false;
  const std::uint64_t frames = LittleEndian(bytes, 12, 4);
  if (LittleEndian(bytes, 4, 4) == 0 || frames == 0 || seekTable / 4 < frames) {
    return in.Fail("the Monkey's Audio header does not parse");
  }
  if (parts > end - at || audio > end - at - parts) return in.Fail(cut);
  if (parts + audio != end - at) return in.Fail("unknown bytes follow the Monkey's Audio data");
  return true;
}

// Before 3980 the header records no length for the frames, so only a file
// too short for the parts it does record is seen as cut short.
bool CheckOldMonkeysHeader(const Reader& in, std::uint64_t at, std::uint64_t end,
                           std::uint64_t version) {
  constexpr std::size_t kHeader = 32;
  constexpr std::uint64_t kPeakLevel = 4;
  constexpr std::uint64_t kSeekElements = 16;
  constexpr std::uint64_t kNoWavHeader = 32;
  const char* const cut = "the file is cut short inside its Monkey's Audio data";
  std::string bytes;
  if (end - at < kHeader) return in.Fail(cut);
  if (!in.Read(at, Clamp(end - at, kHeader + 8), bytes)) return false;
  const std::uint64_t flags = LittleEndian(bytes, 8, 2);
  const std::uint64_t frames = LittleEndian(bytes, 24, 4);
  if (frames == 0) return in.Fail("the Monkey's Audio header does not parse");
  std::size_t header = kHeader + (flags & kPeakLevel ? 4 : 0);
  std::uint64_t seekElements = frames;
  if (flags & kSeekElements) {
    if (bytes.size() < header + 4) return in.Fail(cut);
    seekElements = LittleEndian(bytes, header, 4);
    header += 4;
  }
  const std::uint64_t wavHeader = flags & kNoWavHeader ? 0 : LittleEndian(bytes, 16, 4);
  const std::uint64_t bitTable = version < 3810 ? frames : 0;
  const std::uint64_t parts =
      header + wavHeader + 4 * seekElements + bitTable + LittleEndian(bytes, 20, 4);
  if (parts >= end - at) return in.Fail(cut);
  return true;
}

bool CheckMonkeysAudio(const Reader& in, std::uint64_t at, std::uint64_t end) {
  std::string bytes;
  if (end - at < 6) return in.Fail("the file is cut short inside its Monkey's Audio data");
  if (!in.Read(at, 6, bytes)) return false;
  const std::uint64_t version = LittleEndian(bytes, 4, 2);
  return version >= 3980 ? CheckMonkeysDescriptor(in, at, end)
                         : CheckOldMonkeysHeader(in, at, end, version);
}

// A block's samples end where the next starts; the last must reach the
// total that the blocks record, unless they record none (a stream piped
// into the encoder).
struct WavPackSamples {
  bool seen = false;
  bool known = false;
  std::uint64_t total = 0;
  std::uint64_t reached = 0;
};

void CountWavPackSamples(const std::string& header, WavPackSamples& samples) {
  constexpr std::uint64_t kUnknown = 0xFFFFFFFF;
  const std::uint64_t total = LittleEndian(header, 12, 4);
  const std::uint64_t totalHigh = LittleEndian(header, 11, 1);
  const std::uint64_t index = LittleEndian(header, 16, 4) | LittleEndian(header, 10, 1) << 32;
  const std::uint64_t count = LittleEndian(header, 20, 4);
  if (!samples.seen) {
    // Totals past 32 bits skip the unknown value, once in every 2^32 - 1.
    samples.seen = true;
    samples.known = total != kUnknown;
    samples.total = total + (totalHigh << 32) - totalHigh;
  }
  if (count != 0) samples.reached = std::max(samples.reached, index + count);
}

bool CheckWavPack(const Reader& in, std::uint64_t at, std::uint64_t end) {
  constexpr std::size_t kHeader = 32;
  const char* const cut = "the file is cut short inside its WavPack blocks";
  std::string bytes;
  WavPackSamples samples;
  while (at < end) {
    if (end - at < kHeader) return in.Fail(cut);
    if (!in.Read(at, kHeader, bytes)) return false;
    const std::uint64_t size = LittleEndian(bytes, 4, 4);
    const std::uint64_t version = LittleEndian(bytes, 8, 2);
    const bool block = bytes.compare(0, 4, "wvpk") == 0;
    if (!block && samples.known && samples.reached >= samples.total) {
      return in.Fail("unknown bytes follow the WavPack blocks");
    }
    if (!block || size < kHeader - 8 || size >= 1 << 24 || size % 2 || version < 0x402 ||
        version > 0x410) {
      return in.Fail("a WavPack block does not parse");
    }
    if (size + 8 > end - at) return in.Fail(cut);
    CountWavPackSamples(bytes, samples);
    at += size + 8;
  }
  if (samples.known && samples.reached < samples.total) return in.Fail(cut);
  if (samples.known && samples.reached > samples.total) {
    return in.Fail("the WavPack blocks hold more samples than they count");
  }
  return true;
}

// The size after a packet's two-letter key: 7 bits a byte, high bit set
// on all but the last; `used` becomes the key's and size's length.
bool PacketSize(const std::string& bytes, std::uint64_t& size, std::size_t& used) {
  size = 0;
  for (used = 2; used < bytes.size(); ++used) {
    const auto byte = static_cast<unsigned char>(bytes[used]);
    size = size << 7 | (byte & 0x7F);
    if (!(byte & 0x80)) {
      ++used;
      return true;
    }
  }
  return false;
}

bool CheckMusepack8(const Reader& in, std::uint64_t at, std::uint64_t end) {
  constexpr std::size_t kMostHead = 2 + 8;
  const char* const cut = "the file is cut short inside its Musepack packets";
  std::string bytes;
  for (at += 4; at < end;) {
    if (!in.Read(at, Clamp(end - at, kMostHead), bytes)) return false;
    std::uint64_t size = 0;
    std::size_t used = 0;
    if (!PacketSize(bytes, size, used)) {
      return in.Fail(bytes.size() < kMostHead ? cut : "a Musepack packet does not parse");
    }
    const bool named =
        std::all_of(bytes.begin(), bytes.begin() + 2, [](char c) { return c >= 'A' && c <= 'Z'; });
    if (!named || size < used) return in.Fail("a Musepack packet does not parse");
    if (size > end - at) return in.Fail(cut);
    at += size;
    if (bytes.compare(0, 2, "SE") != 0) continue;
    if (at != end) return in.Fail("unknown bytes follow the Musepack stream's end");
    return true;
  }
  return in.Fail("the Musepack stream has no end packet (the file may be cut short)");
}

// The frames' own lengths are not walked, so a file cut inside them is seen
// only when too short for its frame count.
bool CheckMusepack7(const Reader& in, std::uint64_t at, std::uint64_t end) {
  constexpr std::size_t kHeader = 28;
  constexpr std::uint64_t kFirstFrameBit = 200;
  constexpr std::uint64_t kLengthBits = 20;  // each frame's, before at most 2^20 - 1 bits
  std::string bytes;
  if (end - at < kHeader) return in.Fail("the file is cut short inside its Musepack header");
  if (!in.Read(at, kHeader, bytes)) return false;
  const std::uint64_t frames = LittleEndian(bytes, 4, 4);
  const std::uint64_t gapless = LittleEndian(bytes, 20, 4);
  const bool lastFrameFits = !(gapless >> 31) || ((gapless >> 20) & 0x7FF) <= 1152;
  if ((bytes[3] & 0x0F) != 7 || frames == 0 || !lastFrameFits) {
    return in.Fail("the Musepack SV7 header does not parse");
  }
  const std::uint64_t bits = (end - at) * 8 - kFirstFrameBit;
  if (bits < frames * kLengthBits) {
    return in.Fail("the file is cut short inside its Musepack frames");
  }
  if (bits > frames * (kLengthBits + 0xFFFFF) + 32) {
    return in.Fail("the Musepack SV7 frame count does not fit the file's size");
  }
  return true;
}

// Where the audio stream starts: after an ID3v2 tag, which Monkey's Audio
// and Musepack files may carry.
bool StreamStart(const Reader& in, std::uint64_t end, std::uint64_t& at) {
  std::string bytes;
  at = 0;
  if (end < 10) return true;
  if (!in.Read(0, 10, bytes)) return false;
  at = Id3v2TagSize(bytes).value_or(0);
  return true;
}

// The audio that ends at `end`, where its magic says what it is; other
// files (MP3s) are left to their callers.
bool CheckAudio(const Reader& in, std::uint64_t end) {
  std::uint64_t at = 0;
  std::string magic;
  if (!StreamStart(in, end, at)) return false;
  if (at > end) return in.Fail("the file is cut short inside its ID3v2 tag");
  if (end - at < 4) return true;
  if (!in.Read(at, 4, magic)) return false;
  if (magic == "MAC ") return CheckMonkeysAudio(in, at, end);
  if (magic == "wvpk") return CheckWavPack(in, at, end);
  if (magic == "MPCK") return CheckMusepack8(in, at, end);
  if (magic.compare(0, 3, "MP+") == 0) return CheckMusepack7(in, at, end);
  return true;
}

// ---- The tag ----

struct TagBlock {
  std::uint64_t version = 0;
  std::uint64_t size = 0;  // items and footer
  std::uint64_t count = 0;
  std::uint64_t flags = 0;
};

bool ParseBlock(const std::string& bytes, TagBlock& block) {
  if (bytes.compare(0, 8, kMarker) != 0) return false;
  block.version = LittleEndian(bytes, 8, 4);
  block.size = LittleEndian(bytes, 12, 4);
  block.count = LittleEndian(bytes, 16, 4);
  block.flags = LittleEndian(bytes, 20, 4);
  return true;
}

std::string RenderBlock(const TagBlock& block) {
  return std::string(kMarker) + LittleEndianBytes(block.version, 4) +
         LittleEndianBytes(block.size, 4) + LittleEndianBytes(block.count, 4) +
         LittleEndianBytes(block.flags, 4) + std::string(8, '\0');
}

struct SortItem {
  std::uint64_t at = 0;
  std::uint64_t length = 0;  // the whole item
  std::uint64_t valueAt = 0;
  std::uint64_t valueSize = 0;
  std::uint64_t flags = 0;
};

struct Tag {
  std::uint64_t start = 0;  // the header, or the first item
  std::uint64_t footerAt = 0;
  bool hasHeader = false;
  TagBlock footer;
  std::vector<SortItem> sortItems;
};

bool IsSortKey(const std::string& bytes, std::size_t at, std::size_t length) {
  if (length != sizeof(kSortKey) - 1) return false;
  for (std::size_t i = 0; i < length; ++i) {
    char c = bytes[at + i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != kSortKey[i]) return false;
  }
  return true;
}

// The item at `at`, which must end by `end`; its length in `length`.
bool ParseItem(const Reader& in, std::uint64_t at, std::uint64_t end, Tag& tag,
               std::uint64_t& length) {
  std::string bytes;
  if (end - at < kItemHead + kMinKey + 1) return in.Fail("an APE item runs past its tag's end");
  if (!in.Read(at, Clamp(end - at, kItemHead + kMaxKey + 1), bytes)) return false;
  const std::size_t nul = bytes.find('\0', kItemHead);
  const std::size_t key = nul == std::string::npos ? 0 : nul - kItemHead;
  const std::string_view name(bytes.data() + kItemHead, key);
  const bool printable =
      std::all_of(name.begin(), name.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
  if (key < kMinKey || key > kMaxKey || !printable) {
    return in.Fail("an APE item's key does not parse");
  }
  const std::uint64_t valueSize = LittleEndian(bytes, 0, 4);
  length = kItemHead + key + 1 + valueSize;
  if (length > end - at) return in.Fail("an APE item runs past its tag's end");
  if (IsSortKey(bytes, kItemHead, key)) {
    tag.sortItems.push_back(
        {at, length, at + kItemHead + key + 1, valueSize, LittleEndian(bytes, 4, 4)});
  }
  return true;
}

bool ParseItems(const Reader& in, std::uint64_t at, Tag& tag) {
  for (std::uint64_t i = 0; i < tag.footer.count; ++i) {
    std::uint64_t length = 0;
    if (at == tag.footerAt) return in.Fail("the APE tag holds fewer items than it counts");
    if (!ParseItem(in, at, tag.footerAt, tag, length)) return false;
    at += length;
  }
  if (at != tag.footerAt) return in.Fail("the APE tag holds bytes after its last item");
  return true;
}

bool ParseHeader(const Reader& in, Tag& tag) {
  std::string bytes;
  TagBlock header;
  if (!in.Read(tag.start, kBlockSize, bytes)) return false;
  if (!ParseBlock(bytes, header)) return in.Fail("the APE tag's header is missing");
  if (!(header.flags & kIsHeader) || header.version != tag.footer.version ||
      header.size != tag.footer.size || header.count != tag.footer.count) {
    return in.Fail("the APE tag's header and footer disagree");
  }
  return true;
}

// The tag whose footer ends at `end`.
bool ParseTag(const Reader& in, std::uint64_t end, Tag& tag) {
  std::string bytes;
  tag.footerAt = end - kBlockSize;
  if (!in.Read(tag.footerAt, kBlockSize, bytes)) return false;
  if (!ParseBlock(bytes, tag.footer)) return in.Fail("the APE tag does not parse");
  if (tag.footer.version != 1000 && tag.footer.version != 2000) {
    return in.Fail("the APE tag's version is neither 1000 nor 2000");
  }
  if (tag.footer.flags & kIsHeader) return in.Fail("the APE tag's footer is missing");
  if (tag.footer.size < kBlockSize) return in.Fail("the APE tag does not parse");
  tag.hasHeader = tag.footer.flags & kHasHeader;
  const std::uint64_t whole = tag.footer.size + (tag.hasHeader ? kBlockSize : 0);
  if (whole > end) return in.Fail("the APE tag is larger than the file");
  tag.start = end - whole;
  if (tag.hasHeader && !ParseHeader(in, tag)) return false;
  return ParseItems(in, end - tag.footer.size, tag);
}

bool HasMarker(const Reader& in, std::uint64_t at, bool& found) {
  std::string bytes;
  if (!in.Read(at, sizeof(kMarker) - 1, bytes)) return false;
  found = bytes == kMarker;
  return true;
}

// Whether the file ends in an APE footer (before an ID3v1 tag if there is
// one), and where the tag ends or would go.
bool FindFooter(const Reader& in, bool& found, std::uint64_t& end) {
  const std::uint64_t size = in.Size();
  std::string bytes;
  end = size;
  found = false;
  if (size >= kId3v1Size) {
    if (!in.Read(size - kId3v1Size, 3, bytes)) return false;
    if (bytes == "TAG") end = size - kId3v1Size;
  }
  if (end >= kBlockSize && !HasMarker(in, end - kBlockSize, found)) return false;
  if (found || end == size || size < kBlockSize) return true;
  // TagLib takes the last 128 bytes for ID3v1 and would not see this tag.
  bool atEnd = false;
  if (!HasMarker(in, size - kBlockSize, atEnd)) return false;
  if (atEnd) return in.Fail("the file's end reads as both an APE tag and an ID3v1 tag");
  return true;
}

// A tag's marker near the end without a footer where it belongs.
bool RefuseStrayMarker(const Reader& in) {
  const std::uint64_t size = in.Size();
  const std::size_t markerLength = sizeof(kMarker) - 1;
  std::string piece;
  for (std::uint64_t at = size > kScanLength ? size - kScanLength : 0; at < size;) {
    if (!in.Read(at, Clamp(size - at, kScanPiece), piece)) return false;
    if (piece.find(kMarker) != std::string::npos) {
      return in.Fail("the file holds an APE tag that is cut short or out of place");
    }
    if (at + piece.size() >= size) break;
    at += piece.size() - (markerLength - 1);
  }
  return true;
}

// ---- The edit ----

std::string SortItemBytes(const std::string& utf8) {
  return LittleEndianBytes(utf8.size(), 4) + LittleEndianBytes(0, 4) + kSortKey + '\0' + utf8;
}

bool EditFirstSortItem(const Reader& in, const SortItem& item, const std::string& utf8,
                       Splices& splices) {
  const std::uint64_t type = (item.flags >> 1) & 3;
  if (type == 1) return in.Fail("the APE ALBUMSORT item holds binary data, not text");
  if (type == 2) return in.Fail("the APE ALBUMSORT item points to an external file, not text");
  if (type == 3) return in.Fail("the APE ALBUMSORT item is of an unknown kind, not text");
  std::string old;
  if (item.valueSize != utf8.size()) {
    splices.push_back({item.at, 4, LittleEndianBytes(utf8.size(), 4)});
  } else if (!in.Read(item.valueAt, utf8.size(), old)) {
    return false;
  }
  if (item.valueSize != utf8.size() || old != utf8) {
    splices.push_back({item.valueAt, item.valueSize, utf8});
  }
  return true;
}

// The block's size and count fields, where they change.
void EditBlock(std::uint64_t at, const TagBlock& old, const TagBlock& edited, Splices& splices) {
  if (edited.size != old.size) splices.push_back({at + 12, 4, LittleEndianBytes(edited.size, 4)});
  if (edited.count != old.count) {
    splices.push_back({at + 16, 4, LittleEndianBytes(edited.count, 4)});
  }
}

bool EditTag(const Reader& in, const Tag& tag, const std::string& utf8, Splices& splices) {
  TagBlock edited = tag.footer;
  Splices items;
  for (const SortItem& item : tag.sortItems) {
    if (&item == &tag.sortItems.front() && !utf8.empty()) {
      if (!EditFirstSortItem(in, item, utf8, items)) return false;
      edited.size = edited.size - item.valueSize + utf8.size();
      continue;
    }
    items.push_back({item.at, item.length, std::string()});
    edited.size -= item.length;
    --edited.count;
  }
  if (tag.sortItems.empty() && !utf8.empty()) {
    items.push_back({tag.footerAt, 0, SortItemBytes(utf8)});
    edited.size += items.back().bytes.size();
    ++edited.count;
  }
  if (edited.size > kMaxField) return in.Fail("the APE tag would grow past 4 GiB");
  if (tag.hasHeader) EditBlock(tag.start, tag.footer, edited, splices);
  splices.insert(splices.end(), items.begin(), items.end());
  EditBlock(tag.footerAt, tag.footer, edited, splices);
  return true;
}

bool AddTag(const Reader& in, std::uint64_t at, const std::string& utf8, Splices& splices) {
  constexpr std::uint64_t kVersion2 = 2000;
  const std::string item = SortItemBytes(utf8);
  if (item.size() + kBlockSize > kMaxField) return in.Fail("the new value is too long");
  TagBlock block{kVersion2, item.size() + kBlockSize, 1, kHasHeader | kIsHeader};
  std::string bytes = RenderBlock(block) + item;
  block.flags = kHasHeader;
  splices.push_back({at, 0, bytes + RenderBlock(block)});
  return true;
}

}  // namespace

bool EditApeSortAlbum(const ByteSource& file, const WideString& value, ApeTagMissing missing,
                      Splices& splices, std::string& reason) {
  splices.clear();
  const Reader in(file, reason);
  std::string utf8;
  if (!EncodeUtf8(value, utf8)) return in.Fail("the new value holds an unpaired UTF-16 surrogate");
  bool found = false;
  std::uint64_t end = 0;
  if (!FindFooter(in, found, end)) return false;
  if (!found) {
    if (!RefuseStrayMarker(in)) return false;
    if (utf8.empty() || missing == ApeTagMissing::Leave) return true;
    return CheckAudio(in, end) && AddTag(in, end, utf8, splices);
  }
  Tag tag;
  Splices edit;
  if (!ParseTag(in, end, tag) || !CheckAudio(in, tag.start) || !EditTag(in, tag, utf8, edit)) {
    return false;
  }
  splices = std::move(edit);
  return true;
}
