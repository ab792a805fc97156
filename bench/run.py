"""Runs the benchmark: velmira against the alternatives on the generated files.

    python bench/run.py                      # what `make bench` runs (< 20 min on 2 cores)
    python bench/run.py --quick              # small files, one round: a smoke test
    python bench/run.py --files a,b --contenders velmira-1t,polars

Every measurement runs in a fresh process, so the peak RSS reported is that
contender's alone. A contender's counts must equal velmira single-threaded's on
the same input before its time is reported; otherwise it is reported as wrong.
Writes bench/results/results.md, results.json and throughput.png.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))
import generate  # noqa: E402
from contenders import CONTENDERS  # noqa: E402

RESULTS = BENCH / "results"
TOKENIZER_SOURCE = BENCH / "bench_tokenizer.cpp"
TOKENIZER_BINARY = ROOT / "build" / "bench_tokenizer"
MATCHER_SOURCE = BENCH / "bench_matcher.cpp"
MATCHER_BINARY = ROOT / "build" / "bench_matcher"
MATCHER_LINK = ["src/match/matcher.cpp", "src/match/pattern_admission.cpp", "-lboost_regex", "-lpcre2-8"]
MB = 1_000_000

FILES = {
    "a": "narrow, low cardinality (10 columns)",
    "b": "narrow, high cardinality (10 columns, CRLF)",
    "c": "wide (300 columns)",
    "d": "as a, 1 GB (memory test)",
}
READ_FLOOR = "floor-read"
TOKENIZER_FLOOR = "floor-tokenizer"
FLOORS = [READ_FLOOR, TOKENIZER_FLOOR]
# d is a longer a: its times are predicted from a's.
SAME_SHAPE = {"d": "a"}
REFERENCE = "velmira-1t"
# Who else may stand in as the reference, in this order, while velmira cannot run.
FALLBACK_REFERENCES = ["polars", "duckdb", "pyarrow", "pandas", "python"]
# Rounds are one process each; these run once per file, whatever --rounds says.
SINGLE_ROUND = {"python"}
# Plain Python reads at most this much of a file (at scale 1), from its start.
PYTHON_SLICE_BYTES = 250 * MB
# Left for the report when deciding whether another run fits the budget.
RESERVE_SECONDS = 20.0
# Extra rounds only for runs shorter than this.
EXTRA_ROUND_MAX_SECONDS = 30.0

READ_SCRIPT = """
import sys, time
buf = bytearray(16 << 20)
t = time.perf_counter()
with open(sys.argv[1], 'rb', buffering=0) as f:
    while f.readinto(buf):
        pass
seconds = time.perf_counter() - t
with open('/proc/self/status') as f:
    hwm = [int(l.split()[1]) / 1024 for l in f if l.startswith('VmHWM:')][0]
print('{"seconds": %r, "rss_mb": %r}' % (seconds, hwm))
"""


@dataclass
class Outcome:
    """Everything measured for one contender on one file."""

    input: Path                                         # the file it read (may be a slice)
    seconds: list[float] = field(default_factory=list)  # per round that succeeded
    rss_mb: float = 0.0                                 # peak RSS over the rounds
    counts: dict | None = None                          # counts of the first round
    status: str = "ok"                                  # ok, wrong, failed, timeout, skipped
    note: str = ""

    @property
    def median(self) -> float:
        return statistics.median(self.seconds)


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def peak_rss_mb(pid: int | str = "self") -> float | None:
    """VmHWM of a live process: its peak RSS since its last exec. (ru_maxrss of
    a child would also hold the RSS of this process at the fork.)"""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return None


def run_child(cmd: list[str], timeout: float) -> tuple[int | None, str, str, float, float]:
    """Runs one process; returns (exit code or None on timeout, stdout, stderr,
    wall seconds, peak RSS in MB as last seen while it ran)."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        started = time.perf_counter()
        proc = subprocess.Popen(cmd, stdout=out, stderr=err, cwd=ROOT)
        code: int | None = None
        peak = 0.0
        while True:
            peak = max(peak, peak_rss_mb(proc.pid) or 0.0)
            pid, status, _usage = os.wait4(proc.pid, os.WNOHANG)
            if pid:
                code = os.waitstatus_to_exitcode(status)
                break
            if time.perf_counter() - started > timeout:
                proc.kill()
                os.wait4(proc.pid, 0)
                break
            time.sleep(0.01)
        proc.returncode = -1 if code is None else code  # reaped here, not by Popen
        wall = time.perf_counter() - started
        out.seek(0)
        err.seek(0)
        return (code, out.read().decode(errors="replace"), err.read().decode(errors="replace"),
                wall, peak)


