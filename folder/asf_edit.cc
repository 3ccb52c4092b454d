#include "folder/asf_edit.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace {

constexpr std::uint64_t kObjectHead = 24;     // GUID and size
constexpr std::uint64_t kHeaderHead = 30;     // and the object count and two reserved bytes
constexpr std::uint64_t kExtensionHead = 46;  // and a reserved GUID and word, and the data size
constexpr std::uint64_t kDataHead = 50;       // and the file id, packet count and reserved word
constexpr std::uint64_t kFilePropertiesSize = 104;
constexpr std::uint64_t kContentDescriptionHead = 34;  // and five string lengths
constexpr std::uint64_t kMaxHeader = 64u << 20;
constexpr std::uint64_t kMaxCount = 0xFFFF;

// GUIDs as files store them: the first three groups little-endian.
std::string StoredGuid(const char* text) {
  static const int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::string hex;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c != '-') hex.push_back(*c);
  }
  std::string bytes(16, '\0');
  for (std::size_t i = 0; i < 16; ++i) {
    const auto from = static_cast<std::size_t>(2 * kOrder[i]);
    bytes[i] = static_cast<char>(std::stoi(hex.substr(from, 2), nullptr, 16));
  }
  return bytes;
}

const std::string& HeaderGuid() {
  static const std::string kGuid = StoredGuid("75B22630-668E-11CF-A6D9-00AA0062CE6C");
  return kGuid;
}

const std::string& DataGuid() {
  static const std::string kGuid = StoredGuid("75B22636-668E-11CF-A6D9-00AA0062CE6C");
  return kGuid;
}

const std::string& ExtendedContentGuid() {
  static const std::string kGuid = StoredGuid("D2D0A440-E307-11D2-97F0-00A0C95EA850");
  return kGuid;
}

enum class Kind {
  kOther,
  kHeader,
  kFileProperties,
  kHeaderExtension,
  kContentDescription,
  kExtendedContent,
  kMetadata,
  kMetadataLibrary,
  kPadding,
};

// TagLib knows the attribute objects only where they belong: the metadata
// ones inside the header extension, the rest directly in the header.
Kind KindOf(const std::string& header, std::uint64_t at, bool inExtension) {
  struct Known {
    std::string guid;
    Kind kind;
    bool inExtension;
  };
  static const std::vector<Known> kKnown = {
      {StoredGuid("8CABDCA1-A947-11CF-8EE4-00C00C205365"), Kind::kFileProperties, false},
      {StoredGuid("5FBF03B5-A92E-11CF-8EE3-00C00C205365"), Kind::kHeaderExtension, false},
      {StoredGuid("75B22633-668E-11CF-A6D9-00AA0062CE6C"), Kind::kContentDescription, false},
      {ExtendedContentGuid(), Kind::kExtendedContent, false},
      {StoredGuid("C5F8CBEA-5BAF-4877-8467-AA8C44FA4CCA"), Kind::kMetadata, true},
      {StoredGuid("44231C94-9498-49D1-A141-1D134E457054"), Kind::kMetadataLibrary, true},
      {StoredGuid("1806D474-CADF-4509-A4BA-9AABCB96AAE8"), Kind::kPadding, false},
      {StoredGuid("1806D474-CADF-4509-A4BA-9AABCB96AAE8"), Kind::kPadding, true},
  };
  for (const Known& known : kKnown) {
    if (known.inExtension == inExtension && header.compare(at, 16, known.guid) == 0) {
      return known.kind;
    }
  }
  return Kind::kOther;
}

std::uint64_t Grown(std::uint64_t value, std::int64_t growth) {
  return value + static_cast<std::uint64_t>(growth);
}

std::int64_t Signed(std::uint64_t value) { return static_cast<std::int64_t>(value); }

// An object of the header, or the header itself (node 0).
struct Node {
  std::uint64_t at = 0;
  std::uint64_t size = 0;
  Kind kind = Kind::kOther;
  std::size_t parent = 0;
  std::int64_t growth = 0;  // of its own bytes, not counting its children's
  std::int64_t countChange = 0;
  bool removed = false;
};

// One WM/AlbumSortOrder attribute.
struct Attribute {
  std::size_t node = 0;
  std::uint64_t at = 0;
  std::uint64_t length = 0;
  std::uint64_t typeAt = 0;
  std::uint64_t lengthAt = 0;
  int lengthWidth = 0;
  std::uint64_t valueAt = 0;
  std::uint64_t valueLength = 0;
};

