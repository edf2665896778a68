#!/usr/bin/env python3
"""Writes the seed cache files for cache_load_fuzz into fuzz/corpus/cache_load."""
import os

# Field widths of one 803-byte record, in file order.
FIELDS = [("artist", 128), ("title", 128), ("album", 128), ("mvalue", 128),
          ("time", 20), ("length", 6), ("path", 260), ("filetype", 5)]


def record(**values):
    out = b""
    for name, width in FIELDS:
        text = values.get(name, "").encode("latin-1")[:width]
        out += text + b"\0" * (width - len(text))
    assert len(out) == 803
    return out


one = record(artist="Mot\xf6rhead", title="Ace of Spades", album="No Sleep",
             time="2004-11-22 05:39:31", length="169",
             path="C:\\Music\\Ace of Spades.mp3", filetype="MP3")
two = record(artist="B", title="Two", time="2004-11-22 05:43:00", length="215",
             path="C:\\Music\\Two.ogg", filetype="OGG")
broken = record(artist="C", title="Three", length="200")  # no time

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "cache_load")
os.makedirs(here, exist_ok=True)
for name, data in [("one_record", one), ("two_records", one + two),
                   ("malformed_middle", one + broken + two),
                   ("malformed_run", broken + broken + two + one),
                   ("trailing_bytes", one + b"x" * 100)]:
    with open(os.path.join(here, name), "wb") as f:
        f.write(data)
