#include "folder/mp4_edit.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <utility>
#include <vector>

namespace {

constexpr std::uint64_t kMax32 = 0xFFFFFFFF;
// Tables are read whole; no real file has one this large.
constexpr std::uint64_t kMaxTable = std::uint64_t{64} << 20;
constexpr const char* kUnreadable = "the file cannot be read";
constexpr const char* kFragments = "moov would move and the file has fragments";
constexpr const char* kIndexPastEnd =
    "the file is cut short: its segment index points past its end";
constexpr const char* kIndexTooLong = "its segment index does not fit its box";
// Far deeper than any real nesting under moov, and shallow enough for the stack.
constexpr int kMaxDepth = 16;

struct Box {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;  // header included
  std::uint64_t header = 8;
  std::string type;
  bool toEnd = false;  // size 0: runs to the end of the file
  std::uint64_t End() const { return offset + size; }
  std::uint64_t Body() const { return offset + header; }
  std::uint64_t BodySize() const { return size - header; }
};

using Boxes = std::vector<Box>;

struct ChunkTable {
  Box box;
  int width = 4;
  std::vector<std::uint64_t> offsets;
};

// The file as far as the edit needs it.
struct Layout {
  Boxes top;
  Boxes path;               // moov, then its first udta, meta and ilst as far as they go
  std::vector<Boxes> kids;  // kids[0]: the top level; kids[i + 1]: the children of path[i]
  Boxes chunkBoxes;
  std::vector<ChunkTable> tables;
  bool fragmented = false;
  bool untracked = false;  // offsets of a kind this edit does not move (saio, iloc)
};

// The change inside the deepest box of the path, before anything takes it in.
struct Plan {
  Splices edits;
  std::int64_t delta = 0;
  std::uint64_t after = 0;  // where a free box must start to take the change in
};

bool IsFree(const Box& box) { return box.type == "free" || box.type == "skip"; }

const Box* FirstOf(const Boxes& boxes, const std::string& type) {
  for (const Box& box : boxes) {
    if (box.type == type) return &box;
  }
  return nullptr;
}

const Box* BoxAt(const Boxes& boxes, std::uint64_t offset) {
  for (const Box& box : boxes) {
    if (box.offset == offset) return &box;
  }
  return nullptr;
}

std::uint64_t Moved(std::uint64_t offset, std::int64_t delta) {
  return delta >= 0 ? offset + static_cast<std::uint64_t>(delta)
                    : offset - static_cast<std::uint64_t>(-delta);
}

// A box's type as a user can read it (the \xA9 of iTunes names as UTF-8),
// empty when it does not print.
std::string Printable(const std::string& type) {
  std::string name;
  for (char c : type) {
    if (c == '\xA9') {
      name += "\xC2\xA9";
    } else if (c >= ' ' && c <= '~') {
      name += c;
    } else {
      return "";
    }
  }
  return type.size() == 4 ? name : "";
}

std::string CutShort(const std::string& type) {
  const std::string name = Printable(type);
  return name.empty() ? "the file is cut short" : "the file is cut short inside its " + name;
}

std::string DoNotFit(const Box& parent) {
  const std::string name = Printable(parent.type);
  return name.empty() ? "the boxes inside a box do not fit it"
                      : "the boxes inside its " + name + " do not fit it";
}

bool ReadBody(const ByteSource& file, const Box& box, std::string& bytes, std::string& reason) {
  if (box.BodySize() > kMaxTable) {
    reason = "its " + box.type + " is too large to edit";
    return false;
  }
  if (!file.Read(box.Body(), static_cast<std::size_t>(box.BodySize()), bytes)) {
    reason = kUnreadable;
    return false;
  }
  return true;
}

// --- Box headers -----------------------------------------------------------

enum class Header { kOk, kShort, kBad, kFailed };

// The box at `at` in a space that ends at `end`.
Header ReadHeader(const ByteSource& file, std::uint64_t at, std::uint64_t end, bool topLevel,
                  Box& box) {
  box = Box();
  box.offset = at;
  if (end - at < 8) return Header::kShort;
  std::string bytes;
  if (!file.Read(at, 8, bytes)) return Header::kFailed;
  box.type = bytes.substr(4, 4);
  box.size = BigEndian(bytes, 0, 4);
  if (box.size == 1) {
    box.header = 16;
    if (end - at < 16) return Header::kShort;
    if (!file.Read(at + 8, 8, bytes)) return Header::kFailed;
    box.size = BigEndian(bytes, 0, 8);
  } else if (box.size == 0) {
    if (!topLevel) return Header::kBad;
    box.size = end - at;
    box.toEnd = true;
  }
  if (box.size < box.header) return Header::kBad;
  return box.size > end - at ? Header::kShort : Header::kOk;
}

bool ReadTopLevel(const ByteSource& file, Boxes& top, std::string& reason) {
  const std::uint64_t end = file.Size();
  for (std::uint64_t at = 0; at < end;) {
    Box box;
    switch (ReadHeader(file, at, end, true, box)) {
      case Header::kOk:
        break;
      case Header::kShort:
        reason = CutShort(box.type);
        return false;
      case Header::kBad:
        reason = "a box in the file has an impossible size";
        return false;
      case Header::kFailed:
        reason = kUnreadable;
        return false;
    }
    top.push_back(box);
    at = box.End();
  }
  return true;
}

// The children of `parent` from `begin`, which must fill it exactly.
bool ReadChildren(const ByteSource& file, const Box& parent, std::uint64_t begin, Boxes& kids,
                  std::string& reason) {
  kids.clear();
  for (std::uint64_t at = begin; at < parent.End();) {
    Box box;
    const Header header = ReadHeader(file, at, parent.End(), false, box);
    if (header != Header::kOk) {
      reason = header == Header::kFailed ? kUnreadable : DoNotFit(parent);
      return false;
    }
    kids.push_back(box);
    at = box.End();
  }
  return true;
}

// Where the children of a meta box start: after its version and flags in
// iTunes files, straight after the header in QuickTime ones. TagLib tells
// them apart by the first child's name, and so does this.
bool MetaChildrenStart(const ByteSource& file, const Box& meta, std::uint64_t& begin,
                       std::string& reason) {
  static const char* const kFirstChildren[] = {"hdlr", "ilst", "mhdr", "ctry", "lang"};
  begin = meta.Body();
  if (meta.BodySize() >= 8) {
    std::string bytes;
    if (!file.Read(begin, 8, bytes)) {
      reason = kUnreadable;
      return false;
    }
    for (const char* name : kFirstChildren) {
      if (bytes.compare(4, 4, name) == 0) return true;
    }
  }
  if (meta.BodySize() < 4) {
    reason = DoNotFit(meta);
    return false;
  }
  begin += 4;
  return true;
}

bool ReadContainer(const ByteSource& file, const Box& box, Boxes& kids, std::string& reason) {
  std::uint64_t begin = box.Body();
  if (box.type == "meta" && !MetaChildrenStart(file, box, begin, reason)) return false;
  return ReadChildren(file, box, begin, kids, reason);
}

// A meta box outside the path may hold item locations, absolute offsets this
// edit does not follow; one that does not parse may too.
bool MayHoldOffsets(const ByteSource& file, const Box& meta) {
  Boxes kids;
  std::string ignored;
  return !ReadContainer(file, meta, kids, ignored) || FirstOf(kids, "iloc") != nullptr;
}

// --- Wholeness -------------------------------------------------------------

// What a box under moov holds, as far as its fit can be checked.
enum class Kind { kOpaque, kContainer, kItems, kItem, kEntries };

Kind KindOf(const Box& box, Kind parent) {
  static const char* const kContainers[] = {"trak", "mdia", "minf", "dinf", "stbl", "edts",
                                            "mvex", "tref", "udta", "meta", "trgr", "gmhd"};
  // Each child of ilst is an item named freely; an item holds data, mean and name.
  if (parent == Kind::kItems) return IsFree(box) ? Kind::kOpaque : Kind::kItem;
  if (parent == Kind::kItem || parent == Kind::kEntries) return Kind::kOpaque;
  if (box.type == "ilst") return Kind::kItems;
  if (box.type == "stsd" || box.type == "dref") return Kind::kEntries;
  for (const char* type : kContainers) {
    if (box.type == type) return Kind::kContainer;
  }
  return Kind::kOpaque;
}

// A full box whose entries follow their count, and must be as many as it says.
bool CheckEntries(const ByteSource& file, const Box& box, std::string& reason) {
  std::string bytes;
  if (box.BodySize() < 8) {
    reason = DoNotFit(box);
    return false;
  }
  if (!file.Read(box.Body(), 8, bytes)) {
    reason = kUnreadable;
    return false;
  }
  Boxes entries;
  if (!ReadChildren(file, box, box.Body() + 8, entries, reason)) return false;
  if (entries.size() != BigEndian(bytes, 4, 4)) {
    reason = DoNotFit(box);
    return false;
  }
  return true;
}

// Every box the edit does not walk must fit its parent too, or the file it
// writes is no more whole than the one it read.
bool CheckInside(const ByteSource& file, const Box& box, Kind kind, int depth,
                 std::string& reason) {
  if (kind == Kind::kOpaque) return true;
  if (kind == Kind::kEntries) return CheckEntries(file, box, reason);
  if (depth > kMaxDepth) {
    reason = "its boxes nest too deeply";
    return false;
  }
  Boxes kids;
  if (!ReadContainer(file, box, kids, reason)) return false;
  for (const Box& kid : kids) {
    if (!CheckInside(file, kid, KindOf(kid, kind), depth + 1, reason)) return false;
  }
  return true;
}

// A file cut at a fragment boundary is whole box by box; its segment index,
// whose references tile what follows it, still tells.
bool CheckSegmentIndex(const ByteSource& file, const Box& sidx, std::string& reason) {
  std::string bytes;
  if (sidx.BodySize() < 4 || !file.Read(sidx.Body(), 4, bytes)) {
    reason = sidx.BodySize() < 4 ? kIndexTooLong : kUnreadable;
    return false;
  }
  if (bytes[0] != 0 && bytes[0] != 1) return true;  // a layout this tool does not know
  const int width = bytes[0] == 1 ? 8 : 4;
  const std::size_t fixed = 16 + 2 * static_cast<std::size_t>(width);
  if (sidx.BodySize() < fixed) {
    reason = kIndexTooLong;
    return false;
  }
  if (!file.Read(sidx.Body(), fixed, bytes)) {
    reason = kUnreadable;
    return false;
  }
  const std::size_t count = BigEndian(bytes, fixed - 2, 2);
  std::string references;
  if (count * 12 > sidx.BodySize() - fixed) {
    reason = kIndexTooLong;
    return false;
  }
  if (!file.Read(sidx.Body() + fixed, count * 12, references)) {
    reason = kUnreadable;
    return false;
  }
  std::uint64_t end = sidx.End();
  std::uint64_t step = BigEndian(bytes, 12 + static_cast<std::size_t>(width), width);
  for (std::size_t i = 0; i <= count; ++i) {
    if (step > file.Size() - end) {
      reason = kIndexPastEnd;
      return false;
    }
    end += step;
    if (i < count) step = BigEndian(references, i * 12, 4) & 0x7FFFFFFF;
  }
  return true;
}

bool CheckWhole(const ByteSource& file, const Boxes& top, std::string& reason) {
  for (const Box& box : top) {
    if (box.type == "sidx" && !CheckSegmentIndex(file, box, reason)) return false;
  }
  return CheckInside(file, *FirstOf(top, "moov"), Kind::kContainer, 0, reason);
}

bool CheckTopLevel(const Layout& layout, std::string& reason) {
  std::size_t moovs = 0;
  bool mdat = false;
  bool waiting = false;  // for the mdat of the last moof
  bool fragmentWithoutData = false;
  for (const Box& box : layout.top) {
    if (box.type == "moov") ++moovs;
    if (box.type == "mdat") mdat = true;
    if (box.type == "mdat") waiting = false;
    if (box.type == "moof") {
      fragmentWithoutData = fragmentWithoutData || waiting;
      waiting = true;
    }
  }
  fragmentWithoutData = fragmentWithoutData || waiting;
  if (moovs == 0) reason = "the file has no moov";
  if (moovs > 1) reason = "the file has more than one moov";
  if (moovs == 1 && !mdat) reason = "the file has no mdat";
  if (moovs == 1 && mdat && fragmentWithoutData) reason = "a movie fragment has no mdat";
  return reason.empty();
}

bool ReadPath(const ByteSource& file, Layout& layout, std::string& reason) {
  static const char* const kPath[] = {"udta", "meta", "ilst"};
  layout.path.push_back(*FirstOf(layout.top, "moov"));
  layout.kids.push_back(layout.top);
  for (std::size_t level = 0;; ++level) {
    Boxes kids;
    if (!ReadContainer(file, layout.path.back(), kids, reason)) return false;
    layout.kids.push_back(kids);
    if (level == 3) return true;
    const Box* next = FirstOf(kids, kPath[level]);
    if (next == nullptr) return true;
    layout.path.push_back(*next);
  }
}

// Only the nesting that leads to the chunk offsets: trak, mdia, minf, stbl.
bool ReadTrack(const ByteSource& file, const Box& trak, Layout& layout, std::string& reason) {
  static const char* const kNesting[] = {"mdia", "minf", "stbl"};
  Boxes level{trak};
  for (std::size_t depth = 0; depth < 4; ++depth) {
    Boxes next;
    for (const Box& box : level) {
      Boxes kids;
      if (!ReadChildren(file, box, box.Body(), kids, reason)) return false;
      for (const Box& kid : kids) {
        if (depth < 3 && kid.type == kNesting[depth]) next.push_back(kid);
        if (depth == 0 && kid.type == "meta") layout.untracked |= MayHoldOffsets(file, kid);
        if (depth == 3 && (kid.type == "stco" || kid.type == "co64")) {
          layout.chunkBoxes.push_back(kid);
        }
        if (depth == 3 && kid.type == "saio") layout.untracked = true;
      }
    }
    level = next;
  }
  return true;
}

// The payloads of the top-level mdat boxes, in file order.
std::vector<std::pair<std::uint64_t, std::uint64_t>> MediaData(const Boxes& top) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
  for (const Box& box : top) {
    if (box.type == "mdat") spans.emplace_back(box.Body(), box.End());
  }
  return spans;
}

