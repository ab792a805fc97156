"""The outputs for loaders, each tested by loading the files with what it produces."""
import csv
import datetime as dt
import json
import os
import sqlite3
import subprocess
import sys
from decimal import Decimal
from pathlib import Path

import pytest

import velmira
from velmira.types import FALSE_VALUES, TRUE_VALUES

DATA = Path(__file__).resolve().parent / "data"
SAMPLE = Path(__file__).resolve().parents[2] / "examples" / "sample.csv"
# mixed_orders.csv is left out: its string column loads anywhere.
FILES = [SAMPLE] + sorted(p for p in DATA.glob("*.csv") if p.name != "mixed_orders.csv")
IDS = [p.name for p in FILES]


@pytest.fixture(params=FILES, ids=IDS, scope="module")
def profile(request):
    return velmira.infer(request.param)


def sqlite_value(value):
    # sqlite3 binds neither Decimal nor time; their text is what SQLite stores for NUMERIC/TIME anyway.
    if isinstance(value, Decimal):
        return str(value)
    if isinstance(value, (dt.date, dt.time)):
        return value.isoformat()
    return value


def test_sql_loads_into_sqlite(profile):
    pytest.importorskip("sqlalchemy")
    rows = list(velmira.read_rows(profile))
    con = sqlite3.connect(":memory:")
    con.execute(profile.to_sql("sqlite", table="t"))
    marks = ", ".join("?" * len(profile.columns))
    con.executemany(f"INSERT INTO t VALUES ({marks})", [tuple(map(sqlite_value, r.values())) for r in rows])
    assert con.execute("SELECT count(*) FROM t").fetchone()[0] == profile.rows


def test_sql_loads_into_duckdb(profile):
    pytest.importorskip("sqlalchemy")
    duckdb = pytest.importorskip("duckdb")
    rows = list(velmira.read_rows(profile))
    con = duckdb.connect()
    con.execute(profile.to_sql("duckdb", table="t"))
    marks = ", ".join("?" * len(profile.columns))
    con.executemany(f"INSERT INTO t VALUES ({marks})", [tuple(r.values()) for r in rows])
    loaded = con.execute("SELECT * FROM t").fetchall()
    assert len(loaded) == profile.rows
    # Every value survives the round trip through the declared column types.
    for row, back in zip(rows, loaded):
        for (name, value), got in zip(row.items(), back):
            if isinstance(value, dt.datetime) and value.tzinfo is not None:
                assert got == value, name
            elif value is not None:
                assert got == value or str(got) == str(value), (name, value, got)
            else:
                assert got is None


SQL_TYPES = [
    # values, dialect, the column's SQL
    pytest.param(["1", "2"], "postgresql", "v SMALLINT NOT NULL", id="smallint"),
    pytest.param(["1", "40000"], "postgresql", "v INTEGER NOT NULL", id="integer"),
    pytest.param(["1", "-3000000000"], "postgresql", "v BIGINT NOT NULL", id="bigint"),
    pytest.param(["1", "123456789012345678901"], "postgresql", "v NUMERIC(21, 0) NOT NULL", id="beyond-bigint"),
    pytest.param(["1", "123456789012345678901234567890123456789"], "duckdb", "v DOUBLE PRECISION NOT NULL",
                 id="beyond-duckdb-precision"),
    pytest.param(["1,234,567", "12"], "postgresql", "v INTEGER NOT NULL", id="thousands-integer"),
    pytest.param(["12.5", "-1234.125", "NA"], "postgresql", "v NUMERIC(7, 3)", id="numeric-precision-scale"),
    pytest.param(["1.234,56", "999,5"], "mysql", "v NUMERIC(6, 2) NOT NULL", id="european-decimal"),
    pytest.param(["1e10", "2.5"], "postgresql", "v DOUBLE PRECISION NOT NULL", id="exponent-is-a-double"),
    pytest.param(["0." + "1" * 40], "mysql", "v DOUBLE NOT NULL", id="scale-beyond-mysql"),
    pytest.param(["12%", "3.5%"], "sqlite", "v NUMERIC(3, 1) NOT NULL", id="percent"),
    pytest.param(["15/01/2023", "03/02/2023"], "mysql", "v DATE NOT NULL", id="date"),
    pytest.param(["2023-01-15T10:00:00Z", "2023-01-15T10:00:00"], "postgresql",
                 "v TIMESTAMP WITH TIME ZONE NOT NULL", id="zoned-datetime"),
    pytest.param(["15/01/2023 10:00:00"], "postgresql", "v TIMESTAMP WITHOUT TIME ZONE NOT NULL", id="datetime"),
    pytest.param(["10:00"], "mysql", "v TIME NOT NULL", id="time"),
    pytest.param(["yes", "no"], "mysql", "v BOOL NOT NULL", id="boolean"),
    pytest.param(["abc", "abcdéf", ""], "mysql", "v VARCHAR(6)", id="mysql-varchar-longest-in-characters"),
    pytest.param(["x" * 300], "mysql", "v TEXT(300) NOT NULL", id="mysql-long-text"),
    pytest.param(["abc"], "postgresql", "v TEXT NOT NULL", id="postgres-text"),
    pytest.param(["abc"], "duckdb", "v VARCHAR NOT NULL", id="duckdb-varchar"),
    pytest.param(["NA", ""], "sqlite", "v TEXT", id="empty-column"),
]


