"""The default type library: patterns for common column types and missing-value markers.

Every pattern is Boost.Regex Perl syntax and must match a field's whole text.
The types are mutually exclusive: no text matches two of them. This matters
beyond tidiness, because the engine caches a text's type for all columns, so
with overlapping types the first column to meet a text would decide its type
everywhere. The decisions that keep them apart:

- "1" and "0" are integers, never booleans: a 0/1 flag column reads as integer.
- A decimal needs a point or an exponent, so "42" is an integer and "4e2" a decimal.
- A date has no time part; a datetime always has one.

What the patterns accept is deliberately plain: no thousands separators, no
decimal commas, no leading zeros on integers (so codes such as "007" or ZIP
codes stay strings), no surrounding blanks. Dates check the day against the
month but not leap years: 2023-02-30 is refused, 2023-02-29 is accepted.
"""

from __future__ import annotations

from types import MappingProxyType
from typing import Mapping, Tuple

TRUE_VALUES: Tuple[str, ...] = ("true", "True", "TRUE", "yes", "Yes", "YES", "t", "T")
FALSE_VALUES: Tuple[str, ...] = ("false", "False", "FALSE", "no", "No", "NO", "f", "F")

_INTEGER = r"[+-]?(?:0|[1-9][0-9]*)"
_EXPONENT = r"[eE][+-]?[0-9]+"

# Days are checked against their month, which costs little; leap years are not,
# which would make the pattern unreadable for one day in four years.
_DATE = (
    r"[0-9]{4}-(?:"
    r"(?:0[13578]|1[02])-(?:0[1-9]|[12][0-9]|3[01])"
    r"|(?:0[469]|11)-(?:0[1-9]|[12][0-9]|30)"
    r"|02-(?:0[1-9]|1[0-9]|2[0-9]))"
)
_TIME = r"(?:[01][0-9]|2[0-3]):[0-5][0-9](?::[0-5][0-9](?:[.,][0-9]+)?)?"
_ZONE = r"(?:Z|[+-](?:[01][0-9]|2[0-3])(?::?[0-5][0-9])?)"

# The dot-atom form of RFC 5322 for the local part; the domain needs a
# dot and an alphabetic top-level label, so "ann@localhost" is not an e-mail.
# Repeated groups are bounded, within the limits of RFC 5321 (64 bytes before
# the @, 127 labels after it): Boost.Regex keeps a backtracking state per
# repetition of a group and fails the whole pass when a long field, such as
# "a.a.a." for 100 KB, exhausts that stack.
_ATOM = r"[A-Za-z0-9!#$%&'*+/=?^_`{|}~-]+"
_LABEL = r"[A-Za-z0-9](?:[A-Za-z0-9-]*[A-Za-z0-9])?"
_HEX = "[0-9A-Fa-f]"

#: Type name to patterns, in the order used to break ties between types.
DEFAULT_TYPES: Mapping[str, Tuple[str, ...]] = MappingProxyType(
    {
        "integer": (_INTEGER,),
        "decimal": (
            _INTEGER + r"?\." + "[0-9]+(?:" + _EXPONENT + ")?",
            _INTEGER + _EXPONENT,
        ),
        "boolean": ("(?:" + "|".join(TRUE_VALUES + FALSE_VALUES) + ")",),
        "date": (_DATE,),
        "datetime": (_DATE + "[T ]" + _TIME + _ZONE + "?",),
        "time": (_TIME + _ZONE + "?",),
        "email": (_ATOM + r"(?:\." + _ATOM + "){0,63}@(?:" + _LABEL + r"\.){1,126}[A-Za-z]{2,}",),
        "url": (
            r"(?:https?|ftp)://(?:" + _LABEL + r"(?:\." + _LABEL + r"){0,126}|\[[0-9A-Fa-f:.]+\])"
            r"(?::[0-9]{1,5})?(?:[/?#]\S*)?",
        ),
        "uuid": ("-".join(_HEX + "{%d}" % n for n in (8, 4, 4, 4, 12)),),
    }
)

#: Texts that stand for a missing value. "-" is here because reports use it
#: for "nothing"; "NaN" because a float column written by pandas or NumPy uses it.
DEFAULT_NA_VALUES: Tuple[str, ...] = (
    "", "NA", "N/A", "n/a", "#N/A", "NULL", "null", "NaN", "nan", "None", "-",
)

#: Table Schema field properties for each default type; see ``Profile.to_table_schema``.
#: Time and datetime say ``"format": "any"`` because their default format is
#: stricter than these patterns (seconds required, "T" only, zone with colon).
TABLE_SCHEMA_FIELDS: Mapping[str, Mapping[str, object]] = MappingProxyType(
    {
        "integer": {"type": "integer"},
        "decimal": {"type": "number"},
        "boolean": {
            "type": "boolean",
            "trueValues": list(TRUE_VALUES),
            "falseValues": list(FALSE_VALUES),
        },
        "date": {"type": "date"},
        "datetime": {"type": "datetime", "format": "any"},
        "time": {"type": "time", "format": "any"},
        "email": {"type": "string", "format": "email"},
        "url": {"type": "string", "format": "uri"},
        "uuid": {"type": "string", "format": "uuid"},
    }
)