bool Inside(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& spans,
            std::uint64_t offset) {
  const auto after =
      std::upper_bound(spans.begin(), spans.end(), offset,
                       [](std::uint64_t at, const std::pair<std::uint64_t, std::uint64_t>& span) {
                         return at < span.first;
                       });
  return after != spans.begin() && offset < std::prev(after)->second;
}

bool ReadChunkTable(const ByteSource& file, const Box& box,
                    const std::vector<std::pair<std::uint64_t, std::uint64_t>>& media,
                    ChunkTable& table, std::string& reason) {
  table.box = box;
  table.width = box.type == "co64" ? 8 : 4;
  const auto width = static_cast<std::size_t>(table.width);
  std::string bytes;
  if (!ReadBody(file, box, bytes, reason)) return false;
  const std::size_t count = bytes.size() < 8 ? 0 : BigEndian(bytes, 4, 4);
  if (bytes.size() < 8 || count > (bytes.size() - 8) / width) {
    reason = "a chunk offset table does not fit its box";
    return false;
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t offset = BigEndian(bytes, 8 + i * width, table.width);
    if (!Inside(media, offset)) {
      reason = "a chunk offset points outside the audio data";
      return false;
    }
    table.offsets.push_back(offset);
  }
  return true;
}

bool ReadLayout(const ByteSource& file, Layout& layout, std::string& reason) {
  if (!ReadTopLevel(file, layout.top, reason) || !CheckTopLevel(layout, reason) ||
      !CheckWhole(file, layout.top, reason)) {
    return false;
  }
  if (!ReadPath(file, layout, reason)) return false;
  for (const Box& box : layout.kids[1]) {
    if (box.type == "trak" && !ReadTrack(file, box, layout, reason)) return false;
    if (box.type == "mvex") layout.fragmented = true;
    if (box.type == "meta") layout.untracked |= MayHoldOffsets(file, box);
  }
  for (const Box& box : layout.top) {
    if (box.type == "moof") layout.fragmented = true;
    if (box.type == "meta") layout.untracked |= MayHoldOffsets(file, box);
  }
  if (layout.path.size() > 2 && FirstOf(layout.kids[3], "iloc") != nullptr) {
    layout.untracked = true;
  }
  const auto media = MediaData(layout.top);
  for (const Box& box : layout.chunkBoxes) {
    layout.tables.emplace_back();
    if (!ReadChunkTable(file, box, media, layout.tables.back(), reason)) return false;
  }
  return true;
}

