"""Profile a CSV file: one pass of the engine, then a type chosen for every column."""

from __future__ import annotations

import collections
import contextlib
import copy
import csv
import errno
import io
import json
import os
import secrets
import shlex
import stat
from dataclasses import dataclass, field
from typing import Any, Dict, Iterable, Iterator, List, Mapping, Optional, Sequence, Tuple, Union

import velmira_ext

from . import _native
from ._native import FieldTooLongError
from .source import STDIN, Progress, Source, is_path, name_of, open_input

from .types import (
    COVERS,
    DATE_FORMATS,
    DATE_ORDERS,
    DEFAULT_NA_VALUES,
    DEFAULT_TYPES,
    NUMBER_SEPARATORS,
    TABLE_SCHEMA_FIELDS,
    kind_of,
)

StrPath = Union[str, "os.PathLike[str]"]

#: The verdict for a column whose values no single type covers well enough.
STRING = "string"
#: The verdict for a column without a single non-missing value.
EMPTY = "empty"
# "NA" and "other" are the engine's own names; the two verdicts must not be
# mistaken for a user type either.
RESERVED_TYPE_NAMES = frozenset({"NA", "other", STRING, EMPTY})

#: The block of the file that the delimiter guess reads.
SNIFF_BYTES = 64 * 1024
#: The delimiters the guess chooses from; anything else must be given.
COMMON_DELIMITERS = ",;\t|"
#: The longest field (and header row) a pass reads unless told otherwise: far beyond any
#: real file's, and a bound on what one endless line can make the pass hold in memory.
DEFAULT_MAX_FIELD_SIZE = 128 << 20

_BOM = "\ufeff"
_TABLE_SCHEMA_TYPES = frozenset({
    "string", "number", "integer", "boolean", "object", "array", "date", "time",
    "datetime", "year", "yearmonth", "duration", "geopoint", "geojson", "any",
})


def excerpt(text: Any, limit: int = 40) -> str:
    """``text`` for an error message: its repr, cut to about ``limit`` characters."""
    shown = repr(text)
    return shown if len(shown) <= limit else shown[: limit - 3] + "..."


def _as_bytes(text: str, what: str) -> bytes:
    # Bytes that came in through a command line or a file name as surrogate escapes are
    # those bytes again; any other lone surrogate is no text at all.
    try:
        return text.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        raise ValueError(f"{what} {excerpt(text)} holds a lone surrogate, which is not text") from None


def _utf8(text: str, what: str) -> None:
    # Type names and patterns go to the engine as UTF-8, which has no lone surrogates.
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"{what} {excerpt(text)} holds a lone surrogate, which is not text") from None


class PatternError(ValueError):
    """A pattern that Boost.Regex refuses, with the type it belongs to."""

    def __init__(self, type_name: str, pattern: str, reason: str) -> None:
        super().__init__(f"type {excerpt(type_name)}: invalid pattern {excerpt(pattern, 80)}: {reason}")
        self.type_name = type_name
        self.pattern = pattern
        self.reason = reason


class HeaderEncodingError(ValueError):
    """The header row is not UTF-8, so the column names cannot be read."""


