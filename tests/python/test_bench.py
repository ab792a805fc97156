"""The benchmark's own pieces that a wrong figure could hide behind: the export-like file
holds the forms it claims, the same ones every time, and the answer table marks and
divides what it should. Nothing here is timed."""

import csv
import importlib.util
import io
import re
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[2] / "bench"


def load(name):
    """A bench script as a module of its own (dataclasses look their module up by name)."""
    key = f"velmira_bench_{name}"
    if key not in sys.modules:
        location = importlib.util.spec_from_file_location(key, BENCH / f"{name}.py")
        sys.modules[key] = importlib.util.module_from_spec(location)
        location.loader.exec_module(sys.modules[key])
    return sys.modules[key]


# --- file e -----------------------------------------------------------------------------

MONTHS = "Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec"
MONTH_NAMES = "January|February|March|April|May|June|July|August|September|October|November|December"
DAY, DD = r"(?:[1-9]|[12][0-9]|3[01])", r"(?:0[1-9]|[12][0-9]|3[01])"
MONTH, MM = r"(?:[1-9]|1[0-2])", r"(?:0[1-9]|1[0-2])"
HH, MIN = r"(?:[01][0-9]|2[0-3])", r"[0-5][0-9]"

# Every column of e and the one form its present values take, as read back by a CSV reader.
FORMS = {
    "record_id": r"[1-9][0-9]*",
    "order_ref": r"ORD-[0-9]{8}",
    "customer_id": r"[1-9][0-9]*",
    "sex": r"[FM]",
    "grade": r"[A-F]",
    "vip": r"[YN]",
    "active": r"TRUE|FALSE",
    "newsletter": r"yes|no|Yes|No",
    "order_date": rf"{DD}/{MM}/20[12][0-9]",
    "ship_date": rf"{MM}/{DD}/20[12][0-9]",
    "birth_date": rf"{MONTH}/{DAY}/(?:19[4-9][0-9]|200[0-5])",
    "start_date": rf"{DAY}-{MONTH}-20[12][0-9]",
    "due_date": rf"{MONTH}/{DAY}/[0-9]{{2}}",
    "iso_date": rf"20[0-2][0-9]-{MM}-{DD}",
    "listed": rf"(?:{MONTHS}) {DAY} (?:199[5-9]|20[0-2][0-9])",
    "published": rf"(?:{MONTH_NAMES}) {DAY}, 20[12][0-9]",
    "filed": rf"{DAY}-(?:{MONTHS})-[0-9]{{2}}",
    "quarter": r"(?:19[6-9][0-9]|20[0-2][0-9])Q[1-4]",
    "period": rf"20[12][0-9]-{MM}",
    "created": rf"{MM}/{DD}/20[2][0-9] {MONTH}:{MIN} (?:AM|PM)",
    "updated": rf"202[0-9]-{MM}-{DD} {HH}:{MIN}",
    "logged": rf"{DD}\.{MM}\.202[0-9] {HH}:{MIN}",
    "opens": rf"{HH}:(?:00|15|30|45)",
    "call_time": rf"{HH}:{MIN}:{MIN}",
    "pickup": rf"{MONTH}:{MIN} (?:AM|PM)",
    "amount_usd": r"(?:0|[1-9][0-9]{0,2}(?:,[0-9]{3})*)\.[0-9]{2}",
    "amount_eur": r"(?:0|[1-9][0-9]{0,2}(?:\.[0-9]{3})*),[0-9]{2}",
    "rate": r"[0-9]{1,2},[0-9]{2}",
    "units": r"0|[1-9][0-9]{0,2}(?:,[0-9]{3})*",
    "price": r" (?:0|[1-9][0-9]*)\.[0-9]{3} ",
    "count": r"(?=.{6}$) *[1-9][0-9]*",
    "score": r"-?[0-9]+\.[0-9]{2}",
    "share": r"(?:[0-9]|[1-9][0-9])\.[0-9]%|100\.0%",
    "quantity": r"[0-9]|[1-9][0-9]",
    "zip": r"[0-9]{5}",
    "sku": r"SKU-[0-9]{5}",
    "uuid": r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}",
    "name": r"[A-Z][A-Za-z-]+, [A-Z][a-z]+",
    "city": r"[^\W\d_][\w .,-]*",
    "email": r"[a-z]+\.[a-z-]+[0-9]+@[a-z.]+",
    "comment": r"\S.*",
}
# Written by a spreadsheet, these forms hold a comma, so the file must quote them.
QUOTED = {"published", "name"}


@pytest.fixture(scope="module")
def export_file(tmp_path_factory):
    """File e at a small size, generated twice into separate folders."""
    pytest.importorskip("numpy")
    generate = load("generate")
    paths = []
    for folder in ("one", "two"):
        with pytest.MonkeyPatch.context() as patch:
            patch.setattr(generate, "DATA_DIR", tmp_path_factory.mktemp(folder))
            paths.append(generate.generate("e", scale=0.001, verbose=False))
    return paths


