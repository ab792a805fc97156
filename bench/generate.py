"""Writes the benchmark's CSV files into bench/data/, deterministically.

    python bench/generate.py                 # all four files at full size
    python bench/generate.py --scale 0.05    # 5% of the size, for a quick run
    python bench/generate.py --files a,c

Files (full size):
  a  narrow, low cardinality: 10 columns of categories, booleans, small
     integers, dates from a small range; 100 MB, LF row ends
  b  narrow, high cardinality: 10 columns of unique ids, uuids, decimals,
     timestamps, e-mail addresses, free text; 100 MB, CRLF row ends
  c  wide: 300 columns cycling through the kinds of a and b; 100 MB
  d  the shape of a at 1 GB, for the memory test

Every column carries NA markers (the empty text among them, written both bare
and as two quotes) and a few values of no type; quoted fields with commas and
doubled quotes inside appear in all files. No field holds a line break.

Each file is generated in chunks of rows, and each chunk from its own seed, so a
file depends only on (name, size, seed). A sidecar `<file>.json` records these;
a file whose sidecar matches is reused, not written again.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import numpy as np

DATA_DIR = Path(__file__).resolve().parent / "data"
MB = 1_000_000
# Bump when the content a given (name, size, seed) produces changes.
GENERATOR_VERSION = 1
DEFAULT_SEED = 20240611

Column = Callable[[np.random.Generator, int, int], np.ndarray]


def csv_quote(text: str) -> str:
    """The text as one CSV field: quoted (quotes doubled) when it needs it."""
    if any(ch in text for ch in ',"\r\n'):
        return '"' + text.replace('"', '""') + '"'
    return text


def vocab(values) -> np.ndarray:
    """An object array of ready-to-write (quoted where needed) field texts."""
    return np.array([csv_quote(str(v)) for v in values], dtype=object)


def strs(values: np.ndarray) -> np.ndarray:
    return np.array(list(map(str, values.tolist())), dtype=object)


# --- Vocabularies shared by the column kinds -------------------------------------

COLORS = vocab(["red", "green", "blue", "yellow", "black", "white", "orange",
                "purple", "grey", "brown", "light blue", "dark green"])
REGIONS = vocab(["North", "South", "East", "West", "North, East", "South, West",
                 "Central", 'The "Middle"', "Île-de-France", "Zürich"])
BOOLS = vocab(["true", "false", "True", "False", "TRUE", "FALSE"])
COUNTRIES = vocab(["US", "DE", "FR", "GB", "JP", "CN", "BR", "IN", "IT", "ES",
                   "CA", "AU", "NL", "SE", "CH", "PL"])
SMALL_INTS = vocab(range(0, 100))
LEVELS = vocab(range(-5, 6))
RATINGS = vocab([f"{x / 2:.1f}" for x in range(0, 11)])
DAYS = np.arange(np.datetime64("2024-01-01"), np.datetime64("2024-04-01"))
ISO_DAYS = vocab(DAYS.astype(str))
EU_DAYS = vocab([f"{d[8:10]}/{d[5:7]}/{d[0:4]}" for d in DAYS.astype(str)])
STATUS = vocab(["200", "201", "204", "301", "400", "404", "500", "503"])
TWO_DIGITS = vocab([f"{i:02d}" for i in range(100)])
THREE_DIGITS = vocab([f"{i:03d}" for i in range(1000)])
OCTETS = vocab(range(256))
FIRST = vocab(["anna", "ben", "carla", "dmitri", "eva", "farid", "gina", "hugo",
               "ines", "jon", "kim", "lena", "marco", "nina", "omar", "petra",
               "quinn", "rosa", "sven", "tara", "uwe", "vera", "wei", "xena",
               "yusuf", "zoe"])
LAST = vocab(["smith", "mueller", "garcia", "rossi", "tanaka", "novak", "kowalski",
              "dubois", "jensen", "silva", "ivanova", "o-brien", "van-dyke",
              "nguyen", "kim", "schmidt", "meyer", "weber", "wagner", "becker"])
DOMAINS = vocab(["example.com", "mail.example.org", "corp.example.net", "uni.example.edu",
                 "example.co.uk", "post.example.de"])
WORDS = ["the", "a", "order", "shipped", "late", "customer", "said", "great",
         "price", "box", "damaged", "refund", "please", "call", "back", "thanks",
         "näive", "café", "über", "日本", "ok", "fine", "item", "blue", "size",
         "return", "label", "missing", "new", "again", "42", "3.5", "true"]
# Values of no type, some needing quotes; mixed into every column.
JUNK = vocab(["n/a", "?", "--", "TBD", "12abc", "1,000", "1.2.3", "2024-13-45T",
              "yes", "no", " 7", "8 ", "x@y", "0x1F", "+-1", 'say "hi"'])
# NA markers as written in the file: the empty text bare and as two quotes.
NA_WRITTEN = np.array(["", "", '""', "NA", "N/A", "null", "NULL", "NaN"], dtype=object)
HEX = np.frombuffer(b"0123456789abcdef", dtype=np.uint8)


def pick(values: np.ndarray) -> Column:
    return lambda rng, n, _start: values[rng.integers(0, len(values), n)]


def zipf_pick(values: np.ndarray) -> Column:
    """Skewed choice, so that a few values dominate as in real categories."""
    weights = 1.0 / np.arange(1, len(values) + 1)
    weights /= weights.sum()
    return lambda rng, n, _start: values[rng.choice(len(values), n, p=weights)]


def unique_id(rng, n, start):
    return strs(np.arange(start + 1, start + n + 1))


def big_int(rng, n, _start):
    return strs(rng.integers(-(2**62), 2**62, n))


def amount(rng, n, _start):
    cents = rng.integers(-500_000, 5_000_000, n)
    sign = np.where(cents < 0, "-", "").astype(object)
    cents = np.abs(cents)
    return sign + strs(cents // 100) + "." + TWO_DIGITS[cents % 100]


def measurement(rng, n, _start):
    x = rng.lognormal(0.0, 4.0, n) * rng.choice([-1.0, 1.0], n)
    return np.array(list(map("{:.5g}".format, x.tolist())), dtype=object)


def timestamps(rng, n, sep: str, zone: bool) -> np.ndarray:
    secs = rng.integers(0, 10 * 365 * 86400, n)
    text = (np.datetime64("2015-01-01T00:00:00") + secs.astype("timedelta64[s]")).astype("U19")
    if sep != "T":
        chars = text.view("U1").reshape(n, 19)
        chars[:, 10] = sep
        text = chars.reshape(-1).view("U19")
    out = text.astype(object)
    if zone:
        out = out + "." + THREE_DIGITS[rng.integers(0, 1000, n)] + "Z"
    return out


def created_at(rng, n, _start):
    return timestamps(rng, n, "T", zone=True)


def updated_at(rng, n, _start):
    return timestamps(rng, n, " ", zone=False)


def uuid4(rng, n, _start):
    raw = np.frombuffer(rng.bytes(16 * n), dtype=np.uint8).reshape(n, 16)
    hexed = np.empty((n, 32), dtype=np.uint8)
    hexed[:, 0::2] = HEX[raw >> 4]
    hexed[:, 1::2] = HEX[raw & 15]
    out = np.full((n, 36), ord("-"), dtype=np.uint8)
    for lo, hi, dst in ((0, 8, 0), (8, 12, 9), (12, 16, 14), (16, 20, 19), (20, 32, 24)):
        out[:, dst:dst + hi - lo] = hexed[:, lo:hi]
    return out.reshape(-1).view("S36").astype("U36").astype(object)


def email(rng, n, _start):
    return (FIRST[rng.integers(0, len(FIRST), n)] + "." + LAST[rng.integers(0, len(LAST), n)]
            + strs(rng.integers(0, 100_000, n)) + "@" + DOMAINS[rng.integers(0, len(DOMAINS), n)])


def ip_address(rng, n, _start):
    o = rng.integers(0, 256, (4, n))
    return OCTETS[o[0]] + "." + OCTETS[o[1]] + "." + OCTETS[o[2]] + "." + OCTETS[o[3]]


def phrase_pool(seed: int, size: int = 100_000) -> np.ndarray:
    """Free-text values: 2-12 words, some with commas or a quoted word."""
    rng = np.random.default_rng([seed, 7777])
    words = np.array(WORDS, dtype=object)
    lengths = rng.integers(2, 13, size)
    chosen = words[rng.integers(0, len(words), lengths.sum())]
    ends = np.cumsum(lengths)
    texts = []
    for i, (lo, hi) in enumerate(zip(ends - lengths, ends)):
        parts = list(chosen[lo:hi])
        roll = (i * 2654435761) % 100
        if roll < 15:
            parts[0] += ","
        elif roll < 20:
            parts[-1] = f'"{parts[-1]}"'
        texts.append(" ".join(parts) + f" #{i}")
    return vocab(texts)


@dataclass(frozen=True)
class Shape:
    """What one file holds: its columns, row end and size at scale 1."""

    columns: list[tuple[str, Column]]
    row_end: str
    full_bytes: int
    chunk_rows: int


def low_cardinality() -> list[tuple[str, Column]]:
    return [
        ("color", zipf_pick(COLORS)),
        ("region", pick(REGIONS)),
        ("active", pick(BOOLS)),
        ("quantity", zipf_pick(SMALL_INTS)),
        ("level", pick(LEVELS)),
        ("day", pick(ISO_DAYS)),
        ("rating", pick(RATINGS)),
        ("country", zipf_pick(COUNTRIES)),
        ("day_eu", pick(EU_DAYS)),
        ("status", zipf_pick(STATUS)),
    ]


def high_cardinality(pool: np.ndarray) -> list[tuple[str, Column]]:
    return [
        ("id", unique_id),
        ("uuid", uuid4),
        ("amount", amount),
        ("measurement", measurement),
        ("created_at", created_at),
        ("updated_at", updated_at),
        ("email", email),
        ("comment", pick(pool)),
        ("balance", big_int),
        ("client_ip", ip_address),
    ]


def shape_of(name: str, seed: int) -> Shape:
    if name in ("a", "d"):
        return Shape(low_cardinality(), "\n", (100 if name == "a" else 1000) * MB, 200_000)
    pool = phrase_pool(seed)
    if name == "b":
        return Shape(high_cardinality(pool), "\r\n", 100 * MB, 100_000)
    if name == "c":
        kinds = low_cardinality() + high_cardinality(pool)
        columns = [(f"{kinds[i % len(kinds)][0]}_{i}", kinds[i % len(kinds)][1]) for i in range(300)]
        return Shape(columns, "\n", 100 * MB, 4_000)
    raise ValueError(f"unknown file {name!r}: expected one of a, b, c, d")


def chunk_text(shape: Shape, rng: np.random.Generator, n: int, start: int) -> str:
    columns = []
    for _name, make in shape.columns:
        values = make(rng, n, start)
        # About 2% NA markers and 0.2% values of no type, at random places.
        roll = rng.random(n)
        na = roll < 0.02
        values[na] = NA_WRITTEN[rng.integers(0, len(NA_WRITTEN), int(na.sum()))]
        junk = (roll >= 0.02) & (roll < 0.022)
        values[junk] = JUNK[rng.integers(0, len(JUNK), int(junk.sum()))]
        columns.append(values)
    end = shape.row_end
    return end.join(map(",".join, zip(*columns))) + end


def path_of(name: str, scale: float = 1.0) -> Path:
    """Smaller files get their own names, so a quick run keeps the full ones."""
    return DATA_DIR / (f"{name}.csv" if scale == 1.0 else f"{name}-x{scale:g}.csv")


def generate(name: str, scale: float = 1.0, seed: int = DEFAULT_SEED, verbose: bool = True) -> Path:
    """Writes file `name` unless an identical one is there; returns its path."""
    shape = shape_of(name, seed)
    target = max(1, int(shape.full_bytes * scale))
    path = path_of(name, scale)
    params = {"name": name, "target_bytes": target, "seed": seed, "version": GENERATOR_VERSION}
    sidecar = path.with_suffix(".json")
    if path.exists() and sidecar.exists():
        meta = json.loads(sidecar.read_text())
        if {k: meta.get(k) for k in params} == params and meta.get("bytes") == path.stat().st_size:
            return path
    DATA_DIR.mkdir(parents=True, exist_ok=True)
    sidecar.unlink(missing_ok=True)
    started = time.perf_counter()
    header = ",".join(name for name, _ in shape.columns) + shape.row_end
    written = rows = 0
    tmp = path.with_suffix(".csv.tmp")
    with open(tmp, "wb") as out:
        out.write(header.encode())
        written = len(header)
        chunk = 0
        while written < target:
            rng = np.random.default_rng([seed, ord(name), chunk])
            data = chunk_text(shape, rng, shape.chunk_rows, rows).encode()
            if written + len(data) > target:
                # Cut at a row end (no field holds a line break), keeping >= 1 row.
                cut = data.rfind(b"\n", 0, target - written) + 1
                data = data[: cut or data.find(b"\n") + 1]
            out.write(data)
            written += len(data)
            rows += data.count(b"\n")
            chunk += 1
    os.replace(tmp, path)
    meta = dict(params, bytes=written, rows=rows, columns=len(shape.columns))
    sidecar.write_text(json.dumps(meta, indent=1) + "\n")
    if verbose:
        print(f"generated {path.name}: {written / MB:.1f} MB, {rows} rows, "
              f"{len(shape.columns)} columns in {time.perf_counter() - started:.1f} s", file=sys.stderr)
    return path


def make_slice(source: Path, nbytes: int) -> Path:
    """The first rows of a file, at most `nbytes` long (header included), as
    `<name>.slice.csv`, for contenders too slow to read the whole file."""
    target = source.with_suffix(".slice.csv")
    meta = {"source_bytes": source.stat().st_size, "source_mtime_ns": source.stat().st_mtime_ns,
            "limit": nbytes}
    sidecar = target.with_suffix(".json")
    if target.exists() and sidecar.exists() and json.loads(sidecar.read_text()) == meta:
        return target
    with open(source, "rb") as f:
        data = f.read(nbytes)
    if len(data) == nbytes:
        data = data[: data.rfind(b"\n") + 1]
    target.write_bytes(data)
    sidecar.write_text(json.dumps(meta) + "\n")
    return target


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--files", default="a,b,c,d", help="comma-separated subset of a,b,c,d")
    ap.add_argument("--scale", type=float, default=1.0, help="fraction of the full sizes")
    ap.add_argument("--seed", type=int, default=DEFAULT_SEED)
    args = ap.parse_args(argv)
    for name in args.files.split(","):
        print(generate(name, args.scale, args.seed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
