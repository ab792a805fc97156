"""The default type library: patterns for common column types and missing-value markers.

Every pattern is Boost.Regex Perl syntax and must match a field's whole text.
The types are mutually exclusive: no text matches two of them. This matters
beyond tidiness, because the engine caches a text's type for all columns, so
with overlapping types the first column to meet a text would decide its type
everywhere. The decisions that keep them apart:

- "1" and "0" are integers, never booleans: a 0/1 flag column reads as integer.
- A decimal needs a point or an exponent, so "42" is an integer and "4e2" a decimal.
- A date has no time part; a datetime always has one.
- "1,234" is a thousands-comma integer, never a decimal comma; "1.234" is a
  decimal, never a thousands-dot integer (that needs two groups, "1.234.567").
- A day-month date whose first part is above 12 can only be day-first, one
  whose second part is above 12 only month-first; one whose parts are both 12
  or less belongs to a third type, which the column's other values decide.
- "20230115" is an integer; the compact date type is an opt-in
  (``default_types(compact_dates=True)``) that takes such texts away from
  the integer type.

Plain integers and decimals stay plain: no leading zeros on integers (so codes
such as "007" or ZIP codes stay strings), no surrounding blanks. Dates check the
day against the month but not leap years: 2023-02-30 is refused, 2023-02-29 is
accepted. Every pattern uses only syntax that Python's ``re`` reads the same
way, so the package can check and convert values with the same patterns.

Files also write the looser forms, and each has a type of its own next to the
strict one, so that stored profiles keep their meaning and a loader knows
what it reads:

- Day, month and hour without a leading zero ("5/19/2006 0:00:00",
  "2005-10-3", "2010/1/5") are the ``_unpadded`` twins of the padded types; a twin and its
  padded type count towards each other, since a writer that does not pad
  still writes "12/25/2006". strptime's %d, %m and %H read one digit too, so
  the twins share their padded type's format.
- Two-digit years (``_yy``, "3/30/12", "19-Sep-03") are read as strptime's
  %y reads them: 00-68 are 2000-2068, 69-99 are 1969-1999. With dots the day
  and month must be two digits, so that versions such as "1.10.12" stay strings.
- A single letter is never a boolean on its own: T/F and Y/N are types of their
  own (``letter_tf``, ``letter_yn``) next to every other letter (``letter``),
  and the column's verdict decides (see ``velmira.profile``), so that a column
  of F and M reads as letters.
- A number with blanks around it (``integer_padded``, ``decimal_padded``) and
  the 24:00 that ends a day in weather files (``time_end_of_day``) are never a
  verdict of their own: they count towards ``integer``, ``decimal`` and
  ``time``, and the column says that its values need trimming or hold 24:00.
- Year and month ("2023-01", "1948 Jan") are dates, read as the first of the
  month. "2023-01" needs a year from 1000 to 2999 and a month 01 to 12, so
  that part numbers and most season labels ("1998-99") stay strings.
- Quarters ("1974Q1", "2010 Q4", "Q42010") have no strftime directive and are
  read as text.
- Times on a 12-hour clock ("2:30 PM") are types of their own with a format;
  ``time`` keeps the 24-hour ISO times.
"""

from __future__ import annotations

from types import MappingProxyType
from typing import Dict, List, Mapping, Optional, Tuple

#: The texts a boolean column may hold for true and false. The one-letter texts
#: are counted as letters, and make a boolean only in a column of T/F or Y/N alone.
TRUE_VALUES: Tuple[str, ...] = ("true", "True", "TRUE", "yes", "Yes", "YES", "t", "T", "y", "Y")
FALSE_VALUES: Tuple[str, ...] = ("false", "False", "FALSE", "no", "No", "NO", "f", "F", "n", "N")
_BOOLEAN_WORDS = tuple(text for text in TRUE_VALUES + FALSE_VALUES if len(text) > 1)

