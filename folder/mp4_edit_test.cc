#include "folder/mp4_edit.h"

#include <gtest/gtest.h>
#include <taglib/mp4file.h>
#include <taglib/tbytevectorstream.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

namespace {

// --- Writing files ---------------------------------------------------------

std::string Be(std::uint64_t value, int count) { return BigEndianBytes(value, count); }

struct Node {
  std::string type;
  std::string body;  // before the children
  std::vector<Node> kids;
  bool large = false;
};

std::string Render(const Node& node) {
  std::string inside = node.body;
  for (const Node& kid : node.kids) inside += Render(kid);
  if (node.large) return Be(1, 4) + node.type + Be(16 + inside.size(), 8) + inside;
  return Be(8 + inside.size(), 4) + node.type + inside;
}

std::string Render(const std::vector<Node>& nodes) {
  std::string out;
  for (const Node& node : nodes) out += Render(node);
  return out;
}

Node Free(std::uint64_t size) { return {"free", std::string(size - 8, '\0'), {}}; }

const std::string kNoLocale(4, '\0');

std::string Data(std::uint32_t type, const std::string& payload,
                 const std::string& locale = kNoLocale) {
  return Render(Node{"data", Be(type, 4) + locale + payload, {}});
}

Node Text(const std::string& key, const std::string& utf8) { return {key, Data(1, utf8), {}}; }
Node Soal(const std::string& utf8, const std::string& locale = kNoLocale) {
  return {"soal", Data(1, utf8, locale), {}};
}
std::uint64_t SizeOf(const Node& node) { return Render(node).size(); }

// Items TagLib reads in ways of its own, and some it does not read at all.
std::vector<Node> RichItems() {
  const std::string mean = Render(Node{"mean", kNoLocale + "com.apple.iTunes", {}});
  const std::string name = Render(Node{"name", kNoLocale + "MOOD", {}});
  return {
      Text("\xA9nam", "Death on Two Legs"),
      Text("\xA9"
           "ART",
           "Queen"),
      {"----", mean + name + Data(1, "Upbeat"), {}},
      {"\xA9gen", Data(1, "Rock") + Data(1, "Opera"), {}},
      {"\xA9"
       "cmt",
       Data(2, std::string("\0h\0i", 4)),
       {}},
      {"gnre", Data(0, Be(9, 2)), {}},
      {"trkn", Data(0, Be(0, 2) + Be(1, 2) + Be(12, 2) + Be(0, 2)), {}},
      {"tmpo", Data(21, Be(120, 2)), {}},
      {"zzzz", Render(Node{"blob", "\x01\x02\x03", {}}), {}},
      Text("xid ", "label:1234"),
      Text("\xA9"
           "alb",
           "A Night at the Opera"),
  };
}

std::vector<Node> With(std::vector<Node> items, std::size_t at, const Node& item) {
  items.insert(items.begin() + static_cast<std::ptrdiff_t>(at), item);
  return items;
}

constexpr std::size_t kChunk = 16;
const std::string kSamples =
    std::string(kChunk, 'a') + std::string(kChunk, 'b') + std::string(kChunk, 'c');

Node Handler() { return {"hdlr", std::string(8, '\0') + "mdirappl" + std::string(9, '\0'), {}}; }
Node Ftyp() { return {"ftyp", "M4A " + Be(0, 4) + "M4A isom", {}}; }
Node Mvhd() { return {"mvhd", Be(0, 4) + std::string(96, '\0'), {}}; }

// One AAC track with what TagLib needs for its audio properties.
Node Track(const std::vector<std::uint64_t>& chunks, bool co64,
           const std::vector<Node>& extra = {}) {
  std::string table = Be(0, 4) + Be(chunks.size(), 4);
  for (std::uint64_t chunk : chunks) table += Be(chunk, co64 ? 8 : 4);
  const std::string mp4a = Be(36, 4) + "mp4a" + std::string(6, '\0') + Be(1, 2) +
                           std::string(8, '\0') + Be(2, 2) + Be(16, 2) + Be(0, 4) +
                           Be(std::uint64_t{44100} << 16, 4);
  std::vector<Node> stbl = {{"stsd", Be(0, 4) + Be(1, 4) + mp4a, {}},
                            {"stts", Be(0, 8), {}},
                            {"stsc", Be(0, 8), {}},
                            {"stsz", std::string(12, '\0'), {}},
                            {co64 ? "co64" : "stco", table, {}}};
  stbl.insert(stbl.end(), extra.begin(), extra.end());
  const Node dref{"dref", Be(0, 4) + Be(1, 4) + Render(Node{"url ", Be(1, 4), {}}), {}};
  const Node minf{"minf", "", {{"smhd", Be(0, 8), {}}, {"dinf", "", {dref}}, {"stbl", "", stbl}}};
  const Node mdhd{
      "mdhd", std::string(12, '\0') + Be(44100, 4) + Be(44100, 4) + Be(0x55C4, 2) + Be(0, 2), {}};
  const Node hdlr{"hdlr", Be(0, 8) + "soun" + std::string(12, '\0') + "SoundHandler" + '\0', {}};
  const Node edts{"edts", "", {{"elst", Be(0, 4) + Be(1, 4) + Be(0, 8) + Be(0x10000, 4), {}}}};
  return {"trak",
          "",
          {{"tkhd", Be(0, 4) + std::string(80, '\0'), {}},
           edts,
           {"tref", "", {{"chap", Be(2, 4), {}}}},
           {"mdia", "", {mdhd, hdlr, minf}}}};
}

// --- Reading them back, independently of the editor ------------------------

struct Parsed {
  std::string type;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::uint64_t header = 8;
  std::vector<Parsed> kids;
  std::uint64_t Body() const { return offset + header; }
  std::uint64_t End() const { return offset + size; }
};

bool IsContainer(const std::string& type, const std::string& parent) {
  static const std::set<std::string> kTypes = {"moov", "udta", "meta", "ilst", "trak",
                                               "mdia", "minf", "stbl", "mvex", "moof",
                                               "traf", "mfra", "edts", "dinf", "tref"};
  return kTypes.count(type) > 0 || (parent == "ilst" && type != "free" && type != "skip");
}

bool ParseBoxes(const std::string& file, std::uint64_t at, std::uint64_t end,
                const std::string& parent, std::vector<Parsed>& out) {
  while (at < end) {
    if (end - at < 8) return false;
    Parsed box;
    box.offset = at;
    box.type = file.substr(at, 8).substr(4);
    box.size = BigEndian(file, at, 4);
    if (box.size == 1) {
      if (end - at < 16) return false;
      box.size = BigEndian(file, at + 8, 8);
      box.header = 16;
    } else if (box.size == 0 && parent.empty()) {
      box.size = end - at;
    }
    if (box.size < box.header || box.size > end - at) return false;
    if (IsContainer(box.type, parent)) {
      std::uint64_t begin = box.Body();
      const std::string first = box.size >= box.header + 8 ? file.substr(begin + 4, 4) : "";
      if (box.type == "meta" && first != "hdlr" && first != "ilst") begin += 4;
      if (!ParseBoxes(file, begin, box.End(), box.type, box.kids)) return false;
    }
    out.push_back(box);
    at = box.End();
  }
  return true;
}

std::vector<Parsed> Parse(const std::string& file) {
  std::vector<Parsed> top;
  EXPECT_TRUE(ParseBoxes(file, 0, file.size(), "", top));
  return top;
}

const Parsed* Child(const std::vector<Parsed>& boxes, const std::string& type) {
  for (const Parsed& box : boxes) {
    if (box.type == type) return &box;
  }
  return nullptr;
}

const Parsed* Find(const std::vector<Parsed>& top, const std::vector<std::string>& path) {
  const std::vector<Parsed>* level = &top;
  const Parsed* box = nullptr;
  for (const std::string& type : path) {
    box = Child(*level, type);
    if (box == nullptr) return nullptr;
    level = &box->kids;
  }
  return box;
}

// Types, sizes (L: a 64-bit one) and nesting, in file order.
std::string Outline(const std::vector<Parsed>& boxes) {
  std::string out;
  for (const Parsed& box : boxes) {
    std::string type = box.type;
    for (char& c : type) c = c == '\xA9' ? '@' : c;
    out += (out.empty() ? "" : " ") + type + ':' + std::to_string(box.size) +
           (box.header == 16 ? "L" : "");
    if (!box.kids.empty()) out += '[' + Outline(box.kids) + ']';
  }
  return out;
}

std::string Outline(const std::string& file) { return Outline(Parse(file)); }

std::string Patched(std::string file, std::uint64_t at, const std::string& bytes) {
  return file.replace(at, bytes.size(), bytes);
}

Parsed Located(const std::string& file, const std::vector<std::string>& path) {
  const std::vector<Parsed> top = Parse(file);
  const Parsed* box = Find(top, path);
  EXPECT_NE(box, nullptr);
  return box == nullptr ? Parsed() : *box;
}

// The files put together twice: first to learn where the boxes fall, then
// with offsets that point at them.
std::string TwoPass(const std::function<std::vector<Node>(const std::vector<Parsed>&)>& make) {
  const std::string draft = Render(make({}));
  return Render(make(Parse(draft)));
}

std::uint64_t MdatBody(const std::vector<Parsed>& top) {
  const Parsed* mdat = Child(top, "mdat");
  return mdat == nullptr ? 0 : mdat->Body();
}

// What each chunk offset of each track points at.
std::vector<std::string> ChunkBytes(const std::string& file) {
  std::vector<std::string> chunks;
  const std::vector<Parsed> top = Parse(file);
  const Parsed* moov = Child(top, "moov");
  if (moov == nullptr) return chunks;
  for (const Parsed& trak : moov->kids) {
    const Parsed* stbl = trak.type == "trak" ? Find(trak.kids, {"mdia", "minf", "stbl"}) : nullptr;
    if (stbl == nullptr) continue;
    for (const Parsed& table : stbl->kids) {
      if (table.type != "stco" && table.type != "co64") continue;
      const int width = table.type == "co64" ? 8 : 4;
      const std::uint64_t count = BigEndian(file, table.Body() + 4, 4);
      for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t offset =
            BigEndian(file, table.Body() + 8 + i * static_cast<std::uint64_t>(width), width);
        chunks.push_back(file.substr(offset, kChunk));
      }
    }
  }
  return chunks;
}

