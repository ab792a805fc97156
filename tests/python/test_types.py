"""The default type library, text by text through the engine.

Each text is matched against every default type on its own, so a case states
both what a type accepts and that no other type accepts it too: the engine
caches a text's type for all columns, so overlapping types would make the
result depend on which column met the text first.
"""
import pytest

import velmira
import velmira_ext
from velmira.types import DEFAULT_NA_VALUES, DEFAULT_TYPES


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
    case("1,000", None, "thousands-comma"),
    case("1 000", None, "thousands-space"),
    case("1_000", None),
    case(" 42", None, "leading-blank"),
    case("42 ", None, "trailing-blank"),
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
    case("3,14", None, "decimal-comma"),
    case("1,234.56", None, "thousands-comma"),
    case("007.5", None, "leading-zero"),
    case("1e", None, "empty-exponent"),
    case("e5", None),
    case("1.5e", None),
    case("inf", None),
    case("Infinity", None),
    case("1.5 ", None, "trailing-blank"),
]

BOOLEAN = [
    *(case(text, "boolean") for text in ("true", "True", "TRUE", "false", "False", "FALSE")),
    *(case(text, "boolean") for text in ("yes", "Yes", "YES", "no", "No", "NO", "t", "T", "f", "F")),
    case("0", "integer", "zero-is-an-integer"),
    case("tRuE", None, "mixed-case"),
    case("y", None),
    case("n", None),
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
    case("2023-1-5", None, "one-digit-parts"),
    case("15/01/2023", None),
    case("2023/01/15", None),
    case("23-01-15", None, "two-digit-year"),
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
    case("24:00", None, "hour-24"),
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


def matching_types(directory, text):
    """The default types whose patterns match `text`, each type tried on its own."""
    path = directory / "one.csv"
    path.write_bytes(b'v\n"' + text.replace('"', '""').encode() + b'"\n')
    found = set()
    for name, patterns in DEFAULT_TYPES.items():
        inf = velmira_ext.Inf(str(path), ",", {name: list(patterns)}, set(), False, False, "", 1000)
        inf.infer_types()
        counts = inf.get_col_type_candidates()["v"]
        assert counts[name] + counts["other"] == 1
        if counts[name]:
            found.add(name)
    return found


@pytest.mark.parametrize(
    "text,expected", INTEGER + DECIMAL + BOOLEAN + DATE + DATETIME + TIME + EMAIL + URL + UUID + OTHER
)
def test_default_types(tmp_path, text, expected):
    assert matching_types(tmp_path, text) == ({expected} if expected else set())


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
