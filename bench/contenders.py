"""The contenders: each computes {column: {type: count, "other": n, "NA": n}}
for one CSV file with the shared pattern table of patterns.py.

Semantics every contender follows: a field whose text is an NA marker is "NA";
else the type one of whose patterns matches the whole text; else "other". The
types are mutually exclusive, so the order in which they are tried is free.
Texts are compared as they are in the file: nothing is trimmed, and the empty
text is an NA marker whether a library reads it as "" or as null.

Run one contender on one file, as the benchmark runner does in a fresh process:

    python bench/contenders.py polars bench/data/a.csv

It prints one JSON line: {"seconds": ..., "rss_mb": ..., "counts": {...}}. Imports are done
before the clock starts; the time covers reading the file and counting.
"""

from __future__ import annotations

import csv
import json
import re
import sys
import time
from pathlib import Path
from typing import Callable

sys.path.insert(0, str(Path(__file__).resolve().parent))
from patterns import (  # noqa: E402
    ALL_NAMES, NA, NA_VALUES, OTHER, PATTERNS, TYPE_NAMES, alternation, anchored, empty_counts,
)

Counts = dict[str, dict[str, int]]

# Rows after which velmira empties its value cache.
ROLLING_CACHE_WINDOW = 100_000
DELIMITER = ","


def header_of(path: Path) -> list[str]:
    with open(path, newline="", encoding="utf-8") as f:
        return next(csv.reader(f, delimiter=DELIMITER))


# --- velmira -----------------------------------------------------------------------

def velmira(path: Path, multithreading: bool) -> Counts:
    import velmira_ext

    inf = velmira_ext.Inf(str(path), DELIMITER, PATTERNS, set(NA_VALUES), multithreading,
                          False, "", ROLLING_CACHE_WINDOW)
    inf.infer_types()
    return inf.get_col_type_candidates()


# --- plain Python: the csv module and re.fullmatch with a dict cache --------------------

def plain_python(path: Path) -> Counts:
    compiled = [(name, [re.compile(p) for p in pats]) for name, pats in PATTERNS.items()]

    def classify(text: str) -> str:
        for name, regexes in compiled:
            for regex in regexes:
                if regex.fullmatch(text):
                    return name
        return OTHER

    cache: dict[str, str] = {}
    with open(path, newline="", encoding="utf-8") as f:
        reader = csv.reader(f, delimiter=DELIMITER)
        header = next(reader)
        tables = [dict.fromkeys(ALL_NAMES, 0) for _ in header]
        for row in reader:
            for table, text in zip(tables, row):
                if text in NA_VALUES:
                    kind = NA
                else:
                    kind = cache.get(text)
                    if kind is None:
                        kind = cache[text] = classify(text)
                table[kind] += 1
    return dict(zip(header, tables))


# --- pandas: every column as str, then str.fullmatch type after type ---------------------