// --- The item --------------------------------------------------------------

std::string BoxBytes(const std::string& type, const std::string& body) {
  return BigEndianBytes(8 + body.size(), 4) + type + body;
}

std::string SortAlbumItem(const std::string& utf8, const std::string& locale) {
  return BoxBytes("soal", BoxBytes("data", std::string("\0\0\0\x01", 4) + locale + utf8));
}

// What is missing below the deepest box of the path, around the new item.
std::string MissingBoxes(std::size_t depth, const std::string& item) {
  std::string boxes = item;
  if (depth < 4) boxes = BoxBytes("ilst", boxes);
  if (depth < 3) {
    // As iTunes writes it.
    const std::string handler =
        BoxBytes("hdlr", std::string(8, '\0') + "mdirappl" + std::string(9, '\0'));
    boxes = BoxBytes("meta", std::string(4, '\0') + handler + boxes);
  }
  if (depth < 2) boxes = BoxBytes("udta", boxes);
  return boxes;
}

// A new box goes last among its siblings, before the free space that ends
// the parent, which can then take it in.
void InsertLast(const Box& parent, const Boxes& kids, const std::string& bytes, Plan& plan) {
  std::size_t first = kids.size();
  while (first > 0 && IsFree(kids[first - 1])) --first;
  plan.after = first < kids.size() ? kids[first].offset : parent.End();
  plan.edits.push_back({plan.after, 0, bytes});
}

