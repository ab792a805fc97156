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
import csv
import glob
import os
import pickle
import tempfile
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

import velmira_ext

from .profile import Profile, _profile_column, check_types, infer
from .source import Source, is_path, name_of
from .types import DEFAULT_TYPES, default_types

# Tables known to hold no text that matches two of their types.
_EXCLUSIVE_TABLES = (DEFAULT_TYPES, default_types(compact_dates=True))


def merge(profiles: Iterable[Profile]) -> Profile:
    """The profiles of several files merged into one.

    Columns are matched by name; the merged profile has every name that any
    file has, in the order first met, and each column's ``present_in`` lists
    the files that have it (its counts are theirs alone). Repeated names within
    one file already share one count table, and merge into one column. Rows are
    summed and every verdict is made again from the merged counts.
    ``merge_exact`` says whether the merged counts are those of one pass over
    all the files: true for the default types, which no text matches two of;
    for other types it holds only when no text of the files matches two types
    (see :func:`check_exclusive`), and ``merge_exact`` is False.

    All profiles must have been made with the same types, missing-value
    markers, threshold and date order; ValueError otherwise.
    """
    parts: List[Profile] = []
    for profile in profiles:
        parts.extend(profile.parts or (profile,))
    if not parts:
        raise ValueError("nothing to merge")
    first = parts[0]
    for part in parts[1:]:
        for what in ("types", "na_values", "threshold", "month_first"):
            if getattr(part, what) != getattr(first, what):
                raise ValueError(f"cannot merge {part.path} with {first.path}: they were profiled with "
                                 f"different {what.replace('_', ' ')}")
    type_names = list(first.types)
    counts: Dict[str, Dict[str, int]] = {}
    present: Dict[str, List[str]] = {}
    for part in parts:
        seen = set()
        for column in part.columns:
            if column.name in seen:  # a repeated name: one table, counted once
                continue
            seen.add(column.name)
            total = counts.setdefault(column.name, {name: 0 for name in (*type_names, "other", "NA")})
            for name, count in column.counts.items():
                total[name] = total.get(name, 0) + count
            present.setdefault(column.name, []).append(part.path)
    columns = []
    for name, total in counts.items():
        column = _profile_column(name, total, type_names, first.threshold, first.month_first)
        columns.append(_with_presence(column, tuple(present[name])))
    delimiters = {part.delimiter for part in parts}
    compressions = {part.compression for part in parts}
    return Profile(
        path=f"{len(parts)} files" if len(parts) != 1 else first.path,
        delimiter=delimiters.pop() if len(delimiters) == 1 else "",
        rows=sum(part.rows for part in parts),
        columns=tuple(columns),
        types=first.types,
        na_values=first.na_values,
        threshold=first.threshold,
        bom=any(part.bom for part in parts),
        month_first=first.month_first,
        compression=compressions.pop() if len(compressions) == 1 else None,
        rereadable=all(part.rereadable for part in parts),
        parts=tuple(parts),
        merge_exact=_exclusive_table(first.types),
    )


def _with_presence(column: Any, files: Tuple[str, ...]) -> Any:
    from dataclasses import replace

    return replace(column, present_in=files)


def _exclusive_table(types: Mapping[str, Sequence[str]]) -> bool:
    table = {name: tuple(patterns) for name, patterns in types.items()}
    return any(table == dict(known) for known in _EXCLUSIVE_TABLES)


def check_exclusive(types: Mapping[str, Iterable[str]], texts: Iterable[str]) -> Dict[str, List[str]]:
    """The texts that match two types or more, with those types, as the engine
    matches them (one pass over the texts per type). A table for which this is
    empty over the texts of some files merges their profiles exactly."""
    table = check_types(types)
    texts = list(dict.fromkeys(texts))
    if not texts:
        return {}
    matches: Dict[str, List[str]] = {text: [] for text in texts}
    with tempfile.TemporaryDirectory(prefix="velmira-exclusive-") as directory:
        data = os.path.join(directory, "texts.csv")
        with open(data, "w", encoding="utf-8", newline="") as f:
            writer = csv.writer(f, quoting=csv.QUOTE_ALL, lineterminator="\n")
            writer.writerow(["text"])
            writer.writerows([text] for text in texts)
        out = os.path.join(directory, "types.csv")
        for name, patterns in table.items():
            inf = velmira_ext.Inf(data, ",", {name: patterns}, set(), False, True, out, 1)
            inf.infer_types()
            with open(out, encoding="utf-8", newline="") as f:
                rows = list(csv.reader(f))[1:]
            for text, row in zip(texts, rows):
                if row and row[0] == name:
                    matches[text].append(name)
    return {text: names for text, names in matches.items() if len(names) > 1}


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
) -> ManyProfiles:
    """Profile every source, each in a pass of its own, and merge the profiles.

    ``sources`` are paths, glob patterns (``"exports/*.csv.gz"``, expanded and
    sorted), ``"-"`` or binary file objects; the other arguments are those of
    :func:`velmira.infer` and apply to every file (without a ``delimiter``,
    each file's own is guessed). Paths are profiled by ``executor`` if given
    (any ``concurrent.futures.Executor``: a ``dask.distributed`` client's
    ``get_executor()`` or Ray's executor run the passes on a cluster; velmira
    must be installed where they run), else by a pool of ``jobs`` processes
    (default: one per processor, at most one per file; ``jobs=1`` runs them
    here, one after the other). Standard input and file objects are read here.
    ``progress``, if given, is called with (files done, files in all).

    A file that cannot be profiled does not lose the others: it is listed in
    ``failures`` with the reason, unless ``strict`` is set, which raises its
    exception instead.
    """
    expanded, failures = expand(sources)
    if strict and failures:
        raise FileNotFoundError(next(iter(failures)) + ": " + next(iter(failures.values())))
    options = dict(types=types, na_values=na_values, delimiter=delimiter, multithreading=multithreading,
                   rolling_cache_window=rolling_cache_window, threshold=threshold, month_first=month_first)
    check_types(DEFAULT_TYPES if types is None else types)  # a bad table fails once, here
    names = [name_of(source) for source in expanded]
    results: Dict[int, Profile] = {}
    errors: Dict[int, BaseException] = {}
    done = 0

    def finish(index: int, outcome: Tuple[Optional[Profile], Optional[BaseException]]) -> None:
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
    own_pool = None
    if executor is None and len(paths) > 1 and (jobs is None or jobs > 1):
        workers = min(jobs or os.cpu_count() or 1, len(paths))
        own_pool = executor = concurrent.futures.ProcessPoolExecutor(max_workers=workers)
    # Standard input and file objects cannot travel to another process: they are read here.
    here = [i for i in range(len(expanded)) if executor is None or i not in set(paths)]
    futures: Dict[concurrent.futures.Future, int] = {}
    try:
        if executor is not None:
            futures = {executor.submit(_profile_one, os.fspath(expanded[i]), options): i for i in paths}
        for i in here:
            finish(i, _profile_one(expanded[i], options, portable=False))
        for future in concurrent.futures.as_completed(futures):
            finish(futures[future], future.result())
    except BaseException:
        for future in futures:
            future.cancel()
        raise
    finally:
        if own_pool is not None:
            own_pool.shutdown(wait=True)

    for index, error in errors.items():
        failures[names[index]] = f"{type(error).__name__}: {' '.join(str(error).split())}"
    profiles = {names[i]: results[i] for i in sorted(results)}
    merged = merge(profiles.values()) if profiles else None
    return ManyProfiles(merged, profiles, failures)


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
