"""Read a profiled file's values as Python objects, each column by its verdict.

The engine only counts; a loader needs values. This module reads the file
again with the standard library's csv module (the same delimiter, the
missing-value markers as None) and converts every field by its column's
type: thousands separators and the blanks around padded numbers removed,
decimal commas made points, dates read with the column's format (two-digit
years as strptime's %y reads them), and the 24:00 that ends a day read as
the last instant of that day. Its reading agrees with the engine's for every
file that the csv module reads as RFC 4180.
"""

from __future__ import annotations

import csv
import datetime as dt
import re
import struct
import threading
from decimal import Decimal
from typing import Any, Callable, Dict, Iterator, List, Optional, Pattern, TextIO, Tuple

from .profile import ColumnProfile, Profile, accepted_types
from .source import open_text
from .types import NUMBER_SEPARATORS, TRUE_VALUES, kind_of

_MONTHS = {name: number for number, name in enumerate(
    ("jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"), start=1)}
_MONTHS.update({name: number for number, name in enumerate(
    ("january", "february", "march", "april", "may", "june", "july", "august", "september", "october",
     "november", "december"), start=1)})
_MONTH_NAME = re.compile("[A-Za-z]{3,}")
_END_OF_DAY = re.compile("24:00(?::00)?")
_MERIDIEM = re.compile(" ([AaPp])[Mm]$")
_ISO = re.compile(
    r"([0-9]{4})-([0-9]{2})-([0-9]{2})[T ]"
    r"([0-9]{2}):([0-9]{2})(?::([0-9]{2})(?:[.,]([0-9]+))?)?"
    r"(Z|([+-])([0-9]{2}):?([0-9]{2})?)?"
)
_ISO_TIME = re.compile(r"([0-9]{2}):([0-9]{2})(?::([0-9]{2})(?:[.,]([0-9]+))?)?(Z|([+-])([0-9]{2}):?([0-9]{2})?)?")
_TRUE = {"true", "t", "yes", "y", "1", "on"}
_FALSE = {"false", "f", "no", "n", "0", "off"}


def converter(profile: Profile, column: ColumnProfile) -> Callable[[str], Any]:
    """The function that turns one non-missing text of ``column`` into a value.

    It raises ValueError for a text that its column's type (or a type that
    type covers) does not accept: a stray value under a threshold below 1.
    Columns that are not numbers, booleans, dates, datetimes or times give
    their text unchanged.
    """
    type_name = column.type
    kind = kind_of(type_name)
    if kind is None:
        return str
    check = _checker(profile, column)
    if kind in ("integer", "number"):
        group, point = NUMBER_SEPARATORS.get(type_name, (None, "."))
        make: Callable[[str], Any] = int if kind == "integer" else Decimal

        def number(text: str) -> Any:
            text = check(text).strip(" ")
            if text.endswith("%"):
                text = text[:-1]
            if group:
                text = text.replace(group, "")
            if point and point != ".":
                text = text.replace(point, ".")
            return make(text)

        return number
    if kind == "boolean":
        def boolean(text: str) -> bool:
            check(text)
            if text in TRUE_VALUES or text.lower() in _TRUE:
                return True
            if text.lower() in _FALSE:
                return False
            raise ValueError(f"{text!r} is not a boolean")

        return boolean
    if kind == "time" and column.format:  # a 12-hour clock
        fmt = column.format
        return lambda text: _strptime(check(text), fmt).time()
    if kind == "time":
        def time_of_day(text: str) -> dt.time:
            # Python's time has no 24:00; the last instant of the day keeps the
            # value on its own date and after every other time of that date.
            return dt.time.max if _END_OF_DAY.fullmatch(check(text)) else _iso_time(text)

        return time_of_day
    if column.format is None:
        return lambda text: _iso_datetime(check(text))
    fmt = column.format
    if kind == "date":
        return lambda text: _strptime(check(text), fmt).date()
    return lambda text: _strptime(check(text), fmt)


