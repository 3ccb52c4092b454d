#include "folder/asf_edit.h"

#include <gtest/gtest.h>
#include <taglib/asffile.h>
#include <taglib/tbytevectorstream.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <vector>

namespace {

// --- Building files byte by byte --------------------------------------------

std::string Id(const char* text) {
  static const int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::string hex;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c != '-') hex.push_back(*c);
  }
  std::string bytes;
  for (int i : kOrder) {
    bytes.push_back(
        static_cast<char>(std::stoi(hex.substr(static_cast<std::size_t>(2 * i), 2), nullptr, 16)));
  }
  return bytes;
}

const std::string kHeaderId = Id("75B22630-668E-11CF-A6D9-00AA0062CE6C");
const std::string kDataId = Id("75B22636-668E-11CF-A6D9-00AA0062CE6C");
const std::string kPropertiesId = Id("8CABDCA1-A947-11CF-8EE4-00C00C205365");
const std::string kStreamId = Id("B7DC0791-A9B7-11CF-8EE6-00C00C205365");
const std::string kDescriptionId = Id("75B22633-668E-11CF-A6D9-00AA0062CE6C");
const std::string kExtendedId = Id("D2D0A440-E307-11D2-97F0-00A0C95EA850");
const std::string kExtensionId = Id("5FBF03B5-A92E-11CF-8EE3-00C00C205365");
const std::string kMetadataId = Id("C5F8CBEA-5BAF-4877-8467-AA8C44FA4CCA");
const std::string kLibraryId = Id("44231C94-9498-49D1-A141-1D134E457054");
const std::string kPaddingId = Id("1806D474-CADF-4509-A4BA-9AABCB96AAE8");
const std::string kSimpleIndexId = Id("33000890-E5B1-11CF-89F4-00A0C90349BE");
const std::string kNul(2, '\0');

std::string Le(std::uint64_t value, int count) { return LittleEndianBytes(value, count); }

std::string U16(const WideString& text) {
  std::string bytes;
  EncodeUtf16Le(text, bytes);
  return bytes;
}

// One attribute as stored: name and value bytes, terminators included.
struct Attr {
  std::string name;
  std::uint16_t type = 0;
  std::string value;
  std::uint16_t language = 0;
  std::uint16_t stream = 0;
  bool operator==(const Attr& other) const {
    return name == other.name && type == other.type && value == other.value &&
           language == other.language && stream == other.stream;
  }
};

std::ostream& operator<<(std::ostream& out, const Attr& attr) {
  out << "{";
  for (std::size_t i = 0; i < attr.name.size(); i += 2) {
    if (attr.name[i] != '\0') out << attr.name[i];
  }
  out << " type " << attr.type << " value";
  for (char c : attr.value) out << ' ' << (static_cast<unsigned>(c) & 0xFF);
  return out << " lang " << attr.language << " stream " << attr.stream << "}";
}

Attr Text(const WideString& name, const WideString& value) {
  return {U16(name) + kNul, 0, U16(value) + kNul};
}

Attr Sort(const WideString& value) { return Text(WIDE("WM/AlbumSortOrder"), value); }

const Attr kAlbum = Text(WIDE("WM/AlbumTitle"), WIDE("The Summer Hits"));
const Attr kYear = Text(WIDE("WM/Year"), WIDE("1998"));
const Attr kRock = Text(WIDE("WM/Genre"), WIDE("Rock"));
const Attr kPop = Text(WIDE("WM/Genre"), WIDE("Pop"));
const Attr kLyrics = {U16(WIDE("WM/Lyrics")) + kNul, 0,
                      U16(WIDE("a")) + kNul + U16(WIDE("b")) + kNul};
const Attr kBytes = {U16(WIDE("WM/MCDI")) + kNul, 1, std::string("\x00\x01\xFF", 3)};
const Attr kTrack = {U16(WIDE("WM/TrackNumber")) + kNul, 3, Le(7, 4)};
const Attr kFlag = {U16(WIDE("IsVBR")) + kNul, 2, Le(1, 4)};
const Attr kComposer = Text(WIDE("WM/Composer"), WIDE("Sunnies"));

std::string Object(const std::string& id, const std::string& body) {
  return id + Le(24 + body.size(), 8) + body;
}

std::string Extended(const std::vector<Attr>& attrs) {
  std::string body = Le(attrs.size(), 2);
  for (const Attr& a : attrs) {
    body += Le(a.name.size(), 2) + a.name + Le(a.type, 2) + Le(a.value.size(), 2) + a.value;
  }
  return Object(kExtendedId, body);
}

std::string Library(const std::vector<Attr>& attrs, const std::string& id = kLibraryId) {
  std::string body = Le(attrs.size(), 2);
  for (const Attr& a : attrs) {
    body += Le(a.language, 2) + Le(a.stream, 2) + Le(a.name.size(), 2) + Le(a.type, 2) +
            Le(a.value.size(), 4) + a.name + a.value;
  }
  return Object(id, body);
}

