"""The default type library, text by text through the engine.

Each text is matched against every default type on its own, so a case states
both what a type accepts and that no other type accepts it too: the engine
caches a text's type for all columns, so overlapping types would make the
result depend on which column met the text first.
"""
import itertools
import random
import re

import pytest

import velmira
from velmira import _native
from velmira.types import DEFAULT_NA_VALUES, DEFAULT_TYPES, default_types


def case(text, expected, name=None):
    """`expected` is the one type that matches `text`, or None for none of them."""
    return pytest.param(text, expected, id=f"{expected or 'none'}:{name or text}")


INTEGER = [
    case("0", "integer"),
    case("42", "integer"),
    case("-17", "integer"),
    case("+5", "integer"),
    case("-0", "integer"),
    case("12345678901234567890123", "integer", "beyond-64-bits"),
    case("1", "integer", "one-is-not-boolean"),
    case("007", None, "leading-zero"),
    case("00", None),
    case("1,000", "integer_thousands_comma", "thousands-comma"),
    case("1 000", None, "thousands-space"),
    case("1_000", None),
    case(" 42", "integer_padded", "leading-blank"),
    case("42 ", "integer_padded", "trailing-blank"),
    case("--1", None),
    case("+", None),
    case("0x1F", None, "hex"),
    case("\u0663", None, "arabic-indic-digit"),
    case("20230115", "integer", "basic-format-date-is-a-number"),
]

DECIMAL = [
    case("3.14", "decimal"),
    case("-0.5", "decimal"),
    case("+2.50", "decimal"),
    case(".5", "decimal", "no-integer-part"),
    case("-.5", "decimal"),
    case("0.0", "decimal"),
    case("1e10", "decimal", "exponent-without-point"),
    case("1E-3", "decimal"),
    case("-2.5e+07", "decimal"),
    case("1.", None, "trailing-point"),
    case("1.2.3", None),
    case("3,14", "decimal_comma", "decimal-comma"),
    case("1,234.56", "decimal_thousands_comma", "thousands-comma"),
    case("007.5", None, "leading-zero"),
    case("1e", None, "empty-exponent"),
    case("e5", None),
    case("1.5e", None),
    case("inf", None),
    case("Infinity", None),
    case("1.5 ", "decimal_padded", "trailing-blank"),
]

BOOLEAN = [
    *(case(text, "boolean") for text in ("true", "True", "TRUE", "false", "False", "FALSE")),
    *(case(text, "boolean") for text in ("yes", "Yes", "YES", "no", "No", "NO")),
    *(case(text, "letter_tf", "one-letter") for text in ("t", "T", "f", "F")),
    case("0", "integer", "zero-is-an-integer"),
    case("tRuE", None, "mixed-case"),
    case("y", "letter_yn"),
    case("n", "letter_yn"),
    case("on", None),
    case("off", None),
    case("true ", None, "trailing-blank"),
]

DATE = [
    case("2023-01-15", "date"),
    case("1999-12-31", "date"),
    case("0001-01-01", "date"),
    case("2024-02-29", "date", "leap-day"),
    case("2023-02-29", "date", "leap-day-of-common-year-not-refused"),
    case("2023-04-30", "date"),
    case("2023-02-30", None, "february-30"),
    case("2023-04-31", None, "april-31"),
    case("2023-06-31", None, "june-31"),
    case("2023-13-01", None, "month-13"),
    case("2023-00-10", None, "month-0"),
    case("2023-01-00", None, "day-0"),
    case("2023-01-32", None, "day-32"),
    case("2023-1-5", "date_unpadded", "one-digit-parts"),
    case("15/01/2023", "date_dmy_slash"),
    case("2023/01/15", "date_ymd_slash"),
    case("23-01-15", "date_dmy_dash_yy", "two-digit-year-read-day-first"),
]

