#!/usr/bin/python3
"""An independent reader for the tests: everything a file's tags say, as
mutagen sees them, and a digest of its audio packets as ffmpeg demuxes them.

Usage: read_tags.py FILE...  prints one JSON object per file.
"""
import hashlib
import json
import subprocess
import sys

import mutagen
from mutagen.apev2 import APEv2, APENoHeaderError
from mutagen.id3 import ID3, ID3NoHeaderError


def _values(value):
    if isinstance(value, list):
        return [_values(v) for v in value]
    return repr(value) if not isinstance(value, (str, int, float)) else value


def describe(path):
    result = {}
    try:
        audio = mutagen.File(path)
    except Exception as error:  # not audio at all
        return {"error": type(error).__name__}
    if audio is None:
        return {"error": "unknown"}
    result["kind"] = type(audio).__name__
    tags = audio.tags
    if tags is not None:
        result["tags"] = type(tags).__name__
        if hasattr(tags, "version"):
            result["version"] = list(tags.version)
        if hasattr(tags, "getall") and hasattr(tags, "version"):
            result["frames"] = sorted(repr(frame) for frame in tags.values())
        else:
            result["frames"] = sorted(f"{key}={_values(value)}" for key, value in tags.items())
    try:
        id3 = ID3(path, load_v1=False) if result.get("kind") in ("MP3", "EasyMP3") else None
        if id3 is not None:
            result["id3v2"] = list(id3.version)
    except ID3NoHeaderError:
        result["id3v2"] = None
    try:
        result["ape"] = sorted(f"{k}={v}" for k, v in APEv2(path).items())
    except APENoHeaderError:
        result["ape"] = None
    with open(path, "rb") as f:
        data = f.read()
    result["id3v1"] = data[-128:-125] == b"TAG" if len(data) >= 128 else False
    digest = subprocess.run(
        ["ffmpeg", "-v", "error", "-i", path, "-map", "0:a", "-c", "copy", "-f", "md5", "-"],
        capture_output=True, text=True, stdin=subprocess.DEVNULL)
    result["audio"] = digest.stdout.strip() if digest.returncode == 0 else "unreadable"
    return result


if __name__ == "__main__":
    for name in sys.argv[1:]:
        print(json.dumps(describe(name), sort_keys=True))