// A whole file to the editor, and a note of any read inside an mdat's payload.
class RecordingSource final : public ByteSource {
 public:
  explicit RecordingSource(const std::string& bytes) : m_File(bytes) {
    // A tolerant walk of the top level: refused files need not parse.
    const std::string& file = bytes;
    for (std::uint64_t at = 0; at + 8 <= file.size();) {
      std::uint64_t size = BigEndian(file, at, 4);
      std::uint64_t header = 8;
      if (size == 1 && at + 16 <= file.size()) {
        size = BigEndian(file, at + 8, 8);
        header = 16;
      }
      if (size == 0) size = file.size() - at;
      if (size < header) break;
      if (file.compare(at + 4, 4, "mdat") == 0) m_Media.emplace_back(at + header, at + size);
      at += size;
    }
  }
  std::uint64_t Size() const override { return m_File.Size(); }
  bool Read(std::uint64_t offset, std::size_t length, std::string& bytes) const override {
    for (const auto& span : m_Media) {
      if (offset < span.second && offset + length > span.first) m_ReadMedia = true;
    }
    return m_File.Read(offset, length, bytes);
  }
  bool ReadMedia() const { return m_ReadMedia; }

 private:
  StringSource m_File;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> m_Media;
  mutable bool m_ReadMedia = false;
};

struct Edited {
  bool ok = false;
  std::string reason;
  Splices splices;
  std::string bytes;
};

Edited Edit(const std::string& file, const WideString& value) {
  Edited edited;
  const RecordingSource source(file);
  edited.ok = EditMp4SortAlbum(source, value, edited.splices, edited.reason);
  EXPECT_FALSE(source.ReadMedia()) << "read the audio data";
  EXPECT_TRUE(SplicesAreOrdered(edited.splices, file.size()));
  if (edited.ok) {
    EXPECT_EQ(edited.reason, "");
    edited.bytes = ApplySplices(file, edited.splices);
  } else {
    EXPECT_NE(edited.reason, "");
    EXPECT_TRUE(edited.splices.empty());
  }
  return edited;
}

// --- What TagLib makes of a file -------------------------------------------

// What TagLib holds of an item, by the kind it gives items of that name.
std::string Describe(const std::string& key, const TagLib::MP4::Item& item) {
  std::ostringstream out;
  if (key == "trkn" || key == "disk") {
    out << item.toIntPair().first << '/' << item.toIntPair().second;
  } else if (key == "tmpo") {
    out << item.toInt();
  } else {
    out << item.atomDataType() << '|' << item.toStringList().toString("/").to8Bit(true);
  }
  return out.str();
}

struct TagLibView {
  bool audio = false;                        // what the tool asks before it reads a file
  std::map<std::string, std::string> items;  // all but soal
  bool hasSoal = false;
  std::string soal;
};

TagLibView ReadWithTagLib(const std::string& bytes) {
  TagLibView view;
  const TagLib::ByteVector data(bytes.data(), static_cast<unsigned int>(bytes.size()));
  TagLib::ByteVectorStream stream(data);
  TagLib::MP4::File file(&stream, true);
  view.audio = file.isValid() && file.audioProperties() != nullptr &&
               file.audioProperties()->sampleRate() > 0;
  if (file.tag() == nullptr) return view;
  for (const auto& entry : file.tag()->itemMap()) {
    const std::string key = entry.first.to8Bit(true);
    if (key == "soal") {
      view.hasSoal = true;
      view.soal = entry.second.toStringList().toString("/").to8Bit(true);
    } else {
      view.items[key] = Describe(key, entry.second);
    }
  }
  return view;
}

void ExpectTagLibSees(const std::string& before, const std::string& after,
                      const std::string& soal) {
  const TagLibView old = ReadWithTagLib(before);
  const TagLibView now = ReadWithTagLib(after);
  EXPECT_TRUE(now.audio);
  EXPECT_EQ(now.items, old.items);
  EXPECT_EQ(now.hasSoal, !soal.empty());
  EXPECT_EQ(now.soal, soal);
}

// The first offset where two files differ, for messages shorter than both.
std::string Difference(const std::string& a, const std::string& b) {
  std::size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
  if (at == a.size() && at == b.size()) return "none";
  return "at " + std::to_string(at) + " of " + std::to_string(a.size()) + " and " +
         std::to_string(b.size());
}

// The edit turns `before` into exactly `after`, whose chunks hold the same
// bytes and which TagLib reads with `soal` and every other item unchanged.
void ExpectEdit(const std::string& before, const WideString& value, const std::string& soal,
                const std::string& after) {
  const Edited edited = Edit(before, value);
  ASSERT_TRUE(edited.ok) << edited.reason;
  EXPECT_EQ(Outline(edited.bytes), Outline(after));
  EXPECT_EQ(Difference(edited.bytes, after), "none");
  EXPECT_EQ(ChunkBytes(edited.bytes), ChunkBytes(before));
  ExpectTagLibSees(before, edited.bytes, soal);
}

// --- The ordinary M4A ------------------------------------------------------

struct M4a {
  std::vector<Node> items = RichItems();
  int levels = 4;  // of moov, udta, meta and ilst, how many there are
  // Free boxes that end the top level after moov, moov, udta and meta (0: none).
  std::array<std::uint64_t, 4> frees{};
  bool mdatFirst = false;
  bool co64 = false;
  bool large = false;  // 64-bit sizes on moov, udta, meta and ilst
  bool quickTimeMeta = false;
};