DATETIME = [
    case("2023-01-15T14:30:00", "datetime"),
    case("2023-01-15 14:30", "datetime", "space-and-no-seconds"),
    case("2023-01-15T14:30:00Z", "datetime"),
    case("2023-01-15T14:30:00.123+02:00", "datetime"),
    case("2023-01-15T14:30:00-0500", "datetime", "zone-without-colon"),
    case("2023-01-15T14:30+01", "datetime", "zone-hours-only"),
    case("2023-01-15T14:30:00,5Z", "datetime", "decimal-comma-seconds"),
    case("2023-01-15T25:00:00", None, "hour-25"),
    case("2023-01-15T14:60", None, "minute-60"),
    case("2023-01-15T", None),
    case("2023-01-15t14:30", None, "lowercase-t"),
    case("2023-02-30T10:00:00", None, "february-30"),
    case("2023-01-15T14:30:00+2", None, "one-digit-zone"),
    case("2023-01-15T14:30:00 Z", None, "blank-before-zone"),
]

TIME = [
    case("00:00", "time"),
    case("23:59:59", "time"),
    case("14:30:00.250", "time"),
    case("12:00Z", "time"),
    case("08:15:00+01:00", "time"),
    case("24:00", "time_end_of_day", "hour-24"),
    case("7:30", None, "one-digit-hour"),
    case("12:60", None),
    case("12:30:61", None),
    case("23:59:60", None, "leap-second"),
    case("12h30", None),
    case("1430", "integer", "no-colon-is-a-number"),
]

EMAIL = [
    case("ann@example.com", "email"),
    case("first.last+tag@mail.example.co.uk", "email"),
    case("o'brien@example.ie", "email"),
    case("x_y@sub-domain.example.org", "email"),
    case("ANN@EXAMPLE.COM", "email", "upper-case"),
    case("ann@localhost", None, "no-dot-in-domain"),
    case("@example.com", None),
    case("ann@", None),
    case("ann.@example.com", None, "dot-ends-local-part"),
    case("ann..b@example.com", None, "two-dots"),
    case("ann@example..com", None),
    case("ann@-example.com", None, "hyphen-starts-label"),
    case("ann@example.c0m", None, "digit-in-top-level"),
    case("ann @example.com", None),
    case("mailto:ann@example.com", None),
    case("ann@b@example.com", None),
    case("a@" + "a." * 126 + "com", "email", "126-labels"),
    case("a@" + "a." * 127 + "com", None, "127-labels"),
    case("a@" + "a." * 50_000 + "com", None, "long-dotted-domain-no-stack-error"),
    case("a." * 50_000 + "a@x.com", None, "long-dotted-local-part-no-stack-error"),
]

URL = [
    case("https://example.com", "url"),
    case("http://example.com/path?q=1&r=a%20b#frag", "url"),
    case("https://sub.example.co.uk:8080/a/b/", "url"),
    case("ftp://files.example.org/pub/file.txt", "url"),
    case("http://localhost:8000/", "url"),
    case("http://192.168.0.1/x", "url"),
    case("http://[::1]/", "url", "ipv6"),
    case("https://example.com?q=1", "url", "query-without-path"),
    case("example.com", None),
    case("www.example.com", None),
    case("https://", None),
    case("https:/example.com", None),
    case("https://exa mple.com", None, "blank-in-host"),
    case("https://example.com/a b", None, "blank-in-path"),
    case("HTTP://EXAMPLE.COM", None, "upper-case-scheme"),
    case("mailto:ann@example.com", None),
    case("javascript:alert(1)", None),
    case("http://" + "a." * 50_000 + "com", None, "long-dotted-host-no-stack-error"),
    case("https://example.com/" + "x" * 100_000, "url", "long-path"),
]

UUID = [
    case("123e4567-e89b-12d3-a456-426614174000", "uuid"),
    case("00000000-0000-0000-0000-000000000000", "uuid", "nil"),
    case("A987FBC9-4BED-3078-CF07-9141BA07C9F3", "uuid", "upper-case"),
    case("123e4567e89b12d3a456426614174000", None, "no-hyphens"),
    case("{123e4567-e89b-12d3-a456-426614174000}", None, "braces"),
    case("123e4567-e89b-12d3-a456-42661417400", None, "short"),
    case("123e4567-e89b-12d3-a456-42661417400g", None, "not-hex"),
]

OTHER = [
    case("", None, "empty"),
    case("NaN", None),
    case("-", None),
    case("hello", None),
    case("a" * 100_000, None, "long-word"),
    case("1" * 100_000, "integer", "long-number"),
]


