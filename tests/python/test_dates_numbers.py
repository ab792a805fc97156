"""Column verdicts for day-month dates, numbers with separators and looser forms, on small columns and real files."""
import datetime as dt
import warnings
from decimal import Decimal
from pathlib import Path

import pytest

import velmira
from velmira.dialect import HeaderEncodingWarning

DATA = Path(__file__).resolve().parent / "data"


def column_of(tmp_path, values, **kwargs):
    path = tmp_path / "data.csv"
    path.write_text("v\n" + "".join(f'"{value}"\n' for value in values))
    return velmira.infer(path, delimiter=",", **kwargs).column("v")


ORDERS = [
    # values, keyword arguments, (type, format), what the note must say (None: no note)
    pytest.param(["15/01/2023", "03/02/2023"], {}, ("date_dmy_slash", "%d/%m/%Y"), None,
                 id="one-sure-day-first-decides"),
    pytest.param(["01/15/2023", "03/02/2023"], {}, ("date_mdy_slash", "%m/%d/%Y"), None,
                 id="one-sure-month-first-decides"),
    pytest.param(["01/15/2023", "03/02/2023"], {"month_first": False}, ("date_mdy_slash", "%m/%d/%Y"), None,
                 id="evidence-beats-the-preference"),
    pytest.param(["01/02/2023", "03/04/2023"], {}, ("date_dmy_or_mdy_slash", "%d/%m/%Y"), "read day-first",
                 id="either-way-reads-day-first"),
    pytest.param(["01/02/2023", "03/04/2023"], {"month_first": True}, ("date_dmy_or_mdy_slash", "%m/%d/%Y"),
                 "read month-first", id="either-way-month-first-on-request"),
    pytest.param(["15/01/2023", "01/15/2023", "03/02/2023"], {}, ("string", None),
                 "1 value can only be day-first (date_dmy_slash) and 1 only month-first (date_mdy_slash)",
                 id="both-orders-are-a-string"),
    pytest.param(["15/01/2023"] * 9 + ["01/15/2023", "03/02/2023"], {"threshold": 0.8},
                 ("date_dmy_slash", "%d/%m/%Y"), "only month-first", id="both-orders-under-a-threshold"),
    pytest.param(["15.01.2023", "03.02.2023", "NA"], {}, ("date_dmy_dot", "%d.%m.%Y"), None, id="dots"),
    pytest.param(["01-15-2023", "03-02-2023"], {}, ("date_mdy_dash", "%m-%d-%Y"), None, id="dashes"),
    pytest.param(["15/01/2023", "03.02.2023"], {}, ("string", None), None, id="separators-do-not-mix"),
    pytest.param(["15/01/2023", "2023-02-03"], {}, ("string", None), None, id="iso-does-not-mix"),
    pytest.param(["15/01/2023 10:00:00", "03/02/2023 11:00:00"], {},
                 ("datetime_dmy_slash", "%d/%m/%Y %H:%M:%S"), None, id="datetimes"),
    pytest.param(["15/01/2023", "03/02/2023 11:00:00"], {}, ("string", None), None, id="date-and-datetime"),
    pytest.param(["Jan 5, 2023", "Dec 31, 2023"], {}, ("date_mon_d_y", "%b %d, %Y"), None, id="month-names"),
    pytest.param(["2023-01-15", "2023-02-03"], {}, ("date", "%Y-%m-%d"), None, id="iso"),
]


def check_verdict(tmp_path, values, kwargs, expected, note):
    column = column_of(tmp_path, values, **kwargs)
    assert (column.type, column.format) == expected
    if note is None:
        assert column.note is None
    else:
        assert note in column.note


@pytest.mark.parametrize("values,kwargs,expected,note", ORDERS)
def test_date_order_verdicts(tmp_path, values, kwargs, expected, note):
    check_verdict(tmp_path, values, kwargs, expected, note)


