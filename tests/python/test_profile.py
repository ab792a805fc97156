"""velmira.infer and its Profile: the type chosen per column, the file's shape, the outputs."""
import json
from pathlib import Path

import pytest

import velmira
from velmira.dialect import HeaderEncodingWarning
from velmira.inference import SNIFF_BYTES
from velmira.profile import TABLE_SCHEMA_FIELDS
from velmira.types import DEFAULT_TYPES

SAMPLE = Path(__file__).resolve().parents[2] / "examples" / "sample.csv"


def write(tmp_path, data, name="data.csv"):
    path = tmp_path / name
    path.write_bytes(data if isinstance(data, bytes) else data.encode())
    return path


def column_of(tmp_path, values, **kwargs):
    """The profile of a one-column file "v" holding `values`, one per row."""
    path = write(tmp_path, "v\n" + "".join(value + "\n" for value in values))
    return velmira.infer(path, delimiter=",", **kwargs).column("v")


def verdict(column):
    share = None if column.best_type is None else round(column.share, 3)
    return column.type, column.best_type, share


CHOICES = [
    # values, threshold, (type, best type, share)
    pytest.param(["1", "2", "3"], 1.0, ("integer", "integer", 1.0), id="all-integers"),
    pytest.param(["1", "2.5", "3"], 1.0, ("decimal", "decimal", 1.0), id="decimal-covers-integers"),
    pytest.param(["1.5", "2.5"], 1.0, ("decimal", "decimal", 1.0), id="all-decimals"),
    pytest.param(["1", "2", "3", "x"], 1.0, ("string", "integer", 0.75), id="one-stray-text"),
    pytest.param(["1", "2", "3", "x"], 0.75, ("integer", "integer", 0.75), id="share-equal-to-threshold"),
    pytest.param(["1", "2", "3", "x"], 0.8, ("string", "integer", 0.75), id="share-below-threshold"),
    pytest.param(["1", "NA", "", "2"], 1.0, ("integer", "integer", 1.0), id="markers-do-not-count"),
    pytest.param(["NA", "", "-"], 1.0, ("empty", None, None), id="only-markers"),
    pytest.param(["ab", "cd"], 1.0, ("string", None, None), id="no-type-matches"),
    pytest.param(["ab", "cd"], 0.0, ("string", None, None), id="no-type-matches-threshold-0"),
    pytest.param(["ab", "cd", "7"], 0.0, ("integer", "integer", 0.333), id="any-share-at-threshold-0"),
    pytest.param(["2023-01-01", "true", "false", "2023-01-02"], 0.5,
                 ("boolean", "boolean", 0.5), id="tie-goes-to-type-listed-first"),
    pytest.param(["1", "2", "true", "a", "b"], 0.0, ("integer", "integer", 0.4), id="largest-share-wins"),
    pytest.param(["1.5", "2", "true", "false", "yes"], 0.5,
                 ("boolean", "boolean", 0.6), id="covering-does-not-beat-a-larger-type"),
]


@pytest.mark.parametrize("values,threshold,expected", CHOICES)
def test_best_type(tmp_path, values, threshold, expected):
    assert verdict(column_of(tmp_path, values, threshold=threshold)) == expected


@pytest.mark.parametrize("types,expected", [
    pytest.param({"b": ["x"], "a": ["y"]}, "b", id="listed-first-b"),
    pytest.param({"a": ["y"], "b": ["x"]}, "a", id="listed-first-a"),
    pytest.param({"decimal": [r"\d+\.\d+"], "integer": [r"\d+"]}, "integer", id="own-values-before-covered"),
])
def test_tie_breaks_with_own_types(tmp_path, types, expected):
    values = ["x", "y"] if "a" in types else ["1", "2"]
    assert column_of(tmp_path, values, types=types, threshold=0.5).best_type == expected


def test_counts_list_every_type_then_other_and_na(tmp_path):
    column = column_of(tmp_path, ["1", "xy", "NA"])
    assert list(column.counts) == [*DEFAULT_TYPES, "other", "NA"]
    assert (column.counts["integer"], column.counts["other"], column.missing, column.present) == (1, 1, 1, 2)


