"""Input as users meet it: compressed files, standard input, file objects, progress, Ctrl-C,
and other threads that keep running during a pass."""

import bz2
import gzip
import io
import json
import lzma
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

import velmira
import velmira.source
import velmira_ext
from velmira import _native

zstandard = pytest.importorskip("zstandard")

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "tests" / "python" / "data"
SAMPLE = (ROOT / "examples" / "sample.csv").read_bytes()

COMPRESSORS = {
    "gzip": gzip.compress,
    "bzip2": bz2.compress,
    "xz": lzma.compress,
    # With a checksum, as the zstd command writes by default: without one, damage can go unseen.
    "zstd": lambda data: zstandard.ZstdCompressor(write_checksum=True).compress(data),
}


def profile_key(profile):
    return profile.rows, [(c.name, c.type, dict(c.counts)) for c in profile.columns]


@pytest.fixture(scope="module")
def plain():
    return profile_key(velmira.infer(ROOT / "examples" / "sample.csv"))


@pytest.mark.parametrize("fmt", COMPRESSORS)
def test_every_format_gives_the_counts_of_the_plain_file(tmp_path, fmt, plain):
    path = tmp_path / "sample.csv.whatever"  # the name says nothing; the magic bytes do
    path.write_bytes(COMPRESSORS[fmt](SAMPLE))
    profile = velmira.infer(path)
    assert profile.compression == fmt
    assert profile_key(profile) == plain


# Concatenated members, frames and streams are read one after the other, as the tools do.
@pytest.mark.parametrize("fmt", COMPRESSORS)
def test_concatenated_streams(tmp_path, fmt):
    head, tail = SAMPLE[:700], SAMPLE[700:]
    path = tmp_path / "joined"
    path.write_bytes(COMPRESSORS[fmt](head) + COMPRESSORS[fmt](tail))
    whole = tmp_path / "whole.csv"
    whole.write_bytes(SAMPLE)
    assert profile_key(velmira.infer(path)) == profile_key(velmira.infer(whole))


@pytest.mark.parametrize("fmt", COMPRESSORS)
def test_empty_archive_is_an_empty_file(tmp_path, fmt):
    path = tmp_path / "empty"
    path.write_bytes(COMPRESSORS[fmt](b""))
    profile = velmira.infer(path, delimiter=",")
    assert (profile.rows, profile.columns, profile.compression) == (0, (), fmt)