NUMBERS = [
    # values, type, (group char, decimal char)
    pytest.param(["1,234", "999", "12,345,678"], "integer_thousands_comma", (",", None), id="thousands-comma"),
    pytest.param(["1,234.5", "999", "0.25", "1,234"], "decimal_thousands_comma", (",", "."),
                 id="thousands-comma-decimal-covers-plain-and-grouped"),
    pytest.param(["1.234.567", "12"], "integer_thousands_dot", (".", None), id="thousands-dot"),
    pytest.param(["1.234,5", "999,5", "7", "1.234.567"], "decimal_thousands_dot", (".", ","), id="european"),
    pytest.param(["1.234,5", "1.234"], "string", (None, None), id="european-with-a-point-decimal-is-a-string"),
    pytest.param(["3,14", "2523,00", "5"], "decimal_comma", (None, ","), id="decimal-comma"),
    pytest.param(["3,14", "1,234"], "string", (None, None), id="decimal-comma-with-a-thousands-shape"),
    pytest.param(["12%", "-0.5%"], "percent", (None, "."), id="percent"),
    pytest.param(["12%", "5"], "string", (None, None), id="percent-does-not-cover-numbers"),
    pytest.param(["1,234", "1.5"], "decimal_thousands_comma", (",", "."), id="not-merged-into-plain-decimal"),
    pytest.param(["1,234", "1,5"], "string", (None, None), id="thousands-and-decimal-comma-clash"),
]


@pytest.mark.parametrize("values,expected,separators", NUMBERS)
def test_number_verdicts(tmp_path, values, expected, separators):
    column = column_of(tmp_path, values)
    assert column.type == expected
    assert (column.group_char, column.decimal_char) == separators


def test_compact_dates_opt_in(tmp_path):
    compact = velmira.default_types(compact_dates=True)
    dates = column_of(tmp_path, ["20230115", "20231231"], types=compact)
    assert (dates.type, dates.format) == ("date_ymd_compact", "%Y%m%d")
    ids = column_of(tmp_path, ["20230115", "7", "123456789"], types=compact)
    assert ids.type == "integer"
    assert column_of(tmp_path, ["20230115", "20231231"]).type == "integer"


FILES = {
    # file: {column: (type, format)}, plus a few values as read_rows gives them
    "uk_bank_statement.csv": (
        {"Date": ("date_dmy_slash", "%d/%m/%Y"), "Description": ("string", None),
         "Amount": ("decimal_thousands_comma", None), "Balance": ("decimal_thousands_comma", None),
         "Posted": ("datetime_dmy_slash", "%d/%m/%Y %H:%M:%S")},
        {"Date": dt.date(2023, 3, 24), "Amount": Decimal("-1343.76"), "Posted": dt.datetime(2023, 3, 24, 8, 22, 59)},
    ),
    "us_sales.csv": (
        {"order_date": ("date_mdy_slash", "%m/%d/%Y"), "ship_date": ("date_mon_d_y", "%b %d, %Y"),
         "units": ("integer_thousands_comma", None), "revenue": ("decimal_thousands_comma", None),
         "discount": ("percent", None), "paid": ("boolean", None), "region": ("string", None)},
        {"order_date": dt.date(2023, 1, 15), "ship_date": dt.date(2023, 1, 18), "units": 1255382,
         "revenue": Decimal("4707682.50"), "discount": Decimal("0"), "paid": False},
    ),
    "de_export.csv": (
        {"Datum": ("date_dmy_dot", "%d.%m.%Y"), "Betrag": ("decimal_thousands_dot", None),
         "Menge": ("integer_thousands_dot", None), "Preis": ("decimal_comma", None),
         "Zeitstempel": ("datetime_dmy_dot", "%d.%m.%Y %H:%M:%S")},
        {"Datum": dt.date(2023, 5, 3), "Betrag": Decimal("1756834.98"), "Menge": 38773020, "Preis": Decimal("711.42")},
    ),
    "nl_register.csv": (
        {"datum": ("date_dmy_dash", "%d-%m-%Y"), "bedrag": ("decimal_comma", None), "tijd": ("time", None),
         "filiaal": ("string", None)},
        {"datum": dt.date(2023, 2, 15), "bedrag": Decimal("2926.17"), "tijd": dt.time(14, 12), "filiaal": None},
    ),
    "oracle_export.csv": (
        {"HIRE_DATE": ("date_d_mon_y", "%d-%b-%Y"), "LAST_LOGIN": ("datetime_d_mon_y", "%d-%b-%Y %H:%M:%S"),
         "REVIEWED": ("date_ymd_slash", "%Y/%m/%d"), "REVIEWED_AT": ("datetime_ymd_slash", "%Y/%m/%d %H:%M:%S"),
         "SALARY": ("integer", None)},
        {"HIRE_DATE": dt.date(2023, 5, 7), "LAST_LOGIN": dt.datetime(2023, 5, 7, 15, 58, 43), "SALARY": 141064},
    ),
    "ambiguous_dates.csv": ({"id": ("integer", None), "visit": ("date_dmy_or_mdy_slash", "%d/%m/%Y")},
                            {"visit": dt.date(2024, 7, 1)}),
    "mixed_orders.csv": ({"id": ("integer", None), "when": ("string", None)}, {"when": "02/11/2023"}),
    "field_log.csv": (
        {"id": ("integer", None), "sex": ("letter", None), "consent": ("boolean", None),
         "visit": ("date_mdy_slash_unpadded", "%m/%d/%Y"),
         "logged": ("datetime_mdy_slash_unpadded", "%m/%d/%Y %H:%M:%S"),
         "posted": ("datetime_mdy_slash_hm_ampm", "%m/%d/%Y %I:%M %p"), "born": ("date_mdy_slash_yy", "%m/%d/%y"),
         "quarter": ("year_quarter", None), "month": ("year_month", "%Y-%m"),
         "reading": ("datetime_ymd_slash_hm", "%Y/%m/%d %H:%M"), "hour": ("time", None),
         "issued": ("date_d_mon_yy", "%d-%b-%y"), "signed": ("date_month_d_y", "%B %d, %Y"),
         "score": ("decimal", None), "count": ("integer", None)},
        {"id": 4, "sex": "M", "consent": True, "visit": dt.date(2006, 6, 30),
         "logged": dt.datetime(2006, 6, 30, 23, 59, 59), "posted": dt.datetime(2023, 3, 4, 12, 45),
         "born": dt.date(2068, 12, 31), "month": dt.date(2023, 4, 1), "hour": dt.time(18),
         "issued": dt.date(2004, 2, 28), "signed": dt.date(2024, 2, 1), "score": None, "count": 41},
    ),
}