def pandas_counts(path: Path) -> Counts:
    import pandas as pd

    header = header_of(path)
    counts = empty_counts(header)
    na = list(NA_VALUES)
    # Chunks of about 5 million fields keep the 1 GB file in memory bounds.
    chunks = pd.read_csv(path, sep=DELIMITER, dtype=str, keep_default_na=False, na_filter=False,
                         quotechar='"', doublequote=True, chunksize=max(1000, 5_000_000 // len(header)))
    for chunk in chunks:
        for column in header:
            values = chunk[column]
            is_na = values.isin(na)
            table = counts[column]
            table[NA] += int(is_na.sum())
            rest = values[~is_na]
            for name in TYPE_NAMES:
                if rest.empty:
                    break
                hit = rest.str.fullmatch(alternation(name))
                table[name] += int(hit.sum())
                rest = rest[~hit]
            table[OTHER] += len(rest)
    return counts


# --- polars: all columns Utf8, anchored str.contains per type, streaming ------------------

def polars_counts(path: Path) -> Counts:
    import polars as pl

    header = header_of(path)
    na = list(NA_VALUES)
    exprs = []
    for i, column in enumerate(header):
        value = pl.col(column)
        is_na = value.is_in(na)
        hits = [value.str.contains(anchored(name)) & ~is_na for name in TYPE_NAMES]
        exprs.append(is_na.sum().alias(f"{i}:{NA}"))
        exprs += [hit.sum().alias(f"{i}:{name}") for hit, name in zip(hits, TYPE_NAMES)]
        exprs.append((~is_na & ~pl.any_horizontal(hits)).sum().alias(f"{i}:{OTHER}"))
    # An empty field is null unless empty_string_is_null is turned off.
    frame = pl.scan_csv(path, separator=DELIMITER, quote_char='"', infer_schema=False,
                        empty_string_is_null=False).select(exprs).collect(engine="streaming")
    row = frame.row(0)
    counts = empty_counts(header)
    for key, count in zip(frame.columns, row):
        index, name = key.split(":", 1)
        counts[header[int(index)]][name] = int(count)
    return counts


# --- pyarrow: all columns string, match_substring_regex anchored ---------------------------

def pyarrow_counts(path: Path) -> Counts:
    import pyarrow as pa
    import pyarrow.compute as pc
    from pyarrow import csv as pacsv

    header = header_of(path)
    table = pacsv.read_csv(
        path,
        parse_options=pacsv.ParseOptions(delimiter=DELIMITER, quote_char='"', double_quote=True),
        # strings_can_be_null=False (the default) keeps empty fields as "".
        convert_options=pacsv.ConvertOptions(column_types={c: pa.string() for c in header},
                                             strings_can_be_null=False),
    )
    na = pa.array(list(NA_VALUES), type=pa.string())
    counts = empty_counts(header)
    for i, column in enumerate(header):
        values = table.column(i)
        is_na = pc.is_in(values, value_set=na)
        tally = counts[column]
        tally[NA] = pc.sum(is_na).as_py() or 0
        rest = pc.filter(values, pc.invert(is_na))
        for name in TYPE_NAMES:
            if len(rest) == 0:
                break
            hit = pc.match_substring_regex(rest, anchored(name))
            tally[name] = pc.sum(hit).as_py() or 0
            rest = pc.filter(rest, pc.invert(hit))
        tally[OTHER] = len(rest)
    return counts


# --- DuckDB: read_csv all varchar, regexp_full_match in SQL ---------------------------------

def sql_text(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


def duckdb_counts(path: Path) -> Counts:
    import duckdb

    header = header_of(path)
    na = ", ".join(sql_text(v) for v in sorted(NA_VALUES))
    whens = " ".join(f"WHEN regexp_full_match(v, {sql_text(alternation(name))}) THEN {sql_text(name)}"
                     for name in TYPE_NAMES)
    columns = "{" + ", ".join(f"{sql_text(c)}: 'VARCHAR'" for c in header) + "}"
    source = (f"read_csv({sql_text(str(path))}, header = true, auto_detect = false, "
              f"delim = {sql_text(DELIMITER)}, quote = '\"', escape = '\"', columns = {columns})")
    # Long form (column, value) with one CASE: a CASE per column in one SELECT is
    # planned so slowly that 300 columns take seconds per megabyte. UNPIVOT drops
    # NULLs unless told otherwise, and DuckDB reads an empty field as NULL; that
    # is the empty text here.
    query = (f"SELECT name, CASE WHEN v IN ({na}) THEN {sql_text(NA)} {whens} "
             f"ELSE {sql_text(OTHER)} END AS kind, count(*) "
             f"FROM (SELECT name, coalesce(value, '') AS v FROM "
             f"{source} UNPIVOT INCLUDE NULLS (value FOR name IN (COLUMNS(*)))) "
             f"GROUP BY ALL")
    counts = empty_counts(header)
    for column, kind, count in duckdb.connect().execute(query).fetchall():
        counts[column][kind] = int(count)
    return counts


CONTENDERS: dict[str, Callable[[Path], Counts]] = {
    "velmira-1t": lambda path: velmira(path, multithreading=False),
    "velmira-mt": lambda path: velmira(path, multithreading=True),
    "python": plain_python,
    "pandas": pandas_counts,
    "polars": polars_counts,
    "pyarrow": pyarrow_counts,
    "duckdb": duckdb_counts,
}

# What each contender imports, done before the clock starts.
IMPORTS = {
    "velmira-1t": ["velmira_ext"], "velmira-mt": ["velmira_ext"], "python": [],
    "pandas": ["pandas"], "polars": ["polars"], "pyarrow": ["pyarrow", "pyarrow.compute", "pyarrow.csv"],
    "duckdb": ["duckdb"],
}


def peak_rss_mb() -> float:
    """This process's peak RSS since it started (VmHWM), in MB."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return 0.0


def main(argv: list[str]) -> int:
    if len(argv) != 2 or argv[0] not in CONTENDERS:
        print(f"usage: contenders.py {{{','.join(CONTENDERS)}}} FILE.csv", file=sys.stderr)
        return 2
    name, path = argv[0], Path(argv[1])
    for module in IMPORTS[name]:
        __import__(module)
    started = time.perf_counter()
    counts = CONTENDERS[name](path)
    seconds = time.perf_counter() - started
    counts = {c: {t: int(n) for t, n in table.items()} for c, table in counts.items()}
    print(json.dumps({"seconds": seconds, "rss_mb": peak_rss_mb(), "counts": counts}))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
