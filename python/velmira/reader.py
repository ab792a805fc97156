"""Typed data at engine speed: a profiled file read again natively, into Arrow batches.

:func:`read` profiles a source (or takes a profile made already) and returns a
:class:`Reader`, an Arrow PyCapsule stream: ``pyarrow.table(reader)``,
``polars.DataFrame(reader)`` and DuckDB's ``SELECT * FROM reader`` take its
columns without a Python object per value. The second pass is the engine's:
the tokenizer reads the file again with the dialect the profile found, and
each field becomes its column's value as its row is read, in batches of
``batch_rows`` rows, so memory stays bounded whatever the file's size.

How each verdict becomes an Arrow type is in ``ARROW_TYPES`` and the README.
Integer and decimal columns lose their separators, percentages are the number
before the ``%``, booleans read the words of ``TRUE_VALUES``/``FALSE_VALUES``
(and ``y``, ``n``, ``on``, ``off``, ``1``, ``0`` in any case, for types of
your own), dates are read by the column's strftime format, ISO datetimes are
UTC timestamps when every zoned value has a zone and naive when none has, and
everything else is text. Missing-value markers and fields a short row lacks
are null.
"""

from __future__ import annotations

import codecs
import os
import secrets
import stat
import warnings
from typing import Any, Dict, Iterator, List, Mapping, Optional, Tuple

from . import _native
from .dialect import WHITESPACE
from .inference import SNIFF_BYTES, _lf_rows, _named, _start_of_table, compile_table, infer
from .profile import EMPTY, ColumnProfile, Profile
from .source import Progress, Source, open_input
from .types import FALSE_VALUES, NUMBER_SEPARATORS, TRUE_VALUES, kind_of
from .profile import accepted_types

#: Rows in a batch unless told otherwise.
BATCH_ROWS = 65_536
#: A batch ends early once its text passes this many bytes, so that wide text columns
#: keep memory bounded too.
BATCH_BYTES = 64 << 20
#: Fields up to this long keep text columns as utf8 (32-bit offsets); beyond it they are
#: large_utf8, since one batch may then pass 2 GiB of text.
_UTF8_FIELD_LIMIT = 1 << 30

#: The Arrow type of each kind of verdict (``velmira.types.kind_of``), and of the rest.
ARROW_TYPES: Mapping[str, str] = {
    "integer": "int64",
    "number": "float64 (decimal128(precision, scale) with decimals='exact')",
    "boolean": "bool",
    "date": "date32",
    "datetime": "timestamp[us] (naive), or timestamp[us, UTC] when the values carry zones",
    "time": "time64[us] (in UTC when the values carry zones)",
    "text": "utf8 (large_utf8 where max_field_size passes 1 GiB): every other type",
}

# Words of the booleans of the user's own types; the default ones are TRUE_VALUES and FALSE_VALUES.
_MORE_TRUE = ("true", "t", "yes", "y", "1", "on")
_MORE_FALSE = ("false", "f", "no", "n", "0", "off")

_ON_ERROR = ("null", "raise")


class ConversionWarning(UserWarning):
    """Some values were not of their column's type and were read as null (``on_error="null"``)."""


def read(
    source: Source,
    profile: Optional[Profile] = None,
    *,
    on_error: str = "null",
    decimals: str = "float",
    batch_rows: int = BATCH_ROWS,
    progress: Optional[Progress] = None,
    **options: Any,
) -> "Reader":
    """Profile ``source`` (with ``velmira.infer``'s ``options``) and return a :class:`Reader` of
    its typed values; or, given ``profile`` (of that source, e.g. made by ``infer``), only the reader.

    ``on_error``: what a text its column's type does not take becomes, which
    happens only where the profile's threshold is below 1 (or the file changed
    since it was profiled): ``"null"`` (counted in ``reader.errors`` and said
    by a ``ConversionWarning`` when one of the reader's own methods reads it) or
    ``"raise"`` (ValueError naming the row and column). ``progress`` is called
    as ``infer`` calls it, during the profile and during every read.
    ``decimals``: ``"float"`` reads decimal and percentage columns as float64;
    ``"exact"`` as decimal128 with the precision and scale their values need
    (measured by a pass when the reader is made), or float64 where a value has
    an exponent or needs more than 38 digits (``reader.notes`` says so).

    The source must be a file that can be read again (not standard input or a
    file object): ValueError otherwise.
    """
    if profile is None:
        if not _rereadable(source):
            raise ValueError("read() reads the file a second time, so it needs a path, not standard input or a "
                             "file object: save it to a file first")
        profile = infer(source, progress=progress, **options)
    elif options:
        raise TypeError(f"read() was given a profile, so it takes no options of infer: {', '.join(sorted(options))}")
    return Reader(profile, on_error=on_error, decimals=decimals, batch_rows=batch_rows, progress=progress,
                  max_field_size=options.get("max_field_size"))