@pytest.mark.parametrize("values,dialect,expected", SQL_TYPES)
def test_sql_types(tmp_path, values, dialect, expected):
    pytest.importorskip("sqlalchemy")
    path = tmp_path / "data.csv"
    path.write_text("v\n" + "".join(f'"{v}"\n' for v in values), encoding="utf-8")
    ddl = velmira.infer(path, delimiter=",").to_sql(dialect)
    assert ddl.startswith("CREATE TABLE data (") and ddl.endswith(");\n")
    assert expected in [line.strip().rstrip(",").strip() for line in ddl.splitlines()]


def test_short_rows_make_a_column_nullable(tmp_path):
    pytest.importorskip("sqlalchemy")
    path = tmp_path / "short.csv"
    path.write_text("a,b\n1,2\n3\n")
    profile = velmira.infer(path, delimiter=",")
    lines = [line.strip().rstrip(",").strip() for line in profile.to_sql("sqlite").splitlines()]
    assert "a SMALLINT NOT NULL" in lines and "b SMALLINT" in lines
    assert profile.to_json_schema()["properties"]["b"]["type"] == ["integer", "null"]


@pytest.mark.parametrize("call,error", [
    pytest.param(lambda p: p.to_sql("oracle"), "unknown SQL dialect 'oracle'; choose one of", id="unknown-dialect"),
    pytest.param(lambda p: p.to_sql("sqlite"), "column name 'x' appears more than once", id="sql-duplicate"),
    pytest.param(lambda p: p.to_json_schema(), "column name 'x' appears more than once", id="json-duplicate"),
])
def test_sql_and_json_errors(tmp_path, call, error):
    pytest.importorskip("sqlalchemy")
    path = tmp_path / "dup.csv"
    path.write_text("x,x\n1,2\n")
    with pytest.raises(ValueError, match=error):
        call(velmira.infer(path, delimiter=","))


def write_csv(path, header, *rows):
    quote = lambda text: '"' + text.replace('"', '""') + '"'
    lines = [",".join(map(quote, header))] + [",".join(row) for row in rows]
    path.write_bytes(("\n".join(lines) + "\n").encode("utf-8"))
    return path


def run_command(*args, cwd):
    # The child finds this package through PYTHONPATH, as the test run does.
    return subprocess.run([sys.executable, "-m", "velmira", *map(str, args)], cwd=cwd, capture_output=True,
                          env={**os.environ, "PYTHONUTF8": "1"}, encoding="utf-8", timeout=120)


def parse_quoted_names(ddl, quote):
    """The column names a database reads from a CREATE TABLE as to_sql() lays it out."""
    body = ddl[ddl.index(" (\n") + 3:]
    names, i = [], 0
    while True:
        assert body[i] == "\t", body[i:]
        i += 1
        if body[i] == quote:  # quoted: a doubled quote stands for one
            name, i = "", i + 1
            while True:
                end = body.index(quote, i)
                name += body[i:end]
                if body[end + 1:end + 2] != quote:
                    i = end + 1
                    break
                name += quote
                i = end + 2
        else:
            end = body.index(" ", i)
            name, i = body[i:end], end
        names.append(name)
        end = body.index("\n", i)
        definition, i = body[i:end], end + 1
        if not definition.endswith(","):
            assert body[i:] == ");\n"
            return names


