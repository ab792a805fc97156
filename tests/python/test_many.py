"""Many files, one schema: merged profiles equal one pass over the concatenation, across
headers that differ, failures, empty shards and executors (a Dask cluster among them)."""

import concurrent.futures
import gzip
import json
import random
import sqlite3
import subprocess
import sys

import pytest

import velmira

HEADER = ["id", "amount", "when", "label", "flag"]


def shard_rows(seed, count):
    rng = random.Random(seed)
    rows = []
    for i in range(count):
        rows.append([
            str(rng.randrange(10**6)),
            rng.choice([f"{rng.uniform(-1e4, 1e4):.2f}", str(rng.randrange(100)), "NA", "1,234"]),
            rng.choice([f"2023-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}",
                        f"{rng.randint(13, 28):02d}/{rng.randint(1, 12):02d}/2023",
                        f"{rng.randint(1, 12):02d}/{rng.randint(1, 12):02d}/2023", ""]),
            rng.choice(["alpha", "beta", "x" * rng.randint(1, 9), "12%", "n/a"]),
            rng.choice(["true", "false", "yes", "1"]),
        ])
    return rows


def write(path, header, rows, compress=False):
    text = "\n".join(",".join(r) for r in [header, *rows]) + "\n"
    path.write_bytes(gzip.compress(text.encode()) if compress else text.encode())
    return path


@pytest.fixture
def shards(tmp_path):
    all_rows, paths = [], []
    for k in range(6):
        rows = shard_rows(k, 150 + 40 * k)
        all_rows += rows
        paths.append(write(tmp_path / f"part-{k}.csv", HEADER, rows, compress=k % 2 == 1))
    whole = write(tmp_path / "whole.csv", HEADER, all_rows)
    return paths, whole


def key(profile):
    return profile.rows, [(c.name, c.type, c.best_type, dict(c.counts), c.note) for c in profile.columns]


@pytest.mark.parametrize("multithreading", [False, True], ids=["single", "threads"])
def test_merge_equals_one_pass_over_the_concatenation(shards, multithreading):
    paths, whole = shards
    parts = [velmira.infer(p, multithreading=multithreading) for p in paths]
    merged = velmira.merge(parts)
    assert key(merged) == key(velmira.infer(whole, multithreading=multithreading))
    assert merged.merge_exact is True
    assert [c.present_in for c in merged.columns] == [tuple(map(str, paths))] * len(HEADER)
    assert key(parts[0].merge(*parts[1:])) == key(merged)


@pytest.mark.parametrize("jobs", [1, 2])
def test_infer_many_equals_merge(shards, jobs):
    paths, whole = shards
    result = velmira.infer_many([str(p) for p in paths], jobs=jobs)
    assert not result.failures and list(result.profiles) == [str(p) for p in paths]
    assert key(result.profile) == key(velmira.infer(whole))
    assert result.differences() == {}


def test_globs_and_any_executor(shards, tmp_path):
    paths, whole = shards
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        result = velmira.infer_many([str(tmp_path / "part-*.csv")], executor=pool)
    assert list(result.profiles) == sorted(map(str, paths))
    assert key(result.profile) == key(velmira.infer(whole))


def test_union_of_headers_and_what_differs(tmp_path):
    a = write(tmp_path / "a.csv", ["id", "name"], [["1", "x"], ["2", "y"]])
    b = write(tmp_path / "b.csv", ["id", "when", "name"], [["3", "2023-01-02", "z"], ["abc", "", "w"]])
    result = velmira.infer_many([str(a), str(b)], jobs=1)
    merged = result.profile
    assert merged.rows == 4
    assert [(c.name, c.type, c.present_in) for c in merged.columns] == [
        ("id", "string", (str(a), str(b))),
        ("name", "string", (str(a), str(b))),
        ("when", "date", (str(b),)),
    ]
    assert merged.column("when").counts["NA"] == 1  # b's rows only: a has no such column
    assert result.differences() == {
        str(a): ["lacks 'when'", "'id' is integer (all files: string)"],
        str(b): ["has its columns in another order"],
    }


