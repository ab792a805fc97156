"""The profile of a file: per column the engine's counts and the type chosen from them.

A profile is plain data, with no I/O and no engine behind it: :func:`velmira.infer`
makes one from a pass, :func:`merge` makes one from others, and the outputs read it
(the Table Schema here; SQL, JSON Schema and the dataframe types in :mod:`velmira.schema`).
"""

from __future__ import annotations

import copy
import dataclasses
import json
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import TYPE_CHECKING, Any, Dict, FrozenSet, Iterable, List, Mapping, Optional, Sequence, Tuple

from .types import (
    COVERS,
    DATE_FORMATS,
    DATE_ORDERS,
    DEFAULT_TYPES,
    FALSE_VALUES,
    FOLDED,
    NUMBER_SEPARATORS,
    PADDED_NUMBERS,
    TRUE_VALUES,
    UNPADDED,
    default_types,
    kind_of,
)

if TYPE_CHECKING:  # the outputs for loaders build on the model, not the other way round
    from .schema import ColumnStats

#: The verdict for a column whose values no single type covers well enough.
STRING = "string"
#: The verdict for a column without a single non-missing value.
EMPTY = "empty"
# "NA" and "other" are the engine's own names; the two verdicts must not be
# mistaken for a user type either.
RESERVED_TYPE_NAMES = frozenset({"NA", "other", STRING, EMPTY})

# Tables known to hold no text that matches two of their types.
_EXCLUSIVE_TABLES = (DEFAULT_TYPES, default_types(compact_dates=True))


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
    miss: that a column holds both day-first and month-first dates, which
    order was assumed for dates that read either way, how two-digit years
    are read, that numbers have blanks around them or that a time is 24:00.
    ``padded`` is true for an integer or decimal verdict some of whose
    values have blanks around them, which a loader must trim.
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
    padded: bool = False

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
            "padded": self.padded,
            "note": self.note,
            **({"present_in": list(self.present_in)} if self.present_in else {}),
        }


def dialect_dict(dialect: Any) -> Dict[str, Any]:
    """A dialect as plain data for JSON, with the settings that were guessed."""
    return {
        "delimiter": dialect.delimiter,
        "quote": dialect.quote,
        "line_ending": dialect.line_ending,
        "header_row": dialect.header_row,
        "skipped_lines": dialect.skipped_lines,
        "comment": dialect.comment,
        "encoding": dialect.encoding,
        "guessed": sorted(dialect.guessed),
    }