@dataclass(frozen=True)
class ColumnProfile:
    """What one pass found in one column.

    ``counts`` holds the engine's counts: every type, then "other" (no type
    matched) and "NA" (a missing-value marker). ``best_type`` is the type that
    covers the largest share of the non-missing values, ``share`` that share;
    ``type`` is the verdict: ``best_type`` when its share reaches the
    threshold, else "string", or "empty" when the column has no non-missing value.
    Columns with the same name share one count table in the engine, so each
    of them reports the counts of all of them.

    ``format`` is the strftime format of a date or datetime verdict, when
    its type has one. ``note`` says what a reader of the counts alone might
    miss: that a column holds both day-first and month-first dates, or which
    order was assumed for dates that read either way.
    """

    name: str
    type: str
    best_type: Optional[str]
    share: float
    counts: Mapping[str, int]
    format: Optional[str] = None
    note: Optional[str] = None
    #: In a merged profile, the files that have this column (its counts are
    #: theirs alone); empty for the profile of one file.
    present_in: Tuple[str, ...] = ()

    @property
    def missing(self) -> int:
        """Number of missing values ("NA")."""
        return self.counts.get("NA", 0)

    @property
    def present(self) -> int:
        """Number of non-missing values."""
        return sum(self.counts.values()) - self.missing

    @property
    def group_char(self) -> Optional[str]:
        """The thousands separator of a number verdict, if it has one."""
        return NUMBER_SEPARATORS.get(self.type, (None, None))[0]

    @property
    def decimal_char(self) -> Optional[str]:
        """The decimal separator of a number verdict that can have a fraction."""
        return NUMBER_SEPARATORS.get(self.type, (None, None))[1]

    def to_dict(self) -> Dict[str, Any]:
        return {
            "name": self.name,
            "type": self.type,
            "best_type": self.best_type,
            "share": self.share,
            "missing": self.missing,
            "counts": dict(self.counts),
            "format": self.format,
            "group_char": self.group_char,
            "decimal_char": self.decimal_char,
            "note": self.note,
            **({"present_in": list(self.present_in)} if self.present_in else {}),
        }