def declared_names(dialect, ddl):
    """The names of the columns the statement creates: loaded where a database is at hand, else read from the text."""
    if dialect == "sqlite":
        con = sqlite3.connect(":memory:")
        con.execute(ddl)
        return [row[1] for row in con.execute("PRAGMA table_info(t)")]
    if dialect == "duckdb":
        duckdb = pytest.importorskip("duckdb")
        con = duckdb.connect()
        con.execute(ddl)
        return [d[0] for d in con.execute("SELECT * FROM t").description]
    return parse_quoted_names(ddl, "`" if dialect == "mysql" else '"')


ODD_NAMES = [
    pytest.param("Discount %", id="percent"),
    pytest.param("100%(x)s %s %%", id="percent-format-codes"),
    pytest.param("a\rb", id="CR"),
    pytest.param("a\r\nb", id="CRLF"),
    pytest.param("a\nb", id="LF"),
    pytest.param("a\x0bb", id="vertical-tab"),
    pytest.param("a\x0cb", id="form-feed"),
    pytest.param("a\x1cb", id="file-separator"),
    pytest.param("a\x85b", id="NEL"),
    pytest.param("a\u2028b", id="line-separator"),
    pytest.param("a\u2029b", id="paragraph-separator"),
    pytest.param("a \nb", id="blank-before-LF"),
    pytest.param("a\t\r\nb", id="tab-before-CRLF"),
    pytest.param(" a ", id="outer-blanks"),
    pytest.param('say "hi"', id="double-quotes"),
    pytest.param("it`s", id="backtick"),
    pytest.param(":x ?", id="bind-markers"),
]


@pytest.mark.parametrize("dialect", ["sqlite", "duckdb", "postgresql", "mysql"])
@pytest.mark.parametrize("name", ODD_NAMES)
def test_sql_ddl_renames_columns(tmp_path, name, dialect):
    """Used to double % (postgresql, duckdb, mysql), turn CR, VT, FF, NEL, U+2028 into LF and drop a blank before one."""
    pytest.importorskip("sqlalchemy")
    profile = velmira.infer(write_csv(tmp_path / "odd.csv", [name, "n"], ["1", "2"]), delimiter=",")
    assert profile.column_names == [name, "n"]
    assert declared_names(dialect, profile.to_sql(dialect, table="t")) == [name, "n"]


# Two names that differ only in case; whether MySQL, which folds the case of
# every letter, takes them for one column. SQLite and DuckDB fold ASCII
# letters only: the databases themselves say which pairs they refuse.
CASE_ONLY = [
    pytest.param("id", "ID", True, id="ascii"),
    pytest.param("Order Date", "ORDER date", True, id="ascii-with-blank"),
    pytest.param("é", "É", True, id="non-ascii"),
    pytest.param("café", "CAFÉ", True, id="ascii-and-non-ascii"),
]


def refuses_pair(dialect, a, b, mysql_folds):
    plain = f'CREATE TABLE t ("{a}" INTEGER, "{b}" INTEGER)'
    if dialect in ("sqlite", "duckdb"):
        try:
            (sqlite3 if dialect == "sqlite" else pytest.importorskip("duckdb")).connect(":memory:").execute(plain)
        except Exception:
            return True
        return False
    return dialect == "mysql" and mysql_folds


@pytest.mark.parametrize("dialect", ["sqlite", "duckdb", "postgresql", "mysql"])
@pytest.mark.parametrize("a,b,mysql_folds", CASE_ONLY)
def test_sql_ddl_names_differing_only_in_case(tmp_path, dialect, a, b, mysql_folds):
    """Used to give DDL with both names, which SQLite, DuckDB and MySQL reject."""
    pytest.importorskip("sqlalchemy")
    profile = velmira.infer(write_csv(tmp_path / "case.csv", [a, "n", b], ["1", "2", "3"]), delimiter=",")
    if refuses_pair(dialect, a, b, mysql_folds):
        with pytest.raises(ValueError) as caught:
            profile.to_sql(dialect, table="t")
        assert str(caught.value).startswith(f"column names {a!r} and {b!r} differ only in case")
        assert "\n" not in str(caught.value)
    else:
        assert declared_names(dialect, profile.to_sql(dialect, table="t")) == [a, "n", b]


