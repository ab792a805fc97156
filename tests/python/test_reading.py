"""The package pass's reading options: the lines above a table, a header a file lacks, the
quote byte, runs of blanks, rows ended by LF alone, and the rows whose width is odd."""

import io
import json
import subprocess
import sys
import warnings

import pytest

import velmira
from velmira import _native

INT = {"i": ["[0-9]+"]}


def run(data, *, skip=0, prepend=b"", delimiter=",", multithreading=False, **options):
    inp = _native.Input(io.BytesIO(data))
    try:
        assert inp.skip(skip) == skip
        if prepend:
            inp.prepend(prepend)
        shapes = {}
        names, counts, rows = _native.infer(inp, delimiter, INT, {""}, multithreading, None, 1000, None,
                                            shapes=shapes, **options)
    finally:
        inp.close()
    return [n.decode() for n in names], [c["i"] for c in counts], rows, shapes


READS = [
    pytest.param(b"title\n\nid,n\n1,2\n", dict(skip=7), ["id", "n"], [1, 1], 1, id="lines-above-the-table"),
    pytest.param(b"1,2\n3,4\n", dict(prepend=b"column_1,column_2\n"), ["column_1", "column_2"], [2, 2], 2,
                 id="no-header"),
    pytest.param(b"a;b\n'1;2';3\n", dict(delimiter=";", quote="'"), ["a", "b"], [0, 1], 1, id="single-quote"),
    pytest.param(b"  a   b\tc\n  1  22 \t 3  \n", dict(blank_runs=True), ["a", "b", "c"], [1, 1, 1], 1,
                 id="aligned-columns"),
    pytest.param(b'a b\n"x y" 1\n', dict(blank_runs=True), ["a", "b"], [0, 1], 1, id="quoted-blanks"),
    pytest.param(b"a,b\nx\ry,1\n2,3\r\n", dict(lf_rows=True), ["a", "b"], [1, 2], 2, id="lone-cr-is-text"),
    pytest.param(b"a,b\nx\ry,1\n", {}, ["a", "b"], [0, 1], 2, id="lone-cr-ends-a-row-by-default"),
]


@pytest.mark.parametrize("data,options,names,ints,rows", READS)
def test_reading_options(data, options, names, ints, rows, multithreading):
    got_names, got_ints, got_rows, _ = run(data, multithreading=multithreading, **options)
    assert (got_names, got_ints, got_rows) == (names, ints, rows)


def test_odd_rows_are_counted_never_dropped_silently(multithreading):
    # Fields beyond the header used to vanish with no word; blank lines counted as rows.
    data = b"a,b,c\n1,2,3\n\n4,5\n6,7,8,9,10\n\n11,12,13\n"
    for skip_blank, rows in ((False, 6), (True, 4)):
        _, ints, got_rows, shapes = run(data, multithreading=multithreading, skip_blank_lines=skip_blank)
        assert got_rows == rows
        assert shapes == {"wider": 1, "first_wider": 5, "widest": 5, "narrower": 1, "first_narrower": 4,
                          "blank": 2, "comments": 0, "headers": 0, "first_header": 0}
        assert ints == [4, 4, 3]


def test_backslash_n_is_missing_by_default(tmp_path):
    # MySQL and PostgreSQL dumps write \N for a missing value; it used to make a column string.
    path = tmp_path / "dump.tsv"
    path.write_bytes(b"id\tyear\n1\t1999\n2\t\\N\n")
    column = velmira.infer(path, delimiter="\t").column("year")
    assert (column.type, column.missing) == ("integer", 1)


# ---- whole files, found and read as a person would --------------------------------------

def _detector_tests():
    # The detector's table of real files, shared rather than copied.
    import importlib.util
    from pathlib import Path

    location = importlib.util.spec_from_file_location("velmira_test_dialect", Path(__file__).with_name("test_dialect.py"))
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    return module


_DETECTOR = _detector_tests()
REAL, REAL_FILES = _DETECTOR.REAL, _DETECTOR.REAL_FILES

from velmira.dialect import HeaderEncodingWarning  # noqa: E402


def _params(table):
    for param in table:
        values, marks = (param.values, param.marks) if hasattr(param, "values") else (param, ())
        yield pytest.param(*values, marks=marks, id=values[0])


@pytest.mark.parametrize("name,delimiter,quote,header_row,skipped,width,first_names", list(_params(REAL_FILES)))
def test_real_files_are_read_as_the_table_they_hold(name, delimiter, quote, header_row, skipped, width, first_names):
    # A fifth of real files used to be read as the wrong table: a title taken for the header,
    # aligned columns as one, a Latin-1 header stopping the pass.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", HeaderEncodingWarning)
        profile = velmira.infer(REAL / name)
    names = profile.column_names
    assert len(names) >= width and all(n.startswith("extra_") for n in names[width:]), names
    if header_row is None:
        assert names[:width] == [f"column_{i}" for i in range(1, width + 1)]
    else:
        expected = tuple(n for n in first_names if n)
        assert tuple(n for n in names if n and not n.startswith("Unitled_"))[:len(expected)] == expected
    assert profile.rows > 0
    assert (profile.dialect.delimiter, profile.dialect.skipped_lines) == (delimiter, skipped)


