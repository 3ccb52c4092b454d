#include "folder/ogg_edit.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <map>
#include <vector>

#include "folder/vorbis_comment.h"

namespace {

constexpr std::size_t kHeaderSize = 27;
constexpr std::size_t kMaxSegments = 255;
constexpr std::size_t kFullSegment = 255;  // a lacing value that says the packet goes on
constexpr std::size_t kSequenceAt = 18;
constexpr std::size_t kChecksumAt = 22;
constexpr unsigned kContinued = 0x01;
constexpr unsigned kBeginning = 0x02;
constexpr unsigned kEnd = 0x04;
constexpr std::uint64_t kNoGranule = std::numeric_limits<std::uint64_t>::max();
constexpr std::size_t kUnknown = std::numeric_limits<std::size_t>::max();

std::uint32_t Checksum(std::uint32_t crc, const std::string& bytes, std::size_t from,
                       std::size_t length) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> entries{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t entry = i << 24;
      for (int bit = 0; bit < 8; ++bit) {
        entry = (entry & 0x80000000u) ? (entry << 1) ^ 0x04C11DB7u : entry << 1;
      }
      entries[i] = entry;
    }
    return entries;
  }();
  for (std::size_t i = from; i < from + length; ++i) {
    crc = (crc << 8) ^ table[((crc >> 24) ^ static_cast<unsigned char>(bytes[i])) & 0xFF];
  }
  return crc;
}

// Computed as if the checksum field held zeros.
std::uint32_t PageChecksum(const std::string& page) {
  static const std::string kZeros(4, '\0');
  std::uint32_t crc = Checksum(0, page, 0, kChecksumAt);
  crc = Checksum(crc, kZeros, 0, kZeros.size());
  return Checksum(crc, page, kChecksumAt + 4, page.size() - kChecksumAt - 4);
}

bool StartsWith(const std::string& bytes, const std::string& prefix) {
  return bytes.compare(0, prefix.size(), prefix) == 0;
}

struct Page {
  std::uint64_t offset = 0;
  std::size_t number = 0;  // counted from 1 in the file, for the reasons
  std::string bytes;

  unsigned Flags() const { return static_cast<unsigned char>(bytes[5]); }
  std::uint64_t Granule() const { return LittleEndian(bytes, 6, 8); }
  std::uint32_t Serial() const { return static_cast<std::uint32_t>(LittleEndian(bytes, 14, 4)); }
  std::uint32_t Sequence() const {
    return static_cast<std::uint32_t>(LittleEndian(bytes, kSequenceAt, 4));
  }
  std::size_t Segments() const { return static_cast<unsigned char>(bytes[26]); }
  std::size_t Lacing(std::size_t segment) const {
    return static_cast<unsigned char>(bytes[kHeaderSize + segment]);
  }
  std::size_t BodyAt() const { return kHeaderSize + Segments(); }
  std::string Name() const { return "page " + std::to_string(number); }
};

bool ReadBytes(const ByteSource& file, std::uint64_t offset, std::uint64_t length,
               std::string& bytes, std::string& reason) {
  if (file.Read(offset, static_cast<std::size_t>(length), bytes)) return true;
  reason = "the file cannot be read";
  return false;
}

// The page at `page.offset`, with its lengths inside the file and its
// checksum right. One page at a time keeps a large file out of memory.
bool ReadPage(const ByteSource& file, bool streamsOpen, Page& page, std::string& reason) {
  const std::uint64_t left = file.Size() - page.offset;
  std::string header;
  if (!ReadBytes(file, page.offset, std::min<std::uint64_t>(left, kHeaderSize), header, reason)) {
    return false;
  }
  const std::size_t captured = std::min<std::size_t>(header.size(), 4);
  if (header.compare(0, captured, "OggS", captured) != 0) {
    if (page.offset == 0) {
      reason = "the file is not an Ogg file";
    } else if (!streamsOpen) {
      reason = "the file has bytes after its last page";
    } else {
      reason = page.Name() + " does not start with OggS";
    }
    return false;
  }
  if (header.size() < kHeaderSize) {
    reason = "the file is cut short";
    return false;
  }
  if (header[4] != '\0') {
    reason = page.Name() + " has an unknown version";
    return false;
  }
  const std::size_t segments = static_cast<unsigned char>(header[26]);
  std::string lacing;
  if (left < kHeaderSize + segments) {
    reason = "the file is cut short";
    return false;
  }
  if (!ReadBytes(file, page.offset + kHeaderSize, segments, lacing, reason)) return false;
  std::uint64_t bodySize = 0;
  for (char value : lacing) bodySize += static_cast<unsigned char>(value);
  std::string body;
  if (left < kHeaderSize + segments + bodySize) {
    reason = "the file is cut short";
    return false;
  }
  if (!ReadBytes(file, page.offset + kHeaderSize + segments, bodySize, body, reason)) return false;
  page.bytes = header + lacing + body;
  if (PageChecksum(page.bytes) != LittleEndian(page.bytes, kChecksumAt, 4)) {
    reason = page.Name() + " has a wrong checksum";
    return false;
  }
  return true;
}

