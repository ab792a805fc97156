"""The velmira command, run as a subprocess: its outputs, options and error reports."""
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import velmira

SAMPLE = Path(__file__).resolve().parents[2] / "examples" / "sample.csv"
GUESSED = "velmira: delimiter ',' (guessed; set it with -d)\n"


def run(*args, cwd, command=(sys.executable, "-m", "velmira")):
    # Run outside the source tree, so that the installed package is the one tested.
    env = {**os.environ, "PYTHONUTF8": "1"}
    return subprocess.run([*command, *map(str, args)], cwd=cwd, env=env, capture_output=True,
                          encoding="utf-8", timeout=60)


def create(directory, files):
    for name, content in files.items():
        path = directory / name
        if content is None:
            path.mkdir()
        else:
            path.write_bytes(content if isinstance(content, bytes) else content.encode())


def test_table(tmp_path):
    result = run(SAMPLE, cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, GUESSED)
    lines = result.stdout.splitlines()
    assert lines[0] == f"{SAMPLE}: 30 rows, 10 columns"
    assert lines[1].split() == ["column", "type", "best", "share", "NA", "counts"]
    rows = {line.split()[0]: line.split()[1:] for line in lines[2:]}
    assert list(rows) == velmira.infer(SAMPLE).column_names
    assert rows["qty"] == ["string", "integer", "96.6%", "0", "integer", "29,", "other", "1"]
    assert rows["total"] == ["decimal", "decimal", "100.0%", "0", "decimal", "25,", "integer", "5"]
    assert rows["notes"] == ["empty", "-", "-", "30"]


@pytest.mark.parametrize("fmt,expected", [
    ("json", lambda profile: profile.to_dict()),
    ("schema", lambda profile: profile.to_table_schema()),
])
def test_json_formats(tmp_path, fmt, expected):
    result = run(SAMPLE, "-f", fmt, cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, GUESSED)
    assert json.loads(result.stdout) == expected(velmira.infer(str(SAMPLE)))


def types_of(stdout):
    return {c["name"]: c["type"] for c in json.loads(stdout)["columns"]}


BASE = {"in.csv": "n,w,f\n1,ab,-\n2,cd,-\n3,NA,x\n", "in.tsv": "n\tw\n1\tab\n"}

OPTIONS = [
    # extra files, arguments, expected column types
    pytest.param({}, ["in.csv"], {"n": "integer", "w": "string", "f": "letter"}, id="defaults"),
    pytest.param({}, ["in.csv", "--threshold", "0"], {"n": "integer", "w": "string", "f": "letter"},
                 id="threshold-0"),
    pytest.param({}, ["in.csv", "--na", "x", "--na", "-"], {"n": "integer", "w": "string", "f": "empty"},
                 id="na-markers-replace-defaults"),
    pytest.param({"t.json": '{"word": ["[a-z]+"], "integer": ["[0-9]+"]}'}, ["in.csv", "-t", "t.json"],
                 {"n": "integer", "w": "word", "f": "word"}, id="types-json"),
    pytest.param({"t.toml": "word = ['[a-z]+']\ndigit = ['[0-9]']\n"}, ["in.csv", "--types", "t.toml"],
                 {"n": "digit", "w": "word", "f": "word"}, id="types-toml"),
    pytest.param({}, ["in.csv", "-j", "--cache-window", "1"], {"n": "integer", "w": "string", "f": "letter"},
                 id="threads-and-window"),
    pytest.param({}, ["in.tsv", "-d", "tab"], {"n": "integer", "w": "string"}, id="tab-by-name"),
    pytest.param({}, ["in.tsv", "-d", r"\t"], {"n": "integer", "w": "string"}, id="tab-escaped"),
    pytest.param({}, ["in.tsv"], {"n": "integer", "w": "string"}, id="tab-guessed"),
]