std::string Extension(const std::vector<std::string>& objects) {
  std::string data;
  for (const std::string& object : objects) data += object;
  return Object(kExtensionId,
                Id("ABD3D211-A9BA-11CF-8EE6-00C00C205365") + Le(6, 2) + Le(data.size(), 4) + data);
}

std::string Padding(std::uint64_t size) {
  return Object(kPaddingId, std::string(static_cast<std::size_t>(size - 24), '\0'));
}

std::string Description() {
  const std::string title = U16(WIDE("Sunny")) + kNul;
  const std::string author = U16(WIDE("The Sunnies")) + kNul;
  return Object(kDescriptionId, Le(title.size(), 2) + Le(author.size(), 2) + Le(0, 2) + Le(0, 2) +
                                    Le(0, 2) + title + author);
}

std::string Stream() {
  const std::string format =
      Le(0x161, 2) + Le(1, 2) + Le(8000, 4) + Le(4000, 4) + Le(64, 2) + Le(16, 2) + Le(0, 2);
  return Object(kStreamId, Id("F8699E40-5B4D-11CF-A8FD-00805F5C442B") +
                               Id("20FB5700-5B55-11CF-A8FD-00805F5C442B") + Le(0, 8) +
                               Le(format.size(), 4) + Le(0, 4) + Le(1, 2) + Le(0, 4) + format);
}

std::string SimpleIndex() {
  return Object(kSimpleIndexId, std::string(16, '\x5A') + Le(10000000, 8) + Le(1, 4) + Le(1, 4) +
                                    Le(0, 4) + Le(1, 2));
}

struct Shape {
  std::vector<std::string> objects;  // the header's, after its file properties
  std::string after;                 // objects after the data
  std::uint64_t packets = 3;
  std::uint64_t minPacket = 64;
  std::uint64_t maxPacket = 64;
  std::uint64_t flags = 2;      // seekable
  std::int64_t sizeError = 0;   // in the file properties' file size
  std::uint64_t dataError = 0;  // in the data object's size
};

std::string Build(const Shape& shape) {
  std::string children;
  for (const std::string& object : shape.objects) children += object;
  std::string packets;
  for (std::uint64_t i = 0; i < shape.packets * shape.minPacket; ++i) {
    packets.push_back(static_cast<char>(i * 7 + 3));
  }
  const std::string data = kDataId + Le(50 + packets.size() + shape.dataError, 8) +
                           std::string(16, '\x5A') + Le(shape.packets, 8) + "\x01\x01" + packets;
  const std::uint64_t headerSize = 30 + 104 + children.size();
  const std::uint64_t fileSize = headerSize + data.size() + shape.after.size();
  const std::string properties =
      Object(kPropertiesId, std::string(16, '\x5A') +
                                Le(fileSize + static_cast<std::uint64_t>(shape.sizeError), 8) +
                                Le(0x01D19DB1DED53E80, 8) + Le(shape.packets, 8) + Le(2500000, 8) +
                                Le(2500000, 8) + Le(0, 8) + Le(shape.flags, 4) +
                                Le(shape.minPacket, 4) + Le(shape.maxPacket, 4) + Le(32000, 4));
  return kHeaderId + Le(headerSize, 8) + Le(shape.objects.size() + 1, 4) + "\x01\x02" + properties +
         children + data + shape.after;
}

std::string Patched(std::string bytes, std::size_t at, const std::string& with) {
  bytes.replace(at, with.size(), with);
  return bytes;
}

// --- Reading them back on our own -------------------------------------------

struct Piece {
  std::string id;
  std::string bytes;
};

// The objects between `begin` and `end` of `file`, which must fill it.
std::vector<Piece> Pieces(const std::string& file, std::size_t begin, std::size_t end) {
  std::vector<Piece> pieces;
  std::size_t at = begin;
  while (at + 24 <= end) {
    const auto size = static_cast<std::size_t>(LittleEndian(file, at + 16, 8));
    if (size < 24 || size > end - at) break;
    pieces.push_back({file.substr(at, 16), file.substr(at, size)});
    at += size;
  }
  EXPECT_EQ(at, end) << "objects do not fill their container";
  return pieces;
}

std::vector<Attr> Attrs(const Piece& object) {
  const std::string& b = object.bytes;
  const bool extended = object.id == kExtendedId;
  std::vector<Attr> attrs;
  const std::uint64_t count = LittleEndian(b, 24, 2);
  std::size_t at = 26;
  for (std::uint64_t i = 0; i < count && at < b.size(); ++i) {
    Attr a;
    if (extended) {
      const auto nameLength = static_cast<std::size_t>(LittleEndian(b, at, 2));
      a.name = b.substr(at + 2, nameLength);
      a.type = static_cast<std::uint16_t>(LittleEndian(b, at + 2 + nameLength, 2));
      const auto valueLength = static_cast<std::size_t>(LittleEndian(b, at + 4 + nameLength, 2));
      a.value = b.substr(at + 6 + nameLength, valueLength);
      at += 6 + nameLength + valueLength;
    } else {
      a.language = static_cast<std::uint16_t>(LittleEndian(b, at, 2));
      a.stream = static_cast<std::uint16_t>(LittleEndian(b, at + 2, 2));
      const auto nameLength = static_cast<std::size_t>(LittleEndian(b, at + 4, 2));
      a.type = static_cast<std::uint16_t>(LittleEndian(b, at + 6, 2));
      const auto valueLength = static_cast<std::size_t>(LittleEndian(b, at + 8, 4));
      a.name = b.substr(at + 12, nameLength);
      a.value = b.substr(at + 12 + nameLength, valueLength);
      at += 12 + nameLength + valueLength;
    }
    attrs.push_back(a);
  }
  EXPECT_EQ(at, b.size()) << "the attributes do not fill their object";
  return attrs;
}