std::vector<Node> Boxes(const M4a& m, std::uint64_t mdat) {
  Node moov{"moov", "", {Mvhd(), Track({mdat, mdat + kChunk, mdat + 2 * kChunk}, m.co64)}, m.large};
  if (m.levels >= 2) {
    Node udta{"udta", "", {}, m.large};
    if (m.levels >= 3) {
      Node meta{"meta", m.quickTimeMeta ? "" : Be(0, 4), {Handler()}, m.large};
      if (m.levels >= 4) meta.kids.push_back({"ilst", "", m.items, m.large});
      if (m.frees[3] != 0) meta.kids.push_back(Free(m.frees[3]));
      udta.kids.push_back(meta);
    }
    if (m.frees[2] != 0) udta.kids.push_back(Free(m.frees[2]));
    moov.kids.push_back(udta);
  }
  if (m.frees[1] != 0) moov.kids.push_back(Free(m.frees[1]));
  const Node mdatBox{"mdat", kSamples, {}};
  std::vector<Node> top{Ftyp()};
  if (m.mdatFirst) top.push_back(mdatBox);
  top.push_back(moov);
  if (m.frees[0] != 0) top.push_back(Free(m.frees[0]));
  if (!m.mdatFirst) top.push_back(mdatBox);
  return top;
}

std::string Build(const M4a& m) {
  return TwoPass([&m](const std::vector<Parsed>& top) { return Boxes(m, MdatBody(top)); });
}

const std::string kOld = "Night at the Opera";
const WideString kLonger = WIDE("1975 Night at the Op\u00E9ra, A");
const std::string kLongerUtf8 = "1975 Night at the Op\xC3\xA9ra, A";
const std::int64_t kGrowth = static_cast<std::int64_t>(kLongerUtf8.size() - kOld.size());

struct Layout {
  const char* what;
  M4a before;
  WideString value;
  M4a after;
};

M4a Items(M4a m, std::vector<Node> items) {
  m.items = std::move(items);
  return m;
}

M4a Frees(M4a m, std::array<std::uint64_t, 4> frees) {
  m.frees = frees;
  return m;
}

std::vector<Layout> Layouts() {
  const std::vector<Node> rich = RichItems();
  const std::size_t last = rich.size();
  const Node old = Soal(kOld);
  const Node longer = Soal(kLongerUtf8);
  const auto grown = [](std::uint64_t size) { return size - static_cast<std::uint64_t>(kGrowth); };
  M4a base;
  base.items = With(rich, last, old);
  M4a mdatFirst = base;
  mdatFirst.mdatFirst = true;
  M4a large = base;
  large.large = true;
  M4a co64 = base;
  co64.co64 = true;
  M4a quickTime = Frees(base, {0, 0, 0, 100});
  quickTime.quickTimeMeta = true;
  const Node shorter = Soal("Opera");
  const auto shrunk = [&](std::uint64_t size) { return size + SizeOf(old) - SizeOf(shorter); };
  const Node freeInIlst = Free(64);
  const std::vector<Node> absent = rich;
  const M4a fresh = Items(base, {longer});
  M4a noIlst = Frees(base, {0, 0, 0, 200});
  noIlst.levels = 3;
  M4a noMeta = Frees(base, {0, 0, 200, 0});
  noMeta.levels = 2;
  M4a noUdta = Frees(base, {0, 200, 0, 0});
  noUdta.levels = 1;
  M4a noUdtaNoFree = base;
  noUdtaNoFree.levels = 1;
  const Node soalPlusIlst{"ilst", Render(longer), {}};
  const Node meta{"meta", Be(0, 4) + Render(Handler()) + Render(soalPlusIlst), {}};
  const Node udta{"udta", Render(meta), {}};

  return {
      {"faststart, no free: moov grows and the chunk offsets move", base, kLonger,
       Items(base, With(rich, last, longer))},
      {"mdat first, no free: moov grows at the end", mdatFirst, kLonger,
       Items(mdatFirst, With(rich, last, longer))},
      {"a free right after soal in ilst", Items(base, With(With(rich, 1, freeInIlst), 1, old)),
       kLonger, Items(base, With(With(rich, 1, Free(grown(64))), 1, longer))},
      {"a free after ilst in meta", Frees(base, {0, 0, 0, 100}), kLonger,
       Frees(Items(base, With(rich, last, longer)), {0, 0, 0, grown(100)})},
      {"a free after meta in udta", Frees(base, {0, 0, 100, 0}), kLonger,
       Frees(Items(base, With(rich, last, longer)), {0, 0, grown(100), 0})},
      {"a free after udta in moov", Frees(base, {0, 100, 0, 0}), kLonger,
       Frees(Items(base, With(rich, last, longer)), {0, grown(100), 0, 0})},
      {"a free after moov", Frees(base, {100, 0, 0, 0}), kLonger,
       Frees(Items(base, With(rich, last, longer)), {grown(100), 0, 0, 0})},
      {"a free after moov at the end of the file", Frees(mdatFirst, {100, 0, 0, 0}), kLonger,
       Frees(Items(mdatFirst, With(rich, last, longer)), {grown(100), 0, 0, 0})},
      {"the innermost free is used", Frees(base, {100, 100, 100, 100}), kLonger,
       Frees(Items(base, With(rich, last, longer)), {100, 100, 100, grown(100)})},
      {"a free too small is passed over", Frees(base, {0, 100, 0, 12}), kLonger,
       Frees(Items(base, With(rich, last, longer)), {0, grown(100), 0, 12})},
      {"a free that would keep less than its header stays",
       Frees(base, {0, 0, 0, static_cast<std::uint64_t>(kGrowth) + 7}), kLonger,
       Frees(Items(base, With(rich, last, longer)),
             {0, 0, 0, static_cast<std::uint64_t>(kGrowth) + 7})},
      {"a free used up exactly goes", Frees(base, {0, 0, 0, static_cast<std::uint64_t>(kGrowth)}),
       kLonger, Items(base, With(rich, last, longer))},
      {"shorter: the free takes the space in", Frees(base, {0, 0, 0, 100}), WIDE("Opera"),
       Frees(Items(base, With(rich, last, shorter)), {0, 0, 0, shrunk(100)})},
      {"shorter, no free: moov shrinks and the chunk offsets move back", base, WIDE("Opera"),
       Items(base, With(rich, last, shorter))},
      {"same length: only the item changes", base, WIDE("Night at the OPERA"),
       Items(base, With(rich, last, Soal("Night at the OPERA")))},
      {"removed: the free takes the item in", Frees(base, {0, 0, 0, 100}), WIDE(""),
       Frees(Items(base, rich), {0, 0, 0, 100 + SizeOf(old)})},
      {"removed, no free: moov shrinks", base, WIDE(""), Items(base, rich)},
      {"soal first among the items", Items(base, With(rich, 0, old)), kLonger,
       Items(base, With(rich, 0, longer))},
      {"soal among the items, free after ilst",
       Frees(Items(base, With(rich, 4, old)), {0, 0, 0, 50}), kLonger,
       Frees(Items(base, With(rich, 4, longer)), {0, 0, 0, grown(50)})},
      {"soal removed from the front", Items(base, With(rich, 0, old)), WIDE(""), Items(base, rich)},
      {"absent: the new item ends ilst", Items(base, absent), kLonger,
       Items(base, With(rich, last, longer))},
      {"absent, a free ends ilst: the new item goes before it",
       Items(base, With(absent, last, Free(200))), kLonger,
       Items(base, With(With(rich, last, longer), last + 1, Free(200 - SizeOf(longer))))},
      {"absent, free after ilst", Frees(Items(base, absent), {0, 0, 0, 200}), kLonger,
       Frees(Items(base, With(rich, last, longer)), {0, 0, 0, 200 - SizeOf(longer)})},
      {"the first data box's locale is kept, the rest goes",
       Items(base,
             With(rich, 1, {"soal", Data(2, std::string("\0x", 2), "ab12") + Data(1, "y"), {}})),
       kLonger, Items(base, With(rich, 1, Soal(kLongerUtf8, "ab12")))},
      {"a second soal goes too, the free after the first takes the change",
       Items(base, With(With(With(rich, 2, Soal("Other")), 0, Free(64)), 0, old)), kLonger,
       Items(base,
             With(With(rich, 0, Free(64 + SizeOf(old) + SizeOf(Soal("Other")) - SizeOf(longer))), 0,
                  longer))},
      {"a second soal goes too", Items(base, With(With(rich, 2, Soal("Other")), 0, old)), kLonger,
       Items(base, With(rich, 0, longer))},
      {"no ilst: one is made in meta", noIlst, kLonger,
       Frees(Items(base, {longer}), {0, 0, 0, 200 - SizeOf(soalPlusIlst)})},
      {"no meta: one is made in udta", noMeta, kLonger,
       Frees(fresh, {0, 0, 200 - SizeOf(meta), 0})},
      {"no udta: one is made in moov", noUdta, kLonger,
       Frees(fresh, {0, 200 - SizeOf(udta), 0, 0})},
      {"no udta and no free: moov grows", noUdtaNoFree, kLonger, fresh},
      {"co64", co64, kLonger, Items(co64, With(rich, last, longer))},
      {"64-bit sizes stay 64-bit", large, kLonger, Items(large, With(rich, last, longer))},
      {"64-bit sizes with a free after meta", Frees(large, {0, 0, 100, 0}), WIDE(""),
       Frees(Items(large, rich), {0, 0, 100 + SizeOf(old), 0})},
      {"a QuickTime meta without version and flags", quickTime, kLonger,
       Frees(Items(quickTime, With(rich, last, longer)), {0, 0, 0, grown(100)})},
  };
}

