"""Time to an answer: how long each tool takes, from a fresh process, to say what the
columns of a whole file are, each in its own way.

    python bench/answer.py                                  # what `make bench-answer` runs
    python bench/answer.py --files a,b,c,e --rounds 5
    python bench/answer.py --scale 0.01 --rounds 1          # small files: a smoke test
    python bench/answer.py --files e --contenders polars,velmira

The peers' answer is their whole-file typed load (pyarrow.csv.read_csv, pandas.read_csv,
DuckDB's CREATE TABLE AS read_csv with sample_size = -1, polars.read_csv with
infer_schema_length=None); velmira's is a profile with its default types, in Python
(velmira.infer) and from the command line (velmira FILE -f json). Every measurement is a
new process, timed from its spawn to its exit; the Python contenders also report the
time of the load alone. Rounds are interleaved: each round runs every contender once
on every file, so drift on the machine touches them all alike.
Writes bench/results/answer.md and answer.json.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
RESULTS = BENCH / "results"
LOADS_SCRIPT = BENCH / "typed_loads.py"
MB = 1_000_000

FILES = {
    "a": "10 low-cardinality columns",
    "b": "10 high-cardinality columns, CRLF",
    "c": "300 mixed columns",
    "d": "as a, 1 GB",
    "e": "41 export-like columns, CRLF",
}
DEFAULT_FILES = "a,b,c,e"
PEERS = ["pyarrow", "pandas", "duckdb", "polars"]
VELMIRA = "velmira"
VELMIRA_CLI = "velmira-cli"
CONTENDERS = PEERS + [VELMIRA, VELMIRA_CLI]
LABELS = {"pyarrow": "pyarrow", "pandas": "pandas", "duckdb": "DuckDB", "polars": "polars",
          VELMIRA: "velmira", VELMIRA_CLI: "velmira CLI"}
# The command prints nothing about its own time; only its wall time is known.
WALL_ONLY = {VELMIRA_CLI}


@dataclass
class Outcome:
    """One contender on one file, over the rounds."""

    wall: list[float] = field(default_factory=list)      # spawn to exit, per round
    work: list[float] = field(default_factory=list)      # the load alone, as the child timed it
    imports: list[float] = field(default_factory=list)   # the child's imports, before the load
    rss_mb: float = 0.0                                  # the child's peak RSS over the rounds
    rows: int | None = None                              # rows the load held, first round
    types: dict[str, str] | None = None                  # the answer, from the first round
    status: str = "ok"                                   # ok, failed, timeout
    note: str = ""                                       # why it failed, or a row shortfall


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def warm(path: Path) -> None:
    """Reads the file once, untimed: this machine pages out file data that has not been
    read for a while, and a cold read would be charged to whoever came first."""
    with open(path, "rb", buffering=0) as f:
        buf = bytearray(1 << 20)
        while f.readinto(buf):
            pass


def median(xs: list[float]) -> float | None:
    return statistics.median(xs) if xs else None


def least(xs: list[float]) -> float | None:
    return min(xs) if xs else None


def velmira_command(given: str | None) -> str | None:
    """The console script installed beside this interpreter, else the one on PATH."""
    if given:
        return given
    beside = Path(sys.executable).parent / "velmira"
    return str(beside) if beside.exists() else shutil.which("velmira")


def command_of(contender: str, path: Path, velmira_cli: str | None) -> list[str]:
    if contender == VELMIRA_CLI:
        if not velmira_cli:
            raise FileNotFoundError("no velmira command beside this Python or on PATH (--velmira-command)")
        return [velmira_cli, str(path), "-f", "json", "--no-progress"]
    return [sys.executable, str(LOADS_SCRIPT), contender, str(path)]


def last_line(text: str) -> str:
    lines = text.strip().splitlines()
    return lines[-1] if lines else ""


def measure(outcome: Outcome, contender: str, path: Path, args: argparse.Namespace) -> None:
    """One round: one process, after an untimed read of the file."""
    try:
        cmd = command_of(contender, path, args.velmira_command)
    except FileNotFoundError as exc:
        outcome.status, outcome.note = "failed", str(exc)
        return
    warm(path)
    stdout = subprocess.DEVNULL if contender in WALL_ONLY else subprocess.PIPE
    started = time.perf_counter()
    try:
        done = subprocess.run(cmd, stdout=stdout, stderr=subprocess.PIPE, cwd=ROOT,
                              timeout=args.timeout)
    except subprocess.TimeoutExpired:
        outcome.status, outcome.note = "timeout", f"over {args.timeout:g} s"
        return
    except OSError as exc:
        outcome.status, outcome.note = "failed", f"could not start {cmd[0]}: {exc.strerror}"
        return
    wall = time.perf_counter() - started
    if done.returncode:
        outcome.status = "failed"
        outcome.note = f"exit {done.returncode}: {last_line(done.stderr.decode(errors='replace'))[:300]}"
        return
    if contender in WALL_ONLY:
        outcome.wall.append(wall)
        return
    try:
        child = json.loads(last_line(done.stdout.decode(errors="replace")))
    except ValueError:
        outcome.status, outcome.note = "failed", "exited 0 without its JSON line"
        return
    outcome.wall.append(wall)
    outcome.work.append(child["seconds"])
    outcome.imports.append(child["import_seconds"])
    outcome.rss_mb = max(outcome.rss_mb, child["rss_mb"])
    if outcome.types is None:
        outcome.rows, outcome.types = child["rows"], child["types"]


def interpreter_start(args: argparse.Namespace) -> float:
    """Wall time of a Python that does nothing: the part of every Python contender's time
    that no library can lower."""
    started = time.perf_counter()
    subprocess.run([sys.executable, "-c", "pass"], check=True, cwd=ROOT, timeout=args.timeout)
    return time.perf_counter() - started


def run(args: argparse.Namespace, paths: dict[str, Path],
        files: dict[str, dict]) -> tuple[dict[tuple[str, str], Outcome], list[float]]:
    outcomes = {(f, c): Outcome() for f in paths for c in args.contenders}
    bare = []
    for round_no in range(args.rounds):
        bare.append(interpreter_start(args))
        # Each round starts with the next contender, so that none always follows the same one.
        shift = round_no % len(args.contenders)
        order = args.contenders[shift:] + args.contenders[:shift]
        for name, path in paths.items():
            for contender in order:
                outcome = outcomes[(name, contender)]
                if outcome.status != "ok":
                    continue
                measure(outcome, contender, path, args)
                # A quick load of part of the file would pass for a fast one.
                if outcome.rows is not None and outcome.rows != files[name]["rows"]:
                    outcome.note = f"read {outcome.rows:,} of {files[name]['rows']:,} rows"
                shown = f"{outcome.wall[-1]:.3f} s" if outcome.status == "ok" else \
                    f"{outcome.status}: {outcome.note}"
                log(f"round {round_no + 1}/{args.rounds} {name} {contender}: {shown}")
    return outcomes, bare


# --- report -------------------------------------------------------------------------------

def seconds_text(x: float | None) -> str:
    if x is None:
        return "—"
    digits = 0 if x >= 100 else 1 if x >= 10 else 2 if x >= 1 else 3
    return f"{x:.{digits}f}"


def cell(outcome: Outcome | None, seconds: list[float] | None, bold: bool = False) -> str:
    if outcome is None:
        return "—"
    if outcome.status != "ok":
        return outcome.status
    text = seconds_text(median(seconds or []))
    return f"**{text}**" if bold and seconds else text


def fastest_peer(outcomes: dict[tuple[str, str], Outcome], name: str,
                 pick: str) -> tuple[str, float] | None:
    """The peer with the lowest median on a file, by "wall" or "work" seconds."""
    timed = {c: median(getattr(o, pick)) for (n, c), o in outcomes.items()
             if n == name and c in PEERS and o.status == "ok" and getattr(o, pick)}
    if not timed:
        return None
    best = min(timed, key=timed.get)
    return best, timed[best]


def ratio_text(peer: tuple[str, float] | None, outcome: Outcome | None, pick: str) -> str:
    if peer is None or outcome is None or outcome.status != "ok" or not getattr(outcome, pick):
        return "—"
    return f"{peer[1] / median(getattr(outcome, pick)):.1f}x"


def table(outcomes: dict[tuple[str, str], Outcome], files: dict[str, dict], contenders: list[str],
          pick: str) -> list[str]:
    """Median seconds per file (rows) and contender (columns), the fastest peer in bold, and
    then the fastest peer's time over each velmira's: how many times sooner velmira answers."""
    shown = [c for c in contenders if pick == "wall" or c not in WALL_ONLY]
    mine = [c for c in shown if c in (VELMIRA, VELMIRA_CLI)]
    head = ["file", "MB"] + [LABELS[c] for c in shown] + [f"{LABELS[c]} vs fastest peer" for c in mine]
    lines = ["| " + " | ".join(head) + " |", "|---|" + "---:|" * (len(head) - 1)]
    for name, meta in files.items():
        peer = fastest_peer(outcomes, name, pick)
        row = [f"{name}: {FILES[name]}", f"{meta['bytes'] / MB:,.1f}"]
        for c in shown:
            o = outcomes.get((name, c))
            row.append(cell(o, getattr(o, pick) if o else None, bold=peer is not None and c == peer[0]))
        row += [ratio_text(peer, outcomes.get((name, c)), pick) for c in mine]
        lines.append("| " + " | ".join(row) + " |")
    return lines


def answers_table(outcomes: dict[tuple[str, str], Outcome], name: str, contenders: list[str]) -> list[str]:
    """The type each tool gave each column of one file."""
    given = [c for c in contenders if outcomes[(name, c)].types]
    if not given:
        return []
    columns = list(outcomes[(name, given[0])].types)
    lines = ["| column | " + " | ".join(LABELS[c] for c in given) + " |",
             "|---|" + "---|" * len(given)]
    for column in columns:
        kinds = [outcomes[(name, c)].types.get(column, "(absent)") for c in given]
        lines.append(f"| {column} | " + " | ".join(f"`{k}`" for k in kinds) + " |")
    return lines


def versions() -> dict[str, str]:
    found = {}
    for module in ("pyarrow", "pandas", "duckdb", "polars", "numpy"):
        try:
            found[module] = getattr(__import__(module), "__version__", "?")
        except ImportError:
            found[module] = "missing"
    try:
        from importlib.metadata import version

        found["velmira"] = version("velmira")
    except Exception:  # noqa: BLE001 - a source tree without metadata still runs
        found["velmira"] = "?"
    return found


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "?"


def machine(load_before: float) -> dict:
    return {"cores": os.cpu_count(), "cpu": cpu_model(), "python": platform.python_version(),
            "platform": platform.platform(), "versions": versions(),
            "load_before": load_before, "load_after": os.getloadavg()[0]}


def report(args: argparse.Namespace, facts: dict, files: dict[str, dict],
           outcomes: dict[tuple[str, str], Outcome], bare: list[float], elapsed: float) -> str:
    v = facts["versions"]
    lines = [
        "# Time to an answer",
        "",
        f"{time.strftime('%Y-%m-%d %H:%M')}; {facts['cores']} x {facts['cpu']}; Python {facts['python']}; "
        + ", ".join(f"{k} {x}" for k, x in v.items()) + ".",
        f"Scale {args.scale:g}, seed {args.seed}, interleaved rounds: {args.rounds} (median), run took "
        f"{elapsed:.0f} s; load average {facts['load_before']:.1f} before it, {facts['load_after']:.1f} "
        "at its end.",
        "",
        "## From spawn to exit",
        "",
        "Median seconds of a whole process per file: interpreter start, imports, the load or the "
        "profile, and exit. The fastest peer is in bold; *vs fastest peer* is its time over "
        "velmira's (above 1: velmira answers sooner).",
        "",
        *table(outcomes, files, args.contenders, "wall"),
        "",
        "## The work alone",
        "",
        "Median seconds of the load (or the profile) as timed inside the process, after the imports.",
        "",
        *table(outcomes, files, args.contenders, "work"),
        "",
        "## Every figure",
        "",
        "| file | contender | wall median | wall min | work median | work min | imports | peak RSS MB "
        "| rounds | note |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---|",
    ]
    for name in files:
        for c in args.contenders:
            o = outcomes[(name, c)]
            rss = f"{o.rss_mb:,.0f}" if o.rss_mb else "—"
            note = o.note if o.status == "ok" else f"{o.status}: {o.note}"
            lines.append(f"| {name} | {c} | {seconds_text(median(o.wall))} | {seconds_text(least(o.wall))} "
                         f"| {seconds_text(median(o.work))} | {seconds_text(least(o.work))} "
                         f"| {seconds_text(median(o.imports))} | {rss} | {len(o.wall)} | {note} |")
    if "e" in files:
        lines += ["", "## What each answered on e", "",
                  "The type each tool gave each column of the export-like file.", "",
                  *answers_table(outcomes, "e", args.contenders)]
    lines += [
        "",
        "## Notes",
        "",
        f"- A Python that does nothing (`python -c pass`) took {seconds_text(median(bare))} s "
        "(median); every Python contender pays it, the command too.",
        "- Every measurement is preceded by an untimed read of its file (warm page cache). Rounds "
        "are interleaved and each round starts one contender later than the one before.",
        "- pyarrow, polars and DuckDB use every core by default and are left so; velmira runs "
        "single-threaded, its default.",
        "- The answers differ in kind: the peers hold every value in typed columns at the end; "
        "velmira has matched every value against its types and holds only the counts.",
    ]
    return "\n".join(lines) + "\n"


def raw(args: argparse.Namespace, facts: dict, files: dict[str, dict],
        outcomes: dict[tuple[str, str], Outcome], bare: list[float]) -> dict:
    return {
        "machine": facts,
        "settings": {"scale": args.scale, "seed": args.seed, "rounds": args.rounds,
                     "timeout": args.timeout, "contenders": args.contenders},
        "files": files,
        "python_start_seconds": bare,
        "results": {
            f"{n}/{c}": {
                "wall_seconds": o.wall, "wall_median": median(o.wall), "wall_min": least(o.wall),
                "work_seconds": o.work, "work_median": median(o.work), "work_min": least(o.work),
                "import_seconds": o.imports, "rss_mb": o.rss_mb or None, "rows": o.rows,
                "status": o.status, "note": o.note, "types": o.types,
            }
            for (n, c), o in outcomes.items()
        },
    }


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--files", default=DEFAULT_FILES, help=f"comma-separated subset of {','.join(FILES)}")
    ap.add_argument("--contenders", default=",".join(CONTENDERS),
                    help="comma-separated subset of " + ",".join(CONTENDERS))
    ap.add_argument("--rounds", type=int, default=5, help="processes per contender and file (default 5)")
    ap.add_argument("--scale", type=float, default=1.0, help="fraction of the full file sizes (default 1)")
    ap.add_argument("--seed", type=int, default=None, help="the generator's seed (default: its own)")
    ap.add_argument("--timeout", type=float, default=300.0, help="seconds allowed to one process")
    ap.add_argument("--velmira-command", help="the velmira console script (default: the one beside "
                    "this Python, else on PATH)")
    ap.add_argument("--out", type=Path, default=RESULTS, help="folder for answer.md and answer.json")
    args = ap.parse_args(argv)
    args.files = [f for f in args.files.split(",") if f]
    args.contenders = [c for c in args.contenders.split(",") if c]
    unknown = [f for f in args.files if f not in FILES] + [c for c in args.contenders if c not in CONTENDERS]
    if unknown:
        ap.error(f"unknown file or contender: {', '.join(unknown)}")
    if args.rounds < 1:
        ap.error("--rounds must be at least 1")
    args.velmira_command = velmira_command(args.velmira_command)

    # The generator needs numpy; imported here, so that the report's helpers do not.
    sys.path.insert(0, str(BENCH))
    import generate

    args.seed = generate.DEFAULT_SEED if args.seed is None else args.seed
    load_before = os.getloadavg()[0]
    started = time.perf_counter()
    paths = {name: generate.generate(name, args.scale, args.seed) for name in args.files}
    files = {}
    for name, path in paths.items():
        meta = json.loads(path.with_suffix(".json").read_text())
        files[name] = {"path": str(path.relative_to(ROOT)) if path.is_relative_to(ROOT) else str(path),
                       "bytes": meta["bytes"], "rows": meta["rows"], "columns": meta["columns"]}
    outcomes, bare = run(args, paths, files)
    facts = machine(load_before)
    text = report(args, facts, files, outcomes, bare, time.perf_counter() - started)
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "answer.md").write_text(text)
    (args.out / "answer.json").write_text(json.dumps(raw(args, facts, files, outcomes, bare), indent=1) + "\n")
    print(text)
    log(f"wrote {args.out / 'answer.md'} and answer.json in {time.perf_counter() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
