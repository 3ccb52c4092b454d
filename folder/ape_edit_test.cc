#include "folder/ape_edit.h"

#include <gtest/gtest.h>
#include <taglib/apefile.h>
#include <taglib/apetag.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/mpcfile.h>
#include <taglib/mpegfile.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/wavpackfile.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <vector>

namespace {

std::string Le(std::uint64_t value, int count) { return LittleEndianBytes(value, count); }

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

struct Item {
  std::string key;
  std::string value;
  std::uint32_t flags = 0;
  bool operator==(const Item& other) const {
    return key == other.key && value == other.value && flags == other.flags;
  }
};

std::ostream& operator<<(std::ostream& out, const Item& item) {
  return out << '{' << item.key << " = \"" << item.value << "\", " << item.flags << '}';
}

std::string ItemBytes(const Item& item) {
  return Le(item.value.size(), 4) + Le(item.flags, 4) + item.key + '\0' + item.value;
}

// A tag's layout as files carry it.
struct Form {
  const char* name;
  std::uint32_t version;
  bool header;
  std::uint32_t flags;  // besides "has header" and "is header"
  std::string reserved;
};

const Form kForms[] = {
    {"APEv2 with header", 2000, true, 0, std::string(8, '\0')},
    {"APEv2 footer only", 2000, false, 0, std::string(8, '\0')},
    {"APEv1", 1000, false, 0, std::string(8, '\0')},
    {"APEv2 read-only, odd reserved bytes", 2000, true, 1, "\x01\x02\x03\x04\x05\x06\x07\x08"},
};
const Form& kTagLibForm = kForms[0];

std::string Block(const Form& form, std::uint64_t size, std::uint64_t count, bool isHeader) {
  const std::uint64_t flags = form.flags | (form.header ? 1u << 31 : 0) | (isHeader ? 1u << 29 : 0);
  return "APETAGEX" + Le(form.version, 4) + Le(size, 4) + Le(count, 4) + Le(flags, 4) +
         form.reserved;
}

std::string Tag(const Form& form, const std::vector<Item>& items) {
  std::string bytes;
  for (const Item& item : items) bytes += ItemBytes(item);
  const std::size_t size = bytes.size() + 32;
  return (form.header ? Block(form, size, items.size(), true) : "") + bytes +
         Block(form, size, items.size(), false);
}

std::string Id3v1() {
  std::string tag = "TAG" + std::string("Hey You") + std::string(23, '\0');
  tag += "Pink Floyd" + std::string(20, '\0') + "The Wall" + std::string(22, '\0') + "1979";
  tag += std::string(30, '\0') + '\x11';
  return tag;
}

// ---- Bodies: the audio before the tag ----

enum class Reader { Mpeg, Ape, WavPack, Mpc };

struct Body {
  const char* name;
  std::string bytes;
  std::vector<std::size_t> marks;  // where its structures end
  Reader reader;
  // Cuts before this are refused: the whole body for the containers the
  // editor tiles, their headers for those it cannot, none for MP3s.
  std::size_t checkedUpTo;
  std::size_t magicEnd;  // a cut before it leaves a file of no known kind
};

class Builder {
 public:
  Builder& Add(const std::string& part) {
    m_Bytes += part;
    m_Marks.push_back(m_Bytes.size());
    return *this;
  }
  Body Make(const char* name, Reader reader, std::size_t checkedUpTo = SIZE_MAX,
            std::size_t magicEnd = 4) const {
    return {name, m_Bytes, m_Marks, reader, std::min(checkedUpTo, m_Bytes.size()), magicEnd};
  }

