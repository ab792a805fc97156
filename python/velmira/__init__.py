"""velmira: infer the type of every column of a CSV file from your own regular expressions.

``infer(source)`` reads a file (a path, ``"-"`` for standard input, or a
binary file object; gzip, zstd, bzip2 and xz are decompressed) once with the
engine and returns
a :class:`Profile`: per column the counts of every type, the best type and the
share of the values it covers, with ``to_dict()``, ``to_json()`` and
``to_table_schema()``, and the outputs that load the file (``to_sql()``,
``to_json_schema()``, ``to_arrow_schema()``, ``to_polars_schema()``,
``to_pandas_dtypes()``, in :mod:`velmira.schema`). ``read_rows(profile)``
gives the values, converted by each column's type. The default types and
missing-value markers are in :mod:`velmira.types`.
"""

from ._native import InputError
from .many import ManyProfiles, check_exclusive, infer_many, merge
from .profile import (
    ColumnProfile,
    HeaderEncodingError,
    PatternError,
    Profile,
    check_types,
    guess_delimiter,
    infer,
    pattern_engines,
)
from .source import ProgressBar
from .types import DEFAULT_NA_VALUES, DEFAULT_TYPES, default_types
from .values import read_rows

__all__ = [
    "DEFAULT_NA_VALUES",
    "DEFAULT_TYPES",
    "ColumnProfile",
    "HeaderEncodingError",
    "InputError",
    "ManyProfiles",
    "PatternError",
    "Profile",
    "ProgressBar",
    "check_exclusive",
    "check_types",
    "guess_delimiter",
    "default_types",
    "infer",
    "infer_many",
    "merge",
    "pattern_engines",
    "read_rows",
]
