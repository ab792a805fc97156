"""velmira: infer the type of every column of a CSV file from your own regular expressions.

``infer(source)`` reads a file (a path, ``"-"`` for standard input, or a
binary file object; gzip, zstd, bzip2 and xz are decompressed) once with the
engine and returns
a :class:`Profile`: per column the counts of every type, the best type and the
share of the values it covers, with ``to_dict()``, ``to_json()`` and
``to_table_schema()``, and the outputs that load the file (``to_sql()``,
``to_json_schema()``, ``to_arrow_schema()``, ``to_polars_schema()``,
``to_pandas_dtypes()``, in :mod:`velmira.schema`). ``read(source)`` gives the
typed values as Arrow batches, read natively (``pyarrow.table(velmira.read(path))``);
``read_rows(profile)`` gives them as Python objects, row by row. The default types and
missing-value markers are in :mod:`velmira.types`.
"""

import importlib
from typing import Any, List

# Names are loaded when first used, so that importing the package (as the command does
# first) stays quick and a Ctrl-C meanwhile can be caught by the command's entry point.
_HOMES = {
    "InputError": "._native",
    "FieldTooLongError": "._native",
    "HeaderEncodingError": ".inference",
    "PatternError": ".inference",
    "check_types": ".inference",
    "guess_delimiter": ".inference",
    "infer": ".inference",
    "pattern_engines": ".inference",
    "ManyProfiles": ".many",
    "check_exclusive": ".many",
    "infer_many": ".many",
    "ColumnProfile": ".profile",
    "Profile": ".profile",
    "merge": ".profile",
    "ProgressBar": ".source",
    "DEFAULT_NA_VALUES": ".types",
    "DEFAULT_TYPES": ".types",
    "default_types": ".types",
    "read_rows": ".values",
    "ConversionWarning": ".reader",
    "Reader": ".reader",
    "read": ".reader",
}


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module 'velmira' has no attribute {name!r}")
    value = getattr(importlib.import_module(home, __name__), name)
    globals()[name] = value
    return value


def __dir__() -> List[str]:
    return sorted(set(globals()) | set(_HOMES))


__all__ = [
    "DEFAULT_NA_VALUES",
    "DEFAULT_TYPES",
    "ColumnProfile",
    "ConversionWarning",
    "FieldTooLongError",
    "HeaderEncodingError",
    "InputError",
    "ManyProfiles",
    "PatternError",
    "Profile",
    "ProgressBar",
    "Reader",
    "check_exclusive",
    "check_types",
    "guess_delimiter",
    "default_types",
    "infer",
    "infer_many",
    "merge",
    "pattern_engines",
    "read",
    "read_rows",
]
