#!/usr/bin/python3
"""The built tool over one file at a time, for a table of layouts of every
container it edits (made with ffmpeg and mutagen, and byte surgery where
they cannot), checked with the raw reader of testing/raw_dump.py: only the
album sort, and what must follow it, may change; the audio stays the same
packets and still decodes. Also files cut short, which must never be
written, and a full disk.

Usage: layouts_test.py KESTRUNE_BINARY SAMPLE_LIBRARY
"""
import collections
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import folder_library_test as library_test  # noqa: E402
import raw_dump  # noqa: E402
from folder_library_test import (BANNER, CALCULATING, DONE, INTERFACING,  # noqa: E402
                                 UPDATING)

from mutagen.asf import ASF  # noqa: E402

BINARY = SAMPLE = None
MATERIAL = None  # the encoded audio every row starts from

ARTIST, TITLE, YEAR = "Pink Floyd", "Hey You", "1979"
LONG_ALBUM = "The " + "Long " * 9000 + "Wall"  # a comment that needs more Ogg pages


def content(path):
    with open(path, "rb") as f:
        return f.read()


def put(path, data):
    with open(path, "wb") as f:
        f.write(data)


def run(library, mode, limit_file_size=None):
    library_test.BINARY = BINARY
    return library_test.run(library, mode, limit_file_size)


# --- What the tool prints ---------------------------------------------------------

def line(verb, album, old, new):
    return b'%s "%s" SortAlbum "%s" to "%s"\r\n' % (
        verb, album.encode("latin-1"), old.encode("latin-1"), new.encode("latin-1"))


def write_output(verb, album, old, new):
    return BANNER + INTERFACING + CALCULATING + b"." + UPDATING + line(verb, album, old, new) + \
        DONE


def clear_output(album, old):
    return BANNER + INTERFACING + UPDATING + line(b"Changed", album, old, "") + DONE


def differing_lines(out, expected):
    """The lines of each from the first that differs, shortened."""
    ours, theirs = out.split(b"\r\n"), expected.split(b"\r\n")
    same = next((i for i, (x, y) in enumerate(zip(ours, theirs)) if x != y),
                min(len(ours), len(theirs)))
    return ([raw_dump.short(x, 160) for x in ours[same:]],
            [raw_dump.short(x, 160) for x in theirs[same:]])


def ignored_count(out, tracks):
    if b"No suitable tracks were found." in out:
        return tracks
    found = re.search(rb"Warning: (\d+) of your tracks were ignored", out)
    return int(found.group(1)) if found else 0


# The lines on stderr for files the tool refuses or cannot read; the one
# place that knows their form.
REFUSAL = re.compile(rb"^kestrune: (.+): (refused|not a track): (\S.*)$")


def check_refusal_lines(test, err, paths, refused):
    """Every line names one of `paths` with a reason, none twice, and each
    of the `refused` writes has one."""
    lines = err.splitlines()
    named = []
    for text in lines:
        found = REFUSAL.match(text)
        test.assertIsNotNone(found, text)
        named.append(found.group(1).decode("latin-1"))
    test.assertEqual(len(named), len(set(named)), err)
    test.assertTrue(set(named) <= set(paths), err)
    test.assertGreaterEqual(sum(1 for t in lines if b": refused: " in t), refused, err)


# --- Byte builders ------------------------------------------------------------------

def le32(n):
    return struct.pack("<I", n)


def vorbis_comment(fields, vendor=b"reference libFLAC 1.4.2 20221022"):
    return le32(len(vendor)) + vendor + le32(len(fields)) + \
        b"".join(le32(len(f)) + f for f in fields)


def flac_file(blocks, frames):
    out = b"fLaC"
    for i, (kind, body) in enumerate(blocks):
        last = 0x80 if i == len(blocks) - 1 else 0
        out += bytes([kind | last]) + len(body).to_bytes(3, "big") + body
    return out + frames


def flac_picture(image):
    def text(t):
        return struct.pack(">I", len(t)) + t
    return struct.pack(">I", 3) + text(b"image/png") + text(b"cover") + \
        struct.pack(">IIII", 320, 240, 24, 0) + text(image)


def ape_tag(items, header=True):
    """An APEv2 tag of (key, value, flags) items, keys as given."""
    body = b"".join(struct.pack("<II", len(v), flags) + k + b"\0" + v for k, v, flags in items)
    size = len(body) + 32

    def frame(flags):
        return b"APETAGEX" + struct.pack("<IIII", 2000, size, len(items), flags) + b"\0" * 8
    return (frame(0xA0000000) if header else b"") + body + frame(0x80000000 if header else 0)