@pytest.mark.parametrize("name", FILES)
def test_real_looking_files(name):
    verdicts, sample = FILES[name]
    profile = velmira.infer(DATA / name)
    assert {c.name: (c.type, c.format) for c in profile.columns} == verdicts
    rows = list(velmira.read_rows(profile))
    assert len(rows) == profile.rows
    # The sample values come from one row: the first that agrees on its first sampled column.
    key, value = next(iter(sample.items()))
    row = next(r for r in rows if r[key] == value)
    assert {k: row[k] for k in sample} == sample


def test_conflicting_orders_are_explained(tmp_path):
    profile = velmira.infer(DATA / "mixed_orders.csv")
    when = profile.column("when")
    assert when.type == "string"
    assert "day-first" in when.note and "month-first" in when.note
    assert profile.to_dict()["columns"][1]["note"] == when.note


@pytest.mark.parametrize("values,threshold,error", [
    pytest.param(["1", "2", "x"], 0.5, "row 4, column 'v': 'x' is not of type integer", id="stray-text"),
    pytest.param(["1", "2", "1 000"], 0.5, "'1 000' is not of type integer", id="blanks-are-trimmed-only-around"),
    pytest.param(["15/01/2023", "01/15/2023", "03/02/2023"] + ["15/01/2023"] * 7, 0.7,
                 "'01/15/2023' is not of type date_dmy_slash", id="other-order-is-refused"),
])
def test_read_rows_refuses_what_the_type_does_not_accept(tmp_path, values, threshold, error):
    path = tmp_path / "data.csv"
    path.write_text("v\n" + "".join(f"{value}\n" for value in values))
    profile = velmira.infer(path, delimiter=",", threshold=threshold)
    with pytest.raises(ValueError, match=error.replace("(", r"\(")):
        list(velmira.read_rows(profile))