bool LocaleOf(const ByteSource& file, const Box& item, std::string& locale, std::string& reason) {
  locale.assign(4, '\0');
  Boxes kids;
  if (!ReadChildren(file, item, item.Body(), kids, reason)) return false;
  const Box* data = FirstOf(kids, "data");
  if (data == nullptr || data->BodySize() < 8) return true;
  if (!file.Read(data->Body() + 4, 4, locale)) {
    reason = kUnreadable;
    return false;
  }
  return true;
}

bool PlanItems(const ByteSource& file, const Box& ilst, const Boxes& items, const std::string& utf8,
               Plan& plan, std::string& reason) {
  std::vector<const Box*> found;
  for (const Box& item : items) {
    if (item.type == "soal") found.push_back(&item);
  }
  if (found.empty()) {
    if (!utf8.empty()) InsertLast(ilst, items, SortAlbumItem(utf8, std::string(4, '\0')), plan);
    return true;
  }
  std::string replacement;
  if (!utf8.empty()) {
    std::string locale;
    if (!LocaleOf(file, *found[0], locale, reason)) return false;
    replacement = SortAlbumItem(utf8, locale);
    if (found.size() == 1 && found[0]->size == replacement.size()) {
      std::string current;
      if (!file.Read(found[0]->offset, replacement.size(), current)) {
        reason = kUnreadable;
        return false;
      }
      if (current == replacement) return true;
    }
  }
  // Any later copy is the same field, which TagLib would not even show.
  for (const Box* item : found) {
    plan.edits.push_back({item->offset, item->size, item == found[0] ? replacement : ""});
  }
  plan.after = found[0]->End();
  return true;
}