THOUSANDS = [
    case("1,234", "integer_thousands_comma", "one-group-reads-as-thousands"),
    case("-12,345,678", "integer_thousands_comma"),
    case("+999,000", "integer_thousands_comma"),
    case("1,234,567.89", "decimal_thousands_comma"),
    case("-1,000.5", "decimal_thousands_comma"),
    case("1.234.567", "integer_thousands_dot"),
    case("1.234", "decimal", "one-dot-group-is-a-decimal"),
    case("1.234,5", "decimal_thousands_dot"),
    case("-1.234.567,89", "decimal_thousands_dot"),
    case("1234,5", "decimal_comma", "four-digits-before-comma"),
    case("0,123", "decimal_comma", "zero-before-three-digits"),
    case("12,3456", "decimal_comma", "four-digits-after-comma"),
    case("-0,5", "decimal_comma"),
    case("1,23", "decimal_comma"),
    case("1,2345,678", None, "uneven-groups"),
    case("1,23,456", None, "indian-grouping"),
    case("01,234", None, "leading-zero-group"),
    case("1,234,5", None, "short-last-group"),
    case("1,234.", None, "trailing-point"),
    case(",5", None),
    case("1.234.5", None),
    case("1.234,567.8", None, "both-separators-twice"),
    case("1,234,567,", None),
    case("1 234 567", None, "space-thousands"),
    case("1'234'567", None, "apostrophe-thousands"),
]

PERCENT = [
    case("12%", "percent"),
    case("-3.5%", "percent"),
    case("0.25%", "percent"),
    case("+100%", "percent"),
    case("12 %", None, "blank-before-sign"),
    case("12,5%", None, "decimal-comma"),
    case("%12", None),
    case("12%%", None),
    case("1e2%", None),
]

DAY_MONTH = [
    *(case(f"15{sep}01{sep}2023", f"date_dmy_{name}") for name, sep in (("slash", "/"), ("dot", "."), ("dash", "-"))),
    *(case(f"01{sep}15{sep}2023", f"date_mdy_{name}") for name, sep in (("slash", "/"), ("dot", "."), ("dash", "-"))),
    *(case(f"01{sep}02{sep}2023", f"date_dmy_or_mdy_{name}")
      for name, sep in (("slash", "/"), ("dot", "."), ("dash", "-"))),
    case("12/12/2023", "date_dmy_or_mdy_slash", "both-twelve"),
    case("13/12/2023", "date_dmy_slash", "day-thirteen"),
    case("12/13/2023", "date_mdy_slash", "day-thirteen-second"),
    case("31/01/2023", "date_dmy_slash"),
    case("31/04/2023", None, "april-31-day-first"),
    case("04/31/2023", None, "april-31-month-first"),
    case("30/02/2023", None, "february-30"),
    case("29/02/2023", "date_dmy_slash", "leap-day-not-checked"),
    case("02/29/2023", "date_mdy_slash"),
    case("13/13/2023", None, "no-month"),
    case("32/01/2023", None),
    case("00/01/2023", None, "day-0"),
    case("01/00/2023", None, "month-0"),
    case("1/5/2023", "date_dmy_or_mdy_slash_unpadded", "one-digit-parts"),
    case("15/01/23", "date_dmy_slash_yy", "two-digit-year"),
    case("15/01-2023", None, "mixed-separators"),
    case("15.01.2023.", None),
    case("2023/01/15", "date_ymd_slash"),
    case("2023/02/30", None, "ymd-february-30"),
    case("2023/13/01", None),
    case("2023/1/5", "date_ymd_slash_unpadded"),
    case("2023.01.15", None, "year-first-dots"),
    case("15 01 2023", None),
]