std::string Utf8(const WideString& value) {
  std::string utf8;
  EncodeUtf8(value, utf8);
  return utf8;
}

TEST(EditMp4SortAlbum, EditsEveryLayoutInPlaceOfItsOldBytes) {
  for (const Layout& layout : Layouts()) {
    SCOPED_TRACE(layout.what);
    ExpectEdit(Build(layout.before), layout.value, Utf8(layout.value), Build(layout.after));
  }
}

TEST(EditMp4SortAlbum, KeepsTheFileSizeWhenFreeSpaceTakesTheChange) {
  M4a m;
  m.items = With(RichItems(), 0, Soal(kOld));
  m.frees = {0, 0, 0, 100};
  const std::string file = Build(m);
  const Edited edited = Edit(file, kLonger);
  ASSERT_TRUE(edited.ok) << edited.reason;
  // ilst's size, the item, and the header of the free box after ilst, all
  // between ilst's start and that free box's end.
  ASSERT_EQ(edited.splices.size(), 3u);
  EXPECT_EQ(edited.bytes.size(), file.size());
  const Parsed ilst = Located(file, {"moov", "udta", "meta", "ilst"});
  EXPECT_EQ(edited.splices.front().offset, ilst.offset);
  EXPECT_EQ(edited.splices.back().offset + edited.splices.back().length,
            ilst.End() + 8 + static_cast<std::uint64_t>(kGrowth));
}

TEST(EditMp4SortAlbum, NothingToDoWhenTheFileAlreadySaysIt) {
  M4a has;
  has.items = With(RichItems(), 3, Soal(kLongerUtf8));
  M4a none;
  none.levels = 1;
  const struct {
    const char* what;
    std::string file;
    WideString value;
  } cases[] = {
      {"same value", Build(has), kLonger},
      {"nothing to remove", Build(M4a()), WIDE("")},
      {"nothing to remove, no udta", Build(none), WIDE("")},
  };
  for (const auto& c : cases) {
    const Edited edited = Edit(c.file, c.value);
    EXPECT_TRUE(edited.ok) << c.what << ": " << edited.reason;
    EXPECT_TRUE(edited.splices.empty()) << c.what;
  }
}

// TagLib reads the first udta, meta and ilst on the path and no other.
TEST(EditMp4SortAlbum, EditsTheIlstTagLibReads) {
  const auto make = [](bool edited) {
    return TwoPass([edited](const std::vector<Parsed>& top) {
      const std::uint64_t mdat = MdatBody(top);
      std::vector<Node> first = {Text("\xA9nam", "T")};
      if (edited) first.push_back(Soal("New"));
      const Node second{"udta", "", {{"meta", Be(0, 4), {Handler(), {"ilst", "", {Soal("Old")}}}}}};
      const Node udta{"udta", "", {{"meta", Be(0, 4), {Handler(), {"ilst", "", first}}}}};
      return std::vector<Node>{Ftyp(),
                               {"moov", "", {Mvhd(), Track({mdat}, false), udta, second}},
                               {"mdat", kSamples, {}}};
    });
  };
  ExpectEdit(make(false), WIDE("New"), "New", make(true));
}

// --- Refusals ----------------------------------------------------------------

class FailingSource final : public ByteSource {
 public:
  explicit FailingSource(std::uint64_t size) : m_Size(size) {}
  std::uint64_t Size() const override { return m_Size; }
  bool Read(std::uint64_t, std::size_t, std::string&) const override { return false; }

 private:
  std::uint64_t m_Size;
};

TEST(EditMp4SortAlbum, RefusesFilesThatAreNotWhole) {
  M4a m;
  m.items = With(RichItems(), 1, Soal(kOld));
  m.frees = {0, 0, 0, 40};
  const std::string file = Build(m);
  const std::vector<std::string> ilst = {"moov", "udta", "meta", "ilst"};
  const std::vector<std::string> stbl = {"moov", "trak", "mdia", "minf", "stbl"};
  const Parsed moov = Located(file, {"moov"});
  const Parsed stco = *Child(Located(file, stbl).kids, "stco");
  const Parsed firstItem = Located(file, ilst).kids[0];
  const Parsed soal = Located(file, ilst).kids[1];
  const Parsed mdat = Located(file, {"mdat"});
  const std::string ftyp = Render(Ftyp());
  const Parsed elst = Located(file, {"moov", "trak", "edts", "elst"});
  const Parsed chap = Located(file, {"moov", "trak", "tref", "chap"});
  const Parsed dref = Located(file, {"moov", "trak", "mdia", "minf", "dinf", "dref"});
  const Parsed stsd = *Child(Located(file, stbl).kids, "stsd");
  const Parsed album = *Child(Located(file, ilst).kids,
                              "\xA9"
                              "alb");
  const Parsed freeform = *Child(Located(file, ilst).kids, "----");
  const std::string albumData64More = Patched(file, album.Body(), Be(album.size - 8 + 64, 4));
  Node nested{"udta", "", {}};
  for (int i = 0; i < 19; ++i) nested = Node{"udta", "", {nested}};
  const std::string tooDeep =
      ftyp + Render(Node{"mdat", kSamples, {}}) +
      Render(Node{"moov", "", {Mvhd(), Track({ftyp.size() + 8}, false), nested}});
  const struct {
    const char* what;
    std::string file;
    std::string reason;
  } cases[] = {
      {"no moov", ftyp + Render(Node{"mdat", kSamples, {}}), "the file has no moov"},
      {"two moovs", file + file.substr(moov.offset, moov.size), "the file has more than one moov"},
      {"no mdat", Patched(file, mdat.offset + 4, "junk"), "the file has no mdat"},
      {"a box smaller than its header", Patched(file, 0, Be(4, 4)),
       "a box in the file has an impossible size"},
      {"bytes after the last box", file + "abc", "the file is cut short"},
      {"a top-level box past the end", Patched(file, mdat.offset, Be(mdat.size + 1, 4)),
       "the file is cut short inside its mdat"},
      {"an item runs past ilst", Patched(file, firstItem.offset, Be(firstItem.size + 200, 4)),
       "the boxes inside its ilst do not fit it"},
      {"an item of size 0", Patched(file, firstItem.offset, Be(0, 4)),
       "the boxes inside its ilst do not fit it"},
      {"a box in moov smaller than its header", Patched(file, moov.Body(), Be(7, 4)),
       "the boxes inside its moov do not fit it"},
      {"stbl's boxes do not fit it", Patched(file, stco.offset, Be(stco.size + 2, 4)),
       "the boxes inside its stbl do not fit it"},
      {"more chunk offsets than the table holds", Patched(file, stco.Body() + 4, Be(4, 4)),
       "a chunk offset table does not fit its box"},
      {"a chunk offset past the end", Patched(file, stco.Body() + 8, Be(file.size() + 5, 4)),
       "a chunk offset points outside the audio data"},
      {"a chunk offset into moov", Patched(file, stco.Body() + 8, Be(moov.offset + 20, 4)),
       "a chunk offset points outside the audio data"},
      {"a soal whose boxes do not fit it", Patched(file, soal.Body(), Be(soal.size, 4)),
       "the boxes inside its soal do not fit it"},
      {"an elst runs past its edts", Patched(file, elst.offset, Be(elst.size + 4, 4)),
       "the boxes inside its edts do not fit it"},
      {"a chap runs past its tref", Patched(file, chap.offset, Be(chap.size + 4, 4)),
       "the boxes inside its tref do not fit it"},
      {"a dref runs past its dinf", Patched(file, dref.offset, Be(dref.size + 4, 4)),
       "the boxes inside its dinf do not fit it"},
      {"a dref entry runs past its dref", Patched(file, dref.Body() + 8, Be(16, 4)),
       "the boxes inside its dref do not fit it"},
      {"a dref counts more entries than it holds", Patched(file, dref.Body() + 4, Be(2, 4)),
       "the boxes inside its dref do not fit it"},
      {"a sample entry runs past its stsd", Patched(file, stsd.Body() + 8, Be(40, 4)),
       "the boxes inside its stsd do not fit it"},
      {"an stsd counts fewer entries than it holds", Patched(file, stsd.Body() + 4, Be(0, 4)),
       "the boxes inside its stsd do not fit it"},
      {"an item's data claims 64 bytes more than its item", albumData64More,
       "the boxes inside its \xC2\xA9"
       "alb do not fit it"},
      {"the same, in an item whose name does not print",
       Patched(albumData64More, album.offset + 4, "\x01"), "the boxes inside a box do not fit it"},
      {"a mean runs past its freeform item", Patched(file, freeform.Body(), Be(freeform.size, 4)),
       "the boxes inside its ---- do not fit it"},
      {"containers nested past any real file", tooDeep, "its boxes nest too deeply"},
  };
  for (const auto& c : cases) {
    const Edited edited = Edit(c.file, kLonger);
    EXPECT_FALSE(edited.ok) << c.what;
    EXPECT_EQ(edited.reason, c.reason) << c.what;
  }
  Splices splices;
  std::string reason;
  EXPECT_FALSE(EditMp4SortAlbum(StringSource(file), WideString(1, static_cast<WideChar>(0xD800)),
                                splices, reason));
  EXPECT_EQ(reason, "the album sort is not valid UTF-16");
  EXPECT_FALSE(EditMp4SortAlbum(FailingSource(file.size()), kLonger, splices, reason));
  EXPECT_EQ(reason, "the file cannot be read");
}

