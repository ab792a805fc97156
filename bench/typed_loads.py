"""One tool's own answer to "what are this file's columns?", the way its users ask it:
the whole file loaded with the types the tool infers by itself.

    python bench/typed_loads.py polars bench/data/e.csv

prints one JSON line: {"import_seconds", "seconds", "rss_mb", "rows", "types"}, where
"seconds" covers the load alone (imports are timed apart, before it) and "types" maps
each column to the type the tool chose, as the tool names it. The answer runner
(answer.py) starts this script once per measurement, so that every load pays for
a fresh interpreter and its imports, as a user's script does.

Only the standard library is imported before the tool itself: anything more would be
charged to every contender's wall time.
"""

from __future__ import annotations

import json
import sys
import time
from typing import Callable

Answer = tuple[int, dict[str, str]]  # rows, column -> type


def sql_text(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


def load_pyarrow(path: str) -> Callable[[], Answer]:
    from pyarrow import csv

    table = csv.read_csv(path)
    return lambda: (table.num_rows, {f.name: str(f.type) for f in table.schema})


def load_pandas(path: str) -> Callable[[], Answer]:
    import pandas

    frame = pandas.read_csv(path)
    return lambda: (len(frame), {str(c): str(t) for c, t in frame.dtypes.items()})


def load_duckdb(path: str) -> Callable[[], Answer]:
    import duckdb

    db = duckdb.connect()
    db.execute(f"CREATE TABLE t AS SELECT * FROM read_csv({sql_text(path)}, sample_size = -1)")

    def answer() -> Answer:
        rows = db.execute("SELECT count(*) FROM t").fetchone()[0]
        return rows, {name: kind for name, kind, *_ in db.execute("DESCRIBE t").fetchall()}
    return answer


def load_polars(path: str) -> Callable[[], Answer]:
    import polars

    frame = polars.read_csv(path, infer_schema_length=None)
    return lambda: (frame.height, {name: str(kind) for name, kind in frame.schema.items()})


def load_velmira(path: str) -> Callable[[], Answer]:
    import velmira

    profile = velmira.infer(path)
    return lambda: (profile.rows, {c.name: c.type for c in profile.columns})


# Each load returns how to read its answer, so that turning the result into plain
# names is left out of the time.
LOADS: dict[str, Callable[[str], Callable[[], Answer]]] = {
    "pyarrow": load_pyarrow,
    "pandas": load_pandas,
    "duckdb": load_duckdb,
    "polars": load_polars,
    "velmira": load_velmira,
}
# Imported before the clock starts; velmira's package loads its engine lazily, on first use.
IMPORTS = {
    "pyarrow": ["pyarrow", "pyarrow.csv"],
    "pandas": ["pandas"],
    "duckdb": ["duckdb"],
    "polars": ["polars"],
    "velmira": ["velmira", "velmira.inference"],
}


def peak_rss_mb() -> float:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return 0.0


def main(argv: list[str]) -> int:
    if len(argv) != 2 or argv[0] not in LOADS:
        print(f"usage: typed_loads.py {{{','.join(LOADS)}}} FILE.csv", file=sys.stderr)
        return 2
    tool, path = argv
    started = time.perf_counter()
    for module in IMPORTS[tool]:
        __import__(module)
    loaded = time.perf_counter()
    answer = LOADS[tool](path)
    seconds = time.perf_counter() - loaded
    rows, types = answer()
    print(json.dumps({"import_seconds": loaded - started, "seconds": seconds, "rss_mb": peak_rss_mb(),
                      "rows": int(rows), "types": types}))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