MONTH_NAMES = [
    case("15-Jan-2023", "date_d_mon_y"),
    case("5-Feb-2023", "date_d_mon_y", "one-digit-day"),
    case("05-FEB-2023", "date_d_mon_y", "upper-case"),
    case("31-Dec-1999", "date_d_mon_y"),
    case("31-Apr-2023", None, "april-31"),
    case("30-Feb-2023", None),
    case("15-jan-2023", None, "lower-case"),
    case("15-January-2023", None, "full-name"),
    case("15 Jan 2023", "date_d_mon_y_blank", "blanks"),
    case("Jan 15, 2023", "date_mon_d_y"),
    case("Sep 5, 2023", "date_mon_d_y"),
    case("DEC 31, 2023", "date_mon_d_y"),
    case("Jan 15 2023", "date_mon_d_y_blank", "no-comma"),
    case("Jan 15,2023", None, "no-blank-after-comma"),
    case("Jun 31, 2023", None, "june-31"),
    case("Foo 15, 2023", None),
]

DATETIME_FAMILIES = [
    case("15/01/2023 14:30:00", "datetime_dmy_slash"),
    case("01/15/2023 14:30:00", "datetime_mdy_slash"),
    case("01/02/2023 00:00:00", "datetime_dmy_or_mdy_slash"),
    case("15.01.2023 23:59:59", "datetime_dmy_dot"),
    case("01-15-2023 08:00:00", "datetime_mdy_dash"),
    case("01-02-2023 08:00:00", "datetime_dmy_or_mdy_dash"),
    case("2023/01/15 14:30:00", "datetime_ymd_slash"),
    case("15-Jan-2023 14:30:00", "datetime_d_mon_y"),
    case("Jan 15, 2023 14:30:00", "datetime_mon_d_y"),
    case("15/01/2023 14:30", "datetime_dmy_slash_hm", "no-seconds"),
    case("15/01/2023T14:30:00", None, "t-separator"),
    case("15/01/2023 24:00:00", None, "hour-24"),
    case("15/01/2023 14:30:00Z", None, "zone"),
    case("15/01/2023 14:30:00.5", None, "fraction"),
    case("15/01/2023  14:30:00", None, "two-blanks"),
    case("15/01/2023 2:30:00", "datetime_dmy_slash_unpadded", "one-digit-hour"),
    case("01/15/2023 02:30:00 PM", "datetime_mdy_slash_hms_ampm", "twelve-hour-clock"),
]

UNPADDED = [
    case("1-1-2016", "date_dmy_or_mdy_dash_unpadded"),
    case("5/19/2006", "date_mdy_slash_unpadded"),
    case("19/5/2006", "date_dmy_slash_unpadded"),
    case("1.5.2006", "date_dmy_or_mdy_dot_unpadded"),
    case("01/5/2006", "date_dmy_or_mdy_slash_unpadded", "one-part-padded"),
    case("2005-10-3", "date_unpadded"),
    case("2005-2-29", "date_unpadded", "leap-day-not-checked"),
    case("2005-02-03", "date", "padded-stays-iso"),
    case("2005-2-30", None, "february-30"),
    case("4/31/2006", None, "april-31"),
    case("31/4/2006", None, "april-31-day-first"),
    case("0/5/2006", None, "day-0"),
    case("001/5/2006", None, "three-digit-part"),
    case("13/13/2006", None, "no-month"),
    case("2005-10-003", None),
    case("2010/1/5", "date_ymd_slash_unpadded"),
    case("2010/1/5 9:05:00", "datetime_ymd_slash_unpadded"),
    case("2010/1/32", None, "day-32"),
]

TWO_DIGIT_YEARS = [
    case("3/30/12", "date_mdy_slash_yy"),
    case("30/3/12", "date_dmy_slash_yy"),
    case("01-01-13", "date_dmy_or_mdy_dash_yy"),
    case("1-1-13", "date_dmy_or_mdy_dash_yy", "unpadded"),
    case("19.05.06", "date_dmy_dot_yy"),
    case("19-Sep-03", "date_d_mon_yy"),
    case("3-Nov-23", "date_d_mon_yy"),
    case("03-NOV-23", "date_d_mon_yy", "upper-case"),
    case("1.10.12", None, "unpadded-dots-are-a-version"),
    case("3/30/2", None, "one-digit-year"),
    case("3/30/123", None, "three-digit-year"),
    case("31-Apr-23", None, "april-31"),
    case("19-Sep-3", None),
    case("31/02/12", None, "february-31"),
]