@dataclass(frozen=True)
class Profile:
    """The result of :func:`infer` for one file."""

    path: str
    delimiter: str
    rows: int
    columns: Tuple[ColumnProfile, ...]
    types: Mapping[str, Tuple[str, ...]]
    na_values: Tuple[str, ...]
    threshold: float
    #: Whether the file starts with a UTF-8 byte order mark; it is left out of
    #: the first column name.
    bom: bool = False
    #: Whether dates that read either way were read month-first.
    month_first: bool = False
    #: The compression the input was read through ("gzip", "zstd", "bzip2",
    #: "xz"), or None.
    compression: Optional[str] = None
    #: Whether ``path`` names a file that can be read again (not standard input
    #: or a file object): the second passes of the SQL and dataframe outputs
    #: and of ``explain`` need one.
    rereadable: bool = True
    #: The profiles of the files a merged profile was made of, in order (see
    #: ``merge``); empty for the profile of one file.
    parts: Tuple["Profile", ...] = field(default=(), compare=False, repr=False)
    #: For a merged profile: whether its counts are exactly those of one pass
    #: over all its files, which holds when no text matches two types (so for
    #: the default types, which are built that way); None for one file.
    merge_exact: Optional[bool] = None

    def merge(self, *others: "Profile") -> "Profile":
        """This profile merged with others: see :func:`velmira.merge`."""
        from .many import merge

        return merge([self, *others])

    @property
    def column_names(self) -> List[str]:
        return [column.name for column in self.columns]

    def column(self, name: str) -> ColumnProfile:
        """The first column called ``name``; KeyError if there is none."""
        for column in self.columns:
            if column.name == name:
                return column
        raise KeyError(name)

    def to_dict(self) -> Dict[str, Any]:
        """Plain data for JSON: the settings of the pass and every column."""
        return {
            "path": self.path,
            "compression": self.compression,
            "delimiter": self.delimiter,
            "rows": self.rows,
            "threshold": self.threshold,
            "na_values": list(self.na_values),
            "bom": self.bom,
            "month_first": self.month_first,
            **({"files": [part.path for part in self.parts], "merge_exact": self.merge_exact} if self.parts else {}),
            "types": {name: list(patterns) for name, patterns in self.types.items()},
            "columns": [column.to_dict() for column in self.columns],
        }

    def to_json(self, indent: Optional[int] = 2) -> str:
        return json.dumps(self.to_dict(), indent=indent, ensure_ascii=False)

    def to_table_schema(self) -> Dict[str, Any]:
        """A Frictionless Table Schema descriptor: one field per column, in order.

        A type is mapped by its name: the default types as in
        ``TABLE_SCHEMA_FIELDS``, a type named after a Table Schema type
        (say "number" or "year") to that type, any other type to "string",
        which every value satisfies. "string" columns are "string", "empty"
        columns "any". Boolean fields list their true and false texts only
        when the boolean patterns are the default ones.
        """
        fields = [{"name": column.name, **self._field_type(column)} for column in self.columns]
        return {"fields": fields, "missingValues": list(self.na_values)}

    def _field_type(self, column: ColumnProfile) -> Dict[str, Any]:
        type_name = column.type
        if type_name == EMPTY:
            return {"type": "any"}
        if type_name in TABLE_SCHEMA_FIELDS:
            field = copy.deepcopy(dict(TABLE_SCHEMA_FIELDS[type_name]))
            if type_name == "boolean" and tuple(self.types["boolean"]) != DEFAULT_TYPES["boolean"]:
                field = {"type": "boolean"}
        elif kind_of(type_name) == "date":  # the opt-in compact dates
            field = {"type": "date"}
        elif type_name in _TABLE_SCHEMA_TYPES:
            return {"type": type_name}
        else:
            return {"type": "string"}
        # "%Y-%m-%d" is the default format of a Table Schema date.
        if column.format and column.format != "%Y-%m-%d":
            field["format"] = column.format
        return field

    # The outputs for loaders live in velmira.schema, which imports its
    # libraries only when one of them is asked for.

    def measure(self) -> "Any":
        """Read the file a second time for what the counts cannot tell; see :func:`velmira.schema.measure`."""
        from .schema import measure

        return measure(self)

    def to_sql(self, dialect: str, table: Optional[str] = None, stats: Any = None) -> str:
        """A CREATE TABLE statement; see :func:`velmira.schema.to_sql`."""
        from .schema import to_sql

        return to_sql(self, dialect, table=table, stats=stats)

    def to_json_schema(self) -> Dict[str, Any]:
        """A JSON Schema (draft 2020-12) for one row; see :func:`velmira.schema.to_json_schema`."""
        from .schema import to_json_schema

        return to_json_schema(self)

    def to_arrow_schema(self, stats: Any = None) -> Any:
        """A ``pyarrow.Schema``; see :func:`velmira.schema.to_arrow_schema`."""
        from .schema import to_arrow_schema

        return to_arrow_schema(self, stats=stats)

    def to_polars_schema(self, stats: Any = None) -> Any:
        """A ``polars.Schema``; see :func:`velmira.schema.to_polars_schema`."""
        from .schema import to_polars_schema

        return to_polars_schema(self, stats=stats)

    def to_pandas_dtypes(self, stats: Any = None) -> Dict[str, Any]:
        """Column name to pandas dtype; see :func:`velmira.schema.to_pandas_dtypes`."""
        from .schema import to_pandas_dtypes

        return to_pandas_dtypes(self, stats=stats)


def guess_delimiter(path: StrPath) -> str:
    """Guess the delimiter from the first 64 KiB of the file (decompressed, if
    it is compressed); "," when unsure."""
    inp = open_input(path)
    try:
        return _guess_delimiter(inp.peek(SNIFF_BYTES))
    finally:
        inp.close()


def _guess_delimiter(block: bytes) -> str:
    # Each candidate splits the block with quotes respected (the csv module: linear time,
    # where csv.Sniffer's regular expressions can take minutes on a block of quoted lines);
    # the one that gives most rows the same number of fields (more than one) wins.
    text = block.decode("utf-8", errors="replace")
    if len(block) == SNIFF_BYTES:
        # A row cut by the end of the block has too few fields.
        end = max(text.rfind("\n"), text.rfind("\r"))
        if end > 0:
            text = text[:end]
    best, best_score = ",", (0.0, 0)
    for delimiter in COMMON_DELIMITERS:
        widths = [len(row) for row in csv.reader(io.StringIO(text, newline=""), delimiter=delimiter) if row]
        if not widths:
            continue
        width, rows = collections.Counter(widths).most_common(1)[0]
        score = (rows / len(widths), width)
        if width > 1 and score > best_score:
            best, best_score = delimiter, score
    return best