def _rereadable(source: Source) -> bool:
    return isinstance(source, (str, bytes, os.PathLike)) and not (isinstance(source, str) and source == "-")


def _regular(path: str) -> bool:
    """Whether ``path`` is a file that gives its bytes again; a path gone since its profile
    counts as one, for the read to name it when it fails."""
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return True


class Reader:
    """The typed values of a profiled file, as Arrow record batches.

    Every read (``__arrow_c_stream__``, ``to_arrow()``, ...) is a new pass over
    the file. ``schema`` is the batches' schema (``__arrow_c_schema__``);
    ``notes`` says, per column, why a column of a typed verdict is read as
    text; ``errors`` counts, per column, the values the latest pass read as
    null because their column's type does not take them, and ``replaced`` the
    texts whose invalid UTF-8 was replaced by U+FFFD.
    """

    def __init__(self, profile: Profile, on_error: str = "null", decimals: str = "float",
                 batch_rows: int = BATCH_ROWS, progress: Optional[Progress] = None,
                 max_field_size: Optional[int] = None) -> None:
        if on_error not in _ON_ERROR:
            raise ValueError(f"on_error must be 'null' or 'raise', not {on_error!r}")
        if decimals not in ("float", "exact"):
            raise ValueError(f"decimals must be 'float' or 'exact', not {decimals!r}")
        if isinstance(batch_rows, bool) or not isinstance(batch_rows, int) or batch_rows < 1:
            raise ValueError(f"batch_rows must be a whole number, 1 or more, not {batch_rows!r}")
        if progress is not None and not callable(progress):
            raise TypeError("progress must be a callable taking (bytes read, total bytes or None)")
        for part in profile.parts or (profile,):
            if not part.rereadable or not _regular(part.path):
                raise ValueError(f"{part.path} can be read only once (standard input, a file object, a pipe or "
                                 "a device), and the reader reads it a second time: save it to a file first")
        names = profile.column_names
        if len(set(names)) != len(names):
            repeated = next(name for name in names if names.count(name) > 1)
            raise ValueError(f"column name {repeated!r} appears more than once; the reader needs distinct names")
        from .inference import DEFAULT_MAX_FIELD_SIZE

        self.profile = profile
        self.on_error = on_error
        self.decimals = decimals
        self.batch_rows = batch_rows
        self.progress = progress
        self.max_field_size = DEFAULT_MAX_FIELD_SIZE if max_field_size is None else max_field_size
        self._table = compile_table(profile.types)[1]
        self.notes: Dict[str, str] = {}
        self.errors: Dict[str, int] = {}
        self.replaced: Dict[str, int] = {}
        self._latest: List[Tuple[Profile, Any]] = []
        measured = self._measure()
        self._plans = [self._plan(column, measured.get(column.name)) for column in profile.columns]

    def __repr__(self) -> str:
        return f"<velmira.Reader of {self.profile.path}: {self.schema!r}>"

    # --- the consumers' side ----------------------------------------------------------

    @property
    def schema(self) -> "ReaderSchema":
        """The batches' schema, as an object with ``__arrow_c_schema__``."""
        return ReaderSchema(self)

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        """A new pass over the file, as an ``arrow_array_stream`` capsule. ``requested_schema``
        is not looked at: the batches come in the reader's own schema."""
        return self._stream(own=False)

    def to_arrow(self) -> Any:
        """The whole file as a ``pyarrow.Table``."""
        pa = _import("pyarrow", "arrow")
        return self._consume(lambda stream: pa.RecordBatchReader.from_stream(stream).read_all())

    def to_batches(self) -> Iterator[Any]:
        """The file's ``pyarrow.RecordBatch`` es, one at a time, in bounded memory (of several
        files, each widened to the union of their columns)."""
        pa = _import("pyarrow", "arrow")
        reads = []
        for part, read in self._passes():
            reads.append((part, read))
            try:
                for batch in pa.RecordBatchReader.from_stream(_Capsule(read.stream(True))):
                    yield self._widened(pa, batch, part)
            except Exception:
                _reraise(read)
                raise
            _reraise(read)
        self._finish(reads)

    def to_polars(self) -> Any:
        """The whole file as a ``polars.DataFrame``."""
        pl = _import("polars", "polars")
        if self.profile.parts:
            return pl.from_arrow(self.to_arrow())
        return self._consume(lambda stream: pl.DataFrame(stream))

    def to_pandas(self) -> Any:
        """The whole file as a ``pandas.DataFrame`` with nullable dtypes (``Int64``,
        ``Float64``, ``boolean``, ``string``), dates and timestamps as ``datetime64``."""
        pd = _import("pandas", "pandas")
        pa = _import("pyarrow", "arrow")
        mapping = {pa.int64(): pd.Int64Dtype(), pa.float64(): pd.Float64Dtype(), pa.bool_(): pd.BooleanDtype(),
                   pa.string(): pd.StringDtype(), pa.large_string(): pd.StringDtype()}
        return self.to_arrow().to_pandas(types_mapper=mapping.get, date_as_object=False)

    def to_parquet(self, path: Any, **options: Any) -> None:
        """Write the file to Parquet at ``path``, batch by batch; the file appears only when
        the whole read succeeds (it is written beside ``path`` and renamed). ``options`` go
        to ``pyarrow.parquet.ParquetWriter``."""
        pq = _import("pyarrow.parquet", "arrow")
        with replaced_atomically(path) as aside:
            with pq.ParquetWriter(aside, self.arrow_schema(), **options) as writer:
                for batch in self.to_batches():
                    writer.write_batch(batch)

    def arrow_schema(self) -> Any:
        """The batches' schema as a ``pyarrow.Schema``."""
        pa = _import("pyarrow", "arrow")
        return pa.schema(self.schema)

    def counts(self) -> Dict[str, int]:
        """Per column, the values the pass in progress (or the latest) has read as null so far
        because the column's type does not take them; for streams taken by other consumers."""
        found: Dict[str, int] = {}
        for part, read in self._latest:
            for column, counts in zip(part.column_names, read.counts()):
                if counts["errors"]:
                    found[column] = found.get(column, 0) + counts["errors"]
        return found

    # --- the passes ---------------------------------------------------------------------

    def _passes(self) -> Iterator[Tuple[Profile, Any]]:
        for part in self.profile.parts or (self.profile,):
            read = self._open(part, self._plans_for(part))
            self._latest = [(part, read)]
            yield part, read

    def _stream(self, own: bool) -> Any:
        if self.profile.parts:
            # Several files: their batches widened to the union of their columns, through pyarrow.
            pa = _import("pyarrow", "arrow")
            stream = pa.RecordBatchReader.from_batches(self.arrow_schema(), self.to_batches())
            return stream.__arrow_c_stream__()
        part, read = next(self._passes())
        return read.stream(own)

    def _consume(self, body: Any) -> Any:
        if self.profile.parts:
            pa = _import("pyarrow", "arrow")
            return body(pa.Table.from_batches(list(self.to_batches()), schema=self.arrow_schema()))
        part, read = next(self._passes())
        try:
            result = body(_Capsule(read.stream(True)))
        except Exception:
            _reraise(read)
            raise
        _reraise(read)
        self._finish([(part, read)])
        return result

    def _finish(self, reads: List[Tuple[Profile, Any]]) -> None:
        """The counts of a whole read, and a warning for the values it read as null."""
        errors: Dict[str, int] = {}
        replaced: Dict[str, int] = {}
        firsts = []
        for part, read in reads:
            for column, counts in zip(part.column_names, read.counts()):
                if counts["errors"]:
                    errors[column] = errors.get(column, 0) + counts["errors"]
                    text = counts["first_error"].decode("utf-8", "replace")
                    firsts.append(f"{column!r} ({counts['errors']}, the first {text!r} on row "
                                  f"{counts['first_error_row']})")
                if counts["replaced"]:
                    replaced[column] = replaced.get(column, 0) + counts["replaced"]
        self.errors, self.replaced = errors, replaced
        if firsts:
            warnings.warn(ConversionWarning(
                "values not of their column's type were read as null: " + "; ".join(firsts)), stacklevel=3)
        if replaced:
            warnings.warn(ConversionWarning(
                "texts that are not valid UTF-8 had their bad bytes replaced by U+FFFD: "
                + ", ".join(f"{name!r} ({n})" for name, n in replaced.items())), stacklevel=3)

    def _plans_for(self, part: Profile) -> List[Dict[str, Any]]:
        if not self.profile.parts:
            return self._plans
        # A part is read with its own columns, each typed by the merged verdict.
        by_name = dict(zip(self.profile.column_names, self._plans))
        return [by_name[name] for name in part.column_names]

    def _widened(self, pa: Any, batch: Any, part: Profile) -> Any:
        if not self.profile.parts:
            return batch
        schema = self.arrow_schema()
        present = set(part.column_names)
        columns = [batch.column(name) if name in present else pa.nulls(batch.num_rows, field.type)
                   for name, field in zip(self.profile.column_names, schema)]
        return pa.RecordBatch.from_arrays(columns, schema=schema)

    def _open(self, part: Profile, plans: List[Dict[str, Any]]) -> Any:
        """A native pass over ``part``, its input moved to the table's header row."""
        dialect = part.dialect
        inp = open_input(part.path)
        try:
            sample = inp.peek(SNIFF_BYTES)
            if dialect is not None:
                _start_of_table(inp, sample, dialect)
            delimiter = part.delimiter if dialect is None else dialect.delimiter
            options = {
                "delimiter": " " if delimiter == WHITESPACE else delimiter,
                "quote": '"' if dialect is None else (dialect.quote or "\0"),
                "blank_runs": delimiter == WHITESPACE,
                "lf_rows": dialect is not None and _lf_rows(sample, dialect),
                "comment": ord(dialect.comment) if dialect is not None and dialect.comment else -1,
                "max_field_size": self.max_field_size,
                "na_values": [marker.encode("utf-8", "surrogateescape") for marker in part.na_values],
                "encoding": _encoding(part),
                "raise_on_error": self.on_error == "raise",
                "batch_rows": self.batch_rows,
                "batch_bytes": BATCH_BYTES,
            }
            return _native.TypedRead(inp, part.column_names, plans, options, self._table, self.progress)
        finally:
            inp.close()

    def _measure(self) -> Dict[str, Dict[str, int]]:
        """What the types of some columns depend on, read from the file by a pass that converts
        nothing: whether ISO datetimes and times carry zones, and with exact decimals, the
        digits the decimal columns need."""
        zones = {c.name for c in self.profile.columns
                 if kind_of(c.type) in ("datetime", "time") and c.format is None}
        # Integers: whether one is beyond 64 bits, where the profile's pass did not say.
        digits = {c.name for c in self.profile.columns
                  if (self.decimals == "exact" and kind_of(c.type) == "number") or kind_of(c.type) == "integer"}
        from_pass = _measured_by_the_pass(self.profile)
        if from_pass is not None:
            return from_pass
        if not zones and not digits:
            return {}
        measured: Dict[str, Dict[str, int]] = {}
        for part in self.profile.parts or (self.profile,):
            plans = []
            for name in part.column_names:
                column = self.profile.column(name)
                plan: Dict[str, Any] = {"kind": "skip", "type": "utf8"}
                if name in zones:
                    plan["kind"] = "zone_probe"
                elif name in digits:
                    plan.update(self._number(column), kind="decimal_probe", type="utf8")
                plan.update(self._accepted(column))
                plans.append(plan)
            read = self._open(part, plans)
            read.drain()
            for name, counts in zip(part.column_names, read.counts()):
                total = measured.setdefault(name, {"zoned": 0, "naive": 0, "end_of_day": 0, "whole": 0, "scale": 0,
                                                   "exponents": 0, "beyond_int64": 0})
                for key in ("zoned", "naive", "end_of_day", "exponents", "beyond_int64"):
                    total[key] += counts[key]
                for key in ("whole", "scale"):
                    total[key] = max(total[key], counts[key])
        return measured

    @staticmethod
    def _number(column: ColumnProfile) -> Dict[str, Any]:
        group, point = NUMBER_SEPARATORS.get(column.type, (None, "."))
        return {"group": group or "", "point": point or ".", "percent": column.type == "percent"}

    def _accepted(self, column: ColumnProfile) -> Dict[str, Any]:
        # At the threshold of 1 every value is of the column's types: nothing to check.
        if self.profile.threshold >= 1.0:
            return {}
        return {"accepted": sorted(accepted_types(column) & set(self.profile.types))}

    def _plan(self, column: ColumnProfile, measured: Optional[Dict[str, int]]) -> Dict[str, Any]:
        text = {"kind": "text", "type": "large_utf8" if self.max_field_size > _UTF8_FIELD_LIMIT else "utf8"}
        kind = kind_of(column.type)
        if column.type == EMPTY or kind is None:
            return text
        plan: Dict[str, Any] = dict(self._accepted(column))
        if kind in ("integer", "number"):
            plan.update(self._number(column))
            if kind == "integer":
                plan.update(self._integer(column, measured or {}))
            elif self.decimals == "exact":
                plan.update(self._exact(column, measured or {}))
            else:
                plan.update(kind="float64", type="float64")
            return plan
        if kind == "boolean":
            default = tuple(self.profile.types.get(column.type, ())) == tuple(_default_boolean())
            plan.update(kind="bool", type="bool",
                        true_words=list(TRUE_VALUES) + ([] if default else list(_MORE_TRUE)),
                        false_words=list(FALSE_VALUES) + ([] if default else list(_MORE_FALSE)))
            return plan
        if column.format is not None:
            why = _native.check_date_format(column.format)
            if why is not None:
                self.notes[column.name] = f"read as text: {why} (format {column.format!r})"
                return text
            if kind == "date":
                plan.update(kind="date", type="date32", format=column.format)
            elif kind == "datetime":
                plan.update(kind="timestamp", type="timestamp_utc" if "%z" in column.format else "timestamp",
                            format=column.format)
            else:
                plan.update(kind="time", type="time64", format=column.format, zoned="%z" in column.format)
            return plan
        if kind == "date":
            self.notes[column.name] = "read as text: its date type has no format"
            return text
        zoned, naive = (measured or {}).get("zoned", 0), (measured or {}).get("naive", 0)
        end_of_day = (measured or {}).get("end_of_day", 0)
        if end_of_day:
            self.notes[column.name] = (f"read as text: {end_of_day} values are 24:00, the end of a day, "
                                       "which no time64 value is")
            return text
        if zoned and naive:
            self.notes[column.name] = (f"read as text: {zoned} values carry a zone and {naive} do not, "
                                       "so no single timestamp type holds them all")
            return text
        if kind == "datetime":
            plan.update(kind="timestamp", type="timestamp_utc" if zoned else "timestamp", iso=True)
        else:
            plan.update(kind="time", type="time64", zoned=bool(zoned), iso=True)
            if zoned:
                self.notes[column.name] = "times carry zones: read as the time of day in UTC"
        return plan


    def _integer(self, column: ColumnProfile, measured: Dict[str, int]) -> Dict[str, Any]:
        low, high = measured.get("min_int", 0), measured.get("max_int", 0)
        if -2**63 <= low and high < 2**63 and not measured.get("beyond_int64"):
            return {"kind": "int64", "type": "int64"}
        digits = max(len(str(abs(low))), len(str(abs(high))), measured.get("whole", 0))
        if digits <= 38:
            self.notes[column.name] = "read as decimal128: its values go beyond 64 bits"
            return {"kind": "decimal", "type": f"decimal128:{digits},0"}
        self.notes[column.name] = f"read as text: its values have up to {digits} digits, beyond decimal128's 38"
        return {"kind": "text", "type": "large_utf8" if self.max_field_size > _UTF8_FIELD_LIMIT else "utf8"}

    def _exact(self, column: ColumnProfile, measured: Dict[str, int]) -> Dict[str, Any]:
        whole, scale = measured.get("whole", 0), measured.get("scale", 0)
        if measured.get("exponents"):
            self.notes[column.name] = f"read as float64: {measured['exponents']} values have an exponent"
        elif whole + scale > 38:
            self.notes[column.name] = f"read as float64: its values need {whole + scale} digits, beyond decimal128's 38"
        else:
            return {"kind": "decimal", "type": f"decimal128:{max(whole + scale, 1)},{scale}"}
        return {"kind": "float64", "type": "float64"}