MORE_MONTH_NAMES = [
    case("Jan 1 2000", "date_mon_d_y_blank"),
    case("MAY 31 2000", "date_mon_d_y_blank"),
    case("Jan-1-1995", "date_mon_d_y_dash"),
    case("Feb-29-1996", "date_mon_d_y_dash"),
    case("15 Jan 2023", "date_d_mon_y_blank"),
    case("15 May 2023", "date_d_mon_y_blank", "may-is-an-abbreviation"),
    case("January 15, 2023", "date_month_d_y"),
    case("SEPTEMBER 5, 2023", "date_month_d_y"),
    case("May 15, 2023", "date_mon_d_y", "may-is-an-abbreviation-with-comma"),
    case("15 January 2023", "date_d_month_y"),
    case("1 February 2023", "date_d_month_y"),
    case("30 February 2023", None, "february-30"),
    case("31 June 2023", None, "june-31"),
    case("January 15 2023", None, "full-name-without-comma"),
    case("Janu 15, 2023", None),
    case("january 15, 2023", None, "lower-case"),
    case("Jan 1  2000", None, "two-blanks"),
    case("Sept 5 2023", None),
]

YEAR_PARTS = [
    case("1974Q1", "year_quarter"),
    case("2010 Q4", "year_quarter"),
    case("2010-Q4", "year_quarter"),
    case("Q42010", "year_quarter"),
    case("Q4 2010", "year_quarter"),
    case("1974Q5", None, "quarter-5"),
    case("1974Q0", None, "quarter-0"),
    case("1974q1", None, "lower-case-q"),
    case("Q474", None, "two-digit-year"),
    case("2023-01", "year_month"),
    case("1999-12", "year_month"),
    case("2023-13", None, "month-13"),
    case("2023-00", None, "month-0"),
    case("2023-1", None, "one-digit-month"),
    case("0999-01", None, "year-before-1000"),
    case("1998-99", None, "season"),
    case("4521-03", None, "part-number"),
    case("1948 Jan", "year_mon"),
    case("1948 DEC", "year_mon"),
    case("1948 January", None, "full-name"),
    case("Jan 1948", None),
]

TIMES_AFTER_DATES = [
    case("2010/01/01 00:00", "datetime_ymd_slash_hm"),
    case("2010/01/01 7:05", "datetime_ymd_slash_hm", "one-digit-hour"),
    case("2010/1/1 7:05", "datetime_ymd_slash_hm", "unpadded-date"),
    case("5/19/2006 0:00:00", "datetime_mdy_slash_unpadded"),
    case("1/5/2011 00:00:00", "datetime_dmy_or_mdy_slash_unpadded"),
    case("19.05.2006 13:45", "datetime_dmy_dot_hm"),
    case("1-5-2006 9:30", "datetime_dmy_or_mdy_dash_hm"),
    case("01/02/2023 2:30 PM", "datetime_dmy_or_mdy_slash_hm_ampm"),
    case("12/13/2023 11:05 am", "datetime_mdy_slash_hm_ampm"),
    case("1/5/2011 12:00:00 AM", "datetime_dmy_or_mdy_slash_hms_ampm"),
    case("3/30/12 14:05", "datetime_mdy_slash_yy_hm"),
    case("15/01/2023 14:30:00", "datetime_dmy_slash", "padded-stays-in-its-family"),
    case("01/02/2023 13:30 PM", None, "hour-13-on-a-12-hour-clock"),
    case("01/02/2023 0:30 AM", None, "hour-0-on-a-12-hour-clock"),
    case("01/02/2023 2:30PM", None, "no-blank-before-pm"),
    case("01/02/2023 2:30 P.M.", None),
    case("2010/01/01 24:00", None, "hour-24"),
    case("5/19/2006 0:00", "datetime_mdy_slash_hm"),
    case("5/19/2006 0:0:00", None, "one-digit-minute"),
    case("19.05.06 13:45", None, "two-digit-year-with-dots-and-time"),
]

LETTERS = [
    *(case(text, "letter_tf") for text in "TFtf"),
    *(case(text, "letter_yn") for text in "YNyn"),
    *(case(text, "letter") for text in "MmAaZzXxEeOoSs"),
    case("é", None, "non-ascii"),
    case("MF", None, "two-letters"),
    case("T ", None, "trailing-blank"),
    case("_", None),
]

