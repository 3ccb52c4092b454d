#!/usr/bin/python3
"""A raw reader of audio files for the tests, written from the containers'
layouts rather than through a tag library, so that it sees what a tag
library hides: the order of fields, the case of their keys, padding, page
and box boundaries, offsets and checksums.

dump(path) gives a nested structure in file order: a dict with the file's
"size" and its "parts" (ID3v2, the container or audio stream, APE, ID3v1).
Every structure in it carries "at" and "end", its byte range in the file.
differences(before, after, sort) says what changed between two dumps
besides the album sort and what must follow it. audio_digest(path) and
decode_errors(path) ask ffmpeg about the audio.

Usage: raw_dump.py FILE...     prints the dumps
       raw_dump.py --self-test
"""
import pprint
import struct
import subprocess
import sys

SORT_KEY = b"ALBUMSORT"  # Vorbis comments and APE; compared without case
ID3_SORT = ("TSOA", "TSA")
MP4_SORT = "soal"
ASF_SORT = "WM/AlbumSortOrder"


class DumpError(Exception):
    """The bytes do not follow the layout they claim."""


def be(data, at, count):
    if at + count > len(data):
        raise DumpError("cut short at %d" % at)
    return int.from_bytes(data[at:at + count], "big")


def le(data, at, count):
    if at + count > len(data):
        raise DumpError("cut short at %d" % at)
    return int.from_bytes(data[at:at + count], "little")


def need(condition, message, *args):
    if not condition:
        raise DumpError(message % args)


# --- ID3v2, ID3v1, APE ---------------------------------------------------------

def syncsafe(data, at):
    raw = data[at:at + 4]
    need(len(raw) == 4 and all(b < 0x80 for b in raw), "bad syncsafe integer at %d", at)
    return (raw[0] << 21) | (raw[1] << 14) | (raw[2] << 7) | raw[3]


def parse_id3v2(data, at, limit=None):
    limit = len(data) if limit is None else limit
    need(at + 10 <= limit and data[at:at + 3] == b"ID3", "no ID3v2 header at %d", at)
    major, revision, flags = data[at + 3], data[at + 4], data[at + 5]
    need(major in (2, 3, 4), "ID3v2.%d", major)
    body_end = at + 10 + syncsafe(data, at + 6)
    end = body_end + (10 if major == 4 and flags & 0x10 else 0)
    need(end <= limit, "ID3v2 tag cut short")
    pos, extended = at + 10, None
    if flags & 0x40 and major >= 3:
        size = be(data, pos, 4) + 4 if major == 3 else syncsafe(data, pos)
        need(pos + size <= body_end, "extended header too long")
        extended, pos = data[pos:pos + size], pos + size
    frames = []
    header = 6 if major == 2 else 10
    while pos + header <= body_end and data[pos] != 0:
        if major == 2:
            frame_id, size, frame_flags = data[pos:pos + 3], be(data, pos + 3, 3), 0
        else:
            frame_id = data[pos:pos + 4]
            size = syncsafe(data, pos + 4) if major == 4 else be(data, pos + 4, 4)
            frame_flags = be(data, pos + 8, 2)
        need(all(48 <= b <= 57 or 65 <= b <= 90 for b in frame_id), "bad frame id at %d", pos)
        need(pos + header + size <= body_end, "frame at %d runs past the tag", pos)
        frames.append({"id": frame_id.decode("latin-1"), "flags": frame_flags,
                       "data": data[pos + header:pos + header + size], "at": pos,
                       "end": pos + header + size})
        pos += header + size
    padding = data[pos:body_end]
    return {"kind": "id3v2", "version": (major, revision), "flags": flags, "extended": extended,
            "frames": frames, "padding": len(padding), "padding_is_zero": not padding.strip(b"\0"),
            "footer": data[body_end:end], "at": at, "end": end}


def id3_text_values(data):
    """The values of an ID3v2 text frame's data."""
    if not data:
        return [""]
    codec = {0: "latin-1", 1: "utf-16", 2: "utf-16-be", 3: "utf-8"}.get(data[0])
    if codec is None:
        return ["<encoding %d>" % data[0]]
    text = data[1:].decode(codec, errors="replace")
    return text.rstrip("\0").split("\0")


def parse_apev2_at_end(data, end, start):
    """The APE tag whose footer ends at `end`, or None."""
    if end - 32 < start or data[end - 32:end - 24] != b"APETAGEX":
        return None
    version, size, count, flags = struct.unpack("<IIII", data[end - 24:end - 8])
    items_at = end - size
    need(size >= 32 and items_at >= start, "APE tag larger than the file")
    header = None
    if flags & 0x80000000:
        need(items_at - 32 >= start and data[items_at - 32:items_at - 24] == b"APETAGEX",
             "APE header missing")
        header = data[items_at - 32:items_at]
    items, pos = [], items_at
    for _ in range(count):
        need(pos + 9 <= end - 32, "APE item at %d runs past the tag", pos)
        length, item_flags = struct.unpack("<II", data[pos:pos + 8])
        zero = data.find(b"\0", pos + 8, end - 32)
        need(zero >= 0 and zero + 1 + length <= end - 32, "APE item at %d runs past the tag", pos)
        items.append({"key": data[pos + 8:zero], "flags": item_flags,
                      "value": data[zero + 1:zero + 1 + length], "at": pos,
                      "end": zero + 1 + length})
        pos = zero + 1 + length
    need(pos == end - 32, "APE items end at %d, the footer starts at %d", pos, end - 32)
    return {"kind": "apev2", "version": version, "header": header is not None,
            "header_bytes": header, "flags": flags, "items": items,
            "at": items_at - (32 if header is not None else 0), "end": end,
            "footer_at": end - 32}


def trailing_tags(data, start):
    """ID3v1 and APE tags at the end, in file order, and where they start."""
    end, parts = len(data), []
    if end - start >= 128 and data[end - 128:end - 125] == b"TAG":
        parts.append({"kind": "id3v1", "bytes": data[end - 128:], "at": end - 128, "end": end})
        end -= 128
    ape = parse_apev2_at_end(data, end, start)
    if ape is not None:
        parts.insert(0, ape)
        end = ape["at"]
    return end, parts


# --- Vorbis comments, FLAC, Ogg ------------------------------------------------