def _measured_by_the_pass(profile: Profile) -> Optional[Dict[str, Dict[str, int]]]:
    """What the profile's own pass measured, where it measured what the reader needs
    (``Profile.measures``, for tables whose types no text matches two of); else None."""
    from .schema import _from_the_pass

    stats = _from_the_pass(profile)
    if stats is None:
        return None
    measured: Dict[str, Dict[str, int]] = {}
    for column in profile.columns:
        s = stats[column.name]
        measured[column.name] = {
            "zoned": s.zoned, "naive": s.naive, "end_of_day": column.counts.get("time_end_of_day", 0),
            "whole": s.int_digits, "scale": s.scale, "exponents": int(s.exponent),
            **({"min_int": s.min_int, "max_int": s.max_int} if s.min_int is not None else {}),
        }
    return measured


def _default_boolean() -> Tuple[str, ...]:
    from .types import DEFAULT_TYPES

    return tuple(DEFAULT_TYPES["boolean"])


def _encoding(profile: Profile) -> str:
    """How the reader decodes text values: the encoding the dialect found for the header."""
    if profile.dialect is None:
        return "utf-8"
    name = profile.dialect.encoding
    try:
        canonical = codecs.lookup(name).name
    except LookupError:
        raise ValueError(f"{profile.path}: unknown encoding {name!r}") from None
    if canonical in ("utf-8", "ascii"):
        return "utf-8"
    if canonical == "cp1252":
        return "cp1252"
    if canonical in ("iso8859-1", "latin-1"):
        return "latin-1"
    raise ValueError(f"{profile.path} is read as {name}; the reader reads UTF-8, cp1252 and Latin-1 text: "
                     f"re-encode the file first, e.g. iconv -f {name} -t utf-8")