 private:
  std::string m_Bytes;
  std::vector<std::size_t> m_Marks;
};

Body Mp3Body() {
  const std::string frame = std::string("\xFF\xFB\x90\x64", 4) + std::string(20, '\x55');
  return Builder().Add(frame).Add(frame).Make("MP3", Reader::Mpeg, 0);
}

// Made with ffmpeg -f lavfi -i sine=frequency=440:duration=0.03:sample_rate=8000 -ac 1
// -c:a wavpack -frame_size 128: two blocks, 240 samples.
const char kWavPackHex[] =
    "7776706bfa00000010040000f000000000000000800000000518bc0023d11faf0201575603011b1e040290f5"
    "faf40503df0dba0f630d8a640000351190a42e17e19af47bc94c32060b561e3adbf428f74cc6fbdd2c218dbe"
    "0cec736596d5453d4d5f55873589a3c1de8fad453cde8df7b19a19c9cd88573a1be49000536044647c68cb1b"
    "34f8f44f9c45bdaada56738d7a242d67e9ee8920ea2030409d368b85c5b27bc29fa4243d7f574fe89a4915dd"
    "d27a570638c28fd7640a738094b363fedda849ec27b6aa2e9ff0a02bc3b905a8003dc88ed7248498ee2cf7c5"
    "af92d5dfe1b35a453f41478257ffd8e17f9c8ea670448f005cf45bc846f9e7794113a91700007776706b3801"
    "0000100400000000000080000000700000000518bc00c10568ad020157560301353d040268f63bf405030000"
    "000000008a830000fefffd5fbcfefffd5f63fefffd5fe7fefffdbf27f8fff7bffffcfffb5f58fefffd6f4bff"
    "fffecdf8fff765fffffdfbf1ffdf7f0bfefff75f88fffffb2f88fffffe4bc8ff7fff56feffefeffcffff7ec1"
    "ff89ff7fdfabff7fbf8cfefffd05ddffbf5f1fffff7ed1f8fff70bd2ffbf77e5fffbe5ff3fefffbf8bfaffef"
    "e6fdff77b7ffff5dc5ffbff7ff537ce8eccfea8fcb7f10ff09f84bf5c5f3119961ea33f48bf845f909fa9d78"
    "b13db70e54fe5be3843aee3e132e3e37dc49b2997697f70a3fecbf8637ee057b80427e3d3fc7e358396a4e9a"
    "fbd37b3c515dd5ae3d9d67f362b77fc6f253fc4ad45aed5d896be89b5eb184a5fb10b77cec377fe0b75945d5"
    "c2a4a453b201";

Body WavPackBody() {
  const std::string bytes = FromHex(kWavPackHex);
  return Builder()
      .Add(bytes.substr(0, 32))
      .Add(bytes.substr(32, 258 - 32))
      .Add(bytes.substr(258, 32))
      .Add(bytes.substr(290))
      .Make("WavPack", Reader::WavPack);
}

std::string MonkeysDescriptor(std::uint64_t terminating) {
  return "MAC " + Le(3990, 2) + Le(0, 2) + Le(52, 4) + Le(24, 4) + Le(8, 4) + Le(44, 4) +
         Le(40, 4) + Le(0, 4) + Le(terminating, 4) + std::string(16, '\x5A');
}

std::string MonkeysHeader(std::uint64_t frames) {
  return Le(2000, 2) + Le(0, 2) + Le(73728 * 4, 4) + Le(100, 4) + Le(frames, 4) + Le(16, 2) +
         Le(2, 2) + Le(44100, 4);
}

std::string WavHeader() { return "RIFF" + Le(80, 4) + "WAVEfmt " + std::string(28, '\x01'); }

Body MonkeysBody(const std::string& id3v2 = "") {
  Builder builder;
  if (!id3v2.empty()) builder.Add(id3v2);
  return builder.Add(MonkeysDescriptor(6))
      .Add(MonkeysHeader(2))
      .Add(Le(128, 4) + Le(148, 4))
      .Add(WavHeader())
      .Add(std::string(20, '\x11'))
      .Add(std::string(20, '\x22'))
      .Add(std::string("data\x02\x00", 6))
      .Make(id3v2.empty() ? "Monkey's Audio" : "Monkey's Audio after ID3v2", Reader::Ape, SIZE_MAX,
            id3v2.size() + 4);
}

// Version 3950, with a peak level and a seek element count.
Body OldMonkeysBody() {
  const std::string header = "MAC " + Le(3950, 2) + Le(2000, 2) + Le(4 | 16, 2) + Le(2, 2) +
                             Le(44100, 4) + Le(44, 4) + Le(0, 4) + Le(2, 4) + Le(100, 4);
  return Builder()
      .Add(header)
      .Add(Le(12345, 4))
      .Add(Le(2, 4))
      .Add(WavHeader())
      .Add(Le(92, 4) + Le(112, 4))
      .Add(std::string(40, '\x33'))
      .Make("Monkey's Audio 3950", Reader::Ape, 92);
}

std::string PacketSize(std::size_t size) {
  std::string bytes(1, static_cast<char>(size & 0x7F));
  for (size >>= 7; size != 0; size >>= 7)
    bytes.insert(0, 1, static_cast<char>(0x80 | (size & 0x7F)));
  return bytes;
}

std::string Packet(const std::string& key, const std::string& payload) {
  // The size counts the key and itself.
  std::size_t size = 2 + 1 + payload.size();
  if (PacketSize(size).size() > 1) ++size;
  return key + PacketSize(size) + payload;
}

Body Musepack8Body(const std::string& end = Packet("SE", "")) {
  return Builder()
      .Add("MPCK")
      .Add(Packet("SH", std::string(14, '\x01')))
      .Add(Packet("RG", std::string(9, '\x02')))
      .Add(Packet("EI", std::string(4, '\x03')))
      .Add(Packet("AP", std::string(200, '\x04')))
      .Add(Packet("AP", std::string(30, '\x05')))
      .Add(end)
      .Make("Musepack SV8", Reader::Mpc);
}

std::string Musepack7Header(std::uint64_t frames, char version = '\x17') {
  return "MP+" + std::string(1, version) + Le(frames, 4) + Le(0x0A000000, 4) +
         std::string(8, '\0') + Le(0, 4) + Le(0, 4) + Le(0x73000000, 4);
}

Body Musepack7Body() {
  return Builder()
      .Add(Musepack7Header(3))
      .Add(std::string(60, '\x44'))
      .Make("Musepack SV7", Reader::Mpc, 32);
}

std::vector<Body> Bodies() {
  const std::string id3v2 = "ID3\x03" + std::string(5, '\0') + '\x0A' + std::string(10, '\0');
  return {Mp3Body(),        WavPackBody(),   MonkeysBody(),  MonkeysBody(id3v2),
          OldMonkeysBody(), Musepack8Body(), Musepack7Body()};
}

// ---- Reading the result ----

struct Edit {
  bool ok = false;
  Splices splices;
  std::string reason;
  std::string edited;
};

Edit EditFile(const std::string& file, const WideString& value,
              ApeTagMissing missing = ApeTagMissing::Add) {
  Edit edit;
  edit.ok = EditApeSortAlbum(StringSource(file), value, missing, edit.splices, edit.reason);
  if (edit.ok) edit.edited = ApplySplices(file, edit.splices);
  return edit;
}

// The tag ending at `end`, parsed here on its own: items in file order with
// their keys as spelled, and the fields of its header and footer.
struct ParsedTag {
  bool ok = false;
  std::string footer;  // all 32 bytes
  std::string header;  // empty without one
  std::vector<Item> items;
};

ParsedTag ParseTag(const std::string& file, std::size_t end) {
  ParsedTag tag;
  if (end < 32 || file.compare(end - 32, 8, "APETAGEX") != 0) return tag;
  tag.footer = file.substr(end - 32, 32);
  const std::size_t size = static_cast<std::size_t>(LittleEndian(tag.footer, 12, 4));
  const std::uint64_t count = LittleEndian(tag.footer, 16, 4);
  std::size_t at = end - size;
  if (LittleEndian(tag.footer, 20, 4) >> 31) tag.header = file.substr(at - 32, 32);
  while (at < end - 32) {
    const auto length = static_cast<std::size_t>(LittleEndian(file, at, 4));
    const std::size_t nul = file.find('\0', at + 8);
    tag.items.push_back({file.substr(at + 8, nul - at - 8), file.substr(nul + 1, length),
                         static_cast<std::uint32_t>(LittleEndian(file, at + 4, 4))});
    at = nul + 1 + length;
  }
  tag.ok = at == end - 32 && count == tag.items.size();
  return tag;
}

// The album sort as TagLib reads it from the whole file, through the
// format's own class.
std::optional<std::string> TagLibSortAlbum(const std::string& file, Reader reader) {
  TagLib::ByteVector data(file.data(), static_cast<unsigned int>(file.size()));
  TagLib::ByteVectorStream stream(data);
  std::unique_ptr<TagLib::File> opened;
  TagLib::APE::Tag* tag = nullptr;
  switch (reader) {
    case Reader::Mpeg: {
      auto* mpeg = new TagLib::MPEG::File(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
      opened.reset(mpeg);
      tag = mpeg->APETag();
      break;
    }
    case Reader::Ape: {
      auto* ape = new TagLib::APE::File(&stream, false);
      opened.reset(ape);
      tag = ape->APETag();
      break;
    }
    case Reader::WavPack: {
      auto* wavPack = new TagLib::WavPack::File(&stream, false);
      opened.reset(wavPack);
      tag = wavPack->APETag();
      break;
    }
    case Reader::Mpc: {
      auto* mpc = new TagLib::MPC::File(&stream, false);
      opened.reset(mpc);
      tag = mpc->APETag();
      break;
    }
  }
  if (tag == nullptr) return std::nullopt;
  const auto found = tag->itemListMap().find("ALBUMSORT");
  if (found == tag->itemListMap().end()) return std::nullopt;
  return found->second.toString().to8Bit(true);
}

std::optional<std::string> SortValueOf(const std::vector<Item>& items) {
  for (const Item& item : items) {
    std::string key = item.key;
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (key == "ALBUMSORT") return item.value;
  }
  return std::nullopt;
}

// Every splice lies inside [from, to]: the edit touched nothing else.
void ExpectSplicesWithin(const Splices& splices, std::size_t from, std::size_t to) {
  for (const Splice& splice : splices) {
    EXPECT_GE(splice.offset, from);
    EXPECT_LE(splice.offset + splice.length, to);
  }
}

// ---- Edits ----

const Item kArtist{"Artist", "Pink Floyd"};
const Item kAlbumArtist{"Album Artist", "Various Artists"};
const Item kTitle{"Title", "Hey You"};

struct EditCase {
  const char* name;
  std::vector<Item> items;
  WideString value;
  std::vector<Item> expected;
};

const EditCase kEditCases[] = {
    {"added after the last item",
     {kArtist, kAlbumArtist, kTitle},
     WIDE("Wall, The"),
     {kArtist, kAlbumArtist, kTitle, {"ALBUMSORT", "Wall, The"}}},
    {"changed to a longer value",
     {kArtist, {"ALBUMSORT", "Wall"}, kTitle},
     WIDE("Wall, The 1979"),
     {kArtist, {"ALBUMSORT", "Wall, The 1979"}, kTitle}},
    {"changed to a shorter value under the file's spelling",
     {kArtist, {"AlbumSort", "Wall, The 1979"}, kTitle},
     WIDE("Wall"),
     {kArtist, {"AlbumSort", "Wall"}, kTitle}},
    {"changed to a value as long",
     {{"ALBUMSORT", "Wall A"}, kArtist},
     WIDE("Wall B"),
     {{"ALBUMSORT", "Wall B"}, kArtist}},
    {"already so",
     {kArtist, {"ALBUMSORT", "Wall"}},
     WIDE("Wall"),
     {kArtist, {"ALBUMSORT", "Wall"}}},
    {"removed", {kArtist, {"ALBUMSORT", "Wall"}, kTitle}, WIDE(""), {kArtist, kTitle}},
    {"nothing to remove", {kArtist, kTitle}, WIDE(""), {kArtist, kTitle}},
    {"two in different case: the first takes it",
     {{"albumsort", "x"}, kArtist, {"ALBUMSORT", "y"}, kTitle},
     WIDE("z"),
     {{"albumsort", "z"}, kArtist, kTitle}},
    {"two in different case removed",
     {{"albumsort", "x"}, kArtist, {"AlbumSort", "y"}},
     WIDE(""),
     {kArtist}},
    {"two in different case, the first already so",
     {{"AlbumSort", "z"}, {"ALBUMSORT", "y"}},
     WIDE("z"),
     {{"AlbumSort", "z"}}},
    {"keys that differ only in case and keys TagLib calls invalid stay",
     {{"Artist", "a"},
      {"ARTIST", "b"},
      {"TAG", "t"},
      {"ID3", "i"},
      {"OggS", "o"},
      {"MP+", "m"},
      kAlbumArtist},
     WIDE("Wall"),
     {{"Artist", "a"},
      {"ARTIST", "b"},
      {"TAG", "t"},
      {"ID3", "i"},
      {"OggS", "o"},
      {"MP+", "m"},
      kAlbumArtist,
      {"ALBUMSORT", "Wall"}}},
    {"odd item flags stay, the album sort's too",
     {{"Artist", "a", 1}, {"ALBUMSORT", "old", 1}, {"Comment", "c", 6}, {"Genre", "g", 0xA0000000}},
     WIDE("new value"),
     {{"Artist", "a", 1},
      {"ALBUMSORT", "new value", 1},
      {"Comment", "c", 6},
      {"Genre", "g", 0xA0000000}}},
    {"binary and locator items stay",
     {{"Cover Art (Front)", std::string("front.jpg\0\xFF\xD8\xFF\xE0\0", 15), 2},
      {"Related", "http://example.com/", 4}},
     WIDE("Wall"),
     {{"Cover Art (Front)", std::string("front.jpg\0\xFF\xD8\xFF\xE0\0", 15), 2},
      {"Related", "http://example.com/", 4},
      {"ALBUMSORT", "Wall"}}},
    {"a binary album sort removed, leaving no items", {{"ALBUMSORT", "\x01\x02", 2}}, WIDE(""), {}},
    {"stored as UTF-8",
     {kArtist},
     WIDE("\u00C9t\u00E9 \u20AC \U0001F3B5"),
     {kArtist, {"ALBUMSORT", "\xC3\x89t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB5"}}},
    {"several values become one",
     {{"ALBUMSORT", std::string("a\0b", 3)}},
     WIDE("c"),
     {{"ALBUMSORT", "c"}}},
    {"an empty value filled, as the last item",
     {kArtist, {"ALBUMSORT", ""}},
     WIDE("Wall"),
     {kArtist, {"ALBUMSORT", "Wall"}}},
    {"added to a tag without items", {}, WIDE("Wall"), {{"ALBUMSORT", "Wall"}}},
};

TEST(EditApeSortAlbum, ChangesOnlyTheSortItemInEveryFormAndContainer) {
  for (const Body& body : Bodies()) {
    for (const Form& form : kForms) {
      for (const bool id3v1 : {false, true}) {
        for (const EditCase& c : kEditCases) {
          SCOPED_TRACE(std::string(body.name) + ", " + form.name + (id3v1 ? ", ID3v1, " : ", ") +
                       c.name);
          const std::string tail = id3v1 ? Id3v1() : "";
          const std::string tag = Tag(form, c.items);
          const std::string file = body.bytes + tag + tail;
          const Edit edit = EditFile(file, c.value);
          ASSERT_TRUE(edit.ok) << edit.reason;
          EXPECT_TRUE(SplicesAreOrdered(edit.splices, file.size()));
          ExpectSplicesWithin(edit.splices, body.bytes.size(), body.bytes.size() + tag.size());
          EXPECT_EQ(edit.splices.empty(), c.items == c.expected);

          const std::string& edited = edit.edited;
          ASSERT_GE(edited.size(), body.bytes.size() + tail.size());
          EXPECT_EQ(edited.compare(0, body.bytes.size(), body.bytes), 0);
          EXPECT_EQ(edited.compare(edited.size() - tail.size(), tail.size(), tail), 0);
          const ParsedTag parsed = ParseTag(edited, edited.size() - tail.size());
          ASSERT_TRUE(parsed.ok);
          EXPECT_EQ(parsed.items, c.expected);
          // Version, flags and reserved bytes as they were; sizes and counts
          // agree, in the header too.
          EXPECT_EQ(edited, body.bytes + Tag(form, c.expected) + tail);
          EXPECT_EQ(TagLibSortAlbum(edited, body.reader), SortValueOf(c.expected));
        }
      }
    }
  }
}

// The caller writes in place when the changed bytes are few and close: the
// value and the size fields are each their own splice.
TEST(EditApeSortAlbum, SplicesOnlyTheFieldsThatChange) {
  const std::string body = Mp3Body().bytes;
  const std::vector<Item> items = {kArtist, {"ALBUMSORT", "Wall A"}, kTitle};
  const std::string file = body + Tag(kTagLibForm, items);
  const std::size_t header = body.size();
  const std::size_t item = header + 32 + ItemBytes(kArtist).size();
  const std::size_t value = item + 8 + 10;
  const std::size_t footer = file.size() - 32;

  const Edit same = EditFile(file, WIDE("Wall B"));
  ASSERT_TRUE(same.ok) << same.reason;
  ASSERT_EQ(same.splices.size(), 1u);
  EXPECT_EQ(same.splices[0].offset, value);
  EXPECT_EQ(same.splices[0].length, 6u);
  EXPECT_EQ(same.splices[0].bytes, "Wall B");

  const Edit longer = EditFile(file, WIDE("Wall AB"));
  ASSERT_TRUE(longer.ok) << longer.reason;
  ASSERT_EQ(longer.splices.size(), 4u);
  const std::uint64_t size = 32 + ItemBytes(kArtist).size() + 8 + 10 + 7 + ItemBytes(kTitle).size();
  const std::uint64_t offsets[] = {header + 12, item, value, footer + 12};
  const std::string bytes[] = {Le(size, 4), Le(7, 4), "Wall AB", Le(size, 4)};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(longer.splices[i].offset, offsets[i]) << i;
    EXPECT_EQ(longer.splices[i].bytes, bytes[i]) << i;
  }

  const Edit removed = EditFile(file, WIDE(""));
  ASSERT_TRUE(removed.ok) << removed.reason;
  ASSERT_EQ(removed.splices.size(), 5u);  // header size and count, the item, footer size and count
  EXPECT_EQ(removed.splices[2].offset, item);
  EXPECT_EQ(removed.splices[2].length, ItemBytes({"ALBUMSORT", "Wall A"}).size());
  EXPECT_EQ(removed.splices[4].offset, footer + 16);
  EXPECT_EQ(removed.splices[4].bytes, Le(2, 4));
}

TEST(EditApeSortAlbum, RefusesAnAlbumSortThatIsNotText) {
  for (const std::uint32_t flags : {2u, 3u, 4u, 6u}) {
    const std::string file = Mp3Body().bytes + Tag(kTagLibForm, {{"ALBUMSORT", "x", flags}});
    const Edit edit = EditFile(file, WIDE("Wall"));
    EXPECT_FALSE(edit.ok) << flags;
    EXPECT_NE(edit.reason.find("ALBUMSORT item"), std::string::npos) << edit.reason;
    EXPECT_TRUE(edit.splices.empty());
  }
}

// ---- No tag ----

TEST(EditApeSortAlbum, AddsATagAsTagLibWritesItOnlyWhenAsked) {
  TagLib::APE::Tag tagLib;
  tagLib.addValue("ALBUMSORT", TagLib::String("Wall, The \xE2\x82\xAC", TagLib::String::UTF8));
  const TagLib::ByteVector rendered = tagLib.render();
  const std::string expectedTag(rendered.data(), rendered.size());
  ASSERT_EQ(expectedTag, Tag(kTagLibForm, {{"ALBUMSORT", "Wall, The \xE2\x82\xAC"}}));

  for (const Body& body : Bodies()) {
    for (const bool id3v1 : {false, true}) {
      SCOPED_TRACE(std::string(body.name) + (id3v1 ? ", ID3v1" : ""));
      const std::string tail = id3v1 ? Id3v1() : "";
      const std::string file = body.bytes + tail;
      const Edit added = EditFile(file, WIDE("Wall, The \u20AC"));
      ASSERT_TRUE(added.ok) << added.reason;
      ASSERT_EQ(added.splices.size(), 1u);
      EXPECT_EQ(added.splices[0].offset, body.bytes.size());
      EXPECT_EQ(added.splices[0].length, 0u);
      EXPECT_EQ(added.edited, body.bytes + expectedTag + tail);
      EXPECT_EQ(TagLibSortAlbum(added.edited, body.reader), "Wall, The \xE2\x82\xAC");

      for (const ApeTagMissing missing : {ApeTagMissing::Add, ApeTagMissing::Leave}) {
        const Edit nothing = EditFile(file, WIDE(""), missing);
        EXPECT_TRUE(nothing.ok) << nothing.reason;
        EXPECT_TRUE(nothing.splices.empty());
      }
      const Edit left = EditFile(file, WIDE("Wall"), ApeTagMissing::Leave);
      EXPECT_TRUE(left.ok) << left.reason;
      EXPECT_TRUE(left.splices.empty());
    }
  }
}

TEST(EditApeSortAlbum, LeaveStillEditsATagThatIsThere) {
  const std::string file = Mp3Body().bytes + Tag(kForms[1], {kArtist, {"ALBUMSORT", "x"}});
  const Edit edit = EditFile(file, WIDE(""), ApeTagMissing::Leave);
  ASSERT_TRUE(edit.ok) << edit.reason;
  EXPECT_EQ(edit.edited, Mp3Body().bytes + Tag(kForms[1], {kArtist}));
}

// ---- Refusals ----

struct Refusal {
  const char* name;
  std::string file;
  const char* reason;  // a part of it
};

std::string Patched(std::string bytes, std::size_t at, const std::string& with) {
  return bytes.replace(at, with.size(), with);
}

std::vector<Refusal> BrokenTags() {
  const std::string mp3 = Mp3Body().bytes;
  const std::vector<Item> items = {kArtist, {"ALBUMSORT", "Wall"}};
  const std::string full = mp3 + Tag(kTagLibForm, items);
  const std::string bare = mp3 + Tag(kForms[1], items);
  const std::size_t header = mp3.size();
  const std::size_t footer = full.size() - 32;
  const std::size_t bareFooter = bare.size() - 32;
  const std::size_t firstItem =
      bareFooter - ItemBytes(items[0]).size() - ItemBytes(items[1]).size();
  const std::string lastItem = ItemBytes(items[1]);
  const auto withItem = [&mp3](const std::string& item) {
    const std::string body = ItemBytes(kArtist) + item;
    return mp3 + body + Block(kForms[1], body.size() + 32, 2, false);
  };
  const std::uint32_t headerFlags = (1u << 31) | (1u << 29);
  return {
      {"header counts another number", Patched(full, header + 16, Le(3, 4)), "disagree"},
      {"header has another size", Patched(full, header + 12, Le(99, 4)), "disagree"},
      {"header has another version", Patched(full, header + 8, Le(1000, 4)), "disagree"},
      {"header not marked as one", Patched(full, header + 20, Le(1u << 31, 4)), "disagree"},
      {"header missing", Patched(bare, bareFooter + 20, Le(1u << 31, 4)), "header is missing"},
      {"footer marked as header", Patched(bare, bareFooter + 20, Le(headerFlags, 4)),
       "footer is missing"},
      {"version 3000", Patched(full, footer + 8, Le(3000, 4)), "version"},
      {"size below a footer's", Patched(bare, bareFooter + 12, Le(31, 4)), "does not parse"},
      {"size past the file's start", Patched(bare, bareFooter + 12, Le(bare.size() + 1, 4)),
       "larger than the file"},
      {"more items counted than held", Patched(bare, bareFooter + 16, Le(3, 4)), "fewer items"},
      {"fewer items counted than held", Patched(bare, bareFooter + 16, Le(1, 4)),
       "bytes after its last item"},
      {"a value runs past the footer", Patched(bare, firstItem, Le(200, 4)), "runs past"},
      {"a value too short to tile", Patched(bare, firstItem, Le(5, 4)), "key does not parse"},
      {"a one-byte key", withItem(ItemBytes({"A", "x"})), "key does not parse"},
      {"a key with DEL", withItem(ItemBytes({"Al\x7F", "x"})), "key does not parse"},
      {"a key with a control byte", withItem(ItemBytes({"Al\x1F", "x"})), "key does not parse"},
      {"a key of 256 bytes", withItem(ItemBytes({std::string(256, 'K'), "x"})),
       "key does not parse"},
      {"a key without its NUL", withItem(Le(0, 4) + Le(0, 4) + "ALBUMSORT"), "key does not parse"},
      {"a header without its footer", mp3 + Tag(kTagLibForm, items).substr(0, 32 + 30),
       "cut short or out of place"},
      {"an APE tag and ID3v1 at once",
       mp3 + Tag(kForms[1], {{"Comment", "TAG" + std::string(93, 'x')}}), "both"},
  };
}

std::vector<Refusal> BrokenAudio() {
  const std::string tag = Tag(kTagLibForm, {{"ALBUMSORT", "Wall"}});
  const std::string wavPack = WavPackBody().bytes;
  const std::string monkeys = MonkeysBody().bytes;
  const std::string monkeysId3v2 = MonkeysBody(Bodies()[3].bytes.substr(0, 20)).bytes;
  const std::string oldMonkeys = OldMonkeysBody().bytes;
  const std::string sv7 = Musepack7Body().bytes;
  const std::string sv7Frames = sv7.substr(28);
  return {
      {"a WavPack block of odd size", Patched(wavPack, 4, Le(0xFB, 4)) + tag, "WavPack block"},
      {"a WavPack block of unknown version", Patched(wavPack, 8, Le(0x411, 2)) + tag,
       "WavPack block"},
      {"a WavPack block running into the tag", Patched(wavPack, 258 + 4, Le(0x13A, 4)) + tag,
       "cut short inside its WavPack"},
      {"bytes between WavPack blocks and the tag", wavPack + std::string(40, '\0') + tag,
       "unknown bytes follow the WavPack blocks"},
      {"the last WavPack block missing", wavPack.substr(0, 258) + tag, "cut short"},
      {"more WavPack samples than counted", Patched(wavPack, 258 + 20, Le(200, 4)) + tag,
       "more samples"},
      {"a byte after Monkey's Audio data", monkeys + "x" + tag, "follow the Monkey's Audio"},
      {"Monkey's Audio data longer than the file", Patched(monkeys, 32, Le(7, 4)) + tag,
       "cut short inside its Monkey's Audio"},
      {"Monkey's Audio high audio length", Patched(monkeys, 28, Le(1, 4)) + tag, "cut short"},
      {"a short Monkey's Audio descriptor", Patched(monkeys, 8, Le(40, 4)) + tag,
       "header does not parse"},
      {"Monkey's Audio without frames", Patched(monkeys, 52 + 12, Le(0, 4)) + tag,
       "header does not parse"},
      {"a byte after Monkey's Audio after ID3v2", monkeysId3v2 + "x" + tag, "follow"},
      {"old Monkey's Audio without frames", Patched(oldMonkeys, 24, Le(0, 4)) + tag,
       "header does not parse"},
      {"old Monkey's Audio seek table past the end", Patched(oldMonkeys, 36, Le(40, 4)) + tag,
       "cut short"},
      {"Musepack SV8 without its end", Musepack8Body("").bytes + tag, "no end packet"},
      {"bytes after the Musepack SV8 end", Musepack8Body(Packet("SE", "") + "xyz").bytes + tag,
       "follow the Musepack"},
      {"a Musepack SV8 key in lower case", Musepack8Body(Packet("se", "")).bytes + tag,
       "Musepack packet does not parse"},
      {"a Musepack SV8 size below its head", Musepack8Body("SE\x02").bytes + tag,
       "Musepack packet does not parse"},
      {"a Musepack SV8 packet past the tag", Musepack8Body("SE\x20").bytes + tag,
       "cut short inside its Musepack"},
      {"Musepack SV7 without frames", Musepack7Header(0) + sv7Frames + tag, "SV7 header"},
      {"Musepack SV7 of version 6", Musepack7Header(3, '\x16') + sv7Frames + tag, "SV7 header"},
      {"Musepack SV7 with more frames than fit", Musepack7Header(1000) + sv7Frames + tag,
       "cut short inside its Musepack frames"},
      {"Musepack SV7 with fewer frames than fit",
       Musepack7Header(1) + std::string(200000, 'x') + tag, "frame count does not fit"},
  };
}

TEST(EditApeSortAlbum, RefusesTagsAndAudioThatAreNotWhole) {
  for (const auto& table : {BrokenTags(), BrokenAudio()}) {
    for (const Refusal& refusal : table) {
      for (const ApeTagMissing missing : {ApeTagMissing::Add, ApeTagMissing::Leave}) {
        const Edit edit = EditFile(refusal.file, WIDE("Wall, The"), missing);
        EXPECT_FALSE(edit.ok) << refusal.name;
        EXPECT_NE(edit.reason.find(refusal.reason), std::string::npos)
            << refusal.name << ": " << edit.reason;
        EXPECT_TRUE(edit.splices.empty()) << refusal.name;
      }
    }
  }
}

TEST(EditApeSortAlbum, RefusesAValueThatUtf8CannotHold) {
  const std::string file = Mp3Body().bytes + Tag(kTagLibForm, {kArtist});
  WideString lone = WIDE("Wall ");
  lone.push_back(static_cast<WideChar>(0xD800));
  const Edit edit = EditFile(file, lone);
  EXPECT_FALSE(edit.ok);
  EXPECT_EQ(edit.reason, "the new value holds an unpaired UTF-16 surrogate");
}

// Where each structure of `file` ends: the body's, the tag's (header, each
// item, footer) and the ID3v1 tag's.
std::vector<std::size_t> Marks(const Body& body, const Form& form, const std::vector<Item>& items) {
  std::vector<std::size_t> marks = body.marks;
  std::size_t at = body.bytes.size() + (form.header ? 32 : 0);
  if (form.header) marks.push_back(at);
  for (const Item& item : items) marks.push_back(at += ItemBytes(item).size());
  marks.push_back(at + 32);
  marks.push_back(at + 32 + 128);
  return marks;
}

// The file cut at every boundary, a byte to each side and in the middle of
// every structure: all refused, except where the cut leaves a whole file (at
// the tag's start, at the ID3v1 tag's) or falls where this editor does not
// look (an MP3's audio, which the caller checks; a tag without a header,
// or cut inside its header's marker, after audio that records no length).
TEST(EditApeSortAlbum, RefusesFilesCutShort) {
  const std::vector<Item> items = {kArtist, {"ALBUMSORT", "Wall"}, kTitle};
  for (const Body& body : Bodies()) {
    for (const Form& form : kForms) {
      const std::string file = body.bytes + Tag(form, items) + Id3v1();
      const std::size_t tagStart = body.bytes.size();
      const std::size_t tagEnd = file.size() - 128;
      const bool tiled = body.checkedUpTo == body.bytes.size();
      std::set<std::size_t> cuts;
      std::size_t previous = 0;
      for (const std::size_t mark : Marks(body, form, items)) {
        cuts.insert({mark - 1, mark, mark + 1, (previous + mark) / 2});
        previous = mark;
      }
      for (const std::size_t cut : cuts) {
        const bool unknown = cut <= 4 || (cut + 4 >= body.magicEnd && cut <= body.magicEnd);
        if (unknown || cut >= file.size() || cut == tagStart || cut == tagEnd) continue;
        const bool inBody = cut < tagStart && cut < body.checkedUpTo;
        const bool inTag =
            cut > tagStart && cut < tagEnd && (tiled || (form.header && cut >= tagStart + 8));
        if (!inBody && !inTag && cut < tagEnd) continue;
        const Edit edit = EditFile(file.substr(0, cut), WIDE("Wall, The"));
        EXPECT_FALSE(edit.ok) << body.name << ", " << form.name << ", cut at " << cut;
        EXPECT_FALSE(edit.reason.empty());
        EXPECT_TRUE(edit.splices.empty());
      }
    }
  }
}

}  // namespace
