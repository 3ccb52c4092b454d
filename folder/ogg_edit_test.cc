#include "folder/ogg_edit.h"

#include <gtest/gtest.h>
#include <taglib/oggflacfile.h>
#include <taglib/opusfile.h>
#include <taglib/speexfile.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/vorbisfile.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

// ---- Ogg framing of the tests' own, bit by bit, to check the editor against.

constexpr unsigned kContinued = 1;
constexpr unsigned kBeginning = 2;
constexpr unsigned kEnd = 4;
constexpr std::uint64_t kNoGranule = ~std::uint64_t{0};

std::uint32_t Crc(const std::string& page) {
  std::uint32_t crc = 0;
  for (std::size_t i = 0; i < page.size(); ++i) {
    const auto byte = static_cast<std::uint32_t>(i >= 22 && i < 26 ? 0 : (page[i] & 0xFF));
    crc ^= byte << 24;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

std::string Le(std::uint64_t value, int count) { return LittleEndianBytes(value, count); }

void Seal(std::string& page) { page.replace(22, 4, Le(Crc(page), 4)); }

std::string WritePage(unsigned flags, std::uint64_t granule, std::uint32_t serial,
                      std::uint32_t sequence, const std::string& lacing, const std::string& body) {
  std::string page = std::string("OggS\0", 5) + static_cast<char>(flags) + Le(granule, 8) +
                     Le(serial, 4) + Le(sequence, 4) + std::string(4, '\0') +
                     static_cast<char>(lacing.size()) + lacing + body;
  Seal(page);
  return page;
}

// One logical stream: each group of packets starts a fresh page, as an
// encoder's flush does; groups before `headerGroups` carry granule 0.
struct StreamPlan {
  std::uint32_t serial = 7;
  std::vector<std::vector<std::string>> groups;
  std::size_t headerGroups = 0;
  std::size_t maxSegments = 255;
  bool end = true;
};

struct Built {
  std::string bytes;
  std::vector<std::size_t> groupPage;  // the first page of each group, and then the page count
};

Built Build(const StreamPlan& plan) {
  Built built;
  std::uint32_t sequence = 0;
  for (std::size_t g = 0; g < plan.groups.size(); ++g) {
    built.groupPage.push_back(sequence);
    std::string lacing;
    std::string body;
    for (const std::string& packet : plan.groups[g]) {
      lacing.append(packet.size() / 255, '\xFF');
      lacing.push_back(static_cast<char>(packet.size() % 255));
      body += packet;
    }
    const std::uint64_t granule = g < plan.headerGroups ? 0 : 1000 * g;
    std::size_t at = 0;
    for (std::size_t s = 0; s < lacing.size();) {
      const std::size_t count = std::min(plan.maxSegments, lacing.size() - s);
      std::size_t size = 0;
      bool ends = false;
      for (std::size_t i = s; i < s + count; ++i) {
        size += static_cast<unsigned char>(lacing[i]);
        ends = ends || static_cast<unsigned char>(lacing[i]) < 255;
      }
      unsigned flags = sequence == 0 ? kBeginning : 0;
      if (s > 0 && lacing[s - 1] == '\xFF') flags |= kContinued;
      if (plan.end && g + 1 == plan.groups.size() && s + count == lacing.size()) flags |= kEnd;
      built.bytes += WritePage(flags, ends ? granule : kNoGranule, plan.serial, sequence++,
                               lacing.substr(s, count), body.substr(at, size));
      s += count;
      at += size;
    }
  }
  built.groupPage.push_back(sequence);
  return built;
}

struct ParsedPage {
  std::size_t offset = 0;
  std::string raw;
  unsigned flags = 0;
  std::uint32_t serial = 0;
  std::uint32_t sequence = 0;
};

// Every page of `file`; a failure unless they tile it, each with its checksum right.
std::vector<ParsedPage> ParsePages(const std::string& file) {
  std::vector<ParsedPage> pages;
  for (std::size_t at = 0; at < file.size();) {
    if (file.size() - at < 27 || file.compare(at, 4, "OggS") != 0 || file[at + 4] != '\0') {
      ADD_FAILURE() << "no page at " << at;
      return pages;
    }
    const std::size_t segments = static_cast<unsigned char>(file[at + 26]);
    std::size_t size = 27 + segments;
    for (std::size_t i = 0; i < segments && at + 27 + i < file.size(); ++i) {
      size += static_cast<unsigned char>(file[at + 27 + i]);
    }
    if (size > file.size() - at) {
      ADD_FAILURE() << "the page at " << at << " runs past the end";
      return pages;
    }
    ParsedPage page;
    page.offset = at;
    page.raw = file.substr(at, size);
    page.flags = static_cast<unsigned char>(page.raw[5]);
    page.serial = static_cast<std::uint32_t>(LittleEndian(page.raw, 14, 4));
    page.sequence = static_cast<std::uint32_t>(LittleEndian(page.raw, 18, 4));
    EXPECT_EQ(LittleEndian(page.raw, 22, 4), Crc(page.raw)) << "checksum of page " << pages.size();
    pages.push_back(page);
    at += size;
  }
  return pages;
}

struct ParsedPacket {
  std::string bytes;
  std::size_t firstPage = 0;
};

// The packets of the stream `serial` among `pages`, checking the sequence
// numbers, the continued flags and the stream's beginning and end.
std::vector<ParsedPacket> Packets(const std::vector<ParsedPage>& pages, std::uint32_t serial) {
  std::vector<ParsedPacket> packets;
  bool open = false;
  bool first = true;
  std::uint32_t next = 0;
  for (std::size_t p = 0; p < pages.size(); ++p) {
    const ParsedPage& page = pages[p];
    if (page.serial != serial) continue;
    EXPECT_EQ((page.flags & kBeginning) != 0, first) << "page " << p;
    if (!first) {
      EXPECT_EQ(page.sequence, next) << "page " << p;
    }
    EXPECT_EQ((page.flags & kContinued) != 0, open) << "page " << p;
    first = false;
    next = page.sequence + 1;
    const std::size_t segments = static_cast<unsigned char>(page.raw[26]);
    std::size_t at = 27 + segments;
    for (std::size_t s = 0; s < segments; ++s) {
      const std::size_t length = static_cast<unsigned char>(page.raw[27 + s]);
      if (!open) packets.push_back({std::string(), p});
      packets.back().bytes += page.raw.substr(at, length);
      at += length;
      open = length == 255;
    }
    if (page.flags & kEnd) {
      EXPECT_FALSE(open);
      return packets;
    }
  }
  ADD_FAILURE() << "the stream has no end";
  return packets;
}

// Equal texts, or where they part: a 70,000-byte value is not printed whole.
::testing::AssertionResult Same(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  return ::testing::AssertionFailure()
         << "sizes " << actual.size() << " and " << expected.size() << ", apart from byte " << at
         << ": \"" << actual.substr(at, 40) << "\" against \"" << expected.substr(at, 40) << "\"";
}

// ---- The comment list.

std::string List(const std::string& vendor, const std::vector<std::string>& fields) {
  std::string list = Le(vendor.size(), 4) + vendor + Le(fields.size(), 4);
  for (const std::string& field : fields) list += Le(field.size(), 4) + field;
  return list;
}

struct ParsedList {
  std::string vendor;
  std::vector<std::string> fields;
  std::string rest;  // what follows the last field
};

ParsedList ParseList(const std::string& bytes) {
  ParsedList list;
  std::size_t at = 0;
  const auto take = [&bytes, &at](std::size_t length) {
    if (at > bytes.size() || length > bytes.size() - at) {
      ADD_FAILURE() << "the list is cut short";
      at = bytes.size();
      return std::string();
    }
    at += length;
    return bytes.substr(at - length, length);
  };
  list.vendor = take(static_cast<std::size_t>(LittleEndian(take(4) + "\0\0\0\0", 0, 4)));
  const std::uint64_t count = LittleEndian(take(4) + "\0\0\0\0", 0, 4);
  for (std::uint64_t i = 0; i < count && at < bytes.size(); ++i) {
    list.fields.push_back(take(static_cast<std::size_t>(LittleEndian(take(4), 0, 4))));
  }
  list.rest = bytes.substr(at);
  return list;
}

bool IsSortField(const std::string& field) {
  static const std::string kKey = "ALBUMSORT=";
  if (field.size() < kKey.size()) return false;
  for (std::size_t i = 0; i < kKey.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(field[i])) != kKey[i]) return false;
  }
  return true;
}

