"""The typed reader (velmira.read) against a small Python model of its conversions.

Files are generated with every form of every default type, missing values of
every kind, short rows and strays under a threshold; the values that pyarrow
gets from the reader must equal what the model makes of the same texts with
int(), float() and datetime.strptime(). The model is written from the types'
formats and separators, not from the reader's code.
"""
import csv
import os
import datetime as dt
import io
import random
import re
import signal
import threading
import warnings
from decimal import Decimal
from pathlib import Path

import pytest

import velmira
from velmira.profile import ColumnProfile, Profile
from velmira.types import (
    COMPACT_DATE,
    COVERS,
    DATE_FORMATS,
    DATE_ORDERS,
    DEFAULT_NA_VALUES,
    FALSE_VALUES,
    NUMBER_SEPARATORS,
    TRUE_VALUES,
    default_types,
    kind_of,
)

pa = pytest.importorskip("pyarrow")

UTC = dt.timezone.utc
MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")
ALL_TYPES = default_types(compact_dates=True)


# --- the model ---------------------------------------------------------------------------

class Refused(Exception):
    """A text its column does not take: null in the reader, and counted."""


def accepted(column):
    names = {column.type, *COVERS.get(column.type, ())}
    for day_first, month_first, either in DATE_ORDERS:
        if column.type in (day_first, month_first):
            names.add(either)
    return [re.compile(p) for name in names for p in ALL_TYPES.get(name, ())]


ISO = re.compile(r"(\d{4})-(\d\d)-(\d\d)[T ](\d\d):(\d\d)(?::(\d\d)(?:[.,](\d+))?)?(Z|[+-]\d\d(?::?\d\d)?)?")
ISO_TIME = re.compile(r"(\d\d):(\d\d)(?::(\d\d)(?:[.,](\d+))?)?(Z|[+-]\d\d(?::?\d\d)?)?")


def zone(text):
    if text is None:
        return None
    if text == "Z":
        return UTC
    sign = -1 if text[0] == "-" else 1
    digits = text[1:].replace(":", "")
    return dt.timezone(sign * dt.timedelta(hours=int(digits[:2]), minutes=int(digits[2:] or 0)))


def micro(fraction):
    return int((fraction or "0")[:6].ljust(6, "0"))


def model(column, text, check, wide_integers=False):
    """The value the reader must give ``text`` in ``column``; Refused where it gives null and counts.
    ``wide_integers``: the column holds integers beyond 64 bits, and is read as decimal128."""
    if check and not any(p.fullmatch(text) for p in check):
        raise Refused
    kind = kind_of(column.type)
    group, point = NUMBER_SEPARATORS.get(column.type, (None, "."))
    try:
        if kind == "integer":
            value = int(text.replace(group, "") if group else text)
            if not wide_integers and not -2**63 <= value < 2**63:
                raise Refused
            return value
        if kind == "number":
            if column.type == "percent":
                text = text[:-1]
            if group:
                text = text.replace(group, "")
            return float(text.replace(point, ".") if point else text)
        if kind == "boolean":
            return text in TRUE_VALUES or text.lower() in ("y", "1", "on")
        if kind in ("date", "datetime", "time") and column.format:
            value = dt.datetime.strptime(text, column.format)
            if kind == "date":
                return value.date()
            if kind == "time":
                return value.time()
            return value.astimezone(UTC) if value.tzinfo else value
        if kind == "datetime":
            y, mo, d, h, mi, s, f, z = ISO.fullmatch(text).groups()
            value = dt.datetime(int(y), int(mo), int(d), int(h), int(mi), int(s or 0), micro(f), tzinfo=zone(z))
            return value.astimezone(UTC) if value.tzinfo else value
        if kind == "time":
            h, mi, s, f, z = ISO_TIME.fullmatch(text).groups()
            moment = dt.datetime(2000, 1, 1, int(h), int(mi), int(s or 0), micro(f), tzinfo=zone(z))
            return (moment.astimezone(UTC) if z else moment).time().replace(tzinfo=None)
    except ValueError:
        raise Refused from None
    return text


def expected(profile, rows, column_name, as_text=False, wide_integers=False):
    """The model's values of a column, and how many it refuses; ``as_text`` where the reader
    reads a typed column as text (its notes say why)."""
    column = profile.column(column_name)
    check = accepted(column) if profile.threshold < 1 else []
    if as_text:
        column = ColumnProfile(column.name, "string", None, 0.0, {})
    at = profile.column_names.index(column_name)
    values, refused = [], 0
    for row in rows:
        text = row[at] if at < len(row) else None
        if text is None or text in profile.na_values:
            values.append(None)
            continue
        try:
            values.append(model(column, text, check, wide_integers))
        except Refused:
            values.append(None)
            refused += 1
    return values, refused


