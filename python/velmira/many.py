"""Many files, one schema: profiles that merge, and passes over many files at once.

A profile's counts are sums, so the profiles of several files (shards of one
table, say) merge by adding them column by column. The sum equals the counts
of one pass over the files one after the other when no text matches two
types: the engine caches a text's type for all columns and tries a column's
types in an order that adapts, so with overlapping types the type a text gets
can depend on what came before it. The default types are built so that no
text matches two of them; for types of your own, :func:`check_exclusive`
finds the texts that match more than one.

:func:`infer_many` profiles each file in a pool of processes (or on any
``concurrent.futures.Executor``: ``dask.distributed.Client.get_executor()``
and Ray's executor run it on a cluster) and merges the profiles.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import dataclasses
import glob
import multiprocessing
import multiprocessing.connection
import os
import pickle
import signal
import time
from collections import Counter, deque
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field
from typing import Any, Callable, Deque, Dict, Iterable, Iterator, List, Mapping, Optional, Sequence, Tuple

from . import _native
from .inference import DEFAULT_MAX_FIELD_SIZE, utf8_bytes, check_types, compile_table, infer
from .profile import Profile, merge
from .source import Source, is_path, name_of
from .types import DEFAULT_TYPES

#: One file's outcome: its profile, or the exception that stopped it.
Outcome = Tuple[Optional[Profile], Optional[BaseException]]


def check_exclusive(types: Mapping[str, Iterable[str]], texts: Iterable[str]) -> Dict[str, List[str]]:
    """The texts that match two types or more, with those types in the table's
    order, as the engine matches them. A table for which this is empty over the
    texts of some files merges their profiles exactly."""
    table, compiled = compile_table(types)
    texts = list(dict.fromkeys(texts))
    # Texts read with surrogate escapes are classified as the bytes they stand for.
    matches = _native.classify(compiled, [utf8_bytes(text, "text") for text in texts], all=True)
    order = {name: position for position, name in enumerate(table)}
    return {text: sorted(names, key=order.__getitem__) for text, names in zip(texts, matches) if len(names) > 1}


@dataclass(frozen=True)
class ManyProfiles:
    """What :func:`infer_many` found: the merged profile, each file's own, and
    the files that could not be profiled, with why."""

    profile: Optional[Profile]
    profiles: Mapping[str, Profile]
    failures: Mapping[str, str] = field(default_factory=dict)

    def differences(self) -> Dict[str, List[str]]:
        """Per file whose header or verdicts differ from the merged profile's:
        what differs, one line each."""
        found: Dict[str, List[str]] = {}
        if self.profile is None:
            return found
        merged = self.profile.column_names
        verdicts = {column.name: column.type for column in self.profile.columns}
        for name, profile in self.profiles.items():
            lines = []
            names = profile.column_names
            missing = [n for n in merged if n not in names]
            if missing:
                lines.append("lacks " + ", ".join(map(repr, missing)))
            if names != [n for n in merged if n in names]:
                lines.append("has its columns in another order")
            for column in profile.columns:
                if column.type != verdicts.get(column.name):
                    lines.append(f"{column.name!r} is {column.type} (all files: {verdicts.get(column.name)})")
            if lines:
                found[name] = lines
        return found

    def to_dict(self) -> Dict[str, Any]:
        return {
            "merged": None if self.profile is None else self.profile.to_dict(),
            "files": {name: profile.to_dict() for name, profile in self.profiles.items()},
            "failures": dict(self.failures),
            "differences": self.differences(),
        }


def expand(sources: Iterable[Source]) -> Tuple[List[Source], Dict[str, str]]:
    """Sources with their globs expanded (sorted), and the globs that matched nothing."""
    found: List[Source] = []
    empty: Dict[str, str] = {}
    for source in sources:
        if isinstance(source, str) and glob.has_magic(source) and not os.path.exists(source):
            matches = sorted(glob.glob(source))
            if matches:
                found.extend(matches)
            else:
                empty[source] = "no file matches this pattern"
        else:
            found.append(source)
    return found, empty


def infer_many(
    sources: Iterable[Source],
    types: Optional[Mapping[str, Iterable[str]]] = None,
    na_values: Optional[Iterable[str]] = None,
    delimiter: Optional[str] = None,
    multithreading: bool = False,
    rolling_cache_window: int = 100_000,
    threshold: float = 1.0,
    month_first: bool = False,
    executor: Optional[concurrent.futures.Executor] = None,
    jobs: Optional[int] = None,
    strict: bool = False,
    progress: Optional[Callable[[int, int], None]] = None,
    max_field_size: int = DEFAULT_MAX_FIELD_SIZE,
    skip_rows: Optional[int] = None,
    comment: Optional[str] = None,
    header: Optional[bool] = None,
    encoding: Optional[str] = None,
    quote: Optional[str] = None,
) -> ManyProfiles:
    """Profile every source, each in a pass of its own, and merge the profiles.

    ``sources`` are paths, glob patterns (``"exports/*.csv.gz"``, expanded and
    sorted), ``"-"`` or binary file objects; the other arguments are those of
    :func:`velmira.infer` and apply to every file (what is not given, each file's own dialect,
    header row and encoding, is found from that file). Paths are profiled by ``executor`` if given
    (any ``concurrent.futures.Executor``: a ``dask.distributed`` client's
    ``get_executor()`` or Ray's executor run the passes on a cluster; velmira
    must be installed where they run), else by a pool of ``jobs`` processes
    (default: one per processor, at most one per file; ``jobs=1`` runs them
    here, one after the other). Standard input and file objects are read here.
    ``progress``, if given, is called with (files done, files in all).

    Every source given is profiled and counted, the same one given twice
    included. Results are keyed by the sources' names, made unique where
    several share one: ``<stream 1>``, ``<stream 2>`` for file objects
    without a name, ``a.csv (2)`` for a second source called ``a.csv``.

    A file that cannot be profiled does not lose the others: it is listed in
    ``failures`` with the reason, unless ``strict`` is set, which raises its
    exception instead. That holds for a worker process that dies too (killed
    by the out-of-memory killer, say): its file fails with
    ``BrokenProcessPool`` and a new worker profiles the files still to do.
    Ctrl-C (KeyboardInterrupt) stops the workers at once, and no queued file
    is started.
    """
    if jobs is not None and (isinstance(jobs, bool) or not isinstance(jobs, int)):
        raise TypeError(f"jobs must be a whole number or None, not {type(jobs).__name__}")
    if jobs is not None and jobs < 1:
        raise ValueError(f"jobs must be 1 or more (1 profiles the files here, one after the other), not {jobs}")
    expanded, failures = expand(sources)
    if strict and failures:
        raise FileNotFoundError(next(iter(failures)) + ": " + next(iter(failures.values())))
    options = dict(types=types, na_values=na_values, delimiter=delimiter, multithreading=multithreading,
                   rolling_cache_window=rolling_cache_window, threshold=threshold, month_first=month_first,
                   max_field_size=max_field_size, skip_rows=skip_rows, comment=comment, header=header,
                   encoding=encoding, quote=quote)
    check_types(DEFAULT_TYPES if types is None else types)  # a bad table fails once, here
    names = _display_names(expanded, taken=failures)
    results: Dict[int, Profile] = {}
    errors: Dict[int, BaseException] = {}
    done = 0

    def finish(index: int, outcome: Outcome) -> None:
        nonlocal done
        profile, error = outcome
        if error is not None:
            if strict:
                raise error
            errors[index] = error
        else:
            results[index] = profile
        done += 1
        if progress is not None:
            progress(done, len(expanded))

    paths = [i for i, source in enumerate(expanded) if is_path(source)]
    pool = None
    if executor is None and len(paths) > 1 and (jobs is None or jobs > 1):
        pool = _Pool(min(jobs or os.cpu_count() or 1, len(paths)), options)
    elsewhere = set(paths) if executor is not None or pool is not None else set()
    futures: Dict[concurrent.futures.Future, int] = {}
    try:
        if pool is not None:
            pool.start([(i, os.fspath(expanded[i])) for i in paths])
        elif executor is not None:
            futures = {executor.submit(_profile_one, os.fspath(expanded[i]), options): i for i in paths}
        # Standard input and file objects cannot travel to another process: they are read here.
        for i in range(len(expanded)):
            if i not in elsewhere:
                finish(i, _profile_one(expanded[i], options, portable=False))
        if pool is not None:
            for index, outcome in pool.outcomes():
                finish(index, outcome)
        for future in concurrent.futures.as_completed(futures):
            finish(futures[future], _outcome(future))
    except BaseException:
        for future in futures:
            future.cancel()
        if pool is not None:
            pool.stop()
        raise
    if pool is not None:
        pool.close()

    for index, error in errors.items():
        failures[names[index]] = f"{type(error).__name__}: {' '.join(str(error).split())}"
    profiles = {}
    for i in sorted(results):
        # A stream's profile takes the name it is listed under; a path keeps its own, to be read again.
        same = is_path(expanded[i]) or results[i].path == names[i]
        profiles[names[i]] = results[i] if same else dataclasses.replace(results[i], path=names[i])
    merged = merge(profiles.values()) if profiles else None
    return ManyProfiles(merged, profiles, failures)


def _display_names(sources: Sequence[Source], taken: Iterable[str] = ()) -> List[str]:
    """What each source is called in the results: its own name, made unique where
    several share one, so that none replaces another. Paths get the plain names
    first; a name in angle brackets is numbered inside them (``<stream 1>``)."""
    names = [name_of(source) for source in sources]
    shared = {name for name, times in Counter(names).items() if times > 1}
    used = (set(names) - shared) | set(taken)
    unique = list(names)
    for i in sorted(range(len(names)), key=lambda i: (not is_path(sources[i]), i)):
        name = names[i]
        if name not in shared:
            continue
        number = 1
        while True:
            if name.startswith("<") and name.endswith(">"):
                candidate = f"{name[:-1]} {number}>"
            else:
                candidate = name if number == 1 else f"{name} ({number})"
            number += 1
            if candidate not in used:
                break
        used.add(candidate)
        unique[i] = candidate
    return unique


def _outcome(future: concurrent.futures.Future) -> Outcome:
    """A future's outcome; what broke the executor (a dead worker, a lost
    connection) becomes that file's failure rather than everyone's."""
    try:
        return future.result()
    except Exception as exc:
        return None, exc


class _Pool:
    """Worker processes of infer_many's own, each fed one file at a time through a pipe
    of its own. A worker that dies (killed by the out-of-memory killer, say) loses only
    the file it was profiling: that file fails, and a new worker takes the files still
    to do. (A ProcessPoolExecutor breaks as a whole when one worker dies, without
    saying which file killed it, and lets queued files run to their end on Ctrl-C.)"""

    def __init__(self, size: int, options: Mapping[str, Any]) -> None:
        self._size = size  # workers at most
        self._options = dict(options)  # infer's arguments, given to each worker as it starts
        # Workers come from a fork server, never forked from the caller: a caller with other
        # threads (a pass reading ahead, a dask client) may hold a lock at the moment of a
        # fork, and the worker would wait for it forever.
        self._context = multiprocessing.get_context("forkserver")
        self._todo: Deque[Tuple[int, str]] = deque()  # (index, path) not handed out yet
        self._lost: Deque[Tuple[int, Outcome]] = deque()  # files whose new worker died before taking them
        self._workers: List[_Worker] = []  # the live workers, idle or busy

    def start(self, tasks: Iterable[Tuple[int, str]]) -> None:
        """Start the workers and hand each its first file; they work while the caller does."""
        self._todo.extend(tasks)
        self._hand_out()

    def outcomes(self) -> Iterator[Tuple[int, Outcome]]:
        """(index, outcome) of every file, as each is done."""
        while True:
            while self._lost:
                yield self._lost.popleft()
            busy = [worker for worker in self._workers if worker.index is not None]
            if not busy:
                return
            ready = set(multiprocessing.connection.wait(
                [worker.pipe for worker in busy] + [worker.process.sentinel for worker in busy]))
            for worker in busy:
                if worker.pipe in ready or worker.process.sentinel in ready:
                    index, outcome = worker.index, worker.receive()
                    if outcome is None:
                        outcome = self._died(worker)
                    yield index, outcome
            self._hand_out()

    def close(self) -> None:
        """Let the workers end, after the last file."""
        for worker in self._workers:
            worker.send(None)
        self._join(terminate=False)

    def stop(self) -> None:
        """End every worker now, busy or not; the files not started are dropped."""
        self._todo.clear()
        self._join(terminate=True)

    def _hand_out(self) -> None:
        idle = [worker for worker in self._workers if worker.index is None]
        while self._todo:
            if not idle:
                if len(self._workers) >= self._size:
                    return
                idle.append(self._spawn())
            worker = idle.pop()
            task = self._todo.popleft()
            if not worker.send(task):  # it is dead
                if worker.answered:  # it died idle: the file is not to blame
                    self._todo.appendleft(task)
                    self._died(worker)
                else:  # a new worker that cannot start: this file fails, so the loop ends
                    self._lost.append((task[0], self._died(worker)))

    def _spawn(self) -> "_Worker":
        ours, theirs = self._context.Pipe()
        process = self._context.Process(target=_work, args=(theirs, self._options), daemon=True,
                                        name="velmira-worker")
        with _sigint_blocked():  # until the worker ignores it: Ctrl-C is the parent's to handle
            process.start()
        theirs.close()
        worker = _Worker(process, ours)
        self._workers.append(worker)
        return worker

    def _died(self, worker: "_Worker") -> Outcome:
        self._workers.remove(worker)
        worker.process.join()
        worker.pipe.close()
        return None, BrokenProcessPool(f"the worker profiling it died: {worker.death()}")

    def _join(self, terminate: bool) -> None:
        workers, self._workers = self._workers, []
        if terminate:
            for worker in workers:
                worker.process.terminate()
        deadline = time.monotonic() + 0.5
        for worker in workers:
            worker.process.join(max(0.0, deadline - time.monotonic()))
            if worker.process.is_alive():
                worker.process.kill()
                worker.process.join()
            worker.pipe.close()


@dataclass
class _Worker:
    process: Any  # a multiprocessing Process
    pipe: Any  # our end of its pipe
    index: Optional[int] = None  # the file it is profiling; None while idle
    answered: bool = False  # whether it has sent an outcome, so was seen working

    def send(self, task: Optional[Tuple[int, str]]) -> bool:
        """Hand it a file (None: end); False when it is gone."""
        try:
            self.pipe.send(task)
        except OSError:
            return False
        self.index = None if task is None else task[0]
        return True

    def receive(self) -> Optional[Outcome]:
        """Its outcome for its file, once its pipe or its end woke us; None when it died first."""
        try:
            if not self.pipe.poll():  # nothing sent: its end woke us
                return None
            _, outcome = self.pipe.recv()
        except (EOFError, OSError):  # it died while it answered
            return None
        self.index, self.answered = None, True
        return outcome

    def death(self) -> str:
        code = self.process.exitcode
        if code is None or code >= 0:
            return f"it exited with status {code}"
        try:
            name = f" ({signal.Signals(-code).name})"
        except ValueError:
            name = ""
        why = f"killed by signal {-code}{name}"
        return why + ", often out of memory" if -code == signal.SIGKILL else why


@contextlib.contextmanager
def _sigint_blocked() -> Iterator[None]:
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    old = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)


def _work(pipe: Any, options: Mapping[str, Any]) -> None:
    """A worker process: profile each path it is sent, until it is sent None."""
    # Ctrl-C at a terminal reaches every process of the group: the parent stops the
    # workers itself, and a worker that caught it would only print a traceback.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    try:
        while True:
            task = pipe.recv()
            if task is None:
                return
            index, path = task
            pipe.send((index, _profile_one(path, options)))
    except (EOFError, OSError):  # the parent is gone
        return


def _profile_one(source: Source, options: Mapping[str, Any],
                 portable: bool = True) -> Tuple[Optional[Profile], Optional[BaseException]]:
    """One file's profile, or the exception that stopped it. In a worker process
    the exception must survive pickling; one that would not is replaced."""
    try:
        return infer(source, **options), None
    except Exception as exc:  # a failure of this file; the others go on
        if portable:
            try:
                pickle.loads(pickle.dumps(exc))
            except Exception:
                exc = RuntimeError(f"{type(exc).__name__}: {exc}")
        return None, exc