struct Layout {
  std::string header;  // the header object, which starts the file
  std::vector<Node> nodes;
  std::vector<Attribute> sorts;  // in the order TagLib reads them; it shows the first
  std::size_t fileProperties = 0;
  std::size_t extendedContent = 0;
  std::size_t extensions = 0;
};

bool Fail(std::string& reason, const char* why) {
  reason = why;
  return false;
}

const std::string& SortName() {
  static const std::string kName = [] {
    std::string bytes;
    EncodeUtf16Le(WIDE("WM/AlbumSortOrder"), bytes);
    return bytes;
  }();
  return kName;
}

// As TagLib reads a name: trailing NUL pairs dropped, then an odd byte.
bool IsSortName(const std::string& header, std::uint64_t at, std::uint64_t length) {
  while (length >= 2 && header[at + length - 1] == '\0' && header[at + length - 2] == '\0') {
    length -= 2;
  }
  length -= length % 2;
  return header.compare(at, length, SortName()) == 0;
}

// TagLib reads numbers by their type, not by the stored length, so any
// other length would make it lose its place.
bool FitsType(std::uint64_t type, std::uint64_t length, bool extendedContent) {
  switch (type) {
    case 0:  // text
    case 1:  // bytes
    case 6:  // GUID
      return true;
    case 2:  // boolean
      return length == (extendedContent ? 4 : 2);
    case 3:
      return length == 4;
    case 4:
      return length == 8;
    case 5:
      return length == 2;
    default:
      return false;
  }
}

const char* NotAddingUp(Kind kind) {
  switch (kind) {
    case Kind::kExtendedContent:
      return "the extended content description does not add up";
    case Kind::kMetadata:
      return "the metadata object does not add up";
    default:
      return "the metadata library does not add up";
  }
}

bool ParseAttributes(Layout& layout, std::size_t index, std::string& reason) {
  const Node& node = layout.nodes[index];
  const std::string& h = layout.header;
  const bool extended = node.kind == Kind::kExtendedContent;
  const std::uint64_t end = node.at + node.size;
  if (node.size < kObjectHead + 2) return Fail(reason, NotAddingUp(node.kind));
  const std::uint64_t count = LittleEndian(h, node.at + kObjectHead, 2);
  std::uint64_t at = node.at + kObjectHead + 2;
  for (std::uint64_t i = 0; i < count; ++i) {
    Attribute attribute;
    attribute.node = index;
    attribute.at = at;
    std::uint64_t nameAt = 0;
    std::uint64_t nameLength = 0;
    if (extended) {
      if (end - at < 2) return Fail(reason, NotAddingUp(node.kind));
      nameLength = LittleEndian(h, at, 2);
      nameAt = at + 2;
      if (end - nameAt < nameLength + 4) return Fail(reason, NotAddingUp(node.kind));
      attribute.typeAt = nameAt + nameLength;
      attribute.lengthAt = attribute.typeAt + 2;
      attribute.lengthWidth = 2;
      attribute.valueAt = attribute.lengthAt + 2;
    } else {
      // Language and stream, name length, type, value length, name, value.
      if (end - at < 12) return Fail(reason, NotAddingUp(node.kind));
      nameLength = LittleEndian(h, at + 4, 2);
      attribute.typeAt = at + 6;
      attribute.lengthAt = at + 8;
      attribute.lengthWidth = 4;
      nameAt = at + 12;
      if (end - nameAt < nameLength) return Fail(reason, NotAddingUp(node.kind));
      attribute.valueAt = nameAt + nameLength;
    }
    attribute.valueLength = LittleEndian(h, attribute.lengthAt, attribute.lengthWidth);
    if (end - attribute.valueAt < attribute.valueLength) {
      return Fail(reason, NotAddingUp(node.kind));
    }
    if (!FitsType(LittleEndian(h, attribute.typeAt, 2), attribute.valueLength, extended)) {
      return Fail(reason, "an attribute's value does not fit its type");
    }
    attribute.length = attribute.valueAt + attribute.valueLength - at;
    if (IsSortName(h, nameAt, nameLength)) layout.sorts.push_back(attribute);
    at += attribute.length;
  }
  // TagLib reads the attributes one after another, whatever the object's size says.
  if (at != end) return Fail(reason, NotAddingUp(node.kind));
  return true;
}

bool CheckContentDescription(const Layout& layout, const Node& node, std::string& reason) {
  if (node.size < kContentDescriptionHead) {
    return Fail(reason, "the content description does not add up");
  }
  std::uint64_t strings = 0;
  for (std::uint64_t i = 0; i < 5; ++i) {
    strings += LittleEndian(layout.header, node.at + kObjectHead + 2 * i, 2);
  }
  if (kContentDescriptionHead + strings != node.size) {
    return Fail(reason, "the content description does not add up");
  }
  return true;
}