PADDED = [
    case(" 29.861 ", "decimal_padded"),
    case("           0 ", "integer_padded"),
    case("   -7", "integer_padded"),
    case("1e5  ", "decimal_padded"),
    case(" 007 ", None, "leading-zero"),
    case(" 1,234 ", None, "thousands"),
    case(" 12% ", None, "percent"),
    case("\t42", None, "tab"),
    case(" ", None, "blank-alone"),
    case("1 2", None, "blank-inside"),
]

END_OF_DAY = [
    case("24:00", "time_end_of_day"),
    case("24:00:00", "time_end_of_day"),
    case("24:01", None),
    case("24:00:01", None),
    case("24:00Z", None, "zone"),
    case("23:59", "time"),
]

TWELVE_HOUR_TIMES = [
    case("2:30 PM", "time_hm_ampm"),
    case("02:30 pm", "time_hm_ampm"),
    case("12:05:59 AM", "time_hms_ampm"),
    case("13:00 PM", None, "hour-13"),
    case("0:30 AM", None, "hour-0"),
    case("2:30PM", None, "no-blank"),
    case("2:30 P.M.", None),
    case("2:30 PM Z", None, "zone"),
]

ALL_CASES = (INTEGER + DECIMAL + BOOLEAN + DATE + DATETIME + TIME + EMAIL + URL + UUID + OTHER
             + THOUSANDS + PERCENT + DAY_MONTH + MONTH_NAMES + DATETIME_FAMILIES
             + UNPADDED + TWO_DIGIT_YEARS + MORE_MONTH_NAMES + YEAR_PARTS + TIMES_AFTER_DATES + LETTERS + PADDED
             + END_OF_DAY + TWELVE_HOUR_TIMES)


def classify(texts, types=DEFAULT_TYPES):
    """For each text, the set of types whose patterns match it, as the engine matches them."""
    table = _native.compile_types({name: list(patterns) for name, patterns in types.items()})
    found = _native.classify(table, texts, all=True)
    assert len(found) == len(texts)
    return [set(names) for names in found]


@pytest.fixture(scope="module")
def matches():
    texts = sorted({p.values[0] for p in ALL_CASES})
    return dict(zip(texts, classify(texts)))


@pytest.mark.parametrize("text,expected", ALL_CASES)
def test_default_types(matches, text, expected):
    assert matches[text] == ({expected} if expected else set())


def generated_texts():
    """Texts near the edges of the number and date types: every day and month
    combination with each separator and order, with and without a time, and
    random strings over the characters these types are made of."""
    texts = set()
    parts = [f"{n:02d}" for n in range(0, 34)] + ["1", "5"]
    for a, b in itertools.product(parts, repeat=2):
        for sep in "/.-":
            texts.update({f"{a}{sep}{b}{sep}2023", f"2023{sep}{a}{sep}{b}", f"{a}{sep}{b}{sep}2023 10:20:30"})
    texts.update(f"2023{a}{b}" for a, b in itertools.product(parts, repeat=2))
    # The looser forms: unpadded parts, two-digit years, and every shape of time after a date.
    few = ["1", "5", "00", "01", "02", "09", "10", "12", "13", "15", "29", "30", "31", "32"]
    times = ["", " 10:20:30", " 9:05:00", " 14:30", " 7:05", " 2:30 PM", " 12:00:00 am", " 13:00 PM", " 24:00"]
    for a, b in itertools.product(few, repeat=2):
        for sep, year, time in itertools.product("/.-", ("2023", "23", "123"), times):
            texts.add(f"{a}{sep}{b}{sep}{year}{time}")
        texts.update({f"2023-{a}-{b}", f"2023/{a}/{b} 10:20", f"2023/{a}/{b} 9:05:00", f"2023/{a}/{b} 10:20:30",
                      f"2023-{a}-{b} 7:05", f"2023-{a}", f"{a}:{b}"})
    names = ["Jan", "Feb", "Apr", "May", "JAN", "jan", "January", "February", "April", "MAY", "JANUARY", "Janu"]
    for day, mon in itertools.product(["1", "01", "15", "29", "30", "31", "32"], names):
        texts.update({f"{day}-{mon}-2023", f"{mon} {day}, 2023", f"{mon} {day}, 2023 10:20:30", f"{day}-{mon}-23",
                      f"{day} {mon} 2023", f"{mon} {day} 2023", f"{mon}-{day}-2023", f"2023 {mon}"})
    for q in ("Q0", "Q1", "Q4", "Q5", "q1"):
        texts.update({f"1974{q}", f"1974 {q}", f"1974-{q}", f"{q}1974", f"{q} 1974", f"{q}74"})
    texts.update(time.strip() for time in times)
    texts.update(chr(c) for c in range(32, 127))
    texts.update(f"{pad}{n}{end}" for pad in ("", " ", "   ") for end in ("", " ", "  ")
                 for n in ("0", "42", "-7", "007", "3.14", ".5", "1e5", "1,234", "12%", "x"))
    rng = random.Random(13)
    alphabet = "0123456789,.%-+/: eETZQAPM"
    weights = [6] * 10 + [4, 4, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1]
    for _ in range(20000):
        texts.add("".join(rng.choices(alphabet, weights, k=rng.randint(1, 14))))
    texts.update(p.values[0] for p in ALL_CASES if len(p.values[0]) < 1000)
    return sorted(texts)


