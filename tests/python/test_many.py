"""Many files, one schema: merged profiles equal one pass over the concatenation, across
headers that differ, failures, empty shards and executors (a Dask cluster among them)."""

import concurrent.futures
import concurrent.futures.process
import contextlib
import errno
import gzip
import io
import json
import os
import random
import signal
import sqlite3
import subprocess
import sys
import threading
import time

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
    # Rows wider than the header (an unquoted 1,234) give every shard a column extra_1.
    assert merged.column_names == [*HEADER, "extra_1"]
    assert [c.present_in for c in merged.columns] == [tuple(map(str, paths))] * len(merged.columns)
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
    a = write(tmp_path / "a.csv", ["id", "name"], [["1", "xy"], ["2", "yz"]])
    b = write(tmp_path / "b.csv", ["id", "when", "name"], [["3", "2023-01-02", "zx"], ["abc", "", "wx"]])
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


# What each source of a case holds: ("path", name) or ("stream", name or None for none).
ONE_ROW, TWO_ROWS = b"id,w\n1,a\n", b"id,w\n2,b\n3,c\n"


@pytest.mark.parametrize("sources,names,rows", [
    pytest.param([("stream", None, ONE_ROW), ("stream", None, TWO_ROWS)], ["<stream 1>", "<stream 2>"], 3,
                 id="two-streams-without-names"),
    pytest.param([("stream", "a.csv", ONE_ROW), ("path", "a.csv", ONE_ROW)], ["a.csv (2)", "a.csv"], 2,
                 id="stream-and-path-of-one-name"),
    pytest.param([("path", "a.csv", ONE_ROW), ("path", "a.csv", ONE_ROW)], ["a.csv", "a.csv (2)"], 2,
                 id="one-path-twice"),
    pytest.param([("path", "a.csv", ONE_ROW), ("path", "a.csv", ONE_ROW), ("path", "a.csv (2)", TWO_ROWS)],
                 ["a.csv", "a.csv (3)", "a.csv (2)"], 4, id="a-made-name-already-taken"),
])
@pytest.mark.parametrize("jobs", [1, 2])
def test_sources_sharing_a_name_are_all_counted(tmp_path, monkeypatch, sources, names, rows, jobs):
    """infer_many used to keep one profile per name: two unnamed streams gave the rows of one."""
    monkeypatch.chdir(tmp_path)
    given = []
    for kind, name, data in sources:
        if kind == "path":
            (tmp_path / name).write_bytes(data)
            given.append(name)
        else:
            stream = io.BytesIO(data)
            if name is not None:
                stream.name = name
            given.append(stream)
    result = velmira.infer_many(given, delimiter=",", jobs=jobs)
    assert (list(result.profiles), result.failures) == (names, {})
    assert result.profile.rows == rows
    assert [part.rows for part in result.profile.parts] == [len(data.splitlines()) - 1 for *_, data in sources]
    streams = [name for (kind, *_), name in zip(sources, names) if kind == "stream"]
    assert [part.path for part in result.profile.parts if not part.rereadable] == streams


@pytest.mark.parametrize("jobs,error", [(0, ValueError), (-1, ValueError), ("2", TypeError), (2.0, TypeError)])
def test_jobs_below_one_are_refused(shards, jobs, error):
    """jobs=0 and jobs=-1 used to run every file here, one after the other, without a word."""
    paths, _ = shards
    with pytest.raises(error, match="jobs must be"):
        velmira.infer_many([str(p) for p in paths], jobs=jobs)


def test_max_field_size_reaches_every_file(tmp_path):
    """infer_many took no max_field_size, and the command over several files ignored --max-field-size."""
    write(tmp_path / "short.csv", ["id"], [["1"]])
    write(tmp_path / "long.csv", ["id"], [["x" * 100]])
    result = velmira.infer_many([str(tmp_path / "short.csv"), str(tmp_path / "long.csv")], max_field_size=50,
                                delimiter=",", jobs=2)
    assert list(result.profiles) == [str(tmp_path / "short.csv")]
    assert result.failures == {str(tmp_path / "long.csv"): "FieldTooLongError: row 2 has a field longer than "
                                                           "the limit of 50 bytes (max_field_size)"}
    command = subprocess.run([sys.executable, "-m", "velmira", "short.csv", "long.csv", "-d", ",",
                              "--max-field-size", "50"], capture_output=True, text=True, cwd=tmp_path)
    assert command.returncode == 1
    assert command.stderr.splitlines()[0].startswith("velmira: error: long.csv: FieldTooLongError: row 2 has")