def test_a_failing_shard_does_not_lose_the_others(shards, tmp_path):
    paths, whole = shards
    broken = tmp_path / "broken.csv.gz"
    broken.write_bytes(gzip.compress(b"id,amount\n1,2\n" * 100)[:-30])
    sources = [str(p) for p in paths] + [str(broken), str(tmp_path / "missing.csv")]
    result = velmira.infer_many(sources, jobs=2)
    assert key(result.profile) == key(velmira.infer(whole))
    assert set(result.failures) == {str(broken), str(tmp_path / "missing.csv")}
    assert "ends early" in result.failures[str(broken)]
    assert result.failures[str(tmp_path / "missing.csv")].startswith("FileNotFoundError")
    with pytest.raises(velmira.InputError):
        velmira.infer_many(sources, jobs=1, strict=True)


def test_empty_shards(shards, tmp_path):
    paths, whole = shards
    header_only = write(tmp_path / "header.csv", HEADER, [])
    nothing = tmp_path / "nothing.csv"
    nothing.write_bytes(b"")
    result = velmira.infer_many([str(p) for p in paths] + [str(header_only), str(nothing)], jobs=1,
                                delimiter=",")
    assert not result.failures
    assert key(result.profile) == key(velmira.infer(whole))


def test_merge_refuses_profiles_of_other_types(shards):
    paths, _ = shards
    with pytest.raises(ValueError, match="different types"):
        velmira.merge([velmira.infer(paths[0]), velmira.infer(paths[1], types={"int": [r"\d+"]})])


def test_own_types_merge_but_say_it_may_not_be_exact(shards):
    paths, _ = shards
    types = {"int": [r"\d+"], "hex": ["[0-9a-f]+"]}
    merged = velmira.infer_many([str(p) for p in paths], types=types, jobs=1).profile
    assert merged.merge_exact is False
    assert velmira.check_exclusive(types, ["12", "ff", "zz", "12"]) == {"12": ["int", "hex"]}
    # Over the default types no text of the shards matches two types.
    texts = [field for k in range(6) for row in shard_rows(k, 150 + 40 * k) for field in row]
    assert velmira.check_exclusive(velmira.DEFAULT_TYPES, texts) == {}


def test_second_passes_read_every_shard(shards):
    paths, whole = shards
    merged = velmira.infer_many([str(p) for p in paths], jobs=1).profile
    assert list(velmira.read_rows(merged)) == list(velmira.read_rows(velmira.infer(whole)))
    ddl = merged.to_sql("sqlite", table="shards")
    db = sqlite3.connect(":memory:")
    db.execute(ddl)
    names = merged.column_names
    db.executemany(f"INSERT INTO shards VALUES ({', '.join('?' * len(names))})",
                   [[r[n] if not hasattr(r[n], "isoformat") else r[n].isoformat() for n in names]
                    for r in velmira.read_rows(merged, json_values=True)])
    assert db.execute("SELECT count(*) FROM shards").fetchone()[0] == merged.rows


def test_command_line_over_many_files(shards, tmp_path):
    paths, whole = shards
    run = lambda *args: subprocess.run([sys.executable, "-m", "velmira", *args], capture_output=True, text=True,
                                       cwd=tmp_path)
    table = run("part-*.csv", "-j", "2")
    assert table.returncode == 0, table.stderr
    assert table.stdout.splitlines()[0] == f"6 files: {velmira.infer(whole).rows} rows, {len(HEADER)} columns"
    failing = run("part-0.csv", "missing.csv", "-f", "json")
    assert failing.returncode == 1
    assert failing.stderr.splitlines()[-1].startswith("velmira: error: missing.csv: FileNotFoundError")
    assert json.loads(failing.stdout)["failures"].keys() == {"missing.csv"}


def test_on_a_dask_cluster(shards):
    distributed = pytest.importorskip("distributed", reason="dask.distributed is not installed")
    paths, whole = shards
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None)
    try:
        with distributed.Client(cluster) as client:
            result = velmira.infer_many([str(p) for p in paths], executor=client.get_executor())
    finally:
        cluster.close()
    assert not result.failures
    assert key(result.profile) == key(velmira.infer_many([str(p) for p in paths]).profile)