def build_program(source: Path, binary: Path, extra: list[str] = ()) -> str:
    """Builds one of the C++ benchmark programs; returns why it is missing, or ""."""
    if not source.exists():
        return f"{source.relative_to(ROOT)} not present"
    inputs = [source, ROOT / "csv" / "parser.hpp", ROOT / "src" / "match" / "matcher.hpp", ROOT / "src" / "match" / "matcher.cpp",
              ROOT / "src" / "match" / "pattern_admission.cpp", ROOT / "src" / "match" / "pattern_admission.hpp"]
    if binary.exists() and binary.stat().st_mtime >= max(p.stat().st_mtime for p in inputs if p.exists()):
        return ""
    binary.parent.mkdir(exist_ok=True)
    cmd = ["g++", "-O2", "-std=c++17", "-I.", "-Isrc", str(source.relative_to(ROOT)), *extra,
           "-o", str(binary.relative_to(ROOT))]
    try:
        done = subprocess.run(cmd, cwd=ROOT, capture_output=True, text=True, timeout=300)
    except (OSError, subprocess.TimeoutExpired) as exc:
        return f"build failed: {exc}"
    if done.returncode:
        return "build failed: " + (done.stderr.strip().splitlines() or ["?"])[-1][:200]
    return ""


def build_tokenizer() -> str:
    return build_program(TOKENIZER_SOURCE, TOKENIZER_BINARY)


def warm(path: Path) -> None:
    """Reads a file once, so that every contender starts from a warm page cache: the
    machine may page out file data that has not been read for a while."""
    with open(path, "rb", buffering=0) as f:
        buf = bytearray(1 << 20)
        while f.readinto(buf):
            pass


def matcher_figures(files: list[Path]) -> dict | str:
    """ns per match of each pattern, fast path against Boost, and the share of a pass's
    matches the fast path decided; or why they are missing."""
    why = build_program(MATCHER_SOURCE, MATCHER_BINARY, MATCHER_LINK)
    if why:
        return why
    from patterns import PATTERNS

    with tempfile.NamedTemporaryFile("w", suffix=".tsv", delete=False) as table:
        for type_name, patterns in PATTERNS.items():
            for pattern in patterns:
                table.write(f"{type_name}\t{pattern}\n")
    try:
        done = subprocess.run([str(MATCHER_BINARY), table.name, *map(str, files)], cwd=ROOT,
                              capture_output=True, text=True, timeout=600)
    finally:
        os.unlink(table.name)
    if done.returncode:
        return "failed: " + (done.stderr.strip().splitlines() or ["?"])[-1][:200]
    return json.loads(done.stdout.strip().splitlines()[-1])


def diff_note(counts: dict, reference: dict) -> str:
    for column, table in reference.items():
        if counts.get(column) != table:
            got = counts.get(column, {})
            off = {k: (got.get(k), v) for k, v in table.items() if got.get(k) != v}
            off.update({k: (n, None) for k, n in got.items() if k not in table})
            return f"column {column!r}: (got, expected) {off}"
    return "extra columns: " + ", ".join(sorted(set(counts) - set(reference)))[:200]


