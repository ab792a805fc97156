"""What the pass measures for the loaders' schemas equals what a second reading of the
file measures: on every file of the suite, on files of every number, datetime and boolean
form, short rows and markers, in other encodings, and merged from shards."""

import csv
import dataclasses
import io
import random
import warnings
from pathlib import Path

import pytest

import velmira
from velmira import schema

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "tests" / "python" / "data"


def _second_reading(profile):
    return schema.measure(dataclasses.replace(profile, measures=None))


def _suite_files():
    files = sorted(ROOT.glob("examples/*.csv")) + sorted(DATA.glob("*.csv")) + sorted((DATA / "real").glob("*"))
    return [f for f in files if f.is_file()]


@pytest.mark.parametrize("path", _suite_files(), ids=lambda p: p.name)
def test_the_pass_measures_what_a_second_reading_does(path):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # what the header's encoding is guessed to be
            profile = velmira.infer(path)
        expected = _second_reading(profile)
    except ValueError:  # repeated names, undecodable text: no schema either way
        pytest.skip("no schema for this file")
    assert schema._from_the_pass(profile) == expected


def _edge_rows(seed, n):
    rng = random.Random(seed)
    rows = [["int", "big", "huge", "tc", "td", "dec", "dcomma", "pct", "expo", "zero", "dt", "tm", "flag", "text",
             "last"]]
    for i in range(n):
        row = [
            str(rng.randint(-40000, 40000)),
            str(rng.choice([1, -1]) * rng.randint(2 ** 63, 10 ** 30)),  # beyond 64 bits
            str(rng.randint(10 ** 38, 10 ** 45)) if i % 50 == 0 else str(i),  # beyond 38 digits, now and then
            f"{rng.randint(1000, 99999999):,}",
            f"{rng.randint(1000000, 999999999):,}".replace(",", "."),
            f"{rng.uniform(-1e5, 1e5):.{rng.randint(1, 6)}f}",
            f"{rng.uniform(-999, 999):.{rng.randint(1, 4)}f}".replace(".", ","),
            f"{rng.uniform(0, 100):.{rng.randint(0, 3)}f}%",
            f"{rng.uniform(1, 9):.2f}e{rng.randint(-5, 5)}" if i % 7 == 0 else f"{rng.uniform(0, 1):.3f}",
            rng.choice(["0", "0.0", "-0", "00.50", "0.000", "7"]),
            rng.choice(["2024-01-02T03:04:05Z", "2024-01-02 03:04:05", "2024-01-02T03:04:05.123+05:30",
                        "2024-01-02T03:04:05,5-0300", "2024-01-02T03:04:05.123456789", ""]),
            rng.choice(["10:11:12", "10:11:12-03:00", "10:11:12.5", "23:59", "NA"]),
            rng.choice(["true", "False", "yes", "NO", "t", "F", "-"]),
            rng.choice(["plain", "naïve café", "日本語テキスト", "x" * rng.randint(1, 40), "NA", ""]),
            str(i),
        ]
        if i % 11 == 0:  # a short row lacks the columns from its width on
            row = row[: rng.randint(1, len(row) - 1)]
        rows.append(row)
    return rows


def _write(path, rows, encoding="utf-8"):
    out = io.StringIO()
    csv.writer(out, lineterminator="\n").writerows(rows)
    path.write_bytes(out.getvalue().encode(encoding))
    return path


@pytest.mark.parametrize("seed", [1, 2, 3])
@pytest.mark.parametrize("threads", [False, True], ids=["single", "threads"])
def test_every_form_of_number_datetime_and_boolean(tmp_path, seed, threads):
    path = _write(tmp_path / "edge.csv", _edge_rows(seed, 3000))
    profile = velmira.infer(path, multithreading=threads, threshold=0.8)
    assert {c.name: c.type for c in profile.columns}["tc"] == "integer_thousands_comma"
    expected = _second_reading(profile)
    got = schema._from_the_pass(profile)
    if got is None:
        # Integers beyond 38 digits in an integer column: the exact range needs the texts.
        assert profile.column("huge").type == "integer"
        got = schema.measure(profile)
    assert got == expected


def test_huge_integers_take_the_second_reading_and_others_do_not(tmp_path):
    rows = [["n"], *([str(10 ** 40 + k)] for k in range(5))]
    profile = velmira.infer(_write(tmp_path / "huge.csv", rows))
    assert schema._from_the_pass(profile) is None
    assert schema.measure(profile)["n"].max_int == 10 ** 40 + 4
    rows = [["n"], *([str(-(10 ** 30) + k)] for k in range(5))]
    profile = velmira.infer(_write(tmp_path / "wide.csv", rows))
    assert schema._from_the_pass(profile)["n"].min_int == -(10 ** 30)


@pytest.mark.parametrize("encoding", ["latin-1", "cp1252"])
def test_single_byte_encodings_count_characters_as_bytes(tmp_path, encoding):
    rows = [["name", "n"], ["Müller", "1"], ["Ærøskøbing", "2"], ["é" * 30, "3"]]
    profile = velmira.infer(_write(tmp_path / "names.csv", rows, encoding), encoding=encoding)
    got = schema._from_the_pass(profile)
    assert got == _second_reading(profile)
    assert got["name"].max_length == 30


def test_merged_shards_measure_as_one_reading_of_all(tmp_path):
    rows = _edge_rows(9, 1200)
    paths = []
    for k in range(3):
        shard = [rows[0]] + rows[1 + 400 * k: 1 + 400 * (k + 1)]
        if k == 2:  # a shard without two of the columns
            shard = [r[:-2] for r in shard]
        paths.append(_write(tmp_path / f"shard{k}.csv", shard))
    merged = velmira.infer_many([str(p) for p in paths], jobs=1, threshold=0.8).profile
    assert merged.measures is not None
    got = schema._from_the_pass(merged) or schema.measure(merged)
    assert got == _second_reading(merged)


def test_sql_and_arrow_outputs_read_the_file_once(tmp_path, monkeypatch):
    # Without the column of integers beyond 38 digits, which alone needs the texts.
    rows = [r[:2] + r[3:] for r in _edge_rows(4, 500)]
    profile = velmira.infer(_write(tmp_path / "edge.csv", rows), threshold=0.8)
    # The second reading goes through aligned_rows; with the pass's measures it never runs.
    monkeypatch.setattr(schema, "aligned_rows", lambda *a, **k: pytest.fail("the file was read again"))
    assert "CREATE TABLE" in profile.to_sql("duckdb")
    pytest.importorskip("pyarrow")
    profile.to_arrow_schema()


def test_a_stream_read_once_still_gets_its_schemas(tmp_path):
    rows = [r[:2] + r[3:] for r in _edge_rows(6, 300)]
    data = _write(tmp_path / "edge.csv", rows).read_bytes()
    profile = velmira.infer(io.BytesIO(data), threshold=0.8)
    assert not profile.rereadable
    # Standard input or a file object cannot be read again; the pass's measures suffice.
    from_file = velmira.infer(tmp_path / "edge.csv", threshold=0.8)
    assert profile.to_sql("sqlite", table="t") == from_file.to_sql("sqlite", table="t")