def csv_dialect(dialect: Any) -> Dict[str, Any]:
    """A dialect in the terms of a Frictionless CSV Dialect."""
    described: Dict[str, Any] = {
        "delimiter": " " if dialect.delimiter == "whitespace" else dialect.delimiter,
        "header": dialect.header_row is not None,
        "lineTerminator": "\n" if dialect.line_ending == "lf" else "\r\n",
    }
    if dialect.delimiter == "whitespace":
        described["skipInitialSpace"] = True
    if dialect.quote:
        described["quoteChar"] = dialect.quote
        described["doubleQuote"] = True
    if dialect.comment:
        described["commentChar"] = dialect.comment
    return described


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
    #: How the file was read: the dialect found or given (delimiter, quote, line
    #: ending, header row, lines skipped, comments, header encoding), as
    #: ``velmira.dialect.Dialect``; None for a merged profile.
    dialect: Optional[Any] = field(default=None, compare=False, repr=False)
    #: Rows the header's width does not describe, counted so that nothing is
    #: dropped unsaid: ``wider`` (with ``first_wider``, the first such row,
    #: and ``widest``, its most fields; the fields beyond the header are not
    #: typed), ``narrower`` (``first_narrower``), ``blank`` lines (not rows)
    #: ``comments`` (lines left out), ``headers`` (repeats of the header inside
    #: the data, not rows; ``first_header``) and ``extra_columns`` (the columns
    #: ``extra_1``, ... named for fields beyond the header that rows of the
    #: file's first 64 KiB hold). Row numbers count the header as 1.
    shapes: Mapping[str, int] = field(default_factory=dict, compare=False)
    #: What the pass measured for the loaders' schemas, per column name: the
    #: longest text (``max_bytes``, ``max_chars``), the data rows too short to
    #: reach the column (``missing``) and, per type, its integers' range, its
    #: numbers' digits, its datetimes' zones and fractions, its booleans'
    #: spellings (``types``); None where nothing was measured. The SQL, JSON
    #: Schema and dataframe outputs read it instead of the file (see
    #: :func:`velmira.schema.measure`).
    measures: Optional[Mapping[str, Mapping[str, Any]]] = field(default=None, compare=False, repr=False)

    def merge(self, *others: "Profile") -> "Profile":
        """This profile merged with others: see :func:`merge`."""
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
            **({"dialect": dialect_dict(self.dialect)} if self.dialect is not None else {}),
            **({"shapes": dict(self.shapes)} if self.shapes else {}),
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
        fields = [{"name": column.name, **table_schema_field(column, self.types)} for column in self.columns]
        return {"fields": fields, "missingValues": list(self.na_values)}

    def to_table_resource(self) -> Dict[str, Any]:
        """A Frictionless Tabular Data Resource: the Table Schema with the file's path,
        encoding and CSV dialect as this profile read them."""
        resource: Dict[str, Any] = {"path": self.path, "profile": "tabular-data-resource",
                                    "schema": self.to_table_schema()}
        if self.dialect is not None:
            resource["encoding"] = self.dialect.encoding
            resource["dialect"] = csv_dialect(self.dialect)
        return resource

    # The outputs for loaders live in velmira.schema, which imports its
    # libraries only when one of them is asked for.

    def measure(self) -> Dict[str, ColumnStats]:
        """Read the file a second time for what the counts cannot tell; see :func:`velmira.schema.measure`."""
        from .schema import measure

        return measure(self)

    def read(self, **options: Any) -> Any:
        """The file's typed values as Arrow batches; see :func:`velmira.read`."""
        from .reader import Reader

        return Reader(self, **options)

    def to_sql(self, dialect: str, table: Optional[str] = None,
               stats: Optional[Mapping[str, ColumnStats]] = None) -> str:
        """A CREATE TABLE statement; see :func:`velmira.schema.to_sql`."""
        from .schema import to_sql

        return to_sql(self, dialect, table=table, stats=stats)

    def to_json_schema(self) -> Dict[str, Any]:
        """A JSON Schema (draft 2020-12) for one row; see :func:`velmira.schema.to_json_schema`."""
        from .schema import to_json_schema

        return to_json_schema(self)

    def to_arrow_schema(self, stats: Optional[Mapping[str, ColumnStats]] = None) -> Any:
        """A ``pyarrow.Schema``; see :func:`velmira.schema.to_arrow_schema`."""
        from .schema import to_arrow_schema

        return to_arrow_schema(self, stats=stats)

    def to_polars_schema(self, stats: Optional[Mapping[str, ColumnStats]] = None) -> Any:
        """A ``polars.Schema``; see :func:`velmira.schema.to_polars_schema`."""
        from .schema import to_polars_schema

        return to_polars_schema(self, stats=stats)

    def to_pandas_dtypes(self, stats: Optional[Mapping[str, ColumnStats]] = None) -> Dict[str, Any]:
        """Column name to pandas dtype; see :func:`velmira.schema.to_pandas_dtypes`."""
        from .schema import to_pandas_dtypes

        return to_pandas_dtypes(self, stats=stats)