_INTEGER = r"[+-]?(?:0|[1-9][0-9]*)"
_EXPONENT = r"[eE][+-]?[0-9]+"
# A first group of one to three digits, not starting with 0, then groups of three.
_GROUPED = r"[+-]?[1-9][0-9]{0,2}"

# Days are checked against their month, which costs little; leap years are not,
# which would make the pattern unreadable for one day in four years.
_MONTHS_31 = ("01", "03", "05", "07", "08", "10", "12")
_MONTHS_30 = ("04", "06", "09", "11")
_DAY_31 = r"(?:0[1-9]|[12][0-9]|3[01])"
_DAY_30 = r"(?:0[1-9]|[12][0-9]|30)"
_DAY_29 = r"(?:0[1-9]|1[0-9]|2[0-9])"
# Days that cannot be months, per month length.
_HIGH_DAY_31 = r"(?:1[3-9]|2[0-9]|3[01])"
_HIGH_DAY_30 = r"(?:1[3-9]|2[0-9]|30)"
_HIGH_DAY_29 = r"(?:1[3-9]|2[0-9])"
_LOW = r"(?:0[1-9]|1[0-2])"  # a two-digit part that can be a day or a month


def _alt(*parts: str) -> str:
    return "(?:" + "|".join(parts) + ")"


def _month_day(sep: str) -> str:
    """Month, separator, day: a day that exists in that month."""
    return _alt(
        _alt(*_MONTHS_31) + sep + _DAY_31,
        _alt(*_MONTHS_30) + sep + _DAY_30,
        "02" + sep + _DAY_29,
    )


def _day_first(sep: str) -> str:
    """Day above 12, separator, month: only a day-first reading is a date."""
    return _alt(
        _HIGH_DAY_31 + sep + _alt(*_MONTHS_31),
        _HIGH_DAY_30 + sep + _alt(*_MONTHS_30),
        _HIGH_DAY_29 + sep + "02",
    )


def _month_first(sep: str) -> str:
    """Month, separator, day above 12: only a month-first reading is a date."""
    return _alt(
        _alt(*_MONTHS_31) + sep + _HIGH_DAY_31,
        _alt(*_MONTHS_30) + sep + _HIGH_DAY_30,
        "02" + sep + _HIGH_DAY_29,
    )


_YEAR = "[0-9]{4}"
_DATE = _YEAR + "-" + _month_day("-")
_TIME = r"(?:[01][0-9]|2[0-3]):[0-5][0-9](?::[0-5][0-9](?:[.,][0-9]+)?)?"
_ZONE = r"(?:Z|[+-](?:[01][0-9]|2[0-3])(?::?[0-5][0-9])?)"
# The time of the day-month, year-slash and month-name datetimes: one fixed
# shape, so that a column of them has one strftime format.
_HMS = r" (?:[01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]"

# English month abbreviations, in title case or upper case (Oracle writes 15-JAN-2023).
_MON_31 = ("Jan", "Mar", "May", "Jul", "Aug", "Oct", "Dec")
_MON_30 = ("Apr", "Jun", "Sep", "Nov")


def _mon(names: Tuple[str, ...]) -> str:
    return _alt(*names, *(name.upper() for name in names))


# Month-name dates write the day with one or two digits.
_MDAY_31 = r"(?:0?[1-9]|[12][0-9]|3[01])"
_MDAY_30 = r"(?:0?[1-9]|[12][0-9]|30)"
_MDAY_29 = r"(?:0?[1-9]|[12][0-9])"
_D_MON_Y = _alt(
    _MDAY_31 + "-" + _mon(_MON_31), _MDAY_30 + "-" + _mon(_MON_30), _MDAY_29 + "-" + _mon(("Feb",))
) + "-" + _YEAR
_MON_D_Y = _alt(
    _mon(_MON_31) + " " + _MDAY_31, _mon(_MON_30) + " " + _MDAY_30, _mon(("Feb",)) + " " + _MDAY_29
) + ", " + _YEAR

# Compact dates are only plausible years, since every one of them is also a number.
_COMPACT_DATE = "(?:19|20)[0-9]{2}" + _month_day("")

