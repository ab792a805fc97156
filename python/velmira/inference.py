"""Profile a CSV file: the arguments checked, one pass of the engine, a type chosen for every column."""

from __future__ import annotations

import collections
import contextlib
import csv
import errno
import io
import os
import re
import secrets
import shlex
import stat
import warnings
from typing import Any, Dict, Iterable, Iterator, List, Mapping, Optional, Sequence, Tuple, Union

from . import _native
from .dialect import WHITESPACE, Dialect, HeaderEncodingWarning, detect
from .profile import RESERVED_TYPE_NAMES, Profile, exclusive_table, profile_column
from .source import STDIN, Progress, Source, is_path, name_of, open_input
from .types import COMPACT_DATE, DEFAULT_NA_VALUES, DEFAULT_TYPES, NUMBER_SEPARATORS, kind_of

StrPath = Union[str, "os.PathLike[str]"]

#: The block of the file that the delimiter guess reads.
SNIFF_BYTES = 64 * 1024
#: The delimiters the guess chooses from; anything else must be given.
COMMON_DELIMITERS = ",;\t|"
#: The longest field (and header row) a pass reads unless told otherwise: far beyond any
#: real file's, and a bound on what one endless line can make the pass hold in memory.
DEFAULT_MAX_FIELD_SIZE = 128 << 20

_BOM = "\ufeff"


def excerpt(text: Any, limit: int = 40) -> str:
    """``text`` for an error message: its repr, cut to about ``limit`` characters."""
    shown = repr(text)
    return shown if len(shown) <= limit else shown[: limit - 3] + "..."


def utf8_bytes(text: str, what: str) -> bytes:
    """``text`` as the engine reads it; ValueError, naming it as ``what``, when it is no text."""
    # Bytes that came in through a command line or a file name as surrogate escapes are
    # those bytes again; any other lone surrogate is no text at all.
    if not isinstance(text, str):
        raise TypeError(f"{what} must be a string, not {type(text).__name__}")
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


def guess_delimiter(path: StrPath) -> str:
    """Guess the delimiter from the first 64 KiB of the file (decompressed, if
    it is compressed); "," when unsure."""
    inp = open_input(path)
    try:
        return _guess_delimiter(inp.peek(SNIFF_BYTES))
    finally:
        inp.close()


def _guess_delimiter(block: bytes) -> str:
    # The dialect's guess, which splits the block per candidate with quotes respected, in
    # linear time.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", HeaderEncodingWarning)
        return detect(block, complete=len(block) < SNIFF_BYTES).delimiter


def check_types(types: Mapping[str, Iterable[str]]) -> Dict[str, List[str]]:
    """Validate a table of type name to patterns and return it as plain lists.

    Raises TypeError for a malformed table, ValueError for a reserved type
    name, and PatternError for the first pattern that does not compile.
    """
    return compile_table(types)[0]


def compile_table(types: Mapping[str, Iterable[str]]) -> Tuple[Dict[str, List[str]], _native.TypeTable]:
    """The table validated as :func:`check_types` does, as plain lists, and compiled
    by the engine: every pattern once, for a pass or to classify texts."""
    table = _plain_table(types)
    try:
        return table, _native.compile_types(table)
    except _native.PatternCompileError as exc:
        type_name, pattern, reason = exc.args
        raise PatternError(type_name, pattern, " ".join(reason.split())) from None


def _plain_table(types: Mapping[str, Iterable[str]]) -> Dict[str, List[str]]:
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
    return table