def box(kind, payload=b"", children=None, version_flags=None):
    node = {"type": kind, "header": 8}
    if children is not None:
        node["children"], node["version_flags"] = children, version_flags
    else:
        node["payload"] = payload
    return node


def data_box(kind, value):
    return box("data", struct.pack(">I", kind) + b"\0\0\0\0" + value)


def render_box(node):
    if node["type"] == "(zeros)":
        return node["payload"]
    assert node["header"] == 8
    if "children" in node:
        payload = (node.get("version_flags") or b"") + b"".join(map(render_box, node["children"]))
    elif node["type"] in ("stco", "co64") and "entries" in node:
        width = 4 if node["type"] == "stco" else 8
        payload = node["payload"][:8] + b"".join(v.to_bytes(width, "big") for v in
                                                 node["entries"])
    else:
        payload = node["payload"]
    return struct.pack(">I", 8 + len(payload)) + node["type"].encode("latin-1") + payload


def mp4_surgery(data, edit):
    """The MP4 with its box tree changed by `edit`, chunk offsets moved with
    the mdat."""
    boxes = raw_dump.dump_bytes(data)["parts"][0]["boxes"]
    mdat_before = next(b["at"] for b in boxes if b["type"] == "mdat")
    edit(boxes)
    at = 0
    for node in boxes:
        if node["type"] == "mdat":
            break
        at += len(render_box(node))
    for node in raw_dump.walk_boxes(boxes):
        if node["type"] in ("stco", "co64"):
            node["entries"] = [v + at - mdat_before for v in node["entries"]]
    return b"".join(map(render_box, boxes))


def find_box(boxes, path):
    for node in boxes:
        if node["type"] == path[0]:
            return node if len(path) == 1 else find_box(node["children"], path[1:])
    raise KeyError(path)


# --- The audio every row starts from ------------------------------------------------

class Material:
    def __init__(self, folder):
        self.folder = folder
        self.cache = {}
        flac = raw_dump.dump_bytes(self.encode("base.flac", "-c:a", "flac"))["parts"][0]
        self.streaminfo = flac["blocks"][0]["content"]
        self.flac_frames = flac["frames"]["bytes"]
        self.mpeg = self.encode("base.mp3", "-c:a", "libmp3lame", "-id3v2_version", "0")
        wavpack = raw_dump.dump_bytes(self.encode("base.wv", "-c:a", "wavpack"))
        self.wavpack = b"".join(b["bytes"] for b in wavpack["parts"][0]["blocks"])
        self.wma = self.encode("base.wma", "-c:a", "wmav2")
        # Pictures that decode, so that ffmpeg's check of the whole file passes.
        noise = ["-f", "lavfi", "-i", "color=c=gray:s=320x240,noise=alls=100:allf=t",
                 "-frames:v", "1"]
        self.png = self.encode("cover.png", "-c:v", "png", source=noise)  # 200 KB
        self.jpeg = self.encode("cover.jpg", "-q:v", "2", source=noise)

    def encode(self, name, *args, album=None, source=None):
        key = (name, args, album)
        if key not in self.cache:
            path = os.path.join(self.folder, "%d %s" % (len(self.cache), name))
            tags = ["-map_metadata", "-1", "-fflags", "+bitexact"] if album is None else \
                ["-metadata", "artist=" + ARTIST, "-metadata", "album=" + album,
                 "-metadata", "title=" + TITLE, "-metadata", "date=" + YEAR]
            source = source or ["-f", "lavfi", "-i", "sine=frequency=440:duration=1", "-ac", "2"]
            subprocess.run(["ffmpeg", "-v", "error", *source, *tags, *args, path], check=True,
                           stdin=subprocess.DEVNULL)
            self.cache[key] = content(path)
        return self.cache[key]


# --- The layouts ---------------------------------------------------------------------

STANDARD = [b"ARTIST=Pink Floyd", b"ALBUM=The Wall", b"TITLE=Hey You", b"DATE=1979"]