# --- generated files ---------------------------------------------------------------------

def texts_of(type_name, rng):
    """Texts of every form ``type_name`` takes, each checked against its own pattern."""
    pattern = re.compile("|".join(ALL_TYPES[type_name]))
    candidates = []
    for _ in range(300):
        candidates.append(candidate(type_name, rng))
    kept = list(dict.fromkeys(t for t in candidates if t is not None and pattern.fullmatch(t)))
    assert len(kept) >= 2, (type_name, candidates[:10])
    return kept[:60]


def random_date(rng):
    year = rng.choice([rng.randint(1900, 2099), 2000, 2024, 1904, rng.randint(1000, 9999)])
    return dt.date(year, 1, 1) + dt.timedelta(days=rng.randint(0, 364))


def candidate(type_name, rng):
    if type_name in ("integer_padded", "decimal_padded"):
        return " " * rng.randint(0, 2) + candidate(type_name.split("_")[0], rng) + " " * rng.randint(1, 2)
    if type_name == "integer":
        return rng.choice([str(rng.randint(-10**6, 10**6)), "0", "-0", "+5", str(2**63 - 1), str(-2**63),
                           str(rng.randint(-2**63, 2**63 - 1))])
    if type_name == "decimal":
        return rng.choice([f"{rng.uniform(-1e4, 1e4):.{rng.randint(1, 9)}f}", "-.5", "1e10", "-2.5e+07", "1.234",
                           "0.1", "1e-400", "1e400", "-1e400", f"{rng.random():.17g}", "4e2", ".000001",
                           f"{rng.randint(1, 9)}.{rng.randint(0, 99)}E-{rng.randint(1, 300)}"])
    if type_name in NUMBER_SEPARATORS and type_name != "percent":
        group, point = NUMBER_SEPARATORS[type_name]
        whole = f"{rng.randint(0, 10**9):,}".replace(",", group or "")
        if rng.random() < 0.3:
            whole = "-" + whole
        return whole + (point + str(rng.randint(0, 9999)) if point else "")
    if type_name == "percent":
        return rng.choice([f"{rng.randint(-100, 100)}%", f"{rng.uniform(-5, 5):.2f}%", "0%", "-0.25%"])
    if type_name == "boolean":
        return rng.choice(TRUE_VALUES + FALSE_VALUES)
    if type_name in DATE_FORMATS or type_name.startswith(("date_dmy_or_mdy", "datetime_dmy_or_mdy")):
        return formatted_date(type_name, rng)
    if type_name == "datetime":
        moment = dt.datetime.combine(random_date(rng), dt.time(rng.randint(0, 23), rng.randint(0, 59)))
        clock = moment.strftime("%H:%M") + rng.choice(["", f":{rng.randint(0, 59):02d}",
                                                       f":{rng.randint(0, 59):02d}.{rng.randint(0, 10**9)}",
                                                       f":07,{rng.randint(0, 999)}"])
        return moment.strftime("%Y-%m-%d") + rng.choice("T ") + clock + rng.choice(ZONES)
    if type_name == "time":
        return f"{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}" + rng.choice(
            ["", f":{rng.randint(0, 59):02d}", f":{rng.randint(0, 59):02d}.{rng.randint(0, 999999)}"]
        ) + rng.choice(ZONES)
    if type_name.startswith("letter"):
        return rng.choice({"letter_tf": "TFtf", "letter_yn": "YNyn"}.get(type_name, "abcdeghxyzABCDXZ"))
    if type_name == "year_quarter":
        return rng.choice([f"{rng.randint(1900, 2099)}Q{rng.randint(1, 4)}", f"Q{rng.randint(1, 4)} 2010"])
    if type_name == "time_end_of_day":
        return rng.choice(["24:00", "24:00:00"])
    if type_name == "email":
        return rng.choice(["ann@example.com", "first.last+tag@mail.example.co.uk", f"u{rng.randint(0, 99)}@x.org"])
    if type_name == "url":
        return rng.choice(["https://example.com", "http://localhost:8000/", f"https://e.com/p?q={rng.randint(0, 9)}"])
    if type_name == "uuid":
        return "-".join("".join(rng.choice("0123456789abcdefABCDEF") for _ in range(n)) for n in (8, 4, 4, 4, 12))
    return None


ZONES = ["", "", "Z", "+02:00", "-0500", "+05", "-03:30"]


def zoned(text):
    return bool(re.search(r"(Z|[+-]\d\d(:?\d\d)?)$", text[-6:]))


FULL_MONTHS = ("January", "February", "March", "April", "May", "June", "July", "August", "September", "October",
               "November", "December")