def pattern_engines(types: Optional[Mapping[str, Iterable[str]]] = None) -> Dict[str, List[Tuple[str, str, str]]]:
    """Which engine answers each pattern: type name to a list of (pattern,
    engine, why), in order. The engine is "pcre2-jit" for a pattern built only
    of constructs that PCRE2 and Boost.Regex read alike (its texts then run on
    PCRE2's JIT, many times faster, except texts holding a line break or form
    feed), or "boost", with the reason it is not on PCRE2. The answers are
    Boost's either way. Raises PatternError for an invalid pattern.
    """
    table, compiled = compile_table(DEFAULT_TYPES if types is None else types)
    engines = compiled.engines()
    # The compiled table keeps its types in the engine's own order; callers list them in theirs.
    return {name: [(pattern, engine, why) for pattern, engine, why in engines[name]] for name in table}


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
    skip_rows: Optional[int] = None,
    comment: Optional[str] = None,
    header: Optional[bool] = None,
    encoding: Optional[str] = None,
    quote: Optional[str] = None,
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
    "missing" (default: ``DEFAULT_NA_VALUES``).

    How the file is read is found from its first 64 KiB (``velmira.dialect``),
    each setting unless given: the ``delimiter`` (one of ``,`` tab ``;`` ``|``
    space ``:``, or ``"whitespace"`` for runs of blanks between aligned
    columns), the ``quote`` (``"``, ``'`` or ``""`` for none), rows ended by
    LF alone where the file holds a CR inside its fields, the lines above the
    table (``skip_rows``: titles, metadata, blank lines), ``comment`` lines
    (``#`` when the sample shows them; ``""`` for none), whether there is a
    ``header`` (False: columns are named ``column_1``, ...), and the header's
    ``encoding`` (UTF-8, else cp1252 or Latin-1, with a
    ``velmira.dialect.HeaderEncodingWarning``). ``profile.dialect`` says what
    was found. Blank lines are not rows; rows wider or narrower than the
    header are counted in ``profile.shapes``.
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
    table, compiled = compile_table(DEFAULT_TYPES if types is None else types)
    if na_values is None:
        markers: Tuple[str, ...] = DEFAULT_NA_VALUES
    elif isinstance(na_values, (str, bytes)):
        raise TypeError("na_values must be a collection of strings, not a single string")
    else:
        given = set(na_values)
        if not all(isinstance(marker, str) for marker in given):
            raise TypeError("na_values must hold strings only")
        markers = tuple(sorted(given))
    marker_bytes = {utf8_bytes(marker, "missing-value marker") for marker in markers}
    if not 0.0 <= threshold <= 1.0:
        raise ValueError(f"threshold must be between 0 and 1, not {threshold!r}")
    if not 1 <= rolling_cache_window < 2**31:
        raise ValueError(f"rolling_cache_window must be between 1 and 2**31 - 1, not {rolling_cache_window!r}")
    if delimiter is not None and delimiter != WHITESPACE and (
            len(delimiter) != 1 or not delimiter.isascii() or delimiter in '"\r\n'):
        raise ValueError(f"delimiter must be one ASCII character other than a quote or line end, or "
                         f"{WHITESPACE!r}, not {delimiter!r}")
    if progress is not None and not callable(progress):
        raise TypeError("progress must be a callable taking (bytes read, total bytes or None)")

    if isinstance(max_field_size, bool) or not isinstance(max_field_size, int) or max_field_size < 1:
        raise ValueError(f"max_field_size must be a whole number of bytes, 1 or more, not {max_field_size!r}")

    shown = name_of(source)
    target = None if types_file is None else _TypesTarget(types_file, source)
    inp = open_input(source)
    shapes: Dict[str, int] = {}
    try:
        sample = inp.peek(SNIFF_BYTES)
        try:
            found = detect(sample, delimiter=delimiter, quote=quote, skip_rows=skip_rows, comment=comment,
                           header=header, encoding=encoding, complete=len(sample) < SNIFF_BYTES)
        except UnicodeDecodeError as exc:
            raise HeaderEncodingError(f"the header of {shown} is not {encoding}: {exc.reason}") from None
        extras = _start_of_table(inp, sample, found)
        measures: Dict[str, Any] = {"readings": readings(table)}
        with _written_aside(target) as aside:
            names_raw, counts_raw, rows = _native.infer(
                inp, " " if found.delimiter == WHITESPACE else found.delimiter, compiled, marker_bytes,
                bool(multithreading), aside, rolling_cache_window, progress, max_field_size,
                shapes=shapes, skip_blank_lines=True, quote=found.quote or "\0",
                blank_runs=found.delimiter == WHITESPACE, lf_rows=_lf_rows(sample, found),
                comment=ord(found.comment) if found.comment else -1,
                header_width=found.width if extras else 0,
                exclusive_types=exclusive_table(table),
                measures=measures,
            )
        compression = inp.compression
    finally:
        inp.close()

    names = _decoded(names_raw, found.encoding, shown, source)

    bom = bool(names) and names[0].startswith(_BOM)
    columns = []
    for position, (raw_name, raw) in enumerate(zip(names, counts_raw)):
        counts = {name: raw.get(name, 0) for name in (*table, "other", "NA")}
        name = raw_name[len(_BOM):] if position == 0 and bom else raw_name
        columns.append(profile_column(name, counts, list(table), threshold, month_first))
    measured: Dict[str, Dict[str, Any]] = {}
    raw_measures = measures.get("columns", {})
    for position, (raw_name, column) in enumerate(zip(names_raw, columns)):
        if column.name not in measured and raw_name in raw_measures:
            measured[column.name] = {**raw_measures[raw_name], "missing": measures["missing"][position]}
    return Profile(
        path=shown,
        delimiter=found.delimiter,
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
        dialect=found,
        shapes={key: value for key, value in {**shapes, "extra_columns": len(extras)}.items() if value},
        measures=measured,
    )


def readings(table: Mapping[str, Sequence[str]]) -> Dict[str, Tuple[str, str, str]]:
    """How the pass measures each type's texts for the loaders' schemas: numbers by their
    separators, datetimes and times for zones and fractions, booleans by spelling; by the
    type's name, as the converters read them. A type another covers is read as the
    covering type reads it (compact dates as integers)."""
    out: Dict[str, Tuple[str, str, str]] = {}
    for name in table:
        kind = kind_of(name)
        if kind in ("integer", "number") or name == COMPACT_DATE:
            group, point = NUMBER_SEPARATORS.get(name, (None, "."))
            out[name] = ("number", group or "", point or "")
        elif kind in ("datetime", "time"):
            out[name] = ("temporal", "", "")
        elif kind == "boolean" or name in ("letter_tf", "letter_yn"):  # letters a boolean column may hold
            out[name] = ("boolean", "", "")
    return out


def _start_of_table(inp: "_native.Input", sample: bytes, found: Dialect) -> Tuple[str, ...]:
    """Moves the input past the lines above the table, and puts a header before a table
    that has none, or an empty first name before a header that leaves out R's row names.
    Where rows of the sample are wider than the header, the header gains a name for each
    field beyond it (extra_1, ...), so that those fields are typed too; returns those names."""
    lf = found.line_ending == "lf"
    start = _line_offset(sample, found.skipped_lines, lf) if found.skipped_lines else 0
    if start:
        inp.skip(start)
    separator = " " if found.delimiter == WHITESPACE else found.delimiter
    if found.header_row is None:
        if found.width > 0:
            inp.prepend((separator.join(found.names) + "\n").encode())
        return ()
    if len(found.names) + 1 == found.width:
        inp.prepend(((found.quote or '"') * 2 + separator).encode())
        return ()
    widest = _widest_row(sample[start:], found)
    if widest <= found.width:
        return ()
    end = _line_offset(sample, found.skipped_lines + 1, lf)
    line = sample[start:end].rstrip(b"\r\n")
    if end >= len(sample) or not line or b"\n" in line or b"\r" in line:
        return ()  # a header that is not one whole line of the sample is left as it is
    extras = tuple(f"extra_{i}" for i in range(1, widest - found.width + 1))
    inp.skip(end - start)
    inp.prepend(line + (separator + separator.join(extras) + "\n").encode())
    return extras


def _lf_rows(sample: bytes, found: Dialect) -> bool:
    """Whether rows end at LF alone. Where the sample's lines end in LF or CR LF and no CR
    stands alone, this reads the sample the same and keeps a CR deeper in the file (pandas
    writes them inside fields) from splitting a row."""
    return found.line_ending == "lf" or b"\r" not in sample.replace(b"\r\n", b"")


def _widest_row(table: bytes, found: Dialect) -> int:
    """The most fields a row of the sample has (its last line left out: it may be cut)."""
    text = table.decode("latin-1")  # one character per byte: delimiters and quotes stay where they are
    if not text.endswith(("\n", "\r")):
        text = text[:max(text.rfind("\n"), text.rfind("\r")) + 1]
    if found.delimiter == WHITESPACE:
        return max((len(_BLANK_FIELD.findall(line)) for line in re.split(r"\r\n|\r|\n", text)), default=0)
    reader = csv.reader(io.StringIO(text, newline=""), delimiter=found.delimiter, quotechar=found.quote or '"',
                        quoting=csv.QUOTE_MINIMAL if found.quote else csv.QUOTE_NONE, strict=False)
    try:
        return max((len(row) for row in reader), default=0)
    except csv.Error:  # a field beyond the csv module's limit: no widening
        return 0


_BLANK_FIELD = re.compile(r'"(?:[^"]|"")*"?[^ \t\r\n]*|[^ \t\r\n]+')


def _line_offset(sample: bytes, lines: int, lf: bool) -> int:
    """The byte offset after the first ``lines`` lines of the sample (quotes not looked at,
    as the dialect counts them)."""
    at = 0
    for _ in range(lines):
        if lf:
            end = sample.find(b"\n", at)
            at = len(sample) if end < 0 else end + 1
            continue
        cr, lf_at = sample.find(b"\r", at), sample.find(b"\n", at)
        ends = [e for e in (cr, lf_at) if e >= 0]
        if not ends:
            return len(sample)
        end = min(ends)
        at = end + 2 if sample[end:end + 2] == b"\r\n" else end + 1
    return at


def _decoded(names_raw: Sequence[bytes], encoding: str, shown: str, source: Source) -> List[str]:
    """The header's names as text: UTF-8, else the encoding the dialect found."""
    try:
        return [raw.decode("utf-8") for raw in names_raw]
    except UnicodeDecodeError as exc:
        if encoding.replace("_", "-").lower() not in ("utf-8", "utf8"):
            try:
                return [raw.decode(encoding) for raw in names_raw]
            except (UnicodeDecodeError, LookupError):
                pass
        hint = f" {shlex.quote(shown)}" if is_path(source) else ""
        raise HeaderEncodingError(
            f"the header of {shown} is not UTF-8 (byte 0x{exc.object[exc.start]:02x} in a column name); "
            f"give its encoding (encoding=, --encoding) or re-encode the file first, e.g. "
            f"iconv -f latin1 -t utf-8{hint} > utf8.csv"
        ) from None


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
