"""Compressed input: velmira, DuckDB and polars on gzip and zstd versions of bench files.

    python bench/compressed.py [--files a,b] [--rounds 3]

Makes bench/data/<file>.csv.gz (gzip -6) and .csv.zst (zstd -3) from the benchmark's files
(bench/generate.py makes those), then times, each in a fresh process with a warm page cache:
the decompression floor (zcat or zstdcat into /dev/null), velmira through the package's
entry point (single-threaded and with worker threads), DuckDB and polars reading the same
compressed file. Figures are MB/s of uncompressed CSV; every contender's counts must equal
velmira's on the uncompressed file. Prints a Markdown table.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
DATA = BENCH / "data"
MB = 1_000_000

FORMATS = {
    "gzip": (".gz", ["gzip", "-6", "-c"], "zcat"),
    "zstd": (".zst", ["zstd", "-3", "-q", "-c"], "zstdcat"),
}

# One contender on one (compressed) file: prints {"seconds": ..., "counts": ...}.
CHILD = r"""
import json, sys, time
sys.path.insert(0, {bench!r})
import contenders
from patterns import PATTERNS, NA_VALUES
name, path, plain = sys.argv[1], sys.argv[2], sys.argv[3]
_header = contenders.header_of
contenders.header_of = lambda _path: _header(plain)
if name.startswith("velmira"):
    from velmira import _native
    started = time.perf_counter()
    inp = _native.Input(path)
    names, counts, rows = _native.infer(inp, ",", PATTERNS, set(NA_VALUES), name == "velmira-mt", None, 100000, None)
    inp.close()
    result = {{n.decode(): c for n, c in zip(names, counts)}}
else:
    import duckdb, polars
    started = time.perf_counter()
    result = contenders.CONTENDERS[name](contenders.Path(path))
print(json.dumps({{"seconds": time.perf_counter() - started, "counts": result}}))
"""


def warm(path: Path) -> None:
    with open(path, "rb", buffering=0) as f:
        buf = bytearray(1 << 20)
        while f.readinto(buf):
            pass


def compressed(name: str, fmt: str) -> Path:
    plain = DATA / f"{name}.csv"
    suffix, command, _ = FORMATS[fmt]
    target = DATA / f"{name}.csv{suffix}"
    if not target.exists() or target.stat().st_mtime < plain.stat().st_mtime:
        with open(target, "wb") as out:
            subprocess.run([*command, str(plain)], stdout=out, check=True)
    return target


def floor(path: Path, fmt: str) -> float:
    warm(path)
    started = time.perf_counter()
    with open(path, "rb") as src:
        subprocess.run([FORMATS[fmt][2]], stdin=src, stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - started


def contender(name: str, path: Path, plain: Path) -> tuple[float, dict]:
    warm(path)
    # header_of reads the plain file's header: DuckDB and polars are given it, as on plain files.
    code = CHILD.format(bench=str(BENCH))
    done = subprocess.run([sys.executable, "-c", code, name, str(path), str(plain)], capture_output=True, text=True)
    if done.returncode:
        raise RuntimeError(f"{name} on {path.name}: {done.stderr.strip().splitlines()[-1:]}")
    result = json.loads(done.stdout.strip().splitlines()[-1])
    return result["seconds"], result["counts"]


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--files", default="a,b")
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args(argv)
    rows = ["| file | contender | MB/s (uncompressed) | note |", "|---|---|---:|---|"]
    for name in args.files.split(","):
        plain = DATA / f"{name}.csv"
        size = plain.stat().st_size / MB
        _, reference = contender("velmira-1t", plain, plain)
        for fmt in FORMATS:
            path = compressed(name, fmt)
            ratio = plain.stat().st_size / path.stat().st_size
            label = f"{name}{FORMATS[fmt][0]}"
            seconds = statistics.median(floor(path, fmt) for _ in range(args.rounds))
            rows.append(f"| {label} | {FORMATS[fmt][2]} > /dev/null | {size / seconds:,.1f} | ratio {ratio:.1f} |")
            for who in ("velmira-1t", "velmira-mt", "duckdb", "polars"):
                times, note = [], ""
                for _ in range(args.rounds):
                    try:
                        seconds, counts = contender(who, path, plain)
                    except RuntimeError as exc:
                        note = str(exc)[:120]
                        break
                    if counts != reference:
                        note = "counts differ from velmira on the plain file"
                        break
                    times.append(seconds)
                speed = f"{size / statistics.median(times):,.1f}" if times and not note else "–"
                rows.append(f"| {label} | {who} | {speed} | {note} |")
                print(rows[-1], file=sys.stderr, flush=True)
    print("\n".join(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