def parse_vorbis_comment(data, at, base=0):
    """The comment list in `data` from `at`; offsets are shifted by `base`."""
    vendor_length = le(data, at, 4)
    need(at + 4 + vendor_length + 4 <= len(data), "vendor runs past the comment")
    vendor = data[at + 4:at + 4 + vendor_length]
    count = le(data, at + 4 + vendor_length, 4)
    pos, fields = at + 8 + vendor_length, []
    need(count <= (len(data) - pos) // 4, "%d fields cannot fit", count)
    for _ in range(count):
        length = le(data, pos, 4)
        need(pos + 4 + length <= len(data), "field at %d runs past the comment", pos)
        fields.append(data[pos + 4:pos + 4 + length])
        pos += 4 + length
    return {"vendor": vendor, "fields": fields, "trailing": data[pos:], "at": base + at,
            "end": base + pos}


def is_sort_field(field):
    return b"=" in field and field.split(b"=", 1)[0].upper() == SORT_KEY


FLAC_TYPES = {0: "STREAMINFO", 1: "PADDING", 2: "APPLICATION", 3: "SEEKTABLE",
              4: "VORBIS_COMMENT", 5: "CUESHEET", 6: "PICTURE"}


def parse_flac(data, at, end):
    need(data[at:at + 4] == b"fLaC", "no fLaC at %d", at)
    pos, blocks = at + 4, []
    while True:
        need(pos + 4 <= end, "metadata cut short at %d", pos)
        kind, length = data[pos] & 0x7F, be(data, pos + 1, 3)
        need(pos + 4 + length <= end, "metadata block at %d cut short", pos)
        content = data[pos + 4:pos + 4 + length]
        block = {"type": kind, "name": FLAC_TYPES.get(kind, "?"), "last": bool(data[pos] & 0x80),
                 "content": content, "at": pos, "end": pos + 4 + length}
        if kind == 4:
            block["comment"] = parse_vorbis_comment(content, 0, pos + 4)
        blocks.append(block)
        pos += 4 + length
        if block["last"]:
            break
    frames = {"kind": "frames", "bytes": data[pos:end], "at": pos, "end": end}
    return {"kind": "flac", "blocks": blocks, "frames": frames, "at": at, "end": end}


def _ogg_crc_table():
    table = []
    for i in range(256):
        r = i << 24
        for _ in range(8):
            r = ((r << 1) ^ 0x04C11DB7) if r & 0x80000000 else r << 1
        table.append(r & 0xFFFFFFFF)
    return table


OGG_CRC = _ogg_crc_table()


def ogg_crc(page):
    crc = 0
    for byte in page:
        crc = ((crc << 8) & 0xFFFFFFFF) ^ OGG_CRC[(crc >> 24) ^ byte]
    return crc


def comment_of_packet(codec, packet, base):
    """The comment list inside a header packet, with the bytes around it."""
    prefix = {"vorbis": b"\x03vorbis", "opus": b"OpusTags", "speex": b"", "flac": None}[codec]
    if prefix is None:  # a FLAC metadata block header
        need(len(packet) >= 4 and packet[0] & 0x7F == 4, "not a comment block")
        prefix = packet[:4]
    need(packet.startswith(prefix), "comment packet without its signature")
    comment = parse_vorbis_comment(packet, len(prefix), base)
    comment["prefix"] = prefix
    return comment


def codec_of(packet):
    """The codec, its number of header packets and the index of the comment."""
    if packet.startswith(b"\x01vorbis"):
        return "vorbis", 3, 1
    if packet.startswith(b"OpusHead"):
        return "opus", 2, 1
    if packet.startswith(b"Speex   "):
        return "speex", 2 + le(packet, 68, 4), 1
    if packet.startswith(b"\x7fFLAC"):
        return "flac", 1 + be(packet, 7, 2), 1
    return "unknown", 1, None


def parse_ogg(data, at):
    pages, pos = [], at
    while pos < len(data):
        need(data[pos:pos + 4] == b"OggS", "no page at %d", pos)
        need(pos + 27 <= len(data), "page header at %d cut short", pos)
        count = data[pos + 26]
        need(pos + 27 + count <= len(data), "lacing at %d cut short", pos)
        lacing = list(data[pos + 27:pos + 27 + count])
        end = pos + 27 + count + sum(lacing)
        need(end <= len(data), "page at %d cut short", pos)
        stored = le(data, pos + 22, 4)
        page = data[pos:end]
        crc = ogg_crc(page[:22] + b"\0\0\0\0" + page[26:])
        pages.append({"kind": "page", "version": data[pos + 4], "flags": data[pos + 5],
                      "granule": struct.unpack("<q", data[pos + 6:pos + 14])[0],
                      "serial": le(data, pos + 14, 4), "sequence": le(data, pos + 18, 4),
                      "crc": stored, "crc_valid": crc == stored, "lacing": lacing,
                      "body": data[pos + 27 + count:end], "at": pos, "end": end})
        pos = end
    streams, problems = {}, []
    for index, page in enumerate(pages):
        stream = streams.setdefault(page["serial"], {"serial": page["serial"], "pages": [],
                                                     "packets": [], "open": None})
        stream["pages"].append(index)
        continued = bool(page["flags"] & 1)
        if continued != (stream["open"] is not None):
            problems.append("page %d: continued flag %d but %s packet open" %
                            (page["sequence"], continued, "a" if stream["open"] else "no"))
        body_at = 0
        for value in page["lacing"]:
            if stream["open"] is None:
                stream["open"] = {"bytes": b"", "first_page": index, "at": page["at"]}
            stream["open"]["bytes"] += page["body"][body_at:body_at + value]
            body_at += value
            if value < 255:
                stream["open"]["last_page"] = index
                stream["packets"].append(stream.pop("open"))
                stream["open"] = None
    result = []
    for stream in streams.values():
        if stream["open"] is not None:
            problems.append("stream %d ends inside a packet" % stream["serial"])
        packets = stream["packets"]
        codec, headers, comment_index = codec_of(packets[0]["bytes"]) if packets else \
            ("unknown", 0, None)
        stream.update(codec=codec, header_packets=headers, comment=None)
        if comment_index is not None and len(packets) > comment_index:
            packet = packets[comment_index]
            stream["comment"] = comment_of_packet(codec, packet["bytes"], 0)
            del stream["comment"]["at"], stream["comment"]["end"]  # a packet may span pages
        del stream["open"]
        result.append(stream)
    return {"kind": "ogg", "pages": pages, "streams": result, "problems": problems, "at": at,
            "end": len(data)}


# --- MP4 ------------------------------------------------------------------------

MP4_CONTAINERS = {"moov", "trak", "mdia", "minf", "stbl", "udta", "edts", "dinf", "mvex",
                  "moof", "traf", "mfra", "ilst", "sinf", "schi", "tref", "gmhd"}


def parse_boxes(data, start, end, parent=None):
    boxes, pos = [], start
    while pos < end:
        if end - pos < 8 and parent is not None and not data[pos:end].strip(b"\0"):
            boxes.append({"type": "(zeros)", "payload": data[pos:end], "at": pos, "end": end})
            break
        need(pos + 8 <= end, "box header at %d cut short", pos)
        size, kind, header = be(data, pos, 4), data[pos + 4:pos + 8].decode("latin-1"), 8
        if size == 1:
            size, header = be(data, pos + 8, 8), 16
        elif size == 0:
            size = end - pos
        need(size >= header and pos + size <= end, "box %r at %d runs past its parent", kind,
             pos)
        box = {"type": kind, "header": header, "at": pos, "end": pos + size}
        body = pos + header
        if parent == "ilst" or kind in MP4_CONTAINERS:
            box["children"] = parse_boxes(data, body, pos + size, kind)
            if parent == "ilst":
                box["raw"] = data[pos:pos + size]
        elif kind == "meta":
            full = data[body + 4:body + 8] != b"hdlr"
            box["version_flags"] = data[body:body + 4] if full else None
            box["children"] = parse_boxes(data, body + (4 if full else 0), pos + size, kind)
        else:
            box["payload"] = data[body:pos + size]
            leaf_details(box)
        boxes.append(box)
        pos += size
    return boxes


def leaf_details(box):
    payload, kind = box["payload"], box["type"]
    if kind in ("stco", "co64"):
        count, width = be(payload, 4, 4), 4 if kind == "stco" else 8
        need(8 + count * width <= len(payload), "%s entries run past the box", kind)
        box["entries"] = [be(payload, 8 + i * width, width) for i in range(count)]
    elif kind == "tfhd":
        box["base_data_offset"] = be(payload, 8, 8) if be(payload, 1, 3) & 1 else None
    elif kind == "tfra":
        version = payload[0]
        lengths = be(payload, 8, 4)
        sizes = [((lengths >> shift) & 3) + 1 for shift in (4, 2, 0)]
        count, pos, width = be(payload, 12, 4), 16, 8 if version == 1 else 4
        box["entries"] = []
        for _ in range(count):
            box["entries"].append((pos + width, be(payload, pos + width, width)))
            pos += 2 * width + sum(sizes)
    elif kind == "data":
        box["data_type"], box["locale"], box["value"] = be(payload, 0, 4), payload[4:8], \
            payload[8:]


def parse_mp4(data, at):
    return {"kind": "mp4", "boxes": parse_boxes(data, at, len(data)), "at": at, "end": len(data)}


def walk_boxes(boxes):
    for box in boxes:
        yield box
        yield from walk_boxes(box.get("children", []))


# --- ASF --------------------------------------------------------------------------

def guid(text):
    parts = text.split("-")
    return struct.pack("<IHH", int(parts[0], 16), int(parts[1], 16), int(parts[2], 16)) + \
        bytes.fromhex(parts[3] + parts[4])


ASF_NAMES = {
    guid("75B22630-668E-11CF-A6D9-00AA0062CE6C"): "Header",
    guid("75B22636-668E-11CF-A6D9-00AA0062CE6C"): "Data",
    guid("8CABDCA1-A947-11CF-8EE4-00C00C205365"): "File Properties",
    guid("B7DC0791-A9B7-11CF-8EE6-00C00C205365"): "Stream Properties",
    guid("5FBF03B5-A92E-11CF-8EE3-00C00C205365"): "Header Extension",
    guid("75B22633-668E-11CF-A6D9-00AA0062CE6C"): "Content Description",
    guid("D2D0A440-E307-11D2-97F0-00A0C95EA850"): "Extended Content Description",
    guid("C5F8CBEA-5BAF-4877-8467-AA8C44FA4CCA"): "Metadata",
    guid("44231C94-9498-49D1-A141-1D134E457054"): "Metadata Library",
    guid("1806D474-CADF-4509-A4BA-9AABCB96AAE8"): "Padding",
    guid("86D15240-311D-11D0-A3A4-00A0C90348F6"): "Codec List",
    guid("33000890-E5B1-11CF-89F4-00A0C90349CB"): "Simple Index",
    guid("D6E229D3-35DA-11D1-9034-00A0C90349BE"): "Index",
}


def asf_objects(data, start, end, count=None):
    objects, pos = [], start
    while pos < end and (count is None or len(objects) < count):
        need(pos + 24 <= end, "object header at %d cut short", pos)
        size = le(data, pos + 16, 8)
        need(size >= 24 and pos + size <= end, "object at %d runs past its parent", pos)
        name = ASF_NAMES.get(data[pos:pos + 16], data[pos:pos + 16].hex())
        obj = {"guid": data[pos:pos + 16], "name": name, "payload": data[pos + 24:pos + size],
               "at": pos, "end": pos + size}
        asf_details(data, obj)
        objects.append(obj)
        pos += size
    need(count is None or len(objects) == count, "%d objects where %s were announced",
         len(objects), count)
    return objects, pos


def utf16_name(raw):
    return raw.decode("utf-16-le", errors="replace").rstrip("\0")


def asf_details(data, obj):
    payload, name, base = obj["payload"], obj["name"], obj["at"] + 24
    if name == "File Properties":
        obj["file_size"] = le(payload, 16, 8)
    elif name == "Extended Content Description":
        count, pos, obj["descriptors"] = le(payload, 0, 2), 2, []
        for _ in range(count):
            name_length = le(payload, pos, 2)
            raw_name = payload[pos + 2:pos + 2 + name_length]
            kind = le(payload, pos + 2 + name_length, 2)
            length = le(payload, pos + 4 + name_length, 2)
            value_at = pos + 6 + name_length
            need(value_at + length <= len(payload), "descriptor at %d runs past", base + pos)
            obj["descriptors"].append({"name": raw_name, "type": kind,
                                       "value": payload[value_at:value_at + length],
                                       "at": base + pos, "end": base + value_at + length})
            pos = value_at + length
        obj["trailing"] = payload[pos:]
    elif name in ("Metadata", "Metadata Library"):
        count, pos, obj["records"] = le(payload, 0, 2), 2, []
        for _ in range(count):
            need(pos + 12 <= len(payload), "record at %d cut short", base + pos)
            first, stream, name_length, kind, length = struct.unpack("<HHHHI",
                                                                     payload[pos:pos + 12])
            value_at = pos + 12 + name_length
            need(value_at + length <= len(payload), "record at %d runs past", base + pos)
            obj["records"].append({"language" if name == "Metadata Library" else "reserved": first,
                                   "stream": stream, "name": payload[pos + 12:value_at],
                                   "type": kind, "value": payload[value_at:value_at + length],
                                   "at": base + pos, "end": base + value_at + length})
            pos = value_at + length
        obj["trailing"] = payload[pos:]
    elif name == "Header Extension":
        size = le(payload, 18, 4)
        need(22 + size == len(payload), "header extension data size %d in %d", size,
             len(payload))
        obj["reserved"] = payload[:18]
        obj["children"], _ = asf_objects(data, base + 22, base + 22 + size)


def parse_asf(data, at):
    need(data[at:at + 16] == guid("75B22630-668E-11CF-A6D9-00AA0062CE6C"), "no ASF header")
    size, count = le(data, at + 16, 8), le(data, at + 24, 4)
    need(at + size <= len(data), "ASF header cut short")
    header = {"name": "Header", "reserved": data[at + 28:at + 30], "at": at, "end": at + size}
    header["children"], pos = asf_objects(data, at + 30, at + size, count)
    need(pos == at + size, "header objects end at %d, the header at %d", pos, at + size)
    rest, _ = asf_objects(data, at + size, len(data))
    return {"kind": "asf", "header": header, "objects": rest, "at": at, "end": len(data)}


# --- RIFF, AIFF, WavPack, other audio ----------------------------------------------

def parse_riff(data, at):
    big = data[at:at + 4] == b"FORM"
    size = be(data, at + 4, 4) if big else le(data, at + 4, 4)
    end = at + 8 + size
    need(end <= len(data), "form cut short")
    chunks, pos = [], at + 12
    while pos < end:
        need(pos + 8 <= end, "chunk header at %d cut short", pos)
        length = be(data, pos + 4, 4) if big else le(data, pos + 4, 4)
        padded = length + (length & 1)
        need(pos + 8 + length <= end, "chunk at %d runs past the form", pos)
        chunk = {"id": data[pos:pos + 4], "payload": data[pos + 8:pos + 8 + length],
                 "pad": data[pos + 8 + length:min(pos + 8 + padded, end)], "at": pos,
                 "end": min(pos + 8 + padded, end)}
        if chunk["id"] in (b"id3 ", b"ID3 "):
            chunk["tag"] = parse_id3v2(data, pos + 8, pos + 8 + length)
            chunk["rest"] = data[chunk["tag"]["end"]:pos + 8 + length]
        chunks.append(chunk)
        pos += 8 + padded
    return {"kind": "aiff" if big else "riff", "form": data[at + 8:at + 12], "chunks": chunks,
            "after": data[end:], "at": at, "end": len(data)}


def parse_wavpack(data, at, end):
    blocks, pos = [], at
    while pos < end:
        need(data[pos:pos + 4] == b"wvpk", "no WavPack block at %d", pos)
        block_end = pos + 8 + le(data, pos + 4, 4)
        need(block_end <= end, "WavPack block at %d cut short", pos)
        blocks.append({"bytes": data[pos:block_end], "at": pos, "end": block_end})
        pos = block_end
    return {"kind": "wavpack", "blocks": blocks, "at": at, "end": end}


def dump_bytes(data):
    parts, at = [], 0
    if data[:3] == b"ID3":
        parts.append(parse_id3v2(data, 0))
        at = parts[0]["end"]
    head = data[at:at + 16]
    if head[:4] == b"OggS":
        parts.append(parse_ogg(data, at))
    elif head[4:8] == b"ftyp":
        parts.append(parse_mp4(data, at))
    elif head == guid("75B22630-668E-11CF-A6D9-00AA0062CE6C"):
        parts.append(parse_asf(data, at))
    elif head[:4] in (b"RIFF", b"FORM"):
        parts.append(parse_riff(data, at))
    else:
        end, trailing = trailing_tags(data, at)
        if head[:4] == b"fLaC":
            parts.append(parse_flac(data, at, end))
        elif head[:4] == b"wvpk":
            parts.append(parse_wavpack(data, at, end))
        elif head[:4] == b"MAC ":
            parts.append({"kind": "monkey", "bytes": data[at:end], "at": at, "end": end})
        else:
            start = len(data[at:end]) - len(data[at:end].lstrip(b"\0"))
            need(end - at > start + 1 and data[at + start] == 0xFF and
                 data[at + start + 1] & 0xE0 == 0xE0, "no audio at %d", at)
            parts.append({"kind": "mpeg", "bytes": data[at:end], "at": at, "end": end})
        parts += trailing
    return {"size": len(data), "parts": parts}


def dump(path):
    with open(path, "rb") as f:
        return dump_bytes(f.read())


def structures(dumped):
    """(label, at, end) of every structure found, in file order."""
    out = []

    def visit(node, label):
        if isinstance(node, dict):
            if "at" in node and "end" in node:
                name = next((node[k] for k in ("kind", "name", "type", "id", "key") if k in node),
                            label)
                out.append((name.decode("latin-1") if isinstance(name, bytes) else str(name),
                            node["at"], node["end"]))
            for key, value in node.items():
                if isinstance(value, (dict, list)):
                    visit(value, key)
        elif isinstance(node, list):
            for item in node:
                visit(item, label)
    visit(dumped["parts"], "part")
    return sorted(out, key=lambda s: (s[1], -s[2]))


# --- ffmpeg -------------------------------------------------------------------------

def audio_digest(path):
    """The MD5 of the audio packets as ffmpeg demuxes them, or None."""
    done = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:a", "-c", "copy",
                           "-f", "md5", "-"], capture_output=True, stdin=subprocess.DEVNULL)
    return done.stdout.strip().decode() if done.returncode == 0 and not done.stderr else None


