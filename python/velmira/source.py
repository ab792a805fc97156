"""Where a profile's bytes come from: a path, ``"-"`` for standard input, or a binary file object.

Whatever the source, its first bytes decide whether it is compressed (gzip,
zstd, bzip2 or xz; the file name is never looked at), and it is then read
decompressed, once, by the engine. A path can be read again (the SQL and
dataframe outputs and ``velmira explain`` do); standard input and file objects
cannot.
"""

from __future__ import annotations

import io
import math
import os
import sys
import time
from typing import Any, BinaryIO, Callable, Optional, TextIO, Union

from . import _native

#: What ``infer`` reads: a path, "-" (standard input) or a binary file object.
Source = Union[str, bytes, "os.PathLike[str]", BinaryIO]

#: The source that means standard input.
STDIN = "-"


def open_input(source: Source) -> _native.Input:
    """The engine's reader of ``source``; raises TypeError for a text-mode file object."""
    if isinstance(source, (io.TextIOBase, io.StringIO)):
        raise TypeError("the file object is opened in text mode; open it in binary mode ('rb')")
    if isinstance(source, str) and source == STDIN:
        return _native.Input(STDIN)
    if isinstance(source, (str, bytes, os.PathLike)):
        # As bytes: a name that is not UTF-8 comes in str as surrogate escapes. Errors
        # name the file as the caller did.
        try:
            return _native.Input(os.fsencode(source))
        except OSError as exc:
            raise type(exc)(exc.errno, exc.strerror, os.fspath(source)) from None
    if hasattr(source, "readinto") or hasattr(source, "read"):
        return _native.Input(source)
    raise TypeError(f"expected a path, '-' or a binary file object, not {type(source).__name__}")


def name_of(source: Source) -> str:
    """How messages and profiles call a source."""
    if isinstance(source, str) and source == STDIN:
        return "<stdin>"
    if isinstance(source, (str, bytes, os.PathLike)):
        return os.fsdecode(os.fspath(source))
    name = getattr(source, "name", None)
    return name if isinstance(name, str) else "<stream>"


def is_path(source: Source) -> bool:
    """Whether the source can be read a second time."""
    return isinstance(source, (str, bytes, os.PathLike)) and not (isinstance(source, str) and source == STDIN)


class _Reader(io.RawIOBase):
    """A decompressing reader of a path, for the package's second passes."""

    def __init__(self, path: str) -> None:
        super().__init__()
        self._input: Optional[_native.Input] = _native.Input(os.fsencode(path))

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        if self._input is None:
            raise ValueError("I/O operation on closed file")
        return self._input.readinto(buffer)

    def close(self) -> None:
        if self._input is not None:
            self._input.close()
            self._input = None
        super().close()


def open_text(path: str, encoding: str = "utf-8-sig") -> TextIO:
    """The file at ``path`` as text (UTF-8, a byte order mark dropped, unless told another
    encoding), decompressed if it is compressed, for a second pass with the ``csv`` module."""
    return io.TextIOWrapper(io.BufferedReader(_Reader(path), 1 << 20), encoding=encoding, newline="")


class _StatusLine:
    """One line on a terminal, written over in place and cleared at the end."""

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream
        self._shown = False

    def show(self, text: str) -> None:
        self._stream.write("\r" + text + "\033[K")
        self._stream.flush()
        self._shown = True

    def close(self) -> None:
        if self._shown:
            self._stream.write("\r\033[K")
            self._stream.flush()
            self._shown = False


class ProgressBar(_StatusLine):
    """A one-line progress report on a terminal: bytes read, speed and time left.

    A callable for ``infer(progress=...)``. Nothing is shown for the first half
    second, nor for an input known to be smaller than ``min_bytes``; ``close()``
    clears the line. Compressed input is measured on its compressed bytes.
    (A few lines of its own rather than rich or tqdm: it needs nothing more,
    and the package stays free of dependencies.)
    """

    def __init__(self, stream: TextIO = sys.stderr, min_bytes: int = 4 << 20) -> None:
        super().__init__(stream)
        self._min_bytes = min_bytes
        self._started = time.monotonic()

    def __call__(self, done: int, total: Optional[int]) -> None:
        elapsed = time.monotonic() - self._started
        if elapsed < 0.5 or (total is not None and total < self._min_bytes):
            return
        speed = done / elapsed
        parts = [_size(done) + (f" of {_size(total)}" if total else "")]
        if total:
            parts.append(f"{min(done / total, 1.0):.0%}")
        parts.append(f"{speed / 1e6:,.1f} MB/s")
        if total and speed > 0:
            parts.append(f"{_clock(max(total - done, 0) / speed)} left")
        self.show("  ".join(parts))


class FileCounter(_StatusLine):
    """A one-line count of files done, for ``infer_many(progress=...)``."""

    def __call__(self, done: int, total: int) -> None:
        self.show(f"{done}/{total} files")


def _size(n: float) -> str:
    for unit in ("B", "KB", "MB", "GB"):
        if n < 1000 or unit == "GB":
            return f"{n:,.0f} {unit}" if unit == "B" else f"{n:,.1f} {unit}"
        n /= 1000
    return f"{n:,.1f} TB"


def _clock(seconds: float) -> str:
    seconds = math.ceil(seconds)
    hours, rest = divmod(seconds, 3600)
    return f"{hours}:{rest // 60:02d}:{rest % 60:02d}" if hours else f"{rest // 60}:{rest % 60:02d}"


#: The signature of a progress callback: (bytes read, total bytes or None).
Progress = Callable[[int, Optional[int]], None]