def flac_rows():
    def make(blocks):
        return lambda m: flac_file([(0, m.streaminfo)] + blocks, m.flac_frames)
    comment = (4, vorbis_comment(STANDARD))
    return [
        Row("flac with padding", ".flac", make([comment, (1, bytes(8192))]), in_place=True,
            padding=8192),
        Row("flac without padding", ".flac", make([comment])),
        Row("flac two comment blocks", ".flac",
            make([comment, (4, vorbis_comment([b"DESCRIPTION=the second block"], b"other")),
                  (1, bytes(1024))])),
        Row("flac picture before the comment", ".flac",
            lambda m: flac_file([(0, m.streaminfo), (6, flac_picture(m.png)), comment,
                               (1, bytes(4096))], m.flac_frames)),
        Row("flac picture after the comment", ".flac",
            lambda m: flac_file([(0, m.streaminfo), comment, (6, flac_picture(m.png)),
                               (1, bytes(4096))], m.flac_frames)),
        Row("flac odd case and order", ".flac",
            make([(4, vorbis_comment([b"date=1979", b"tItLe=Hey You", b"AlbumSort=1900 Old",
                                      b"album=The Wall", b"Artist=Pink Floyd",
                                      b"ReplayGain_Track_Gain=-1.00 dB"])), (1, bytes(512))]),
            old="1900 Old"),
        Row("flac empty values and fields without =", ".flac",
            make([(4, vorbis_comment([b"COMMENT=", b"ARTIST=Pink Floyd", b"NO EQUALS SIGN", b"",
                                      b"ALBUM=The Wall", b"ALBUMSORT=", b"=no key",
                                      b"TITLE=Hey You", b"DATE=1979"], b"")), (1, bytes(256))])),
    ]


def ogg_rows():
    return [
        Row("ogg vorbis", ".ogg", lambda m: m.encode("v.ogg", "-c:a", "libvorbis",
                                                      album="The Wall")),
        Row("ogg vorbis long value", ".ogg",
            lambda m: m.encode("v.ogg", "-c:a", "libvorbis", album=LONG_ALBUM),
            album=LONG_ALBUM, more_pages=True),
        Row("ogg opus", ".opus", lambda m: m.encode("o.opus", "-c:a", "libopus",
                                                     album="The Wall")),
        Row("ogg opus long value", ".opus",
            lambda m: m.encode("o.opus", "-c:a", "libopus", album=LONG_ALBUM),
            album=LONG_ALBUM, more_pages=True),
        Row("ogg speex", ".spx", lambda m: m.encode("s.spx", "-c:a", "libspeex", "-ar", "16000",
                                                     "-ac", "1", album="The Wall")),
    ]


def m4a_free_atoms(m):
    def edit(boxes):
        meta = find_box(boxes, ["moov", "udta", "meta"])
        meta["children"].append(box("free", bytes(1024)))
        moov = find_box(boxes, ["moov"])
        moov["children"].insert(len(moov["children"]) - 1, box("free", bytes(300)))
    return mp4_surgery(m.encode("f.m4a", "-c:a", "aac", "-movflags", "+faststart",
                                album="The Wall"), edit)


def m4a_odd_items(m):
    def edit(boxes):
        ilst = find_box(boxes, ["moov", "udta", "meta", "ilst"])
        freeform = box("----", children=[
            box("mean", b"\0\0\0\0com.apple.iTunes"), box("name", b"\0\0\0\0iTunNORM"),
            data_box(1, b" 00000A2C 00000A2C 00003C9C")])
        ilst["children"][:0] = [freeform, box("gnre", children=[data_box(0, b"\0\x12")])]
        ilst["children"] += [
            box("\xa9cmt", children=[data_box(2, "Überall".encode("utf-16-be"))]),
            box("kEsT", children=[data_box(1, b"an item no one knows")]),
            box("\xa9wrt", children=[data_box(1, b"Waters"), data_box(1, b"Gilmour")])]
    return mp4_surgery(m.encode("f.m4a", "-c:a", "aac", "-movflags", "+faststart",
                                album="The Wall"), edit)


def m4a_rows():
    return [
        Row("m4a faststart", ".m4a", lambda m: m.encode("f.m4a", "-c:a", "aac", "-movflags",
                                                        "+faststart", album="The Wall")),
        Row("m4a moov last", ".m4a", lambda m: m.encode("l.m4a", "-c:a", "aac",
                                                        album="The Wall")),
        Row("m4a free atoms", ".m4a", m4a_free_atoms, in_place=True),
        Row("m4a unknown, freeform, UTF-16 and gnre items", ".m4a", m4a_odd_items),
        Row("m4a fragmented", ".m4a",
            lambda m: m.encode("g.m4a", "-c:a", "aac", "-movflags", "frag_keyframe+empty_moov",
                               "-frag_duration", "200000", album="The Wall"),
            may_refuse=True),
    ]