def decode_errors(path):
    """What ffmpeg says when it decodes all of the file; empty when nothing."""
    done = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "null", "-"],
                          capture_output=True, stdin=subprocess.DEVNULL)
    text = done.stderr.decode("utf-8", errors="replace")
    return text if text or done.returncode == 0 else "exit status %d" % done.returncode


# --- Comparison ---------------------------------------------------------------------
#
# Each dump is reduced to its essence: everything but the album sort and the
# sizes, counts, offsets and checksums that follow from the bytes. The
# essences must be equal; the sort values and the consistency of the derived
# numbers are checked on their own.

class Sorts:
    def __init__(self):
        self.found = []  # (place, value)

    def add(self, place, value):
        self.found.append((place, value))


def id3_essence(tag, sorts, place):
    frames = []
    for frame in tag["frames"]:
        if frame["id"] in ID3_SORT:
            for value in id3_text_values(frame["data"]):
                sorts.add(place, value)
        else:
            frames.append((frame["id"], frame["flags"], frame["data"]))
    if not frames:  # a tag that holds only the sort is no tag
        return None
    return ("id3v2", tag["version"], tag["flags"], tag["extended"], frames, tag["footer"])


def ape_essence(tag, sorts):
    items = []
    for item in tag["items"]:
        if item["key"].upper() == SORT_KEY:
            for value in item["value"].split(b"\0"):
                sorts.add("apev2", value.decode("utf-8", errors="replace"))
        else:
            items.append((item["key"], item["flags"], item["value"]))
    if not items:
        return None
    header_flags = struct.unpack("<I", tag["header_bytes"][20:24])[0] if tag["header"] else None
    return ("apev2", tag["version"], tag["header"], tag["flags"], header_flags, items)