// The fields as they should read after the edit: the first sort field
// keeps its key's spelling and place, later ones go, a new one goes last.
std::vector<std::string> Expected(const std::vector<std::string>& fields, const std::string& utf8) {
  std::vector<std::string> out;
  bool placed = false;
  for (const std::string& field : fields) {
    if (!IsSortField(field)) {
      out.push_back(field);
      continue;
    }
    if (!placed && !utf8.empty()) out.push_back(field.substr(0, 10) + utf8);
    placed = true;
  }
  if (!placed && !utf8.empty()) out.push_back("ALBUMSORT=" + utf8);
  return out;
}

// ---- The four codecs' header packets, small but as TagLib reads them.

enum class Kind { kVorbis, kOpus, kSpeex, kFlac };

const char* Name(Kind kind) {
  switch (kind) {
    case Kind::kVorbis:
      return "vorbis";
    case Kind::kOpus:
      return "opus";
    case Kind::kSpeex:
      return "speex";
    case Kind::kFlac:
      return "flac";
  }
  return "";
}

std::size_t ListAt(Kind kind) {
  switch (kind) {
    case Kind::kVorbis:
      return 7;
    case Kind::kOpus:
      return 8;
    case Kind::kSpeex:
      return 0;
    case Kind::kFlac:
      return 4;
  }
  return 0;
}