def check_types(types: Mapping[str, Iterable[str]]) -> Dict[str, List[str]]:
    """Validate a table of type name to patterns and return it as plain lists.

    Raises TypeError for a malformed table, ValueError for a reserved type
    name, and PatternError for the first pattern that does not compile.
    """
    if not isinstance(types, Mapping):
        raise TypeError("types must map type names to lists of patterns")
    table: Dict[str, List[str]] = {}
    for name, patterns in types.items():
        if not isinstance(name, str):
            raise TypeError(f"type names must be strings, not {type(name).__name__}")
        if name in RESERVED_TYPE_NAMES:
            raise ValueError(f"type name {name!r} is reserved; give the type another name")
        if not name:
            raise ValueError("a type name is empty; give the type a name")
        _utf8(name, "type name")
        if isinstance(patterns, (str, bytes)) or not isinstance(patterns, Iterable):
            raise TypeError(f"type {excerpt(name)}: expected a list of patterns, got {type(patterns).__name__}")
        table[name] = list(patterns)
        for pattern in table[name]:
            if not isinstance(pattern, str):
                raise TypeError(f"type {excerpt(name)}: patterns must be strings, not {type(pattern).__name__}")
            _utf8(pattern, f"type {excerpt(name)}: pattern")
    try:
        _engine("", ",", table, set())
    except RuntimeError:
        _raise_first_bad_pattern(table)
        raise
    return table


def pattern_engines(types: Optional[Mapping[str, Iterable[str]]] = None) -> Dict[str, List[Tuple[str, str, str]]]:
    """Which engine answers each pattern: type name to a list of (pattern,
    engine, why), in order. The engine is "pcre2-jit" for a pattern built only
    of constructs that PCRE2 and Boost.Regex read alike (its texts then run on
    PCRE2's JIT, many times faster, except texts holding a line break or form
    feed), or "boost", with the reason it is not on PCRE2. The answers are
    Boost's either way. Raises PatternError for an invalid pattern.
    """
    table = check_types(DEFAULT_TYPES if types is None else types)
    return {name: [(pattern, *_native.pattern_engine(pattern)) for pattern in patterns]
            for name, patterns in table.items()}