@pytest.mark.parametrize("fmt", COMPRESSORS)
def test_truncated_archive_says_so_and_where(tmp_path, fmt):
    data = COMPRESSORS[fmt](SAMPLE * 20)
    path = tmp_path / "cut"
    path.write_bytes(data[: len(data) * 2 // 3])
    with pytest.raises(velmira.InputError, match=rf"the {fmt} input ends early, at byte \d+"):
        velmira.infer(path, delimiter=",")


@pytest.mark.parametrize("fmt", COMPRESSORS)
def test_corrupt_archive_says_so_and_where(tmp_path, fmt):
    data = bytearray(COMPRESSORS[fmt](SAMPLE * 20))
    for i in range(len(data) // 3, len(data) // 3 + 16):
        data[i] ^= 0x5A
    path = tmp_path / "bad"
    path.write_bytes(bytes(data))
    with pytest.raises(velmira.InputError, match=rf"the {fmt} input (is corrupt|ends early|has data).* byte \d+"):
        velmira.infer(path, delimiter=",")


@pytest.mark.parametrize("fmt", ["gzip", "bzip2"])
def test_data_after_the_last_stream_is_an_error(tmp_path, fmt):
    path = tmp_path / "trailing"
    path.write_bytes(COMPRESSORS[fmt](SAMPLE) + b"not compressed")
    with pytest.raises(velmira.InputError, match=rf"has data that is not {fmt} after its end, at byte \d+"):
        velmira.infer(path, delimiter=",")


def test_huge_line_inside_a_compressed_file(tmp_path):
    big = "x" * 3_000_000
    path = tmp_path / "big.csv.zst"
    path.write_bytes(COMPRESSORS["zstd"](f"a,b\n1,{big}\n2,y\n".encode()))
    profile = velmira.infer(path, types={"int": ["[0-9]+"], "word": ["[a-z]+"]})
    assert profile.rows == 2
    assert profile.column("b").counts["word"] == 2


class Trickle(io.RawIOBase):
    """A binary file object that gives one byte per read: every buffer edge is met."""

    def __init__(self, data):
        self._data, self._at = data, 0

    def readable(self):
        return True

    def readinto(self, buffer):
        if self._at >= len(self._data):
            return 0
        buffer[0] = self._data[self._at]
        self._at += 1
        return 1


@pytest.mark.parametrize(
    "make",
    [
        lambda p: open(p, "rb"),
        lambda p: io.BytesIO(p.read_bytes()),
        lambda p: gzip.open(p.with_suffix(".gz")),
        lambda p: io.BufferedReader(Trickle(COMPRESSORS["xz"](p.read_bytes()))),
        lambda p: Trickle(COMPRESSORS["gzip"](p.read_bytes())),
    ],
    ids=["open-rb", "bytesio", "gzip-open", "trickle-xz", "trickle-gzip"],
)
def test_file_objects(tmp_path, make, plain):
    path = tmp_path / "sample.csv"
    path.write_bytes(SAMPLE)
    path.with_suffix(".gz").write_bytes(gzip.compress(SAMPLE))
    with make(path) as source:
        profile = velmira.infer(source)
    assert profile_key(profile) == plain
    assert not profile.rereadable


@pytest.mark.parametrize("source", [lambda p: open(p), lambda p: io.StringIO("a,b\n1,2\n")],
                         ids=["open-text", "stringio"])
def test_text_mode_file_object_is_refused(tmp_path, source):
    path = tmp_path / "t.csv"
    path.write_text("a,b\n1,2\n")
    with source(path) as f, pytest.raises(TypeError, match="binary mode"):
        velmira.infer(f)


def test_second_pass_needs_a_file(tmp_path):
    profile = velmira.infer(io.BytesIO(b"a,b\n1,2\n"))
    with pytest.raises(ValueError, match="can be read only once"):
        list(velmira.read_rows(profile))


def test_second_pass_reads_a_compressed_file_decompressed(tmp_path):
    path = tmp_path / "s.csv.gz"
    path.write_bytes(gzip.compress(b"n,d\n1,2023-01-15\n2,2023-02-01\n"))
    rows = list(velmira.read_rows(velmira.infer(path)))
    assert [r["n"] for r in rows] == [1, 2]


def run_cli(*args, stdin=None, **kwargs):
    return subprocess.run([sys.executable, "-m", "velmira", *args], input=stdin, capture_output=True, **kwargs)


@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gzip"])
def test_standard_input_through_a_pipe(compressed):
    data = gzip.compress(SAMPLE) if compressed else SAMPLE
    piped = run_cli("-", "-f", "json", stdin=data)
    assert piped.returncode == 0, piped.stderr
    direct = run_cli(str(ROOT / "examples" / "sample.csv"), "-f", "json")
    got, expected = json.loads(piped.stdout), json.loads(direct.stdout)
    assert (got.pop("path"), got.pop("compression")) == ("<stdin>", "gzip" if compressed else None)
    del expected["path"], expected["compression"]
    assert got == expected


def test_truncated_file_on_the_command_line(tmp_path):
    path = tmp_path / "cut.csv.gz"
    data = gzip.compress(SAMPLE * 10)
    path.write_bytes(data[:-20])
    result = run_cli(str(path))
    assert (result.returncode, result.stdout) == (1, b"")
    lines = result.stderr.decode().splitlines()
    assert len(lines) == 1 and "gzip input ends early, at byte" in lines[0], lines


def test_progress_is_reported_with_the_total(tmp_path):
    path = tmp_path / "p.csv"
    path.write_bytes(b"a,b\n" + b"".join(b"%d,x%d\n" % (i, i) for i in range(400_000)))
    calls = []
    velmira.infer(path, progress=lambda done, total: calls.append((done, total)))
    assert calls and calls[-1] == (path.stat().st_size, path.stat().st_size)
    assert all(a[0] <= b[0] for a, b in zip(calls, calls[1:]))


@pytest.mark.parametrize("multithreading", [False, True], ids=["single", "threads"])
def test_an_exception_from_progress_stops_the_pass_and_writes_no_types_file(tmp_path, multithreading):
    path = tmp_path / "p.csv"
    path.write_bytes(b"a,b\n" + b"".join(b"%d,x%d\n" % (i, i) for i in range(600_000)))
    types_file = tmp_path / "types.csv"
    types_file.write_text("kept\n")

    class Stop(Exception):
        pass

    def progress(done, total):
        raise Stop

    with pytest.raises(Stop):
        velmira.infer(path, types_file=types_file, multithreading=multithreading, progress=progress)
    assert types_file.read_text() == "kept\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["p.csv", "types.csv"]


def test_other_threads_run_during_a_pass(tmp_path):
    path = tmp_path / "big.csv"
    path.write_bytes(b"a,b\n" + b"".join(b"%d,y%x\n" % (i, i * 7919) for i in range(1_500_000)))
    ticks = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks[0] += 1

    thread = threading.Thread(target=count)
    thread.start()
    try:
        before = ticks[0]
        started = time.perf_counter()
        velmira.infer(path, types={"int": [r"\d+"], "hex": ["y[0-9a-f]+"]}, delimiter=",")
        seconds = time.perf_counter() - started
        during = ticks[0] - before
    finally:
        stop.set()
        thread.join()
    # A thread kept off the interpreter for the whole pass would barely have moved.
    assert during > 10_000 * seconds, (during, seconds)


# ---- the same counts as velmira_ext.Inf on the same bytes ----------------------------------

FILES = sorted(DATA.glob("*.csv")) + [ROOT / "examples" / "sample.csv", ROOT / "examples" / "people.csv"]


@pytest.mark.parametrize("path", FILES, ids=[p.name for p in FILES])
@pytest.mark.parametrize("multithreading", [False, True], ids=["single", "threads"])
def test_same_counts_as_the_engine_interface(path, multithreading):
    types = {name: list(patterns) for name, patterns in velmira.DEFAULT_TYPES.items()}
    delimiter = velmira.guess_delimiter(path)
    inf = velmira_ext.Inf(str(path), delimiter, types, set(velmira.DEFAULT_NA_VALUES), multithreading,
                          False, "", 100_000)
    inf.infer_types()
    expected = inf.get_col_type_candidates()
    inp = _native.Input(str(path))
    names, counts, rows = _native.infer(inp, delimiter, types, set(velmira.DEFAULT_NA_VALUES), multithreading,
                                        None, 100_000, None)
    inp.close()
    assert [n.decode() for n in names] == inf.col_names
    assert rows == inf.num_rows
    assert [expected[n] for n in inf.col_names] == counts


# ---- Ctrl-C ----------------------------------------------------------------------------------

# Patterns kept on Boost ((?i) refuses PCRE2), none of which matches: every new text costs
# them all, so the pass lasts long enough to be interrupted.
SLOW_TYPES = {f"t{i}": [f"(?i)[a-z]{{{i + 2}}}#"] for i in range(12)}


def interrupt(cmd, stdin, wait, tmp_path):
    proc = subprocess.Popen(cmd, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path)
    time.sleep(wait)
    sent = time.perf_counter()
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=30)
    return proc.returncode, out, err.decode(), time.perf_counter() - sent


def test_ctrl_c_mid_pass(tmp_path):
    path = tmp_path / "big.csv"
    path.write_bytes(b"a,b,c\n" + b"".join(b"%d,k%x,q%d\n" % (i, i, i) for i in range(2_000_000)))
    types = tmp_path / "types.json"
    types.write_text(json.dumps(SLOW_TYPES))
    (tmp_path / "rows.csv").write_text("kept\n")
    code, out, err, after = interrupt(
        [sys.executable, "-m", "velmira", str(path), "-t", str(types), "--save-types", "rows.csv"],
        subprocess.DEVNULL, 2.0, tmp_path)
    assert (code, out, err) == (130, b"", "velmira: interrupted\n")
    assert after < 1.0, after
    assert (tmp_path / "rows.csv").read_text() == "kept\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["big.csv", "rows.csv", "types.json"]


def test_ctrl_c_while_waiting_for_a_pipe(tmp_path):
    # The pass waits for data that does not come; Ctrl-C must still end it at once.
    read_end, write_end = os.pipe()
    os.write(write_end, b"a,b\n1,2\n")
    try:
        code, out, err, after = interrupt([sys.executable, "-m", "velmira", "-", "-d", ","], read_end, 1.5, tmp_path)
    finally:
        os.close(read_end)
        os.close(write_end)
    assert (code, out, err) == (130, b"", "velmira: interrupted\n")
    assert after < 1.0, after


def test_ctrl_c_reaches_a_python_caller_as_keyboard_interrupt(tmp_path):
    path = tmp_path / "big.csv"
    path.write_bytes(b"a,b\n" + b"".join(b"%d,k%x\n" % (i, i) for i in range(2_000_000)))
    code = textwrap.dedent(f"""
        import os, signal, threading, time, velmira
        threading.Timer(1.5, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
        started = time.perf_counter()
        try:
            velmira.infer({str(path)!r}, types={SLOW_TYPES!r}, delimiter=",")
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", time.perf_counter() - started < 3.0)
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.stdout == "interrupted True\n", result.stderr


def test_progress_bar_line(monkeypatch):
    clock = [100.0]
    monkeypatch.setattr(velmira.source.time, "monotonic", lambda: clock[0])
    out = io.StringIO()
    bar = velmira.ProgressBar(out)
    bar(1_000_000, 100_000_000)
    assert out.getvalue() == ""  # nothing in the first half second
    clock[0] += 2.0
    bar(50_000_000, 100_000_000)
    assert out.getvalue() == "\r50.0 MB of 100.0 MB  50%  25.0 MB/s  0:02 left\033[K"
    bar.close()
    assert out.getvalue().endswith("\r\033[K")
    small = velmira.ProgressBar(io.StringIO())
    clock[0] += 5.0
    small(10, 100)  # an input of a few bytes shows nothing
    assert small._stream.getvalue() == ""


# ---- an exclusive table may go without the value cache ------------------------------------

def _mostly_new_texts(rows):
    """Columns whose texts are new (ids, decimals, codes, free text), one that repeats, one
    that turns from new texts to repeats halfway, and markers, so that groups switch the
    cache off and back on."""
    lines = ["id,amount,code,note,flag,turn"]
    for i in range(rows):
        turn = str(i * 7) if i < rows // 2 else ("x", "3", "4.5")[i % 3]
        note = f"free text {i}, \"quoted\"" if i % 5 else ""
        lines.append(f'{i},{i * 1.25:.2f},{i:x}-{i % 97},"{note}",{"TF"[i % 2]},{turn}')
    return ("\n".join(lines) + "\n").encode()


@pytest.mark.parametrize("multithreading", [False, True], ids=["single", "threads"])
def test_exclusive_table_counts_the_same_without_the_cache(tmp_path, multithreading):
    path = tmp_path / "new.csv"
    path.write_bytes(_mostly_new_texts(100_000))
    types = _native.compile_types({name: list(p) for name, p in velmira.DEFAULT_TYPES.items()})
    results = {}
    for exclusive in (False, True):
        types_file = tmp_path / f"types-{exclusive}.csv"
        inp = _native.Input(str(path))
        try:
            results[exclusive] = _native.infer(inp, ",", types, set(velmira.DEFAULT_NA_VALUES), multithreading,
                                               str(types_file), 0, None, exclusive_types=exclusive)
        finally:
            inp.close()
        results[exclusive] += (types_file.read_bytes(),)
    assert results[True] == results[False]