def lines(*rows):
    return ("\n".join(rows) + "\n").encode()


CASES = [
    pytest.param(lines("Station: Oslo", "# Data source: met.no", "", "date,temp", "2020-01-01,1.5", "2020-01-02,-3"),
                 {}, ["date", "temp"], {"temp": "decimal", "date": "date"}, 2, id="lines-above-the-header"),
    pytest.param(lines("  popul  TVnews  selfLR", "      1       7       3", "     10       1       5"),
                 {}, ["popul", "TVnews", "selfLR"], {"popul": "integer"}, 2, id="space-aligned-columns"),
    pytest.param("Année;Quartier\n2013;All\n2014;Nord\n".encode("cp1252"),
                 {}, ["Année", "Quartier"], {"Année": "integer"}, 2, id="cp1252-header"),
    pytest.param(b"id,text,n\n1,a\rb,3\n2,c,4\n", {}, ["id", "text", "n"], {"n": "integer"}, 2,
                 id="lone-cr-inside-a-field"),
    pytest.param(lines("id,year", "1,1999", "id,year", "2,\\N"), {}, ["id", "year"], {"year": "integer"}, 2,
                 id="repeated-header-and-backslash-n"),
    pytest.param(lines("id,v", "1,2", "", "3,4", ""), {}, ["id", "v"], {"v": "integer"}, 2, id="blank-lines"),
    pytest.param(lines("1,2", "3,4"), dict(header=False), ["column_1", "column_2"], {"column_1": "integer"}, 2,
                 id="no-header"),
    pytest.param(lines("junk", "a|b", "1|2"), dict(skip_rows=1, delimiter="|"), ["a", "b"], {"b": "integer"}, 1,
                 id="told-skip-rows"),
]


@pytest.mark.parametrize("data,options,names,types,rows", CASES)
def test_messy_files_are_read_right(tmp_path, data, options, names, types, rows, multithreading):
    path = tmp_path / "messy.csv"
    path.write_bytes(data)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", HeaderEncodingWarning)
        profile = velmira.infer(path, multithreading=multithreading, **options)
    assert (profile.column_names, profile.rows) == (names, rows)
    assert {name: profile.column(name).type for name in types} == types


def test_lone_cr_beyond_the_sample_is_text(tmp_path):
    # A CR that pandas left in a field far into an LF file used to split its row.
    path = tmp_path / "late-cr.csv"
    path.write_bytes(lines("id,text,n", *[f"{i},word,{i}" for i in range(20000)], "20000,a\rb,1"))
    profile = velmira.infer(path)
    assert (profile.rows, profile.column("n").type, profile.shapes.get("narrower")) == (20001, "integer", None)


def test_wider_rows_become_extra_columns_and_are_said(tmp_path):
    # A weather file's rows wider than its header used to lose their extra fields unsaid.
    path = tmp_path / "wide.csv"
    path.write_bytes(lines("site,lat", *["1,2"] * 5, "3,4,5,6", "7,8"))
    profile = velmira.infer(path)
    assert profile.column_names == ["site", "lat", "extra_1", "extra_2"]
    assert profile.shapes["extra_columns"] == 2
    assert profile.column("extra_2").counts["integer"] == 1
    result = subprocess.run([sys.executable, "-m", "velmira", str(path)], capture_output=True, text=True)
    assert "their fields beyond it are the columns extra_1 to extra_2" in result.stderr


def test_the_command_says_what_it_found(tmp_path):
    path = tmp_path / "report.csv"
    path.write_bytes(lines("Sales report", "", "a;b", "1;2", "3;4"))
    result = subprocess.run([sys.executable, "-m", "velmira", str(path)], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stderr.startswith("velmira: delimiter ';' (guessed), header on line 3 (2 lines skipped, guessed)")
    assert "report.csv: 2 rows, 2 columns" in result.stdout
    as_json = subprocess.run([sys.executable, "-m", "velmira", str(path), "-f", "json"], capture_output=True,
                             text=True)
    assert json.loads(as_json.stdout)["dialect"]["skipped_lines"] == 2
    sql = subprocess.run([sys.executable, "-m", "velmira", str(path), "-f", "sql", "--dialect", "sqlite"],
                         capture_output=True, text=True)
    assert sql.returncode == 0 and "a SMALLINT NOT NULL" in sql.stdout, sql.stderr