// A file's structure, every size checked against what it holds.
struct View {
  std::uint64_t headerSize = 0;
  std::vector<Piece> header;     // the header's objects
  std::vector<Piece> extension;  // the header extension's
  std::uint64_t propertiesSize = 0;
  std::string body;  // the data object and what follows it
};

View Look(const std::string& file) {
  View view;
  view.headerSize = LittleEndian(file, 16, 8);
  EXPECT_LE(view.headerSize, file.size());
  view.headerSize = std::min<std::uint64_t>(view.headerSize, file.size());
  view.header = Pieces(file, 30, static_cast<std::size_t>(view.headerSize));
  EXPECT_EQ(LittleEndian(file, 24, 4), view.header.size()) << "header object count";
  for (const Piece& piece : view.header) {
    if (piece.id == kPropertiesId) view.propertiesSize = LittleEndian(piece.bytes, 40, 8);
    if (piece.id != kExtensionId) continue;
    EXPECT_EQ(LittleEndian(piece.bytes, 42, 4), piece.bytes.size() - 46);
    view.extension = Pieces(piece.bytes, 46, piece.bytes.size());
  }
  view.body = file.substr(static_cast<std::size_t>(view.headerSize));
  return view;
}

std::vector<Attr> AttrsOf(const std::vector<Piece>& pieces, const std::string& id) {
  std::vector<Attr> all;
  for (const Piece& piece : pieces) {
    if (piece.id != id) continue;
    const std::vector<Attr> attrs = Attrs(piece);
    all.insert(all.end(), attrs.begin(), attrs.end());
  }
  return all;
}

std::vector<std::string> Ids(const std::vector<Piece>& pieces) {
  std::vector<std::string> ids;
  for (const Piece& piece : pieces) ids.push_back(piece.id);
  return ids;
}

// The objects that an edit must leave alone, byte for byte and in order.
std::vector<std::string> Untouchable(const std::vector<Piece>& pieces) {
  static const std::set<std::string> kEditable = {kExtendedId, kPaddingId, kExtensionId,
                                                  kMetadataId, kLibraryId, kPropertiesId};
  std::vector<std::string> kept;
  for (const Piece& piece : pieces) {
    if (kEditable.count(piece.id) == 0) kept.push_back(piece.bytes);
  }
  return kept;
}

std::string PropertiesOutsideSize(const std::vector<Piece>& pieces) {
  for (const Piece& piece : pieces) {
    if (piece.id == kPropertiesId) return piece.bytes.substr(0, 40) + piece.bytes.substr(48);
  }
  return std::string();
}

// --- What TagLib reads ------------------------------------------------------

std::string Utf8(const WideString& text) {
  std::string utf8;
  EncodeUtf8(text, utf8);
  return utf8;
}

struct TagLibView {
  bool valid = false;
  std::string title, artist;
  std::map<std::string, std::vector<std::string>> attributes;
};

TagLibView ReadWithTagLib(const std::string& file) {
  TagLib::ByteVector bytes(file.data(), static_cast<unsigned int>(file.size()));
  TagLib::ByteVectorStream stream(bytes);
  TagLib::ASF::File asf(&stream, true);
  TagLibView view;
  view.valid = asf.isValid() && asf.audioProperties() != nullptr;
  if (asf.tag() == nullptr) return view;
  view.title = asf.tag()->title().to8Bit(true);
  view.artist = asf.tag()->artist().to8Bit(true);
  for (const auto& entry : asf.tag()->attributeListMap()) {
    std::vector<std::string>& values = view.attributes[entry.first.to8Bit(true)];
    for (const TagLib::ASF::Attribute& attribute : entry.second) {
      std::ostringstream out;
      out << attribute.type() << '|' << attribute.toString().to8Bit(true) << '|'
          << attribute.toULongLong() << '|';
      const TagLib::ByteVector hex = attribute.toByteVector().toHex();
      out << std::string(hex.data(), hex.size());
      values.push_back(out.str());
    }
  }
  return view;
}

std::string TagLibText(const std::string& utf8) { return "0|" + utf8 + "|0|"; }

// --- Checking one edit ------------------------------------------------------

struct Outcome {
  std::string bytes;
  Splices splices;
};

Outcome Edit(const std::string& file, const WideString& value) {
  Outcome outcome;
  std::string reason;
  EXPECT_TRUE(EditAsfSortAlbum(StringSource(file), value, outcome.splices, reason)) << reason;
  EXPECT_TRUE(SplicesAreOrdered(outcome.splices, file.size()));
  outcome.bytes = ApplySplices(file, outcome.splices);
  return outcome;
}