class ReaderSchema:
    """A reader's schema: ``pyarrow.schema(reader.schema)`` and other consumers of
    ``__arrow_c_schema__`` take it."""

    def __init__(self, reader: Reader) -> None:
        self.names = reader.profile.column_names
        #: Per column its Arrow type's name: int64, float64, bool, date32, timestamp,
        #: timestamp_utc, time64, utf8 or large_utf8.
        self.types = [plan["type"] for plan in reader._plans]

    def __arrow_c_schema__(self) -> Any:
        return _native.arrow_schema(self.names, self.types)

    def __repr__(self) -> str:
        return "ReaderSchema(" + ", ".join(f"{name}: {kind}" for name, kind in zip(self.names, self.types)) + ")"


def _reraise(read: Any) -> None:
    """What stopped a pass, as it was raised (Ctrl-C, the progress callback's exception, a bad
    value with on_error="raise", a damaged file), in place of the consumer's report of it."""
    try:
        read.reraise()
    except BaseException as exc:
        raise exc from None


class _Capsule:
    """A stream capsule made already, for consumers that ask an object for one."""

    def __init__(self, capsule: Any) -> None:
        self._capsule = capsule

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        capsule, self._capsule = self._capsule, None
        if capsule is None:
            raise ValueError("this stream was taken already")
        return capsule