def read_rows(profile: Profile, json_values: bool = False) -> Iterator[Dict[str, Any]]:
    """Every data row of the profiled file as a dict of column name to value.

    A missing-value marker, or a field that a short row lacks, is None;
    fields beyond the header are left out, as the engine leaves them out.
    With ``json_values`` the values are those of ``to_json_schema()``:
    decimals as floats, dates, datetimes and times as ISO 8601 text.
    Raises ValueError, naming the row and column, for a text its column's
    type does not accept, and for repeated column names.
    """
    names = profile.column_names
    _require_distinct(names)
    markers = frozenset(profile.na_values)
    convert = [converter(profile, column) for column in profile.columns]
    several = len(profile.parts) > 1
    for path, number, texts in aligned_rows(profile):
        values: Dict[str, Any] = {}
        for i, (name, text) in enumerate(zip(names, texts)):
            if text is None or text in markers:
                values[name] = None
                continue
            try:
                value = convert[i](text)
            except ValueError as exc:
                where = f"{path}: row {number}" if several else f"row {number}"
                raise ValueError(f"{where}, column {name!r}: {exc}") from None
            values[name] = _json_value(value) if json_values else value
        yield values


def aligned_rows(profile: Profile) -> Iterator[Tuple[str, int, List[Optional[str]]]]:
    """(file, row number, texts in the order of ``profile.column_names``) of every
    data row of every file the profile covers (the files of a merged profile one
    after the other): None where a row is short or its file lacks the column."""
    names = profile.column_names
    for part in profile.parts or (profile,):
        index: Dict[str, int] = {}
        for i, name in enumerate(part.column_names):
            index.setdefault(name, i)
        positions = [index.get(name) for name in names]
        for number, row in raw_rows(part):
            yield part.path, number, [row[p] if p is not None and p < len(row) else None for p in positions]


def raw_rows(profile: Profile) -> Iterator[Tuple[int, List[str]]]:
    """(row number, fields) of every data row; the header is row 1. The file is
    read again, decompressed if it is compressed, as the profile's dialect says:
    past the lines above the table, without blank lines and comments."""
    if not profile.rereadable:
        raise ValueError(f"{profile.path} can be read only once (standard input or a file object), and this "
                         "needs a second pass over it: save it to a file first")
    dialect = profile.dialect
    # utf-8-sig: the engine leaves a byte order mark out of the first name too.
    utf8 = dialect is None or dialect.encoding.replace("_", "-").lower() in ("utf-8", "utf8")
    with open_text(profile.path, "utf-8-sig" if utf8 else dialect.encoding) as f:
        if dialect is not None:
            for _ in range(dialect.skipped_lines):  # lines, quotes not looked at, as the dialect counts them
                f.readline()
        rows = _any_field_size(_rows_of(f, profile))
        try:
            if dialect is None or dialect.header_row is not None:
                next(rows, None)
            number = 1
            for row in rows:
                number += 1
                yield number, row
        except UnicodeDecodeError as exc:
            raise ValueError(f"{profile.path}: a value is not UTF-8 (byte 0x{exc.object[exc.start]:02x})") from None


# A field where runs of blanks separate fields: quoted (with "" for a quote, and text after
# the closing quote), or a run of anything else.
_BLANK_SEPARATED = re.compile(r'"((?:[^"]|"")*)"?([^ \t]*)|([^ \t]+)')


def _rows_of(f: TextIO, profile: Profile) -> Iterator[List[str]]:
    """The rows as the engine's tokenizer reads them in the profile's dialect."""
    dialect = profile.dialect
    wide = len(profile.columns) > 1  # a blank line of a one-column table is an empty value
    if dialect is not None and dialect.delimiter == "whitespace":
        for line in f:
            row = [quoted.replace('""', '"') + after if quoted or after or text is None else text
                   for quoted, after, text in ((m.group(1), m.group(2), m.group(3))
                                               for m in _BLANK_SEPARATED.finditer(line.rstrip("\r\n")))]
            if not row and wide:
                continue
            if dialect.comment and row and row[0].startswith(dialect.comment):
                continue
            yield row or [""]
        return
    quote = '"' if dialect is None else dialect.quote
    reader = csv.reader(f, delimiter=profile.delimiter, strict=False, quotechar=quote or '"',
                        quoting=csv.QUOTE_MINIMAL if quote else csv.QUOTE_NONE)
    comment = dialect.comment if dialect is not None else None
    for row in reader:
        if not row and (wide or dialect is None):
            # Blank lines are no rows to the pass (a profile without a dialect counted them).
            if dialect is None:
                yield [""]
            continue
        if comment and row and row[0].startswith(comment):
            continue
        yield row or [""]


