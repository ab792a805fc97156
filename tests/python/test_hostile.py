"""Hostile inputs and hostile use: each case and its expected outcome (docs/hostile-inputs.md).

Cases that could crash the interpreter, or that measure memory, run in a fresh interpreter, so
that a crash fails one test instead of the whole run.
"""
import json
import os
import subprocess
import sys
import textwrap

import pytest

import velmira_ext

# Under the sanitizer runs (scripts/sanitize.sh) the allocator keeps freed memory in quarantine
# and adds shadow memory, so resident sizes say nothing there; the other checks still hold.
SANITIZED = any(lib in os.environ.get("LD_PRELOAD", "") for lib in ("libasan", "libtsan"))
MB = 1024 * 1024


def run_python(code, timeout=300):
    """Runs code in a fresh interpreter; returns what it printed as JSON on its last line."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                            text=True, timeout=timeout)
    assert result.returncode == 0, result.stderr[-4000:]
    return json.loads(result.stdout.splitlines()[-1])


# Preamble of child programs that measure their resident memory.
RESIDENT = """
import json, os, velmira_ext
page = os.sysconf("SC_PAGE_SIZE")
def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * page
"""


def outcome(inf, types_text=None):
    return inf.num_rows, inf.col_names, inf.get_col_type_candidates(), types_text


def zeros(*types):
    return {t: 0 for t in (*types, "other", "NA")}


# --- bytes the dialect does not expect ------------------------------------------------------

def test_nul_bytes_are_ordinary_text(runner, multithreading):
    data = b"a\x00b,c\n1\x00,x\x00y\n\x00,2\n"
    patterns = {"nul": ["[a-z]\x00[a-z]"], "integer": [r"\d+"]}
    inf, types = runner.run(data, patterns=patterns, na={"\x00"}, multithreading=multithreading)
    assert inf.col_names == ["a\x00b", "c"]
    assert inf.get_col_type_candidates() == {
        "a\x00b": {**zeros("nul", "integer"), "other": 1, "NA": 1},
        "c": {**zeros("nul", "integer"), "nul": 1, "integer": 1},
    }
    assert types == "a\x00b,c\nother,nul\nNA,integer\n"


def test_invalid_utf8_in_data_is_matched_as_bytes(runner, multithreading):
    # A pattern given as str is matched as its UTF-8 bytes: "é" in a class is two bytes, so
    # UTF-8 "café" matches and Latin-1 "caf\xe9" does not. Undecodable data never reaches Python.
    data = b"h\n" + "café".encode() + b"\ncaf\xe9\n\xff\xfe\n"
    inf, types = runner.run(data, patterns={"word": ["[a-zé]+"]}, multithreading=multithreading)
    assert inf.get_col_type_candidates() == {"h": {"word": 1, "other": 2, "NA": 0}}
    assert types == "h\nword\nother\nother\n"


@pytest.mark.slow
def test_single_100_mb_field(tmp_path):
    path = tmp_path / "big.csv"
    with open(path, "wb") as f:
        f.write(b"a\n")
        f.write(b"x" * (100 * MB))
        f.write(b"\n")
    got = run_python(f"""
        import json, resource, velmira_ext
        out = []
        for threads in (False, True):
            inf = velmira_ext.Inf({str(path)!r}, ",", {{"word": ["[a-z]+"]}}, {{""}}, threads,
                                  True, {str(tmp_path / "types.csv")!r}, 1000)
            inf.infer_types()
            out.append([inf.num_rows, inf.get_col_type_candidates(),
                        open({str(tmp_path / "types.csv")!r}).read()])
        out.append(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
        print(json.dumps(out))
    """)
    expected = [1, {"a": {"word": 1, "other": 0, "NA": 0}}, "a\nword\n"]
    assert got[:2] == [expected, expected]
    if not SANITIZED:
        # The field is held a few times over (scan buffer, row, cache key), never more.
        assert got[2] < 5 * 100 * MB


# --- shapes far from a table ----------------------------------------------------------------

@pytest.mark.parametrize("names,multithreading", [("distinct", False), ("distinct", True),
                                                  ("all-equal", True)])
def test_100000_column_header(runner, names, multithreading):
    cols = 100_000
    header = ",".join(f"c{i}" if names == "distinct" else "x" for i in range(cols))
    row = ",".join(str(i) for i in range(cols))
    inf, types = runner.run(f"{header}\n{row}\n", multithreading=multithreading)
    assert inf.num_rows == 1
    assert len(inf.col_names) == cols
    candidates = inf.get_col_type_candidates()
    if names == "distinct":
        assert len(candidates) == cols
        assert all(table == {**zeros("integer", "word"), "integer": 1}
                   for table in candidates.values())
    else:
        assert candidates == {"x": {**zeros("integer", "word"), "integer": cols}}
    assert types == header + "\n" + ",".join(["integer"] * cols) + "\n"


def test_5000_columns_with_threads_agree_with_single_thread(runner):
    cols, rows = 5000, 40
    cells = ["1", "ab", "", "x y", "-7", "zz", "3"]
    header = ",".join(f"c{i}" for i in range(cols))
    body = "".join(",".join(cells[(r * 7 + c * 3) % len(cells)] for c in range(cols - r)) + "\n"
                   for r in range(rows))
    single, single_types = runner.run(header + "\n" + body)
    threads, threads_types = runner.run(header + "\n" + body, multithreading=True)
    assert outcome(threads, threads_types) == outcome(single, single_types)
    assert threads.num_rows == rows


def test_row_far_wider_than_the_header(runner, multithreading):
    # Fields beyond the header's width have no column: they are neither classified nor written.
    data = "a,b\n" + ",".join(["1"] * 1_000_000) + "\n2,x\n"
    inf, types = runner.run(data, multithreading=multithreading)
    assert inf.num_rows == 2
    assert inf.get_col_type_candidates() == {
        "a": {**zeros("integer", "word"), "integer": 2},
        "b": {**zeros("integer", "word"), "integer": 1, "word": 1},
    }
    assert types == "a,b\ninteger,integer\ninteger,word\n"


def untitled(first, last):
    return [f"Unitled_{i}" for i in range(first, last + 1)]


# (input, num_rows, col_names, types file); the empty text is the only marker.
DEGENERATE = [
    pytest.param("," * 10_000, 0, untitled(1, 10_000), ",".join(untitled(1, 10_000)) + "\n",
                 id="only-delimiters"),
    pytest.param(",,,\n" * 1000, 999, untitled(1, 4),
                 ",".join(untitled(1, 4)) + "\n" + "NA,NA,NA,NA\n" * 999,
                 id="only-delimiters-and-line-ends"),
    # Quotes only: the first opens a field, each later pair is one quote byte, and an input
    # that ends in an open or just-closed empty field yields nothing.
    pytest.param('"', 0, [], "", id="one-quote"),
    pytest.param('""', 0, [], "", id="two-quotes"),
    pytest.param('"""', 0, ['"'], '""""\n', id="three-quotes"),
    pytest.param('"' * 10_000, 0, ['"' * 4999], '"' + '""' * 4999 + '"\n', id="10000-quotes"),
    pytest.param('"' * 10_001, 0, ['"' * 5000], '"' + '""' * 5000 + '"\n', id="10001-quotes"),
    pytest.param("\r" * 10_000, 9999, ["Unitled_1"], "Unitled_1\n" + "NA\n" * 9999,
                 id="only-CRs"),
    pytest.param("\r\n" * 10_000, 9999, ["Unitled_1"], "Unitled_1\n" + "NA\n" * 9999,
                 id="only-CRLFs"),
    # LF CR LF CR ... is LF, then CR LF pairs, then a lone CR: 10,001 rows, not 20,000.
    pytest.param("\n\r" * 10_000, 10_000, ["Unitled_1"], "Unitled_1\n" + "NA\n" * 10_000,
                 id="alternating-LFs-and-CRs"),
]


@pytest.mark.parametrize("data,rows,names,types_text", DEGENERATE)
def test_degenerate_files(runner, multithreading, data, rows, names, types_text):
    inf, types = runner.run(data, multithreading=multithreading)
    assert (inf.num_rows, inf.col_names) == (rows, names)
    assert set(inf.get_col_type_candidates()) == set(names)
    na = sum(table["NA"] for table in inf.get_col_type_candidates().values())
    assert na == types_text.count("NA")
    assert types == types_text


# --- paths ---------------------------------------------------------------------------------

@pytest.mark.parametrize("where", ["directory", "/dev/full", "/proc/velmira-no-such-file"])
def test_unwritable_types_file_is_ignored(runner, multithreading, where):
    # Opening fails (a directory, /proc) or every write fails (/dev/full): never reported.
    target = str(runner.tmp_path) if where == "directory" else where
    inf = runner.inf(runner.write("a\n1\nx\n"), multithreading=multithreading)
    inf.set_save_types_file(True)
    inf.set_types_filepath(target)
    inf.infer_types()
    assert inf.num_rows == 2
    assert inf.get_col_type_candidates() == {"a": {**zeros("integer", "word"), "integer": 1,
                                                   "word": 1}}


# --- pattern tables ------------------------------------------------------------------------

def test_10000_types(runner, multithreading):
    patterns = {f"t{i}": [f"v{i}"] for i in range(10_000)}
    inf, types = runner.run("c\nv0\nv9999\nv5000\nv9999\nnope\n", patterns=patterns,
                            multithreading=multithreading)
    table = inf.get_col_type_candidates()["c"]
    assert len(table) == 10_002
    assert {t: n for t, n in table.items() if n} == {"t0": 1, "t9999": 2, "t5000": 1, "other": 1}
    assert types == "c\nt0\nt9999\nt5000\nt9999\nother\n"


def test_10000_patterns_of_one_type(runner, multithreading):
    patterns = {"t": [f"v{i}" for i in range(10_000)]}
    inf, types = runner.run("c\nv9999\nv0\nv10000\n", patterns=patterns,
                            multithreading=multithreading)
    assert inf.get_col_type_candidates() == {"c": {"t": 2, "other": 1, "NA": 0}}
    assert inf.get_col_type_patterns() == patterns


def test_lowest_window_never_empties_the_cache(runner):
    # As in test_pass.py's window test: "both" is cached as B from column X; emptied, column
    # Y would match it as A. -2**31 is negative, so the pass never empties the cache.
    # (Single-threaded: with threads, which column caches a text first is not fixed.)
    patterns = {"A": ["a|both"], "B": ["b|both"]}
    data = "X,Y\nb,a\nboth,c\nc,both\n"
    _, types = runner.run(data, patterns=patterns, na={"c"}, window=-2**31)
    assert types.splitlines()[3] == "NA,B"


# --- hostile use ---------------------------------------------------------------------------

PATTERNS = {"integer": [r"-?\d+"], "word": ["[a-z]+"], "code": ["[A-Z]{2}[0-9]+"]}


def table_file(path, rows=500):
    """Many distinct texts, so that every pass fills the cache and the count tables."""
    path.write_text("id,name,code,empty\n" + "".join(
        f"{i},{'abcdefgh'[i % 8] * (1 + i % 5)},XY{i},\n" for i in range(rows)))
    return path


def test_many_objects_created_and_dropped_do_not_leak(tmp_path):
    path = table_file(tmp_path / "in.csv")
    got = run_python(RESIDENT + textwrap.dedent(f"""
        def cycle(i):
            inf = velmira_ext.Inf({str(path)!r}, ",", {PATTERNS!r}, {{""}}, i % 2 == 1, True,
                                  {str(tmp_path / "types.csv")!r}, 1000 if i % 3 else 7)
            inf.infer_types()
            assert inf.num_rows == 500 and inf.get_col_type_candidates()["id"]["integer"] == 500
        for i in range(100):
            cycle(i)
        before = resident()
        for i in range(100, 700):
            cycle(i)
        print(json.dumps([before, resident()]))
    """))
    before, after = got
    if not SANITIZED:
        # Each object holds a few hundred KB (cache, tables): a leak of one per cycle would
        # add hundreds of MB.
        assert after - before < 20 * MB, (before, after)


def test_infer_types_called_repeatedly_on_one_object(tmp_path):
    path = table_file(tmp_path / "in.csv")
    got = run_python(RESIDENT + textwrap.dedent(f"""
        inf = velmira_ext.Inf({str(path)!r}, ",", {PATTERNS!r}, {{""}}, False, True,
                              {str(tmp_path / "types.csv")!r}, 1000)
        def run(i):
            inf.set_multithreading(i % 2 == 1)
            inf.infer_types()
            types = open({str(tmp_path / "types.csv")!r}).read()
            return [inf.num_rows, inf.col_names, inf.get_col_type_candidates(), types]
        first = run(0)
        for i in range(1, 100):
            assert run(i) == first, i
        before = resident()
        for i in range(100, 700):
            assert run(i) == first, i
        print(json.dumps([first, before, resident()]))
    """))
    first, before, after = got
    assert first[0] == 500
    assert first[2]["name"] == {**zeros("integer", "word", "code"), "word": 500}
    assert first[2]["empty"] == {**zeros("integer", "word", "code"), "NA": 500}
    if not SANITIZED:
        assert after - before < 20 * MB, (before, after)


# How a pass is made to fail, then how the object is set right again.
INTERRUPTIONS = {
    "missing-file": ("inf.set_filepath(missing)", "inf.set_filepath(good)"),
    "directory": ("inf.set_filepath(directory)", "inf.set_filepath(good)"),
    # (?i) keeps it on Boost, which gives up on it.
    "catastrophic-pattern": ('inf.set_col_type_patterns({"bad": ["(a+)+(?i:b)"], **patterns})',
                             "inf.set_col_type_patterns(patterns)"),
}


@pytest.mark.parametrize("how", list(INTERRUPTIONS))
def test_interrupted_pass_then_successful_pass(tmp_path, multithreading, how):
    good = tmp_path / "in.csv"
    # The text of column b matches no good type, so every type is tried on it: the bad one too,
    # once the window has emptied the cache that the first pass left.
    good.write_text("a,b,c\n" + "".join(f"{i},{'a' * 40}!,x{i % 5}\n" for i in range(3000)))
    types_path = tmp_path / "types.csv"
    patterns = {"integer": [r"\d+"], "word": ["[a-z]+[0-9]?"]}
    fail, repair = INTERRUPTIONS[how]
    got = run_python(f"""
        import json, velmira_ext
        good, missing, directory = {str(good)!r}, {str(tmp_path / "no.csv")!r}, {str(tmp_path)!r}
        patterns = {patterns!r}
        inf = velmira_ext.Inf(good, ",", patterns, {{""}}, {multithreading}, True,
                              {str(types_path)!r}, 1000)
        inf.infer_types()
        {fail}
        try:
            inf.infer_types()
            raised = None
        except RuntimeError as e:
            raised = str(e)
        {repair}
        inf.infer_types()
        print(json.dumps([raised, inf.num_rows, inf.col_names, inf.get_col_type_candidates(),
                          open({str(types_path)!r}).read()]))
    """)
    raised, *after = got
    assert raised is not None
    fresh = velmira_ext.Inf(str(good), ",", patterns, {""}, False, True, str(types_path), 1000)
    fresh.infer_types()
    assert after == [fresh.num_rows, fresh.col_names, fresh.get_col_type_candidates(),
                     types_path.read_text()]