def infer(
    source: Source,
    types: Optional[Mapping[str, Iterable[str]]] = None,
    na_values: Optional[Iterable[str]] = None,
    delimiter: Optional[str] = None,
    multithreading: bool = False,
    types_file: Optional[StrPath] = None,
    rolling_cache_window: int = 100_000,
    threshold: float = 1.0,
    month_first: bool = False,
    progress: Optional[Progress] = None,
    max_field_size: int = DEFAULT_MAX_FIELD_SIZE,
) -> Profile:
    """Read a CSV file once and choose a type for every column.

    ``source`` is a path, ``"-"`` for standard input, or a binary file object
    (``open(..., "rb")``, ``sys.stdin.buffer``, ``gzip.open(...)``, a remote
    file of fsspec or smart_open). Input that starts like gzip, zstd, bzip2 or
    xz is decompressed as it is read, whatever its name. The pass lets other
    Python threads run; Ctrl-C (KeyboardInterrupt) stops it within half a
    second. ``progress``, if given, is called a few times a second with the
    bytes read so far and the total (None when unknown); compressed input is
    measured on its compressed bytes. An exception it raises stops the pass.

    ``types`` maps type names to Boost.Regex patterns that must match a whole
    field (default: ``DEFAULT_TYPES``); ``na_values`` are the texts that mean
    "missing" (default: ``DEFAULT_NA_VALUES``). Without a ``delimiter`` it is
    guessed from the first 64 KiB (see :func:`guess_delimiter`).
    ``types_file`` names a file to which every field's type is written, row by
    row; it appears only when the pass completes (it is written aside and
    renamed), so a failed or interrupted pass leaves an existing file as it
    was. A symbolic link keeps being a link: the file it points to is written.
    A device, FIFO or socket (``/dev/stdout``) is written in place, as it goes.
    A types file that would be the input itself (by path, standard input or
    the file object's descriptor) is refused. The value cache is emptied every
    ``rolling_cache_window`` rows.

    A field longer than ``max_field_size`` bytes (default 128 MiB; the header
    row counts as one field) stops the pass with FieldTooLongError naming the
    row: one endless line must not take all the memory there is.

    A column's best type is the one covering most of its non-missing values,
    where a decimal type also covers integer values (``COVERS``). Ties go to
    the type with more values of its own, then to the type listed first. The
    column's type is its best type when that covers at least ``threshold``
    of the values (1.0: all of them), else "string"; a column with no
    non-missing value is "empty".

    Day-month dates count as day-first, month-first or either-way by their
    own text (see ``velmira.types``); a column's either-way values count
    towards the order that its other values show, and a column that shows
    both orders has neither. A column whose dates all read either way is
    read day-first, or month-first with ``month_first``; its ``note`` says so.

    Raises OSError when the file cannot be opened or read, or the types file
    cannot be written (a full disk: the pass fails and an existing file keeps
    its content), InputError for a damaged or truncated compressed input or a
    file that shrank while it was read, FieldTooLongError (a ValueError) for a
    field over the limit, PatternError for an invalid
    pattern, HeaderEncodingError for a header that is not UTF-8, TypeError or
    ValueError for a bad argument (TypeError for a file object opened in text
    mode), and RuntimeError for a failure of the pass.
    """
    table = check_types(DEFAULT_TYPES if types is None else types)
    if na_values is None:
        markers: Tuple[str, ...] = DEFAULT_NA_VALUES
    elif isinstance(na_values, (str, bytes)):
        raise TypeError("na_values must be a collection of strings, not a single string")
    else:
        given = set(na_values)
        if not all(isinstance(marker, str) for marker in given):
            raise TypeError("na_values must hold strings only")
        markers = tuple(sorted(given))
    marker_bytes = {_as_bytes(marker, "missing-value marker") for marker in markers}
    if not 0.0 <= threshold <= 1.0:
        raise ValueError(f"threshold must be between 0 and 1, not {threshold!r}")
    if not 1 <= rolling_cache_window < 2**31:
        raise ValueError(f"rolling_cache_window must be between 1 and 2**31 - 1, not {rolling_cache_window!r}")
    if delimiter is not None and (len(delimiter) != 1 or not delimiter.isascii() or delimiter in '"\r\n'):
        raise ValueError(f"delimiter must be one ASCII character other than a quote or line end, not {delimiter!r}")
    if progress is not None and not callable(progress):
        raise TypeError("progress must be a callable taking (bytes read, total bytes or None)")

    if isinstance(max_field_size, bool) or not isinstance(max_field_size, int) or max_field_size < 1:
        raise ValueError(f"max_field_size must be a whole number of bytes, 1 or more, not {max_field_size!r}")

    shown = name_of(source)
    target = None if types_file is None else _TypesTarget(types_file, source)
    inp = open_input(source)
    try:
        if delimiter is None:
            delimiter = _guess_delimiter(inp.peek(SNIFF_BYTES))
        with _written_aside(target) as aside:
            names_raw, counts_raw, rows = _native.infer(
                inp, delimiter, _native.compile_types(table), marker_bytes, bool(multithreading), aside,
                rolling_cache_window, progress, max_field_size,
            )
        compression = inp.compression
    finally:
        inp.close()

    try:
        names = [raw.decode("utf-8") for raw in names_raw]
    except UnicodeDecodeError as exc:
        hint = f" {shlex.quote(shown)}" if is_path(source) else ""
        raise HeaderEncodingError(
            f"the header of {shown} is not UTF-8 (byte 0x{exc.object[exc.start]:02x} in a column name); "
            f"re-encode the file first, e.g. iconv -f latin1 -t utf-8{hint} > utf8.csv"
        ) from None

    bom = bool(names) and names[0].startswith(_BOM)
    columns = []
    for position, (raw_name, raw) in enumerate(zip(names, counts_raw)):
        counts = {name: raw.get(name, 0) for name in (*table, "other", "NA")}
        name = raw_name[len(_BOM):] if position == 0 and bom else raw_name
        columns.append(_profile_column(name, counts, list(table), threshold, month_first))
    return Profile(
        path=shown,
        delimiter=delimiter,
        # Without a header row the engine's row count means nothing.
        rows=rows if names else 0,
        columns=tuple(columns),
        types={name: tuple(patterns) for name, patterns in table.items()},
        na_values=markers,
        threshold=threshold,
        bom=bom,
        month_first=bool(month_first),
        compression=compression,
        rereadable=is_path(source),
    )