// What makes the file whole beyond each page's own checks: every stream
// begins, numbers its pages without a gap, carries its packets across pages
// and ends before the file does; and the first link holds one stream only.
class Wholeness {
 public:
  bool AnyOpen() const { return !m_Open.empty(); }
  bool Take(const Page& page, std::string& reason);
  bool Finish(std::string& reason) const;

 private:
  struct Stream {
    std::uint32_t next = 0;
    bool packetOpen = false;
  };
  std::map<std::uint32_t, Stream> m_Open;
  bool m_FirstLink = true;
};

bool Wholeness::Take(const Page& page, std::string& reason) {
  auto found = m_Open.find(page.Serial());
  if (page.Flags() & kBeginning) {
    if (m_FirstLink && !m_Open.empty()) {
      reason = "the file holds several interleaved streams";
      return false;
    }
    if (found != m_Open.end()) {
      reason = page.Name() + " begins a stream that has already begun";
      return false;
    }
    found = m_Open.emplace(page.Serial(), Stream{page.Sequence(), false}).first;
  } else if (found == m_Open.end()) {
    reason = page.number == 1 ? "the first page does not begin a stream"
                              : page.Name() + " belongs to no stream that has begun";
    return false;
  }
  Stream& stream = found->second;
  const bool continued = page.Flags() & kContinued;
  const char* fault = nullptr;
  if (page.Sequence() != stream.next) {
    fault = " is out of sequence";
  } else if (continued && !stream.packetOpen) {
    fault = " continues a packet that never began";
  } else if (!continued && stream.packetOpen) {
    fault = " breaks off a packet";
  }
  if (fault != nullptr) {
    reason = page.Name() + fault;
    return false;
  }
  if (page.Segments() > 0) stream.packetOpen = page.Lacing(page.Segments() - 1) == kFullSegment;
  stream.next = page.Sequence() + 1;
  if (page.Flags() & kEnd) {
    m_Open.erase(found);
    m_FirstLink = false;
  }
  return true;
}

bool Wholeness::Finish(std::string& reason) const {
  if (m_Open.empty()) return true;
  // Most often a file that lost its end; else a last page without its flag.
  reason = "the file is cut short";
  return false;
}

// How the rebuilt pages are stamped, taken from the pages they replace.
struct Stamp {
  std::uint32_t serial = 0;
  std::uint32_t sequence = 0;     // of the first page
  std::uint64_t granuleEnd = 0;   // on pages where a packet ends
  std::uint64_t granuleOpen = 0;  // on pages where none does
  unsigned lastFlags = 0;         // an end of stream stays on the last page
};

std::string PageOf(const Stamp& stamp, unsigned flags, bool packetEnds, std::uint32_t sequence,
                   const std::string& lacing, const std::string& body) {
  std::string page("OggS\0", 5);
  page.push_back(static_cast<char>(flags));
  page += LittleEndianBytes(packetEnds ? stamp.granuleEnd : stamp.granuleOpen, 8);
  page += LittleEndianBytes(stamp.serial, 4);
  page += LittleEndianBytes(sequence, 4);
  page.append(4, '\0');
  page.push_back(static_cast<char>(lacing.size()));
  page += lacing;
  page += body;
  page.replace(kChecksumAt, 4, LittleEndianBytes(PageChecksum(page), 4));
  return page;
}