struct Expected {
  std::vector<Attr> extended;  // the extended content description's list, in order
  std::vector<Attr> library;   // the metadata library's
  bool keepsSize = true;
  bool paddingGone = false;
};

void ExpectEdited(const std::string& before, const std::string& after, const WideString& value,
                  const Expected& expected) {
  const View old = Look(before);
  const View now = Look(after);
  EXPECT_EQ(now.propertiesSize, after.size());
  EXPECT_EQ(after.size() == before.size(), expected.keepsSize);

  EXPECT_EQ(AttrsOf(now.header, kExtendedId), expected.extended);
  EXPECT_EQ(AttrsOf(now.extension, kLibraryId), expected.library);
  EXPECT_EQ(AttrsOf(now.extension, kMetadataId), AttrsOf(old.extension, kMetadataId));

  // Every other object in its place with its bytes; the new description last.
  std::vector<std::string> ids;
  for (const std::string& id : Ids(old.header)) {
    if (!(expected.paddingGone && id == kPaddingId)) ids.push_back(id);
  }
  if (!expected.extended.empty() && std::find(ids.begin(), ids.end(), kExtendedId) == ids.end()) {
    ids.push_back(kExtendedId);
  }
  EXPECT_EQ(Ids(now.header), ids);
  EXPECT_EQ(Ids(now.extension), Ids(old.extension));
  EXPECT_EQ(Untouchable(now.header), Untouchable(old.header));
  EXPECT_EQ(Untouchable(now.extension), Untouchable(old.extension));
  EXPECT_EQ(PropertiesOutsideSize(now.header), PropertiesOutsideSize(old.header));
  EXPECT_EQ(now.body, old.body);
  EXPECT_EQ(after.substr(0, 16) + after.substr(28, 2), before.substr(0, 16) + before.substr(28, 2))
      << "the header's GUID and reserved bytes";
  for (const Piece& padding : now.header) {
    if (padding.id != kPaddingId) continue;
    EXPECT_EQ(padding.bytes.find_first_not_of('\0', 24), std::string::npos);
  }

  // TagLib reads the new value, and everything else as before.
  TagLibView was = ReadWithTagLib(before);
  TagLibView is = ReadWithTagLib(after);
  EXPECT_TRUE(is.valid);
  EXPECT_EQ(is.title, was.title);
  EXPECT_EQ(is.artist, was.artist);
  const auto sort = is.attributes.find("WM/AlbumSortOrder");
  if (value.empty()) {
    EXPECT_EQ(sort, is.attributes.end());
  } else {
    ASSERT_NE(sort, is.attributes.end());
    EXPECT_EQ(sort->second, std::vector<std::string>{TagLibText(Utf8(value))});
  }
  is.attributes.erase("WM/AlbumSortOrder");
  was.attributes.erase("WM/AlbumSortOrder");
  EXPECT_EQ(is.attributes, was.attributes);
}

// --- The cases --------------------------------------------------------------

struct Case {
  const char* name;
  std::vector<std::string> objects;
  WideString value;
  Expected expected;
};

const WideString kNew = WIDE("9999 1998 Summer Hits");

// By name in the test log, not as bytes.
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class AsfEditCase : public ::testing::TestWithParam<Case> {};

TEST_P(AsfEditCase, ChangesTheSortAttributeAndNothingElse) {
  const Case& c = GetParam();
  Shape shape;
  shape.objects = c.objects;
  shape.after = SimpleIndex();
  const std::string before = Build(shape);
  const Outcome outcome = Edit(before, c.value);
  ExpectEdited(before, outcome.bytes, c.value, c.expected);
}

const std::vector<Attr> kOthers = {kAlbum, kRock, kLyrics, kBytes, kPop, kTrack, kFlag, kYear};

std::vector<Attr> With(std::vector<Attr> attrs, std::size_t at, const Attr& attr) {
  attrs.insert(attrs.begin() + static_cast<std::ptrdiff_t>(at), attr);
  return attrs;
}

std::vector<Attr> Plus(std::vector<Attr> attrs, const Attr& attr) {
  attrs.push_back(attr);
  return attrs;
}

const Attr kOld = Sort(WIDE("1998 Summer Hits"));
const Attr kLong = Sort(kNew + WIDE(" (and a much longer tail)"));
const Attr kSame = Sort(WIDE("9999 1998 Summer Hitz"));
const Attr kLibrarySort = [] {
  Attr a = Sort(WIDE("in the library"));
  a.stream = 1;
  return a;
}();
const Attr kLibraryPicture = [] {
  Attr a = {U16(WIDE("WM/Picture")) + kNul, 1, std::string(300, '\x42')};
  a.language = 1;
  return a;
}();