LOOSER = [
    # values, keyword arguments, (type, format), what the note must say (None: no note)
    pytest.param(["5/19/2006", "1/5/2007", "12/25/2006", "6/30/2006"], {}, ("date_mdy_slash_unpadded", "%m/%d/%Y"),
                 None, id="unpadded-month-first"),
    pytest.param(["19/5/2006", "01/02/2006"], {}, ("date_dmy_slash_unpadded", "%d/%m/%Y"), None,
                 id="unpadded-evidence-decides-a-padded-either"),
    pytest.param(["05/19/2006", "1/5/2007"], {}, ("date_mdy_slash", "%m/%d/%Y"), None,
                 id="padded-evidence-decides-an-unpadded-either"),
    pytest.param(["1/5/2007", "2/3/2007"], {}, ("date_dmy_or_mdy_slash_unpadded", "%d/%m/%Y"), "read day-first",
                 id="unpadded-either-way"),
    pytest.param(["1/5/2007", "2/3/2007"], {"month_first": True}, ("date_dmy_or_mdy_slash_unpadded", "%m/%d/%Y"),
                 "read month-first", id="unpadded-either-way-month-first"),
    pytest.param(["19/5/2006", "05/19/2006"], {}, ("string", None),
                 "1 value can only be day-first (date_dmy_slash_unpadded) and 1 only month-first (date_mdy_slash)",
                 id="orders-clash-across-padding"),
    pytest.param(["3/30/12", "1/5/99"], {}, ("date_mdy_slash_yy", "%m/%d/%y"), "69-99 as 1969-1999",
                 id="two-digit-years"),
    pytest.param(["3/30/12", "3/30/2012"], {}, ("string", None), None, id="year-lengths-do-not-mix"),
    pytest.param(["01-01-13", "01-02-13"], {}, ("date_dmy_or_mdy_dash_yy", "%d-%m-%y"),
                 "read day-first (%d-%m-%y); two", id="two-digit-years-either-way"),
    pytest.param(["January 15, 2023", "May 3, 2023"], {}, ("date_month_d_y", "%B %d, %Y"), None,
                 id="full-names-cover-may"),
    pytest.param(["15 January 2023", "3 May 2023"], {}, ("date_d_month_y", "%d %B %Y"), None,
                 id="day-first-full-names-cover-may"),
    pytest.param(["Jan 1 2000", "Feb 29 2000"], {}, ("date_mon_d_y_blank", "%b %d %Y"), None, id="no-comma"),
    pytest.param(["Jan-1-1995", "Dec-31-1995"], {}, ("date_mon_d_y_dash", "%b-%d-%Y"), None, id="dashes"),
    pytest.param(["1948 Jan", "1948 Feb"], {}, ("year_mon", "%Y %b"), None, id="year-and-month-name"),
    pytest.param(["2005-10-3", "2005-10-13"], {}, ("date", "%Y-%m-%d"), None, id="iso-with-and-without-zeros"),
    pytest.param(["5/19/2006 0:00:00", "05/20/2006 13:00:00"], {}, ("datetime_mdy_slash", "%m/%d/%Y %H:%M:%S"),
                 None, id="one-digit-hours"),
    pytest.param(["01:00", "23:00", "24:00"], {}, ("time", None), "24:00 ends a day", id="end-of-day"),
    pytest.param(["2:30 PM", "11:05 AM"], {}, ("time_hm_ampm", "%I:%M %p"), None, id="twelve-hour-times"),
    pytest.param(["2:30 PM", "14:30"], {}, ("string", None), None, id="clocks-do-not-mix"),
]


@pytest.mark.parametrize("values,kwargs,expected,note", LOOSER)
def test_looser_form_verdicts(tmp_path, values, kwargs, expected, note):
    check_verdict(tmp_path, values, kwargs, expected, note)


LETTERS = [
    # values, verdict. A sex column of F and M used to read as mostly boolean.
    pytest.param(["T", "F", "T"], "boolean", id="t-f"),
    pytest.param(["t", "f"], "boolean", id="lower-t-f"),
    pytest.param(["Y", "N", "NA"], "boolean", id="y-n"),
    pytest.param(["Y", "N", "yes", "no"], "boolean", id="letters-and-words"),
    pytest.param(["N", "N"], "boolean", id="one-letter-of-a-pair"),
    pytest.param(["F", "M", "F"], "letter", id="sex-is-not-boolean"),
    pytest.param(["T", "F", "Y"], "letter", id="two-pairs"),
    pytest.param(["A", "B", "C"], "letter", id="other-letters"),
    pytest.param(["true", "T", "maybe"], "string", id="a-word-that-is-not-boolean"),
]


@pytest.mark.parametrize("values,expected", LETTERS)
def test_single_letters(tmp_path, values, expected):
    assert column_of(tmp_path, values).type == expected