bool ParseChildren(Layout& layout, std::size_t parent, std::uint64_t begin, std::string& reason);

bool ParseExtension(Layout& layout, std::size_t index, std::string& reason) {
  const Node node = layout.nodes[index];
  if (node.size < kExtensionHead ||
      LittleEndian(layout.header, node.at + 42, 4) != node.size - kExtensionHead) {
    return Fail(reason, "the header extension's objects do not add up");
  }
  return ParseChildren(layout, index, node.at + kExtensionHead, reason);
}

bool ParseChild(Layout& layout, std::size_t index, std::string& reason) {
  switch (layout.nodes[index].kind) {
    case Kind::kFileProperties:
      if (layout.fileProperties != 0) {
        return Fail(reason, "the header has more than one file properties object");
      }
      layout.fileProperties = index;
      if (layout.nodes[index].size < kFilePropertiesSize) {
        return Fail(reason, "the file properties object is cut short");
      }
      return true;
    case Kind::kHeaderExtension:
      if (layout.extensions++ != 0) return Fail(reason, "the header has two header extensions");
      return ParseExtension(layout, index, reason);
    case Kind::kContentDescription:
      return CheckContentDescription(layout, layout.nodes[index], reason);
    case Kind::kExtendedContent:
      if (layout.extendedContent != 0) {
        return Fail(reason, "the header has two extended content descriptions");
      }
      layout.extendedContent = index;
      return ParseAttributes(layout, index, reason);
    case Kind::kMetadata:
    case Kind::kMetadataLibrary:
      return ParseAttributes(layout, index, reason);
    default:
      return true;
  }
}

// The objects of the header (parent 0) or of its extension, which must fill
// it exactly.
bool ParseChildren(Layout& layout, std::size_t parent, std::uint64_t begin, std::string& reason) {
  const bool inExtension = parent != 0;
  const char* const why = inExtension ? "the header extension's objects do not add up"
                                      : "the header's objects do not add up";
  const std::uint64_t end = layout.nodes[parent].at + layout.nodes[parent].size;
  std::uint64_t count = 0;
  for (std::uint64_t at = begin; at < end; ++count) {
    if (end - at < kObjectHead) return Fail(reason, why);
    Node node;
    node.at = at;
    node.size = LittleEndian(layout.header, at + 16, 8);
    if (node.size < kObjectHead || node.size > end - at) return Fail(reason, why);
    node.kind = KindOf(layout.header, at, inExtension);
    node.parent = parent;
    layout.nodes.push_back(node);
    if (!ParseChild(layout, layout.nodes.size() - 1, reason)) return false;
    at += node.size;
  }
  if (!inExtension && count != LittleEndian(layout.header, 24, 4)) return Fail(reason, why);
  return true;
}

bool ReadHeader(const ByteSource& file, Layout& layout, std::string& reason) {
  std::string head;
  const auto start = static_cast<std::size_t>(std::min<std::uint64_t>(file.Size(), 16));
  if (!file.Read(0, start, head)) return Fail(reason, "the file cannot be read");
  if (HeaderGuid().compare(0, start, head) != 0) {
    return Fail(reason, "the file does not start with an ASF header");
  }
  if (!file.Read(0, kHeaderHead, head)) {
    return Fail(reason, "the file is cut short inside its header");
  }
  Node header;
  header.size = LittleEndian(head, 16, 8);
  header.kind = Kind::kHeader;
  if (header.size < kHeaderHead) return Fail(reason, "the header's objects do not add up");
  if (header.size > file.Size()) return Fail(reason, "the file is cut short inside its header");
  if (header.size > kMaxHeader) return Fail(reason, "the header is too large to edit");
  if (!file.Read(0, static_cast<std::size_t>(header.size), layout.header)) {
    return Fail(reason, "the file cannot be read");
  }
  layout.nodes.push_back(header);
  if (!ParseChildren(layout, 0, kHeaderHead, reason)) return false;
  if (layout.fileProperties == 0) return Fail(reason, "the header has no file properties object");
  return true;
}