def _import(module: str, extra: str) -> Any:
    try:
        import importlib

        return importlib.import_module(module)
    except ImportError:
        raise ImportError(f"this output needs {module.split('.')[0]}: pip install 'velmira[{extra}]'") from None


class replaced_atomically:
    """A path beside ``target`` to write; renamed to ``target`` when the block completes,
    removed when it fails or is interrupted, so that no partial file is ever left."""

    def __init__(self, target: Any) -> None:
        self.target = os.path.realpath(os.fspath(target))
        self.given = os.fspath(target)
        directory = os.path.dirname(self.target)
        if os.path.isdir(self.target):
            raise IsADirectoryError(21, os.strerror(21), self.given)
        if not os.path.isdir(directory):
            raise FileNotFoundError(2, os.strerror(2), self.given)
        self.aside = os.path.join(directory, f".velmira-out-{os.getpid()}-{secrets.token_hex(4)}.tmp")

    def __enter__(self) -> str:
        try:
            open(self.aside, "xb").close()
        except OSError as exc:
            raise _named(exc, self.given) from None
        return self.aside

    def __exit__(self, kind: Any, exc: Any, traceback: Any) -> None:
        if kind is None:
            try:
                os.replace(self.aside, self.target)
                return
            except OSError as error:
                self._remove()
                raise _named(error, self.given) from None
        self._remove()

    def _remove(self) -> None:
        try:
            os.unlink(self.aside)
        except OSError:
            pass