class Bench:
    def __init__(self, args: argparse.Namespace):
        self.args = args
        self.started = time.perf_counter()
        self.outcomes: dict[tuple[str, str], Outcome] = {}
        self.counts_by_input: dict[Path, dict[str, dict]] = {}  # input -> contender -> counts
        self.files: dict[str, Path] = {}
        self.meta: dict[str, dict] = {}
        self.tokenizer_missing = ""
        self.load = os.getloadavg()[0]  # other work on the machine skews every figure
        self.previous = previous_speeds()  # (file, contender, input) -> MB/s of the last run written
        self.matcher: dict | str = "not run"

    # --- budget ---------------------------------------------------------------------------

    def remaining(self) -> float:
        return self.args.budget - (time.perf_counter() - self.started)

    def fields_of(self, name: str, path: Path) -> float:
        """Fields in an input: counted where some contender read it, else estimated
        from the bytes at the whole file's density."""
        for counts in self.counts_by_input.get(path, {}).values():
            return sum(sum(t.values()) for t in counts.values())
        whole = self.files[name]
        density = 0.0
        for counts in self.counts_by_input.get(whole, {}).values():
            density = sum(sum(t.values()) for t in counts.values()) / whole.stat().st_size
            break
        return density * path.stat().st_size

    def predict(self, contender: str, name: str, path: Path) -> float | None:
        """Seconds per field this contender showed so far (on a file of the same
        shape if there is one, else the worst), times the fields here."""
        rates = {}
        for (other, c), o in self.outcomes.items():
            if c != contender or o.status not in ("ok", "timeout", "wrong") or not o.seconds:
                continue
            fields = self.fields_of(other, o.input)
            if fields:
                rates[other] = max(o.seconds) / fields
        fields = self.fields_of(name, path)
        if not rates or not fields:
            return None
        rate = rates.get(SAME_SHAPE.get(name, name)) or max(rates.values())
        return rate * fields

    # --- one measurement --------------------------------------------------------------------

    def measure(self, name: str, contender: str, path: Path) -> None:
        """One round of one contender on one file, in a fresh process."""
        key = (name, contender)
        outcome = self.outcomes.setdefault(key, Outcome(path))
        room = self.remaining() - RESERVE_SECONDS
        guess = self.predict(contender, name, path)
        if room < 1 or (guess is not None and guess > min(room, self.args.timeout)):
            if not outcome.seconds and outcome.status == "ok":
                outcome.status = "skipped"
                outcome.note = (f"predicted {guess:.0f} s" if guess else "no time left") + \
                    f"; {max(room, 0):.0f} s of budget left"
            return
        timeout = min(self.args.timeout, room)
        warm(path)
        if contender == READ_FLOOR:
            cmd = [sys.executable, "-c", READ_SCRIPT, str(path)]
        elif contender == TOKENIZER_FLOOR:
            # It reports the median of its own rounds over the file held in memory.
            cmd = [str(TOKENIZER_BINARY), str(path), "1" if name == "d" else "3"]
        else:
            cmd = [sys.executable, str(BENCH / "contenders.py"), contender, str(path)]
        code, out, err, wall, rss = run_child(cmd, timeout)
        outcome.rss_mb = max(outcome.rss_mb, rss)
        where = f"{contender} on {path.name}"
        if code is None:
            outcome.status = "timeout"
            outcome.seconds.append(timeout)
            outcome.note = f"killed after {timeout:.0f} s"
            log(f"  {where}: timeout after {timeout:.0f} s")
            return
        if code != 0:
            outcome.status = "failed"
            last = (err.strip().splitlines() or [f"exit code {code}"])[-1]
            outcome.note = last[:300]
            log(f"  {where}: failed: {last[:300]}")
            return
        if contender == TOKENIZER_FLOOR:
            found = re.findall(r"tokenizer_mbps=([0-9.]+)", out)
            if not found:
                outcome.status, outcome.note = "failed", "no tokenizer_mbps line"
                return
            outcome.seconds.append(path.stat().st_size / MB / float(found[-1]))
        else:
            result = json.loads(out.strip().splitlines()[-1])
            outcome.seconds.append(result["seconds"])
            # The process's own figure, read at its end, misses no late peak.
            rss = result.get("rss_mb", rss)
            outcome.rss_mb = max(outcome.rss_mb, rss)
            if "counts" in result and outcome.counts is None:
                outcome.counts = result["counts"]
                self.counts_by_input.setdefault(path, {})[contender] = result["counts"]
        log(f"  {where}: {outcome.seconds[-1]:.2f} s, peak RSS {rss:.0f} MB ({wall:.1f} s wall)")

    def reference_counts(self, path: Path, want: bool = True) -> tuple[str, dict] | None:
        """velmira single-threaded's counts for an input, or a stand-in's while
        velmira cannot run; runs them (untimed) on inputs nobody else has read."""
        known = self.counts_by_input.get(path, {})
        for contender in [REFERENCE] + FALLBACK_REFERENCES:
            if contender in known:
                return contender, known[contender]
        if not want:
            return None
        for contender in [REFERENCE, "polars"]:
            code, out, _err, _wall, _rss = run_child(
                [sys.executable, str(BENCH / "contenders.py"), contender, str(path)],
                max(1.0, self.remaining() - RESERVE_SECONDS))
            if code == 0:
                counts = json.loads(out.strip().splitlines()[-1])["counts"]
                self.counts_by_input.setdefault(path, {})[contender] = counts
                return contender, counts
        return None

    def check(self, name: str, contender: str) -> None:
        """Marks a contender wrong when its counts differ from the reference's."""
        outcome = self.outcomes.get((name, contender))
        if outcome is None or outcome.counts is None or outcome.status != "ok":
            return
        found = self.reference_counts(outcome.input)
        if found is None:
            outcome.note = "not checked: no reference counts"
            return
        who, reference = found
        if who == contender:
            return
        if outcome.counts != reference:
            outcome.status = "wrong"
            outcome.note = f"differs from {who}: " + diff_note(outcome.counts, reference)
        elif who != REFERENCE:
            outcome.note = f"checked against {who} (velmira unavailable)"

    # --- the whole run ---------------------------------------------------------------------

    def input_for(self, name: str, contender: str) -> Path:
        whole = self.files[name]
        limit = int(PYTHON_SLICE_BYTES * self.args.scale)
        if contender == "python" and whole.stat().st_size > limit:
            return generate.make_slice(whole, limit)
        return whole

    def run(self) -> None:
        args = self.args
        names = args.files
        for name in names:
            self.files[name] = generate.generate(name, args.scale, args.seed)
            self.meta[name] = json.loads(self.files[name].with_suffix(".json").read_text())
        log(f"files ready after {time.perf_counter() - self.started:.0f} s")
        floors = [READ_FLOOR]
        if TOKENIZER_FLOOR in args.contenders:
            self.tokenizer_missing = build_tokenizer()
            if self.tokenizer_missing:
                log(f"tokenizer floor skipped: {self.tokenizer_missing}")
            else:
                floors.append(TOKENIZER_FLOOR)
        contenders = [c for c in args.contenders if c not in FLOORS]
        first = [c for c in contenders if c == REFERENCE]
        middle = [c for c in contenders if c not in (REFERENCE, "velmira-mt")]
        last = [c for c in contenders if c == "velmira-mt"]

        # Round 1: the floors and the reference everywhere first, then the rest,
        # the big file after the others and velmira-mt (slow while it starts one
        # thread per field) at the very end.
        log("round 1")
        for name in names:
            log(f" file {name}")
            for floor in floors:
                self.measure(name, floor, self.files[name])
            for contender in first:
                self.measure(name, contender, self.files[name])
        for group in (middle, last):
            for name in names:
                log(f" file {name}")
                for contender in group:
                    self.measure(name, contender, self.input_for(name, contender))
                    self.check(name, contender)
        # Further rounds while the budget allows, never on the big file. The
        # floors come along so that they meet the same load as the rest.
        for round_no in range(2, args.rounds + 1):
            log(f"round {round_no}")
            for name in [n for n in names if n != "d"]:
                for contender in floors + first + middle + last:
                    outcome = self.outcomes.get((name, contender))
                    if (outcome is None or outcome.status != "ok" or contender in SINGLE_ROUND
                            or len(outcome.seconds) >= round_no
                            or max(outcome.seconds) > EXTRA_ROUND_MAX_SECONDS):
                        continue
                    self.measure(name, contender, outcome.input)
        for name in names:
            for contender in contenders:
                self.check(name, contender)
        if REFERENCE in args.contenders:
            log("matcher: ns per match, fast path and Boost")
            self.matcher = matcher_figures([self.files[n] for n in names if n != "d"])