// Every box boundary and points inside every box, at every level.
std::set<std::uint64_t> Cuts(const std::vector<Parsed>& boxes) {
  std::set<std::uint64_t> cuts;
  for (const Parsed& box : boxes) {
    for (std::uint64_t at : {box.offset, box.offset + 1, box.offset + 4, box.offset + 9,
                             box.Body() + (box.size - box.header) / 2, box.End() - 1, box.End()}) {
      cuts.insert(at);
    }
    const std::set<std::uint64_t> inner = Cuts(box.kids);
    cuts.insert(inner.begin(), inner.end());
  }
  return cuts;
}

void ExpectTruncationsRefused(const std::string& file, bool topLevelCutsAreWhole) {
  const std::vector<Parsed> top = Parse(file);
  std::set<std::uint64_t> boundaries;
  for (const Parsed& box : top) boundaries.insert(box.End());
  for (std::uint64_t cut : Cuts(top)) {
    if (cut >= file.size()) continue;
    const bool atBoundary = cut == 0 || boundaries.count(cut) > 0;
    if (atBoundary && topLevelCutsAreWhole) continue;
    const Edited edited = Edit(file.substr(0, cut), kLonger);
    EXPECT_FALSE(edited.ok) << "cut at " << cut;
    if (!atBoundary) {
      EXPECT_EQ(edited.reason.rfind("the file is cut short", 0), 0u)
          << cut << ": " << edited.reason;
    }
  }
}

TEST(EditMp4SortAlbum, RefusesEveryTruncation) {
  M4a faststart;
  faststart.items = With(RichItems(), 2, Soal(kOld));
  faststart.frees = {0, 30, 0, 40};
  M4a mdatFirst = faststart;
  mdatFirst.mdatFirst = true;
  mdatFirst.large = true;
  ExpectTruncationsRefused(Build(faststart), false);
  ExpectTruncationsRefused(Build(mdatFirst), false);
}

// --- Offsets the edit cannot or must not move -------------------------------

TEST(EditMp4SortAlbum, RefusesToMoveOffsetsItDoesNotFollow) {
  const auto withSaio = [](bool free, bool moovLast) {
    return TwoPass([free, moovLast](const std::vector<Parsed>& top) {
      const std::uint64_t mdat = MdatBody(top);
      const Node saio{"saio", Be(0, 4) + Be(1, 4) + Be(mdat, 4), {}};
      std::vector<Node> boxes = {
          Ftyp(),
          {"moov", "", {Mvhd(), Track({mdat}, false, {saio}), {"udta", "", {}}}},
          {"mdat", kSamples, {}}};
      if (free) boxes.insert(boxes.begin() + 2, Free(200));
      if (moovLast) std::swap(boxes[1], boxes[2]);
      return boxes;
    });
  };
  EXPECT_EQ(Edit(withSaio(false, false), kLonger).reason,
            "moov would move and the file has offsets this tool cannot update");
  // Free space keeps moov's end; at the end of the file, nothing follows it.
  EXPECT_TRUE(Edit(withSaio(true, false), kLonger).ok);
  EXPECT_TRUE(Edit(withSaio(false, true), kLonger).ok);
}

// A file bigger than memory: the bytes given, zeros elsewhere, and a note
// of any read of the zeros.
class SparseSource final : public ByteSource {
 public:
  explicit SparseSource(std::uint64_t size) : m_Size(size) {}
  void Put(std::uint64_t offset, std::string bytes) { m_Pieces[offset] = std::move(bytes); }
  std::uint64_t Size() const override { return m_Size; }
  bool Read(std::uint64_t offset, std::size_t length, std::string& bytes) const override {
    if (offset > m_Size || length > m_Size - offset) return false;
    bytes.assign(length, '\0');
    std::size_t covered = 0;
    for (const auto& piece : m_Pieces) {
      const std::uint64_t begin = std::max(offset, piece.first);
      const std::uint64_t end = std::min(offset + length, piece.first + piece.second.size());
      if (begin >= end) continue;
      bytes.replace(begin - offset, end - begin, piece.second, begin - piece.first, end - begin);
      covered += end - begin;
    }
    m_ReadHole = m_ReadHole || covered != length;
    return true;
  }
  bool ReadHole() const { return m_ReadHole; }

 private:
  std::uint64_t m_Size;
  std::map<std::uint64_t, std::string> m_Pieces;
  mutable bool m_ReadHole = false;
};

TEST(EditMp4SortAlbum, ChunkOffsetsPast4GiB) {
  // ftyp, moov, then an mdat of more than 4 GiB whose last chunk starts just
  // below 2^32, so that a growing moov pushes it past what stco can hold.
  constexpr std::uint64_t kSize = 0x100000100;
  constexpr std::uint64_t kLate = 0xFFFFFFF0;
  for (bool co64 : {false, true}) {
    SCOPED_TRACE(co64 ? "co64" : "stco");
    const auto moovFor = [co64](std::uint64_t mdat) {
      return Node{"moov", "", {Mvhd(), Track({mdat, kLate}, co64), {"udta", "", {}}}};
    };
    const std::string ftyp = Render(Ftyp());
    const std::uint64_t mdat = ftyp.size() + Render(moovFor(0)).size();
    const std::string head =
        ftyp + Render(moovFor(mdat + 16)) + Be(1, 4) + "mdat" + Be(kSize - mdat, 8);
    SparseSource source(kSize);
    source.Put(0, head);
    Splices splices;
    std::string reason;
    const bool ok = EditMp4SortAlbum(source, kLonger, splices, reason);
    EXPECT_FALSE(source.ReadHole());
    if (!co64) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(reason, "chunk offsets would overflow");
      continue;
    }
    ASSERT_TRUE(ok) << reason;
    const std::uint64_t growth =
        SizeOf({"meta",
                Be(0, 4) + Render(Handler()) + Render(Node{"ilst", Render(Soal(kLongerUtf8)), {}}),
                {}});
    // Every splice lies in the part of the file that is held in memory.
    const std::string edited = ApplySplices(head, splices);
    const std::size_t table = edited.find("co64") + 4;
    EXPECT_EQ(edited.substr(table + 8, 16), Be(mdat + 16 + growth, 8) + Be(kLate + growth, 8));
    EXPECT_EQ(edited.size(), head.size() + growth);
  }
}