def profile_column(
    name: str, counts: Dict[str, int], type_names: Sequence[str], threshold: float, month_first: bool = False
) -> ColumnProfile:
    """The verdict on a column from its counts (every type of ``type_names``, in the
    order that breaks ties, then "other" and "NA"), as :func:`velmira.infer` describes it."""
    present = sum(counts.values()) - counts["NA"]
    if present == 0:
        return ColumnProfile(name, EMPTY, None, 0.0, counts)

    covers, notes = _covers(counts, type_names)

    def covered(type_name: str) -> int:
        return counts[type_name] + sum(counts[t] for t in covers[type_name])

    candidates = [t for t in type_names if FOLDED.get(t) not in counts]
    ranked = sorted(candidates, key=lambda t: (-covered(t), -counts[t], type_names.index(t)))
    if not ranked or covered(ranked[0]) == 0:
        return ColumnProfile(name, STRING, None, 0.0, counts, note="; ".join(notes) or None)
    best = ranked[0]
    share = covered(best) / present
    verdict = best if share >= threshold else STRING
    fmt = DATE_FORMATS.get(verdict)
    for day_first, month_first_type, either in DATE_ORDERS:
        if verdict == either:
            fmt = DATE_FORMATS[month_first_type if month_first else day_first]
            order = "month-first" if month_first else "day-first"
            notes = [f"day and month are both 12 or less in every date: read {order} ({fmt})"]
    if fmt and "%y" in fmt:
        notes.append("two-digit years are read as %y reads them: 00-68 as 2000-2068, 69-99 as 1969-1999")
    accepted = {verdict, *covers.get(verdict, ())}
    blanks = sum(counts[t] for t in PADDED_NUMBERS if t in accepted)
    if blanks:
        notes.append(f"{blanks} {_plural_values(blanks)} with blanks around the number: trim before reading")
    if "time_end_of_day" in accepted and counts["time_end_of_day"]:
        notes.append("24:00 ends a day here: read as 23:59:59.999999 of that day")
    return ColumnProfile(name, verdict, best, share, counts, format=fmt, note="; ".join(notes) or None,
                         padded=bool(blanks))


# Day-month families: the triples of DATE_ORDERS whose types share a format up
# to the order, the padded ones with their unpadded twins. The evidence of
# order is the family's: "5/19/2006" proves month-first for "01/02/2006" too.
_DATE_FAMILIES: Tuple[Tuple[Tuple[str, str, str], ...], ...] = tuple(
    tuple(triple for triple in DATE_ORDERS if UNPADDED.get(triple[0], triple[0]) == key)
    for key in dict.fromkeys(UNPADDED.get(triple[0], triple[0]) for triple in DATE_ORDERS)
)


def _covers(counts: Mapping[str, int], type_names: Sequence[str]) -> Tuple[Dict[str, List[str]], List[str]]:
    """For each type, the types whose values count towards it in a column with
    these counts; and the notes on day-first and month-first dates that clash."""
    covers = {t: [c for c in COVERS.get(t, ()) if c in counts] for t in type_names}
    for unpadded, padded in UNPADDED.items():
        if unpadded in covers and padded in covers:
            covers[unpadded].append(padded)
            covers[padded].append(unpadded)
    # One letter is a boolean only beside its partner: T with F, Y with N.
    # A column of F and M, or of Y and T, holds letters.
    letters = [t for t in ("letter_tf", "letter_yn") if t in covers]
    pair = [t for t in letters if counts[t]]
    if "boolean" in covers and len(pair) == 1 and not counts.get("letter"):
        covers["boolean"].extend(pair)
    elif "letter" in covers:
        covers["letter"].extend(letters)
    conflicts = []
    for family in _DATE_FAMILIES:
        family = tuple(triple for triple in family if all(t in covers for t in triple))
        days = sum(counts[d] for d, _, _ in family)
        months = sum(counts[m] for _, m, _ in family)
        eithers = [e for _, _, e in family]
        if days and not months:
            for day_first, _, _ in family:
                covers[day_first].extend(eithers)
        elif months and not days:
            for _, month_first, _ in family:
                covers[month_first].extend(eithers)
        elif days and months:
            day_types = ", ".join(d for d, _, _ in family if counts[d])
            month_types = ", ".join(m for _, m, _ in family if counts[m])
            conflicts.append(f"{days} {_plural_values(days)} can only be day-first ({day_types}) and "
                             f"{months} only month-first ({month_types})")
    return covers, conflicts


def accepted_types(column: ColumnProfile) -> FrozenSet[str]:
    """The types whose texts ``column``'s verdict reads: the verdict itself and the
    types that counted towards it, or could have (the either-way dates of a
    column whose order is sure)."""
    type_names = [t for t in column.counts if t not in ("NA", "other")]
    covers, _ = _covers(column.counts, type_names)
    accepted = {column.type, *covers.get(column.type, ())}
    for family in _DATE_FAMILIES:
        if any(column.type in triple[:2] for triple in family):
            accepted.update(either for _, _, either in family)
    return frozenset(accepted)


def _plural_values(count: int) -> str:
    return "value" if count == 1 else "values"