# The same parts with one or two digits, for the forms written without leading zeros.
_LMONTHS_31 = r"(?:0?[13578]|1[02])"
_LMONTHS_30 = r"(?:0?[469]|11)"
_LFEB = "0?2"
_LLOW = r"(?:0?[1-9]|1[0-2])"


def _loose_month_day(sep: str) -> str:
    return _alt(_LMONTHS_31 + sep + _MDAY_31, _LMONTHS_30 + sep + _MDAY_30, _LFEB + sep + _MDAY_29)


def _loose_day_first(sep: str) -> str:
    return _alt(_HIGH_DAY_31 + sep + _LMONTHS_31, _HIGH_DAY_30 + sep + _LMONTHS_30, _HIGH_DAY_29 + sep + _LFEB)


def _loose_month_first(sep: str) -> str:
    return _alt(_LMONTHS_31 + sep + _HIGH_DAY_31, _LMONTHS_30 + sep + _HIGH_DAY_30, _LFEB + sep + _HIGH_DAY_29)


# The three orders of a day-month date, by the name each has in the type names.
_ORDERS = ("dmy", "mdy", "dmy_or_mdy")
_PADDED_ORDER = {"dmy": _day_first, "mdy": _month_first, "dmy_or_mdy": lambda s: _LOW + s + _LOW}
_LOOSE_ORDER = {"dmy": _loose_day_first, "mdy": _loose_month_first, "dmy_or_mdy": lambda s: _LLOW + s + _LLOW}
_YY = "[0-9]{2}"

# Times after a date: 24-hour with one or two digits for the hour, with or
# without seconds, and the 12-hour clock that US exports write.
_HOUR = r"(?:[01]?[0-9]|2[0-3])"
_LHMS = " " + _HOUR + ":[0-5][0-9]:[0-5][0-9]"
_LHM = " " + _HOUR + ":[0-5][0-9]"
_MERIDIEM = " (?:AM|PM|am|pm)"
_HM_12 = r" (?:0?[1-9]|1[0-2]):[0-5][0-9]" + _MERIDIEM
_HMS_12 = r" (?:0?[1-9]|1[0-2]):[0-5][0-9]:[0-5][0-9]" + _MERIDIEM

# Full month names. May is left to the abbreviations, which it is one of; a
# full-name verdict covers its abbreviated twin for that month's sake.
_MONTH_31 = ("January", "March", "July", "August", "October", "December")
_MONTH_30 = ("April", "June", "September", "November")
_ABBREVIATED = (_mon(_MON_31), _mon(_MON_30), _mon(("Feb",)))
_FULL = (_mon(_MONTH_31), _mon(_MONTH_30), _mon(("February",)))


def _day_then_month(sep: str, names: Tuple[str, str, str]) -> str:
    """Day, separator, month name (of ``_ABBREVIATED`` or ``_FULL``): a day that exists in that month."""
    return _alt(_MDAY_31 + sep + names[0], _MDAY_30 + sep + names[1], _MDAY_29 + sep + names[2])


def _month_then_day(sep: str, names: Tuple[str, str, str]) -> str:
    return _alt(names[0] + sep + _MDAY_31, names[1] + sep + _MDAY_30, names[2] + sep + _MDAY_29)


def _not(pattern: str) -> str:
    """A lookahead refusing texts that ``pattern`` matches whole: the twin of a
    strict type takes only what the strict one leaves, so no text matches both."""
    return "(?!" + pattern + "$)"


def _padded(number: str) -> str:
    """``number`` with at least one blank before or after it."""
    return "(?: +" + number + " *|" + number + " +)"

