"""Why a column got its verdict: its counts, its share, and texts that no type took.

The engine keeps counts, not texts, so the texts counted as "other" are
found by reading the column again: its distinct texts go, a batch at a time,
to the engine's classifier with the profile's own types, compiled once, and
the pass stops as soon as enough of them came back "other". It reads at most
the whole file, and only as far as it must.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import List, Tuple

from . import _native
from .inference import compile_table
from .profile import ColumnProfile, Profile
from .values import aligned_rows

#: How many distinct texts go through the engine at once.
BATCH = 1000


@dataclass(frozen=True)
class Explanation:
    """The verdict of one column and the first distinct texts counted as "other"."""

    path: str
    column: ColumnProfile
    threshold: float
    others: Tuple[str, ...]
    #: Data rows read by the second pass; ``complete`` when it reached the end of the file.
    rows_read: int
    complete: bool
    #: How many files the profile covers: more than one for a merged profile.
    files: int = 1

    def to_text(self) -> str:
        column = self.column
        lines = [f"{self.path}: column {column.name!r}"]
        verdict = column.type
        if column.best_type:
            verdict += (f" (best type {column.best_type} covers {_percent(column.share)} of {column.present} values;"
                        f" threshold {_percent(self.threshold)})")
        lines.append(f"type     {verdict}")
        counts = ", ".join(f"{t} {n}" for t, n in column.counts.items() if n and t != "NA") or "-"
        lines.append(f"counts   {counts}")
        lines.append(f"missing  {column.missing}")
        if column.format:
            lines.append(f"format   {column.format}")
        if column.note:
            lines.append(f"note     {column.note}")
        if column.counts.get("other"):
            whole = "in the whole file" if self.files == 1 else f"in all {self.files} files"
            where = whole if self.complete else f"in the first {self.rows_read} rows"
            shown = ", ".join(repr(t) for t in self.others)
            lines.append(f"other    {shown} (the first {len(self.others)} distinct, {where})")
        return "\n".join(lines) + "\n"


def _percent(share: float) -> str:
    # Rounded down like the table's shares, so that "100.0%" always means every value.
    return f"{math.floor(share * 1000 + 1e-9) / 10:.1f}%"


def explain(profile: Profile, column_name: str, limit: int = 5) -> Explanation:
    """Explain ``column_name`` of ``profile``: read the file again (every file
    of a merged profile, one after the other) for up to ``limit`` distinct
    texts that the engine counted as "other" in that column.

    Raises KeyError for a column the profile does not have.
    """
    column = profile.column(column_name)
    index = profile.column_names.index(column_name)
    others: List[str] = []
    rows_read = 0
    complete = True
    if column.counts.get("other", 0) and limit > 0:
        _, table = compile_table(profile.types)
        markers = frozenset(profile.na_values)
        seen = set()
        batch: List[str] = []
        complete = False
        for _, _, texts in aligned_rows(profile):
            rows_read += 1
            text = texts[index]
            if text is None or text in markers or text in seen:
                continue
            seen.add(text)
            batch.append(text)
            if len(batch) == BATCH:
                others += _others(table, batch)
                batch = []
                if len(others) >= limit:
                    break
        else:
            others += _others(table, batch)
            complete = True
    return Explanation(profile.path, column, profile.threshold, tuple(others[:limit]), rows_read, complete,
                       files=len(profile.parts) or 1)


def _others(table: _native.TypeTable, texts: List[str]) -> List[str]:
    """The texts that no type of the table matches, in order, as the engine decides."""
    return [text for text, kind in zip(texts, _native.classify(table, texts)) if kind == "other"]