def previous_speeds() -> dict[tuple[str, str], float]:
    """MB/s per (file, contender) of the results this run is about to replace."""
    try:
        raw = json.loads((RESULTS / "results.json").read_text())
    except (OSError, ValueError):
        return {}
    speeds = {}
    for key, o in raw.items():
        name, contender = key.split("/", 1)
        path = ROOT / o["input"]
        if o.get("status") == "ok" and o.get("seconds") and path.exists():
            speeds[(name, contender, o["input"])] = path.stat().st_size / MB / statistics.median(o["seconds"])
    return speeds


# --- report -------------------------------------------------------------------------------

def versions() -> str:
    found = []
    for module in ("pandas", "polars", "pyarrow", "duckdb", "numpy"):
        try:
            found.append(f"{module} {getattr(__import__(module), '__version__', '?')}")
        except ImportError:
            found.append(f"{module} missing")
    return ", ".join(found)


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "?"


def speed(bench: Bench, name: str, contender: str) -> float | None:
    """MB/s of a contender on a file, if it was measured and counted right."""
    o = bench.outcomes.get((name, contender))
    if o is None or o.status != "ok" or not o.seconds:
        return None
    return o.input.stat().st_size / MB / o.median


def fmt(x: float | None, digits: int = 1) -> str:
    return "–" if x is None else f"{x:,.{digits}f}"