# The dotted-atom form of RFC 5322 for the local part; the domain needs a
# dot and an alphabetic top-level label, so "ann@localhost" is not an e-mail.
# Repeated groups are bounded, within the limits of RFC 5321 (64 bytes before
# the @, 127 labels after it): Boost.Regex keeps a backtracking state per
# repetition of a group and fails the whole pass when a long field, such as
# "a.a.a." for 100 KB, exhausts that stack.
_ATOM = r"[A-Za-z0-9!#$%&'*+/=?^_`{|}~-]+"
_LABEL = r"[A-Za-z0-9](?:[A-Za-z0-9-]*[A-Za-z0-9])?"
_HEX = "[0-9A-Fa-f]"

#: The separators of the day-month date families, with their names in the type names.
DATE_SEPARATORS: Mapping[str, str] = MappingProxyType({"slash": "/", "dot": ".", "dash": "-"})


def _looser_forms() -> Dict[str, Tuple[str, Optional[str]]]:
    """Name to (pattern, strftime format or None) of the forms beyond the strict ones."""
    forms: Dict[str, Tuple[str, Optional[str]]] = {
        "integer_padded": (_padded(_INTEGER), None),
        "decimal_padded": (_padded(_alt(_INTEGER + r"?\.[0-9]+(?:" + _EXPONENT + ")?", _INTEGER + _EXPONENT)), None),
        "letter_tf": ("[TFtf]", None),
        "letter_yn": ("[YNyn]", None),
        "letter": ("[A-EG-MO-SU-XZa-eg-mo-su-xz]", None),
        "date_unpadded": (_not(_DATE) + _YEAR + "-" + _loose_month_day("-"), "%Y-%m-%d"),
        # Japanese spreadsheets write 2010/1/5.
        "date_ymd_slash_unpadded": (_not(_YEAR + "/" + _month_day("/")) + _YEAR + "/" + _loose_month_day("/"),
                                    "%Y/%m/%d"),
        "datetime_ymd_slash_unpadded": (_not(_YEAR + "/" + _month_day("/") + _HMS) + _YEAR + "/"
                                        + _loose_month_day("/") + _LHMS, "%Y/%m/%d %H:%M:%S"),
        "datetime_ymd_slash_hm": (_YEAR + "/" + _loose_month_day("/") + _LHM, "%Y/%m/%d %H:%M"),
    }
    for name, sep in DATE_SEPARATORS.items():
        s = "\\" + sep if sep == "." else sep
        for order in _ORDERS:
            d, m = ("%d", "%m") if order != "mdy" else ("%m", "%d")
            ymd = f"{d}{sep}{m}{sep}%Y"
            strict, loose = _PADDED_ORDER[order](s), _LOOSE_ORDER[order](s)
            forms[f"date_{order}_{name}_unpadded"] = (_not(strict + s + _YEAR) + loose + s + _YEAR, ymd)
            yy_parts = strict if sep == "." else loose
            forms[f"date_{order}_{name}_yy"] = (yy_parts + s + _YY, ymd.replace("%Y", "%y"))
            forms[f"datetime_{order}_{name}_unpadded"] = (
                _not(strict + s + _YEAR + _HMS) + loose + s + _YEAR + _LHMS, ymd + " %H:%M:%S")
            # No strict type has these times, so padded and unpadded dates share one type.
            forms[f"datetime_{order}_{name}_hm"] = (loose + s + _YEAR + _LHM, ymd + " %H:%M")
            if sep == "/":  # the 12-hour clock and Excel's m/d/yy h:mm are written with slashes
                forms[f"datetime_{order}_slash_hm_ampm"] = (loose + s + _YEAR + _HM_12, ymd + " %I:%M %p")
                forms[f"datetime_{order}_slash_hms_ampm"] = (loose + s + _YEAR + _HMS_12, ymd + " %I:%M:%S %p")
                forms[f"datetime_{order}_slash_yy_hm"] = (loose + s + _YY + _LHM, ymd.replace("%Y", "%y") + " %H:%M")
    forms.update({
        "date_d_mon_yy": (_day_then_month("-", _ABBREVIATED) + "-" + _YY, "%d-%b-%y"),
        "date_d_mon_y_blank": (_day_then_month(" ", _ABBREVIATED) + " " + _YEAR, "%d %b %Y"),
        "date_mon_d_y_blank": (_month_then_day(" ", _ABBREVIATED) + " " + _YEAR, "%b %d %Y"),
        "date_mon_d_y_dash": (_month_then_day("-", _ABBREVIATED) + "-" + _YEAR, "%b-%d-%Y"),
        "date_month_d_y": (_month_then_day(" ", _FULL) + ", " + _YEAR, "%B %d, %Y"),
        "date_d_month_y": (_day_then_month(" ", _FULL) + " " + _YEAR, "%d %B %Y"),
        "year_month": ("[12][0-9]{3}-" + _LOW, "%Y-%m"),
        "year_mon": (_YEAR + " " + _mon(_MON_31 + _MON_30 + ("Feb",)), "%Y %b"),
        "year_quarter": (_alt(_YEAR + "(?:Q| Q|-Q)[1-4]", "Q[1-4] ?" + _YEAR), None),
        "time_end_of_day": ("24:00(?::00)?", None),
        "time_hm_ampm": (_HM_12[1:], "%I:%M %p"),
        "time_hms_ampm": (_HMS_12[1:], "%I:%M:%S %p"),
    })
    return forms