SHAPES = [
    # file content, column names, rows, types per column
    pytest.param("", [], 0, [], id="empty-file"),
    pytest.param("a,b\n", ["a", "b"], 0, ["empty", "empty"], id="header-only"),
    pytest.param("a,,b,\n1,2,3,4\n", ["a", "Unitled_1", "b", "Unitled_2"], 1,
                 ["integer"] * 4, id="untitled-columns"),
    pytest.param("a,b\n1\n2\n", ["a", "b"], 2, ["integer", "empty"], id="short-rows"),
    pytest.param("a,b\r\n1,xy\r\n", ["a", "b"], 1, ["integer", "string"], id="crlf"),
    pytest.param('"a,1",b\n"1,5",2\n', ["a,1", "b"], 1, ["decimal_comma", "integer"], id="quoted-delimiters"),
    pytest.param("\ufeffid,name\n1,xy\n", ["id", "name"], 1, ["integer", "string"], id="bom-left-out"),
]


@pytest.mark.parametrize("data,names,rows,types", SHAPES)
def test_file_shapes(tmp_path, data, names, rows, types):
    profile = velmira.infer(write(tmp_path, data), delimiter=",")
    assert (profile.column_names, profile.rows) == (names, rows)
    assert [column.type for column in profile.columns] == types
    assert profile.bom == data.startswith("\ufeff")


def test_duplicate_names_report_the_counts_of_both(tmp_path):
    profile = velmira.infer(write(tmp_path, "x,x\n1,ab\n2,cd\n"), delimiter=",")
    first, second = profile.columns
    assert first == second
    assert (first.counts["integer"], first.counts["other"]) == (2, 2)


def test_header_that_is_not_utf8(tmp_path):
    # A Latin-1 header used to stop the pass; its names are read as cp1252, with a warning,
    # or in the encoding given, and only an encoding that does not fit is an error.
    path = write(tmp_path, "caf\xe9,b\n1,2\n".encode("latin-1"))
    with pytest.warns(HeaderEncodingWarning, match="cp1252"):
        profile = velmira.infer(path, delimiter=",")
    assert (profile.column_names, profile.dialect.encoding) == (["caf\xe9", "b"], "cp1252")
    assert velmira.infer(path, delimiter=",", encoding="latin-1").column_names == ["caf\xe9", "b"]
    with pytest.raises(velmira.HeaderEncodingError, match="not utf-8"):
        velmira.infer(path, delimiter=",", encoding="utf-8")


def test_values_that_are_not_utf8_are_just_other(tmp_path):
    path = write(tmp_path, "a,b\ncaf\xe9,1\n".encode("latin-1"))
    assert [c.type for c in velmira.infer(path, delimiter=",").columns] == ["string", "integer"]