bool PlanEdit(const ByteSource& file, const Layout& layout, const std::string& utf8, Plan& plan,
              std::string& reason) {
  const std::size_t depth = layout.path.size();
  if (depth == 4) {
    if (!PlanItems(file, layout.path.back(), layout.kids.back(), utf8, plan, reason)) return false;
  } else if (!utf8.empty()) {
    InsertLast(layout.path.back(), layout.kids.back(),
               MissingBoxes(depth, SortAlbumItem(utf8, std::string(4, '\0'))), plan);
  }
  for (const Splice& edit : plan.edits) {
    plan.delta +=
        static_cast<std::int64_t>(edit.bytes.size()) - static_cast<std::int64_t>(edit.length);
  }
  return true;
}

// --- Where the change in size goes ---------------------------------------

// The free box shrunk by `delta` (grown when negative), its header moved to
// where its space now starts; false when it cannot take that much.
bool Absorb(const Box& free, std::int64_t delta, Splice& splice) {
  if (delta > 0 && static_cast<std::uint64_t>(delta) > free.size) return false;
  const std::uint64_t size = Moved(free.size, -delta);
  if (size == 0) {
    splice = {free.offset, free.size, ""};
    return true;
  }
  if (size < free.header || (!free.toEnd && free.header == 8 && size > kMax32)) return false;
  std::string header = BigEndianBytes(free.toEnd ? 0 : free.header == 16 ? 1 : size, 4) + free.type;
  if (free.header == 16) header += BigEndianBytes(size, 8);
  if (delta >= 0) {
    splice = {free.offset, free.header + static_cast<std::uint64_t>(delta), header};
  } else {
    splice = {free.offset, free.header,
              header + std::string(static_cast<std::size_t>(-delta), '\0')};
  }
  return true;
}