def wma_multi_valued(m):
    path = os.path.join(m.folder, "multi.wma")
    put(path, m.wma)
    f = ASF(path)
    f["Title"], f["Author"] = TITLE, ARTIST
    f["WM/AlbumTitle"], f["WM/Year"] = "The Wall", YEAR
    f["WM/Genre"] = ["Rock", "Progressive Rock"]  # the second goes to the Metadata Library
    f.save()
    return content(path)


def ape_items(*extra):
    return [(b"Artist", b"Pink Floyd", 0), (b"Album", b"The Wall", 0), (b"Title", b"Hey You", 0),
            (b"Year", b"1979", 0)] + list(extra)


CASE_PAIR = [(b"Comment", b"in one case", 0), (b"COMMENT", b"IN ANOTHER", 0)]


def mp3_beside_id3v2(m):
    frames = [library_test.text_frame(i, t, 3) for i, t in
              (("TPE1", ARTIST), ("TALB", "The Wall"), ("TIT2", TITLE), ("TYER", YEAR))]
    return library_test.id3v2(frames, 3, 256) + m.mpeg + \
        ape_tag([(b"ALBUMSORT", b"1900 Old", 0)] + ape_items(*CASE_PAIR)) + \
        library_test.id3v1(TITLE, ARTIST, "The Wall", YEAR)


def mp3_picture(before_sort):
    def make(m):
        text = [library_test.text_frame(i, t, 3) for i, t in
                (("TPE1", ARTIST), ("TALB", "The Wall"), ("TIT2", TITLE), ("TYER", YEAR))]
        picture = library_test.frame("APIC", b"\0image/png\0\x03\0" + m.png, 3)
        sort = library_test.text_frame("TSOA", "1900 Old", 3)
        hostile = [library_test.frame(i, d, 3) for i, d in library_test.HOSTILE]
        frames = text + ([picture, sort] if before_sort else [sort, picture] + hostile)
        return library_test.id3v2(frames, 3, 1024) + m.mpeg
    return make


def other_rows():
    return [
        Row("wma multi-valued attribute", ".wma", wma_multi_valued),
        Row("wavpack ape", ".wv", lambda m: m.wavpack + ape_tag(
            ape_items(*CASE_PAIR, (b"Cover Art (Front)", b"cover.jpg\0" + m.jpeg, 2)))),
        Row("mp3 ape beside id3v2", ".mp3", mp3_beside_id3v2, old="1900 Old"),
        Row("mp3 id3v2.3 picture before the sort", ".mp3", mp3_picture(True), old="1900 Old"),
        Row("mp3 id3v2.3 picture after the sort", ".mp3", mp3_picture(False), old="1900 Old"),
    ]


class Row(collections.namedtuple("Row", "name ext make album old in_place padding more_pages "
                                        "may_refuse")):
    """A layout: how to make it from the material, its album, the album sort
    it starts with, and what else its writes must show: staying in place
    (same inode and size), a FLAC padding of that many bytes less the field,
    more Ogg pages, or a refusal that leaves the file as it was."""

    def __new__(cls, name, ext, make, album="The Wall", old="", in_place=False, padding=None,
                more_pages=False, may_refuse=False):
        return super().__new__(cls, name, ext, make, album, old, in_place, padding, more_pages,
                               may_refuse)


ROWS = flac_rows() + ogg_rows() + m4a_rows() + other_rows()


def key_of(album):
    return YEAR + " " + (album[4:] if album.startswith("The ") else album)


def retitled(data, album):
    """The file with its album "The ..." renamed "Our ..." in every tag, in
    place (Ogg pages get their checksums back): a new key for the tool."""
    new = "Our" + album[3:]
    count = 0
    for codec in ("utf-8", "utf-16-le"):
        old_bytes, new_bytes = album[:12].encode(codec), new[:12].encode(codec)
        count += data.count(old_bytes)
        data = data.replace(old_bytes, new_bytes)
    assert count, "the album is nowhere"
    if data[:4] == b"OggS":
        data = bytearray(data)
        for page in raw_dump.dump_bytes(bytes(data))["parts"][0]["pages"]:
            at = page["at"]
            data[at + 22:at + 26] = b"\0\0\0\0"
            data[at + 22:at + 26] = le32(raw_dump.ogg_crc(data[at:page["end"]]))
        data = bytes(data)
    return data, new