DELIMITERS = [
    pytest.param("a,b,c\n1,2,3\n4,5,6\n", ",", id="comma"),
    pytest.param("a;b;c\n1;2;3\n4;5;6\n", ";", id="semicolon"),
    pytest.param("a;b\n1,5;2,5\n3,5;4,5\n", ";", id="semicolon-with-decimal-commas"),
    pytest.param('a\tb\n"1,2"\t3\n"4,5"\t6\n', "\t", id="tab-with-quoted-commas"),
    pytest.param("a|b\n1|2\n3|4\n", "|", id="pipe"),
    pytest.param("a:b\n1:2\n3:4\n", ":", id="colon"),
    pytest.param("a~b\n1~2\n3~4\n", ",", id="uncommon-delimiter-falls-back"),
    pytest.param("a\n1\n2\n", ",", id="one-column-falls-back"),
    pytest.param("", ",", id="empty-file-falls-back"),
    pytest.param("a;b\n" + "12345;678901\n" * (SNIFF_BYTES // 13 + 100), ";", id="block-ends-mid-row"),
    pytest.param(b"a;b\n\xe9t\xe9;1\n\xff;2\n", ";", id="not-utf8"),
]


@pytest.mark.parametrize("data,expected", DELIMITERS)
def test_guess_delimiter(tmp_path, data, expected):
    path = write(tmp_path, data)
    assert velmira.guess_delimiter(path) == expected
    assert velmira.infer(path).delimiter == expected


BAD_ARGUMENTS = [
    pytest.param(dict(delimiter="ab"), ValueError, "delimiter", id="long-delimiter"),
    pytest.param(dict(delimiter=""), ValueError, "delimiter", id="empty-delimiter"),
    pytest.param(dict(delimiter='"'), ValueError, "delimiter", id="quote-delimiter"),
    pytest.param(dict(delimiter="\u00a7"), ValueError, "delimiter", id="non-ascii-delimiter"),
    pytest.param(dict(threshold=1.5), ValueError, "threshold", id="threshold-above-1"),
    pytest.param(dict(threshold=-0.1), ValueError, "threshold", id="negative-threshold"),
    pytest.param(dict(rolling_cache_window=0), ValueError, "rolling_cache_window", id="window-0"),
    pytest.param(dict(rolling_cache_window=2**31), ValueError, "rolling_cache_window", id="window-too-large"),
    pytest.param(dict(na_values="NA"), TypeError, "single string", id="na-values-string"),
    pytest.param(dict(na_values=["NA", 1]), TypeError, "strings", id="na-values-not-all-strings"),
    pytest.param(dict(types=[("x", ["y"])]), TypeError, "map type names", id="types-not-a-mapping"),
    pytest.param(dict(types={"x": "abc"}), TypeError, "'x'.*list of patterns", id="patterns-a-string"),
    pytest.param(dict(types={"x": 5}), TypeError, "'x'.*list of patterns", id="patterns-an-int"),
    pytest.param(dict(types={"x": ["a", 1]}), TypeError, "'x'.*strings", id="pattern-not-a-string"),
    pytest.param(dict(types={1: ["a"]}), TypeError, "type names", id="name-not-a-string"),
    *(pytest.param(dict(types={name: ["a"]}), ValueError, "reserved", id=f"reserved-{name}")
      for name in ("NA", "other", "string", "empty")),
]


@pytest.mark.parametrize("kwargs,error,message", BAD_ARGUMENTS)
def test_bad_arguments(tmp_path, kwargs, error, message):
    with pytest.raises(error, match=message):
        velmira.infer(write(tmp_path, "a\n1\n"), **kwargs)


@pytest.mark.parametrize("bad", [r"(\d+", "[a-", r"a{2,1}", "*"])
def test_invalid_pattern_is_named_with_its_type(tmp_path, bad):
    types = {"good": [r"\d+"], "worse": ["x", bad, "y"], "fine": ["z"]}
    with pytest.raises(velmira.PatternError) as info:
        velmira.infer(write(tmp_path, "a\n1\n"), types=types)
    assert (info.value.type_name, info.value.pattern) == ("worse", bad)
    assert "\n" not in str(info.value)


@pytest.mark.parametrize("name,types_file,error", [
    pytest.param("missing.csv", None, FileNotFoundError, id="missing"),
    pytest.param(".", None, IsADirectoryError, id="directory"),
    pytest.param("data.csv", "no/types.csv", FileNotFoundError, id="types-file-in-missing-directory"),
])
def test_unreadable_or_unwritable_path(tmp_path, name, types_file, error):
    write(tmp_path, "a\n1\n")
    with pytest.raises(error):
        velmira.infer(tmp_path / name, delimiter=",", types_file=types_file and tmp_path / types_file)


def test_types_file_lists_every_field(tmp_path):
    out = tmp_path / "types.csv"
    velmira.infer(write(tmp_path, "a,b\n1,xy\nNA,2.5\n"), delimiter=",", types_file=out)
    assert out.read_text() == "a,b\ninteger,other\nNA,decimal\n"


SAMPLE_VERDICTS = {
    "order_id": "uuid", "customer": "email", "store": "url", "ordered_on": "date",
    "shipped_at": "datetime", "pickup": "time", "qty": "string", "total": "decimal",
    "paid": "boolean", "notes": "empty",
}


@pytest.mark.parametrize("threads,window", [(False, 100_000), (True, 100_000), (False, 1), (True, 3)],
                         ids=["single", "threads", "single-window-1", "threads-window-3"])
def test_sample_verdicts_in_every_mode(threads, window):
    profile = velmira.infer(SAMPLE, multithreading=threads, rolling_cache_window=window)
    assert {c.name: c.type for c in profile.columns} == SAMPLE_VERDICTS
    assert profile.rows == 30
    assert profile.column("qty").best_type == "integer"


def test_to_dict_and_json_round_trip(tmp_path):
    profile = velmira.infer(write(tmp_path, "n,w\n1,xy\n2,NA\n"), delimiter=",", threshold=0.5)
    data = profile.to_dict()
    assert json.loads(profile.to_json()) == data
    assert json.loads(profile.to_json(indent=None)) == data
    assert {k: data[k] for k in ("delimiter", "rows", "threshold", "bom")} == {
        "delimiter": ",", "rows": 2, "threshold": 0.5, "bom": False}
    assert data["types"] == {name: list(patterns) for name, patterns in DEFAULT_TYPES.items()}
    n, w = data["columns"]
    assert {k: n[k] for k in ("name", "type", "best_type", "share", "missing")} == {
        "name": "n", "type": "integer", "best_type": "integer", "share": 1.0, "missing": 0}
    assert (w["type"], w["best_type"], w["missing"], w["counts"]["other"]) == ("string", None, 1, 1)


TABLE_SCHEMA_TYPES = {
    "string", "number", "integer", "boolean", "object", "array", "date", "time", "datetime",
    "year", "yearmonth", "duration", "geopoint", "geojson", "any",
}
FORMATS = {"string": {"default", "email", "uri", "binary", "uuid"}, "date": {"default", "any"},
           "time": {"default", "any"}, "datetime": {"default", "any"}}


def check_table_schema(descriptor, profile):
    """Structural rules of a Table Schema descriptor, and its match with the profile."""
    json.dumps(descriptor)
    assert set(descriptor) == {"fields", "missingValues"}
    assert all(isinstance(marker, str) for marker in descriptor["missingValues"])
    assert [field["name"] for field in descriptor["fields"]] == profile.column_names
    for field in descriptor["fields"]:
        assert isinstance(field["name"], str)
        assert field["type"] in TABLE_SCHEMA_TYPES
        assert set(field) <= {"name", "type", "format", "trueValues", "falseValues"}
        if "format" in field:
            assert field["format"] in FORMATS.get(field["type"], set())
        for key in ("trueValues", "falseValues"):
            if key in field:
                assert field["type"] == "boolean"
                assert field[key] and all(isinstance(v, str) for v in field[key])


def test_table_schema_of_the_sample():
    profile = velmira.infer(SAMPLE)
    schema = profile.to_table_schema()
    check_table_schema(schema, profile)
    fields = {f["name"]: {k: v for k, v in f.items() if k not in ("name", "trueValues", "falseValues")}
              for f in schema["fields"]}
    assert fields == {
        "order_id": {"type": "string", "format": "uuid"},
        "customer": {"type": "string", "format": "email"},
        "store": {"type": "string", "format": "uri"},
        "ordered_on": {"type": "date"},
        "shipped_at": {"type": "datetime", "format": "any"},
        "pickup": {"type": "time", "format": "any"},
        "qty": {"type": "string"},
        "total": {"type": "number"},
        "paid": {"type": "boolean"},
        "notes": {"type": "any"},
    }
    paid = schema["fields"][8]
    assert set(paid["trueValues"]) | set(paid["falseValues"]) >= {"true", "false"}
    assert schema["missingValues"] == list(velmira.DEFAULT_NA_VALUES)


def test_table_schema_of_own_types(tmp_path):
    types = {"number": [r"\d+"], "sku": ["[A-Z]{3}"], "boolean": ["[01]"], "year": ["[0-9]{4}x"]}
    path = write(tmp_path, "a,b,c,d\n12,ABC,1,2020x\n")
    profile = velmira.infer(path, types=types, na_values={"?", "-"}, delimiter=",")
    schema = profile.to_table_schema()
    check_table_schema(schema, profile)
    assert [f["type"] for f in schema["fields"]] == ["number", "string", "boolean", "year"]
    assert "trueValues" not in schema["fields"][2]
    assert schema["missingValues"] == ["-", "?"]


def test_every_default_type_has_a_table_schema_field():
    assert list(TABLE_SCHEMA_FIELDS) == list(DEFAULT_TYPES)
