#!/usr/bin/python3
"""The built tool over real folders of audio files, checked with an
independent reader (testing/read_tags.py: mutagen and ffmpeg) and byte
comparisons.

Usage: folder_library_test.py KESTRUNE_BINARY SAMPLE_LIBRARY
"""
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import read_tags  # noqa: E402

from mutagen.aiff import AIFF  # noqa: E402
from mutagen.apev2 import APEv2  # noqa: E402
from mutagen.asf import ASF  # noqa: E402
from mutagen.flac import FLAC  # noqa: E402
from mutagen.id3 import TSOA  # noqa: E402
from mutagen.mp4 import MP4  # noqa: E402
from mutagen.oggopus import OggOpus  # noqa: E402
from mutagen.oggvorbis import OggVorbis  # noqa: E402
from mutagen.wave import WAVE  # noqa: E402

BINARY = SAMPLE = None

BANNER = b"\r\nKestrune 1.0.0.1: sorts your iPod's albums by year.\r\nhttps://kestrune.org/\r\n\r\n"
INTERFACING = b"\r\nInterfacing with iTunes...\r\n\r\n"
CALCULATING = b"\r\nCalculating album years...\r\n\r\n"
UPDATING = b"\r\n\r\nUpdating SortAlbum fields...\r\n\r\n"
PRETENDING = b"\r\n\r\nPRETENDING to update SortAlbum fields...\r\n\r\n"
DONE = b"\r\nDone.\r\n"
NO_CHANGES = b"No changes were performed.\r\n"


def ignored(count):
    return (b"\r\nWarning: %d of your tracks were ignored by the tool due to missing tags.\r\n"
            b"Year tags, in particular, are required.\r\n" % count)


def run(library, mode, limit_file_size=None):
    env = dict(os.environ, KESTRUNE_LIBRARY=library)

    def limit():
        if limit_file_size is not None:
            import resource
            # The tool itself must take the limit as a failed write, not die of it.
            signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit_file_size, limit_file_size))

    done = subprocess.run([BINARY, mode], env=env, capture_output=True, stdin=subprocess.DEVNULL,
                          timeout=120, preexec_fn=limit)
    return done.returncode, done.stdout, done.stderr


def content(path):
    with open(path, "rb") as f:
        return f.read()


# --- ID3v2 tags built byte by byte, so that the test knows every frame -----

def syncsafe(n):
    return bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])


def frame(frame_id, data, version):
    size = syncsafe(len(data)) if version == 4 else struct.pack(">I", len(data))
    return frame_id.encode() + size + b"\0\0" + data


def text_frame(frame_id, text, version):
    return frame(frame_id, b"\0" + text.encode("latin-1"), version)


def id3v2(frames, version, padding):
    body = b"".join(frames) + b"\0" * padding
    return b"ID3" + bytes([version, 0, 0]) + syncsafe(len(body)) + body


def raw_frames(data):
    """(id, flags and data) of every frame of the ID3v2 tag at the start."""
    if data[:3] != b"ID3":
        return None
    version = data[3]
    size = (data[6] << 21) | (data[7] << 14) | (data[8] << 7) | data[9]
    at, end, frames = 10, 10 + size, []
    while at + 10 <= end and data[at] != 0:
        raw = data[at + 4:at + 8]
        length = ((raw[0] << 21) | (raw[1] << 14) | (raw[2] << 7) | raw[3]) if version == 4 \
            else struct.unpack(">I", raw)[0]
        frames.append((data[at:at + 4].decode(), data[at + 8:at + 10 + length]))
        at += 10 + length
    return frames


def id3v1(title, artist, album, year):
    def field(text, size):
        return text.encode("latin-1")[:size].ljust(size, b"\0")
    return b"TAG" + field(title, 30) + field(artist, 30) + field(album, 30) + field(year, 4) + \
        b"\0" * 30 + b"\x11"