class _TypesTarget:
    """Where a types file goes, checked before the pass starts.

    ``given`` is the path as the user gave it, for messages; ``path`` the file
    that is written: a symbolic link is followed, so that the link stays a
    link. A regular file (or a new name) is written aside and renamed into
    place at the end; a device, FIFO or socket is written in place.
    """

    def __init__(self, types_file: Any, source: Source) -> None:
        self.given = os.fspath(types_file)
        self.mode: Optional[int] = None  # of the existing file, if any
        try:
            st = os.stat(self.given)
        except FileNotFoundError:
            st = None
        except OSError as exc:
            raise _named(exc, self.given) from None
        if st is not None and stat.S_ISDIR(st.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), self.given)
        self.in_place = st is not None and not stat.S_ISREG(st.st_mode)
        # A device is opened by the name given (/dev/stdout is a link only the kernel can
        # follow); a file is replaced where its links lead, so that they stay links.
        self.path = self.given if self.in_place else os.path.realpath(self.given)
        directory, base = os.path.split(self.path)
        if st is not None and stat.S_ISREG(st.st_mode):
            self.mode = stat.S_IMODE(st.st_mode)
            if _reads_from(source, st):
                raise ValueError(f"the types file {_shown(self.given)} is the input itself; "
                                 "writing it would destroy the data")
        if st is None:
            if not os.path.isdir(directory):
                raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), self.given)
            try:
                longest = os.pathconf(directory, "PC_NAME_MAX")
            except (OSError, ValueError):
                longest = 255
            if len(os.fsencode(base)) > longest:
                raise OSError(errno.ENAMETOOLONG, os.strerror(errno.ENAMETOOLONG), self.given)


def _reads_from(source: Source, types: os.stat_result) -> bool:
    """Whether ``source`` reads the file ``types`` describes: by path, or by the open
    descriptor of standard input or of a file object."""
    try:
        if is_path(source):
            st = os.stat(os.fspath(source))
        elif isinstance(source, str) and source == STDIN:
            st = os.fstat(0)
        else:
            st = os.fstat(source.fileno())  # type: ignore[union-attr]
    except (OSError, AttributeError, ValueError, TypeError, io.UnsupportedOperation):
        return False
    return (st.st_dev, st.st_ino) == (types.st_dev, types.st_ino)


def _named(exc: OSError, filename: Any) -> OSError:
    """The same error, naming the user's file rather than the one actually touched."""
    return type(exc)(exc.errno, exc.strerror, filename) if exc.errno is not None else exc


def _shown(path: Any) -> str:
    return os.fsdecode(path) if isinstance(path, bytes) else str(path)