@pytest.mark.parametrize("files,args,expected", OPTIONS)
def test_options(tmp_path, files, args, expected):
    create(tmp_path, {**BASE, **files})
    result = run(*args, "-f", "json", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert types_of(result.stdout) == expected
    guessed = "-d" not in args
    assert ("guessed" in result.stderr) == guessed


def test_save_types(tmp_path):
    create(tmp_path, BASE)
    result = run("in.csv", "--save-types", "rows.csv", "-d", ",", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, "")
    assert (tmp_path / "rows.csv").read_text() == "n,w,f\ninteger,other,NA\ninteger,other,NA\ninteger,NA,letter\n"


@pytest.mark.parametrize("data,names,warning", [
    pytest.param("\ufeffid,x\n1,2\n", ["id", "x"], "in.csv starts with a UTF-8 byte order mark", id="bom"),
    pytest.param("id,id\n1,2\n", ["id", "id"], "2 columns are named 'id'", id="duplicate-names"),
])
def test_warnings(tmp_path, data, names, warning):
    create(tmp_path, {"in.csv": data})
    result = run("in.csv", "-d", ",", cwd=tmp_path)
    assert result.returncode == 0
    assert result.stderr.startswith("velmira: warning: ") and warning in result.stderr
    assert [line.split()[0] for line in result.stdout.splitlines()[2:]] == names


ERRORS = [
    # files, arguments, exit status, what the one line must say
    pytest.param({}, ["missing.csv"], 1, "missing.csv: No such file or directory", id="missing-file"),
    pytest.param({"dir": None}, ["dir"], 1, "dir: Is a directory", id="directory"),
    pytest.param({"dir": None}, ["dir", "-d", ","], 1, "dir: Is a directory", id="directory-with-delimiter"),
    pytest.param({"t.json": '{"ok": ["a"], "num": ["[0-9]+", "(\\\\d+"]}'}, ["in.csv", "-t", "t.json"], 1,
                 "types file t.json: type 'num': invalid pattern '(\\\\d+': ", id="invalid-pattern"),
    pytest.param({}, ["in.csv", "-t", "none.json"], 1, "cannot read types file none.json: No such file",
                 id="types-file-missing"),
    pytest.param({"t.json": "{'a': 1"}, ["in.csv", "-t", "t.json"], 1, "types file t.json is not valid JSON: ",
                 id="types-file-bad-json"),
    pytest.param({"t.toml": "a = [1"}, ["in.csv", "-t", "t.toml"], 1, "types file t.toml is not valid TOML: ",
                 id="types-file-bad-toml"),
    pytest.param({"t.json": b'{"caf\xe9": ["a"]}'}, ["in.csv", "-t", "t.json"], 1, "is not valid JSON",
                 id="types-file-not-utf8"),
    pytest.param({"t.json": '["a"]'}, ["in.csv", "-t", "t.json"], 1, "must map type names to lists of patterns",
                 id="types-file-a-list"),
    pytest.param({"t.json": '{"a": "[0-9]"}'}, ["in.csv", "-t", "t.json"], 1, "type 'a': expected a list",
                 id="types-file-pattern-not-a-list"),
    pytest.param({"t.json": '{"other": ["x"]}'}, ["in.csv", "-t", "t.json"], 1, "type name 'other' is reserved",
                 id="types-file-reserved-name"),
    pytest.param({"l1.csv": "caf\xe9,b\n1,2\n".encode("latin-1")}, ["l1.csv", "--encoding", "utf-8"], 1,
                 "the header of l1.csv is not utf-8", id="header-not-in-the-encoding-given"),
    pytest.param({}, ["in.csv", "--save-types", "no/rows.csv"], 1, "no/rows.csv: No such file or directory",
                 id="save-types-unwritable"),
    pytest.param({}, ["in.csv", "-d", ";;"], 2, "argument -d/--delimiter: expected one ASCII character",
                 id="long-delimiter"),
    pytest.param({}, ["in.csv", "-d", '"'], 2, "other than a quote or line end, not '\"'", id="quote-delimiter"),
    pytest.param({}, ["in.csv", "--threshold", "2"], 2, "argument --threshold: expected a number from 0 to 1",
                 id="threshold-2"),
    pytest.param({}, ["in.csv", "--threshold", "nan"], 2, "not 'nan'", id="threshold-nan"),
    pytest.param({}, ["in.csv", "--threshold", "most"], 2, "not 'most'", id="threshold-not-a-number"),
    pytest.param({}, ["in.csv", "--cache-window", "0"], 2, "argument --cache-window: expected a whole number",
                 id="window-0"),
    pytest.param({}, ["in.csv", "--cache-window", "1.5"], 2, "not '1.5'", id="window-not-whole"),
    pytest.param({}, ["in.csv", "-f", "xml"], 2, "argument -f/--format: invalid choice", id="unknown-format"),
    pytest.param({}, ["in.csv", "--colour"], 2, "unrecognized arguments: --colour", id="unknown-option"),
    pytest.param({}, [], 2, "the following arguments are required: FILE", id="no-file"),
]


@pytest.mark.parametrize("files,args,status,message", ERRORS)
def test_errors(tmp_path, files, args, status, message):
    create(tmp_path, {**BASE, **files})
    result = run(*args, cwd=tmp_path)
    assert (result.returncode, result.stdout) == (status, "")
    assert result.stderr.startswith("velmira: error: ") and result.stderr.count("\n") == 1, result.stderr
    assert message in result.stderr


def test_console_script(tmp_path):
    script = Path(sys.executable).with_name("velmira")
    result = run(SAMPLE, "-d", ",", "-f", "schema", cwd=tmp_path, command=(script,))
    assert (result.returncode, result.stderr) == (0, "")
    assert len(json.loads(result.stdout)["fields"]) == 10


DATA = Path(__file__).resolve().parent / "data"


@pytest.mark.parametrize("args,check", [
    pytest.param(["-f", "sql", "--dialect", "postgresql", "--table", "sales"],
                 lambda out: out.startswith("CREATE TABLE sales (") and "order_date DATE NOT NULL" in out,
                 id="sql"),
    pytest.param(["-f", "jsonschema"],
                 lambda out: json.loads(out)["properties"]["units"] == {"type": "integer"}, id="jsonschema"),
    pytest.param(["-f", "arrow"], lambda out: "paid: bool" in out.splitlines(), id="arrow"),
])
def test_loader_formats(tmp_path, args, check):
    pytest.importorskip("sqlalchemy")
    pytest.importorskip("pyarrow")
    result = run(DATA / "us_sales.csv", "-d", ",", *args, cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, ""), result.stderr
    assert check(result.stdout), result.stdout


def test_table_notes_follow_the_rows(tmp_path):
    result = run(DATA / "mixed_orders.csv", "-d", ",", cwd=tmp_path)
    lines = result.stdout.splitlines()
    assert lines[3].split()[:2] == ["when", "string"]
    assert lines[4] == ("note: when: 7 values can only be day-first (date_dmy_slash) "
                        "and 8 only month-first (date_mdy_slash)")


@pytest.mark.parametrize("args,expected", [
    pytest.param([], "date_dmy_or_mdy_slash", id="day-first-by-default"),
    pytest.param(["--month-first"], "read month-first (%m/%d/%Y)", id="month-first"),
])
def test_month_first(tmp_path, args, expected):
    result = run(DATA / "ambiguous_dates.csv", "-d", ",", *args, cwd=tmp_path)
    assert result.returncode == 0 and expected in result.stdout


def test_compact_dates(tmp_path):
    create(tmp_path, {"d.csv": "day\n20230115\n20231231\n"})
    plain, compact = (types_of(run("d.csv", "-d", ",", "-f", "json", *extra, cwd=tmp_path).stdout)
                      for extra in ([], ["--compact-dates"]))
    assert (plain["day"], compact["day"]) == ("integer", "date_ymd_compact")


def test_explain(tmp_path):
    create(tmp_path, {"e.csv": "n\n1\nxx\n2\nNA\nyy\nxx\n\"a,b\"\n"})
    result = run("explain", "e.csv", "n", "-d", ",", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.splitlines() == [
        "e.csv: column 'n'",
        "type     string (best type integer covers 33.3% of 6 values; threshold 100.0%)",
        "counts   integer 2, other 4",
        "missing  1",
        "other    'xx', 'yy', 'a,b' (the first 3 distinct, in the whole file)",
    ]


def test_explain_stops_once_it_has_enough(tmp_path):
    # 5000 distinct other texts: the pass stops after the first batch.
    create(tmp_path, {"big.csv": "v\n" + "".join(f"w{i}\n" for i in range(5000))})
    result = run("explain", "big.csv", "v", "-d", ",", "--show", "2", cwd=tmp_path)
    assert result.returncode == 0
    assert "other    'w0', 'w1' (the first 2 distinct, in the first 1000 rows)" in result.stdout


@pytest.mark.parametrize("files", [
    pytest.param(["'*.csv'"], id="glob"),
    pytest.param(["a.csv", "b.csv"], id="two-files"),
    pytest.param(["a.csv", "b.csv", "-j", "2"], id="two-workers"),
])
def test_explain_over_several_files(tmp_path, files):
    """explain over several files or a glob used to crash with an AttributeError traceback."""
    create(tmp_path, {"a.csv": "n,w\n1,xx\nxx,yy\n", "b.csv": "w,n\nzz,2\nyy,3\nqq,yy\n"})
    args = [f.strip("'") for f in files]  # the glob reaches the command unexpanded
    result = run("explain", *args, "n", "-d", ",", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.splitlines() == [
        "2 files: column 'n'",
        "type     string (best type integer covers 60.0% of 5 values; threshold 100.0%)",
        "counts   integer 3, other 2",
        "missing  0",
        "other    'xx', 'yy' (the first 2 distinct, in all 2 files)",
    ]


def test_explain_refuses_standard_input_before_reading_it(tmp_path):
    """explain - used to read all of standard input before it said it needs a file."""
    env = {**os.environ, "PYTHONUTF8": "1"}
    with subprocess.Popen([sys.executable, "-m", "velmira", "explain", "-", "n"], cwd=tmp_path, env=env,
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          encoding="utf-8") as proc:
        proc.stdin.write("n\n1\n")
        proc.stdin.flush()  # and standard input stays open
        try:
            status = proc.wait(timeout=30)
        finally:
            proc.kill()
        assert (status, proc.stdout.read()) == (2, "")
        assert proc.stderr.read() == ("velmira explain: error: explain reads the file a second time, so it cannot "
                                      "read standard input; save it to a file first (see velmira explain --help)\n")


@pytest.mark.parametrize("args,status,message", [
    pytest.param(["in.csv", "-f", "sql"], 2, "-f sql needs --dialect (sqlite, postgresql, duckdb, mysql)",
                 id="sql-without-dialect"),
    pytest.param(["in.csv", "--dialect", "mysql"], 2, "--dialect goes with -f sql", id="dialect-without-sql"),
    pytest.param(["in.csv", "-f", "sql", "--dialect", "oracle"], 2, "argument --dialect: invalid choice",
                 id="unknown-dialect"),
    pytest.param(["in.csv", "--compact-dates", "-t", "t.json"], 1, "--compact-dates changes the default types",
                 id="compact-dates-with-own-types"),
    pytest.param(["dup.csv", "-f", "jsonschema"], 1, "column name 'x' appears more than once", id="duplicate-names"),
    pytest.param(["explain", "in.csv", "nope"], 1, "in.csv has no column named 'nope'; its columns: 'n', 'w', 'f'",
                 id="explain-unknown-column"),
    pytest.param(["explain", "in.csv", "dup.csv", "nope"], 1,
                 "none of the 2 files has a column named 'nope'; their columns: 'n', 'w', 'f', 'x'",
                 id="explain-unknown-column-of-several-files"),
    pytest.param(["explain", "in.csv"], 2, "the following arguments are required: COLUMN", id="explain-no-column"),
    pytest.param(["explain", "missing.csv", "n"], 1, "missing.csv: No such file or directory",
                 id="explain-missing-file"),
])
def test_new_errors(tmp_path, args, status, message):
    create(tmp_path, {**BASE, "t.json": '{"x": ["x"]}', "dup.csv": "x,x\n1,2\n"})
    result = run(*args, cwd=tmp_path)
    assert (result.returncode, result.stdout) == (status, "")
    assert result.stderr.startswith("velmira") and result.stderr.count("\n") == 1, result.stderr
    assert message in result.stderr


NOTE = ("velmira: note: with types of your own, merged counts equal one pass over all the files only if no text "
        "matches two types (see velmira.check_exclusive)\n")
COMPACT_WITH_OWN = ("velmira: error: --compact-dates changes the default types; add a compact date type to your "
                    "own types instead\n")


@pytest.mark.parametrize("args,status,stdout,stderr", [
    # arguments, exit status, a line the output must hold ("" for none at all), the whole of stderr
    pytest.param(["in.csv", "b.csv"], 0, "b.csv: lacks 'f'", "", id="several-files-say-what-differs"),
    pytest.param(["in.csv", "b.csv", "-t", "t.json"], 0, "2 files: 5 rows, 3 columns", NOTE,
                 id="several-files-with-own-types-note-the-merge"),
    pytest.param(["explain", "in.csv", "b.csv", "w", "-t", "t.json"], 0, "2 files: column 'w'", NOTE,
                 id="explain-several-files-with-own-types"),
    pytest.param(["in.csv", "none*.csv"], 1, "in.csv: 3 rows, 3 columns",
                 "velmira: error: none*.csv: no file matches this pattern\n", id="a-glob-that-matches-nothing"),
    pytest.param(["none*.csv"], 1, "", "velmira: error: none*.csv: no file matches this pattern\n"
                 "velmira: error: no file could be profiled\n", id="no-file-could-be-profiled"),
    pytest.param(["in.csv", "b.csv", "--save-types", "out.csv"], 1, "",
                 "velmira: error: --save-types takes one input file\n", id="save-types-with-several-files"),
    pytest.param(["in.csv", "b.csv", "-t", "t.json", "--compact-dates"], 1, "", COMPACT_WITH_OWN,
                 id="several-files-compact-dates-with-own-types"),
    pytest.param(["explain", "in.csv", "w", "-t", "t.json", "--compact-dates"], 1, "", COMPACT_WITH_OWN,
                 id="explain-compact-dates-with-own-types"),
    pytest.param(["in.csv", "--max-field-size", "3"], 1, "",
                 "velmira: error: in.csv: the header row is longer than the limit of 3 bytes (max_field_size); "
                 "if the file really holds such fields, raise the limit with --max-field-size\n",
                 id="field-too-long-names-the-file"),
    pytest.param(["in.csv", "b.csv", "--max-field-size", "3", "-j", "1"], 1, "",
                 "velmira: error: in.csv: FieldTooLongError: the header row is longer than the limit of 3 bytes "
                 "(max_field_size)\nvelmira: error: b.csv: FieldTooLongError: the header row is longer than the "
                 "limit of 3 bytes (max_field_size)\nvelmira: error: no file could be profiled\n",
                 id="field-too-long-in-several-files"),
    pytest.param(["explain", "in.csv", "w", "--save-types", "x.csv"], 2, "",
                 "velmira explain: error: unrecognized arguments: --save-types x.csv (see velmira explain --help)\n",
                 id="explain-has-no-save-types"),
    pytest.param(["patterns", "-t", "none.json"], 1, "",
                 "velmira: error: cannot read types file none.json: No such file or directory\n",
                 id="patterns-types-file-missing"),
    pytest.param(["patterns", "-t", "t.json", "--compact-dates"], 0, "x\tpcre2-jit\tx", "",
                 id="patterns-own-types-ignore-compact-dates"),
    pytest.param(["patterns", "-j", "2"], 2, "",
                 "velmira patterns: error: unrecognized arguments: --jobs 2 (see velmira patterns --help)\n",
                 id="patterns-takes-no-jobs"),
])
def test_each_command_reports_as_before(tmp_path, args, status, stdout, stderr):
    create(tmp_path, {**BASE, "b.csv": "n,w\n4,q\n5,2023-01-01\n", "t.json": '{"x": ["x"]}'})
    result = run(*args, "-d", ",", cwd=tmp_path) if args[0] != "patterns" else run(*args, cwd=tmp_path)
    assert (result.returncode, result.stderr) == (status, stderr)
    assert stdout in result.stdout.splitlines() if stdout else result.stdout == ""


def test_patterns_invalid_pattern_is_one_line(tmp_path):
    create(tmp_path, {"t.json": '{"ok": ["a"], "num": ["[0-9]+", "(\\\\d+"]}'})
    result = run("patterns", "-t", "t.json", cwd=tmp_path)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr.startswith("velmira: error: types file t.json: type 'num': invalid pattern '(\\\\d+': ")
    assert result.stderr.count("\n") == 1


# ---- convert ---------------------------------------------------------------------------------

CONVERT_FILES = {"a.csv": "id,x\n1,a\n2,b\n", "b.csv": "id,y\n3,2023-01-01\n4,\n"}


@pytest.mark.parametrize("out", ["t.parquet", "t.arrow", "t.feather"])
def test_convert_writes_the_union_of_the_files(tmp_path, out):
    pa = pytest.importorskip("pyarrow")
    create(tmp_path, CONVERT_FILES)
    result = run("convert", "a.csv", "b.csv", "-o", out, "-d", ",", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr.endswith(f"velmira: wrote {out}: 4 rows, 3 columns ({'parquet' if 'parquet' in out else 'arrow'})\n")
    if out.endswith(".parquet"):
        import pyarrow.parquet as pq

        table = pq.read_table(tmp_path / out)
    else:
        table = pa.ipc.open_file(tmp_path / out).read_all()
    assert table.to_pydict() == {"id": [1, 2, 3, 4], "x": ["a", "b", None, None],
                                 "y": [None, None, *map(__import__("datetime").date.fromisoformat, ["2023-01-01"]), None]}


@pytest.mark.parametrize("args,message", [
    (["a.csv", "-o", "t.csv"], "the output's name must end in .parquet"),
    (["-", "-o", "t.parquet"], "cannot read standard input"),
    (["a.csv"], "the following arguments are required: -o/--output"),
])
def test_convert_refuses_bad_command_lines(tmp_path, args, message):
    create(tmp_path, CONVERT_FILES)
    result = run("convert", *args, cwd=tmp_path)
    assert result.returncode == 2 and message in result.stderr, result.stderr


def test_a_failed_convert_leaves_no_output(tmp_path):
    create(tmp_path, {"a.csv": "n\n" + "1\n" * 50 + "two\n", "t.parquet": "kept"})
    result = run("convert", "a.csv", "-o", "t.parquet", "-d", ",", "--threshold", "0.5", "--on-error", "raise",
                 cwd=tmp_path)
    assert result.returncode == 1
    assert "row 52, column 'n': 'two'" in result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.csv", "t.parquet"]
    assert (tmp_path / "t.parquet").read_text() == "kept"


def test_convert_reports_values_read_as_null(tmp_path):
    create(tmp_path, {"a.csv": "n\n" + "1\n" * 50 + "two\n"})
    result = run("convert", "a.csv", "-o", "t.arrow", "-d", ",", "--threshold", "0.5", cwd=tmp_path)
    assert result.returncode == 0
    assert "warning: values not of their column's type were read as null: 'n' (1, the first 'two' on row 52)" \
        in result.stderr


def test_convert_keeps_exact_decimals_on_request(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    create(tmp_path, {"a.csv": "amount\n1234.50\n-0.125\n"})
    result = run("convert", "a.csv", "-o", "t.parquet", "-d", ",", "--decimals", "exact", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    table = pq.read_table(tmp_path / "t.parquet")
    assert str(table.schema.field("amount").type) == "decimal128(7, 3)"
    assert [str(v) for v in table.column("amount").to_pylist()] == ["1234.500", "-0.125"]


def test_an_interrupted_convert_leaves_no_output(tmp_path):
    # Ctrl-C as it arrives between two batches: the signal itself, once the first is written.
    create(tmp_path, {"a.csv": "n\n" + "".join(f"{i}\n" for i in range(5000))})
    code = """
import os, signal, sys, velmira.reader
batches = velmira.reader.Reader.to_batches
def interrupted(self):
    for batch in batches(self):
        yield batch
        signal.raise_signal(signal.SIGINT)
velmira.reader.Reader.to_batches = interrupted
from velmira.cli import main
sys.exit(main(["convert", "a.csv", "-o", "t.parquet", "-d", ","]))
"""
    result = run("-c", code, cwd=tmp_path, command=(sys.executable,))
    assert (result.returncode, result.stderr) == (130, "velmira: interrupted\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.csv"]