TEST(EditMp4SortAlbum, BoxSizesNear4GiB) {
  // ftyp, mdat, then a moov of almost 4 GiB, mostly one skip box that is
  // never read, with udta/meta/ilst at its end.
  for (bool large : {false, true}) {
    SCOPED_TRACE(large ? "64-bit moov" : "32-bit moov");
    const std::string ftyp = Render(Ftyp());
    const std::string mdat = Render(Node{"mdat", kSamples, {}});
    const std::uint64_t moovAt = ftyp.size() + mdat.size();
    const std::uint64_t moovSize = 0xFFFFFFF0;
    const std::string front = Render(Mvhd()) + Render(Track({ftyp.size() + 8}, false));
    const std::string udta = Render(
        Node{"udta", "", {{"meta", Be(0, 4), {Handler(), {"ilst", "", {Text("\xA9nam", "T")}}}}}});
    const std::uint64_t header = large ? 16 : 8;
    const std::uint64_t skip = moovSize - header - front.size() - udta.size();
    const std::string moovHeader =
        large ? Be(1, 4) + "moov" + Be(moovSize, 8) : Be(moovSize, 4) + "moov";
    SparseSource source(moovAt + moovSize);
    source.Put(0, ftyp + mdat + moovHeader + front + Be(skip, 4) + "skip");
    const std::uint64_t udtaAt = moovAt + moovSize - udta.size();
    source.Put(udtaAt, udta);
    Splices splices;
    std::string reason;
    const bool ok = EditMp4SortAlbum(source, kLonger, splices, reason);
    EXPECT_FALSE(source.ReadHole());
    if (!large) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(reason, "its moov would grow past 4 GiB");
      continue;
    }
    ASSERT_TRUE(ok) << reason;
    const std::string item = Render(Soal(kLongerUtf8));
    const std::uint64_t meta = udtaAt + 8;
    const std::uint64_t ilst = meta + 12 + Render(Handler()).size();
    const std::uint64_t udtaSize = udta.size();
    const Splices expected = {
        {moovAt + 8, 8, Be(moovSize + item.size(), 8)},
        {udtaAt, 4, Be(udtaSize + item.size(), 4)},
        {meta, 4, Be(udtaSize - 8 + item.size(), 4)},
        {ilst, 4, Be(udtaAt + udtaSize - ilst + item.size(), 4)},
        {udtaAt + udtaSize, 0, item},
    };
    ASSERT_EQ(splices.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(splices[i].offset, expected[i].offset) << i;
      EXPECT_EQ(splices[i].length, expected[i].length) << i;
      EXPECT_EQ(splices[i].bytes, expected[i].bytes) << i;
    }
  }
}

// --- Fragmented files --------------------------------------------------------

struct Fragmented {
  std::vector<Node> items = RichItems();
  int tfraVersion = 1;
  std::uint64_t freeAfterMoov = 0;
  std::vector<Node> beforeMoov;  // top-level boxes between ftyp and moov
  std::vector<Node> afterMoov;   // and right after moov
  int sidxVersion = -1;          // of a segment index over every fragment before them (-1: none)
};

constexpr int kFragments = 3;

std::string FragmentSamples(int k) { return std::string(kChunk, static_cast<char>('p' + k)); }

Node Moof(int k, std::uint64_t at) {
  const Node traf{"traf",
                  "",
                  {{"tfhd", Be(1, 4) + Be(1, 4) + Be(at, 8), {}},
                   {"trun", Be(1, 4) + Be(1, 4) + Be(0, 4), {}}}};
  Node moof{"moof", "", {{"mfhd", Be(0, 4) + Be(static_cast<std::uint64_t>(k) + 1, 4), {}}, traf}};
  // The data offset, from the moof's start, of the mdat's payload right after it.
  moof.kids[1].kids[1].body = Be(1, 4) + Be(1, 4) + Be(SizeOf(moof) + 8, 4);
  return moof;
}

// As ffmpeg's global_sidx writes it: each reference a moof and its mdat, the
// first starting right after the index.
Node SegmentIndex(int version, const std::vector<Parsed>& top) {
  std::vector<std::uint64_t> sizes;
  for (std::size_t i = 0; i + 1 < top.size(); ++i) {
    if (top[i].type == "moof") sizes.push_back(top[i + 1].End() - top[i].offset);
  }
  sizes.resize(kFragments);
  const int width = version == 1 ? 8 : 4;
  std::string body = Be(static_cast<std::uint64_t>(version) << 24, 4) + Be(1, 4) + Be(44100, 4) +
                     Be(0, width) + Be(0, width) + Be(0, 2) + Be(kFragments, 2);
  for (std::uint64_t size : sizes) body += Be(size, 4) + Be(1024, 4) + Be(0x90000000, 4);
  return {"sidx", body, {}};
}

// Where each reference of each segment index starts, as the sequence number
// of the moof there (0: none), and 0 too when the last one ends past the file.
std::vector<std::uint64_t> IndexedSegments(const std::string& file) {
  std::vector<std::uint64_t> sequences;
  const std::vector<Parsed> top = Parse(file);
  for (const Parsed& sidx : top) {
    if (sidx.type != "sidx") continue;
    const std::uint64_t width = file[sidx.Body()] == 1 ? 8 : 4;
    const std::uint64_t refs = sidx.Body() + 16 + 2 * width;
    std::uint64_t at =
        sidx.End() + BigEndian(file, sidx.Body() + 12 + width, static_cast<int>(width));
    for (std::uint64_t i = 0; i < BigEndian(file, refs - 2, 2); ++i) {
      std::uint64_t sequence = 0;
      for (const Parsed& box : top) {
        if (box.offset == at && box.type == "moof") sequence = BigEndian(file, box.Body() + 12, 4);
      }
      sequences.push_back(sequence);
      at += BigEndian(file, refs + 12 * i, 4) & 0x7FFFFFFF;
    }
    if (at > file.size()) sequences.push_back(0);
  }
  return sequences;
}

std::vector<Node> FragmentedBoxes(const Fragmented& f, const std::vector<Parsed>& top) {
  std::vector<std::uint64_t> moofs;
  for (const Parsed& box : top) {
    if (box.type == "moof") moofs.push_back(box.offset);
  }
  moofs.resize(kFragments);
  const Node trex{
      "trex", Be(0, 4) + Be(1, 4) + Be(1, 4) + Be(1024, 4) + Be(kChunk, 4) + Be(0, 4), {}};
  const Node moov{"moov",
                  "",
                  {Mvhd(),
                   Track({}, false),
                   {"mvex", "", {trex}},
                   {"udta", "", {{"meta", Be(0, 4), {Handler(), {"ilst", "", f.items}}}}}}};
  std::vector<Node> boxes = {Ftyp()};
  boxes.insert(boxes.end(), f.beforeMoov.begin(), f.beforeMoov.end());
  boxes.push_back(moov);
  if (f.freeAfterMoov != 0) boxes.push_back(Free(f.freeAfterMoov));
  boxes.insert(boxes.end(), f.afterMoov.begin(), f.afterMoov.end());
  if (f.sidxVersion >= 0) boxes.push_back(SegmentIndex(f.sidxVersion, top));
  const int width = f.tfraVersion == 1 ? 8 : 4;
  std::string entries;
  for (int k = 0; k < kFragments; ++k) {
    boxes.push_back(Moof(k, moofs[static_cast<std::size_t>(k)]));
    boxes.push_back({"mdat", FragmentSamples(k), {}});
    entries += Be(static_cast<std::uint64_t>(k) * 1024, width) +
               Be(moofs[static_cast<std::size_t>(k)], width) + "\x01\x01\x01";
  }
  const Node tfra{"tfra",
                  Be(static_cast<std::uint64_t>(f.tfraVersion) << 24, 4) + Be(1, 4) + Be(0, 4) +
                      Be(kFragments, 4) + entries,
                  {}};
  const std::uint64_t mfra = 8 + SizeOf(tfra) + 16;
  boxes.push_back({"mfra", "", {tfra, {"mfro", Be(0, 4) + Be(mfra, 4), {}}}});
  return boxes;
}

