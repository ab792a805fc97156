"""Schemas that load a profiled file: SQL, JSON Schema, Arrow, polars and pandas.

Each output maps a column's verdict to the target's type. The engine counts
types and nothing else, so what a type alone does not tell (how long the
strings are, how large the integers, how many digits the decimals have,
whether datetimes carry a zone) is measured by :func:`measure`, a second
pass over the file in Python. Only the outputs that need those facts run it
(SQL, Arrow, polars, pandas); it reads the whole file, at the speed of the
standard library's csv module. The libraries are imported only when their
output is asked for: SQLAlchemy (``pip install velmira[sql]``), pyarrow,
polars, pandas.
"""

from __future__ import annotations

import codecs
import os
from dataclasses import dataclass
from decimal import Decimal
from typing import Any, Dict, List, Mapping, Optional

from .profile import ColumnProfile, Profile, accepted_types, exclusive_table
from .types import DEFAULT_TYPES, kind_of
from .values import _require_distinct, aligned_rows, converter

#: The SQL dialects of :func:`to_sql`.
DIALECTS = ("sqlite", "postgresql", "duckdb", "mysql")

# Integer ranges of SMALLINT, INTEGER and BIGINT.
_INT_SIZES = ((16, "small"), (32, "integer"), (64, "big"))
# The largest NUMERIC/DECIMAL precision (and scale) each dialect takes; SQLite has no limit.
_MAX_PRECISION = {"postgresql": 1000, "duckdb": 38, "mysql": 65}
_MAX_SCALE = {"mysql": 30}
# MySQL needs a length on VARCHAR; past this many characters TEXT(n) keeps
# the row within MySQL's 65,535-byte limit.
_MYSQL_VARCHAR = 255


@dataclass
class ColumnStats:
    """What the second pass found in one column."""

    #: Rows where the field is missing: a marker, or a short row.
    nulls: int = 0
    #: The longest text, in characters.
    max_length: int = 0
    #: The smallest and largest integer (integer columns).
    min_int: Optional[int] = None
    max_int: Optional[int] = None
    #: The most digits before and after the decimal point (number columns).
    int_digits: int = 0
    scale: int = 0
    #: Whether a number is written with an exponent ("1e10").
    exponent: bool = False
    #: Datetimes and times with and without a zone.
    zoned: int = 0
    naive: int = 0
    #: The most digits of a fraction of a second, and whether one follows a comma.
    fraction_digits: int = 0
    fraction_comma: bool = False
    #: The distinct texts of a boolean column.
    spellings: frozenset = frozenset()
    #: Texts its type does not accept (only below a threshold of 1).
    unparsed: int = 0


def measure(profile: Profile) -> Dict[str, ColumnStats]:
    """Every column's :class:`ColumnStats`: from what the pass measured
    (``Profile.measures``) when the profile has it and its types are the
    default ones, which no text matches two of; else by reading the profiled
    file again.

    Raises ValueError for repeated column names or a value that is not UTF-8.
    """
    names = profile.column_names
    _require_distinct(names)
    measured = _from_the_pass(profile)
    if measured is not None:
        return measured
    markers = frozenset(profile.na_values)
    stats = {name: ColumnStats() for name in names}
    plans = [(stats[c.name], kind_of(c.type), converter(profile, c)) for c in profile.columns]
    spellings: List[set] = [set() for _ in names]
    for _, _, texts in aligned_rows(profile):
        for i, (s, kind, convert) in enumerate(plans):
            text = texts[i]
            if text is None or text in markers:
                s.nulls += 1
                continue
            if len(text) > s.max_length:
                s.max_length = len(text)
            if kind is None:
                continue
            try:
                value = convert(text)
            except ValueError:
                s.unparsed += 1
                continue
            if kind == "integer":
                s.min_int = value if s.min_int is None else min(s.min_int, value)
                s.max_int = value if s.max_int is None else max(s.max_int, value)
            elif kind == "number":
                _measure_number(s, text, value)
            elif kind == "boolean":
                spellings[i].add(text)
            elif kind in ("datetime", "time"):
                if value.tzinfo is None:
                    s.naive += 1
                else:
                    s.zoned += 1
                fraction = _fraction(text)
                if fraction:
                    s.fraction_digits = max(s.fraction_digits, len(fraction) - 1)
                    s.fraction_comma = s.fraction_comma or fraction.startswith(",")
    for i, name in enumerate(names):
        stats[name].spellings = frozenset(spellings[i])
    return stats