std::vector<Case> EditCases() {
  return {Case{"SetAfterTheLastIntoPadding",
               {Stream(), Description(), Extended(kOthers), Padding(500)},
               kNew,
               {Plus(kOthers, Sort(kNew)), {}, true, false}},
          Case{"SetWithoutPaddingGrowsTheFile",
               {Stream(), Description(), Extended(kOthers)},
               kNew,
               {Plus(kOthers, Sort(kNew)), {}, false, false}},
          Case{"SetIntoPaddingInTheExtension",
               {Stream(), Extension({Padding(300)}), Description(), Extended(kOthers)},
               kNew,
               {Plus(kOthers, Sort(kNew)), {}, true, false}},
          Case{"SetWithPaddingBeforeTheDescription",
               {Padding(200), Stream(), Description(), Extended(kOthers)},
               kNew,
               {Plus(kOthers, Sort(kNew)), {}, true, false}},
          Case{"ChangeLongerWherItStands",
               {Stream(), Extended(With(kOthers, 3, kOld)), Padding(500), Description()},
               kNew,
               {With(kOthers, 3, Sort(kNew)), {}, true, false}},
          Case{"ChangeShorterIntoPadding",
               {Stream(), Extended(With(kOthers, 0, kLong)), Padding(30), Description()},
               kNew,
               {With(kOthers, 0, Sort(kNew)), {}, true, false}},
          Case{"ChangeShorterWithoutPaddingShrinksTheFile",
               {Stream(), Description(), Extended(With(kOthers, 5, kLong))},
               kNew,
               {With(kOthers, 5, Sort(kNew)), {}, false, false}},
          Case{"ChangeSameLength",
               {Stream(), Description(), Extended(Plus(kOthers, kSame))},
               kNew,
               {Plus(kOthers, Sort(kNew)), {}, true, false}},
          Case{"ChangeATypedValueToText",
               {Stream(), Description(),
                Extended(With(kOthers, 2, {Sort(WIDE("")).name, 1, std::string("\x01\x02", 2)})),
                Padding(100)},
               kNew,
               {With(kOthers, 2, Sort(kNew)), {}, true, false}},
          Case{"FurtherOnesRemoved",
               {Stream(), Description(), Extended(With(With(kOthers, 6, kLong), 1, kOld)),
                Padding(100)},
               kNew,
               {With(kOthers, 1, Sort(kNew)), {}, true, false}},
          Case{"RemovedIntoPadding",
               {Stream(), Description(), Extended(With(kOthers, 4, kOld)), Padding(24)},
               WideString(),
               {kOthers, {}, true, false}},
          Case{"RemovedWithoutPaddingShrinksTheFile",
               {Stream(), Description(), Extended(With(With(kOthers, 8, kOld), 0, kLong))},
               WideString(),
               {kOthers, {}, false, false}},
          Case{"RemovingNothingChangesNothing",
               {Stream(), Description(), Extended(kOthers)},
               WideString(),
               {kOthers, {}, true, false}},
          Case{"NoDescriptionGetsOneLastIntoPadding",
               {Stream(), Padding(300), Description()},
               kNew,
               {{Sort(kNew)}, {}, true, false}},
          Case{"NoDescriptionWithoutPaddingGrowsTheHeader",
               {Stream(), Description()},
               kNew,
               {{Sort(kNew)}, {}, false, false}},
          Case{"PaddingUsedUpExactlyGoes",
               {Stream(), Description(), Extended(kOthers), Padding(2 + 36 + 4 + 44)},
               kNew,
               {Plus(kOthers, Sort(kNew)), {}, true, true}},
          Case{"PaddingTooSmallToKeepStays",
               {Stream(), Description(), Extended(kOthers), Padding(2 + 36 + 4 + 44 + 10)},
               kNew,
               {Plus(kOthers, Sort(kNew)), {}, false, false}},
          Case{"OtherNamesAreNotTheSortAttribute",
               {Stream(), Description(),
                Extended({Text(WIDE("wm/albumsortorder"), WIDE("case")),
                          Text(WIDE("WM/AlbumSortOrderX"), WIDE("longer")), kAlbum})},
               kNew,
               {{Text(WIDE("wm/albumsortorder"), WIDE("case")),
                 Text(WIDE("WM/AlbumSortOrderX"), WIDE("longer")), kAlbum, Sort(kNew)},
                {},
                false,
                false}},
          Case{"ANameWithoutItsNulIsStillTheSortAttribute",
               {Stream(), Description(),
                Extended({kAlbum, {U16(WIDE("WM/AlbumSortOrder")), 0, U16(WIDE("x")) + kNul}}),
                Padding(200)},
               kNew,
               {{kAlbum, {U16(WIDE("WM/AlbumSortOrder")), 0, U16(kNew) + kNul}}, {}, true, false}},
          Case{"ANameWithMoreNulsIsStillTheSortAttribute",
               {Stream(), Description(),
                Extended({{Sort(WIDE("")).name + kNul, 0, U16(WIDE("x")) + kNul}, kAlbum}),
                Padding(200)},
               kNew,
               {{{Sort(WIDE("")).name + kNul, 0, U16(kNew) + kNul}, kAlbum}, {}, true, false}},
          Case{"OutsideTheBasicPlane",
               {Stream(), Description(), Extended(kOthers), Padding(500)},
               WIDE("Caf\u00e9 \U0001D11E"),
               {Plus(kOthers, Sort(WIDE("Caf\u00e9 \U0001D11E"))), {}, true, false}},
          Case{"InTheLibraryEditedThereAndRemovedElsewhere",
               {Stream(), Extension({Library({kLibraryPicture, kLibrarySort, kComposer})}),
                Description(), Extended(With(kOthers, 2, kOld)), Padding(400)},
               kNew,
               {kOthers,
                {kLibraryPicture,
                 [] {
                   Attr a = Sort(kNew);
                   a.stream = 1;
                   return a;
                 }(),
                 kComposer},
                true,
                false}},
          Case{"InTheLibraryOnlyWithPaddingInTheExtension",
               {Stream(),
                Extension({Library({kLibrarySort, kComposer}), Padding(200),
                           Library({kComposer}, kMetadataId)}),
                Description(), Extended(kOthers)},
               WideString(),
               {kOthers, {kComposer}, true, false}},
          Case{"TheDescriptionBeforeTheLibraryWins",
               {Stream(), Description(), Extended(With(kOthers, 2, kOld)),
                Extension({Library({kLibrarySort, kComposer})}), Padding(200)},
               kNew,
               {With(kOthers, 2, Sort(kNew)), {kComposer}, true, false}}};
}