std::string Filler(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(seed >> 16);
  }
  return bytes;
}

std::string Be(std::uint64_t value, int count) { return BigEndianBytes(value, count); }

// The identification packet, the comment packet around `list`, and a third
// header packet (Vorbis setup, Speex extra header, FLAC padding; none for Opus).
std::vector<std::string> Headers(Kind kind, const std::string& list) {
  switch (kind) {
    case Kind::kVorbis:
      return {std::string("\x01vorbis", 7) + Le(0, 4) + '\x02' + Le(44100, 4) + Le(0, 4) +
                  Le(128000, 4) + Le(0, 4) + '\xB8' + '\x01',
              "\x03vorbis" + list + '\x01', "\x05vorbis" + Filler(3000, 5)};
    case Kind::kOpus:
      return {"OpusHead" + std::string("\x01\x02", 2) + Le(312, 2) + Le(48000, 4) + Le(0, 2) + '\0',
              "OpusTags" + list + "\x01kept"};
    case Kind::kSpeex: {
      std::string version = "1.2.1";
      version.resize(20, '\0');
      return {"Speex   " + version + Le(1, 4) + Le(80, 4) + Le(16000, 4) + Le(1, 4) + Le(4, 4) +
                  Le(1, 4) + Le(0xFFFFFFFF, 4) + Le(320, 4) + Le(0, 4) + Le(1, 4) + Le(1, 4) +
                  Le(0, 4) + Le(0, 4),
              list, Filler(600, 9)};
    }
    case Kind::kFlac: {
      // 4096-sample blocks, 44.1 kHz, stereo, 16 bits, 22050 samples.
      const std::string info = Be(4096, 2) + Be(4096, 2) + Be(0, 3) + Be(0, 3) +
                               Be(0xAC44ull << 44 | 1ull << 41 | 15ull << 36 | 22050, 8) +
                               std::string(16, '\x11');
      return {std::string("\x7F"
                          "FLAC\x01\x00",
                          7) +
                  Be(2, 2) + "fLaC" + '\0' + Be(34, 3) + info,
              '\x04' + Be(list.size(), 3) + list, '\x81' + Be(700, 3) + std::string(700, '\0')};
    }
  }
  return {};
}

// Audio packets in three pages' worth, sizes that include a multiple of 255.
std::vector<std::vector<std::string>> Audio(Kind kind) {
  std::vector<std::vector<std::string>> groups(3);
  unsigned seed = 1;
  for (auto& group : groups) {
    for (std::size_t size : {200u, 510u, 77u, 900u}) {
      std::string packet = Filler(size, seed++);
      if (kind == Kind::kFlac) packet.replace(0, 2, "\xFF\xF8");
      group.push_back(packet);
    }
  }
  return groups;
}

// Where the comment's page group sits in the plan.
enum class Layout { kShared, kSeparate };

StreamPlan Plan(Kind kind, Layout layout, const std::string& list) {
  const std::vector<std::string> headers = Headers(kind, list);
  StreamPlan plan;
  plan.groups.push_back({headers[0]});
  if (headers.size() == 3 && layout == Layout::kShared) {
    plan.groups.push_back({headers[1], headers[2]});
  } else {
    for (std::size_t i = 1; i < headers.size(); ++i) plan.groups.push_back({headers[i]});
  }
  plan.headerGroups = plan.groups.size();
  for (const auto& group : Audio(kind)) plan.groups.push_back(group);
  return plan;
}

// ---- Running the editor and checking its result.

std::string Edit(const std::string& file, const WideString& value, Splices& splices) {
  std::string reason;
  EXPECT_TRUE(EditOggSortAlbum(StringSource(file), value, splices, reason)) << reason;
  EXPECT_TRUE(SplicesAreOrdered(splices, file.size()));
  return ApplySplices(file, splices);
}

std::string Refusal(const std::string& file, const WideString& value = WIDE("Opera")) {
  Splices splices{{0, 1, "x"}};
  std::string reason;
  EXPECT_FALSE(EditOggSortAlbum(StringSource(file), value, splices, reason));
  EXPECT_TRUE(splices.empty());
  return reason;
}

template <typename File>
std::string TagLibSortOf(const std::string& bytes) {
  TagLib::ByteVectorStream stream(
      TagLib::ByteVector(bytes.data(), static_cast<unsigned int>(bytes.size())));
  File file(&stream, false);
  if (!file.isValid() || file.tag() == nullptr) {
    ADD_FAILURE() << "TagLib does not read the file";
    return "";
  }
  const TagLib::Ogg::FieldListMap& fields = file.tag()->fieldListMap();
  const auto found = fields.find("ALBUMSORT");
  return found == fields.end() ? "" : found->second.toString("|").to8Bit(true);
}