def _from_the_pass(profile: Profile) -> Optional[Dict[str, ColumnStats]]:
    # With types that overlap, a text counted as one type may also be accepted by the
    # column's type; only a second reading measures those alike.
    if not profile.measures or not exclusive_table(profile.types):
        return None
    encoding = getattr(profile.dialect, "encoding", None) or "utf-8"
    # The pass counts UTF-8 characters; a file of another encoding has one per byte
    # where it is single-byte, and is measured again where it is not.
    utf8 = codecs.lookup(encoding).name in ("utf-8", "utf-8-sig", "ascii")
    if not utf8 and codecs.lookup(encoding).name not in _SINGLE_BYTE:
        return None
    stats: Dict[str, ColumnStats] = {}
    for column in profile.columns:
        m = profile.measures.get(column.name)
        if m is None:
            return None
        s = ColumnStats(nulls=column.counts.get("NA", 0) + m["missing"],
                        max_length=m["max_chars"] if utf8 else m["max_bytes"])
        kind = kind_of(column.type)
        if kind is not None:
            accepted = accepted_types(column)
            present = sum(column.counts.values()) - column.counts.get("NA", 0)
            s.unparsed = present - sum(column.counts.get(t, 0) for t in accepted)
            measured = [m["types"][t] for t in accepted if t in m["types"]]
            if any(t["int_overflow"] for t in measured) and kind == "integer":
                return None  # beyond 38 digits: the exact range needs the texts
            for t in measured:
                _add_measured(s, kind, t, encoding)
        stats[column.name] = s
    return stats


_SINGLE_BYTE = frozenset({"latin-1", "iso8859-1", "iso8859-15", "cp1252", "cp1250", "cp1251", "mac-roman"})


def _add_measured(s: ColumnStats, kind: str, t: Mapping[str, Any], encoding: str) -> None:
    # Each kind keeps what the second reading keeps for it, and nothing else.
    if kind == "integer":
        if "min_int" in t:
            s.min_int = t["min_int"] if s.min_int is None else min(s.min_int, t["min_int"])
            s.max_int = t["max_int"] if s.max_int is None else max(s.max_int, t["max_int"])
    elif kind == "number":
        s.int_digits = max(s.int_digits, t["int_digits"])
        s.scale = max(s.scale, t["scale"])
        s.exponent = s.exponent or t["exponent"]
    elif kind in ("datetime", "time"):
        s.zoned += t["zoned"]
        s.naive += t["naive"]
        s.fraction_digits = max(s.fraction_digits, t["fraction_digits"])
        s.fraction_comma = s.fraction_comma or t["fraction_comma"]
    elif kind == "boolean" and t["spellings"]:
        s.spellings = s.spellings | {b.decode(encoding, "replace") for b in t["spellings"]}


def _measure_number(s: ColumnStats, text: str, value: Decimal) -> None:
    if "e" in text or "E" in text:
        s.exponent = True
        return
    sign, digits, exponent = value.as_tuple()
    scale = max(0, -int(exponent))
    s.scale = max(s.scale, scale)
    s.int_digits = max(s.int_digits, len(digits) - scale if len(digits) > scale else 0)


def _fraction(text: str) -> str:
    # The fraction of a second in an ISO datetime or time: after the seconds.
    for sep in ".,":
        at = text.rfind(sep)
        if at > 0 and text[at - 3:at - 2] == ":":
            end = at + 1
            while end < len(text) and text[end].isdigit():
                end += 1
            return text[at:end]
    return ""


# --- SQL --------------------------------------------------------------------