HOSTILE = [  # frames that TagLib's own ID3v2.3 rendering rewrites or drops
    ("TCON", b"\0(17)Rock"), ("RVAD", b"\x03\x10\x00\x40\x00\x40\x00\x00\x00\x00"),
    ("EQUA", b"\x10\x80\x00\x00\x10"), ("TRDA", b"\0May 3rd"), ("TSIZ", b"\x001234"),
]


class Fixtures:
    def __init__(self, folder):
        self.folder = folder
        mp3 = content(os.path.join(SAMPLE, "Pink Floyd/The Wall/01 In the Flesh.mp3"))
        self.mpeg_audio = mp3[10 + ((mp3[6] << 21) | (mp3[7] << 14) | (mp3[8] << 7) | mp3[9]):]

    def mp3(self, name, version, padding, sort=None, v1=False, ape=False, v2=True):
        frames = [text_frame("TPE1", "Pink Floyd", version), text_frame("TALB", "The Wall", version),
                  text_frame("TIT2", "Hey You", version),
                  text_frame("TYER" if version == 3 else "TDRC", "1979", version)]
        frames += [frame(i, d, version) for i, d in HOSTILE] if version == 3 else []
        if sort is not None:
            frames.insert(2, text_frame("TSOA", sort, version))
        data = (id3v2(frames, version, padding) if v2 else b"") + self.mpeg_audio
        path = os.path.join(self.folder, name)
        with open(path, "wb") as f:
            f.write(data + (id3v1("Hey You", "Pink Floyd", "The Wall", "1979") if v1 and not ape
                            else b""))
        if ape:
            tags = APEv2()
            tags["Artist"], tags["Album"], tags["Title"] = "Pink Floyd", "The Wall", "Hey You"
            if sort is not None and not v2:
                tags["ALBUMSORT"] = sort
            tags.save(path)
            with open(path, "ab") as f:
                f.write(id3v1("Hey You", "Pink Floyd", "The Wall", "1979"))
        return path

    def sample(self, relative, name, sort=None, year=False):
        path = os.path.join(self.folder, name)
        shutil.copyfile(os.path.join(SAMPLE, relative), path)
        ext = os.path.splitext(name)[1]
        if year:  # the sample is the library's track without one
            f = OggOpus(path)
            f["DATE"] = "1977-06-01"
            f.save()
        if sort is not None:
            if ext in (".flac", ".ogg", ".opus"):
                f = {".flac": FLAC, ".ogg": OggVorbis, ".opus": OggOpus}[ext](path)
                f["ALBUMSORT"] = sort
                f.save()
            elif ext in (".wav", ".aiff"):
                f = (WAVE if ext == ".wav" else AIFF)(path)
                f.tags.add(TSOA(encoding=0, text=sort))
                f.save(v2_version=3, padding=lambda info: 512)
            elif ext == ".m4a":
                f = MP4(path)
                f["soal"] = sort
                f.save()
            elif ext == ".wma":
                f = ASF(path)
                f["WM/AlbumSortOrder"] = sort
                f.save()
            else:
                raise ValueError(name)
        return path


def is_sort_entry(entry):
    return entry.startswith(("TSOA(", "albumsort=", "soal=", "WM/AlbumSortOrder=", "ALBUMSORT="))


def without_sort(description):
    description = dict(description)
    description["frames"] = [f for f in description.get("frames", []) if not is_sort_entry(f)]
    if description.get("ape"):
        description["ape"] = [f for f in description["ape"] if not is_sort_entry(f)]
    return description


def sort_entries(description):
    return [f for f in description.get("frames", []) + (description.get("ape") or [])
            if is_sort_entry(f)]