def merge(profiles: Iterable[Profile]) -> Profile:
    """The profiles of several files merged into one.

    Columns are matched by name; the merged profile has every name that any
    file has, in the order first met, and each column's ``present_in`` lists
    the files that have it (its counts are theirs alone). Repeated names within
    one file already share one count table, and merge into one column. Rows are
    summed and every verdict is made again from the merged counts.
    ``merge_exact`` says whether the merged counts are those of one pass over
    all the files: true for the default types, which no text matches two of;
    for other types it holds only when no text of the files matches two types
    (see :func:`velmira.check_exclusive`), and ``merge_exact`` is False.

    All profiles must have been made with the same types, missing-value
    markers, threshold and date order; ValueError otherwise.
    """
    parts: List[Profile] = []
    for profile in profiles:
        parts.extend(profile.parts or (profile,))
    if not parts:
        raise ValueError("nothing to merge")
    first = parts[0]
    for part in parts[1:]:
        for what in ("types", "na_values", "threshold", "month_first"):
            if getattr(part, what) != getattr(first, what):
                raise ValueError(f"cannot merge {part.path} with {first.path}: they were profiled with "
                                 f"different {what.replace('_', ' ')}")
    type_names = list(first.types)
    counts: Dict[str, Dict[str, int]] = {}
    present: Dict[str, List[str]] = {}
    for part in parts:
        seen = set()
        for column in part.columns:
            if column.name in seen:  # a repeated name: one table, counted once
                continue
            seen.add(column.name)
            total = counts.setdefault(column.name, {name: 0 for name in (*type_names, "other", "NA")})
            for name, count in column.counts.items():
                total[name] = total.get(name, 0) + count
            present.setdefault(column.name, []).append(part.path)
    columns = []
    for name, total in counts.items():
        column = profile_column(name, total, type_names, first.threshold, first.month_first)
        columns.append(dataclasses.replace(column, present_in=tuple(present[name])))
    delimiters = {part.delimiter for part in parts}
    compressions = {part.compression for part in parts}
    return Profile(
        path=f"{len(parts)} files" if len(parts) != 1 else first.path,
        delimiter=delimiters.pop() if len(delimiters) == 1 else "",
        rows=sum(part.rows for part in parts),
        columns=tuple(columns),
        types=first.types,
        na_values=first.na_values,
        threshold=first.threshold,
        bom=any(part.bom for part in parts),
        month_first=first.month_first,
        compression=compressions.pop() if len(compressions) == 1 else None,
        rereadable=all(part.rereadable for part in parts),
        parts=tuple(parts),
        merge_exact=exclusive_table(first.types),
        measures=_merged_measures(parts, list(counts)),
    )


def _merged_measures(parts: Sequence[Profile], names: Sequence[str]) -> Optional[Dict[str, Dict[str, Any]]]:
    """The parts' measures as one pass over all of them would give them; None unless every
    part has them. A part without a column misses it in every row."""
    if any(part.measures is None for part in parts):
        return None
    merged: Dict[str, Dict[str, Any]] = {}
    for name in names:
        total: Dict[str, Any] = {"max_bytes": 0, "max_chars": 0, "missing": 0, "types": {}}
        for part in parts:
            m = part.measures.get(name)
            if m is None:
                total["missing"] += part.rows
                continue
            total["max_bytes"] = max(total["max_bytes"], m["max_bytes"])
            total["max_chars"] = max(total["max_chars"], m["max_chars"])
            total["missing"] += m["missing"]
            for type_name, t in m["types"].items():
                into = total["types"].get(type_name)
                total["types"][type_name] = dict(t) if into is None else _merged_type_measure(into, t)
        merged[name] = total
    return merged


def _merged_type_measure(a: Mapping[str, Any], b: Mapping[str, Any]) -> Dict[str, Any]:
    out = dict(a)
    for key in ("seen", "zoned", "naive"):
        out[key] = a[key] + b[key]
    for key in ("int_digits", "scale", "fraction_digits"):
        out[key] = max(a[key], b[key])
    for key in ("int_overflow", "exponent", "fraction_comma"):
        out[key] = a[key] or b[key]
    if "min_int" in b:
        out["min_int"] = min(a["min_int"], b["min_int"]) if "min_int" in a else b["min_int"]
        out["max_int"] = max(a["max_int"], b["max_int"]) if "max_int" in a else b["max_int"]
    out["spellings"] = list(dict.fromkeys([*a["spellings"], *b["spellings"]]))
    return out