def test_sql_ddl_names_differing_only_in_case_on_the_command_line(tmp_path):
    """Used to print DDL that SQLite rejects; now one error line and nothing on stdout."""
    write_csv(tmp_path / "case.csv", ["id", "ID"], ["1", "2"])
    result = run_command("case.csv", "-d", ",", "-f", "sql", "--dialect", "sqlite", cwd=tmp_path)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == ("velmira: error: column names 'id' and 'ID' differ only in case, which SQLite does not "
                             "tell apart; this output needs names that differ otherwise\n")


# Over the csv module's default limit of 131,072 characters, with a delimiter
# and a line break inside; the text "zz" after it is the only "other" of n.
BIG = "x" * 100_000 + ",\n" + "y" * 100_000


def write_big(directory):
    return write_csv(directory / "big.csv", ["n", "v"], ["1", '"' + BIG + '"'], ["2", "ww"], ["zz", "ww"])


def test_field_over_128_kib_read_rows(tmp_path):
    """Used to fail with _csv.Error "field larger than field limit (131072)" although the profile succeeded."""
    profile = velmira.infer(write_big(tmp_path), delimiter=",")
    assert profile.column("v").counts["other"] == 3
    before = csv.field_size_limit(1000)  # the caller's own limit, lower still
    try:
        rows = []
        # Two readers at once, as when comparing files row by row.
        for row, again in zip(velmira.read_rows(profile), velmira.read_rows(profile)):
            assert row == again
            # Between rows the caller's reads see the caller's limit.
            assert csv.field_size_limit() == 1000
            rows.append(row)
        assert rows == [{"n": "1", "v": BIG}, {"n": "2", "v": "ww"}, {"n": "zz", "v": "ww"}]
        assert csv.field_size_limit() == 1000
        pytest.importorskip("sqlalchemy")
        assert "\tv TEXT(200002) NOT NULL\n" in profile.to_sql("mysql")  # measured whole
    finally:
        csv.field_size_limit(before)


@pytest.mark.parametrize("args,check", [
    pytest.param(["-f", "sql", "--dialect", "sqlite"],
                 lambda out: declared_names("sqlite", out.replace("CREATE TABLE big", "CREATE TABLE t")) == ["n", "v"],
                 id="sql"),
    pytest.param(["-f", "arrow"], lambda out: out == "n: string\nv: string\n", id="arrow"),
    pytest.param(["explain", "n"], lambda out: "other    'zz' (the first 1 distinct, in the whole file)" in out,
                 id="explain"),
])
def test_field_over_128_kib_second_pass_commands(tmp_path, args, check):
    """Used to end in a _csv.Error traceback (field larger than field limit) although the profile succeeded."""
    if args[0] != "explain":
        pytest.importorskip("sqlalchemy" if "sql" in args else "pyarrow")
    write_big(tmp_path)
    command = ["explain", "big.csv", *args[1:]] if args[0] == "explain" else ["big.csv", *args]
    result = run_command(*command, "-d", ",", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, ""), result.stderr
    assert check(result.stdout), result.stdout


def test_json_schema_validates_every_row(profile):
    jsonschema = pytest.importorskip("jsonschema")
    schema = profile.to_json_schema()
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema, format_checker=jsonschema.FormatChecker())
    rows = list(velmira.read_rows(profile, json_values=True))
    assert rows
    for row in rows:
        json.dumps(row)
        validator.validate(row)
    # The schema constrains: a row with a text where a number belongs fails.
    numeric = [c.name for c in profile.columns if schema["properties"][c.name].get("type") in ("integer", "number")]
    if numeric:
        assert not validator.is_valid({**rows[0], numeric[0]: "12"})


def no_null_where_a_value_was(profile, table_rows):
    """Column by column: the reader's None/null positions are exactly the missing fields."""
    expected = list(velmira.read_rows(profile))
    assert len(table_rows) == len(expected)
    for got, want in zip(table_rows, expected):
        for name in want:
            assert (got[name] is None) == (want[name] is None), (name, want[name], got[name])


def test_arrow_schema_reads_the_file(profile):
    pa = pytest.importorskip("pyarrow")
    from pyarrow import csv

    schema = profile.to_arrow_schema()
    options = csv.ConvertOptions(column_types=schema, null_values=list(profile.na_values), strings_can_be_null=True,
                                 true_values=list(TRUE_VALUES), false_values=list(FALSE_VALUES))
    table = csv.read_csv(profile.path, parse_options=csv.ParseOptions(delimiter=profile.delimiter),
                         convert_options=options)
    assert table.schema == schema
    no_null_where_a_value_was(profile, table.to_pylist())
    assert isinstance(schema, pa.Schema)