std::string TagLibSort(Kind kind, const std::string& bytes) {
  switch (kind) {
    case Kind::kVorbis:
      return TagLibSortOf<TagLib::Ogg::Vorbis::File>(bytes);
    case Kind::kOpus:
      return TagLibSortOf<TagLib::Ogg::Opus::File>(bytes);
    case Kind::kSpeex:
      return TagLibSortOf<TagLib::Ogg::Speex::File>(bytes);
    case Kind::kFlac:
      return TagLibSortOf<TagLib::Ogg::FLAC::File>(bytes);
  }
  return "";
}

struct Shape {
  Kind kind = Kind::kVorbis;
  std::size_t comment = 1;  // which packet holds the list
  std::size_t first = 1;    // the old pages the edit may rebuild: [first, end)
  std::size_t end = 2;
};

// `after` is `before` with only the comment changed: the pages before the
// rebuilt ones byte for byte, those after it apart from sequence number and
// checksum, every packet but the comment identical, and the comment's fields
// those of `before` with the new value.
void ExpectEdited(const std::string& before, const std::string& after, const Shape& shape,
                  const std::string& utf8) {
  const std::vector<ParsedPage> oldPages = ParsePages(before);
  const std::vector<ParsedPage> newPages = ParsePages(after);
  ASSERT_FALSE(oldPages.empty());
  ASSERT_FALSE(newPages.empty());
  const std::vector<ParsedPacket> oldPackets = Packets(oldPages, oldPages[0].serial);
  const std::vector<ParsedPacket> newPackets = Packets(newPages, oldPages[0].serial);
  ASSERT_EQ(newPackets.size(), oldPackets.size());
  for (std::size_t i = 0; i < oldPackets.size(); ++i) {
    if (i != shape.comment) {
      EXPECT_TRUE(Same(newPackets[i].bytes, oldPackets[i].bytes)) << "packet " << i;
    }
  }

  const std::size_t listAt = ListAt(shape.kind);
  const std::string& oldComment = oldPackets[shape.comment].bytes;
  const std::string& newComment = newPackets[shape.comment].bytes;
  if (shape.kind == Kind::kFlac) {
    EXPECT_EQ(newComment[0], oldComment[0]);  // the block type and its last-block flag
    EXPECT_EQ(BigEndian(newComment, 1, 3), newComment.size() - 4);
  } else {
    EXPECT_EQ(newComment.substr(0, listAt), oldComment.substr(0, listAt));
  }
  const ParsedList oldList = ParseList(oldComment.substr(listAt));
  const ParsedList newList = ParseList(newComment.substr(listAt));
  EXPECT_EQ(newList.vendor, oldList.vendor);
  const std::vector<std::string> fields = Expected(oldList.fields, utf8);
  ASSERT_EQ(newList.fields.size(), fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) {
    EXPECT_TRUE(Same(newList.fields[i], fields[i])) << "field " << i;
  }
  EXPECT_EQ(newList.rest, oldList.rest);

  ASSERT_LE(shape.end, oldPages.size());
  const auto shift = static_cast<std::ptrdiff_t>(newPages.size() - oldPages.size());
  for (std::size_t p = 0; p < shape.first; ++p) {
    EXPECT_TRUE(Same(newPages[p].raw, oldPages[p].raw)) << "page " << p;
  }
  for (std::size_t p = shape.end; p < oldPages.size(); ++p) {
    const ParsedPage& now =
        newPages[static_cast<std::size_t>(static_cast<std::ptrdiff_t>(p) + shift)];
    const ParsedPage& was = oldPages[p];
    ASSERT_EQ(now.raw.size(), was.raw.size()) << "page " << p;
    EXPECT_TRUE(Same(now.raw.substr(0, 18), was.raw.substr(0, 18))) << "page " << p;
    EXPECT_TRUE(Same(now.raw.substr(26), was.raw.substr(26))) << "page " << p;
    if (now.serial == oldPages[0].serial) {
      EXPECT_EQ(now.sequence, was.sequence + static_cast<std::uint32_t>(shift)) << "page " << p;
    }
  }
}

// ---- Synthetic files of every codec and layout, through a table of edits.

WideString Widen(const std::string& ascii) { return WideString(ascii.begin(), ascii.end()); }

const std::string kLong(70000, 'L');

struct EditCase {
  const char* name;
  std::vector<std::string> fields;
  WideString value;
  std::string utf8;  // the value as the field should hold it
  int pages;         // the change in page count: -1, 0 or 1
};