// The packets on as few pages as the lacing allows.
std::vector<std::string> LayOut(const std::vector<std::string>& packets, const Stamp& stamp) {
  std::string lacing;
  std::string body;
  for (const std::string& packet : packets) {
    lacing.append(packet.size() / kFullSegment, static_cast<char>(kFullSegment));
    lacing.push_back(static_cast<char>(packet.size() % kFullSegment));
    body += packet;
  }
  std::vector<std::string> pages;
  bool continued = false;
  std::size_t at = 0;
  for (std::size_t segment = 0; segment < lacing.size();) {
    const std::size_t count = std::min(kMaxSegments, lacing.size() - segment);
    std::size_t size = 0;
    bool packetEnds = false;
    for (std::size_t i = segment; i < segment + count; ++i) {
      const std::size_t value = static_cast<unsigned char>(lacing[i]);
      size += value;
      packetEnds = packetEnds || value < kFullSegment;
    }
    const bool last = segment + count == lacing.size();
    const unsigned flags = (continued ? kContinued : 0) | (last ? stamp.lastFlags : 0);
    const auto sequence = static_cast<std::uint32_t>(stamp.sequence + pages.size());
    pages.push_back(PageOf(stamp, flags, packetEnds, sequence, lacing.substr(segment, count),
                           body.substr(at, size)));
    continued = static_cast<unsigned char>(lacing[segment + count - 1]) == kFullSegment;
    segment += count;
    at += size;
  }
  return pages;
}

// The splices that turn `before`, at `offset` in the file, into `after`. At
// the same size only the runs that differ (runs nearer than kGap joined), so
// that a write in place touches little; otherwise one splice, common ends
// left out.
void AddDifference(std::uint64_t offset, const std::string& before, const std::string& after,
                   Splices& splices) {
  constexpr std::size_t kGap = 16;
  if (before.size() == after.size()) {
    for (std::size_t i = 0; i < before.size();) {
      if (before[i] == after[i]) {
        ++i;
        continue;
      }
      std::size_t end = i + 1;
      for (std::size_t j = end, same = 0; j < before.size() && same < kGap; ++j) {
        if (before[j] == after[j]) {
          ++same;
        } else {
          same = 0;
          end = j + 1;
        }
      }
      splices.push_back({offset + i, end - i, after.substr(i, end - i)});
      i = end;
    }
    return;
  }
  const std::size_t shorter = std::min(before.size(), after.size());
  std::size_t head = 0;
  while (head < shorter && before[head] == after[head]) ++head;
  std::size_t tail = 0;
  while (tail < shorter - head &&
         before[before.size() - 1 - tail] == after[after.size() - 1 - tail]) {
    ++tail;
  }
  splices.push_back(
      {offset + head, before.size() - head - tail, after.substr(head, after.size() - head - tail)});
}

enum class Codec { kVorbis, kOpus, kSpeex, kFlac };

struct Packet {
  std::string bytes;
  std::size_t firstPage = 0;  // indices into the gathered pages
  std::size_t lastPage = 0;
};

// The first logical stream: its header packets gathered from its first
// pages, the edit made once they are complete, and its later pages
// renumbered when the edit changes how many pages the headers take.
class FirstStream {
 public:
  explicit FirstStream(const WideString& value) : m_Value(value) {}
  void Take(const Page& page);
  bool Finish(Splices& splices, std::string& reason) const;

 private:
  enum class State { kHeaders, kAudio, kDone };

  void Gather();
  bool Count();
  bool Identify(const std::string& packet);
  bool FindComment(std::size_t& index, std::size_t& listAt);
  void Edit();
  bool EditComment(std::size_t index, std::size_t listAt, std::string& edited);
  void Rebuild(std::size_t first, std::size_t last, std::size_t comment, const std::string& edited);
  void Renumber(const Page& page);
  void Fail(const std::string& reason);

  const WideString m_Value;
  State m_State = State::kHeaders;
  std::string m_Reason;
  Codec m_Codec = Codec::kVorbis;
  std::size_t m_HeaderCount = kUnknown;
  std::size_t m_HeaderBytes = 0;
  std::vector<Page> m_Pages;
  std::vector<Packet> m_Packets;
  bool m_PacketOpen = false;
  bool m_AudioOnLastPage = false;  // the page that ends the headers begins audio
  std::uint32_t m_Shift = 0;       // added to every later sequence number
  Splices m_Splices;
};

void FirstStream::Take(const Page& page) {
  if (m_State == State::kHeaders) {
    m_Pages.push_back(page);
    Gather();
    if (m_State == State::kHeaders && (page.Flags() & kEnd)) {
      Fail("the stream ends inside its header packets");
    }
  } else if (m_State == State::kAudio) {
    Renumber(page);
  }
  if (page.Flags() & kEnd) m_State = State::kDone;
}

bool FirstStream::Finish(Splices& splices, std::string& reason) const {
  if (!m_Reason.empty()) {
    reason = m_Reason;
    return false;
  }
  splices = m_Splices;
  return true;
}

