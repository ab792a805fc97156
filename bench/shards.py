"""Many files: bench file b in 64 shards, profiled by velmira.infer_many and by DuckDB.

    python bench/shards.py [--shards 64] [--rounds 3]

Splits bench/data/b.csv (bench/generate.py makes it) into shards with its header, then times
the whole job, each in a fresh process with a warm page cache: velmira.infer_many with 1 and
2 worker processes and on a dask.distributed LocalCluster of 2 worker processes (started
before the clock), and DuckDB's read_csv('shards/*.csv', union_by_name = true) counting as
the benchmark does. Every merged result must equal DuckDB's counts. Prints a Markdown table.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parent
SHARDS = BENCH / "data" / "shards"

CHILD = r"""
import json, sys, time
sys.path.insert(0, {bench!r})
import contenders
from patterns import PATTERNS, NA_VALUES, TYPE_NAMES, ALL_NAMES
how, pattern = sys.argv[1], sys.argv[2]
if how == "duckdb":
    import duckdb
    header = contenders.header_of(sorted(__import__("glob").glob(pattern))[0])
    src = contenders.sql_text(pattern)
    na = ", ".join(contenders.sql_text(v) for v in sorted(NA_VALUES))
    whens = " ".join(f"WHEN regexp_full_match(v, {{contenders.sql_text(contenders.alternation(n))}}) "
                     f"THEN {{contenders.sql_text(n)}}" for n in TYPE_NAMES)
    columns = "{{" + ", ".join(f"{{contenders.sql_text(c)}}: 'VARCHAR'" for c in header) + "}}"
    query = (f"SELECT name, CASE WHEN v IN ({{na}}) THEN 'NA' {{whens}} ELSE 'other' END AS kind, count(*) "
             f"FROM (SELECT name, coalesce(value, '') AS v FROM read_csv({{src}}, header = true, "
             f"auto_detect = false, delim = ',', quote = '\"', escape = '\"', union_by_name = true, "
             f"columns = {{columns}}) UNPIVOT INCLUDE NULLS (value FOR name IN (COLUMNS(*)))) GROUP BY ALL")
    started = time.perf_counter()
    counts = contenders.empty_counts(header)
    for column, kind, count in duckdb.connect().execute(query).fetchall():
        counts[column][kind] = int(count)
else:
    import velmira
    executor, cluster = None, None
    if how == "dask":
        from distributed import Client, LocalCluster
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
        client = Client(cluster)
        executor = client.get_executor()
    started = time.perf_counter()
    result = velmira.infer_many([pattern], types=PATTERNS, na_values=NA_VALUES, delimiter=",",
                                executor=executor, jobs=None if how == "dask" else int(how))
    assert not result.failures, result.failures
    counts = {{c.name: dict(c.counts) for c in result.profile.columns}}
    seconds = time.perf_counter() - started
    if cluster is not None:
        client.close()
        cluster.close()
    print(json.dumps({{"seconds": seconds, "counts": counts}}))
    sys.exit(0)
print(json.dumps({{"seconds": time.perf_counter() - started, "counts": counts}}))
"""


def split(count: int) -> list[Path]:
    source = BENCH / "data" / "b.csv"
    SHARDS.mkdir(parents=True, exist_ok=True)
    paths = [SHARDS / f"b-{k:03d}.csv" for k in range(count)]
    if all(p.exists() and p.stat().st_mtime >= source.stat().st_mtime for p in paths):
        return paths
    for old in SHARDS.glob("*.csv"):
        old.unlink()
    lines = source.read_bytes().split(b"\r\n")
    header, rows = lines[0], [line for line in lines[1:] if line]
    per = -(-len(rows) // count)
    for k, path in enumerate(paths):
        path.write_bytes(b"\r\n".join([header, *rows[k * per:(k + 1) * per]]) + b"\r\n")
    return paths


def run(how: str, pattern: str) -> tuple[float, dict]:
    for path in SHARDS.glob("*.csv"):
        path.read_bytes()  # a warm page cache
    done = subprocess.run([sys.executable, "-c", CHILD.format(bench=str(BENCH)), how, pattern],
                          capture_output=True, text=True)
    if done.returncode:
        raise RuntimeError(f"{how}: {done.stderr.strip()[-400:]}")
    result = json.loads(done.stdout.strip().splitlines()[-1])
    return result["seconds"], result["counts"]


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--shards", type=int, default=64)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args(argv)
    paths = split(args.shards)
    pattern = str(SHARDS / "*.csv")
    megabytes = sum(p.stat().st_size for p in paths) / 1e6
    rows = [f"{args.shards} shards of b, {megabytes:,.0f} MB", "",
            "| how | seconds | MB/s |", "|---|---:|---:|"]
    reference = None
    for how, label in (("duckdb", "DuckDB read_csv(union_by_name)"), ("1", "velmira, 1 worker"),
                       ("2", "velmira, 2 workers"), ("dask", "velmira on a Dask LocalCluster (2 workers)")):
        times = []
        for _ in range(args.rounds):
            seconds, counts = run(how, pattern)
            reference = reference or counts
            if counts != reference:
                raise SystemExit(f"{label}: counts differ from DuckDB's")
            times.append(seconds)
        seconds = statistics.median(times)
        rows.append(f"| {label} | {seconds:.2f} | {megabytes / seconds:,.1f} |")
        print(rows[-1], file=sys.stderr, flush=True)
    print("\n".join(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