def goals(bench: Bench) -> list[tuple[str, str, str]]:
    names = list(bench.files)
    rows = []
    v1 = {n: speed(bench, n, REFERENCE) for n in names}
    read = {n: speed(bench, n, READ_FLOOR) for n in names}

    def fastest_peer(n: str) -> tuple[str, float] | None:
        rivals = {c: speed(bench, n, c) for c in CONTENDERS if not c.startswith("velmira") and c != "python"}
        rivals = {c: s for c, s in rivals.items() if s}
        if not rivals:
            return None
        best = max(rivals, key=rivals.get)
        return best, rivals[best]

    # The fast matcher: well ahead of the fastest peer where every text is new.
    parts, ok = [], True
    for n in [n for n in "bc" if n in names]:
        peer = fastest_peer(n)
        if v1[n] is None or peer is None:
            parts.append(f"{n}: n/a")
            ok = False
            continue
        parts.append(f"{n}: {v1[n] / peer[1]:.2f}x {peer[0]}")
        ok &= v1[n] >= 1.5 * peer[1]
    rows.append(("velmira-1t >= 1.5x the fastest peer on b and c", "; ".join(parts), ok))

    # Multithreading pays where classification dominates, costs little where it does not.
    parts, ok = [], True
    for n, need in (("a", 0.95), ("b", 1.6), ("c", 1.6)):
        if n not in names:
            continue
        mt = speed(bench, n, "velmira-mt")
        if mt is None or v1[n] is None:
            o = bench.outcomes.get((n, "velmira-mt"))
            parts.append(f"{n}: n/a ({o.status if o else 'not run'}; need >= {need})")
            ok = False
            continue
        parts.append(f"{n}: {mt / v1[n]:.2f}x (need >= {need})")
        ok &= mt / v1[n] >= need
    rows.append(("velmira-mt >= 1.6x velmira-1t on b, c; >= 0.95x on a", "; ".join(parts), ok))

    # The tokenizer and the pass against the cost of reading the bytes.
    tok = speed(bench, "a", TOKENIZER_FLOOR)
    if tok and read.get("a"):
        rows.append(("tokenizer floor on a >= 40% of the read floor",
                     f"{tok:,.0f} MB/s of {read['a']:,.0f}: {tok / read['a']:.0%}", tok >= 0.4 * read["a"]))
    else:
        rows.append(("tokenizer floor on a >= 40% of the read floor",
                     f"n/a ({bench.tokenizer_missing or 'not measured'})", False))
    peer = fastest_peer("a") if "a" in names else None
    if v1.get("a") and read.get("a") and peer:
        rows.append(("velmira-1t on a >= 25% of the read floor and >= 10x the fastest peer",
                     f"{v1['a']:,.0f} MB/s: {v1['a'] / read['a']:.0%} of the read floor, "
                     f"{v1['a'] / peer[1]:.1f}x {peer[0]}",
                     v1["a"] >= 0.25 * read["a"] and v1["a"] >= 10 * peer[1]))

    # Nothing slower than the results this run replaces.
    parts, ok = [], True
    for n in names:
        for c in (REFERENCE, "velmira-mt"):
            o = bench.outcomes.get((n, c))
            if o is None:
                continue
            now, before = speed(bench, n, c), bench.previous.get((n, c, str(o.input.relative_to(ROOT))))
            if now is None or before is None:
                continue
            parts.append(f"{n} {c.split('-')[1]}: {before:,.0f} -> {now:,.0f}")
            ok &= now >= before
    if parts:
        rows.append(("no file slower than the previous results", "; ".join(parts), ok))

    # Memory does not grow with the file.
    oa, od = bench.outcomes.get(("a", REFERENCE)), bench.outcomes.get(("d", REFERENCE))
    if oa and od and oa.status == od.status == "ok":
        ratio = od.rss_mb / oa.rss_mb
        rows.append(("peak RSS of velmira-1t on d within 10% of a (window 100000)",
                     f"{od.rss_mb:.0f} MB vs {oa.rss_mb:.0f} MB: {ratio:.2f}x", ratio <= 1.10))
    else:
        rows.append(("peak RSS of velmira-1t on d within 10% of a (window 100000)", "n/a", False))
    return [(goal, measured, "pass" if passed else "**fail**") for goal, measured, passed in rows]