def padding_of(dumped):
    return sum(len(b["content"]) for p in dumped["parts"] if p["kind"] == "flac"
               for b in p["blocks"] if b["type"] == 1)


def page_count(dumped):
    return sum(len(p["pages"]) for p in dumped["parts"] if p["kind"] == "ogg")


def setUpModule():
    global MATERIAL
    MATERIAL = Material(tempfile.mkdtemp(prefix="kestrune-material-"))


def tearDownModule():
    shutil.rmtree(MATERIAL.folder)


class Layouts(unittest.TestCase):
    """Each layout through a write, a write of a changed value and a clear."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="kestrune-layouts-")

    def tearDown(self):
        shutil.rmtree(self.folder)

    def step(self, row, path, mode, expected, sort, digest):
        """One run over the file's own library: the dumps before and after,
        or None when it was refused as the row allows."""
        before_bytes = content(path)
        before = raw_dump.dump_bytes(before_bytes)
        inode = os.stat(path).st_ino
        status, out, err = run(os.path.dirname(path), mode)
        self.assertEqual(os.listdir(os.path.dirname(path)), [os.path.basename(path)])
        refused = expected.replace(b"Changed ", b"Failed to change ").replace(
            DONE, library_test.NO_CHANGES)
        if row.may_refuse and out == refused:
            self.assertEqual(content(path), before_bytes)
            check_refusal_lines(self, err, [path], 1)
            return None
        self.assertEqual(status, 0)
        if out != expected:  # unittest's own diff recurses too deep on long lines
            self.fail("stdout %s\nexpected %s\nstderr %s" % (
                *differing_lines(out, expected), err.decode("latin-1")))
        self.assertEqual(err, b"")
        after = raw_dump.dump(path)
        self.assertEqual(raw_dump.differences(before, after, sort), [])
        self.assertEqual(raw_dump.audio_digest(path), digest)
        self.assertEqual(raw_dump.decode_errors(path), "")
        if row.in_place:
            self.assertEqual((os.stat(path).st_ino, after["size"]), (inode, before["size"]),
                             "not written in place")
        if row.padding is not None:
            field = 0 if sort is None else 4 + len(b"ALBUMSORT=" + sort.encode())
            self.assertEqual(padding_of(after), row.padding - field)
        return before, after

    def test_write_change_and_clear(self):
        for row in ROWS:
            with self.subTest(row.name):
                library = os.path.join(self.folder, row.name)
                os.mkdir(library)
                path = os.path.join(library, "track" + row.ext)
                original = row.make(MATERIAL)
                put(path, original)
                digest = raw_dump.audio_digest(path)
                self.assertIsNotNone(digest)
                self.assertEqual(raw_dump.decode_errors(path), "")
                album, key = row.album, key_of(row.album)
                dumps = self.step(row, path, "/RealWrite",
                                  write_output(b"Changed", album, row.old, key), key, digest)
                if dumps is None:
                    continue
                if row.more_pages:
                    self.assertGreater(page_count(dumps[1]), page_count(dumps[0]))
                # A new album title, same length, written over the old one.
                data, album = retitled(content(path), album)
                with open(path, "r+b") as f:
                    f.write(data)
                old, key = key, key_of(album)
                self.step(row, path, "/RealWrite", write_output(b"Changed", album, old, key), key,
                          digest)
                self.step(row, path, "/RealClear", clear_output(album, key), None, digest)
                self.assertIn(library_test.NO_CHANGES, run(library, "/RealClear")[1])


# --- Files cut short ------------------------------------------------------------------

RAW_STREAMS = ("mpeg", "frames", "monkey")  # no sizes: a cut inside them cannot be known


def whole_prefixes(dumped):
    """Cuts that leave a file as whole as any: without its trailing tags,
    or without its last fragments."""
    whole = set()
    parts = dumped["parts"]
    for index, part in enumerate(parts):
        if part["kind"] in ("apev2", "id3v1") and index > 0:
            whole.add(part["at"])
        if part["kind"] == "mp4":
            tops = [b for b in part["boxes"] if b["type"] in ("moof", "mfra")]
            whole |= {b["at"] for b in tops[1:]}
    return whole


def cut_points(data):
    """Where to cut: every structure's start and end, and a few bytes inside
    each, less the whole prefixes; each with the structure it cuts."""
    dumped = raw_dump.dump_bytes(data)
    points = {}
    kinds = [p["kind"] for p in dumped["parts"]]
    # An MP3's trailing tags are past audio whose end no size tells.
    blind = [p for p in dumped["parts"] if p["kind"] in ("apev2", "id3v1")] \
        if "mpeg" in kinds else []
    for label, at, end in raw_dump.structures(dumped):
        if any(b["at"] <= at < b["end"] for b in blind):
            continue
        inside = [] if label in RAW_STREAMS else [at + 1, (at + end) // 2, end - 1]
        for point in [at, end] + inside:
            points.setdefault(point, "%s %d-%d" % (label, at, end))
    for point in whole_prefixes(dumped) | {0, len(data)}:
        points.pop(point, None)
    return dict((p, label) for p, label in points.items() if 0 < p < len(data))


def samples():
    """(name, extension, bytes) of the sample library's audio files."""
    found = []
    for folder, _, names in sorted(os.walk(SAMPLE)):
        for name in sorted(names):
            data = content(os.path.join(folder, name))
            try:
                raw_dump.dump_bytes(data)
            except raw_dump.DumpError:
                continue  # not audio
            found.append(("sample " + name, os.path.splitext(name)[1], data))
    return found


