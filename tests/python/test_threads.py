"""Passes with multithreading on: same results as off, failures carried, threads bounded."""
import os
import random
import subprocess
import sys
import textwrap
import time

import pytest

PATTERNS = {
    "integer": [r"-?[0-9]+"],
    "decimal": [r"-?[0-9]+\.[0-9]+"],
    "word": [r"[a-z]+"],
    "code": [r"[A-Z]{2}-[0-9]{3}"],
}


def random_table(rng, rows, cols):
    """Cells drawn per column from that column's own texts, so no text is in two columns."""
    def cell(c):
        kind = rng.randrange(6)
        if kind == 0:
            return ""
        if kind == 1:
            return str(rng.randrange(50)) + "0" * c  # the suffix keeps columns apart
        if kind == 2:
            return f"{rng.randrange(9)}.{c}{rng.randrange(9)}"
        if kind == 3:
            return "abcdefgh"[rng.randrange(8)] * (c + 1) + "q" * rng.randrange(2)
        if kind == 4:
            return f"C{chr(65 + c % 26)}-{c:03d}"[-6:]
        return f"?{c}{rng.randrange(5)}"
    header = ",".join(f"c{c}" for c in range(cols))
    body = "".join(",".join(cell(c) for c in range(rng.randint(1, cols + 2))) + "\n"
                   for _ in range(rows))
    return header + "\n" + body


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("window", [1, 7, 100000, -1])
def test_threads_agree_with_single_thread(runner, seed, window):
    rng = random.Random(seed)
    data = random_table(rng, rows=rng.randint(0, 400), cols=rng.randint(1, 12))
    single, single_types = runner.run(data, patterns=PATTERNS, window=window)
    threads, threads_types = runner.run(data, patterns=PATTERNS, window=window,
                                        multithreading=True)
    assert threads.num_rows == single.num_rows
    assert threads.col_names == single.col_names
    assert threads.get_col_type_candidates() == single.get_col_type_candidates()
    assert threads_types == single_types


def test_many_batches_and_window_boundaries(runner):
    # Enough rows for several batches, with a window that does not divide the batch size.
    rng = random.Random(1)
    data = random_table(rng, rows=30000, cols=3)
    single, single_types = runner.run(data, patterns=PATTERNS, window=997)
    threads, threads_types = runner.run(data, patterns=PATTERNS, window=997, multithreading=True)
    assert threads.get_col_type_candidates() == single.get_col_type_candidates()
    assert threads_types == single_types


def run_python(code, timeout=120):
    """Runs code in a fresh interpreter, so that a crash fails the test instead of pytest."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout)


@pytest.mark.parametrize("multithreading", [False, True], ids=["single", "threads"])
def test_catastrophic_pattern_raises_instead_of_crashing(tmp_path, multithreading):
    # (?i) keeps the pattern on Boost, whose backtracking budget runs out.
    path = tmp_path / "in.csv"
    path.write_text("a,b,c\n" + ("x,y," + "a" * 60 + "\n") * 3)
    result = run_python(f"""
        import velmira_ext
        inf = velmira_ext.Inf({str(path)!r}, ",", {{"bad": ["(a+)+(?i:b)"]}}, set(),
                              {multithreading}, False, "", 1000)
        try:
            inf.infer_types()
        except RuntimeError as e:
            print("RuntimeError", e)
        # The object stays usable after the failure.
        inf.set_col_type_patterns({{"ok": ["a+"]}})
        inf.infer_types()
        print(inf.num_rows, inf.get_col_type_candidates()["c"]["ok"])
    """)
    assert result.returncode == 0, result.stderr
    first, second = result.stdout.splitlines()
    assert first.startswith("RuntimeError") and "complexity" in first
    assert second == "3 3"


def test_threads_are_started_per_pass_not_per_row(tmp_path):
    cols, rows = 2000, 150
    path = tmp_path / "wide.csv"
    header = ",".join(f"c{i}" for i in range(cols))
    row = ",".join(str(i) for i in range(cols))
    path.write_text(header + "\n" + (row + "\n") * rows)
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import time, velmira_ext
        inf = velmira_ext.Inf({str(path)!r}, ",", {{"int": [r"\\d+"]}}, set(), True, False, "", 7)
        start = time.perf_counter()
        for _ in range(20):
            inf.infer_types()
        print(time.perf_counter() - start, inf.num_rows)
    """)], stdout=subprocess.PIPE, text=True)
    peak = 0
    while proc.poll() is None:
        try:
            with open(f"/proc/{proc.pid}/status") as status:
                threads = next(int(line.split()[1]) for line in status
                               if line.startswith("Threads:"))
            peak = max(peak, threads)
        except (FileNotFoundError, ProcessLookupError, StopIteration):
            pass
        time.sleep(0.002)
    out, _ = proc.communicate()
    elapsed, num_rows = out.split()
    assert int(num_rows) == rows
    assert peak <= 1 + (os.cpu_count() or 2)
    # 20 passes of 300,000 fields; thread-per-field took seconds here.
    assert float(elapsed) < 10