class RoundTrip(unittest.TestCase):
    """Set, change and remove the album sort of one file of each format and
    tag layout: the reader must see that change and no other."""

    ROWS = [
        # name, how to make it (without and with an old album sort), key, reader kind
        ("v23.mp3", lambda fx, n, s: fx.mp3(n, 3, 256, s), "1979 Wall"),
        ("v24 no padding.mp3", lambda fx, n, s: fx.mp3(n, 4, 0, s), "1979 Wall"),
        ("v1 only.mp3", lambda fx, n, s: fx.mp3(n, 3, 0, None, v1=True, v2=False), "1979 Wall"),
        ("v2 ape v1.mp3", lambda fx, n, s: fx.mp3(n, 3, 64, s, ape=True), "1979 Wall"),
        ("ape and v1.mp3", lambda fx, n, s: fx.mp3(n, 3, 0, s, ape=True, v2=False), None),
        ("a.m4a", lambda fx, n, s: fx.sample("Queen/A Night at the Opera/01 Death on Two Legs.m4a",
                                             n, s), "1975 Night at the Opera"),
        ("a.flac", lambda fx, n, s: fx.sample("Pink Floyd/The Wall/02 Hey You.flac", n, s),
         "1980 Wall"),
        ("a.ogg", lambda fx, n, s: fx.sample(
            "Queen/A Night at the Opera/02 Lazing on a Sunday Afternoon.ogg", n, s),
         "1975 Night at the Opera"),
        ("a.opus", lambda fx, n, s: fx.sample("Queen/Demos/01 Untitled.opus", n, s, year=True),
         "1977 Demos"),
        ("a.wma", lambda fx, n, s: fx.sample("Various Artists/The Summer Hits/01 Sunny.wma", n, s),
         "9999 1998 Summer Hits"),
        ("a.wav", lambda fx, n, s: fx.sample("Various Artists/The Summer Hits/02 Breeze.wav", n, s),
         "9999 1998 Summer Hits"),
        ("a.aiff", lambda fx, n, s: fx.sample("Queen/Jazz/01 Mustapha.aiff", n, s), "1978 Jazz"),
    ]

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="kestrune-roundtrip-")
        self.fixtures = Fixtures(self.folder)

    def tearDown(self):
        shutil.rmtree(self.folder)

    def run_alone(self, path, mode):
        library = os.path.join(self.folder, "library")
        os.makedirs(library, exist_ok=True)
        target = os.path.join(library, os.path.basename(path))
        shutil.move(path, target)
        status, out, err = run(library, mode)
        shutil.move(target, path)
        self.assertEqual((status, err), (0, b""))
        return out

    def assert_only_sort_changed(self, before_path, after_path, sort, allowed=()):
        before = read_tags.describe(before_path)
        after = read_tags.describe(after_path)
        self.assertEqual(after["audio"], before["audio"])
        self.assertNotEqual(after["audio"], "unreadable")
        for key in allowed:
            before.pop(key, None)
            after.pop(key, None)
        self.assertEqual(without_sort(after), without_sort(before))
        entries = sort_entries(after)
        if sort:
            self.assertEqual(len(entries), 1, entries)
            self.assertIn(sort, entries[0])
        else:
            self.assertEqual(entries, [])
        raw_before, raw_after = raw_frames(content(before_path)), raw_frames(content(after_path))
        if raw_before is not None and raw_after is not None:
            self.assertEqual([f for f in raw_after if f[0] != "TSOA"],
                             [f for f in raw_before if f[0] != "TSOA"])
            self.assertEqual(content(after_path)[3], content(before_path)[3])  # the version

    def test_set_change_and_remove(self):
        for name, make, key in self.ROWS:
            with self.subTest(name):
                ext = os.path.splitext(name)[1]
                plain = make(self.fixtures, "plain" + ext, None)
                work = shutil.copy(plain, os.path.join(self.folder, "work" + ext))
                out = self.run_alone(work, "/RealWrite")
                key = key or "1979 Wall"
                self.assertIn(b'SortAlbum "" to "' + key.encode() + b'"\r\n', out)
                allowed = ("id3v2", "tags", "version", "kind") if name == "v1 only.mp3" else ()
                self.assert_only_sort_changed(plain, work, key, allowed)

                # ID3v1 has no album sort; there the value just written is cleared.
                if name != "v1 only.mp3":
                    old = make(self.fixtures, "old" + ext, "1900 Old")
                    work = shutil.copy(old, os.path.join(self.folder, "work" + ext))
                    out = self.run_alone(work, "/RealWrite")
                    self.assertIn(b'SortAlbum "1900 Old" to "' + key.encode() + b'"\r\n', out)
                    self.assert_only_sort_changed(plain, work, key)
                out = self.run_alone(work, "/RealClear")
                self.assertIn(b'" to ""\r\n', out)
                self.assert_only_sort_changed(plain, work, None, allowed)
                self.assertIn(NO_CHANGES, self.run_alone(work, "/RealClear"))

    def test_aiff_and_wav_tag_chunks_grow_and_shrink(self):
        long_title = "The " + "Long " * 150 + "Album"
        for relative, key_year in (("Queen/Jazz/01 Mustapha.aiff", "1978"),
                                   ("Various Artists/The Summer Hits/02 Breeze.wav", "9999 1998")):
            with self.subTest(relative):
                plain = shutil.copy(os.path.join(SAMPLE, relative),
                                    os.path.join(self.folder, os.path.basename(relative)))
                audio = (AIFF if plain.endswith(".aiff") else WAVE)(plain)
                audio.tags["TALB"].text = [long_title]
                audio.save(v2_version=3, padding=lambda info: 16)
                work = shutil.copy(plain, plain + ".work" + os.path.splitext(plain)[1])
                out = self.run_alone(work, "/RealWrite")
                key = key_year + " " + long_title[4:]
                self.assertIn(key.encode() + b'"\r\n', out)
                self.assertGreater(os.path.getsize(work), os.path.getsize(plain) + 500)
                self.assert_only_sort_changed(plain, work, key)
                self.run_alone(work, "/RealClear")
                self.assert_only_sort_changed(plain, work, None)


