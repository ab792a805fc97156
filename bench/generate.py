"""Writes the benchmark's CSV files into bench/data/, deterministically.

    python bench/generate.py                 # all four files at full size
    python bench/generate.py --scale 0.05    # 5% of the size, for a quick run
    python bench/generate.py --files a,c
    python bench/generate.py --files e --scale 0.01

Files (full size):
  a  narrow, low cardinality: 10 columns of categories, booleans, small
     integers, dates from a small range; 100 MB, LF row ends
  b  narrow, high cardinality: 10 columns of unique ids, uuids, decimals,
     timestamps, e-mail addresses, free text; 100 MB, CRLF row ends
  c  wide: 300 columns cycling through the kinds of a and b; 100 MB
  d  the shape of a at 1 GB, for the memory test
  e  export-like: 41 columns in the forms spreadsheets, databases and
     reporting tools write (dates day-first, month-first, unpadded, with
     two-digit years or month names, quarters, 12-hour clocks, numbers with
     thousands separators, decimal commas or blank padding, single letters,
     flags, codes, names, free text); 100 MB, CRLF row ends

In a to d every column carries NA markers (the empty text among them, written
both bare and as two quotes) and a few values of no type; quoted fields with
commas and doubled quotes inside appear in all files. In e each column has its
own share of missing values, written as the empty text or NA, and no values
of no type: each column is one form, as an export writes it. No field holds a
line break.

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
    na_share: float = 0.02     # NA markers mixed into every column
    junk_share: float = 0.002  # values of no type mixed into every column


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


# --- e: what exports write ------------------------------------------------------------

UNPADDED = strs(np.arange(100))
YEARS = strs(np.arange(2200))
MONTH_ABBR = np.array(["", "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep",
                       "Oct", "Nov", "Dec"], dtype=object)
MONTH_NAMES = np.array(["", "January", "February", "March", "April", "May", "June", "July",
                        "August", "September", "October", "November", "December"], dtype=object)
AM_PM = np.array(["AM", "PM"], dtype=object)
SEXES = vocab(["F", "M"])
GRADES = vocab(["A", "B", "C", "D", "E", "F"])
YES_NO_LETTER = vocab(["Y", "N"])
EXCEL_BOOLS = vocab(["TRUE", "FALSE"])
YES_NO = vocab(["yes", "no", "Yes", "No"])
CITIES = vocab(["London", "New York", "Paris", "Berlin", "São Paulo", "Köln", "Tokyo",
                "Los Angeles", "Madrid", "Warszawa", "Zürich", "Mexico City", "Lagos",
                "Mumbai", "Saint-Étienne", "Washington, D.C."])
NAME_FIRST = np.array([w.title() for w in FIRST.tolist()], dtype=object)
NAME_LAST = np.array([w.title() for w in LAST.tolist()], dtype=object)
# An export writes missing values as nothing or as NA, and little else.
EXPORT_NA = np.array(["", "NA"], dtype=object)


def calendar(rng, n, first: str, last: str) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Year, month and day of n days drawn from [first, last)."""
    lo = np.datetime64(first, "D")
    span = int((np.datetime64(last, "D") - lo).astype(int))
    days = lo + rng.integers(0, span, n).astype("timedelta64[D]")
    months = days.astype("datetime64[M]")
    year = months.astype("datetime64[Y]").astype(int) + 1970
    month = months.astype(int) % 12 + 1
    day = (days - months).astype(int) + 1
    return year, month, day