void FirstStream::Fail(const std::string& reason) {
  m_Reason = reason;
  m_State = State::kDone;
}

// The packets that end on the latest page; the edit once the last header
// packet is among them.
void FirstStream::Gather() {
  const std::size_t index = m_Pages.size() - 1;
  const Page& page = m_Pages[index];
  std::size_t at = page.BodyAt();
  for (std::size_t segment = 0; segment < page.Segments(); ++segment) {
    if (!m_PacketOpen) m_Packets.push_back({std::string(), index, index});
    m_PacketOpen = true;
    const std::size_t length = page.Lacing(segment);
    m_Packets.back().bytes.append(page.bytes, at, length);
    at += length;
    if (length == kFullSegment) continue;
    m_PacketOpen = false;
    m_Packets.back().lastPage = index;
    if (!Count()) return;
    if (m_Packets.size() == m_HeaderCount) {
      m_AudioOnLastPage = segment + 1 < page.Segments();
      Edit();
      return;
    }
  }
}

// How many header packets the stream has, as far as the packets so far say.
bool FirstStream::Count() {
  const std::string& packet = m_Packets.back().bytes;
  // Headers held in memory until the edit: a damaged count must not make
  // them the whole file.
  constexpr std::size_t kMostHeaders = 1024;
  constexpr std::size_t kMostHeaderBytes = std::size_t{64} << 20;
  m_HeaderBytes += packet.size();
  if (m_Packets.size() > kMostHeaders || m_HeaderBytes > kMostHeaderBytes) {
    Fail("its header packets are too many or too large to edit");
    return false;
  }
  if (m_Packets.size() == 1) return Identify(packet);
  if (m_Codec != Codec::kFlac) return true;
  const auto type = static_cast<unsigned char>(packet.size() < 4 ? 0x7F : packet[0]);
  if ((type & 0x7F) == 0x7F) {
    Fail("a FLAC metadata block does not parse");
    return false;
  }
  if (type & 0x80) m_HeaderCount = m_Packets.size();  // the last metadata block
  return true;
}

bool FirstStream::Identify(const std::string& packet) {
  constexpr std::size_t kSpeexHeaderSize = 80;
  constexpr std::size_t kSpeexExtraHeadersAt = 68;
  if (StartsWith(packet, "\x01vorbis")) {
    m_Codec = Codec::kVorbis;
    m_HeaderCount = 3;
  } else if (StartsWith(packet, "OpusHead")) {
    m_Codec = Codec::kOpus;
    m_HeaderCount = 2;
  } else if (StartsWith(packet, "Speex   ")) {
    if (packet.size() < kSpeexHeaderSize) {
      Fail("the Speex header is cut short");
      return false;
    }
    m_Codec = Codec::kSpeex;
    m_HeaderCount = 2 + static_cast<std::size_t>(LittleEndian(packet, kSpeexExtraHeadersAt, 4));
  } else if (StartsWith(packet,
                        "\x7F"
                        "FLAC")) {
    m_Codec = Codec::kFlac;  // the metadata blocks say where the headers end
  } else {
    Fail("the stream is not Vorbis, Opus, Speex or FLAC");
    return false;
  }
  return true;
}

// Which header packet holds the comment list, and where the list begins.
bool FirstStream::FindComment(std::size_t& index, std::size_t& listAt) {
  index = 1;
  switch (m_Codec) {
    case Codec::kVorbis:
      listAt = 7;
      if (StartsWith(m_Packets[1].bytes, "\x03vorbis")) return true;
      Fail("the Vorbis stream has no comment packet");
      return false;
    case Codec::kOpus:
      listAt = 8;
      if (StartsWith(m_Packets[1].bytes, "OpusTags")) return true;
      Fail("the Opus stream has no OpusTags packet");
      return false;
    case Codec::kSpeex:
      listAt = 0;
      return true;
    case Codec::kFlac:
      listAt = 4;
      for (; index < m_Packets.size(); ++index) {
        if ((m_Packets[index].bytes[0] & 0x7F) == 4) return true;
      }
      Fail("the FLAC stream has no VORBIS_COMMENT block");
      return false;
  }
  return false;
}