@pytest.fixture(scope="module")
def export_rows(export_file):
    text = export_file[0].read_bytes().decode()
    return list(csv.reader(io.StringIO(text, newline="")))


def test_export_file_is_the_same_every_time(export_file):
    one, two = export_file
    assert one.read_bytes() == two.read_bytes()


def test_export_file_rows_are_whole(export_file, export_rows):
    """A field holding an unquoted comma would split its row."""
    raw = export_file[0].read_bytes()
    assert raw.endswith(b"\r\n") and raw.count(b"\r\n") == raw.count(b"\n") == len(export_rows)
    assert export_rows[0] == list(FORMS)
    assert len(export_rows) > 100
    assert {len(row) for row in export_rows} == {len(FORMS)}


@pytest.mark.parametrize("column", list(FORMS))
def test_export_column_holds_its_form(export_rows, column):
    index = export_rows[0].index(column)
    values = [row[index] for row in export_rows[1:]]
    present = [v for v in values if v not in ("", "NA")]
    assert len(present) >= len(values) // 2, "mostly missing"
    wrong = [v for v in present if not re.fullmatch(FORMS[column], v)]
    assert not wrong, wrong[:5]


@pytest.mark.parametrize("column", sorted(QUOTED))
def test_export_texts_with_commas_are_quoted(export_file, column):
    raw = export_file[0].read_bytes().decode()
    assert re.search(r'(^|,)"[^",]+, [^",]+"(,|\r\n)', raw, re.M), column


def test_export_file_misses_values_as_exports_do(export_rows):
    """Missing values are the empty text or NA, in some columns, never in the ids."""
    missing = {v for row in export_rows[1:] for v in row if v in ("", "NA")}
    assert missing == {"", "NA"}
    ids = [row[0] for row in export_rows[1:]]
    assert ids == [str(i) for i in range(1, len(ids) + 1)]


# --- the answer table -------------------------------------------------------------------

def outcome(answer, seconds=None, status="ok", work=None):
    o = answer.Outcome(status=status)
    if status == "ok":
        o.wall = list(seconds)
        o.work = list(work if work is not None else seconds)
    return o


# Wall seconds per contender on one file ("failed" for a failed one); the row expected
# in the table of spawn-to-exit medians.
ROW_CASES = [
    pytest.param(
        {"pyarrow": [2.0, 1.0, 3.0], "pandas": [4.0], "duckdb": [3.0], "polars": [2.5],
         "velmira": [0.5], "velmira-cli": [0.8]},
        "| a: 10 low-cardinality columns | 1.0 | **2.00** | 4.00 | 3.00 | 2.50 | 0.500 | 0.800 | 4.0x | 2.5x |",
        id="median-not-min-decides-the-fastest-peer"),
    pytest.param(
        {"pyarrow": "failed", "pandas": [4.0], "duckdb": [3.0], "polars": [12.5],
         "velmira": [6.0], "velmira-cli": [150.0]},
        "| a: 10 low-cardinality columns | 1.0 | failed | 4.00 | **3.00** | 12.5 | 6.00 | 150 | 0.5x | 0.0x |",
        id="a-failed-peer-is-not-the-fastest"),
    pytest.param(
        {"pyarrow": "timeout", "pandas": "failed", "velmira": [0.5]},
        "| a: 10 low-cardinality columns | 1.0 | timeout | failed | — | — | 0.500 | — | — | — |",
        id="no-peer-no-ratio"),
    pytest.param(
        {"pyarrow": [1.0], "pandas": [1.0], "duckdb": [1.0], "polars": [0.9],
         "velmira": "failed", "velmira-cli": [0.3]},
        "| a: 10 low-cardinality columns | 1.0 | 1.00 | 1.00 | 1.00 | **0.900** | failed | 0.300 | — | 3.0x |",
        id="velmira-failed"),
]


@pytest.mark.parametrize("given, expected", ROW_CASES)
def test_answer_table_row(given, expected):
    answer = load("answer")
    outcomes = {("a", c): outcome(answer, status=v) if isinstance(v, str) else outcome(answer, v)
                for c, v in given.items()}
    lines = answer.table(outcomes, {"a": {"bytes": 1_000_000}}, answer.CONTENDERS, "wall")
    assert lines[0].count("|") == lines[1].count("|") == lines[2].count("|")
    assert lines[2] == expected


def test_work_table_leaves_out_the_command():
    """The command reports no work time: it has no column there, nor a ratio."""
    answer = load("answer")
    outcomes = {("a", "polars"): outcome(answer, [3.0], work=[2.0]),
                ("a", "velmira"): outcome(answer, [1.0], work=[0.5]),
                ("a", "velmira-cli"): outcome(answer, [1.5])}
    lines = answer.table(outcomes, {"a": {"bytes": 2_500_000}}, ["polars", "velmira", "velmira-cli"], "work")
    assert lines[0] == "| file | MB | polars | velmira | velmira vs fastest peer |"
    assert lines[2] == "| a: 10 low-cardinality columns | 2.5 | **2.00** | 0.500 | 4.0x |"