// The data object after the header, and the index objects after it, fill
// the file; the data holds as many packets as it says. Index entries count
// packets or bytes from the first packet, so nothing outside the header
// says where in the file anything is, except the file size.
bool CheckBody(const ByteSource& file, const Layout& layout, std::string& reason) {
  const std::string& h = layout.header;
  const std::uint64_t properties = layout.nodes[layout.fileProperties].at;
  if ((LittleEndian(h, properties + 88, 4) & 1) != 0) {
    return Fail(reason, "the file is a broadcast stream, whose sizes are not meaningful");
  }
  const std::uint64_t packetSize = LittleEndian(h, properties + 92, 4);
  if (packetSize != LittleEndian(h, properties + 96, 4)) {
    return Fail(reason, "the file's data packets are not all of one size");
  }
  const std::uint64_t size = file.Size();
  const std::uint64_t dataAt = h.size();
  if (size == dataAt) return Fail(reason, "the file is cut short after its header");
  std::string data;
  if (!file.Read(dataAt, kDataHead, data)) {
    return Fail(reason, "the file is cut short inside its data object");
  }
  if (data.compare(0, 16, DataGuid()) != 0) {
    return Fail(reason, "the header is not followed by the data object");
  }
  const std::uint64_t dataSize = LittleEndian(data, 16, 8);
  if (dataSize < kDataHead) return Fail(reason, "the data object does not add up");
  if (dataSize > size - dataAt) return Fail(reason, "the file is cut short inside its data object");
  const std::uint64_t packets = LittleEndian(data, 40, 8);
  const std::uint64_t payload = dataSize - kDataHead;
  if (packetSize == 0 ? packets != 0 || payload != 0
                      : payload % packetSize != 0 || payload / packetSize != packets) {
    return Fail(reason, "the data object's size does not match its packets");
  }
  for (std::uint64_t at = dataAt + dataSize; at < size;) {
    std::string object;
    if (!file.Read(at, kObjectHead, object)) {
      return Fail(reason, "the objects after the data do not add up");
    }
    const std::uint64_t objectSize = LittleEndian(object, 16, 8);
    if (objectSize < kObjectHead) return Fail(reason, "the objects after the data do not add up");
    if (objectSize > size - at) {
      return Fail(reason, "the file is cut short inside an object after the data");
    }
    at += objectSize;
  }
  // Taggers that grow the header leave the size short; a larger one means
  // that the end of the file is missing.
  if (LittleEndian(h, properties + 40, 8) > size) {
    return Fail(reason, "the file is shorter than its file properties say");
  }
  return true;
}

void Change(const std::string& original, std::uint64_t at, std::uint64_t length, std::string bytes,
            Splices& splices) {
  if (length == bytes.size() && original.compare(at, length, bytes) == 0) return;
  splices.push_back({at, length, std::move(bytes)});
}

// The attributes' own bytes: the first sort attribute takes the value where
// it stands, the others go; without one, a new one follows the last of the
// extended content description, which is made when there is none.
bool EditAttributes(Layout& layout, const std::string& stored, Splices& content,
                    std::string& reason) {
  bool placed = stored.empty();
  for (const Attribute& sort : layout.sorts) {
    Node& node = layout.nodes[sort.node];
    if (!placed) {
      Change(layout.header, sort.typeAt, 2, LittleEndianBytes(0, 2), content);
      Change(layout.header, sort.lengthAt, static_cast<std::uint64_t>(sort.lengthWidth),
             LittleEndianBytes(stored.size(), sort.lengthWidth), content);
      Change(layout.header, sort.valueAt, sort.valueLength, stored, content);
      node.growth += Signed(stored.size()) - Signed(sort.valueLength);
      placed = true;
    } else {
      content.push_back({sort.at, sort.length, std::string()});
      node.growth -= Signed(sort.length);
      --node.countChange;
    }
  }
  if (placed) return true;
  const std::string name = SortName() + std::string(2, '\0');
  const std::string record = LittleEndianBytes(name.size(), 2) + name + LittleEndianBytes(0, 2) +
                             LittleEndianBytes(stored.size(), 2) + stored;
  if (layout.extendedContent == 0) {
    const std::string object = ExtendedContentGuid() +
                               LittleEndianBytes(kObjectHead + 2 + record.size(), 8) +
                               LittleEndianBytes(1, 2) + record;
    content.push_back({layout.header.size(), 0, object});
    layout.nodes[0].growth += Signed(object.size());
    ++layout.nodes[0].countChange;
    return true;
  }
  Node& node = layout.nodes[layout.extendedContent];
  if (LittleEndian(layout.header, node.at + kObjectHead, 2) >= kMaxCount) {
    return Fail(reason, "the extended content description is full");
  }
  content.push_back({node.at + node.size, 0, record});
  node.growth += Signed(record.size());
  ++node.countChange;
  return true;
}