std::string Build(const Fragmented& f) {
  return TwoPass([&f](const std::vector<Parsed>& top) { return FragmentedBoxes(f, top); });
}

// What each track fragment's samples start with, found through its base
// offset and data offset.
std::vector<std::string> FragmentBytes(const std::string& file) {
  std::vector<std::string> samples;
  for (const Parsed& moof : Parse(file)) {
    if (moof.type != "moof") continue;
    for (const Parsed& traf : moof.kids) {
      const Parsed* tfhd = Child(traf.kids, "tfhd");
      const Parsed* trun = Child(traf.kids, "trun");
      if (tfhd == nullptr || trun == nullptr) continue;
      const std::uint64_t flags = BigEndian(file, tfhd->Body(), 4);
      const std::uint64_t base = flags & 1 ? BigEndian(file, tfhd->Body() + 8, 8) : moof.offset;
      const std::uint64_t data = BigEndian(file, trun->Body() + 8, 4);
      samples.push_back(file.substr(base + data, kChunk));
    }
  }
  return samples;
}

// The sequence number of the moof each index entry points at (0: no moof
// there), and what mfro says of mfra's size against its true size.
std::vector<std::uint64_t> IndexedFragments(const std::string& file) {
  std::vector<std::uint64_t> sequences;
  const std::vector<Parsed> top = Parse(file);
  const Parsed* mfra = Child(top, "mfra");
  if (mfra == nullptr) return sequences;
  for (const Parsed& tfra : mfra->kids) {
    if (tfra.type == "mfro") {
      EXPECT_EQ(BigEndian(file, tfra.Body() + 4, 4), mfra->size);
      continue;
    }
    const std::uint64_t width = file[tfra.Body()] == 1 ? 8 : 4;
    const std::uint64_t count = BigEndian(file, tfra.Body() + 12, 4);
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t at =
          BigEndian(file, tfra.Body() + 16 + i * (2 * width + 3) + width, static_cast<int>(width));
      std::uint64_t sequence = 0;
      for (const Parsed& box : top) {
        if (box.offset == at && box.type == "moof") sequence = BigEndian(file, box.Body() + 12, 4);
      }
      sequences.push_back(sequence);
    }
  }
  return sequences;
}

// Where the last fragment starts: a cut there leaves whole boxes.
std::uint64_t LastMoof(const std::string& file) {
  std::uint64_t at = 0;
  for (const Parsed& box : Parse(file)) at = box.type == "moof" ? box.offset : at;
  return at;
}

void ExpectFragmentsFollow(const std::string& before, const std::string& after) {
  EXPECT_EQ(FragmentBytes(after), FragmentBytes(before));
  EXPECT_EQ(IndexedFragments(after), IndexedFragments(before));
  for (std::uint64_t sequence : IndexedFragments(after)) EXPECT_NE(sequence, 0u);
  EXPECT_EQ(IndexedSegments(after), IndexedSegments(before));
  for (std::uint64_t sequence : IndexedSegments(after)) EXPECT_NE(sequence, 0u);
}

TEST(EditMp4SortAlbum, MovesEveryOffsetOfAFragmentedFile) {
  for (const auto& versions :
       {std::make_pair(0, -1), std::make_pair(1, -1), std::make_pair(0, 0), std::make_pair(1, 1)}) {
    SCOPED_TRACE("tfra " + std::to_string(versions.first) + ", sidx " +
                 std::to_string(versions.second));
    Fragmented before;
    before.tfraVersion = versions.first;
    before.sidxVersion = versions.second;
    Fragmented after = before;
    after.items.push_back(Soal(kLongerUtf8));
    const std::string file = Build(before);
    ExpectEdit(file, kLonger, kLongerUtf8, Build(after));
    ExpectFragmentsFollow(file, Edit(file, kLonger).bytes);
    // A shorter moov moves them back.
    before.items.push_back(Soal(kOld));
    after.items.back() = Soal("Opera");
    ExpectEdit(Build(before), WIDE("Opera"), "Opera", Build(after));
  }
}

TEST(EditMp4SortAlbum, LeavesFragmentsAloneWhenMoovKeepsItsEnd) {
  Fragmented before;
  before.freeAfterMoov = 200;
  before.beforeMoov = {{"sidx", std::string(24, '\0'), {}}};
  before.afterMoov = {{"uuid", std::string(16, 'u'), {}}};
  const std::string file = Build(before);
  const Edited edited = Edit(file, kLonger);
  ASSERT_TRUE(edited.ok) << edited.reason;
  const Parsed free = Located(file, {"free"});
  for (const Splice& splice : edited.splices) EXPECT_LT(splice.offset, free.End());
  EXPECT_EQ(edited.bytes.substr(free.End()), file.substr(free.End()));
  ExpectTagLibSees(file, edited.bytes, kLongerUtf8);
}

TEST(EditMp4SortAlbum, RefusesFragmentsItCannotMove) {
  Fragmented sidx;
  sidx.beforeMoov = {{"sidx", std::string(24, '\0'), {}}};
  Fragmented unknown;
  unknown.afterMoov = {{"uuid", std::string(16, 'u'), {}}};
  const std::string file = Build(Fragmented());
  const Parsed tfhd = Located(file, {"moof", "traf", "tfhd"});
  const Parsed tfra = Located(file, {"mfra", "tfra"});
  std::string noMdat = file;
  const Parsed mdat = Located(file, {"mdat"});
  noMdat.replace(mdat.offset + 4, 4, "junk");
  const Parsed trex = Located(file, {"moov", "mvex", "trex"});
  Fragmented indexed;
  indexed.sidxVersion = 0;
  Fragmented indexed64 = indexed;
  indexed64.sidxVersion = 1;
  const std::string v0 = Build(indexed);
  const std::string v1 = Build(indexed64);
  const Parsed sidx0 = Located(v0, {"sidx"});
  const Parsed sidx1 = Located(v1, {"sidx"});
  const std::uint64_t lastRef0 = sidx0.Body() + 24 + 12 * (kFragments - 1);
  Fragmented tooShort;
  tooShort.afterMoov = {{"sidx", Be(0, 4) + Be(1, 4) + Be(44100, 4), {}}};
  const std::string kPastEnd = "the file is cut short: its segment index points past its end";
  const struct {
    const char* what;
    std::string file;
    std::string reason;
  } cases[] = {
      {"a sidx before moov", Build(sidx), "moov would move and the file has fragments"},
      {"a box of unknown meaning", Build(unknown), "moov would move and the file has fragments"},
      {"a base offset before moov's end", Patched(file, tfhd.Body() + 8, Be(0, 8)),
       "moov would move and the file has fragments"},
      {"an index entry off its moof", Patched(file, tfra.Body() + 16 + 8 + 7, "\x01"),
       "its fragment index does not point at its fragments"},
      {"an index longer than its box", Patched(file, tfra.Body() + 12, Be(9, 4)),
       "its fragment index does not fit its box"},
      {"a moof without its mdat", noMdat, "a movie fragment has no mdat"},
      {"a trex runs past its mvex", Patched(file, trex.offset, Be(trex.size + 4, 4)),
       "the boxes inside its mvex do not fit it"},
      {"a sidx file cut at a fragment boundary", v0.substr(0, LastMoof(v0)), kPastEnd},
      {"a sidx's first offset past the end", Patched(v0, sidx0.Body() + 16, Be(v0.size(), 4)),
       kPastEnd},
      {"a 64-bit first offset that would wrap around",
       Patched(v1, sidx1.Body() + 20, Be(0xFFFFFFFFFFFFFF00, 8)), kPastEnd},
      {"a referenced size past the end",
       Patched(v0, lastRef0, Be(BigEndian(v0, lastRef0, 4) + Located(v0, {"mfra"}).size + 1, 4)),
       kPastEnd},
      {"more references than the sidx holds", Patched(v0, sidx0.Body() + 22, Be(kFragments + 1, 2)),
       "its segment index does not fit its box"},
      {"a sidx too short for its fields", Build(tooShort),
       "its segment index does not fit its box"},
  };
  for (const auto& c : cases) {
    const Edited edited = Edit(c.file, kLonger);
    EXPECT_FALSE(edited.ok) << c.what;
    EXPECT_EQ(edited.reason, c.reason) << c.what;
  }
  // Without its segment index the cut file is whole; a reference to another
  // index keeps its size.
  EXPECT_TRUE(Edit(file.substr(0, LastMoof(file)), kLonger).ok);
  EXPECT_TRUE(
      Edit(Patched(v0, lastRef0, Be(BigEndian(v0, lastRef0, 4) | 0x80000000, 4)), kLonger).ok);
}