_LOOSER_FORMS = _looser_forms()

#: (day-first type, month-first type, either type) of every family of day-month
#: dates and datetimes: the type whose texts are surely day-first, the one whose
#: texts are surely month-first, and the one whose texts read either way.
#: A column's verdict combines them: see ``velmira.profile``.
DATE_ORDERS: Tuple[Tuple[str, str, str], ...] = tuple(
    (f"{kind}_dmy_{name}", f"{kind}_mdy_{name}", f"{kind}_dmy_or_mdy_{name}")
    for kind in ("date", "datetime")
    for name in DATE_SEPARATORS
) + tuple(
    (name, name.replace("_dmy_", "_mdy_", 1), name.replace("_dmy_", "_dmy_or_mdy_", 1))
    for name in _LOOSER_FORMS
    if name.startswith(("date_dmy_", "datetime_dmy_")) and "_dmy_or_mdy_" not in name
)

#: Unpadded twin to its padded type: the same form and format, the one
#: with leading zeros, the other without. Each counts towards the other.
UNPADDED: Mapping[str, str] = MappingProxyType({
    name: name[:-len("_unpadded")] for name in _LOOSER_FORMS if name.endswith("_unpadded")
})

#: Types that are never a column's verdict while the type named here is in
#: the table: their values are read as that type's, with something to say
#: (blanks to trim, a 24:00). Single letters go to ``boolean`` or ``letter``
#: by the column's evidence (see ``velmira.profile``).
FOLDED: Mapping[str, str] = MappingProxyType({
    "integer_padded": "integer",
    "decimal_padded": "decimal",
    "time_end_of_day": "time",
    "letter_tf": "letter",
    "letter_yn": "letter",
})

#: The number types whose texts have blanks around them.
PADDED_NUMBERS = ("integer_padded", "decimal_padded")


