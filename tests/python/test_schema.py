"""The outputs for loaders, each tested by loading the files with what it produces."""
import datetime as dt
import json
import sqlite3
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