def comment_essence(comment, sorts, place, padded=False):
    """`padded`: zeros after the fields are padding (as in Ogg packets), of
    any length."""
    fields = []
    for field in comment["fields"]:
        if is_sort_field(field):
            sorts.add(place, field.split(b"=", 1)[1].decode("utf-8", errors="replace"))
        else:
            fields.append(field)
    trailing = comment["trailing"].rstrip(b"\0") if padded else comment["trailing"]
    return ("comment", comment.get("prefix"), comment["vendor"], fields, trailing)


def flac_essence(part, sorts):
    blocks, comments = [], 0
    for block in part["blocks"]:
        if block["type"] == 1:
            continue  # padding: its size follows the rest
        if block["type"] == 4:
            comments += 1
            place = "vorbis" if comments == 1 else "vorbis#%d" % comments
            blocks.append(("VORBIS_COMMENT", comment_essence(block["comment"], sorts, place)))
        else:
            blocks.append((block["name"], block["content"]))
    return ("flac", blocks, part["frames"]["bytes"])


def ogg_header_page_count(part, stream):
    """How many of the stream's pages hold its header packets."""
    if len(stream["packets"]) < stream["header_packets"]:
        return len(stream["pages"])
    last = stream["packets"][stream["header_packets"] - 1]["last_page"]
    return stream["pages"].index(last) + 1