def to_sql(profile: Profile, dialect: str, table: Optional[str] = None,
           stats: Optional[Mapping[str, ColumnStats]] = None) -> str:
    """A CREATE TABLE statement for ``dialect`` (one of ``DIALECTS``), compiled by SQLAlchemy.

    The table is named ``table``, else after the file. Integers get the
    smallest of SMALLINT, INTEGER and BIGINT that holds their range (wider
    ones NUMERIC(n, 0)); decimals and percentages NUMERIC(precision, scale)
    from the digits seen, or a double when a value has an exponent or the
    dialect's precision is too small; dates DATE; datetimes and times
    TIMESTAMP/DATETIME and TIME, with a zone when a value has one; strings
    TEXT, or VARCHAR in DuckDB and VARCHAR(longest) in MySQL. A column is NOT
    NULL when no row lacks its value. DuckDB's statement is compiled by
    SQLAlchemy's PostgreSQL dialect, whose DDL DuckDB reads.

    Names are written exactly as the header has them, quoted where the
    dialect needs it. Raises ValueError for a repeated name, and for two names
    that differ only in case in SQLite, DuckDB and MySQL, which take them for
    one column.

    ``stats`` is the result of :func:`measure`; without it the file is measured.
    """
    sa = _import("sqlalchemy", "sql")
    name = dialect.lower()
    if name == "postgres":
        name = "postgresql"
    if name not in DIALECTS:
        raise ValueError(f"unknown SQL dialect {dialect!r}; choose one of {', '.join(DIALECTS)}")
    _require_distinct(profile.column_names)
    _require_distinct_in(name, profile.column_names)
    if stats is None:
        stats = measure(profile)
    module = __import__(f"sqlalchemy.dialects.{'postgresql' if name == 'duckdb' else name}", fromlist=["dialect"])
    # The statement is text to print, never executed with parameters: under a
    # DBAPI paramstyle of "format" or "pyformat" SQLAlchemy would write every
    # % in a name as %%, which a database then reads as two percent signs.
    sql_dialect = module.dialect(paramstyle="named")
    metadata = sa.MetaData()
    columns = []
    for column in profile.columns:
        s = stats[column.name]
        columns.append(sa.Column(
            column.name, _sql_type(sa, name, column, s),
            nullable=column.type == "empty" or s.nulls > 0 or s.unparsed > 0,
        ))
    table_obj = sa.Table(table or _table_name(profile.path), metadata, *columns)
    # The frame is laid out here and each column compiled alone: a quoted name
    # may hold line breaks and blanks of its own, so the compiled statement's
    # layout (a blank ending each column line) cannot be tidied as text
    # without changing some name.
    definitions = [str(sa.schema.CreateColumn(c).compile(dialect=sql_dialect)) for c in table_obj.columns]
    head = sql_dialect.identifier_preparer.format_table(table_obj)
    return f"CREATE TABLE {head} (\n\t" + ",\n\t".join(definitions) + "\n);\n"


# How each dialect compares column names: SQLite and DuckDB fold ASCII letters
# only (they keep "é" and "É" apart), MySQL folds the case of every letter.
# PostgreSQL compares quoted names exactly, and SQLAlchemy quotes every name
# that is not all lower case.
_ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")
_NAME_FOLDS = {
    "sqlite": ("SQLite", lambda name: name.translate(_ASCII_LOWER)),
    "duckdb": ("DuckDB", lambda name: name.translate(_ASCII_LOWER)),
    "mysql": ("MySQL", str.lower),
}


def _require_distinct_in(dialect: str, names: List[str]) -> None:
    """Refuse names that ``dialect`` takes for one: its CREATE TABLE would fail."""
    if dialect not in _NAME_FOLDS:
        return
    label, fold = _NAME_FOLDS[dialect]
    seen: Dict[str, str] = {}
    for name in names:
        other = seen.setdefault(fold(name), name)
        if other != name:
            raise ValueError(f"column names {other!r} and {name!r} differ only in case, which {label} "
                             "does not tell apart; this output needs names that differ otherwise")


def _sql_type(sa: Any, dialect: str, column: ColumnProfile, s: ColumnStats) -> Any:
    kind = kind_of(column.type)
    if kind == "integer" and s.min_int is not None:
        for bits, size in _INT_SIZES:
            if -(2 ** (bits - 1)) <= s.min_int and s.max_int < 2 ** (bits - 1):
                return {"small": sa.SmallInteger, "integer": sa.Integer, "big": sa.BigInteger}[size]()
        digits = max(len(str(abs(s.min_int))), len(str(abs(s.max_int))))
        return _numeric(sa, dialect, digits, 0)
    if kind == "number":
        if s.exponent:
            return sa.Double()
        return _numeric(sa, dialect, s.int_digits + s.scale, s.scale)
    if kind == "boolean":
        return sa.Boolean()
    if kind == "date":
        return sa.Date()
    if kind == "datetime":
        return sa.DateTime(timezone=s.zoned > 0)
    if kind == "time":
        return sa.Time(timezone=s.zoned > 0)
    if dialect == "mysql":
        length = max(1, s.max_length)
        if length <= _MYSQL_VARCHAR:
            return sa.String(length)
        from sqlalchemy.dialects import mysql

        return mysql.TEXT(length)
    return sa.String() if dialect == "duckdb" else sa.Text()


