"""The one pattern table and NA set that every contender of the benchmark uses.

The patterns are written in the subset of regular-expression syntax on which
Boost.Regex (Perl syntax), Python `re`, Rust `regex` (polars) and RE2 (pyarrow,
DuckDB) agree: explicit ASCII classes such as [0-9] instead of \\d (whose
Unicode meaning differs between engines), no `.`, no negated classes, no
lookarounds, no back-references, no flags. Each pattern must match a field's
whole text; `anchored` wraps a type's patterns for the engines that search
rather than match whole strings.

The types are mutually exclusive: no text matches two of them, so the count a
type gets does not depend on the order in which the types are tried, and every
contender must produce exactly the same counts.
"""

PATTERNS: dict[str, list[str]] = {
    "integer": [r"[-+]?[0-9]+"],
    # A point or an exponent is required, which keeps integers out.
    "decimal": [
        r"[-+]?(?:[0-9]+\.[0-9]*|\.[0-9]+)(?:[eE][-+]?[0-9]+)?",
        r"[-+]?[0-9]+[eE][-+]?[0-9]+",
    ],
    "boolean": [r"true|false|True|False|TRUE|FALSE"],
    "date": [
        r"[0-9]{4}-[0-9]{2}-[0-9]{2}",
        r"[0-9]{2}/[0-9]{2}/[0-9]{4}",
    ],
    "datetime": [
        r"[0-9]{4}-[0-9]{2}-[0-9]{2}[T ][0-9]{2}:[0-9]{2}:[0-9]{2}"
        r"(?:\.[0-9]{1,9})?(?:Z|[-+][0-9]{2}:[0-9]{2})?"
    ],
    "email": [r"[A-Za-z0-9._%+-]+@[A-Za-z0-9-]+(?:\.[A-Za-z0-9-]+)*\.[A-Za-z]{2,}"],
    "uuid": [r"[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}"],
}

# Texts that stand for a missing value; the empty text is one of them.
NA_VALUES: frozenset[str] = frozenset({"", "NA", "N/A", "null", "NULL", "NaN"})

# The two names that every column lists besides the pattern types.
OTHER = "other"
NA = "NA"

TYPE_NAMES: list[str] = list(PATTERNS)
ALL_NAMES: list[str] = TYPE_NAMES + [OTHER, NA]


def alternation(type_name: str) -> str:
    """One expression for all of a type's patterns, for full-match engines."""
    return "(?:" + "|".join(f"(?:{p})" for p in PATTERNS[type_name]) + ")"


def anchored(type_name: str) -> str:
    """The type's patterns for search engines (Rust regex, RE2): `^` and `$`
    mean start and end of the text there, since neither runs in multi-line mode."""
    return "^" + alternation(type_name) + "$"


def empty_counts(columns: list[str]) -> dict[str, dict[str, int]]:
    """Counts of 0 for every name in every column, the shape all contenders fill."""
    return {c: {name: 0 for name in ALL_NAMES} for c in columns}