std::vector<EditCase> EditCases() {
  const auto ascii = [](const char* name, std::vector<std::string> fields, std::string value,
                        int pages) {
    return EditCase{name, std::move(fields), Widen(value), value, pages};
  };
  return {
      ascii("set", {"TITLE=Lazing", "Artist=Queen"}, "Night at the Opera, A", 0),
      ascii("changed longer", {"TITLE=Lazing", "AlbumSort=Opera", "YEAR=1975"}, "Night Opera", 0),
      ascii("changed shorter", {"albumsort=Night at the Opera, A", "TITLE=x"}, "Opera", 0),
      ascii("changed same length", {"TITLE=Lazing", "ALBUMSORT=Opera", "YEAR=1975"}, "Opura", 0),
      ascii("removed", {"TITLE=Lazing", "ALBUMSORT=Opera", "YEAR=1975"}, "", 0),
      ascii("duplicates folded", {"ALBUMSORT=a", "TITLE=t", "AlbumSort=b"}, "Opera", 0),
      {"non-ASCII",
       {"TITLE=Lazing"},
       WideString{0x00C5, 's', 'a', ' ', 0x6771, 0x4EAC, ' ', 0xD834, 0xDD1E},
       "\xC3\x85sa \xE6\x9D\xB1\xE4\xBA\xAC \xF0\x9D\x84\x9E",
       0},
      ascii("long value needs more pages", {"TITLE=Lazing", "ALBUMSORT=Opera"}, kLong, 1),
      ascii("removal needs fewer pages", {"TITLE=Lazing", "ALBUMSORT=" + kLong}, "", -1),
      ascii("long value replaced by another", {"ALBUMSORT=" + kLong, "TITLE=x"}, kLong + "M", 0),
  };
}

TEST(OggEdit, EditsEveryCodecAndLayout) {
  for (Kind kind : {Kind::kVorbis, Kind::kOpus, Kind::kSpeex, Kind::kFlac}) {
    for (Layout layout : {Layout::kShared, Layout::kSeparate}) {
      if (kind == Kind::kOpus && layout == Layout::kShared) continue;  // one header beside it
      for (const EditCase& c : EditCases()) {
        SCOPED_TRACE(std::string(Name(kind)) +
                     (layout == Layout::kShared ? " shared " : " apart ") + c.name);
        const StreamPlan plan = Plan(kind, layout, List("kestrune test", c.fields));
        const Built built = Build(plan);
        Splices splices;
        const std::string after = Edit(built.bytes, c.value, splices);
        Shape shape;
        shape.kind = kind;
        shape.first = built.groupPage[1];
        shape.end = built.groupPage[2];
        ExpectEdited(built.bytes, after, shape, c.utf8);
        const auto oldPages = static_cast<int>(ParsePages(built.bytes).size());
        const auto newPages = static_cast<int>(ParsePages(after).size());
        EXPECT_EQ(newPages - oldPages, c.pages);
        if (c.utf8 == "Opura") {
          // Same size, same pages: only the checksum and the changed letter.
          const std::size_t page = built.bytes.find("OggS", 1);
          ASSERT_EQ(splices.size(), 2u);
          EXPECT_GE(splices[0].offset, page + 22);
          EXPECT_LE(splices[0].offset + splices[0].length, page + 26);
          EXPECT_EQ(splices[1].offset, built.bytes.find("ALBUMSORT=Opera") + 12);
          EXPECT_EQ(splices[1].length, 1u);
          EXPECT_EQ(splices[1].bytes, "u");
        }
        EXPECT_TRUE(Same(TagLibSort(kind, after), c.utf8));
      }
    }
  }
}

TEST(OggEdit, NothingToDoGivesNoSplices) {
  for (Kind kind : {Kind::kVorbis, Kind::kOpus, Kind::kSpeex, Kind::kFlac}) {
    SCOPED_TRACE(Name(kind));
    for (const auto& [fields, value] : std::vector<std::pair<std::vector<std::string>, WideString>>{
             {{"TITLE=x", "AlbumSort=Opera"}, WIDE("Opera")}, {{"TITLE=x"}, WIDE("")}}) {
      const Built built = Build(Plan(kind, Layout::kSeparate, List("v", fields)));
      Splices splices{{0, 1, "x"}};
      std::string reason;
      EXPECT_TRUE(EditOggSortAlbum(StringSource(built.bytes), value, splices, reason)) << reason;
      EXPECT_TRUE(splices.empty());
    }
  }
}

// A page on which no packet ends has no granule position (-1); one on
// which a header ends keeps the headers' 0.
TEST(OggEdit, GivesNewPagesTheirGranules) {
  const Built built = Build(Plan(Kind::kVorbis, Layout::kShared, List("v", {"TITLE=x"})));
  Splices splices;
  const std::vector<ParsedPage> pages = ParsePages(Edit(built.bytes, Widen(kLong), splices));
  ASSERT_EQ(pages.size(), ParsePages(built.bytes).size() + 1);
  EXPECT_EQ(LittleEndian(pages[1].raw, 6, 8), kNoGranule);
  EXPECT_EQ(LittleEndian(pages[2].raw, 6, 8), 0u);
  EXPECT_EQ(LittleEndian(pages[3].raw, 6, 8), 2000u);
}