def _build_types() -> Dict[str, Tuple[str, ...]]:
    types: Dict[str, Tuple[str, ...]] = {
        "integer": (_INTEGER,),
        "decimal": (
            _INTEGER + r"?\." + "[0-9]+(?:" + _EXPONENT + ")?",
            _INTEGER + _EXPONENT,
        ),
        "integer_thousands_comma": (_GROUPED + "(?:,[0-9]{3})+",),
        "decimal_thousands_comma": (_GROUPED + r"(?:,[0-9]{3})+\.[0-9]+",),
        "integer_thousands_dot": (_GROUPED + r"(?:\.[0-9]{3}){2,}",),
        "decimal_thousands_dot": (_GROUPED + r"(?:\.[0-9]{3})+,[0-9]+",),
        # Everything with one comma that a thousands-comma integer does not take:
        # a zero before the comma, four or more digits before it, or other than
        # three digits after it.
        "decimal_comma": (
            "[+-]?" + _alt("0,[0-9]+", "[1-9][0-9]{0,2},(?:[0-9]{1,2}|[0-9]{4,})", "[1-9][0-9]{3,},[0-9]+"),
        ),
        "percent": (_INTEGER + r"(?:\.[0-9]+)?%",),
        "boolean": ("(?:" + "|".join(_BOOLEAN_WORDS) + ")",),
        "date": (_DATE,),
    }
    for time_part, kind in (("", "date"), (_HMS, "datetime")):
        if kind == "datetime":
            types["datetime"] = (_DATE + "[T ]" + _TIME + _ZONE + "?",)
        types[f"{kind}_ymd_slash"] = (_YEAR + "/" + _month_day("/") + time_part,)
        for name, sep in DATE_SEPARATORS.items():
            s = "\\" + sep if sep == "." else sep
            types[f"{kind}_dmy_{name}"] = (_day_first(s) + s + _YEAR + time_part,)
            types[f"{kind}_mdy_{name}"] = (_month_first(s) + s + _YEAR + time_part,)
            types[f"{kind}_dmy_or_mdy_{name}"] = (_LOW + s + _LOW + s + _YEAR + time_part,)
        types[f"{kind}_d_mon_y"] = (_D_MON_Y + time_part,)
        types[f"{kind}_mon_d_y"] = (_MON_D_Y + time_part,)
    types.update({
        "time": (_TIME + _ZONE + "?",),
        "email": (_ATOM + r"(?:\." + _ATOM + "){0,63}@(?:" + _LABEL + r"\.){1,126}[A-Za-z]{2,}",),
        "url": (
            r"(?:https?|ftp)://(?:" + _LABEL + r"(?:\." + _LABEL + r"){0,126}|\[[0-9A-Fa-f:.]+\])"
            r"(?::[0-9]{1,5})?(?:[/?#]\S*)?",
        ),
        "uuid": ("-".join(_HEX + "{%d}" % n for n in (8, 4, 4, 4, 12)),),
    })
    # The looser forms come after the strict ones, which keep their order
    # for breaking ties.
    types.update({name: (pattern,) for name, (pattern, _) in _LOOSER_FORMS.items()})
    return types


#: Type name to patterns, in the order used to break ties between types.
DEFAULT_TYPES: Mapping[str, Tuple[str, ...]] = MappingProxyType(_build_types())

#: The opt-in type for dates written as YYYYMMDD, and the integer pattern
#: that leaves those texts to it.
COMPACT_DATE = "date_ymd_compact"
_INTEGER_NOT_COMPACT = "(?!" + _COMPACT_DATE + "$)" + _INTEGER


def default_types(compact_dates: bool = False) -> Dict[str, List[str]]:
    """A fresh copy of the default types, as lists.

    With ``compact_dates`` the table also has the type ``date_ymd_compact``
    (19000101 to 20991231, day checked against month), listed right after
    ``date``, and the integer pattern refuses those texts, so that the types
    stay exclusive. An integer column keeps its verdict when a few of its
    values look like compact dates: ``integer`` covers that type.
    """
    table: Dict[str, List[str]] = {}
    for name, patterns in DEFAULT_TYPES.items():
        table[name] = [_INTEGER_NOT_COMPACT] if compact_dates and name == "integer" else list(patterns)
        if compact_dates and name == "date":
            table[COMPACT_DATE] = [_COMPACT_DATE]
    return table


_PLAIN_NUMBERS = ("integer", COMPACT_DATE)