bool Resize(const Box& box, std::int64_t delta, Splices& splices, std::string& reason) {
  if (box.toEnd) return true;
  const std::uint64_t size = Moved(box.size, delta);
  if (box.header == 16) {
    splices.push_back({box.offset + 8, 8, BigEndianBytes(size, 8)});
    return true;
  }
  if (size > kMax32) {
    reason = "its " + box.type + " would grow past 4 GiB";
    return false;
  }
  splices.push_back({box.offset, 4, BigEndianBytes(size, 4)});
  return true;
}

// Sizes up the path until a free box right after the changed one takes the
// change in; `moved` is what moov's end moves by when none does.
bool Place(const Layout& layout, const Plan& plan, Splices& splices, std::int64_t& moved,
           std::string& reason) {
  moved = 0;
  if (plan.delta == 0) return true;
  const std::size_t depth = layout.path.size();
  std::uint64_t after = plan.after;
  for (std::size_t level = 0; level <= depth; ++level) {
    const Box* free = BoxAt(layout.kids[depth - level], after);
    Splice splice;
    if (free != nullptr && IsFree(*free) && Absorb(*free, plan.delta, splice)) {
      splices.push_back(splice);
      return true;
    }
    if (level == depth) break;
    const Box& parent = layout.path[depth - 1 - level];
    if (!Resize(parent, plan.delta, splices, reason)) return false;
    after = parent.End();
  }
  moved = plan.delta;
  return true;
}