// A stream of headers alone ends on the comment's page: the rebuilt last
// page keeps the end-of-stream flag.
TEST(OggEdit, KeepsTheEndOfAStreamOfHeadersAlone) {
  StreamPlan plan = Plan(Kind::kOpus, Layout::kSeparate, List("v", {"TITLE=x"}));
  plan.groups.resize(2);
  const Built built = Build(plan);
  for (const std::string& utf8 : {std::string("Opera"), kLong}) {
    SCOPED_TRACE(utf8.size());
    Splices splices;
    const std::string after = Edit(built.bytes, Widen(utf8), splices);
    Shape shape;
    shape.kind = Kind::kOpus;
    ExpectEdited(built.bytes, after, shape, utf8);  // TagLib reads no stream without audio
  }
}

// ---- The sample files.

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << path;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Sample {
  const char* path;
  Kind kind;
};

const Sample kSamples[] = {
    {"/Queen/A Night at the Opera/02 Lazing on a Sunday Afternoon.ogg", Kind::kVorbis},
    {"/Queen/Demos/01 Untitled.opus", Kind::kOpus},
};

TEST(OggEdit, EditsTheSampleFiles) {
  for (const Sample& sample : kSamples) {
    const std::string file = ReadFile(std::string(KESTRUNE_SAMPLE_LIBRARY) + sample.path);
    for (const std::string& utf8 : {std::string("Night at the Opera, A"), std::string(), kLong}) {
      SCOPED_TRACE(std::string(sample.path) + " value of " + std::to_string(utf8.size()));
      Splices splices;
      const std::string after = Edit(file, Widen(utf8), splices);
      Edit(after, Widen(utf8), splices);
      EXPECT_TRUE(splices.empty()) << "a second edit changes nothing";
      Shape shape;
      shape.kind = sample.kind;
      ExpectEdited(file, after, shape, utf8);
      EXPECT_TRUE(Same(TagLibSort(sample.kind, after), utf8));
    }
  }
}

// Every length short of the whole file is refused, the empty one too.
TEST(OggEdit, RefusesTheSampleFilesCutAnywhere) {
  for (const Sample& sample : kSamples) {
    SCOPED_TRACE(sample.path);
    const std::string file = ReadFile(std::string(KESTRUNE_SAMPLE_LIBRARY) + sample.path);
    EXPECT_EQ(Refusal(""), "the file is empty");
    for (std::size_t length = 1; length < file.size(); ++length) {
      ASSERT_EQ(Refusal(file.substr(0, length)), "the file is cut short") << length;
    }
  }
}

// Any single byte changed anywhere: the checksums (or the framing) catch it.
TEST(OggEdit, RefusesTheSampleFilesWithAnyByteFlipped) {
  for (const Sample& sample : kSamples) {
    SCOPED_TRACE(sample.path);
    std::string file = ReadFile(std::string(KESTRUNE_SAMPLE_LIBRARY) + sample.path);
    const std::vector<ParsedPage> pages = ParsePages(file);
    for (std::size_t at = 0; at < file.size(); ++at) {
      file[at] = static_cast<char>(file[at] ^ 0x10);
      const std::string reason = Refusal(file);
      file[at] = static_cast<char>(file[at] ^ 0x10);
      ASSERT_FALSE(reason.empty()) << at;
    }
    for (std::size_t p = 0; p < pages.size(); ++p) {
      std::string bad = file;
      const std::size_t at = pages[p].offset + pages[p].raw.size() - 1;
      bad[at] = static_cast<char>(bad[at] ^ 0x01);
      EXPECT_EQ(Refusal(bad), "page " + std::to_string(p + 1) + " has a wrong checksum");
    }
  }
}

// A file whose comment spans two pages, cut at every page boundary and at
// points inside each page's header, lacing and body.
TEST(OggEdit, RefusesASyntheticFileCutAtEveryPageAndInside) {
  for (Kind kind : {Kind::kVorbis, Kind::kFlac}) {
    SCOPED_TRACE(Name(kind));
    const Built built = Build(Plan(kind, Layout::kShared, List("v", {"ALBUMSORT=" + kLong})));
    for (const ParsedPage& page : ParsePages(built.bytes)) {
      const std::size_t segments = static_cast<unsigned char>(page.raw[26]);
      for (std::size_t inside :
           {std::size_t{0}, std::size_t{3}, std::size_t{20}, std::size_t{27}, 27 + segments / 2,
            27 + segments, page.raw.size() / 2, page.raw.size() - 1}) {
        const std::size_t length = page.offset + inside;
        if (length == 0) continue;
        ASSERT_EQ(Refusal(built.bytes.substr(0, length)), "the file is cut short") << length;
      }
    }
  }
}