def formatted_date(type_name, rng):
    """A moment written by the type's format, each number padded or not, each name in one of
    its cases: the type's own pattern then keeps the forms it takes."""
    either = "_dmy_or_mdy_" in type_name
    fmt = DATE_FORMATS[type_name.replace("dmy_or_mdy", "dmy")] if either else DATE_FORMATS[type_name]
    day = random_date(rng)
    if either:
        day = day.replace(day=rng.randint(1, 12))
    moment = dt.datetime.combine(day, dt.time(rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59)))
    padded = rng.random() < 0.5
    hour12 = moment.hour % 12 or 12
    parts = {
        "Y": f"{moment.year:04d}", "y": f"{moment.year % 100:02d}",
        "m": f"{moment.month:02d}" if padded else str(moment.month),
        "d": f"{moment.day:02d}" if padded else str(moment.day),
        "H": f"{moment.hour:02d}" if padded else str(moment.hour),
        "I": f"{hour12:02d}" if padded else str(hour12),
        "M": f"{moment.minute:02d}", "S": f"{moment.second:02d}",
        "p": rng.choice([str.upper, str.lower])("AM" if moment.hour < 12 else "PM"),
        "b": rng.choice([str.title, str.upper])(MONTHS[moment.month - 1]),
        "B": rng.choice([str.title, str.upper, str.lower])(FULL_MONTHS[moment.month - 1]),
        "%": "%",
    }
    return re.sub("%(.)", lambda m: parts[m.group(1)], fmt)


def write_table(path, header, rows):
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow(header)
    for row in rows:
        writer.writerow(row)
    path.write_text(buffer.getvalue(), encoding="utf-8")


def table_of(reader):
    with pytest.warns(velmira.ConversionWarning) if reader.profile.threshold < 1 else _nothing():
        return reader.to_arrow()


class _nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


TYPES = [name for name in ALL_TYPES if not name.startswith(("date_dmy_or_mdy", "datetime_dmy_or_mdy"))]