class WholeRuns(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="kestrune-runs-")
        self.library = os.path.join(self.folder, "library")
        shutil.copytree(SAMPLE, self.library)

    def tearDown(self):
        subprocess.run(["chmod", "-R", "u+rwx", self.folder])
        shutil.rmtree(self.folder)

    def problem(self, relative, what, reason):
        return b"kestrune: %s/%s: %s: %s\n" % (self.library.encode(), relative.encode(),
                                                what.encode(), reason.encode())

    def liner_notes(self):
        """The sample's text file under an MP3 name, reported once a run."""
        return self.problem("Pink Floyd/The Wall/liner notes.mp3", "not a track",
                            "no MPEG audio frames start where its audio should")

    def expect(self, mode, body):
        status, out, err = run(self.library, mode)
        self.assertEqual((status, err), (0, self.liner_notes()))
        self.assertEqual(out.decode("latin-1"), (BANNER + INTERFACING + body).decode("latin-1"))

    CHANGES = [
        (b"The Wall", b"1980 Wall"), (b"The Wall", b"1980 Wall"),
        (b"A Night at the Opera", b"1975 Night at the Opera"),
        (b"A Night at the Opera", b"1975 Night at the Opera"), (b"Jazz", b"1978 Jazz"),
        (b"The Summer Hits", b"9999 1998 Summer Hits"), (b"The Summer Hits", b"9999 1998 Summer Hits"),
    ]

    def lines(self, verb, clear=False):
        return b"".join(b'%s "%s" SortAlbum "%s" to "%s"\r\n' % ((verb, album, key, b"") if clear
                                                                 else (verb, album, b"", key))
                        for album, key in self.CHANGES)

    def test_all_four_modes_in_walk_order(self):
        before = {p: content(p) for p in self.files()}
        self.expect("/PretendWrite", CALCULATING + b"....." + PRETENDING +
                    self.lines(b"Would change") + DONE + ignored(2))
        self.expect("/PretendClear", PRETENDING + NO_CHANGES + ignored(2))
        self.assertEqual({p: content(p) for p in self.files()}, before)
        self.expect("/RealWrite", CALCULATING + b"....." + UPDATING + self.lines(b"Changed") +
                    DONE + ignored(2))
        self.expect("/RealWrite", CALCULATING + b"....." + UPDATING + NO_CHANGES + ignored(2))
        self.expect("/PretendClear", PRETENDING + self.lines(b"Would change", True) + DONE +
                    ignored(2))
        self.expect("/RealClear", UPDATING + self.lines(b"Changed", True) + DONE + ignored(2))
        self.expect("/RealClear", UPDATING + NO_CHANGES + ignored(2))
        self.assertEqual(sorted(self.files()), sorted(before))  # nothing left behind

    def files(self):
        return [os.path.join(d, f) for d, _, names in os.walk(self.library) for f in names]

    def test_refused_write_is_reported_and_the_run_goes_on(self):
        locked = os.path.join(self.library, "Pink Floyd/The Wall/02 Hey You.flac")
        original = content(locked)
        os.chmod(locked, 0o444)
        status, out, err = run(self.library, "/RealWrite")
        self.assertEqual((status, err), (0, self.liner_notes() + self.problem(
            "Pink Floyd/The Wall/02 Hey You.flac", "refused", "it is read-only")))
        self.assertIn(b'Failed to change "The Wall" SortAlbum "" to "1980 Wall"\r\n'
                      b'Changed "A Night at the Opera"', out)
        self.assertTrue(out.endswith(DONE + ignored(2)))
        self.assertEqual(content(locked), original)

    def test_full_disk_refuses_writes_that_need_new_files(self):
        before = {p: content(p) for p in self.files()}
        status, out, err = run(self.library, "/RealWrite", limit_file_size=1024)
        self.assertEqual(status, 0)
        lines = err.splitlines(keepends=True)
        self.assertEqual(lines[0], self.liner_notes())
        for line in lines[1:]:
            # A new file, or one in place past the limit's offset.
            self.assertRegex(line, rb"^kestrune: .*: refused: (the new file|it) cannot be written "
                                   rb"\(File too large\)\n$")
        self.assertEqual(len(lines) - 1, out.count(b"Failed to change"))
        self.assertIn(b'Changed "The Wall" SortAlbum "" to "1980 Wall"', out)  # the MP3, in place
        self.assertIn(b'Failed to change "A Night at the Opera"', out)
        # Every file as it was or as a run with room makes it; nothing else left.
        finished = os.path.join(self.folder, "finished")
        shutil.copytree(SAMPLE, finished)
        run(finished, "/RealWrite")
        for path, data in before.items():
            final = content(os.path.join(finished, os.path.relpath(path, self.library)))
            self.assertIn(content(path), (data, final), path)
            if final != data and content(path) == data:
                self.assertIn(b"kestrune: " + path.encode() + b": refused: ", err)
        self.assertEqual(sorted(self.files()), sorted(before))

    def test_bad_items_are_counted_and_never_written(self):
        bad = {"zero.mp3": b"", "text.flac": b"hello\n", "cut.mp3": b"ID3\x03\0\0\0\0\x10\0abc"}
        for name, data in bad.items():
            with open(os.path.join(self.library, name), "wb") as f:
                f.write(data)
        os.makedirs(os.path.join(self.library, "folder.mp3/.hidden"))
        os.symlink(self.library, os.path.join(self.library, "loop"))
        shutil.copy(os.path.join(self.library, "Queen/Jazz/01 Mustapha.aiff"),
                    os.path.join(self.library, "._01 Mustapha.aiff"))
        os.mkfifo(os.path.join(self.library, "fifo.flac"))
        status, out, err = run(self.library, "/RealWrite")
        self.assertEqual(status, 0)
        self.assertTrue(out.endswith(DONE + ignored(7)), out)
        # Each once, though the run meets them in both passes.
        self.assertEqual(err, b"".join([
            self.liner_notes(),
            self.problem("cut.mp3", "not a track", "no MPEG audio frames start where its audio should"),
            self.problem("fifo.flac", "not a track", "it is not a regular file"),
            self.problem("folder.mp3", "not a track", "it is a folder"),
            self.problem("text.flac", "not a track", "TagLib finds no audio in it that it can read"),
            self.problem("zero.mp3", "not a track", "no MPEG audio frames start where its audio should"),
        ]))
        for name, data in bad.items():
            self.assertEqual(content(os.path.join(self.library, name)), data)

    def test_library_that_is_not_there(self):
        for library in (os.path.join(self.folder, "missing"),
                        os.path.join(self.library, "Pink Floyd/The Wall/cover.jpg")):
            status, out, err = run(library, "/RealWrite")
            self.assertEqual(status, 0)
            self.assertEqual(out, BANNER + INTERFACING +
                             b"Could not get track list. (Incompatible version of iTunes?)\r\n")