@pytest.mark.parametrize("compact", [False, True], ids=["default", "with-compact-dates"])
def test_no_text_matches_two_types_and_python_agrees(compact):
    """The whole library on generated texts, through the engine: at most one
    type per text. The package checks and converts values with Python's re,
    so re must accept exactly the texts that the engine accepts."""
    types = default_types(compact_dates=compact)
    texts = generated_texts()
    found = classify(texts, types)
    overlapping = {t: sorted(f) for t, f in zip(texts, found) if len(f) > 1}
    assert not overlapping
    compiled = {name: [re.compile(p) for p in patterns] for name, patterns in types.items()}
    disagreeing = {
        t: (sorted(f), sorted(n for n, ps in compiled.items() if any(p.fullmatch(t) for p in ps)))
        for t, f in zip(texts, found)
        if f != {n for n, ps in compiled.items() if any(p.fullmatch(t) for p in ps)}
    }
    assert not disagreeing
    matched = set().union(*found)
    assert matched == set(types), "every type should be reached by the generated texts"


COMPACT = [
    case("20230115", "date_ymd_compact"),
    case("19991231", "date_ymd_compact"),
    case("20230230", "integer", "february-30-stays-a-number"),
    case("20231301", "integer", "month-13-stays-a-number"),
    case("18990101", "integer", "year-before-1900"),
    case("2023011", "integer", "seven-digits"),
    case("202301150", "integer", "nine-digits"),
    case("-20230115", "integer", "signed"),
    case("42", "integer"),
]


def test_compact_dates_are_an_opt_in():
    texts = [p.values[0] for p in COMPACT]
    found = classify(texts, default_types(compact_dates=True))
    assert [sorted(f) for f in found] == [[p.values[1]] for p in COMPACT]
    assert "date_ymd_compact" not in DEFAULT_TYPES
    assert list(default_types()) == list(DEFAULT_TYPES)


def infer_one(tmp_path, text, **kwargs):
    path = tmp_path / "one.csv"
    path.write_bytes(b'v\n"' + text.encode() + b'"\n')
    return velmira.infer(path, delimiter=",", **kwargs).column("v")


@pytest.mark.parametrize("marker", DEFAULT_NA_VALUES, ids=repr)
def test_default_na_markers(tmp_path, marker):
    column = infer_one(tmp_path, marker)
    assert (column.missing, column.type) == (1, "empty")


@pytest.mark.parametrize("text", ["na", "Na", " NA", "NA ", "n.a.", "NONE", "none", "--", "#NA"], ids=repr)
def test_near_misses_are_not_markers(tmp_path, text):
    assert infer_one(tmp_path, text).missing == 0


def test_markers_can_be_replaced(tmp_path):
    column = infer_one(tmp_path, "NA", na_values={"?"})
    assert (column.missing, column.type) == (0, "string")