TEST(EditMp4SortAlbum, RefusesTruncatedFragmentedFiles) {
  // A fragmented file cut after one of its mdat boxes is whole.
  ExpectTruncationsRefused(Build(Fragmented()), true);
  // Unless its segment index covers what was cut: of the fragment
  // boundaries, only where the index ends is a cut whole.
  for (int version : {0, 1}) {
    SCOPED_TRACE(version);
    Fragmented indexed;
    indexed.sidxVersion = version;
    const std::string file = Build(indexed);
    ExpectTruncationsRefused(file, true);
    const std::vector<Parsed> top = Parse(file);
    const Parsed sidx = *Child(top, "sidx");
    const Parsed mfra = *Child(top, "mfra");
    for (const Parsed& box : top) {
      if (box.type != "mdat" || box.offset < sidx.offset) continue;
      const Edited edited = Edit(file.substr(0, box.End()), kLonger);
      EXPECT_EQ(edited.ok, box.End() == mfra.offset) << box.End() << ": " << edited.reason;
      if (!edited.ok) {
        EXPECT_EQ(edited.reason, "the file is cut short: its segment index points past its end");
      }
    }
  }
}

// --- Real files -------------------------------------------------------------

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool HaveFfmpeg() { return std::system("command -v ffmpeg >/dev/null 2>&1") == 0; }

std::string TempPath(const std::string& name) {
  return testing::TempDir() + "kestrune_mp4_" + std::to_string(getpid()) + "_" + name;
}

// The MD5 of the decoded audio, or "error: ..." when ffmpeg complains.
std::string DecodedAudio(const std::string& bytes) {
  const std::string path = TempPath("decode.m4a");
  std::ofstream(path, std::ios::binary) << bytes;
  const std::string command = "ffmpeg -v error -i '" + path + "' -f md5 - 2>&1";
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    if (pclose(pipe) != 0) out = "error: " + out;
  }
  std::remove(path.c_str());
  return out;
}

TEST(EditMp4SortAlbum, TheSampleFile) {
  const std::string file = ReadFile(std::string(KESTRUNE_SAMPLE_LIBRARY) +
                                    "/Queen/A Night at the Opera/01 Death on Two Legs.m4a");
  ASSERT_FALSE(file.empty());
  const Parsed ilst = Located(file, {"moov", "udta", "meta", "ilst"});
  const Parsed free = *Child(Located(file, {"moov", "udta", "meta"}).kids, "free");
  const std::string decoded = HaveFfmpeg() ? DecodedAudio(file) : "";
  if (HaveFfmpeg()) {
    ASSERT_EQ(decoded.rfind("MD5=", 0), 0u) << decoded;
  }

  // Into the free space after ilst: the file keeps its size.
  const Edited set = Edit(file, WIDE("Night at the Opera, A"));
  ASSERT_TRUE(set.ok) << set.reason;
  EXPECT_EQ(set.bytes.size(), file.size());
  EXPECT_EQ(set.bytes.substr(0, ilst.offset), file.substr(0, ilst.offset));
  EXPECT_EQ(set.bytes.substr(free.End()), file.substr(free.End()));
  EXPECT_EQ(set.bytes.substr(ilst.offset + 4, ilst.size - 4),
            file.substr(ilst.offset + 4, ilst.size - 4));
  ExpectTagLibSees(file, set.bytes, "Night at the Opera, A");

  // Past it: moov, after the mdat, grows at the end of the file.
  const std::string longValue(2000, 'x');
  const Edited grown = Edit(set.bytes, WideString(longValue.begin(), longValue.end()));
  ASSERT_TRUE(grown.ok) << grown.reason;
  EXPECT_EQ(grown.bytes.size(), file.size() + 2000 - std::string("Night at the Opera, A").size());
  EXPECT_EQ(ChunkBytes(grown.bytes), ChunkBytes(file));
  ExpectTagLibSees(file, grown.bytes, longValue);

  const Edited removed = Edit(grown.bytes, WIDE(""));
  ASSERT_TRUE(removed.ok) << removed.reason;
  ExpectTagLibSees(file, removed.bytes, "");
  if (!decoded.empty()) {
    EXPECT_EQ(DecodedAudio(set.bytes), decoded);
    EXPECT_EQ(DecodedAudio(grown.bytes), decoded);
    EXPECT_EQ(DecodedAudio(removed.bytes), decoded);
  }
}

TEST(EditMp4SortAlbum, AFragmentedFileFromFfmpeg) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  // Plain, with one segment index over all fragments, and with one before
  // each. (ffmpeg 5.1 writes global_sidx without default_base_moof with base
  // offsets from before the index went in, a file it cannot play itself.)
  const struct {
    const char* flags;
    bool indexed;
  } cases[] = {
      {"frag_keyframe+empty_moov", false},
      {"frag_keyframe+empty_moov+default_base_moof+global_sidx", true},
      {"frag_keyframe+empty_moov+dash", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags);
    const std::string path = TempPath("frag.m4a");
    const std::string command =
        "ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=1 -c:a aac -movflags " +
        std::string(c.flags) +
        " -frag_duration 200000 -metadata artist=A -metadata "
        "album='The Frag' -metadata title=T -metadata date=1999 '" +
        path + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string file = ReadFile(path);
    std::remove(path.c_str());
    const std::vector<Parsed> top = Parse(file);
    ASSERT_NE(Child(top, "moof"), nullptr);
    ASSERT_NE(Child(top, "mfra"), nullptr);
    EXPECT_EQ(Child(top, "sidx") != nullptr, c.indexed);

    const Edited edited = Edit(file, WIDE("Frag, The"));
    ASSERT_TRUE(edited.ok) << edited.reason;
    EXPECT_GT(edited.bytes.size(), file.size());
    ExpectFragmentsFollow(file, edited.bytes);
    ExpectTagLibSees(file, edited.bytes, "Frag, The");
    const std::string decoded = DecodedAudio(file);
    ASSERT_EQ(decoded.rfind("MD5=", 0), 0u) << decoded;
    EXPECT_EQ(DecodedAudio(edited.bytes), decoded);

    // Cut where the last fragment starts: whole box by box, yet an index
    // still covers the fragment that went.
    const Edited cut = Edit(file.substr(0, LastMoof(file)), WIDE("Frag, The"));
    EXPECT_EQ(cut.ok, !c.indexed) << cut.reason;
    if (c.indexed) {
      EXPECT_EQ(cut.reason, "the file is cut short: its segment index points past its end");
    }
  }
}

}  // namespace