// The comment packet with the new value; false (and failed) when it cannot take it.
bool FirstStream::EditComment(std::size_t index, std::size_t listAt, std::string& edited) {
  const std::string& packet = m_Packets[index].bytes;
  if (m_Codec == Codec::kFlac && BigEndian(packet, 1, 3) != packet.size() - listAt) {
    Fail("the VORBIS_COMMENT block does not fill its packet");
    return false;
  }
  const std::string list = packet.substr(listAt);
  Splices splices;
  std::string reason;
  if (!EditVorbisComment(list, m_Value, splices, reason)) {
    Fail(reason);
    return false;
  }
  if (splices.empty()) {
    edited = packet;
    return true;
  }
  edited = packet.substr(0, listAt) + ApplySplices(list, splices);
  if (m_Codec == Codec::kFlac) {
    const std::size_t length = edited.size() - listAt;
    if (length > 0xFFFFFF) {
      Fail("the new comment is too long for a FLAC metadata block");
      return false;
    }
    edited.replace(1, 3, BigEndianBytes(length, 3));
  }
  return true;
}

void FirstStream::Edit() {
  m_State = State::kAudio;
  std::size_t comment = 0;
  std::size_t listAt = 0;
  std::string edited;
  if (!FindComment(comment, listAt) || !EditComment(comment, listAt, edited)) return;
  if (edited == m_Packets[comment].bytes) return;
  // The packets that share a page with the comment, directly or through
  // one another, are laid out again with it.
  std::size_t first = comment;
  while (first > 0 && m_Packets[first].firstPage == m_Packets[first - 1].lastPage) --first;
  std::size_t last = comment;
  while (last + 1 < m_Packets.size() && m_Packets[last + 1].firstPage == m_Packets[last].lastPage) {
    ++last;
  }
  if (first == 0) {
    Fail("the identification header shares a page with the comment");
  } else if (last + 1 == m_Packets.size() && m_AudioOnLastPage) {
    Fail("an audio packet shares a page with the comment");
  } else {
    Rebuild(first, last, comment, edited);
  }
}

void FirstStream::Rebuild(std::size_t first, std::size_t last, std::size_t comment,
                          const std::string& edited) {
  const std::size_t from = m_Packets[first].firstPage;
  const std::size_t to = m_Packets[last].lastPage;
  Stamp stamp;
  stamp.serial = m_Pages[from].Serial();
  stamp.sequence = m_Pages[from].Sequence();
  stamp.granuleEnd = m_Pages[to].Granule();
  stamp.granuleOpen = kNoGranule;
  stamp.lastFlags = m_Pages[to].Flags() & ~kContinued;
  std::string before;
  for (std::size_t i = from; i <= to; ++i) {
    const Page& page = m_Pages[i];
    bool packetEnds = false;
    for (std::size_t s = 0; s < page.Segments(); ++s) {
      packetEnds = packetEnds || page.Lacing(s) < kFullSegment;
    }
    if (!packetEnds) stamp.granuleOpen = page.Granule();
    before += page.bytes;
  }
  std::vector<std::string> packets;
  for (std::size_t i = first; i <= last; ++i) {
    packets.push_back(i == comment ? edited : m_Packets[i].bytes);
  }
  const std::vector<std::string> pages = LayOut(packets, stamp);
  std::string after;
  for (const std::string& page : pages) after += page;
  AddDifference(m_Pages[from].offset, before, after, m_Splices);
  m_Shift = static_cast<std::uint32_t>(pages.size() - (to - from + 1));
  for (std::size_t i = to + 1; i < m_Pages.size(); ++i) Renumber(m_Pages[i]);
}

void FirstStream::Renumber(const Page& page) {
  if (m_Shift == 0) return;
  std::string bytes = page.bytes;
  const std::string sequence = LittleEndianBytes(page.Sequence() + m_Shift, 4);
  bytes.replace(kSequenceAt, 4, sequence);
  m_Splices.push_back({page.offset + kSequenceAt, 4, sequence});
  m_Splices.push_back({page.offset + kChecksumAt, 4, LittleEndianBytes(PageChecksum(bytes), 4)});
}

}  // namespace

bool EditOggSortAlbum(const ByteSource& file, const WideString& value, Splices& splices,
                      std::string& reason) {
  splices.clear();
  if (file.Size() == 0) {
    reason = "the file is empty";
    return false;
  }
  Wholeness wholeness;
  FirstStream stream(value);
  Page page;
  for (std::uint64_t offset = 0; offset < file.Size(); offset += page.bytes.size()) {
    page.offset = offset;
    ++page.number;
    if (!ReadPage(file, wholeness.AnyOpen(), page, reason) || !wholeness.Take(page, reason)) {
      return false;
    }
    stream.Take(page);
  }
  return wholeness.Finish(reason) && stream.Finish(splices, reason);
}