def matcher_section(bench: Bench) -> list[str]:
    m = bench.matcher
    lines = ["", "## Matcher", ""]
    if isinstance(m, str):
        return lines + [f"Not measured: {m}."]
    lines += [
        "Each bench pattern on the distinct texts of a, b and c (what a pass with an empty cache "
        "matches; `bench/bench_matcher.cpp`): ns per whole-text match through the fast path "
        "(PCRE2-JIT where admitted, with the first-byte shortcut) and through `boost::regex_match`.",
        "",
        "| type | engine | fast ns | Boost ns | speedup | pattern |",
        "|---|---|---:|---:|---:|---|",
    ]
    for p in m["patterns"]:
        pattern = p["pattern"].replace("|", "\\|")
        lines.append(f"| {p['type']} | {p['engine']} | {p['fast_ns']:.1f} | {p['boost_ns']:.1f} "
                     f"| {p['boost_ns'] / p['fast_ns']:.1f}x | `{pattern}` |")
    shares = "; ".join(f"{Path(f).stem}: {v['fast_share']:.2%} of {v['texts']:,} texts" for f, v in m["files"].items())
    lines += ["", f"Share of the matches decided by the fast path: {shares}."]
    return lines


def report(bench: Bench) -> str:
    args = bench.args
    elapsed = time.perf_counter() - bench.started
    lines = [
        "# Benchmark results",
        "",
        f"{time.strftime('%Y-%m-%d %H:%M')}; {os.cpu_count()} x {cpu_model()}; "
        f"Python {platform.python_version()}; {versions()}.",
        f"Scale {args.scale:g}, seed {args.seed}, up to {args.rounds} rounds (median), "
        f"run took {elapsed:.0f} s of a {args.budget:.0f} s budget; load average "
        f"{bench.load:.1f} before it started, {os.getloadavg()[0]:.1f} at its end.",
        "",
        "## Files",
        "",
        "| file | what | MB | rows | columns |",
        "|---|---|---:|---:|---:|",
    ]
    for name, meta in bench.meta.items():
        lines.append(f"| {name} | {FILES[name]} | {meta['bytes'] / MB:,.1f} | {meta['rows']:,} "
                     f"| {meta['columns']} |")
    lines += [
        "",
        "## Throughput",
        "",
        "MB/s and fields/s of the input read; *vs 1t* is MB/s divided by velmira-1t's on the "
        "same file (above 1 is faster than velmira single-threaded).",
        "",
        "| file | contender | MB/s | Mfields/s | peak RSS MB | vs 1t | rounds | note |",
        "|---|---|---:|---:|---:|---:|---:|---|",
    ]
    order = FLOORS + list(CONTENDERS)
    for name in bench.files:
        base = speed(bench, name, REFERENCE)
        for contender in order:
            o = bench.outcomes.get((name, contender))
            if o is None:
                continue
            note = o.note
            if o.input != bench.files[name]:
                note = f"first {o.input.stat().st_size / MB:.0f} MB only" + (f"; {note}" if note else "")
            if o.status == "ok" and o.seconds:
                mbps = o.input.stat().st_size / MB / o.median
                fields = bench.fields_of(name, o.input) if contender != READ_FLOOR else 0
                mfps = fields / o.median / 1e6 if fields else None
                vs = fmt(mbps / base, 2) if base else "–"
                lines.append(f"| {name} | {contender} | {mbps:,.1f} | {fmt(mfps, 2)} | {o.rss_mb:,.0f} "
                             f"| {vs} | {len(o.seconds)} | {note} |")
            else:
                lines.append(f"| {name} | {contender} | {o.status} | – | "
                             f"{fmt(o.rss_mb, 0) if o.rss_mb else '–'} | – | {len(o.seconds)} | {note} |")
    lines += ["", "## Goals", "", "| goal | measured | result |", "|---|---|---|"]
    lines += [f"| {g} | {m} | {r} |" for g, m, r in goals(bench)]
    lines += matcher_section(bench)
    lines += [
        "",
        "## Notes",
        "",
        "- Warm page cache: every run is preceded by a read of its file. The floors are reading "
        "the file's bytes in Python (16 MiB reads) and the C++ tokenizer's fast path alone, into "
        "a batch of views as the pass uses it, over the file held in memory "
        "(`bench/bench_tokenizer.cpp`).",
        "- Libraries run with their default thread counts (polars, pyarrow and DuckDB use both "
        "cores); velmira-1t uses one.",
        f"- Plain Python reads at most the first {PYTHON_SLICE_BYTES * args.scale / MB:.0f} MB of "
        "a file; its counts are checked against velmira-1t on the same slice.",
        "- Times are measured inside the contender's process after its imports; peak RSS is that "
        "process's VmHWM and includes the interpreter and the library.",
    ]
    return "\n".join(lines) + "\n"