class RunsMeet(unittest.TestCase):
    """A run that writes waits for another that writes the same library, and
    removes the temporaries that stopped runs left, and only those."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="kestrune-meet-")
        self.library = os.path.join(self.folder, "library")
        shutil.copytree(os.path.join(SAMPLE, "Pink Floyd"), self.library)

    def tearDown(self):
        shutil.rmtree(self.folder)

    def test_a_second_writer_waits_for_the_first(self):
        import fcntl
        holder = os.open(self.library, os.O_RDONLY)
        fcntl.flock(holder, fcntl.LOCK_EX)
        child = subprocess.Popen([BINARY, "/RealWrite"], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                 env=dict(os.environ, KESTRUNE_LIBRARY=self.library))
        try:
            time.sleep(1.0)
            self.assertIsNone(child.poll(), "the run did not wait")
            mp3 = os.path.join(self.library, "The Wall/01 In the Flesh.mp3")
            self.assertEqual(read_tags.describe(mp3).get("frames", []),
                             read_tags.describe(os.path.join(SAMPLE, "Pink Floyd/The Wall/"
                                                             "01 In the Flesh.mp3")).get("frames"))
        finally:
            fcntl.flock(holder, fcntl.LOCK_UN)
            os.close(holder)
        out, err = child.communicate(timeout=60)
        self.assertIn(b"kestrune: waiting for another run that writes this library\n", err)
        self.assertIn(b'Changed "The Wall" SortAlbum "" to "1980 Wall"', out)
        # A pretend run takes no lock: it never waits.
        holder = os.open(self.library, os.O_RDONLY)
        fcntl.flock(holder, fcntl.LOCK_EX)
        try:
            status, out, err = run(self.library, "/PretendWrite")
            self.assertNotIn(b"waiting", err)
        finally:
            os.close(holder)

    def test_left_temporaries_are_removed_by_a_run_that_writes(self):
        wall = os.path.join(self.library, "The Wall")
        left = {  # name: content, removed?
            ".kestrune-AbC123": (content(os.path.join(wall, "01 In the Flesh.mp3"))[:700], True),
            ".kestrune-fLaC00": (b"fLaC\0\0\0\x22", True),
            ".kestrune-Empty1": (b"", True),
            ".kestrune-Notes1": (b"my own notes", False),
            ".kestrune-toolongname": (b"ID3", False),
            ".kestrune-": (b"ID3", False),
        }
        for name, (data, _) in left.items():
            with open(os.path.join(wall, name), "wb") as f:
                f.write(data)
        os.symlink(os.path.join(wall, "01 In the Flesh.mp3"), os.path.join(wall, ".kestrune-Link01"))
        # One that a live write holds, in a library that overlaps this one.
        import fcntl
        live = os.path.join(wall, ".kestrune-Live01")
        with open(live, "wb") as f:
            f.write(b"ID3")
        holder = os.open(live, os.O_RDONLY)
        fcntl.flock(holder, fcntl.LOCK_EX)
        self.addCleanup(os.close, holder)
        run(self.library, "/PretendWrite")
        run(self.library, "/PretendClear")
        self.assertEqual(len([n for n in os.listdir(wall) if n.startswith(".kestrune")]), 8)
        status, out, err = run(self.library, "/RealWrite")
        self.assertIn(b"Changed", out)
        for name, (_, removed) in left.items():
            self.assertEqual(os.path.exists(os.path.join(wall, name)), not removed, name)
        self.assertTrue(os.path.islink(os.path.join(wall, ".kestrune-Link01")))
        self.assertTrue(os.path.exists(live))


class OutOfMemory(unittest.TestCase):
    def test_one_clear_line_and_status_zero(self):
        with open(BINARY, "rb") as f:
            if b"libasan" in f.read():
                self.skipTest("the sanitizers reserve more address space than the limit allows")
        folder = tempfile.mkdtemp(prefix="kestrune-oom-")
        try:
            # A sparse file whose ID3v2 tag claims 200 MB: reading it needs
            # more memory than the run may have.
            mp3 = content(os.path.join(SAMPLE, "Pink Floyd/The Wall/01 In the Flesh.mp3"))
            audio = mp3[10 + ((mp3[6] << 21) | (mp3[7] << 14) | (mp3[8] << 7) | mp3[9]):]
            big = 200 << 20
            with open(os.path.join(folder, "big.mp3"), "wb") as f:
                f.write(b"ID3\x03\0\0" + syncsafe(big) + text_frame("TPE1", "AB", 3))
                f.seek(10 + big)
                f.write(audio)

            def limit():
                import resource
                resource.setrlimit(resource.RLIMIT_AS, (150 << 20, 150 << 20))

            done = subprocess.run([BINARY, "/PretendWrite"], capture_output=True,
                                  stdin=subprocess.DEVNULL, timeout=60, preexec_fn=limit,
                                  env=dict(os.environ, KESTRUNE_LIBRARY=folder))
            self.assertEqual(done.returncode, 0)
            self.assertEqual(done.stderr, b"kestrune: out of memory; the run stopped there\n")
            self.assertTrue(done.stdout.startswith(BANNER + INTERFACING + CALCULATING))
        finally:
            shutil.rmtree(folder)


class KilledRuns(unittest.TestCase):
    """Stopped with SIGKILL at any moment, a run leaves every file either as
    it was or fully written."""

    def test_every_file_is_whole_after_a_kill(self):
        folder = tempfile.mkdtemp(prefix="kestrune-kill-")
        try:
            original = os.path.join(folder, "original")
            shutil.copytree(SAMPLE, original)
            fixtures = Fixtures(original)
            for i in range(12):  # tags without padding: every write makes a new file
                fixtures.mp3("tight %02d.mp3" % i, 4, 0)
            finished = os.path.join(folder, "finished")
            shutil.copytree(original, finished)
            started = time.monotonic()
            self.assertEqual(run(finished, "/RealWrite")[0], 0)
            duration = time.monotonic() - started
            names = [os.path.relpath(os.path.join(d, f), original)
                     for d, _, fs in os.walk(original) for f in fs]
            before = {n: content(os.path.join(original, n)) for n in names}
            after = {n: content(os.path.join(finished, n)) for n in names}
            self.assertGreater(sum(before[n] != after[n] for n in names), 15)

            rng = random.Random(20261211)
            interrupted = 0
            for attempt in range(40):
                library = os.path.join(folder, "run%d" % attempt)
                shutil.copytree(original, library)
                child = subprocess.Popen([BINARY, "/RealWrite"], stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                                         env=dict(os.environ, KESTRUNE_LIBRARY=library))
                time.sleep(rng.uniform(0, duration * 1.1))
                child.send_signal(signal.SIGKILL)
                child.wait()
                states = []
                for name in names:
                    data = content(os.path.join(library, name))
                    self.assertIn(data, (before[name], after[name]), name)
                    states.append(data == after[name])
                interrupted += 0 < sum(states) < len(states)
                for d, _, fs in os.walk(library):
                    for f in fs:
                        rel = os.path.relpath(os.path.join(d, f), library)
                        self.assertTrue(rel in before or f.startswith(".kestrune-"), rel)
                # The next run finishes the work.
                self.assertEqual(run(library, "/RealWrite")[0], 0)
                for name in names:
                    self.assertEqual(content(os.path.join(library, name)), after[name], name)
                shutil.rmtree(library)
            self.assertGreater(interrupted, 0, "no kill landed inside the run")
        finally:
            shutil.rmtree(folder)


if __name__ == "__main__":
    BINARY, SAMPLE = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