def ogg_essence(part, sorts):
    streams = []
    for stream in part["streams"]:
        headers = []
        for index, packet in enumerate(stream["packets"][:stream["header_packets"]]):
            if index == 1 and stream["comment"] is not None:
                headers.append(comment_essence(stream["comment"], sorts, "vorbis", True))
            else:
                headers.append(packet["bytes"])
        audio = [part["pages"][i] for i in stream["pages"][ogg_header_page_count(part, stream):]]
        streams.append((stream["serial"], stream["codec"], headers,
                        [(p["version"], p["flags"], p["granule"], p["lacing"], p["body"])
                         for p in audio]))
    return ("ogg", streams)


def mp4_essence(boxes, sorts, parent=None):
    out = []
    for box in boxes:
        kind = box["type"]
        if kind in ("free", "skip"):
            continue
        if parent == "ilst" and kind == MP4_SORT:
            for child in box["children"]:
                if child["type"] == "data":
                    value = child["value"].decode("utf-8" if child["data_type"] == 1 else
                                                  "utf-16-be", errors="replace")
                    sorts.add("mp4", value if child["data_type"] in (1, 2) else
                              "<type %d>" % child["data_type"])
            continue
        if "children" in box:
            out.append((kind, box["header"], box.get("version_flags"),
                        mp4_essence(box["children"], sorts, kind)))
        elif kind in ("stco", "co64"):
            out.append(("chunk offsets", len(box["entries"])))
        elif kind == "tfhd" and box["base_data_offset"] is not None:
            out.append((kind, box["header"], box["payload"][:8] + box["payload"][16:]))
        elif kind == "tfra":
            payload = bytearray(box["payload"])
            for at, _ in box["entries"]:
                width = 8 if payload[0] == 1 else 4
                payload[at:at + width] = b"\0" * width
            out.append((kind, box["header"], bytes(payload)))
        else:
            out.append((kind, box["header"], box["payload"]))
    return out


def asf_value(kind, raw):
    if kind == 0:
        return raw.decode("utf-16-le", errors="replace").rstrip("\0")
    return "<type %d>" % kind


def asf_essence_list(objects, sorts):
    out = []
    for obj in objects:
        name = obj["name"]
        if name == "Padding":
            continue
        if name == "File Properties":
            out.append((name, obj["payload"][:16] + obj["payload"][24:]))
        elif name in ("Extended Content Description", "Metadata", "Metadata Library"):
            entries = []
            for entry in obj.get("descriptors", obj.get("records")):
                if utf16_name(entry["name"]) == ASF_SORT:
                    sorts.add("asf", asf_value(entry["type"], entry["value"]))
                else:
                    entries.append(tuple(v for k, v in entry.items() if k not in ("at", "end")))
            if entries or obj["trailing"]:
                out.append((name, entries, obj["trailing"]))
        elif name == "Header Extension":
            out.append((name, obj["reserved"], asf_essence_list(obj["children"], sorts)))
        else:
            out.append((name, obj["guid"], obj["payload"]))
    return out


def riff_essence(part, sorts):
    chunks = []
    for chunk in part["chunks"]:
        if "tag" in chunk:
            tag = id3_essence(chunk["tag"], sorts, "id3v2")
            if tag is not None or chunk["rest"]:
                chunks.append((chunk["id"], tag, chunk["rest"]))
        else:
            chunks.append((chunk["id"], chunk["payload"], chunk["pad"]))
    return (part["kind"], part["form"], chunks, part["after"])