// --- Offsets past moov -----------------------------------------------------

bool MoveChunkOffsets(const ChunkTable& table, std::uint64_t from, std::int64_t delta,
                      Splices& splices, std::string& reason) {
  std::string bytes;
  bool changed = false;
  for (std::uint64_t offset : table.offsets) {
    if (offset >= from) {
      offset = Moved(offset, delta);
      changed = true;
      if (table.width == 4 && offset > kMax32) {
        reason = "chunk offsets would overflow";
        return false;
      }
    }
    bytes += BigEndianBytes(offset, table.width);
  }
  if (changed) splices.push_back({table.box.Body() + 8, bytes.size(), bytes});
  return true;
}

// Only boxes whose offsets are known, and fragments only after moov.
bool FragmentsCanMove(const Layout& layout) {
  static const char* const kKnown[] = {"ftyp", "styp", "free", "skip", "wide", "mdat", "moov",
                                       "moof", "mfra", "sidx", "ssix", "emsg", "prft", "pdin"};
  static const char* const kAfterMoov[] = {"moof", "mfra", "sidx", "ssix", "emsg", "prft"};
  const std::uint64_t moov = layout.path.front().offset;
  for (const Box& box : layout.top) {
    bool known = false;
    for (const char* type : kKnown) known = known || box.type == type;
    if (!known) return false;
    for (const char* type : kAfterMoov) {
      if (box.type == type && box.offset < moov) return false;
    }
  }
  return true;
}

bool MoveBaseOffsets(const ByteSource& file, const Box& moof, std::uint64_t from,
                     std::int64_t delta, Splices& splices, std::string& reason) {
  Boxes trafs;
  if (!ReadChildren(file, moof, moof.Body(), trafs, reason)) return false;
  for (const Box& traf : trafs) {
    Boxes kids;
    if (traf.type != "traf") continue;
    if (!ReadChildren(file, traf, traf.Body(), kids, reason)) return false;
    for (const Box& tfhd : kids) {
      if (tfhd.type != "tfhd") continue;
      std::string bytes;
      if (!ReadBody(file, tfhd, bytes, reason)) return false;
      const bool explicitBase = bytes.size() >= 4 && (BigEndian(bytes, 1, 3) & 1) != 0;
      if (bytes.size() < 8 || (explicitBase && bytes.size() < 16)) {
        reason = "a track fragment header does not fit its box";
        return false;
      }
      if (!explicitBase) continue;
      const std::uint64_t base = BigEndian(bytes, 8, 8);
      if (base < from || base >= file.Size()) {
        reason = kFragments;
        return false;
      }
      splices.push_back({tfhd.Body() + 8, 8, BigEndianBytes(Moved(base, delta), 8)});
    }
  }
  return true;
}

bool MoveIndex(const ByteSource& file, const Box& tfra, const std::vector<std::uint64_t>& moofs,
               std::int64_t delta, Splices& splices, std::string& reason) {
  std::string bytes;
  if (!ReadBody(file, tfra, bytes, reason)) return false;
  const bool version1 = !bytes.empty() && bytes[0] == 1;
  if (!bytes.empty() && bytes[0] != 0 && !version1) {
    reason = kFragments;
    return false;
  }
  const std::size_t width = version1 ? 8 : 4;
  const std::uint64_t lengths = bytes.size() < 16 ? 0 : BigEndian(bytes, 8, 4);
  const std::size_t entry =
      2 * width + ((lengths >> 4) & 3) + ((lengths >> 2) & 3) + (lengths & 3) + 3;
  const std::size_t count = bytes.size() < 16 ? 0 : BigEndian(bytes, 12, 4);
  if (bytes.size() < 16 || count > (bytes.size() - 16) / entry) {
    reason = "its fragment index does not fit its box";
    return false;
  }
  std::string entries = bytes.substr(16, count * entry);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = i * entry + width;
    const std::uint64_t offset = BigEndian(entries, at, static_cast<int>(width));
    if (!std::binary_search(moofs.begin(), moofs.end(), offset)) {
      reason = "its fragment index does not point at its fragments";
      return false;
    }
    const std::uint64_t moved = Moved(offset, delta);
    if (width == 4 && moved > kMax32) {
      reason = "fragment offsets would overflow";
      return false;
    }
    entries.replace(at, width, BigEndianBytes(moved, static_cast<int>(width)));
  }
  if (count > 0) splices.push_back({tfra.Body() + 16, entries.size(), entries});
  return true;
}