# The csv module refuses a field longer than csv.field_size_limit() (128 KiB
# unless the program changed it), where the engine reads fields of any length.
# The limit is one setting for the whole process, so it is raised only while
# the reader parses a row, and set back before the row reaches the caller:
# code between two rows, a reader of the caller's own included, sees its own
# limit. Readers running at once in several threads share one raise, undone
# by the last to finish.
_LARGEST_LIMIT = 2 ** (8 * struct.calcsize("l") - 1) - 1  # the largest C long the setting takes
_limit_lock = threading.Lock()
_limit_readers = 0
_limit_before = 0


def _any_field_size(reader: Iterator[List[str]]) -> Iterator[List[str]]:
    """The rows of a csv reader, read with no limit on the length of a field."""
    global _limit_readers, _limit_before
    while True:
        with _limit_lock:
            if _limit_readers == 0:
                _limit_before = csv.field_size_limit(_LARGEST_LIMIT)
            _limit_readers += 1
        try:
            row = next(reader, None)
        finally:
            with _limit_lock:
                _limit_readers -= 1
                if _limit_readers == 0:
                    csv.field_size_limit(_limit_before)
        if row is None:
            return
        yield row


def _require_distinct(names: List[str]) -> None:
    seen = set()
    for name in names:
        if name in seen:
            raise ValueError(f"column name {name!r} appears more than once; this output needs distinct names")
        seen.add(name)


def _checker(profile: Profile, column: ColumnProfile) -> Callable[[str], str]:
    accepted = accepted_types(column)
    patterns: List[Pattern[str]] = []
    for name in accepted:
        for pattern in profile.types.get(name, ()):
            try:
                patterns.append(re.compile(pattern))
            except re.error:  # Boost-only syntax in a type of the user's: trust the conversion alone
                return lambda text: text

    def check(text: str) -> str:
        if not any(p.fullmatch(text) for p in patterns):
            raise ValueError(f"{text!r} is not of type {column.type}")
        return text

    return check


def _strptime(text: str, fmt: str) -> dt.datetime:
    # Month names are read here rather than by %b and %B, which follow the locale.
    if "%b" in fmt or "%B" in fmt:
        match = _MONTH_NAME.search(text)
        month = _MONTHS.get(match.group().lower()) if match else None
        if month is None:
            raise ValueError(f"{text!r} has no English month name")
        text = text[:match.start()] + "%02d" % month + text[match.end():]
        fmt = fmt.replace("%b", "%m").replace("%B", "%m")
    # AM and PM too: %p follows the locale.
    if "%p" in fmt:
        meridiem = _MERIDIEM.search(text)
        if meridiem is None:
            raise ValueError(f"{text!r} has no AM or PM")
        value = dt.datetime.strptime(text[:meridiem.start()], fmt.replace(" %p", "").replace("%I", "%H"))
        return value.replace(hour=value.hour % 12 + (12 if meridiem.group(1) in "Pp" else 0))
    return dt.datetime.strptime(text, fmt)


def _zone(sign: Optional[str], hours: Optional[str], minutes: Optional[str], z: Optional[str]) -> Optional[dt.tzinfo]:
    if z == "Z":
        return dt.timezone.utc
    if sign is None:
        return None
    offset = dt.timedelta(hours=int(hours or 0), minutes=int(minutes or 0))
    return dt.timezone(-offset if sign == "-" else offset)


def _micro(fraction: Optional[str]) -> int:
    return int((fraction or "0")[:6].ljust(6, "0"))


def _iso_datetime(text: str) -> dt.datetime:
    m = _ISO.fullmatch(text)
    if not m:
        raise ValueError(f"{text!r} is not an ISO 8601 datetime")
    year, month, day, hour, minute, second, fraction, z, sign, zh, zm = m.groups()
    return dt.datetime(int(year), int(month), int(day), int(hour), int(minute), int(second or 0),
                       _micro(fraction), tzinfo=_zone(sign, zh, zm, z))


def _iso_time(text: str) -> dt.time:
    m = _ISO_TIME.fullmatch(text)
    if not m:
        raise ValueError(f"{text!r} is not an ISO 8601 time")
    hour, minute, second, fraction, z, sign, zh, zm = m.groups()
    return dt.time(int(hour), int(minute), int(second or 0), _micro(fraction), tzinfo=_zone(sign, zh, zm, z))


def _json_value(value: Any) -> Any:
    if isinstance(value, Decimal):
        return float(value)
    if isinstance(value, (dt.date, dt.time)):  # datetime is a date too
        return value.isoformat()
    return value