def _numeric(sa: Any, dialect: str, precision: int, scale: int) -> Any:
    precision = max(precision, scale, 1)
    if precision > _MAX_PRECISION.get(dialect, precision) or scale > _MAX_SCALE.get(dialect, scale):
        return sa.Double()
    return sa.Numeric(precision, scale)


def _table_name(path: str) -> str:
    stem = os.path.splitext(os.path.basename(path))[0]
    return stem or "data"


# --- JSON Schema --------------------------------------------------------------

_JSON_DATETIME = r"^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(\.[0-9]{1,6})?([+-][0-9]{2}:[0-9]{2})?$"
_JSON_TIME = r"^[0-9]{2}:[0-9]{2}:[0-9]{2}(\.[0-9]{1,6})?([+-][0-9]{2}:[0-9]{2})?$"
_JSON_STRING_FORMATS = {"email": "email", "url": "uri", "uuid": "uuid"}


def to_json_schema(profile: Profile) -> Dict[str, Any]:
    """A JSON Schema (draft 2020-12) for one row of the file, as :func:`velmira.read_rows` gives it
    with ``json_values=True``: an object with every column.

    Integers are JSON integers, decimals and percentages numbers, booleans
    booleans; dates are ISO 8601 text (``format: date``), datetimes and times
    ISO 8601 text matched by a pattern, since the JSON Schema formats demand
    a zone that many files lack. A column that can lack a value (a marker,
    or a row too short to reach it) also allows null; an empty column allows
    anything. Needs no second pass.
    """
    _require_distinct(profile.column_names)
    properties: Dict[str, Any] = {}
    for column in profile.columns:
        kind = kind_of(column.type)
        if column.type == "empty":
            properties[column.name] = {}
            continue
        if kind in ("integer", "boolean"):
            prop: Dict[str, Any] = {"type": kind}
        elif kind == "number":
            prop = {"type": "number"}
        elif kind == "date":
            prop = {"type": "string", "format": "date", "pattern": r"^[0-9]{4}-[0-9]{2}-[0-9]{2}$"}
        elif kind == "datetime":
            prop = {"type": "string", "pattern": _JSON_DATETIME}
        elif kind == "time":
            prop = {"type": "string", "pattern": _JSON_TIME}
        else:
            prop = {"type": "string"}
            if column.type in _JSON_STRING_FORMATS:
                prop["format"] = _JSON_STRING_FORMATS[column.type]
        # The engine counts each field it reads; fewer fields than rows means short rows.
        if column.missing or sum(column.counts.values()) < profile.rows:
            prop["type"] = [prop["type"], "null"]
        properties[column.name] = prop
    return {
        "$schema": "https://json-schema.org/draft/2020-12/schema",
        "title": os.path.basename(profile.path),
        "type": "object",
        "properties": properties,
        "required": list(properties),
        "additionalProperties": False,
    }


# --- Arrow, polars, pandas -------------------------------------------------------
#
# These map a column to the type that the library's own CSV reader makes of
# the text as it is written. Texts that reader cannot parse (thousands
# separators, decimal commas, percentages, day-month and month-name dates,
# dates without leading zeros, 12-hour clocks, 24:00) stay strings: the
# profile's format and separators say how to convert them.