#: Values of the key type's listed types count towards the key type when
#: choosing a column's type: "12" next to "12.50" is still a decimal column,
#: "999" next to "1,000" a thousands-comma column.
COVERS: Mapping[str, Tuple[str, ...]] = MappingProxyType({
    "integer": (COMPACT_DATE, "integer_padded"),
    "decimal": (*_PLAIN_NUMBERS, *PADDED_NUMBERS),
    "integer_thousands_comma": _PLAIN_NUMBERS,
    "decimal_thousands_comma": (*_PLAIN_NUMBERS, "decimal", "integer_thousands_comma"),
    "integer_thousands_dot": _PLAIN_NUMBERS,
    # Not "decimal": "1.234" in a column of "1.234,5" means 1234, so such a
    # column is left a string rather than read wrongly.
    "decimal_thousands_dot": (*_PLAIN_NUMBERS, "integer_thousands_dot", "decimal_comma"),
    "decimal_comma": _PLAIN_NUMBERS,
    "time": ("time_end_of_day",),
    # Of the abbreviated twin, a full-name column holds May alone, which is both.
    "date_month_d_y": ("date_mon_d_y",),
    "date_d_month_y": ("date_d_mon_y_blank",),
})

#: (thousands separator, decimal separator) of the number types; None where
#: the type has none.
NUMBER_SEPARATORS: Mapping[str, Tuple[Optional[str], Optional[str]]] = MappingProxyType({
    "integer": (None, None),
    "decimal": (None, "."),
    "integer_thousands_comma": (",", None),
    "decimal_thousands_comma": (",", "."),
    "integer_thousands_dot": (".", None),
    "decimal_thousands_dot": (".", ","),
    "decimal_comma": (None, ","),
    "percent": (None, "."),
    "integer_padded": (None, None),
    "decimal_padded": (None, "."),
})


def _date_formats() -> Dict[str, str]:
    formats = {"date": "%Y-%m-%d", COMPACT_DATE: "%Y%m%d"}
    for kind, hms in (("date", ""), ("datetime", " %H:%M:%S")):
        formats[f"{kind}_ymd_slash"] = "%Y/%m/%d" + hms
        for name, sep in DATE_SEPARATORS.items():
            formats[f"{kind}_dmy_{name}"] = f"%d{sep}%m{sep}%Y" + hms
            formats[f"{kind}_mdy_{name}"] = f"%m{sep}%d{sep}%Y" + hms
        formats[f"{kind}_d_mon_y"] = "%d-%b-%Y" + hms
        formats[f"{kind}_mon_d_y"] = "%b %d, %Y" + hms
    formats.update({name: fmt for name, (_, fmt) in _LOOSER_FORMS.items() if fmt and "_dmy_or_mdy_" not in name})
    return formats


#: The strftime format of every date, datetime and time type with a single format.
#: An either-way type takes the format of the order chosen for its column.
#: ISO datetimes and times have none: their patterns allow several shapes.
DATE_FORMATS: Mapping[str, str] = MappingProxyType(_date_formats())

# Year and month are dates: the first of the month.
_DATE_KINDS = ("date", COMPACT_DATE, "year_month", "year_mon") + tuple(
    t for t in DEFAULT_TYPES if t.startswith("date_"))
_DATETIME_KINDS = tuple(t for t in DEFAULT_TYPES if t.startswith("datetime"))


def kind_of(type_name: str) -> Optional[str]:
    """What a default type's values are: "integer", "number", "boolean", "date",
    "datetime", "time", or None for a type read as text (letters and quarters among them)."""
    if type_name in ("integer", "integer_thousands_comma", "integer_thousands_dot", "integer_padded"):
        return "integer"
    if type_name in NUMBER_SEPARATORS:
        return "number"
    if type_name in _DATE_KINDS:
        return "date"
    if type_name in _DATETIME_KINDS:
        return "datetime"
    if type_name in ("time_end_of_day", "time_hm_ampm", "time_hms_ampm"):
        return "time"
    if type_name in ("boolean", "time"):
        return type_name
    return None


#: Texts that stand for a missing value. "-" is here because reports use it
#: for "nothing"; "NaN" because a float column written by pandas or NumPy uses it.
DEFAULT_NA_VALUES: Tuple[str, ...] = (
    # \N is how MySQL and PostgreSQL dumps (and IMDb's files) write a missing value.
    "", "NA", "N/A", "n/a", "#N/A", "NULL", "null", "NaN", "nan", "None", "-", "\\N",
)