// ---- Layouts and files that are refused, each with its reason.

std::string Reseal(std::string file, std::size_t pageOffset, void (*change)(std::string& page)) {
  const std::vector<ParsedPage> pages = ParsePages(file);
  for (const ParsedPage& page : pages) {
    if (page.offset != pageOffset) continue;
    std::string raw = page.raw;
    change(raw);
    Seal(raw);
    file.replace(page.offset, page.raw.size(), raw);
  }
  return file;
}

std::size_t PageOffset(const std::string& file, std::size_t index) {
  return ParsePages(file)[index].offset;
}

TEST(OggEdit, RefusesWhatItCannotEditWhole) {
  const std::string list = List("v", {"TITLE=x"});
  const std::vector<std::string> vorbis = Headers(Kind::kVorbis, list);
  const auto build = [](StreamPlan plan) { return Build(plan).bytes; };
  StreamPlan audioShares = Plan(Kind::kVorbis, Layout::kShared, list);
  audioShares.groups[1].push_back(audioShares.groups[2][0]);
  StreamPlan idShares = Plan(Kind::kVorbis, Layout::kShared, list);
  idShares.groups[0] = {vorbis[0], vorbis[1], vorbis[2]};
  idShares.groups.erase(idShares.groups.begin() + 1);
  StreamPlan theora = Plan(Kind::kVorbis, Layout::kShared, list);
  theora.groups[0][0] = "\x80theora" + Filler(35, 3);
  StreamPlan noSetup;
  noSetup.groups = {{vorbis[0]}, {vorbis[1]}};
  StreamPlan noComment = Plan(Kind::kFlac, Layout::kSeparate, list);
  noComment.groups.erase(noComment.groups.begin() + 1);
  StreamPlan badLength = Plan(Kind::kFlac, Layout::kSeparate, list);
  badLength.groups[1][0][3] = static_cast<char>(badLength.groups[1][0][3] + 1);
  StreamPlan badList = Plan(Kind::kOpus, Layout::kSeparate, list);
  badList.groups[1][0][8 + 4 + 1] = '\x09';  // the field count
  StreamPlan open = Plan(Kind::kSpeex, Layout::kSeparate, list);
  open.end = false;
  const std::string whole = build(Plan(Kind::kVorbis, Layout::kSeparate, list));
  const std::string spanning = build(Plan(Kind::kVorbis, Layout::kSeparate, List("v", {kLong})));
  StreamPlan other = Plan(Kind::kOpus, Layout::kSeparate, list);
  other.serial = 99;
  const std::string second = build(other);
  // Both streams' first pages, then the rest of each.
  const std::size_t firstEnd = PageOffset(whole, 1);
  const std::size_t secondEnd = PageOffset(second, 1);
  const std::string interleaved = whole.substr(0, firstEnd) + second.substr(0, secondEnd) +
                                  whole.substr(firstEnd) + second.substr(secondEnd);

  const struct {
    const char* name;
    std::string file;
    WideString value;
    std::string reason;
  } cases[] = {
      {"audio on the comment's page", build(audioShares), WIDE("Opera"),
       "an audio packet shares a page with the comment"},
      {"identification beside the comment", build(idShares), WIDE("Opera"),
       "the identification header shares a page with the comment"},
      {"other codec", build(theora), WIDE("Opera"),
       "the stream is not Vorbis, Opus, Speex or FLAC"},
      {"headers end early", build(noSetup), WIDE("Opera"),
       "the stream ends inside its header packets"},
      {"no VORBIS_COMMENT", build(noComment), WIDE("Opera"),
       "the FLAC stream has no VORBIS_COMMENT block"},
      {"block length off", build(badLength), WIDE("Opera"),
       "the VORBIS_COMMENT block does not fill its packet"},
      {"list does not parse", build(badList), WIDE("Opera"), "the comment list is cut short"},
      {"lone surrogate", whole, WideString{'a', 0xD800},
       "the new value holds an unpaired UTF-16 surrogate"},
      {"no end of stream", build(open), WIDE("Opera"), "the file is cut short"},
      {"interleaved", interleaved, WIDE("Opera"), "the file holds several interleaved streams"},
      {"bytes after the end", whole + "TAG" + std::string(125, ' '), WIDE("Opera"),
       "the file has bytes after its last page"},
      {"not Ogg", "RIFF" + whole, WIDE("Opera"), "the file is not an Ogg file"},
      {"garbage between pages",
       whole.substr(0, PageOffset(whole, 2)) + "junk" + whole.substr(PageOffset(whole, 2)),
       WIDE("Opera"), "page 3 does not start with OggS"},
      {"page missing", whole.substr(0, PageOffset(whole, 3)) + whole.substr(PageOffset(whole, 4)),
       WIDE("Opera"), "page 4 is out of sequence"},
      {"version 1", Reseal(whole, PageOffset(whole, 2), [](std::string& p) { p[4] = '\x01'; }),
       WIDE("Opera"), "page 3 has an unknown version"},
      {"continued flag missing",
       Reseal(spanning, PageOffset(spanning, 2), [](std::string& p) { p[5] = '\0'; }),
       WIDE("Opera"), "page 3 breaks off a packet"},
      {"continued flag stray",
       Reseal(whole, PageOffset(whole, 2), [](std::string& p) { p[5] = '\x01'; }), WIDE("Opera"),
       "page 3 continues a packet that never began"},
      {"first page not a beginning", Reseal(whole, 0, [](std::string& p) { p[5] = '\0'; }),
       WIDE("Opera"), "the first page does not begin a stream"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Refusal(c.file, c.value), c.reason);
  }
}