INSTANTIATE_TEST_SUITE_P(Cases, AsfEditCase, ::testing::ValuesIn(EditCases()),
                         [](const ::testing::TestParamInfo<Case>& param) {
                           return std::string(param.param.name);
                         });

TEST(AsfEdit, TagLibReadsTheLibraryBeforeALaterDescription) {
  // Why an edit must reach the library: TagLib gives its value first.
  Shape shape;
  shape.objects = {Stream(), Extension({Library({kLibrarySort})}), Extended({kOld})};
  const TagLibView view = ReadWithTagLib(Build(shape));
  ASSERT_EQ(view.attributes.count("WM/AlbumSortOrder"), 1u);
  ASSERT_EQ(view.attributes.at("WM/AlbumSortOrder").size(), 2u);
  EXPECT_EQ(view.attributes.at("WM/AlbumSortOrder").front(), TagLibText("in the library"));
}

TEST(AsfEdit, TheValueItHasAlreadyChangesNothing) {
  Shape shape;
  shape.objects = {Stream(), Description(), Extended(With(kOthers, 2, Sort(kNew))), Padding(50)};
  Splices splices;
  std::string reason;
  EXPECT_TRUE(EditAsfSortAlbum(StringSource(Build(shape)), kNew, splices, reason)) << reason;
  EXPECT_TRUE(splices.empty());
}

TEST(AsfEdit, SettingAndRemovingInPaddingGivesBackTheSameBytes) {
  Shape shape;
  shape.objects = {Stream(), Description(), Extended(kOthers), Padding(500)};
  shape.after = SimpleIndex();
  const std::string original = Build(shape);
  const Outcome set = Edit(original, kNew);
  // The size fields, the new attribute and the padding, each its own splice.
  ASSERT_EQ(set.splices.size(), 5u);
  EXPECT_EQ(set.splices[0].length, 8u);
  EXPECT_EQ(set.splices[1].length, 2u);
  EXPECT_EQ(set.splices[2].length, 0u);
  EXPECT_EQ(set.splices[3].length, 8u);
  EXPECT_EQ(set.splices[4].length, set.splices[2].bytes.size());
  EXPECT_EQ(Edit(set.bytes, WideString()).bytes, original);
}

TEST(AsfEdit, AStaleFileSizeFromAnotherTaggerIsAcceptedAndMadeTrueWhenTheSizeChanges) {
  Shape shape;
  shape.objects = {Stream(), Description(), Extended(kOthers)};
  shape.sizeError = -200;
  const std::string before = Build(shape);
  const Outcome outcome = Edit(before, kNew);
  EXPECT_EQ(Look(outcome.bytes).propertiesSize, outcome.bytes.size());
  EXPECT_EQ(AttrsOf(Look(outcome.bytes).header, kExtendedId), Plus(kOthers, Sort(kNew)));
}

