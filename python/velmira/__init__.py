"""velmira: infer the type of every column of a CSV file from your own regular expressions.

``infer(path)`` reads the file once with the ``velmira_ext`` engine and returns
a :class:`Profile`: per column the counts of every type, the best type and the
share of the values it covers, with ``to_dict()``, ``to_json()`` and
``to_table_schema()``. The default types and missing-value markers are in
:mod:`velmira.types`.
"""

from .profile import (
    ColumnProfile,
    HeaderEncodingError,
    PatternError,
    Profile,
    check_types,
    guess_delimiter,
    infer,
)
from .types import DEFAULT_NA_VALUES, DEFAULT_TYPES

__all__ = [
    "DEFAULT_NA_VALUES",
    "DEFAULT_TYPES",
    "ColumnProfile",
    "HeaderEncodingError",
    "PatternError",
    "Profile",
    "check_types",
    "guess_delimiter",
    "infer",
]