bool MoveFragments(const ByteSource& file, const Layout& layout, std::uint64_t from,
                   std::int64_t delta, Splices& splices, std::string& reason) {
  if (!FragmentsCanMove(layout)) {
    reason = kFragments;
    return false;
  }
  std::vector<std::uint64_t> moofs;
  for (const Box& box : layout.top) {
    if (box.type != "moof") continue;
    moofs.push_back(box.offset);
    if (!MoveBaseOffsets(file, box, from, delta, splices, reason)) return false;
  }
  for (const Box& box : layout.top) {
    Boxes kids;
    if (box.type != "mfra") continue;
    if (!ReadChildren(file, box, box.Body(), kids, reason)) return false;
    for (const Box& kid : kids) {
      if (kid.type == "tfra" && !MoveIndex(file, kid, moofs, delta, splices, reason)) return false;
    }
  }
  return true;
}

bool MoveOffsets(const ByteSource& file, const Layout& layout, std::int64_t delta, Splices& splices,
                 std::string& reason) {
  const Box& moov = layout.path.front();
  // Nothing follows a moov that ends the file, so nothing points past it.
  if (delta == 0 || moov.End() == file.Size()) return true;
  if (layout.untracked) {
    reason = "moov would move and the file has offsets this tool cannot update";
    return false;
  }
  for (const ChunkTable& table : layout.tables) {
    if (!MoveChunkOffsets(table, moov.End(), delta, splices, reason)) return false;
  }
  return !layout.fragmented || MoveFragments(file, layout, moov.End(), delta, splices, reason);
}

// Sorted, with splices that touch made one.
Splices Tidy(Splices splices) {
  std::sort(splices.begin(), splices.end(), [](const Splice& a, const Splice& b) {
    return a.offset != b.offset ? a.offset < b.offset : a.length < b.length;
  });
  Splices tidy;
  for (Splice& splice : splices) {
    if (!tidy.empty() && tidy.back().offset + tidy.back().length == splice.offset) {
      tidy.back().length += splice.length;
      tidy.back().bytes += splice.bytes;
    } else {
      tidy.push_back(std::move(splice));
    }
  }
  return tidy;
}

}  // namespace

bool EditMp4SortAlbum(const ByteSource& file, const WideString& value, Splices& splices,
                      std::string& reason) {
  splices.clear();
  reason.clear();
  std::string utf8;
  if (!EncodeUtf8(value, utf8)) {
    reason = "the album sort is not valid UTF-16";
    return false;
  }
  Layout layout;
  Plan plan;
  if (!ReadLayout(file, layout, reason) || !PlanEdit(file, layout, utf8, plan, reason)) {
    return false;
  }
  if (plan.edits.empty()) return true;
  Splices all = plan.edits;
  std::int64_t moved = 0;
  if (!Place(layout, plan, all, moved, reason) || !MoveOffsets(file, layout, moved, all, reason)) {
    return false;
  }
  all = Tidy(std::move(all));
  if (!SplicesAreOrdered(all, file.Size())) {
    reason = "the edit does not fit the file's layout";
    return false;
  }
  splices = std::move(all);
  return true;
}
