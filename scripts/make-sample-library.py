#!/usr/bin/python3
"""Makes the sample library (run once; its files are committed).

Each file is a fraction of a second of a tone, made with ffmpeg and tagged
with mutagen, so that the library shows the tool's cases: leading articles,
a compilation, an album whose tracks carry two years, a track without a
year, files that are not music, and several formats.
"""
import os
import shutil
import subprocess
import sys

from mutagen.aiff import AIFF
from mutagen.asf import ASF
from mutagen.flac import FLAC
from mutagen.id3 import ID3, TALB, TIT2, TPE1, TPE2, TYER, TDRC
from mutagen.mp4 import MP4
from mutagen.oggopus import OggOpus
from mutagen.oggvorbis import OggVorbis
from mutagen.wave import WAVE

ENCODERS = {
    ".mp3": ["-c:a", "libmp3lame", "-b:a", "32k", "-ar", "22050"],
    ".flac": ["-c:a", "flac", "-ar", "8000", "-sample_fmt", "s16"],
    ".m4a": ["-c:a", "aac", "-b:a", "16k", "-ar", "8000"],
    ".ogg": ["-c:a", "libvorbis", "-q:a", "0", "-ar", "8000"],
    ".opus": ["-c:a", "libopus", "-b:a", "8k"],
    ".wma": ["-c:a", "wmav2", "-b:a", "32k", "-ar", "8000"],
    ".wav": ["-c:a", "pcm_s16le", "-ar", "8000"],
    ".aiff": ["-c:a", "pcm_s16be", "-ar", "8000"],
}


def tone(path, seconds=0.25):
    ext = os.path.splitext(path)[1]
    subprocess.run(
        ["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"sine=frequency=440:duration={seconds}",
         "-ac", "1", "-map_metadata", "-1", "-fflags", "+bitexact", "-flags:a", "+bitexact",
         *ENCODERS[ext], path],
        check=True, stdin=subprocess.DEVNULL)


def tag(path, artist, album, title, year, album_artist=""):
    ext = os.path.splitext(path)[1]
    if ext in (".mp3", ".wav", ".aiff"):
        tags = ID3()
        tags.add(TPE1(encoding=1, text=artist))
        if album_artist:
            tags.add(TPE2(encoding=1, text=album_artist))
        tags.add(TALB(encoding=1, text=album))
        tags.add(TIT2(encoding=1, text=title))
        if year:
            tags.add(TYER(encoding=0, text=str(year)))
        if ext == ".mp3":
            tags.save(path, v2_version=3, padding=lambda info: 512)
        else:
            wave = WAVE(path) if ext == ".wav" else AIFF(path)
            wave.add_tags()
            for frame in tags.values():
                wave.tags.add(frame)
            wave.save(v2_version=3, padding=lambda info: 512)
        return
    if ext in (".flac", ".ogg", ".opus"):
        f = {".flac": FLAC, ".ogg": OggVorbis, ".opus": OggOpus}[ext](path)
        f["ARTIST"] = artist
        if album_artist:
            f["ALBUMARTIST"] = album_artist
        f["ALBUM"] = album
        f["TITLE"] = title
        if year:
            f["DATE"] = str(year)
        f.save()
        return
    if ext == ".m4a":
        f = MP4(path)
        f["\xa9ART"] = artist
        if album_artist:
            f["aART"] = album_artist
        f["\xa9alb"] = album
        f["\xa9nam"] = title
        if year:
            f["\xa9day"] = str(year)
        f.save()
        return
    if ext == ".wma":
        f = ASF(path)
        f["Author"] = artist
        if album_artist:
            f["WM/AlbumArtist"] = album_artist
        f["WM/AlbumTitle"] = album
        f["Title"] = title
        if year:
            f["WM/Year"] = str(year)
        f.save()
        return
    raise ValueError(path)


TRACKS = [
    ("Pink Floyd/The Wall/01 In the Flesh.mp3", "Pink Floyd", "The Wall", "In the Flesh?", 1979, ""),
    ("Pink Floyd/The Wall/02 Hey You.flac", "Pink Floyd", "The Wall", "Hey You", 1980, ""),
    ("Queen/A Night at the Opera/01 Death on Two Legs.m4a", "Queen", "A Night at the Opera",
     "Death on Two Legs", 1975, ""),
    ("Queen/A Night at the Opera/02 Lazing on a Sunday Afternoon.ogg", "Queen",
     "A Night at the Opera", "Lazing on a Sunday Afternoon", 1975, ""),
    ("Queen/Jazz/01 Mustapha.aiff", "Queen", "Jazz", "Mustapha", 1978, ""),
    ("Queen/Demos/01 Untitled.opus", "Queen", "Demos", "Untitled", 0, ""),
    ("Various Artists/The Summer Hits/01 Sunny.wma", "The Sunnies", "The Summer Hits", "Sunny",
     1998, "Various Artists"),
    ("Various Artists/The Summer Hits/02 Breeze.wav", "Breeze Band", "The Summer Hits", "Breeze",
     1998, "Various Artists"),
]


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "sample-library")
    shutil.rmtree(root, ignore_errors=True)
    for relative, artist, album, title, year, album_artist in TRACKS:
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        tone(path)
        tag(path, artist, album, title, year, album_artist)
    with open(os.path.join(root, "Pink Floyd/The Wall/cover.jpg"), "w") as f:
        f.write("not a picture; not music either\n")
    with open(os.path.join(root, "Pink Floyd/The Wall/liner notes.mp3"), "w") as f:
        f.write("A text file under a music file's name.\n")


if __name__ == "__main__":
    main()