class Truncations(unittest.TestCase):
    """Every layout and every sample, cut at each boundary and inside each
    structure, in one library per file: none may be written."""

    def test_cut_files_are_never_written(self):
        folder = tempfile.mkdtemp(prefix="kestrune-cuts-")
        try:
            for name, ext, data in [(r.name, r.ext, r.make(MATERIAL)) for r in ROWS] + samples():
                with self.subTest(name):
                    library = os.path.join(folder, name)
                    os.mkdir(library)
                    cuts = cut_points(data)
                    paths = {}
                    for point in cuts:
                        paths[point] = os.path.join(library, "cut %07d%s" % (point, ext))
                        put(paths[point], data[:point])
                    status, out, err = run(library, "/RealWrite")
                    self.assertEqual(status, 0)
                    written = [(p, cuts[p]) for p in sorted(cuts)
                               if content(paths[p]) != data[:p]]
                    self.assertEqual(written, [])
                    self.assertEqual(sorted(os.listdir(library)),
                                     sorted(os.path.basename(p) for p in paths.values()))
                    self.assertNotIn(b"Changed ", out)
                    refused = out.count(b"Failed to change ")
                    self.assertEqual(refused + ignored_count(out, len(cuts)), len(cuts), out[-300:])
                    check_refusal_lines(self, err, list(paths.values()), refused)
        finally:
            shutil.rmtree(folder)


class FullDisk(unittest.TestCase):
    """RLIMIT_FSIZE below the file's size: a write that needs a new file
    fails and leaves the file and the folder as they were."""

    def test_writes_that_need_a_new_file_fail_cleanly(self):
        folder = tempfile.mkdtemp(prefix="kestrune-full-")
        try:
            for row in ROWS:
                with self.subTest(row.name):
                    data = row.make(MATERIAL)
                    free = os.path.join(folder, row.name + " free")
                    os.mkdir(free)
                    path = os.path.join(free, "track" + row.ext)
                    put(path, data)
                    inode = os.stat(path).st_ino
                    _, free_out, _ = run(free, "/RealWrite")
                    changed = b"Changed " in free_out
                    in_place = changed and os.stat(path).st_ino == inode and \
                        os.path.getsize(path) == len(data)
                    written = content(path)
                    for limit in (1024, len(data) - 1):
                        library = os.path.join(folder, "%s %d" % (row.name, limit))
                        os.mkdir(library)
                        path = os.path.join(library, "track" + row.ext)
                        put(path, data)
                        status, out, err = run(library, "/RealWrite", limit_file_size=limit)
                        self.assertEqual(status, 0)
                        self.assertEqual(os.listdir(library), ["track" + row.ext])
                        # In place, a write below the limit needs no new space; a
                        # new file no larger than the limit fits.
                        if in_place and b"Changed " in out or \
                                changed and not in_place and len(written) <= limit:
                            self.assertEqual((out, content(path)), (free_out, written))
                            continue
                        self.assertIn(b"Failed to change ", out, limit)
                        self.assertEqual(content(path), data)
                        check_refusal_lines(self, err, [path], 1)
        finally:
            shutil.rmtree(folder)


if __name__ == "__main__":
    BINARY, SAMPLE = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