def chart(bench: Bench, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(bench.files)
    order = FLOORS + list(CONTENDERS)
    cols = min(2, len(names))
    rows = (len(names) + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(6.4 * cols, 3.6 * rows), squeeze=False)
    for ax in axes.flat[len(names):]:
        ax.set_visible(False)
    for ax, name in zip(axes.flat, names):
        labels, values, colors = [], [], []
        for contender in order:
            o = bench.outcomes.get((name, contender))
            if o is None:
                continue
            labels.append(contender)
            s = speed(bench, name, contender)
            values.append(s or 0.0)
            colors.append("#999999" if contender in FLOORS else
                          "#d62728" if contender.startswith("velmira") else "#1f77b4")
        y = range(len(labels))
        ax.barh(list(y), values, color=colors)
        for i, (label, v) in enumerate(zip(labels, values)):
            o = bench.outcomes[(name, label)]
            text = f"{v:,.0f}" if v else o.status
            ax.text(max(v, 1e-9), i, " " + text, va="center", fontsize=7)
        ax.set_yticks(list(y), labels)
        ax.set_xscale("log")
        ax.set_xlabel("MB/s (log)")
        ax.set_title(f"{name}: {FILES[name]}", fontsize=9)
        ax.set_xlim(right=max(values + [1.0]) * 8)
        ax.invert_yaxis()
    fig.suptitle("Column type counting throughput (higher is better)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="small files (scale 0.02), one round")
    ap.add_argument("--scale", type=float, help="fraction of the full file sizes (default 1)")
    ap.add_argument("--files", default="a,b,c,d", help="comma-separated subset of a,b,c,d")
    ap.add_argument("--contenders", default=",".join(FLOORS + list(CONTENDERS)),
                    help="comma-separated subset of: " + ", ".join(FLOORS + list(CONTENDERS)))
    ap.add_argument("--rounds", type=int, help="rounds per fast contender (default 3, quick 1)")
    # 15 minutes, leaving `make bench` 5 for building and installing within 20.
    ap.add_argument("--budget", type=float, default=900.0,
                    help="seconds for the whole run, generation included (default 900)")
    ap.add_argument("--timeout", type=float, default=300.0, help="seconds allowed to one run")
    ap.add_argument("--seed", type=int, default=generate.DEFAULT_SEED)
    args = ap.parse_args(argv)
    args.scale = args.scale if args.scale is not None else (0.02 if args.quick else 1.0)
    args.rounds = args.rounds or (1 if args.quick else 3)
    args.files = [f for f in args.files.split(",") if f]
    args.contenders = [c for c in args.contenders.split(",") if c]
    unknown = [f for f in args.files if f not in FILES] + \
        [c for c in args.contenders if c not in FLOORS and c not in CONTENDERS]
    if unknown:
        ap.error(f"unknown file or contender: {', '.join(unknown)}")
    # The floors always run: the report divides by them.
    args.contenders = list(dict.fromkeys([READ_FLOOR] + args.contenders))

    bench = Bench(args)
    bench.run()
    RESULTS.mkdir(exist_ok=True)
    text = report(bench)
    (RESULTS / "results.md").write_text(text)
    raw = {f"{n}/{c}": {"input": str(o.input.relative_to(ROOT)), "seconds": o.seconds,
                        "rss_mb": o.rss_mb, "status": o.status, "note": o.note}
           for (n, c), o in bench.outcomes.items()}
    (RESULTS / "results.json").write_text(json.dumps(raw, indent=1) + "\n")
    try:
        chart(bench, RESULTS / "throughput.png")
    except ImportError as exc:
        log(f"no chart: {exc}")
    print(text)
    log(f"wrote {RESULTS.relative_to(ROOT)}/results.md, results.json, throughput.png "
        f"in {time.perf_counter() - bench.started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