def test_polars_schema_reads_the_file(profile):
    pl = pytest.importorskip("polars")
    schema = profile.to_polars_schema()
    frame = pl.read_csv(profile.path, separator=profile.delimiter, schema=schema,
                        null_values=list(profile.na_values))
    assert frame.schema == schema
    no_null_where_a_value_was(profile, frame.to_dicts())


def test_pandas_dtypes_read_the_file(profile):
    pd = pytest.importorskip("pandas")
    dtypes = profile.to_pandas_dtypes()
    frame = pd.read_csv(profile.path, sep=profile.delimiter, dtype=dtypes, na_values=list(profile.na_values),
                        keep_default_na=False, true_values=list(TRUE_VALUES), false_values=list(FALSE_VALUES))
    rows = [{k: (None if pd.isna(v) else v) for k, v in r.items()} for r in frame.to_dict("records")]
    no_null_where_a_value_was(profile, rows)


def test_dataframe_types_of_the_sample():
    pa = pytest.importorskip("pyarrow")
    pl = pytest.importorskip("polars")
    pytest.importorskip("pandas")
    profile = velmira.infer(SAMPLE)
    arrow = profile.to_arrow_schema()
    assert [str(arrow.field(n).type) for n in ("qty", "total", "paid", "ordered_on", "shipped_at", "pickup")] == [
        "string", "double", "bool", "date32[day]", "timestamp[us, tz=UTC]", "time64[us]"]
    polars = profile.to_polars_schema()
    assert polars["ordered_on"] == pl.Date and polars["shipped_at"] == pl.Datetime("us", "UTC")
    assert polars["paid"] == pl.Boolean  # the sample spells its booleans true/false
    assert profile.to_pandas_dtypes()["total"] == "Float64"
    assert pa is not None