def wait_for_reader(fifo, seconds=30):
    """Our writing end of ``fifo``, once some process has opened it to read."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            return os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError as exc:
            if exc.errno != errno.ENXIO or time.monotonic() > deadline:
                raise
            time.sleep(0.01)


def reader_of(fifo, seconds=30):
    """The process, other than this one, that has ``fifo`` open."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        for pid in filter(str.isdigit, os.listdir("/proc")):
            if int(pid) == os.getpid():
                continue
            try:
                if any(os.readlink(f"/proc/{pid}/fd/{fd}") == str(fifo) for fd in os.listdir(f"/proc/{pid}/fd")):
                    return int(pid)
            except OSError:  # gone, or not ours to look at
                continue
        time.sleep(0.01)
    raise TimeoutError(f"no process reads {fifo}")


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="finds the worker through /proc")
def test_a_dead_worker_loses_only_its_file(tmp_path):
    """A worker killed mid-file (by the out-of-memory killer, say) used to break the pool: every file was lost."""
    doomed, stalled = tmp_path / "doomed.csv", tmp_path / "stalled.csv"
    os.mkfifo(doomed)
    os.mkfifo(stalled)
    later = [write(tmp_path / f"later-{k}.csv", ["id"], [[str(k)]] * (k + 1)) for k in range(3)]
    problems = []

    def kill_then_feed():
        # Both workers wait on a FIFO, the other files queued: kill one, then let the other finish.
        try:
            end = wait_for_reader(doomed)
            os.kill(reader_of(doomed), signal.SIGKILL)
            os.close(end)
            end = wait_for_reader(stalled)
            os.write(end, b"id\n7\n8\n")
            os.close(end)
        except Exception as exc:
            problems.append(exc)

    helper = threading.Thread(target=kill_then_feed, daemon=True)
    helper.start()
    result = velmira.infer_many([str(doomed), str(stalled), *map(str, later)], jobs=2, delimiter=",")
    helper.join(30)
    assert problems == []
    assert result.failures == {str(doomed): "BrokenProcessPool: the worker profiling it died: killed by signal 9 "
                                            "(SIGKILL), often out of memory"}
    assert list(result.profiles) == [str(stalled), *map(str, later)]
    assert result.profile.rows == 2 + 1 + 2 + 3


class LosesOneFile(concurrent.futures.Executor):
    """Runs each pass here, but the one of ``lost`` fails as a broken executor's would."""

    def __init__(self, lost):
        self.lost = lost

    def submit(self, fn, *args, **kwargs):
        future = concurrent.futures.Future()
        if args[0] == self.lost:
            future.set_exception(concurrent.futures.process.BrokenProcessPool("the worker died"))
        else:
            future.set_result(fn(*args, **kwargs))
        return future


def test_an_executor_that_loses_a_file_loses_only_that_file(shards):
    """A future of the caller's executor that failed (a dead worker, a lost connection) used to lose every file."""
    paths, _ = shards
    sources = [str(p) for p in paths]
    result = velmira.infer_many(sources, executor=LosesOneFile(sources[2]))
    assert result.failures == {sources[2]: "BrokenProcessPool: the worker died"}
    assert list(result.profiles) == sources[:2] + sources[3:]
    with pytest.raises(concurrent.futures.process.BrokenProcessPool):
        velmira.infer_many(sources, executor=LosesOneFile(sources[2]), strict=True)


@pytest.mark.parametrize("files,stalled", [
    pytest.param(["stalled-0.csv", "stalled-1.csv", "stalled-2.csv"], 2, id="queued-files"),
    pytest.param(["done.csv", "stalled-0.csv"], 1, id="an-idle-worker"),
])
def test_ctrl_c_stops_the_pool_at_once(tmp_path, files, stalled):
    """Ctrl-C used to wait for the queued files' whole passes, and an idle worker printed a traceback."""
    write(tmp_path / "done.csv", ["id"], [["1"]])
    for name in files:
        if name.startswith("stalled"):
            os.mkfifo(tmp_path / name)
    command = [sys.executable, "-m", "velmira", *files, "-d", ",", "-j", "2", "--no-progress"]
    with subprocess.Popen(command, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          start_new_session=True) as proc:
        ends = [wait_for_reader(tmp_path / f"stalled-{k}.csv") for k in range(stalled)]
        time.sleep(0.5)  # the other worker is done with done.csv, or has more queued
        try:
            os.killpg(proc.pid, signal.SIGINT)  # as Ctrl-C at a terminal: the whole process group
            started = time.monotonic()
            status = proc.wait(timeout=30)
            took = time.monotonic() - started
        finally:
            with contextlib.suppress(ProcessLookupError):  # the workers too, should the test have failed
                os.killpg(proc.pid, signal.SIGKILL)
            for end in ends:
                os.close(end)
        assert (status, proc.stdout.read(), proc.stderr.read()) == (130, "", "velmira: interrupted\n")
        assert took < 1.0


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
    whole_profile = velmira.infer(whole)
    assert table.stdout.splitlines()[0] == (f"6 files: {whole_profile.rows} rows, "
                                            f"{len(whole_profile.columns)} columns")
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