PADDED = [
    # values, type, padded
    pytest.param([" 29.861 ", "30", "  1.5"], "decimal", True, id="decimals"),
    pytest.param(["           0 ", "1", " 2"], "integer", True, id="integers"),
    pytest.param([" 1", "2.5"], "decimal", True, id="padded-integer-in-a-decimal-column"),
    pytest.param(["1", "2"], "integer", False, id="not-padded"),
    pytest.param([" 1,234", "2"], "string", False, id="thousands-are-not-trimmed"),
]


@pytest.mark.parametrize("values,expected,padded", PADDED)
def test_padded_numbers(tmp_path, values, expected, padded):
    column = column_of(tmp_path, values)
    assert (column.type, column.padded, column.to_dict()["padded"]) == (expected, padded, padded)
    assert ("blanks around the number" in (column.note or "")) == padded


READ = [
    # values, the first value as read_rows gives it
    pytest.param([" 29.861 ", "30"], Decimal("29.861"), id="padded-decimal"),
    pytest.param(["24:00", "01:00"], dt.time.max, id="end-of-day"),
    pytest.param(["12:30 AM", "2:30 PM"], dt.time(0, 30), id="twelve-hour-time"),
    pytest.param(["3/30/12", "1/5/99"], dt.date(2012, 3, 30), id="two-digit-year-2000s"),
    pytest.param(["1/5/99", "3/30/12"], dt.date(1999, 1, 5), id="two-digit-year-1900s"),
    pytest.param(["19-Sep-03", "1-Jan-70"], dt.date(2003, 9, 19), id="month-name-two-digit-year"),
    pytest.param(["May 3, 2023", "January 15, 2023"], dt.date(2023, 5, 3), id="may-in-a-full-name-column"),
    pytest.param(["1948 Mar", "1948 Apr"], dt.date(1948, 3, 1), id="year-and-month-name"),
    pytest.param(["1/5/2011 12:00:00 AM", "1/13/2011 1:00:00 pm"], dt.datetime(2011, 1, 5), id="midnight"),
    pytest.param(["2005-10-3", "2005-10-13"], dt.date(2005, 10, 3), id="iso-unpadded"),
    pytest.param(["f", "t"], False, id="f"),
    pytest.param(["1974Q1", "1974Q2"], "1974Q1", id="quarter-is-text"),
    pytest.param(["M", "F"], "M", id="letter-is-text"),
]


@pytest.mark.parametrize("values,first", READ)
def test_read_rows_of_looser_forms(tmp_path, values, first):
    path = tmp_path / "data.csv"
    path.write_text("v\n" + "".join(f'"{value}"\n' for value in values))
    profile = velmira.infer(path, delimiter=",")
    assert next(velmira.read_rows(profile))["v"] == first


REAL_FORMS = [
    # file, column, (type, format), padded: real files that write the looser forms
    pytest.param("statsmodels_danish_data.csv", "period", ("year_quarter", None), False, id="quarters"),
    pytest.param("frictionless_table_with_accents.csv", "Date", ("date_dmy_or_mdy_dash_yy", "%d-%m-%y"), False,
                 id="two-digit-years"),
    pytest.param("csvkit_event_notification.txt", "Event Dt",
                 ("datetime_dmy_or_mdy_slash_unpadded", "%d/%m/%Y %H:%M:%S"), False, id="unpadded-datetime"),
    pytest.param("csvkit_event_notification.txt", "RX CRIT 1", ("boolean", None), False, id="y-n"),
    pytest.param("statsmodels_stl_test_results.csv", "idx", ("integer", None), True, id="padded-integers"),
    pytest.param("statsmodels_stl_test_results.csv", "trend", ("decimal", None), True, id="padded-decimals"),
    pytest.param("statsmodels_arima212_forecast.csv", " cpi", ("decimal", None), True, id="blank-after-comma"),
    pytest.param("lifelines_holly_molly_polly.tsv", "ID", ("letter", None), False, id="letters"),
    pytest.param("pvlib_723170tya.csv", "Dry-bulb source", ("letter", None), False, id="source-flags"),
]


@pytest.mark.parametrize("name,column,expected,padded", REAL_FORMS)
def test_real_files_with_looser_forms(name, column, expected, padded):
    # Each of these columns used to be a string.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", HeaderEncodingWarning)
        profile = velmira.infer(DATA / "real" / name)
    found = profile.column(column)
    assert ((found.type, found.format), found.padded) == (expected, padded)
    assert len(list(velmira.read_rows(profile))) == profile.rows