def test_outputs_name_the_missing_extra(monkeypatch, tmp_path):
    import builtins

    real_import = builtins.__import__

    def no_sqlalchemy(name, *args, **kwargs):
        if name == "sqlalchemy" or name.startswith("sqlalchemy."):
            raise ImportError(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", no_sqlalchemy)
    with pytest.raises(ImportError, match=r"pip install 'velmira\[sql\]'"):
        velmira.infer(SAMPLE).to_sql("sqlite")


FIELD_LOG_COLUMNS = [
    # column, Table Schema field without its name, PostgreSQL column, Arrow type, polars type
    pytest.param("sex", {"type": "string"}, "sex TEXT NOT NULL", "string", "String", id="letter"),
    pytest.param("consent", {"type": "boolean"}, "consent BOOLEAN NOT NULL", "bool", "String", id="y-n-boolean"),
    pytest.param("visit", {"type": "date", "format": "%m/%d/%Y"}, "visit DATE NOT NULL", "string", "String",
                 id="unpadded-date"),
    pytest.param("posted", {"type": "datetime", "format": "%m/%d/%Y %I:%M %p"},
                 "posted TIMESTAMP WITHOUT TIME ZONE NOT NULL", "string", "String", id="twelve-hour-clock"),
    pytest.param("born", {"type": "date", "format": "%m/%d/%y"}, "born DATE NOT NULL", "string", "String",
                 id="two-digit-year"),
    pytest.param("quarter", {"type": "string"}, "quarter TEXT NOT NULL", "string", "String", id="quarter"),
    pytest.param("month", {"type": "yearmonth"}, "month DATE", "string", "String", id="year-month"),
    pytest.param("hour", {"type": "time", "format": "any"}, "hour TIME WITHOUT TIME ZONE NOT NULL", "string",
                 "String", id="time-with-24:00"),
    pytest.param("score", {"type": "number", "bareNumber": False}, "score NUMERIC(5, 3)", "double", "String",
                 id="padded-decimal"),
    pytest.param("count", {"type": "integer", "bareNumber": False}, "count SMALLINT NOT NULL", "int64", "String",
                 id="padded-integer"),
]


@pytest.fixture(scope="module")
def field_log():
    return velmira.infer(DATA / "field_log.csv")


@pytest.mark.parametrize("name,field,sql,arrow,polars", FIELD_LOG_COLUMNS)
def test_looser_forms_in_every_output(field_log, name, field, sql, arrow, polars):
    # Readers that cannot parse a form as written get text: polars trims no blanks and reads
    # no Y/N, no reader has a 24:00, and none reads dates other than ISO unaided.
    fields = {f["name"]: {k: v for k, v in f.items() if k not in ("name", "trueValues", "falseValues")}
              for f in field_log.to_table_schema()["fields"]}
    assert fields[name] == field
    pytest.importorskip("sqlalchemy")
    assert f"\t{sql}\n" in field_log.to_sql("postgresql").replace(",\n", "\n")
    pytest.importorskip("pyarrow")
    assert str(field_log.to_arrow_schema().field(name).type) == arrow
    pytest.importorskip("polars")
    assert str(field_log.to_polars_schema()[name]) == polars


@pytest.mark.parametrize("values,verdict", [
    pytest.param(["2005-10-03", "2005-10-3"], "date", id="iso-date-without-zeros"),
    pytest.param(["01:00", "24:00"], "time", id="24:00"),
])
def test_arrow_gets_text_where_its_reader_would_fail(tmp_path, values, verdict):
    # pyarrow reads ISO dates with leading zeros only, and no time of 24:00.
    pytest.importorskip("pyarrow")
    from pyarrow import csv as arrow_csv

    path = write_csv(tmp_path / "t.csv", ["v"], *([value] for value in values))
    profile = velmira.infer(path, delimiter=",")
    schema = profile.to_arrow_schema()
    assert (profile.column("v").type, str(schema.field("v").type)) == (verdict, "string")
    table = arrow_csv.read_csv(path, convert_options=arrow_csv.ConvertOptions(column_types=schema))
    assert table.column("v").to_pylist() == values


# ---- the README's loading recipes, through the typed reader ----------------------------------


def test_reader_loads_into_duckdb_as_a_table(profile):
    duckdb = pytest.importorskip("duckdb")
    reader = profile.read()
    con = duckdb.connect()
    con.sql("CREATE TABLE t AS SELECT * FROM reader")
    assert con.sql("SELECT count(*) FROM t").fetchall() == [(profile.rows,)]
    # The declared types take the reader's values too.
    con.execute(profile.to_sql("duckdb", table="typed"))
    con.sql("INSERT INTO typed SELECT * FROM reader")
    assert con.sql("SELECT count(*) FROM typed").fetchall() == [(profile.rows,)]


def test_reader_batches_load_into_sqlite(profile):
    pytest.importorskip("sqlalchemy")
    con = sqlite3.connect(":memory:")
    con.execute(profile.to_sql("sqlite", table="t"))
    marks = ", ".join("?" * len(profile.columns))
    for batch in profile.read().to_batches():
        rows = zip(*(column.to_pylist() for column in batch.columns))
        con.executemany(f"INSERT INTO t VALUES ({marks})", (tuple(map(sqlite_value, row)) for row in rows))
    assert con.execute("SELECT count(*) FROM t").fetchone()[0] == profile.rows


def test_schema_recipes_name_an_empty_header_cell_as_the_profile_does(tmp_path):
    # Regression: the header's empty cell is Unitled_1 in the profile but "" in polars
    # (SchemaError) and "Unnamed: 1" in pandas (left untyped); the README's recipes give the
    # readers the profile's names.
    pv = pytest.importorskip("pyarrow.csv")
    pl = pytest.importorskip("polars")
    pd = pytest.importorskip("pandas")
    path = tmp_path / "blank_name.csv"
    path.write_text("id,,n\n1,x,2\n3,,4\n")
    profile = velmira.infer(path, delimiter=",", skip_rows=0)
    names = profile.column_names
    assert names == ["id", "Unitled_1", "n"]
    table = pv.read_csv(path, read_options=pv.ReadOptions(column_names=names, skip_rows=1),
                        convert_options=pv.ConvertOptions(column_types=profile.to_arrow_schema(),
                                                          null_values=list(profile.na_values)))
    assert table.schema == profile.to_arrow_schema()
    frame = pl.read_csv(path, has_header=False, skip_rows=1, schema=profile.to_polars_schema(),
                        null_values=list(profile.na_values))
    assert frame.schema == profile.to_polars_schema()
    frame = pd.read_csv(path, header=0, names=names, dtype=profile.to_pandas_dtypes(),
                        na_values=list(profile.na_values), keep_default_na=False)
    assert [str(t) for t in frame.dtypes] == ["Int64", "string", "Int64"]
