"""Column verdicts for day-month dates and numbers with separators, on small columns and real-looking files."""
import datetime as dt
from decimal import Decimal
from pathlib import Path

import pytest

import velmira

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


@pytest.mark.parametrize("values,kwargs,expected,note", ORDERS)
def test_date_order_verdicts(tmp_path, values, kwargs, expected, note):
    column = column_of(tmp_path, values, **kwargs)
    assert (column.type, column.format) == expected
    if note is None:
        assert column.note is None
    else:
        assert note in column.note


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