// ---- Chained files: the first link edited, the rest byte for byte, even
// when a later link reuses the first one's serial number.

TEST(OggEdit, EditsTheFirstLinkOfAChain) {
  for (std::uint32_t serial : {7u, 8u}) {
    SCOPED_TRACE(serial);
    const Built first = Build(Plan(Kind::kVorbis, Layout::kShared, List("v", {"TITLE=a"})));
    StreamPlan plan = Plan(Kind::kOpus, Layout::kSeparate, List("v", {"ALBUMSORT=b"}));
    plan.serial = serial;
    const std::string second = Build(plan).bytes;
    Splices splices;
    const std::string after = Edit(first.bytes + second, Widen(kLong), splices);
    ASSERT_GT(after.size(), second.size());
    EXPECT_TRUE(Same(after.substr(after.size() - second.size()), second));
    Shape shape;
    shape.first = first.groupPage[1];
    shape.end = first.groupPage[2];
    ExpectEdited(first.bytes, after.substr(0, after.size() - second.size()), shape, kLong);
  }
}

// ---- The file is read a page at a time, not whole.

class LargestRead final : public ByteSource {
 public:
  explicit LargestRead(std::string bytes) : m_Source(std::move(bytes)) {}
  std::uint64_t Size() const override { return m_Source.Size(); }
  bool Read(std::uint64_t offset, std::size_t length, std::string& bytes) const override {
    largest = std::max(largest, length);
    return m_Source.Read(offset, length, bytes);
  }
  mutable std::size_t largest = 0;

 private:
  StringSource m_Source;
};

TEST(OggEdit, ReadsAPageAtATime) {
  StreamPlan plan = Plan(Kind::kVorbis, Layout::kShared, List("v", {"TITLE=x"}));
  for (unsigned i = 0; i < 40; ++i) plan.groups.push_back({Filler(60000, i)});
  const std::string file = Build(plan).bytes;
  ASSERT_GT(file.size(), 2000000u);
  const LargestRead source(file);
  Splices splices;
  std::string reason;
  ASSERT_TRUE(EditOggSortAlbum(source, Widen(kLong), splices, reason)) << reason;
  EXPECT_LE(source.largest, 27u + 255u + 255u * 255u);
  // Every later page renumbered: a sequence number and a checksum each.
  const std::size_t later = ParsePages(file).size() - 2;
  EXPECT_EQ(splices.size(), 1 + 2 * later);
  ExpectEdited(file, ApplySplices(file, splices), Shape{}, kLong);
}

// ---- Speex and FLAC in Ogg as ffmpeg makes them, when it is there.

std::string Ffmpeg(const std::string& codec, const std::string& name) {
  const std::string path = ::testing::TempDir() + "kestrune_ogg_" + name;
  const std::string command =
      "ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i sine=d=0.5 " + codec +
      " -metadata album=Opera -metadata ALBUMSORT=Old '" + path + "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) return "";
  std::string bytes = ReadFile(path);
  std::remove(path.c_str());
  return bytes;
}

TEST(OggEdit, EditsFilesThatFfmpegMakes) {
  const struct {
    const char* codec;
    const char* name;
    Kind kind;
  } made[] = {{"-c:a libspeex", "x.spx", Kind::kSpeex}, {"-c:a flac -f ogg", "x.oga", Kind::kFlac}};
  for (const auto& m : made) {
    SCOPED_TRACE(m.name);
    const std::string file = Ffmpeg(m.codec, m.name);
    if (file.empty()) GTEST_SKIP() << "ffmpeg cannot make " << m.name;
    for (const std::string& utf8 : {std::string("Night at the Opera, A"), std::string(), kLong}) {
      Splices splices;
      const std::string after = Edit(file, Widen(utf8), splices);
      Shape shape;
      shape.kind = m.kind;
      ExpectEdited(file, after, shape, utf8);
      EXPECT_TRUE(Same(TagLibSort(m.kind, after), utf8));
    }
  }
}

}  // namespace