def rows_with_missing(texts, rng):
    """The texts with every missing-value marker and a short row among them, in a random order."""
    rows = [[str(i), text] for i, text in enumerate(texts)]
    rows += [[f"na{i}", marker] for i, marker in enumerate(DEFAULT_NA_VALUES)]
    rng.shuffle(rows)
    rows.insert(len(rows) // 2, ["short"])
    return rows


@pytest.mark.parametrize("type_name", TYPES)
def test_every_form_of_every_type_reads_as_the_model_says(tmp_path, type_name):
    rng = random.Random(type_name)
    texts = texts_of(type_name, rng)
    if type_name in ("datetime", "time"):
        # A column of zoned values and one of naive values: mixing them is text (tested below).
        texts = [t for t in texts if not zoned(t)]
    rows = rows_with_missing(texts, rng)
    path = tmp_path / "data.csv"
    write_table(path, ["id", "v"], rows)
    types = ALL_TYPES if type_name == COMPACT_DATE else None
    reader = velmira.read(path, delimiter=",", skip_rows=0, types=types)
    profile = reader.profile
    assert profile.column("v").type != "string"
    table = table_of(reader)
    values, refused = expected(profile, rows, "v", as_text="read as text" in reader.notes.get("v", ""))
    assert table.column("v").to_pylist() == values
    assert table.column("id").to_pylist() == [row[0] for row in rows]
    assert reader.errors.get("v", 0) == refused


@pytest.mark.parametrize("type_name,with_zones", [("datetime", True), ("time", True), ("datetime", False),
                                                  ("time", False)])
def test_zoned_and_naive_columns(tmp_path, type_name, with_zones):
    rng = random.Random(f"{type_name}{with_zones}")
    texts = [t for t in texts_of(type_name, rng) if zoned(t) == with_zones]
    assert len(texts) > 5
    rows = rows_with_missing(texts, rng)
    path = tmp_path / "data.csv"
    write_table(path, ["id", "v"], rows)
    reader = velmira.read(path, delimiter=",", skip_rows=0)
    arrow_type = reader.arrow_schema().field("v").type
    if type_name == "datetime":
        assert arrow_type == pa.timestamp("us", "UTC" if with_zones else None)
    else:
        assert arrow_type == pa.time64("us")
    assert reader.to_arrow().column("v").to_pylist() == expected(reader.profile, rows, "v")[0]


def test_a_column_mixing_zoned_and_naive_datetimes_stays_text(tmp_path):
    path = tmp_path / "mixed.csv"
    path.write_text("at\n2023-01-15T10:00:00Z\n2023-01-15T10:00:00\n")
    reader = velmira.read(path, delimiter=",", skip_rows=0)
    assert reader.arrow_schema().field("at").type == pa.string()
    assert "zone" in reader.notes["at"]
    assert reader.to_arrow().column("at").to_pylist() == ["2023-01-15T10:00:00Z", "2023-01-15T10:00:00"]


@pytest.mark.parametrize("month_first", [False, True], ids=["day-first", "month-first"])
@pytest.mark.parametrize("family", ["date_dmy_or_mdy_slash", "datetime_dmy_or_mdy_dot", "date_dmy_or_mdy_dash",
                                    "date_dmy_or_mdy_slash_yy", "datetime_dmy_or_mdy_slash_hm_ampm",
                                    "date_dmy_or_mdy_dot_unpadded"])
def test_dates_that_read_either_way_follow_the_chosen_order(tmp_path, family, month_first):
    rng = random.Random(family)
    rows = rows_with_missing(texts_of(family, rng), rng)
    path = tmp_path / "data.csv"
    write_table(path, ["id", "v"], rows)
    reader = velmira.read(path, delimiter=",", skip_rows=0, month_first=month_first)
    assert reader.profile.column("v").type == family
    assert reader.to_arrow().column("v").to_pylist() == expected(reader.profile, rows, "v")[0]


# Texts of no type, or of types that cover none of the tested ones, and texts of a type that
# name nothing real (a day no calendar has, an integer beyond 64 bits).
STRAYS = ["zzz", "1.5.5", "2023-13-45", "true", "2023-02-29", "0000-01-01", "99999999999999999999",
          "15/01/2023", "01/15/2023", "01/02/2023", " 7", "https://example.com"]


@pytest.mark.parametrize("type_name", ["integer", "decimal", "integer_thousands_comma", "decimal_comma", "percent",
                                       "boolean", "date", "date_dmy_slash", "date_mdy_slash", "datetime_d_mon_y",
                                       "decimal_thousands_dot", "datetime", "time"])
def test_under_a_threshold_strays_are_null_and_counted(tmp_path, type_name):
    rng = random.Random(type_name + "strays")
    texts = texts_of(type_name, rng)
    if type_name in ("datetime", "time"):
        texts = [t for t in texts if not zoned(t)]
    texts = texts[:20] * 4
    rows = rows_with_missing(texts + STRAYS, rng)
    path = tmp_path / "data.csv"
    write_table(path, ["id", "v"], rows)
    reader = velmira.read(path, delimiter=",", skip_rows=0, threshold=0.5)
    assert reader.profile.column("v").type == type_name
    # The profile measured the integers' range: one beyond 64 bits makes the column decimal128.
    wide = pa.types.is_decimal(reader.arrow_schema().field("v").type) and kind_of(type_name) == "integer"
    values, refused = expected(reader.profile, rows, "v", wide_integers=wide)
    assert refused > 0
    with pytest.warns(velmira.ConversionWarning, match="'v'"):
        table = reader.to_arrow()
    assert table.column("v").to_pylist() == values
    assert reader.errors["v"] == refused


def test_on_error_raise_names_the_row_and_column(tmp_path):
    path = tmp_path / "data.csv"
    path.write_text("a,qty\nx,1\ny,2\nz,two\nw,3\n")
    reader = velmira.read(path, delimiter=",", skip_rows=0, threshold=0.5, on_error="raise")
    with pytest.raises(ValueError, match=r"row 4, column 'qty': 'two'"):
        reader.to_arrow()
    # Any other consumer sees the stream fail with the same words.
    with pytest.raises(Exception, match=r"row 4, column 'qty'"):
        pa.table(reader)


def test_at_the_default_threshold_no_value_fails(tmp_path):
    rng = random.Random(7)
    header = [name for name in TYPES if name != COMPACT_DATE]
    columns = [[t for t in texts_of(name, rng) if name not in ("datetime", "time") or not zoned(t)]
               for name in header]
    rows = [[col[i % len(col)] for col in columns] for i in range(200)]
    path = tmp_path / "wide.csv"
    write_table(path, header, rows)
    reader = velmira.read(path, delimiter=",", skip_rows=0, threshold=1.0)
    table = reader.to_arrow()  # no ConversionWarning: the suite makes warnings errors
    assert reader.errors == {}
    for name in header:
        if reader.profile.column(name).type != "string":
            as_text = "read as text" in reader.notes.get(name, "")
            assert table.column(name).to_pylist() == expected(reader.profile, rows, name, as_text)[0], name


# --- formats beyond today's default types ------------------------------------------------------
#
# Any strftime format a type may carry is read by the same parser: a column's format is all
# it takes. Each case is (kind, format, texts strptime reads).

FORMATS = [
    pytest.param("date", "%d %B %Y", ["5 January 2023", "05 march 2023", "31 DECEMBER 1999"], id="full-month-names"),
    pytest.param("date", "%b %Y", ["Jan 2023", "sep 1999"], id="month-year"),
    pytest.param("date", "%Y-%m", ["2023-01", "1999-12", "2023-1"], id="year-month"),
    pytest.param("date", "%m/%d/%y", ["1/5/23", "12/31/68", "12/31/69", "01/01/00"], id="two-digit-years-pivot"),
    pytest.param("date", "%d.%m.%Y", ["1.2.2023", "01.02.2023", "31.1.2023"], id="unpadded"),
    pytest.param("date", "%Y%m%d", ["20230115", "19991231"], id="compact"),
    pytest.param("date", "%Y-%j", ["2023-001", "2024-366", "2023-32"], id="day-of-year"),
    pytest.param("date", "%a, %d %b %Y", ["Mon, 15 Jan 2023", "sun, 1 Oct 2023"], id="weekday-names"),
    pytest.param("datetime", "%m/%d/%Y %I:%M %p", ["1/5/2023 12:00 AM", "1/5/2023 12:30 pm", "12/31/2023 1:05 PM"],
                 id="am-pm"),
    pytest.param("datetime", "%d/%m/%Y %H:%M:%S.%f", ["15/01/2023 14:30:00.5", "15/01/2023 14:30:00.123456"],
                 id="fractions"),
    pytest.param("datetime", "%Y-%m-%dT%H:%M:%S%z", ["2023-01-15T14:30:00+0200", "2023-01-15T14:30:00-03:30",
                                                     "2023-01-15T14:30:00Z"], id="zones-to-utc"),
    pytest.param("datetime", "%Y-%m-%d  %H:%M", ["2023-01-15 9:05", "2023-01-15 \t10:00"], id="blanks"),
    pytest.param("datetime", "%d%m%Y%H%M", ["1501202314"], id="runs-of-digits"),
]


def profile_of(path, kind, fmt, texts):
    counts = {kind: len(texts), "other": 0, "NA": 0}
    column = ColumnProfile("v", kind, kind, 1.0, counts, format=fmt)
    return Profile(path=str(path), delimiter=",", rows=len(texts), columns=(column,),
                   types={kind: (".*",)}, na_values=("",), threshold=1.0)


@pytest.mark.parametrize("kind,fmt,texts", FORMATS)
def test_any_strftime_format_reads_as_strptime_does(tmp_path, kind, fmt, texts):
    path = tmp_path / "data.csv"
    write_table(path, ["v"], [[t] for t in texts])
    profile = profile_of(path, kind, fmt, texts)
    values = profile.read().to_arrow().column("v").to_pylist()
    assert values == [model(profile.column("v"), t, []) for t in texts]


@pytest.mark.parametrize("fmt,text", [
    ("%Y-%m-%d", "2023-02-29"), ("%Y-%m-%d", "2023-02-30x"), ("%d/%m/%Y", "32/01/2023"), ("%Y", "0000"),
    ("%I:%M %p", "13:00 PM"), ("%b %Y", "Foo 2023"), ("%Y-%m-%d", ""), ("%H:%M", "24:00"),
])
def test_texts_no_calendar_has_are_refused(tmp_path, fmt, text):
    path = tmp_path / "data.csv"
    write_table(path, ["v", "w"], [[text, "1"]])
    profile = profile_of(path, "datetime", fmt, [text])
    profile = Profile(**{**profile.__dict__, "na_values": ("NA",),
                         "columns": (profile.columns[0], ColumnProfile("w", "string", None, 0.0, {}))})
    reader = profile.read()
    with pytest.warns(velmira.ConversionWarning):
        assert reader.to_arrow().column("v").to_pylist() == [None]
    assert reader.errors == {"v": 1}


def test_a_format_the_reader_cannot_read_leaves_text_with_a_note(tmp_path):
    path = tmp_path / "data.csv"
    write_table(path, ["v"], [["2023 W01"]])
    reader = profile_of(path, "date", "%Y W%U", ["2023 W01"]).read()
    assert reader.arrow_schema().field("v").type == pa.string()
    assert "%U" in reader.notes["v"]


# --- loaders ---------------------------------------------------------------------------------

LOADED = "id,name,,when,at,clock,paid\n1,Ann,x,2023-01-15,2023-01-15T14:30:00Z,15:00:00-03:00,yes\n" \
         "2,Bob,,NA,2023-01-16T00:30:00+02:00,08:15:00+01:00,no\n"


def test_loaders_take_the_stream_with_the_profiles_names(tmp_path):
    # Regression: an empty header cell is named by the engine (Unitled_1); pandas and polars
    # named it otherwise, so the schema recipes failed (polars) or left it untyped (pandas).
    pl = pytest.importorskip("polars")
    duckdb = pytest.importorskip("duckdb")
    path = tmp_path / "loaded.csv"
    path.write_text(LOADED)
    reader = velmira.read(path, delimiter=",", skip_rows=0)
    names = reader.profile.column_names
    assert names[2] == "Unitled_1"
    frame = pl.DataFrame(reader)
    assert frame.columns == names
    assert frame.schema["id"] == pl.Int64 and frame.schema["when"] == pl.Date
    assert frame["at"].to_list() == [dt.datetime(2023, 1, 15, 14, 30, tzinfo=dt.timezone.utc),
                                     dt.datetime(2023, 1, 15, 22, 30, tzinfo=dt.timezone.utc)]
    pandas = reader.to_pandas()
    assert list(pandas.columns) == names
    assert str(pandas["id"].dtype) == "Int64" and str(pandas["paid"].dtype) == "boolean"
    # Regression: DuckDB refused read_rows' time with a negative offset (15:00:00-03:00);
    # the reader gives zoned times as the time of day in UTC.
    rows = duckdb.sql("SELECT id, clock, paid FROM reader ORDER BY id").fetchall()
    assert rows == [(1, dt.time(18, 0), True), (2, dt.time(7, 15), False)]
    con = duckdb.connect()
    con.sql("CREATE TABLE t AS SELECT * FROM reader")
    assert con.sql("SELECT count(*), count(\"when\") FROM t").fetchall() == [(2, 1)]


def test_the_schema_is_the_batches_schema(tmp_path):
    path = tmp_path / "loaded.csv"
    path.write_text(LOADED)
    reader = velmira.read(path, delimiter=",", skip_rows=0)
    assert pa.schema(reader.schema) == reader.to_arrow().schema
    assert reader.profile.read().arrow_schema() == reader.arrow_schema()


def test_batches_are_bounded_and_every_read_is_a_new_pass(tmp_path):
    path = tmp_path / "many.csv"
    path.write_text("n,t\n" + "".join(f"{i},x{i}\n" for i in range(2500)))
    reader = velmira.read(path, delimiter=",", batch_rows=1000)
    sizes = [batch.num_rows for batch in reader.to_batches()]
    assert sizes == [1000, 1000, 500]
    assert reader.to_arrow().column("n").to_pylist() == list(range(2500))
    assert pa.table(reader).num_rows == 2500


def test_parquet_is_written_whole_or_not_at_all(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    path = tmp_path / "data.csv"
    path.write_text("a,b\n1,x\n2,y\nthree,z\n")
    target = tmp_path / "out.parquet"
    with pytest.raises(ValueError, match="row 4"):
        velmira.read(path, delimiter=",", threshold=0.5, on_error="raise").to_parquet(target)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["data.csv"]
    velmira.read(path, delimiter=",").to_parquet(target)
    assert pq.read_table(target).column("b").to_pylist() == ["x", "y", "z"]


def big_file(tmp_path):
    path = tmp_path / "big.csv"
    path.write_bytes(b"a,b\n" + b"".join(b"%d,k%x\n" % (i, i) for i in range(400_000)))
    return path


def test_progress_is_reported_and_its_exception_stops_the_read(tmp_path):
    path = big_file(tmp_path)
    profile = velmira.infer(path, delimiter=",")
    seen = []
    reader = velmira.Reader(profile, progress=lambda done, total: seen.append((done, total)))
    assert reader.to_arrow().num_rows == 400_000
    assert seen[-1] == (path.stat().st_size, path.stat().st_size)

    def fail(done, total):
        raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        velmira.Reader(profile, progress=fail).to_arrow()


@pytest.mark.parametrize("consumer", ["to_arrow", "to_parquet", "pyarrow"])
def test_ctrl_c_stops_a_read_as_keyboard_interrupt(tmp_path, consumer):
    path = big_file(tmp_path)
    profile = velmira.infer(path, delimiter=",")
    # Ctrl-C as it arrives during a read: the signal, at the first report of progress.
    reader = velmira.Reader(profile, progress=lambda done, total: signal.raise_signal(signal.SIGINT))
    with pytest.raises(KeyboardInterrupt):
        if consumer == "to_arrow":
            reader.to_arrow()
        elif consumer == "to_parquet":
            reader.to_parquet(tmp_path / "out.parquet")
        else:
            # pyarrow only sees the stream fail; Ctrl-C is delivered again, as Python runs on.
            try:
                pa.table(reader)
            except Exception:
                for _ in range(100_000):
                    pass
    assert sorted(p.name for p in tmp_path.iterdir()) == ["big.csv"]
    assert velmira.Reader(profile).to_arrow().num_rows == 400_000


def test_a_read_runs_without_the_interpreters_lock(tmp_path):
    path = big_file(tmp_path)
    reader = velmira.read(path, delimiter=",")
    ticks = []
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(1)
            done.wait(0.001)

    thread = threading.Thread(target=tick)
    thread.start()
    try:
        for _ in range(3):
            reader.to_arrow()
    finally:
        done.set()
        thread.join()
    assert len(ticks) > 5


@pytest.mark.parametrize("encoding,data,expected", [
    ("cp1252", "name,n\ncaf\xe9 \x80,1\n".encode("latin-1"), "café €"),
    ("latin-1", "name,n\ncaf\xe9,1\n".encode("latin-1"), "café"),
])
def test_text_of_other_encodings_becomes_utf8(tmp_path, encoding, data, expected):
    path = tmp_path / "data.csv"
    path.write_bytes(data)
    reader = velmira.read(path, delimiter=",", encoding=encoding)
    assert reader.to_arrow().column("name").to_pylist() == [expected]


def test_invalid_utf8_is_replaced_and_said(tmp_path):
    path = tmp_path / "data.csv"
    path.write_bytes(b"name,n\nok,1\nbad\xff\xfe,2\n")
    reader = velmira.read(path, delimiter=",")
    with pytest.warns(velmira.ConversionWarning, match="U\\+FFFD"):
        assert reader.to_arrow().column("name").to_pylist() == ["ok", "bad\ufffd\ufffd"]
    assert reader.replaced == {"name": 1}


def test_the_reader_refuses_what_it_cannot_read_again(tmp_path):
    with pytest.raises(ValueError, match="save it to a file first"):
        velmira.read(io.BytesIO(b"a\n1\n"))
    path = tmp_path / "data.csv"
    path.write_text("a,a\n1,2\n")
    with pytest.raises(ValueError, match="more than once"):
        velmira.read(path, delimiter=",")
    with pytest.raises(TypeError, match="no options of infer"):
        velmira.read(path, profile=velmira.infer(path, delimiter=","), threshold=0.5)


def test_a_file_changed_since_its_profile_is_refused(tmp_path):
    path = tmp_path / "data.csv"
    path.write_text("a,b\n1,2\n")
    profile = velmira.infer(path, delimiter=",")
    path.write_text("a,b,c\n1,2,3\n")
    with pytest.raises(ValueError, match=r"header row has \d+ fields where its profile has 2 columns"):
        profile.read().to_arrow()


def test_several_files_make_the_union_of_their_columns(tmp_path):
    (tmp_path / "a.csv").write_text("id,x\n1,a\n2,b\n")
    (tmp_path / "b.csv").write_text("id,y\n3,2023-01-01\n")
    merged = velmira.infer_many([tmp_path / "a.csv", tmp_path / "b.csv"], delimiter=",", jobs=1).profile
    table = merged.read().to_arrow()
    assert table.column_names == ["id", "x", "y"]
    assert table.to_pylist() == [{"id": 1, "x": "a", "y": None}, {"id": 2, "x": "b", "y": None},
                                 {"id": 3, "x": None, "y": dt.date(2023, 1, 1)}]


# --- real files: the reader reads every dialect as read_rows does ---------------------------------

REAL = sorted((Path(__file__).resolve().parent / "data" / "real").glob("*.*"))
REAL = [p for p in REAL if p.suffix != ".md"]


def as_arrow_gives(value):
    """read_rows' value as the reader gives it: decimals as floats, zoned moments in UTC."""
    if isinstance(value, Decimal):
        return float(value)
    if isinstance(value, dt.datetime) and value.tzinfo is not None:
        return value.astimezone(UTC)
    if isinstance(value, dt.time) and value.tzinfo is not None:
        moment = dt.datetime.combine(dt.date(2000, 1, 1), value)
        return moment.astimezone(UTC).time()
    return value


@pytest.mark.parametrize("path", REAL, ids=[p.name for p in REAL])
def test_real_files_read_as_read_rows_reads_them(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # header encodings and the like: not what this compares
        profile = velmira.infer(path)
        if len(set(profile.column_names)) != len(profile.column_names):
            pytest.skip("repeated column names")
        table = profile.read().to_arrow()
        expected = list(velmira.read_rows(profile))
    assert table.num_rows == len(expected) == profile.rows
    for name in profile.column_names:
        got = table.column(name).to_pylist()
        assert got == [as_arrow_gives(row[name]) for row in expected], name


# --- exact decimals ------------------------------------------------------------------------------

def exact(column, text):
    group, point = NUMBER_SEPARATORS[column.type]
    text = text[:-1] if column.type == "percent" else text
    return Decimal((text.replace(group, "") if group else text).replace(point, "."))


@pytest.mark.parametrize("type_name", [t for t, kind in ((t, kind_of(t)) for t in TYPES) if kind == "number"])
def test_exact_decimals_keep_every_digit(tmp_path, type_name):
    rng = random.Random(type_name + "exact")
    texts = [t for t in texts_of(type_name, rng) if "e" not in t.lower()]
    rows = rows_with_missing(texts, rng)
    path = tmp_path / "data.csv"
    write_table(path, ["id", "v"], rows)
    reader = velmira.read(path, delimiter=",", skip_rows=0, decimals="exact")
    column = reader.profile.column("v")
    field = reader.arrow_schema().field("v").type
    scale = max(max(-exact(column, t).as_tuple().exponent, 0) for t in texts)
    assert (field.scale, pa.types.is_decimal128(field)) == (scale, True)
    values = reader.to_arrow().column("v").to_pylist()
    at = reader.profile.column_names.index("v")
    assert values == [None if len(row) <= at or row[at] in reader.profile.na_values else exact(column, row[at])
                      for row in rows]


@pytest.mark.parametrize("texts,why", [
    (["1.5", "2e3"], "exponent"),
    (["1.5", "1" * 40 + ".5"], "beyond decimal128"),
])
def test_exact_decimals_fall_back_to_float_with_a_note(tmp_path, texts, why):
    path = tmp_path / "data.csv"
    write_table(path, ["v"], [[t] for t in texts])
    reader = velmira.read(path, delimiter=",", skip_rows=0, decimals="exact")
    assert reader.arrow_schema().field("v").type == pa.float64()
    assert why in reader.notes["v"]


@pytest.mark.parametrize("texts,arrow_type,note", [
    (["1", "-9223372036854775808", "9223372036854775807"], "int64", None),
    (["1", "9223372036854775808"], "decimal128(19, 0)", "beyond 64 bits"),
    (["1", "-" + "9" * 38], "decimal128(38, 0)", "beyond 64 bits"),
    (["1", "9" * 39], "string", "beyond decimal128"),
])
def test_integers_beyond_64_bits_keep_their_value(tmp_path, texts, arrow_type, note):
    path = tmp_path / "data.csv"
    write_table(path, ["v"], [[t] for t in texts])
    reader = velmira.read(path, delimiter=",", skip_rows=0)
    assert str(reader.arrow_schema().field("v").type) == arrow_type
    assert (note is None and "v" not in reader.notes) or note in reader.notes["v"]
    values = reader.to_arrow().column("v").to_pylist()
    assert values == (texts if arrow_type == "string" else [int(t) for t in texts])


# --- hostile inputs -------------------------------------------------------------------------------

def test_a_field_over_the_limit_names_its_row(tmp_path):
    path = tmp_path / "data.csv"
    path.write_text("a,b\n1,x\n2," + "y" * 5000 + "\n")
    profile = velmira.infer(path, delimiter=",", skip_rows=0)
    with pytest.raises(velmira.FieldTooLongError, match="row 3 has a field longer than the limit of 100 bytes"):
        velmira.Reader(profile, max_field_size=100).to_arrow()


def test_a_damaged_compressed_file_is_an_input_error(tmp_path):
    import gzip

    data = gzip.compress(b"a,b\n" + b"".join(b"%d,x%d\n" % (i, i) for i in range(200_000)))
    path = tmp_path / "data.csv.gz"
    path.write_bytes(data)
    profile = velmira.infer(path, delimiter=",", skip_rows=0)
    path.write_bytes(data[: len(data) // 2])
    with pytest.raises(velmira.InputError, match="gzip"):
        profile.read().to_arrow()


def test_a_file_gone_since_its_profile_is_an_os_error(tmp_path):
    path = tmp_path / "data.csv"
    path.write_text("a\n1\n")
    profile = velmira.infer(path, delimiter=",", skip_rows=0)
    path.unlink()
    with pytest.raises(FileNotFoundError):
        profile.read().to_arrow()


def test_a_pipe_is_refused_before_anything_waits_for_it(tmp_path):
    # The second pass would open the FIFO again and wait for a writer, forever.
    fifo = tmp_path / "fifo.csv"
    os.mkfifo(fifo)
    profile = Profile(path=str(fifo), delimiter=",", rows=0, columns=(), types={}, na_values=("",), threshold=1.0)
    with pytest.raises(ValueError, match="a pipe"):
        profile.read()


def test_a_time_column_holding_24_00_stays_text(tmp_path):
    path = tmp_path / "data.csv"
    write_table(path, ["hour"], [["10:00"], ["24:00"], ["23:30"]])
    reader = velmira.read(path, delimiter=",", skip_rows=0)
    assert reader.profile.column("hour").type == "time"
    assert reader.arrow_schema().field("hour").type == pa.string()
    assert "24:00" in reader.notes["hour"]
    assert reader.to_arrow().column("hour").to_pylist() == ["10:00", "24:00", "23:30"]