// A padding object takes up the attributes' growth or shrinkage, so that
// the header keeps its size: the nearest one that can, losing or gaining
// bytes on the side that faces the edit. It goes only when used up exactly.
void Absorb(Layout& layout, Splices& content) {
  std::int64_t growth = 0;
  for (const Node& node : layout.nodes) growth += node.growth;
  if (growth == 0) return;
  const auto magnitude = static_cast<std::uint64_t>(growth > 0 ? growth : -growth);
  std::uint64_t edit = content.front().offset;
  for (const Splice& splice : content) edit = std::min(edit, splice.offset);
  std::size_t best = 0;
  std::uint64_t bestDistance = 0;
  for (std::size_t i = 1; i < layout.nodes.size(); ++i) {
    const Node& node = layout.nodes[i];
    if (node.kind != Kind::kPadding) continue;
    if (growth > 0 && node.size != magnitude && node.size - kObjectHead < magnitude) continue;
    const std::uint64_t distance = node.at >= edit ? node.at - edit : edit - node.at - node.size;
    if (best == 0 || distance < bestDistance) {
      best = i;
      bestDistance = distance;
    }
  }
  if (best == 0) return;
  Node& padding = layout.nodes[best];
  padding.growth = -growth;
  if (padding.size == magnitude) {
    content.push_back({padding.at, padding.size, std::string()});
    padding.removed = true;
    if (padding.parent == 0) --layout.nodes[0].countChange;
    return;
  }
  const bool after = padding.at >= edit;
  if (growth > 0) {
    const std::uint64_t at =
        after ? padding.at + kObjectHead : padding.at + padding.size - magnitude;
    content.push_back({at, magnitude, std::string()});
  } else {
    const std::uint64_t at = after ? padding.at + kObjectHead : padding.at + padding.size;
    content.push_back({at, 0, std::string(static_cast<std::size_t>(magnitude), '\0')});
  }
}

// The sizes and counts that the edit changes, up to the file's size.
void AddSizes(const Layout& layout, std::uint64_t fileSize, Splices& splices) {
  std::vector<std::int64_t> total;
  for (const Node& node : layout.nodes) total.push_back(node.growth);
  for (std::size_t i = layout.nodes.size() - 1; i > 0; --i) {
    total[layout.nodes[i].parent] += total[i];
  }
  for (std::size_t i = 0; i < layout.nodes.size(); ++i) {
    const Node& node = layout.nodes[i];
    if (node.removed) continue;
    if (total[i] != 0) {
      splices.push_back({node.at + 16, 8, LittleEndianBytes(Grown(node.size, total[i]), 8)});
    }
    if (node.countChange != 0) {
      const int width = node.kind == Kind::kHeader ? 4 : 2;
      const std::uint64_t count = LittleEndian(layout.header, node.at + kObjectHead, width);
      splices.push_back({node.at + kObjectHead, static_cast<std::uint64_t>(width),
                         LittleEndianBytes(Grown(count, node.countChange), width)});
    }
    if (node.kind == Kind::kHeaderExtension && total[i] != 0) {
      splices.push_back(
          {node.at + 42, 4, LittleEndianBytes(Grown(node.size, total[i]) - kExtensionHead, 4)});
    }
  }
  if (total[0] != 0) {
    const std::uint64_t at = layout.nodes[layout.fileProperties].at + 40;
    splices.push_back({at, 8, LittleEndianBytes(Grown(fileSize, total[0]), 8)});
  }
}

}  // namespace

bool EditAsfSortAlbum(const ByteSource& file, const WideString& value, Splices& splices,
                      std::string& reason) {
  splices.clear();
  std::string text;
  if (!EncodeUtf16Le(value, text)) {
    return Fail(reason, "the new value holds an unpaired UTF-16 surrogate");
  }
  // TagLib drops a string's trailing NULs, so such a value would not read back.
  if (!value.empty() && value.back() == 0) {
    return Fail(reason, "the new value ends in a NUL character");
  }
  const std::string stored = value.empty() ? std::string() : text + std::string(2, '\0');
  if (stored.size() > kMaxCount) return Fail(reason, "the new value is too long");
  Layout layout;
  if (!ReadHeader(file, layout, reason) || !CheckBody(file, layout, reason)) return false;
  Splices edit;
  if (!EditAttributes(layout, stored, edit, reason)) return false;
  if (edit.empty()) return true;
  Absorb(layout, edit);
  AddSizes(layout, file.Size(), edit);
  std::stable_sort(edit.begin(), edit.end(),
                   [](const Splice& a, const Splice& b) { return a.offset < b.offset; });
  splices = std::move(edit);
  return true;
}