def clock(rng, n) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Hour, minute and second, spread over the day."""
    seconds = rng.integers(0, 86_400, n)
    return seconds // 3600, seconds // 60 % 60, seconds % 60


def dates(first: str, last: str, form: Callable) -> Column:
    return lambda rng, n, _start: form(*calendar(rng, n, first, last))


def datetimes(first: str, last: str, form: Callable) -> Column:
    return lambda rng, n, _start: form(*calendar(rng, n, first, last), *clock(rng, n))


def quoted(values: np.ndarray, where=True) -> np.ndarray:
    """Quotes the values (all, or where `where` holds): for texts known to hold a comma."""
    return np.where(where, '"' + values + '"', values)


def formatted(fmt: str, values: np.ndarray) -> np.ndarray:
    return np.array(list(map(fmt.format, values.tolist())), dtype=object)


def hour12(hour: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    return UNPADDED[(hour + 11) % 12 + 1], AM_PM[hour // 12]


def clock_12h(rng, n, _start):
    hour, minute, _ = clock(rng, n)
    h, half = hour12(hour)
    return h + ":" + TWO_DIGITS[minute] + " " + half


def opening_time(rng, n, _start):
    """Quarter hours of a working day: few distinct values."""
    return TWO_DIGITS[rng.integers(6, 22, n)] + ":" + TWO_DIGITS[15 * rng.integers(0, 4, n)]


def call_time(rng, n, _start):
    hour, minute, second = clock(rng, n)
    return TWO_DIGITS[hour] + ":" + TWO_DIGITS[minute] + ":" + TWO_DIGITS[second]


def money(rng, n) -> np.ndarray:
    """Amounts from cents to a few hundred thousand, most in the hundreds."""
    return np.round(rng.lognormal(5.0, 2.0, n), 2)


def amount_us(rng, n, _start):
    x = money(rng, n)
    return quoted(formatted("{:,.2f}", x), x >= 1000)


def amount_eu(rng, n, _start):
    swap = str.maketrans(",.", ".,")
    return quoted(np.array([t.translate(swap) for t in formatted("{:,.2f}", money(rng, n))],
                           dtype=object))


def rate_comma(rng, n, _start):
    return quoted(np.array([t.replace(".", ",") for t in formatted("{:.2f}", rng.random(n) * 20)],
                           dtype=object))


def units(rng, n, _start):
    x = rng.lognormal(6.0, 2.5, n).astype(np.int64)
    return quoted(formatted("{:,}", x), x >= 1000)


def padded_price(rng, n, _start):
    """As a fixed-width report writes it: a blank on either side."""
    return " " + formatted("{:.3f}", rng.lognormal(3.0, 1.0, n)) + " "


def right_aligned_count(rng, n, _start):
    return formatted("{:>6}", rng.geometric(0.01, n))


def score(rng, n, _start):
    return formatted("{:.2f}", rng.normal(3.0, 1.0, n))


def percent(rng, n, _start):
    return formatted("{:.1f}%", rng.random(n) * 100)


def zip_code(rng, n, _start):
    return formatted("{:05d}", rng.integers(501, 99_951, n))


def order_ref(rng, n, start):
    return formatted("ORD-{:08d}", np.arange(start + 1, start + n + 1))


def customer_id(rng, n, _start):
    """A few customers place most orders."""
    return strs((rng.random(n) ** 3 * 50_000).astype(np.int64) + 10_000)


def sku(rng, n, _start):
    return formatted("SKU-{:05d}", rng.zipf(1.5, n) % 5000)


def person_name(rng, n, _start):
    return quoted(NAME_LAST[rng.integers(0, len(NAME_LAST), n)] + ", "
                  + NAME_FIRST[rng.integers(0, len(NAME_FIRST), n)])


def sparse(make: Column, share: float) -> Column:
    """The column with `share` of its values missing."""
    def column(rng, n, start):
        values = make(rng, n, start)
        hole = rng.random(n) < share
        values[hole] = EXPORT_NA[rng.integers(0, len(EXPORT_NA), int(hole.sum()))]
        return values
    return column


def export_like(pool: np.ndarray) -> list[tuple[str, Column]]:
    P, U, Y = TWO_DIGITS, UNPADDED, YEARS
    columns = [
        ("record_id", unique_id, 0.0),
        ("order_ref", order_ref, 0.0),
        ("customer_id", customer_id, 0.01),
        ("sex", pick(SEXES), 0.05),
        ("grade", zipf_pick(GRADES), 0.1),
        ("vip", pick(YES_NO_LETTER), 0.02),
        ("active", pick(EXCEL_BOOLS), 0.0),
        ("newsletter", pick(YES_NO), 0.2),
        ("order_date", dates("2015-01-01", "2025-01-01", lambda y, m, d: P[d] + "/" + P[m] + "/" + Y[y]), 0.0),
        ("ship_date", dates("2015-01-01", "2025-01-01", lambda y, m, d: P[m] + "/" + P[d] + "/" + Y[y]), 0.08),
        ("birth_date", dates("1940-01-01", "2006-01-01", lambda y, m, d: U[m] + "/" + U[d] + "/" + Y[y]), 0.15),
        ("start_date", dates("2010-01-01", "2024-01-01", lambda y, m, d: U[d] + "-" + U[m] + "-" + Y[y]), 0.05),
        ("due_date", dates("2005-01-01", "2030-01-01", lambda y, m, d: U[m] + "/" + U[d] + "/" + P[y % 100]), 0.1),
        ("iso_date", dates("2000-01-01", "2025-01-01", lambda y, m, d: Y[y] + "-" + P[m] + "-" + P[d]), 0.02),
        ("listed", dates("1995-01-01", "2025-01-01",
                         lambda y, m, d: MONTH_ABBR[m] + " " + U[d] + " " + Y[y]), 0.05),
        ("published", dates("2018-01-01", "2025-01-01",
                            lambda y, m, d: quoted(MONTH_NAMES[m] + " " + U[d] + ", " + Y[y])), 0.1),
        ("filed", dates("1998-01-01", "2012-01-01",
                        lambda y, m, d: U[d] + "-" + MONTH_ABBR[m] + "-" + P[y % 100]), 0.1),
        ("quarter", dates("1960-01-01", "2025-01-01",
                          lambda y, m, d: Y[y] + "Q" + U[(m - 1) // 3 + 1]), 0.0),
        ("period", dates("2015-01-01", "2025-01-01", lambda y, m, d: Y[y] + "-" + P[m]), 0.0),
        ("created", datetimes("2020-01-01", "2025-01-01",
                              lambda y, m, d, h, mi, s: P[m] + "/" + P[d] + "/" + Y[y] + " "
                              + hour12(h)[0] + ":" + P[mi] + " " + hour12(h)[1]), 0.0),
        ("updated", datetimes("2020-01-01", "2025-01-01",
                              lambda y, m, d, h, mi, s: Y[y] + "-" + P[m] + "-" + P[d] + " "
                              + P[h] + ":" + P[mi]), 0.03),
        ("logged", datetimes("2020-01-01", "2025-01-01",
                             lambda y, m, d, h, mi, s: P[d] + "." + P[m] + "." + Y[y] + " "
                             + P[h] + ":" + P[mi]), 0.03),
        ("opens", opening_time, 0.05),
        ("call_time", call_time, 0.1),
        ("pickup", clock_12h, 0.2),
        ("amount_usd", amount_us, 0.01),
        ("amount_eur", amount_eu, 0.01),
        ("rate", rate_comma, 0.05),
        ("units", units, 0.02),
        ("price", padded_price, 0.02),
        ("count", right_aligned_count, 0.0),
        ("score", score, 0.1),
        ("share", percent, 0.05),
        ("quantity", zipf_pick(SMALL_INTS), 0.0),
        ("zip", zip_code, 0.03),
        ("sku", sku, 0.0),
        ("uuid", uuid4, 0.0),
        ("name", person_name, 0.01),
        ("city", zipf_pick(CITIES), 0.05),
        ("email", email, 0.1),
        ("comment", pick(pool), 0.4),
    ]
    return [(name, sparse(make, share) if share else make) for name, make, share in columns]


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
    if name == "e":
        return Shape(export_like(pool), "\r\n", 100 * MB, 5_000, na_share=0.0, junk_share=0.0)
    raise ValueError(f"unknown file {name!r}: expected one of a, b, c, d, e")


def chunk_text(shape: Shape, rng: np.random.Generator, n: int, start: int) -> str:
    columns = []
    na_end = shape.na_share
    junk_end = shape.na_share + shape.junk_share
    for _name, make in shape.columns:
        values = make(rng, n, start)
        if junk_end:
            # NA markers and values of no type at random places.
            roll = rng.random(n)
            na = roll < na_end
            values[na] = NA_WRITTEN[rng.integers(0, len(NA_WRITTEN), int(na.sum()))]
            junk = (roll >= na_end) & (roll < junk_end)
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
    ap.add_argument("--files", default="a,b,c,d", help="comma-separated subset of a,b,c,d,e")
    ap.add_argument("--scale", type=float, default=1.0, help="fraction of the full sizes")
    ap.add_argument("--seed", type=int, default=DEFAULT_SEED)
    args = ap.parse_args(argv)
    for name in args.files.split(","):
        print(generate(name, args.scale, args.seed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