@contextlib.contextmanager
def _written_aside(target: Optional[_TypesTarget]) -> Iterator[Any]:
    """A path for the engine to write: beside the target, renamed to it when the
    block completes and removed when it fails; or, for a device or FIFO, the
    target itself. Made here, not by the engine, so that a directory that cannot
    be written is an error before the pass starts."""
    if target is None:
        yield None
        return
    if target.in_place:
        try:
            yield target.path
        except OSError as exc:
            raise _named(exc, target.given) from None
        return
    directory = os.path.dirname(target.path)
    # A short name of its own: a long target name must not make the aside one too long.
    aside = os.path.join(directory, f".velmira-types-{os.getpid()}-{secrets.token_hex(4)}.tmp")
    try:
        open(aside, "xb").close()  # created with the permissions a new file gets here
        if target.mode is not None:
            os.chmod(aside, target.mode)  # replacing a file keeps its permissions
    except OSError as exc:
        raise _named(exc, target.given) from None
    try:
        yield aside
        os.replace(aside, target.path)
    except BaseException as exc:
        try:
            os.unlink(aside)
        except OSError:
            pass
        if isinstance(exc, OSError):
            raise _named(exc, target.given) from None
        raise


def _profile_column(
    name: str, counts: Dict[str, int], type_names: Sequence[str], threshold: float, month_first: bool = False
) -> ColumnProfile:
    present = sum(counts.values()) - counts["NA"]
    if present == 0:
        return ColumnProfile(name, EMPTY, None, 0.0, counts)

    covers = {t: [c for c in COVERS.get(t, ()) if c in counts] for t in type_names}
    conflicts = []
    for day_first, month_first_type, either in DATE_ORDERS:
        if not {day_first, month_first_type, either} <= set(counts):
            continue
        days, months = counts[day_first], counts[month_first_type]
        if days and not months:
            covers[day_first].append(either)
        elif months and not days:
            covers[month_first_type].append(either)
        elif days and months:
            conflicts.append(
                f"{days} {_plural_values(days)} can only be day-first ({day_first}) and "
                f"{months} only month-first ({month_first_type})"
            )

    def covered(type_name: str) -> int:
        return counts[type_name] + sum(counts[t] for t in covers[type_name])

    ranked = sorted(type_names, key=lambda t: (-covered(t), -counts[t], type_names.index(t)))
    note = "; ".join(conflicts) or None
    if not ranked or covered(ranked[0]) == 0:
        return ColumnProfile(name, STRING, None, 0.0, counts, note=note)
    best = ranked[0]
    share = covered(best) / present
    verdict = best if share >= threshold else STRING
    fmt = DATE_FORMATS.get(verdict)
    for day_first, month_first_type, either in DATE_ORDERS:
        if verdict == either:
            fmt = DATE_FORMATS[month_first_type if month_first else day_first]
            order = "month-first" if month_first else "day-first"
            note = f"day and month are both 12 or less in every date: read {order} ({fmt})"
    return ColumnProfile(name, verdict, best, share, counts, format=fmt, note=note)


def _plural_values(count: int) -> str:
    return "value" if count == 1 else "values"


def _engine(
    path: str,
    delimiter: str,
    table: Mapping[str, List[str]],
    markers: set,
    multithreading: bool = False,
    types_file: Optional[StrPath] = None,
    window: int = 1,
) -> velmira_ext.Inf:
    return velmira_ext.Inf(
        path,
        delimiter,
        dict(table),
        markers,
        bool(multithreading),
        types_file is not None,
        "" if types_file is None else os.fspath(types_file),
        window,
    )


def _raise_first_bad_pattern(table: Mapping[str, List[str]]) -> None:
    # The engine compiles the whole table at once and its message does not
    # say which pattern failed, so each one is compiled again on its own.
    for name, patterns in table.items():
        for pattern in patterns:
            try:
                _engine("", ",", {name: [pattern]}, set())
            except RuntimeError as exc:
                raise PatternError(name, pattern, " ".join(str(exc).split())) from None