def exclusive_table(types: Mapping[str, Sequence[str]]) -> bool:
    """Whether the table is one whose types are known to exclude one another: no text
    matches two of them (the default tables, checked by the tests through the engine)."""
    table = {name: tuple(patterns) for name, patterns in types.items()}
    return any(table == dict(known) for known in _EXCLUSIVE_TABLES)


# --- Table Schema ----------------------------------------------------------------------
#
# A column's Table Schema field follows from its verdict's name alone: the default types
# by the table below, a type of the user's named after a Table Schema type as that type,
# any other as "string", which every value satisfies.

#: The types a Table Schema field can have.
_TABLE_SCHEMA_TYPES = frozenset({
    "string", "number", "integer", "boolean", "object", "array", "date", "time",
    "datetime", "year", "yearmonth", "duration", "geopoint", "geojson", "any",
})

# Time and datetime say "format": "any" because their default format is
# stricter than these patterns (seconds required, "T" only, zone with colon).
_OTHER_FIELDS: Mapping[str, Mapping[str, object]] = {
    "boolean": {"type": "boolean", "trueValues": list(TRUE_VALUES), "falseValues": list(FALSE_VALUES)},
    "date": {"type": "date"},
    "datetime": {"type": "datetime", "format": "any"},
    "time": {"type": "time", "format": "any"},
    "email": {"type": "string", "format": "email"},
    "url": {"type": "string", "format": "uri"},
    "uuid": {"type": "string", "format": "uuid"},
    "time_end_of_day": {"type": "time", "format": "any"},
    # Table Schema's own year-month is written YYYY-MM, and takes no format.
    "year_month": {"type": "yearmonth"},
}


def _table_schema_fields() -> Dict[str, Dict[str, object]]:
    fields: Dict[str, Dict[str, object]] = {}
    for name in DEFAULT_TYPES:
        kind = kind_of(name)
        if name in _OTHER_FIELDS:
            fields[name] = dict(_OTHER_FIELDS[name])
        elif kind in ("integer", "number"):
            descriptor: Dict[str, object] = {"type": kind}
            group, point = NUMBER_SEPARATORS[name]
            if group:
                descriptor["groupChar"] = group
            if point and point != ".":
                descriptor["decimalChar"] = point
            if name == "percent":
                descriptor["bareNumber"] = False
            fields[name] = descriptor
        elif name in DATE_FORMATS:
            fields[name] = {"type": kind, "format": DATE_FORMATS[name]}
        elif kind is None:  # letters and quarters
            fields[name] = {"type": "string"}
        else:  # either-way dates: the format is the column's, given by table_schema_field
            fields[name] = {"type": kind}
    return fields


#: Table Schema field properties for each default type.
TABLE_SCHEMA_FIELDS: Mapping[str, Mapping[str, object]] = MappingProxyType(_table_schema_fields())


def table_schema_field(column: ColumnProfile, types: Mapping[str, Sequence[str]]) -> Dict[str, Any]:
    """The Table Schema properties of ``column`` (all but its name), for a profile of ``types``.

    Boolean fields list their true and false texts only when the boolean
    patterns are the default ones: texts of the user's own are not known here.
    """
    type_name = column.type
    if type_name == EMPTY:
        return {"type": "any"}
    if type_name in TABLE_SCHEMA_FIELDS:
        descriptor = copy.deepcopy(dict(TABLE_SCHEMA_FIELDS[type_name]))
        if type_name == "boolean" and tuple(types["boolean"]) != DEFAULT_TYPES["boolean"]:
            descriptor = {"type": "boolean"}
    elif kind_of(type_name) == "date":  # the opt-in compact dates
        descriptor = {"type": "date"}
    elif type_name in _TABLE_SCHEMA_TYPES:
        return {"type": type_name}
    else:
        return {"type": "string"}
    # "%Y-%m-%d" is the default format of a Table Schema date.
    if column.format and column.format != "%Y-%m-%d" and descriptor["type"] != "yearmonth":
        descriptor["format"] = column.format
    if column.padded:  # a number that is not bare has what surrounds it removed
        descriptor["bareNumber"] = False
    return descriptor