def _native(column: ColumnProfile, s: ColumnStats, profile: Profile) -> Optional[str]:
    """The reader-neutral kind a CSV reader can make of this column unaided, or None for text."""
    if column.type == "integer" and s.min_int is not None:
        return "int64" if -(2 ** 63) <= s.min_int and s.max_int < 2 ** 63 else None
    if column.type == "decimal":
        return "float64"
    if column.type == "boolean" and tuple(profile.types.get("boolean", ())) == DEFAULT_TYPES["boolean"]:
        return "boolean"
    # The readers want ISO dates with leading zeros, and have no 24:00.
    if column.type == "date" and not column.counts.get("date_unpadded"):
        return "date"
    if column.type == "time" and column.counts.get("time_end_of_day"):
        return None
    if column.type in ("datetime", "time") and not s.fraction_comma and not (s.zoned and s.naive):
        return column.type + ("_zoned" if s.zoned else "")
    return None


def to_arrow_schema(profile: Profile, stats: Optional[Mapping[str, ColumnStats]] = None) -> Any:
    """A ``pyarrow.Schema`` for ``pyarrow.csv.read_csv``'s ``column_types``.

    Read with ``null_values`` set to the profile's markers, and for boolean
    columns ``true_values``/``false_values`` set to the default boolean texts
    (``velmira.types.TRUE_VALUES``, ``FALSE_VALUES``). Zoned datetimes are
    UTC timestamps; a column mixing zoned and naive datetimes stays text.
    """
    pa = _import("pyarrow", "arrow")
    stats = measure(profile) if stats is None else stats
    fields = []
    for column in profile.columns:
        s = stats[column.name]
        unit = "ns" if s.fraction_digits > 6 else "us"
        kind = _native(column, s, profile)
        arrow_type = {
            "int64": pa.int64(), "float64": pa.float64(), "boolean": pa.bool_(), "date": pa.date32(),
            "datetime": pa.timestamp(unit), "datetime_zoned": pa.timestamp(unit, "UTC"),
            "time": pa.time64(unit),
        }.get(kind or "", pa.string())
        fields.append(pa.field(column.name, arrow_type))
    return pa.schema(fields)


def to_polars_schema(profile: Profile, stats: Optional[Mapping[str, ColumnStats]] = None) -> Any:
    """A ``polars.Schema`` for ``polars.read_csv(schema=...)``, read with ``null_values`` set to the markers.

    Boolean columns are Boolean only when they spell their values true and
    false (in any case), which is all polars reads; otherwise String. So are
    numbers with blanks around them, which polars does not trim.
    """
    pl = _import("polars", "polars")
    stats = measure(profile) if stats is None else stats
    schema = {}
    for column in profile.columns:
        s = stats[column.name]
        unit = "ns" if s.fraction_digits > 6 else "us"
        kind = _native(column, s, profile)
        if kind == "boolean" and not all(t.lower() in ("true", "false") for t in s.spellings):
            kind = None
        if kind == "time" and s.zoned:
            kind = None
        if column.padded:  # polars reads no blanks around a number
            kind = None
        schema[column.name] = {
            "int64": pl.Int64, "float64": pl.Float64, "boolean": pl.Boolean, "date": pl.Date,
            "datetime": pl.Datetime(unit), "datetime_zoned": pl.Datetime(unit, "UTC"), "time": pl.Time,
        }.get(kind or "", pl.String)
    return pl.Schema(schema)


def to_pandas_dtypes(profile: Profile, stats: Optional[Mapping[str, ColumnStats]] = None) -> Dict[str, Any]:
    """Column name to dtype for ``pandas.read_csv(dtype=...)``.

    Read with ``na_values`` set to the markers, ``keep_default_na=False``
    and, for boolean columns, ``true_values``/``false_values`` set to the
    default boolean texts. Integers are the nullable ``Int64``, decimals
    ``Float64``, booleans ``boolean``; read_csv takes no date dtype, so
    dates, datetimes and times are ``string`` here, ready for
    ``pandas.to_datetime`` with the profile's format.
    """
    _import("pandas", "pandas")
    stats = measure(profile) if stats is None else stats
    dtypes: Dict[str, Any] = {}
    for column in profile.columns:
        kind = _native(column, stats[column.name], profile)
        dtypes[column.name] = {"int64": "Int64", "float64": "Float64", "boolean": "boolean"}.get(kind or "", "string")
    return dtypes


def _import(module: str, extra: str) -> Any:
    try:
        return __import__(module)
    except ImportError:
        raise ImportError(f"this output needs {module}: pip install 'velmira[{extra}]'") from None