def essence(dumped):
    """The dump without the sort, and the sort values found with their place."""
    sorts, parts = Sorts(), []
    for part in dumped["parts"]:
        kind = part["kind"]
        if kind == "id3v2":
            parts.append(id3_essence(part, sorts, "id3v2"))
        elif kind == "apev2":
            parts.append(ape_essence(part, sorts))
        elif kind == "flac":
            parts.append(flac_essence(part, sorts))
        elif kind == "ogg":
            parts.append(ogg_essence(part, sorts))
        elif kind == "mp4":
            parts.append(("mp4", mp4_essence(part["boxes"], sorts)))
        elif kind == "asf":
            parts.append(("asf", part["header"]["reserved"],
                          asf_essence_list(part["header"]["children"], sorts),
                          asf_essence_list(part["objects"], sorts)))
        elif kind in ("riff", "aiff"):
            parts.append(riff_essence(part, sorts))
        elif kind == "wavpack":
            parts.append(("wavpack", [b["bytes"] for b in part["blocks"]]))
        else:
            parts.append((kind, part["bytes"]))
    return [p for p in parts if p is not None], sorts.found


def consistency(dumped):
    """What does not add up inside one dump."""
    problems = []
    for part in dumped["parts"]:
        if part["kind"] == "ogg":
            problems += part["problems"]
            for stream in part["streams"]:
                pages = [part["pages"][i] for i in stream["pages"]]
                for page in pages:
                    if not page["crc_valid"]:
                        problems.append("page %d of stream %d: bad CRC" %
                                        (page["sequence"], stream["serial"]))
                sequences = [p["sequence"] for p in pages]
                if sequences != list(range(sequences[0], sequences[0] + len(pages))):
                    problems.append("stream %d: page sequence %s" % (stream["serial"],
                                                                     sequences))
                flags = [p["flags"] & 6 for p in pages]
                expected = [2] + [0] * (len(pages) - 1)
                expected[-1] |= 4
                if flags != expected:
                    problems.append("stream %d: begin/end flags %s" % (stream["serial"], flags))
                headers = ogg_header_page_count(part, stream)
                if headers < len(stream["pages"]) and any(
                        p["first_page"] == stream["pages"][headers - 1]
                        for p in stream["packets"][stream["header_packets"]:]):
                    problems.append("stream %d: audio starts on a header page" %
                                    stream["serial"])
                ends = {packet["last_page"] for packet in stream["packets"]}
                for index, page in zip(stream["pages"], pages):
                    # -1 on a page where no packet ends; 0 for the headers.
                    header = index in stream["pages"][:ogg_header_page_count(part, stream)]
                    if index not in ends and page["granule"] != -1 or \
                            header and index in ends and page["granule"] != 0:
                        problems.append("page %d has granule %d" %
                                        (page["sequence"], page["granule"]))
        elif part["kind"] == "flac":
            frames = part["frames"]["bytes"]
            if frames and (frames[0] != 0xFF or frames[1] & 0xFE != 0xF8):
                problems.append("no FLAC frame after the metadata")
            if part["blocks"][0]["type"] != 0:
                problems.append("FLAC metadata does not start with STREAMINFO")
            for block in part["blocks"]:
                if block["type"] == 1 and block["content"].strip(b"\0"):
                    problems.append("PADDING at %d holds data" % block["at"])
                if block["type"] == 4 and block["comment"]["trailing"]:
                    problems.append("VORBIS_COMMENT at %d has bytes after its fields" %
                                    block["at"])
        elif part["kind"] == "id3v2" and not part["padding_is_zero"]:
            problems.append("ID3v2 padding holds data")
        elif part["kind"] == "apev2" and part["header"]:
            header = struct.unpack("<III", part["header_bytes"][8:20])
            footer = (part["version"], part["end"] - part["at"] - 32, len(part["items"]))
            if header != footer:
                problems.append("APE header says %s, the footer %s" % (header, footer))
    return problems


def mp4_offsets(part):
    """Every absolute file offset the boxes hold, in order, with its kind."""
    out = []
    for box in walk_boxes(part["boxes"]):
        if box["type"] in ("stco", "co64"):
            out += [("chunk offset", v) for v in box["entries"]]
        elif box["type"] == "tfhd" and box["base_data_offset"] is not None:
            out.append(("tfhd base", box["base_data_offset"]))
        elif box["type"] == "tfra":
            out += [("tfra moof", v) for _, v in box["entries"]]
    return out


def moved_offset(value, before, after):
    """Where `value`, inside a top-level box of `before`, is in `after`."""
    def anchors(part):
        seen, out = {}, []
        for box in part["boxes"]:
            if box["type"] in ("free", "skip"):
                continue
            n = seen[box["type"]] = seen.get(box["type"], -1) + 1
            out.append(((box["type"], n), box["at"], box["end"]))
        return out
    moved = dict((key, at) for key, at, _ in anchors(after))
    for key, at, end in anchors(before):
        if at <= value < end:
            return value - at + moved[key] if key in moved else None
    return None


def cross_checks(before, after):
    problems = []
    pairs = [(b, a) for b, a in zip(before["parts"], after["parts"]) if b["kind"] == a["kind"]]
    for b, a in pairs:
        if b["kind"] == "mp4":
            old, new = mp4_offsets(b), mp4_offsets(a)
            if [k for k, _ in old] != [k for k, _ in new]:
                problems.append("mp4 offsets: %d before, %d after" % (len(old), len(new)))
                continue
            for (kind, value), (_, now) in zip(old, new):
                expected = moved_offset(value, b, a)
                if now != expected:
                    problems.append("%s %d became %d, expected %s" % (kind, value, now, expected))
                    break
        elif b["kind"] == "asf":
            props = [o for o in b["header"]["children"] if o["name"] == "File Properties"]
            props_after = [o for o in a["header"]["children"] if o["name"] == "File Properties"]
            if props and props[0]["file_size"] == before["size"] and \
                    props_after and props_after[0]["file_size"] != after["size"]:
                problems.append("ASF file size says %d, the file has %d" %
                                (props_after[0]["file_size"], after["size"]))
    return problems


def short(value, limit=120):
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + "...(%d chars)" % len(text)


def diff(a, b, path, out, limit=12):
    """Where the essences differ: "/name" for a record that starts with its
    name, ".n" for its fields, "[n]" for items of a list."""
    if a == b or len(out) >= limit:
        return
    if isinstance(a, tuple) and isinstance(b, tuple) and a and b and isinstance(a[0], str) \
            and a[0] == b[0] and len(a) == len(b):
        for i, (x, y) in enumerate(zip(a[1:], b[1:]), 1):
            diff(x, y, "%s/%s.%d" % (path, a[0], i), out, limit)
        return
    if isinstance(a, (tuple, list)) and isinstance(b, (tuple, list)):
        for i, (x, y) in enumerate(zip(a, b)):
            diff(x, y, "%s[%d]" % (path, i), out, limit)
        if len(a) != len(b):
            out.append("%s: %d items before, %d after; extra: %s" %
                       (path, len(a), len(b), short(a[len(b):] or b[len(a):])))
        return
    out.append("%s: %s before, %s after" % (path, short(a), short(b)))