std::string ReadSample(const char* relative) {
  std::ifstream in(std::string(KESTRUNE_SAMPLE_LIBRARY) + "/" + relative, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(AsfEdit, TheSampleTakesTheValueInItsPadding) {
  const std::string sample = ReadSample("Various Artists/The Summer Hits/01 Sunny.wma");
  ASSERT_FALSE(sample.empty());
  const Outcome set = Edit(sample, kNew);
  const View before = Look(sample);
  const View after = Look(set.bytes);
  EXPECT_EQ(set.bytes.size(), sample.size());
  EXPECT_EQ(after.propertiesSize, before.propertiesSize) << "left as the tagger wrote it";
  EXPECT_EQ(AttrsOf(after.header, kExtendedId),
            Plus(AttrsOf(before.header, kExtendedId), Sort(kNew)));
  EXPECT_EQ(Untouchable(after.header), Untouchable(before.header));
  EXPECT_EQ(Untouchable(after.extension), Untouchable(before.extension));
  EXPECT_EQ(AttrsOf(after.extension, kLibraryId), AttrsOf(before.extension, kLibraryId));
  EXPECT_EQ(after.body, before.body);
  // One block of the file changes, so it can be written in place.
  ASSERT_FALSE(set.splices.empty());
  const Splice& last = set.splices.back();
  EXPECT_EQ(set.splices.front().offset / 4096, (last.offset + last.length) / 4096);

  TagLibView is = ReadWithTagLib(set.bytes);
  TagLibView was = ReadWithTagLib(sample);
  EXPECT_TRUE(is.valid);
  EXPECT_EQ(is.attributes["WM/AlbumSortOrder"], std::vector<std::string>{TagLibText(Utf8(kNew))});
  EXPECT_EQ(is.attributes["WM/AlbumTitle"],
            std::vector<std::string>{TagLibText("The Summer Hits")});
  is.attributes.erase("WM/AlbumSortOrder");
  was.attributes.erase("WM/AlbumSortOrder");
  EXPECT_EQ(is.attributes, was.attributes);
  EXPECT_EQ(is.title, "Sunny");
  EXPECT_EQ(Edit(set.bytes, WideString()).bytes, sample);
}

// --- Refusals ---------------------------------------------------------------

struct Refusal {
  const char* name;
  std::string file;
  WideString value;
  const char* reason;
};

Shape Base() {
  Shape shape;
  shape.objects = {Stream(), Extension({Library({kComposer})}), Description(), Extended(kOthers),
                   Padding(100)};
  shape.after = SimpleIndex();
  return shape;
}

Shape BaseWith(void (*change)(Shape&)) {
  Shape shape = Base();
  change(shape);
  return shape;
}

// Offsets in the base file, from its layout.
constexpr std::size_t kExtensionAt = 30 + 104 + 96;  // after file and stream properties
constexpr std::size_t kLibraryAt = kExtensionAt + 46;

void PrintTo(const Refusal& c, std::ostream* out) { *out << c.name; }

class AsfRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(AsfRefusal, SaysWhyAndChangesNothing) {
  const Refusal& r = GetParam();
  Splices splices{{0, 0, "stale"}};
  std::string reason;
  EXPECT_FALSE(EditAsfSortAlbum(StringSource(r.file), r.value, splices, reason));
  EXPECT_EQ(reason, r.reason);
  EXPECT_TRUE(splices.empty());
}

std::vector<Refusal> Refusals() {
  return {
      Refusal{"NotAsf", "RIFF....WAVEfmt and more than thirty bytes of it", kNew,
              "the file does not start with an ASF header"},
      Refusal{"Broadcast", Build(BaseWith([](Shape& s) { s.flags = 3; })), kNew,
              "the file is a broadcast stream, whose sizes are not meaningful"},
      Refusal{"PacketsOfManySizes", Build(BaseWith([](Shape& s) { s.maxPacket = 128; })), kNew,
              "the file's data packets are not all of one size"},
      Refusal{"DataLargerThanItsPackets", Build(BaseWith([](Shape& s) {
                s.dataError = 64;
                s.after.clear();
                s.after = std::string(64, '\0');
              })),
              kNew, "the data object's size does not match its packets"},
      Refusal{"FileSizeLargerThanTheFile", Build(BaseWith([](Shape& s) { s.sizeError = 1; })), kNew,
              "the file is shorter than its file properties say"},
      Refusal{"HeaderCountTooSmall", Patched(Build(Base()), 24, Le(5, 4)), kNew,
              "the header's objects do not add up"},
      Refusal{"HeaderCountTooLarge", Patched(Build(Base()), 24, Le(7, 4)), kNew,
              "the header's objects do not add up"},
      Refusal{"HeaderSizeShort",
              Patched(Build(Base()), 16, Le(LittleEndian(Build(Base()), 16, 8) - 1, 8)), kNew,
              "the header's objects do not add up"},
      Refusal{"ExtensionDataSize", Patched(Build(Base()), kExtensionAt + 42, Le(1, 4)), kNew,
              "the header extension's objects do not add up"},
      Refusal{"LibraryCount", Patched(Build(Base()), kLibraryAt + 24, Le(2, 2)), kNew,
              "the metadata library does not add up"},
      Refusal{"DescriptionCount", Build(BaseWith([](Shape& s) {
                s.objects[3] = Patched(Extended(kOthers), 24, Le(kOthers.size() - 1, 2));
              })),
              kNew, "the extended content description does not add up"},
      Refusal{"StrayBytesInTheHeader", Build(BaseWith([](Shape& s) {
                s.objects[3] = Extended({kAlbum}) + std::string(2, '\0');
              })),
              kNew, "the header's objects do not add up"},
      Refusal{"DescriptionValueRunsOver", Build(BaseWith([](Shape& s) {
                s.objects[3] = Patched(Extended({kAlbum}), 58, Le(200, 2));
              })),
              kNew, "the extended content description does not add up"},
      Refusal{"NumberOfTheWrongWidth", Build(BaseWith([](Shape& s) {
                s.objects[3] = Extended({kAlbum, {kTrack.name, 3, Le(7, 2)}});
              })),
              kNew, "an attribute's value does not fit its type"},
      Refusal{"ABooleanOfTheWrongWidth", Build(BaseWith([](Shape& s) {
                s.objects[3] = Extended({kAlbum, {kFlag.name, 2, Le(1, 2)}});
              })),
              kNew, "an attribute's value does not fit its type"},
      Refusal{"ContentDescriptionLengths", Build(BaseWith([](Shape& s) {
                s.objects[2] = Patched(Description(), 24, Le(2, 2));
              })),
              kNew, "the content description does not add up"},
      Refusal{"TwoDescriptions",
              Build(BaseWith([](Shape& s) { s.objects.push_back(Extended({kYear})); })), kNew,
              "the header has two extended content descriptions"},
      Refusal{"NoFileProperties",
              [] {
                std::string file = Build(Base());
                file.replace(30, 16, Id("00000000-0000-0000-0000-000000000001"));
                return file;
              }(),
              kNew, "the header has no file properties object"},
      Refusal{"NotFollowedByTheData",
              [] {
                std::string file = Build(Base());
                file.replace(static_cast<std::size_t>(LittleEndian(file, 16, 8)), 16,
                             kSimpleIndexId);
                return file;
              }(),
              kNew, "the header is not followed by the data object"},
      Refusal{"StrayBytesAtTheEnd", Build(Base()) + "tag", kNew,
              "the objects after the data do not add up"},
      Refusal{"UnpairedSurrogate", Build(Base()), WideString(1, static_cast<WideChar>(0xD800)),
              "the new value holds an unpaired UTF-16 surrogate"},
      Refusal{"TrailingNul", Build(Base()), WideString(WIDE("x")) + WideChar(0),
              "the new value ends in a NUL character"},
      Refusal{"TooLong", Build(Base()), WideString(32767, WIDE('x')), "the new value is too long"},
      Refusal{"CutInsideTheHeader",
              [] {
                const std::string file = Build(Base());
                return file.substr(0, static_cast<std::size_t>(LittleEndian(file, 16, 8)) / 2);
              }(),
              kNew, "the file is cut short inside its header"},
      Refusal{"CutAfterTheHeader",
              [] {
                const std::string file = Build(Base());
                return file.substr(0, static_cast<std::size_t>(LittleEndian(file, 16, 8)));
              }(),
              kNew, "the file is cut short after its header"},
      Refusal{"CutInsideTheData",
              [] {
                const std::string file = Build(Base());
                return file.substr(0,
                                   static_cast<std::size_t>(LittleEndian(file, 16, 8)) + 50 + 64);
              }(),
              kNew, "the file is cut short inside its data object"},
      Refusal{"CutInsideTheIndex", Build(Base()).substr(0, Build(Base()).size() - 1), kNew,
              "the file is cut short inside an object after the data"},
      Refusal{"CutAfterTheData",
              Build(Base()).substr(0, Build(Base()).size() - SimpleIndex().size()), kNew,
              "the file is shorter than its file properties say"}};
}

INSTANTIATE_TEST_SUITE_P(Files, AsfRefusal, ::testing::ValuesIn(Refusals()),
                         [](const ::testing::TestParamInfo<Refusal>& param) {
                           return std::string(param.param.name);
                         });

TEST(AsfEdit, RefusesTheFileCutAtEveryBoundaryAndInsideEveryObject) {
  const std::string file = Build(Base());
  const View view = Look(file);
  std::set<std::size_t> cuts = {0, 1, 15, 16, 24, 29, 30};
  const auto around = [&cuts](std::size_t begin, std::size_t end) {
    for (std::size_t at : {begin, begin + 1, begin + 16, begin + 23, begin + 24, begin + 26,
                           (begin + end) / 2, end - 1}) {
      if (at < end) cuts.insert(at);
    }
  };
  std::size_t at = 30;
  for (const Piece& piece : view.header) {
    around(at, at + piece.bytes.size());
    if (piece.id == kExtensionId) {
      std::size_t inner = at + 46;
      for (const Piece& child : view.extension) {
        around(inner, inner + child.bytes.size());
        inner += child.bytes.size();
      }
    }
    at += piece.bytes.size();
  }
  for (std::size_t packet = 0; packet <= 3; ++packet) cuts.insert(at + 50 + 64 * packet);
  around(at, at + 50 + 3 * 64);
  around(file.size() - SimpleIndex().size(), file.size());
  for (std::size_t cut : cuts) {
    ASSERT_LT(cut, file.size());
    Splices splices;
    std::string reason;
    EXPECT_FALSE(EditAsfSortAlbum(StringSource(file.substr(0, cut)), kNew, splices, reason))
        << "cut at " << cut;
    EXPECT_FALSE(reason.empty()) << "cut at " << cut;
    EXPECT_TRUE(splices.empty()) << "cut at " << cut;
  }
}

}  // namespace