def primary_place(dumped):
    """The tag that holds the album sort: the container's own, else ID3v2
    when the file has one, else APE."""
    kinds = [part["kind"] for part in dumped["parts"]]
    for kind, place in (("flac", "vorbis"), ("ogg", "vorbis"), ("mp4", "mp4"), ("asf", "asf"),
                        ("riff", "id3v2"), ("aiff", "id3v2"), ("id3v2", "id3v2")):
        if kind in kinds:
            return place
    return "apev2"


def differences(before, after, sort):
    """What differs between the dumps besides the album sort, which must be
    `sort` afterwards (None: absent), held once, by the tag the tool writes:
    the first comment list, the ilst, the ASF header, ID3v2 when the file has
    one, else APE. Other tags must hold no album sort afterwards. Empty when
    all is as it should be."""
    problems = ["before: " + p for p in consistency(before)]
    problems += ["after: " + p for p in consistency(after)]
    old, _ = essence(before)
    new, found = essence(after)
    diff(old, new, "", problems)
    primary = primary_place(after)
    held = [value for place, value in found if place == primary]
    wanted = [] if sort is None else [sort]
    if held != wanted:
        problems.append("album sort in %s: %r, expected %r" % (primary, held, wanted))
    stray = [(place, value) for place, value in found if place != primary]
    if stray:
        problems.append("album sort left in other tags: %r" % stray)
    problems += cross_checks(before, after)
    return problems


# --- Self-test ---------------------------------------------------------------------

def self_test():
    import os
    import shutil
    import tempfile
    from mutagen.apev2 import APEv2
    from mutagen.asf import ASF
    from mutagen.flac import FLAC
    from mutagen.id3 import ID3, TALB, TIT2, TPE1, TSOA, TXXX
    from mutagen.mp4 import MP4
    from mutagen.oggvorbis import OggVorbis
    from mutagen.wave import WAVE

    folder = tempfile.mkdtemp(prefix="raw-dump-")
    failures = []

    def check(condition, what):
        print(("ok   " if condition else "FAIL ") + what)
        if not condition:
            failures.append(what)

    def make(name, *args):
        path = os.path.join(folder, name)
        subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                        "sine=frequency=440:duration=0.5", *args, path], check=True,
                       stdin=subprocess.DEVNULL)
        return path

    def copy(path, name):
        return shutil.copy(path, os.path.join(folder, name))

    try:
        # FLAC: fields in the order and case mutagen was given them.
        flac = make("a.flac")
        f = FLAC(flac)
        f.tags.clear()
        f.tags.append(("title", "Hey You"))
        f.tags.append(("Artist", "Pink Floyd"))
        f.tags.append(("ALBUM", "The Wall"))
        f.tags.append(("COMMENT", "123456789"))
        f.save()
        d = dump(flac)
        blocks = d["parts"][0]["blocks"]
        fields = [b for b in blocks if b["type"] == 4][0]["comment"]["fields"]
        check(fields == [b"title=Hey You", b"Artist=Pink Floyd", b"ALBUM=The Wall",
                         b"COMMENT=123456789"],
              "FLAC fields in order and case: %r" % fields)
        check(blocks[-1]["last"] and not any(b["last"] for b in blocks[:-1]),
              "FLAC last flag on the last block only")
        check(differences(d, dump(flac), None) == [], "a FLAC equals itself")
        sorted_flac = copy(flac, "sorted.flac")
        f = FLAC(sorted_flac)
        f["albumsort"] = "1979 Wall"
        f.save()
        got = differences(d, dump(sorted_flac), "1979 Wall")
        check(got == [], "mutagen's added album sort is the only difference: %r" % got)
        check(differences(d, dump(sorted_flac), "1980 Wall") != [], "a wrong sort value is seen")
        with open(sorted_flac, "rb") as fh:
            data = fh.read()
        recased = data.replace(b"Artist=Pink", b"ARTIST=Pink")
        got = differences(d, dump_bytes(recased), "1979 Wall")
        check(len(got) == 1 and "ARTIST" in got[0], "a key's case change is seen: %r" % got)
        one, two = data.index(b"Artist=Pink Floyd"), data.index(b"COMMENT=123456789")
        swapped = data[:one] + data[two:two + 17] + data[one + 17:two] + data[one:one + 17] + \
            data[two + 17:]
        check(differences(d, dump_bytes(swapped), "1979 Wall") != [], "a field swap is seen")

        # Ogg Vorbis: mutagen rebuilds the header pages and renumbers the rest.
        ogg = make("a.ogg", "-c:a", "libvorbis")
        v = OggVorbis(ogg)
        v.tags.clear()
        v.tags.append(("Album", "The Wall"))
        v.tags.append(("artist", "Pink Floyd"))
        v.save()
        d = dump(ogg)
        stream = d["parts"][0]["streams"][0]
        check(stream["codec"] == "vorbis" and stream["comment"]["fields"] ==
              [b"Album=The Wall", b"artist=Pink Floyd"], "Ogg comment fields in order and case")
        check(all(p["crc_valid"] for p in d["parts"][0]["pages"]), "Ogg CRCs are valid")
        grown = copy(ogg, "grown.ogg")
        v = OggVorbis(grown)
        v["ALBUMSORT"] = "x" * 70000  # two more pages: every audio page renumbered
        v.save()
        after = dump(grown)
        check(len(after["parts"][0]["pages"]) > len(d["parts"][0]["pages"]), "Ogg pages added")
        got = differences(d, after, "x" * 70000)
        check(got == [], "Ogg: the long sort is the only difference: %r" % got)
        with open(grown, "rb") as fh:
            data = bytearray(fh.read())
        data[-1] ^= 1
        got = differences(d, dump_bytes(bytes(data)), "x" * 70000)
        check(any("bad CRC" in p for p in got) and any("[3]" in p for p in got),
              "a changed audio byte and its CRC are seen: %r" % got[:2])

        # MP4: ilst items in order, with the chunk offsets that follow moov.
        m4a = make("a.m4a", "-c:a", "aac", "-movflags", "+faststart")
        m = MP4(m4a)
        m["\xa9nam"], m["\xa9ART"] = "Hey You", "Pink Floyd"
        m.save()
        d = dump(m4a)
        ilst = [b for b in walk_boxes(d["parts"][0]["boxes"]) if b["type"] == "ilst"][0]
        check([c["type"] for c in ilst["children"]][:2] == ["\xa9nam", "\xa9ART"],
              "ilst items in order: %r" % [c["type"] for c in ilst["children"]])
        sorted_m4a = copy(m4a, "sorted.m4a")
        m = MP4(sorted_m4a)
        m["soal"] = "1979 Wall" * 300  # more than the free space: moov grows
        m.save()
        got = differences(d, dump(sorted_m4a), "1979 Wall" * 300)
        check(got == [], "MP4: the sort is the only difference: %r" % got)
        with open(sorted_m4a, "rb") as fh:
            data = bytearray(fh.read())
        stco = [b for b in walk_boxes(dump_bytes(bytes(data))["parts"][0]["boxes"])
                if b["type"] == "stco"][0]
        data[stco["at"] + 19] ^= 1  # the first chunk offset
        got = differences(d, dump_bytes(bytes(data)), "1979 Wall" * 300)
        check(any("chunk offset" in p for p in got), "a wrong chunk offset is seen: %r" % got)

        # ID3v2 frames in file order; APE keys as stored.
        mp3 = make("a.mp3", "-c:a", "libmp3lame", "-id3v2_version", "0", "-write_xing", "0")
        tags = ID3()
        tags.add(TIT2(encoding=3, text="Hey You"))
        tags.add(TPE1(encoding=3, text="Pink Floyd"))
        tags.add(TSOA(encoding=0, text="1979 Wall"))
        tags.add(TALB(encoding=3, text="The Wall"))
        tags.save(mp3, v2_version=3)
        ape = APEv2()
        ape["Artist"], ape["ALBUMSORT"] = "Pink Floyd", "1979 Wall"
        ape.save(mp3)
        d = dump(mp3)
        check([p["kind"] for p in d["parts"]] == ["id3v2", "mpeg", "apev2"],
              "MP3 parts: %r" % [p["kind"] for p in d["parts"]])
        check(d["parts"][0]["version"] == (3, 0) and
              [f["id"] for f in d["parts"][0]["frames"]] == ["TIT2", "TPE1", "TSOA", "TALB"] or
              sorted(f["id"] for f in d["parts"][0]["frames"]) ==
              ["TALB", "TIT2", "TPE1", "TSOA"], "ID3v2 frames seen")
        check([i["key"] for i in d["parts"][2]["items"]] == [b"Artist", b"ALBUMSORT"],
              "APE keys in order and case")
        got = differences(d, d, "1979 Wall")
        check(any("left in other tags" in p for p in got), "an APE sort beside ID3v2 is seen")

        # ASF: descriptors in order, names that differ only in case apart.
        wma = make("a.wma", "-c:a", "wmav2")
        w = ASF(wma)
        w["WM/AlbumTitle"], w["MyCustom"], w["mycustom"] = "The Wall", "one", "two"
        w.save()
        d = dump(wma)
        descriptors = [o for o in d["parts"][0]["header"]["children"]
                       if o["name"] == "Extended Content Description"][0]["descriptors"]
        names = [utf16_name(x["name"]) for x in descriptors]
        check(names[-3:] == ["WM/AlbumTitle", "MyCustom", "mycustom"], "ASF names: %r" % names)
        sorted_wma = copy(wma, "sorted.wma")
        w = ASF(sorted_wma)
        w["WM/AlbumSortOrder"] = "1979 Wall"
        w.save()
        after = dump(sorted_wma)
        got = differences(d, after, "1979 Wall")
        check(got == [], "ASF: the sort is the only difference: %r" % got)
        with open(sorted_wma, "rb") as fh:
            data = fh.read()
        one, two = "MyCustom".encode("utf-16-le"), "mycustom".encode("utf-16-le")
        swapped = data.replace(one, b"\xff" * 16).replace(two, one).replace(b"\xff" * 16, two)
        got = differences(d, dump_bytes(swapped), "1979 Wall")
        check(len(got) == 2, "ASF: names swapped are seen: %r" % got)
        plain = make("plain.wma", "-c:a", "wmav2")  # mutagen leaves the file size as it was
        with open(plain, "rb") as fh:
            resized = bytearray(fh.read())
        props = [o for o in dump(plain)["parts"][0]["header"]["children"]
                 if o["name"] == "File Properties"][0]
        resized[props["at"] + 40] ^= 1
        got = differences(dump(plain), dump_bytes(bytes(resized)), None)
        check(got and "file size" in got[-1], "ASF: a wrong file size is seen: %r" % got)

        # WAVE: the tag chunk's frames as written, a swap of two of them seen.
        wav = make("a.wav")
        w = WAVE(wav)
        w.add_tags()
        w.tags.add(TXXX(encoding=3, desc="b", text="one"))
        w.tags.add(TXXX(encoding=3, desc="a", text="two"))
        w.save()
        d = dump(wav)
        chunks = d["parts"][0]["chunks"]
        frames = [f for c in chunks if "tag" in c for f in c["tag"]["frames"]]
        check([c["id"] for c in chunks][-1] == b"id3 " and
              [f["data"][1:2] for f in frames] == [b"a", b"b"], "WAVE tag chunk seen")
        sorted_wav = copy(wav, "sorted.wav")
        w = WAVE(sorted_wav)
        w.tags.add(TSOA(encoding=3, text="1979 Wall"))
        w.save()
        got = differences(d, dump(sorted_wav), "1979 Wall")
        check(got == [], "WAVE: the sort is the only difference: %r" % got)
        with open(sorted_wav, "rb") as fh:
            data = fh.read()
        one, two = [f for c in dump_bytes(data)["parts"][0]["chunks"] if "tag" in c
                    for f in c["tag"]["frames"]][:2]  # the same size
        swapped = data[:one["at"]] + data[two["at"]:two["end"]] + data[one["at"]:one["end"]] + \
            data[two["end"]:]
        check(differences(d, dump_bytes(swapped), "1979 Wall") != [], "WAVE: a frame swap seen")
    finally:
        shutil.rmtree(folder)
    print("%d failures" % len(failures))
    return not failures


if __name__ == "__main__":
    if sys.argv[1:] == ["--self-test"]:
        sys.exit(0 if self_test() else 1)
    for name in sys.argv[1:]:
        print(name)
        pprint.pprint(dump(name), width=100, compact=True)
