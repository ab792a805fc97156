"""Find a file's dialect, header row and header encoding from the first bytes of the file.

:func:`detect` reads a sample (the first 64 KiB of the decompressed file) and
returns a :class:`Dialect`: the delimiter, the quote, the line ending, where the
table's header is (past title lines, metadata, comments and blank lines), the
table's width and the header's names, decoded.

How it decides
--------------
*Delimiter and quote.* Every candidate present in the sample (``,`` tab ``;``
``|`` space, runs of blanks, see :data:`WHITESPACE`, and ``:``) splits the
sample into rows with quotes respected, and is judged by the consistency of
its field counts: the share of the rows, from the first one of the dominant
width on, that have that width, a little less when many rows stand above it;
times the share of its fields that read as clean values (a field that still
holds another candidate delimiter, a stray quote or a pair of quotes around
it, or an empty field between two single spaces, was cut in the wrong
places); times a small bonus for more columns. Character frequencies are never
counted. Runs of blanks cut wherever a tab or a space cuts, and more: where
tabs alone cut the rows as consistently, the tab wins, and single spaces win
where they cut the same fields. ``"`` is the quote unless reading quotes as
data, or ``'`` as the quote, makes the rows clearly more consistent or cleaner.

*Header.* The rows of the table's dominant width in the lower three quarters
of the sample say what each column holds: whole numbers, other numbers, dates
and times, booleans, text or nothing. Going down from the top, a row of
another width stands above the table and is skipped. A row of the table's
width is the header when its fields read as names, that is no field reads like
its column's values (a number over numbers, a date over dates), at most one
field is blank over a column that has values, and something tells it from data
(a word over numbers, a whole number over decimals, as years over rates); in a
table of text columns alone, where nothing tells, the first such row. A header
must stand right over the table: over a rule of dashes or equals signs, over a
row that reads as data, or over a row of the table's width; split at blanks,
a line of prose above a row of names is a title, not the header. A row that
reads like the columns' values is the first data row of a table without a
header, unless its fields are all quoted over a row of unquoted numbers (R
writes numbers as names so: ``"","1940","1945"``). Other rows of the table's
width (a title padded with delimiters, a units line) are skipped. A header one
field short of the rows below (R's ``write.table`` leaves out the row names'
column) or one longer (a trailing delimiter, or rows that leave out empty
trailing fields) is taken when the row below it reads as data. A lone row
holding numbers alone is data; with no row at all of the table's width to
compare with, the first row is the header if it holds any text.

*Comments.* ``#`` is the comment character when some line starts with ``#``
and one such line is not shaped like a row of the table (``#,Name,Type`` as a
header, or ``#1`` ids, are rows).

*Encoding.* The header's bytes are decoded as UTF-8; else as cp1252, or
Latin-1 where the sample holds a byte cp1252 leaves undefined, with a
:class:`HeaderEncodingWarning`. charset-normalizer was measured for this and
named Western files cp932, cp1250, cp1257 or mac_latin2 (and Greek cp1251), so
it is not used; an encoding given is used as it is.

Cost
----
Linear in the sample: one pass of the C ``csv`` module per one-byte candidate
present in the sample, one ``str.split`` per line (or one regular-expression
pass when there are quotes) for runs of blanks, and value kinds read from at
most 128 rows of 256 columns. On 181 real files of 64 KiB: 4 ms at the median,
13 ms at most; hostile samples (quotes on every line, 32,000 one-byte rows, a
row of 32,000 fields) at most 16 ms. Pure Python, so Ctrl-C stops it at once.

The tokenizer's reading of each dialect
---------------------------------------
One-byte delimiter (``,`` ``;`` ``\\t`` ``|`` ``:`` ``" "``) with quote ``"``:
exactly the engine's tokenizer today: a field that starts with the quote is
quoted up to the next quote not doubled, with delimiters and line ends inside
it as data and ``""`` meaning one quote; bytes after the closing quote up to
the next delimiter are appended; a quote elsewhere is data. With quote ``'``
the same with ``'``; with no quote (``None``) quotes are plain data.

Runs of blanks (:data:`WHITESPACE`): blanks are space (0x20) and tab (0x09)
only. Blanks at the start and at the end of a row are ignored; every run of
one or more blanks between two fields separates them, so a row has no empty
field except a quoted ``""``. A row holding only blanks is a blank line. Quotes
are respected as above: a field that starts with the quote (at the row's start
or right after a run of blanks) is quoted, blanks and line ends inside it are
data, ``""`` is one quote, and bytes after the closing quote up to the next
blank or line end are appended. A quote anywhere else is data.

Line endings: ``"crlf"`` (as today) ends a row at LF, CR LF or a lone CR.
``"lf"`` ends a row at LF alone; a CR anywhere, even right before the LF, is a
byte of the field (pandas writes such files with lone CRs inside unquoted
fields). Quoted fields hold line ends as data in both.

Comments: with a comment character, a line whose first byte is that
character, where a row starts (never inside a quoted field), is skipped whole
up to its line end, wherever it is in the file.

Blank lines: a line that is empty, or holds only blanks that are not its
delimiters, is no row, above the table as in it.

Lines and rows: ``skipped_lines`` counts physical lines (ended as the line
ending says, quotes not looked at) before the header, or before the first data
row without a header: title and metadata lines, comments and blank lines alike.
A tokenizer skips that many lines whole, then reads the header (if any) and
the rows, still skipping blank and comment lines.
"""

from __future__ import annotations

import codecs
import collections
import csv
import io
import itertools
import re
import warnings
from dataclasses import dataclass
from typing import Dict, FrozenSet, List, Optional, Sequence, Tuple

#: The delimiter that stands for runs of blanks (spaces and tabs) between fields.
WHITESPACE = "whitespace"

#: The delimiters the guess chooses from, in the order that breaks exact ties.
CANDIDATES: Tuple[str, ...] = (",", "\t", ";", "|", " ", WHITESPACE, ":")

#: The settings a :class:`Dialect` says were given or guessed.
SETTINGS: Tuple[str, ...] = ("delimiter", "quote", "line_ending", "skip_rows", "comment", "header", "encoding")

_BOM = b"\xef\xbb\xbf"
# Candidates rarely inside a clean value; a field holding one was cut in the wrong place.
_SEPARATORS = ",;|\t"
# Bytes that cp1252 leaves undefined; a sample holding one is read as Latin-1.
_CP1252_HOLES = frozenset(b"\x81\x8d\x8f\x90\x9d")
# Rows whose values make a column's profile, and rows judged for the type score:
# enough to see a column's kinds, few enough to stay far within the time budget.
_PROFILE_ROWS = 128
_SCORED_ROWS = 128
# Columns past these tell nothing the first ones do not, and a row can hold thousands.
_PROFILE_COLUMNS = 256
_SCORED_FIELDS = 4096
# A value kind seen in at least this share of a column's values belongs to it.
_FITS_SHARE = 0.05


class HeaderEncodingWarning(UserWarning):
    """The header is not UTF-8 and was decoded with a guessed single-byte encoding."""


@dataclass(frozen=True)
class Dialect:
    """How to read a file's table; see the module's text for each setting's reading.

    ``header_row`` is the 0-based line of the header (None without one); it
    equals ``skipped_lines`` when there is a header. ``names`` are the header's
    fields decoded with ``encoding`` (a UTF-8 byte order mark, ``bom``, left
    out). ``width`` is the number of columns: the header's fields, one more when
    the header leaves out the row names' column as R writes it (``names`` is
    then one short); without a header, the most frequent field count of the
    rows, and ``names`` are ``column_1`` ... ``column_<width>``. ``guessed``
    holds the names of the settings (see :data:`SETTINGS`) that were guessed
    rather than given.
    """

    delimiter: str
    quote: Optional[str]
    line_ending: str
    header_row: Optional[int]
    skipped_lines: int
    comment: Optional[str]
    encoding: str
    names: Tuple[str, ...]
    width: int
    bom: bool = False
    guessed: FrozenSet[str] = frozenset()

    def was_guessed(self, setting: str) -> bool:
        if setting not in SETTINGS:
            raise ValueError(f"unknown setting {setting!r}; one of {', '.join(SETTINGS)}")
        return setting in self.guessed

    def summary(self) -> str:
        """One line for people, e.g. ``delimiter ';' (guessed), header on line 10 (9 lines skipped, guessed), ...``."""

        def how(*settings: str) -> str:
            return "guessed" if any(s in self.guessed for s in settings) else "given"

        shown = "runs of blanks" if self.delimiter == WHITESPACE else repr(self.delimiter)
        parts = [f"delimiter {shown} ({how('delimiter')})"]
        if self.quote != '"':
            parts.append(f"quote {self.quote!r} ({how('quote')})" if self.quote else f"no quote ({how('quote')})")
        if self.line_ending == "lf":
            parts.append(f"rows end at LF alone, CR is data ({how('line_ending')})")
        if self.comment is not None:
            parts.append(f"comments start with {self.comment!r} ({how('comment')})")
        skipped = f"{self.skipped_lines} line{'s' if self.skipped_lines != 1 else ''} skipped"
        if self.header_row is None:
            parts.append(f"no header ({how('header')})")
            parts.append(f"data from line {self.skipped_lines + 1}" + (f" ({skipped})" if self.skipped_lines else ""))
        else:
            where = f"{skipped}, " if self.skipped_lines else ""
            parts.append(f"header on line {self.header_row + 1} ({where}{how('header', 'skip_rows')})")
        parts.append(f"{self.width} column{'s' if self.width != 1 else ''}")
        if self.header_row is not None:
            parts.append(f"header encoding {self.encoding} ({how('encoding')})")
        return ", ".join(parts)


class _Split:
    """One candidate's reading of the sample: each row's fields and the line it starts on.

    Rows are plain lists, not objects: a 64 KiB sample can hold thousands of them, read
    once per candidate.
    """

    __slots__ = ("fields", "lines", "comments", "width", "score", "consistency", "regularity", "_text", "_lf", "_ends")

    def __init__(self, fields: List[List[str]], lines: List[int], comments: List[Tuple[int, str]],
                 text: str, lf: bool) -> None:
        self.fields = fields
        self.lines = lines
        self.comments = comments  # (line, text) of every line skipped as a comment
        self.width = 0  # the dominant width
        self.score = 0.0
        self.consistency = 0.0
        self.regularity = 0.0  # the consistency, less for rows above the table
        self._text = text
        self._lf = lf
        self._ends: List[int] = [0]  # where lines start, found as far as asked for

    def raw(self, index: int) -> str:
        """The physical line on which row ``index`` starts, quotes and all."""
        line = self.lines[index]
        ends = self._ends
        if len(ends) <= line + 1:
            for match in _LINE_END[self._lf].finditer(self._text, ends[-1]):
                ends.append(match.end())
                if len(ends) > line + 1:
                    break
            else:
                ends.append(len(self._text))
        start = ends[line]
        stop = ends[line + 1] if line + 1 < len(ends) else len(self._text)
        return self._text[start:stop]


def detect(
    sample: bytes,
    *,
    delimiter: Optional[str] = None,
    quote: Optional[str] = None,
    skip_rows: Optional[int] = None,
    comment: Optional[str] = None,
    header: Optional[bool] = None,
    encoding: Optional[str] = None,
    line_ending: Optional[str] = None,
    complete: bool = False,
) -> Dialect:
    """Find the dialect, header row and header encoding of the table that ``sample`` starts.

    ``sample`` is the file's first bytes (64 KiB is plenty), decompressed;
    ``complete`` says it is the whole file, else its last line, which the
    sample's end may have cut, is left out. Every other argument, when given,
    is taken as it is and not guessed:

    - ``delimiter``: one ASCII character, or :data:`WHITESPACE` for runs of blanks;
    - ``quote``: ``'"'``, ``"'"``, or ``""`` for none;
    - ``skip_rows``: the number of lines before the header (or the first data
      row); blank and comment lines right after them are skipped too;
    - ``comment``: the character that starts a comment line, or ``""`` for none;
    - ``header``: True if the table has a header, False if not (columns are then
      named ``column_1``, ...);
    - ``encoding``: the header's encoding, any that Python knows;
    - ``line_ending``: ``"crlf"`` or ``"lf"``.

    A header guessed to be in a single-byte encoding is reported with a
    :class:`HeaderEncodingWarning`. Raises ValueError for a setting it cannot
    use, and UnicodeDecodeError when the header is not in the given encoding.
    """
    _check(delimiter, quote, skip_rows, comment, header, encoding, line_ending)
    guessed = set()
    bom = sample.startswith(_BOM)
    data = sample[len(_BOM):] if bom else sample
    # Latin-1 maps every byte to one character, so positions and delimiters stay
    # bytes; the names are decoded properly once the header is found.
    text = data.decode("latin-1")
    if not complete:
        text = _whole_lines(text)

    if line_ending is None:
        guessed.add("line_ending")
        line_ending = _guess_line_ending(text)
    lf = line_ending == "lf"

    comment_given = comment is not None
    if comment_given:
        comment_char: Optional[str] = comment or None
    else:
        guessed.add("comment")
        comment_char = "#" if _has_comment_lines(text, lf) else None

    quote_given = quote is not None
    quote_char = (quote or None) if quote_given else '"'
    if not quote_given:
        guessed.add("quote")

    if delimiter is None:
        guessed.add("delimiter")
        split, delimiter = _best_delimiter(text, quote_char, lf, comment_char)
    else:
        split = _split(text, delimiter, quote_char, lf, comment_char)
        _measure(split, delimiter, quote_char)

    if not quote_given:
        split, quote_char = _best_quote(text, split, delimiter, lf, comment_char)

    if not comment_given and comment_char is not None and not _comments_stand_apart(split, delimiter, quote_char):
        # The lines that start with "#" are rows of the table ("#" as a column name or an id).
        comment_char = None
        split = _split(text, delimiter, quote_char, lf, None)
        _measure(split, delimiter, quote_char)

    if skip_rows is None:
        guessed.add("skip_rows")
    if header is None:
        guessed.add("header")
    start, has_header = _find_table(
        split, skip_rows, header, delimiter in (" ", WHITESPACE), delimiter, quote_char
    )

    if start is None:
        # No row at all (an empty sample, or nothing past the skipped lines).
        if encoding is None:
            guessed.add("encoding")
        return Dialect(
            delimiter=delimiter, quote=quote_char, line_ending=line_ending, header_row=None,
            skipped_lines=skip_rows or 0, comment=comment_char, encoding=encoding or "utf-8", names=(),
            width=0, bom=bom, guessed=frozenset(guessed),
        )

    first = split.fields[start]
    below = split.fields[start + 1:] if has_header else split.fields[start:]
    width = _dominant_width(below) if below else len(first)
    if has_header:
        # The header says how many columns there are, but for the row names' column
        # that R leaves untitled.
        width = width if len(first) == width - 1 else len(first)
    skipped = split.lines[start]
    if has_header:
        header_row: Optional[int] = skipped
        raw = [_restore(name) for name in first]
        if encoding is None:
            guessed.add("encoding")
            encoding = _guess_encoding(raw, data)
            if encoding != "utf-8":
                warnings.warn(
                    f"the header is not UTF-8; its names were read as {encoding} "
                    f"(give the encoding to read them otherwise)",
                    HeaderEncodingWarning,
                    stacklevel=2,
                )
        names = tuple(name.encode("latin-1").decode(encoding) for name in raw)
    else:
        header_row = None
        if encoding is None:
            guessed.add("encoding")
            encoding = "utf-8"
        names = tuple(f"column_{index}" for index in range(1, width + 1))
    return Dialect(
        delimiter=delimiter,
        quote=quote_char,
        line_ending=line_ending,
        header_row=header_row,
        skipped_lines=skipped,
        comment=comment_char,
        encoding=encoding,
        names=names,
        width=width,
        bom=bom,
        guessed=frozenset(guessed),
    )


def _check(delimiter, quote, skip_rows, comment, header, encoding, line_ending) -> None:
    if delimiter is not None and delimiter != WHITESPACE and (
        len(delimiter) != 1 or not delimiter.isascii() or delimiter in "\"'\r\n"
    ):
        raise ValueError(
            f"delimiter must be one ASCII character other than a quote or line end, or {WHITESPACE!r}, "
            f"not {delimiter!r}"
        )
    if quote is not None and quote not in ('"', "'", ""):
        raise ValueError(f"quote must be '\"', \"'\" or '' for none, not {quote!r}")
    if quote and delimiter == quote:
        raise ValueError("the delimiter and the quote must differ")
    if skip_rows is not None and (isinstance(skip_rows, bool) or not isinstance(skip_rows, int) or skip_rows < 0):
        raise ValueError(f"skip_rows must be a whole number of lines, 0 or more, not {skip_rows!r}")
    if comment is not None and (len(comment) > 1 or (comment and (not comment.isascii() or comment in "\r\n"))):
        raise ValueError(f"comment must be one ASCII character or '' for none, not {comment!r}")
    if comment and comment in (delimiter, quote):
        raise ValueError("the comment character must differ from the delimiter and the quote")
    if header is not None and not isinstance(header, bool):
        raise ValueError(f"header must be True, False or None (guess), not {header!r}")
    if encoding is not None:
        try:
            codecs.lookup(encoding)
        except LookupError:
            raise ValueError(f"unknown encoding {encoding!r}") from None
    if line_ending not in (None, "crlf", "lf"):
        raise ValueError(f"line_ending must be 'crlf' or 'lf', not {line_ending!r}")


# ----------------------------------------------------------------------------------------
# Lines


def _whole_lines(text: str) -> str:
    """The sample without its last line, which the sample's end may have cut."""
    end = max(text.rfind("\n"), text.rfind("\r"))
    return text[: end + 1] if end >= 0 else text


def _guess_line_ending(text: str) -> str:
    # Lone CRs in a file whose lines end in LF alone are data, not row ends.
    crlf = text.count("\r\n")
    if crlf:
        return "crlf"
    lone_cr = text.count("\r")
    lf = text.count("\n")
    return "lf" if lone_cr and lf > lone_cr else "crlf"


_LINES_CRLF = re.compile(r"[^\r\n]*(?:\r\n|\r|\n)|[^\r\n]+$")
_LINES_LF = re.compile(r"[^\n]*\n|[^\n]+$")
# Stands for a CR that is data while the csv module reads the line; latin-1 text never holds it.
_CR = "\ue000"


def _restore(field: str) -> str:
    return field.replace(_CR, "\r").translate(_SHOW)


def _has_comment_lines(text: str, lf: bool) -> bool:
    # Settled once the delimiter is known: see _comments_stand_apart.
    return text.startswith("#") or ("\n#" in text) or (not lf and "\r#" in text)


def _comments_stand_apart(split: _Split, delimiter: str, quote: Optional[str]) -> bool:
    """Whether the lines starting with "#" are comments: some is not shaped like a row of the table."""
    if not split.comments:
        return False
    for _, line in split.comments:
        if len(_split_one(line, delimiter, quote)) != split.width:
            return True
    return False


def _split_one(line: str, delimiter: str, quote: Optional[str]) -> List[str]:
    if delimiter == WHITESPACE:
        return _RUN_FIELDS[quote].findall(line.strip("\r\n"))
    for fields in _reader([line.rstrip("\r\n")], delimiter, quote):
        return fields
    return []


# ----------------------------------------------------------------------------------------
# Splitting the sample into rows


def _reader(lines, delimiter: str, quote: Optional[str]):
    if quote is None:
        return csv.reader(lines, delimiter=delimiter, quoting=csv.QUOTE_NONE, escapechar=None, strict=False)
    return csv.reader(lines, delimiter=delimiter, quotechar=quote, doublequote=True, strict=False)


def _split(text: str, delimiter: str, quote: Optional[str], lf: bool, comment: Optional[str]) -> _Split:
    if delimiter == WHITESPACE:
        return _split_runs(text, quote, lf, comment)
    return _split_csv(text, delimiter, quote, lf, comment)


def _split_csv(text: str, delimiter: str, quote: Optional[str], lf: bool, comment: Optional[str]) -> _Split:
    if comment is not None:
        return _split_csv_commented(text, delimiter, quote, lf, comment)
    if lf and "\r" in text:
        # The csv module ends rows at every CR; in these files a CR is data.
        source = text.replace("\r", _CR)
    else:
        source = text
    reader = _reader(io.StringIO(source, newline=""), delimiter, quote)
    # A blank line reads as no field, or as one of blanks alone: it is no row.
    if quote is None or quote not in text:
        # Each row is one line, blank ones included.
        rows = list(reader)
        lines = [number for number, row in enumerate(rows) if row and (len(row) > 1 or row[0].strip(" \t"))]
        fields = rows if len(lines) == len(rows) else [rows[number] for number in lines]
        return _Split(fields, lines, [], text, lf)
    # The line each row ends on; the next row starts there.
    ends = [(row, reader.line_num) for row in reader]
    starts = [0] + [end for _, end in ends[:-1]]
    kept = [index for index, (row, _) in enumerate(ends) if row and (len(row) > 1 or row[0].strip(" \t"))]
    return _Split([ends[index][0] for index in kept], [starts[index] for index in kept], [], text, lf)


class _LineFeed:
    """Hands the csv module one physical line at a time, leaving out comment and blank
    lines where a row starts, and remembers on which line each row starts."""

    def __init__(self, text: str, lf: bool, comment: str) -> None:
        self.lines = (_LINES_LF if lf else _LINES_CRLF).finditer(text)
        self.lf = lf
        self.comment = comment
        self.number = -1
        self.row_start = True
        self.row_line = 0
        self.comments: List[Tuple[int, str]] = []

    def __iter__(self):
        return self

    def __next__(self) -> str:
        for match in self.lines:
            line = match.group()
            self.number += 1
            if self.row_start:
                if line.startswith(self.comment):
                    self.comments.append((self.number, line))
                    continue
                if not line.strip(" \r\n"):
                    continue
                self.row_start = False
                self.row_line = self.number
            if self.lf:
                body = line[:-1] if line.endswith("\n") else line
                if "\r" in body:
                    line = body.replace("\r", _CR) + line[len(body):]
            return line
        raise StopIteration


def _split_csv_commented(text: str, delimiter: str, quote: Optional[str], lf: bool, comment: str) -> _Split:
    feed = _LineFeed(text, lf, comment)
    fields: List[List[str]] = []
    lines: List[int] = []
    for row in _reader(feed, delimiter, quote):
        fields.append(row)
        lines.append(feed.row_line)
        feed.row_start = True
    return _Split(fields, lines, feed.comments, text, lf)


def _run_patterns(quote: Optional[str], lf: bool):
    ends = "\n" if lf else "\r\n"
    plain = f"[^ \\t{ends}{quote or ''}][^ \\t{ends}]*"
    if quote is None:
        field = plain
    else:
        q = re.escape(quote)
        field = f"{q}(?:[^{q}]|{q}{q})*(?:{q}|\\Z)[^ \\t{ends}]*|{plain}"
    row = re.compile(f"[ \\t]*(?:(?:{field})[ \\t]*)*")
    line_end = "\\n" if lf else "\\r\\n|\\r|\\n"
    token = re.compile(f"{field}|{line_end}")
    return row, re.compile(field), token


_RUN_PATTERNS = {(q, lf): _run_patterns(q, lf) for q in ('"', "'", None) for lf in (False, True)}
_RUN_FIELDS = {q: _RUN_PATTERNS[(q, False)][1] for q in ('"', "'", None)}
_LINE_END = {False: re.compile(r"\r\n|\r|\n"), True: re.compile(r"\n")}
_LINE_ENDS = frozenset(("\r\n", "\r", "\n"))
# str.split() splits at more than blanks; these stand in for the others while it does.
_NOT_BLANK = "\r\x0b\x0c\x1c\x1d\x1e\x1f\x85\xa0"
_HIDE = {ord(ch): 0xE000 + index for index, ch in enumerate(_NOT_BLANK)}
_HIDE_BUT_CR = {key: value for key, value in _HIDE.items() if key != ord("\r")}
_SHOW = {0xE000 + index: ord(ch) for index, ch in enumerate(_NOT_BLANK)}


def _split_runs(text: str, quote: Optional[str], lf: bool, comment: Optional[str]) -> _Split:
    if comment is not None:
        return _split_runs_commented(text, quote, lf, comment)
    fields: List[List[str]] = []
    lines: List[int] = []
    if quote is None or quote not in text:
        # No quotes: every line is a row of its own, split at runs of blanks.
        if lf:
            physical = text.translate(_HIDE).split("\n")
        else:
            physical = _LINE_END[False].split(text.translate(_HIDE_BUT_CR))
        rows = [line.split() for line in physical]
        lines = [number for number, row in enumerate(rows) if row]
        return _Split([rows[number] for number in lines], lines, [], text, lf)
    # Quotes: fields and line ends as one stream of tokens, so that a quoted field may
    # hold blanks and line ends.
    tokens = _RUN_PATTERNS[(quote, lf)][2].findall(text)
    line = start = 0
    row: Optional[List[str]] = None
    for token in tokens:
        if token in _LINE_ENDS and (lf is False or token == "\n"):
            if row:
                fields.append(row)
                lines.append(start)
            row = None
            line += 1
            continue
        if row is None:
            row = []
            start = line
        if token.startswith(quote):
            if lf:
                line += token.count("\n")
            elif "\n" in token or "\r" in token:
                line += token.count("\n") + token.count("\r") - token.count("\r\n")
            token = _unquote(token, quote)
        row.append(token)
    if row:
        fields.append(row)
        lines.append(start)
    return _Split(fields, lines, [], text, lf)


def _split_runs_commented(text: str, quote: Optional[str], lf: bool, comment: str) -> _Split:
    row_pattern, field_pattern, _ = _RUN_PATTERNS[(quote, lf)]
    line_end = _LINE_END[lf]
    fields: List[List[str]] = []
    lines: List[int] = []
    comments: List[Tuple[int, str]] = []
    position, line, size = 0, 0, len(text)
    while position < size:
        if text.startswith(comment, position):
            end = line_end.search(text, position)
            stop = end.end() if end else size
            comments.append((line, text[position:stop]))
            position, line = stop, line + 1
            continue
        match = row_pattern.match(text, position)
        body = match.group()
        row = field_pattern.findall(body)
        if row:
            fields.append(row if quote is None else [_unquote(f, quote) for f in row])
            lines.append(line)
        position = match.end()
        # Line ends inside quoted fields still count as lines.
        if quote is not None and quote in body:
            line += len(line_end.findall(body))
        end = line_end.match(text, position)
        if end:
            position = end.end()
            line += 1
        elif position < size:
            # Unreachable with the patterns above; guards against looping forever.
            position += 1
    return _Split(fields, lines, comments, text, lf)


def _unquote(field: str, quote: str) -> str:
    if not field.startswith(quote):
        return field
    # The quoted part, then whatever follows the closing quote.
    doubled = quote + quote
    index, out = 1, []
    while True:
        next_quote = field.find(quote, index)
        if next_quote < 0:
            out.append(field[index:])
            return "".join(out)
        out.append(field[index:next_quote])
        if field.startswith(doubled, next_quote):
            out.append(quote)
            index = next_quote + 2
        else:
            out.append(field[next_quote + 1:])
            return "".join(out)


# ----------------------------------------------------------------------------------------
# Choosing the delimiter and the quote


def _dominant_width(rows: Sequence[List[str]]) -> int:
    counts = collections.Counter(map(len, rows))
    if not counts:
        return 0
    # The most frequent width; the wider one among equals.
    return max(counts.items(), key=lambda item: (item[1], item[0]))[0]


def _measure(split: _Split, delimiter: str, quote: Optional[str]) -> None:
    """Score a candidate: the consistency of its field counts times the cleanness of its fields."""
    rows = split.fields
    if not rows:
        split.width, split.score, split.consistency = 0, 0.0, 0.0
        return
    widths = list(map(len, rows))
    width = _dominant_width(rows)
    split.width = width
    first = widths.index(width)
    table = len(widths) - first
    split.consistency = widths.count(width) / table
    if width < 2:
        split.score = 0.0
        return
    dirty_text = _dirty_pattern(delimiter, quote).search

    numbers_hold_commas = delimiter != "," and delimiter != ":"

    def dirty(field: str) -> bool:
        # Where the delimiter is not a comma, a number with a decimal comma or thousands
        # commas holds a candidate delimiter but was cut in the right place.
        return bool(dirty_text(field)) and not (numbers_hold_commas and _COMMA_NUMBER.match(field))

    clean = total = 0
    for row in rows[first:first + _SCORED_ROWS]:
        row = row[:_SCORED_FIELDS - total]
        total += len(row)
        clean += sum(1 for field in row if not dirty(field))
        if total >= _SCORED_FIELDS:
            break
    cleanness = clean / total if total else 0.0
    # What stands above the table costs a little (a preamble is no reason to doubt a
    # delimiter), but a reading whose table starts far down has found no table.
    coverage = (table / len(rows)) ** 0.5
    split.regularity = split.consistency * coverage
    # More fields weigh a little more: a wrong delimiter tends to cut fewer, dirtier ones.
    split.score = split.consistency * coverage * cleanness * (1.0 - 1.0 / (width + 1))


_DIRTY: Dict[Tuple[str, Optional[str]], "re.Pattern[str]"] = {}
_COMMA_NUMBER = re.compile(r"[+-]?(?:[0-9]+(?:\.[0-9]{3})*,[0-9]+|[0-9]{1,3}(?:,[0-9]{3})+(?:\.[0-9]+)?)%?\Z")


def _dirty_pattern(delimiter: str, quote: Optional[str]) -> "re.Pattern[str]":
    key = (delimiter, quote)
    pattern = _DIRTY.get(key)
    if pattern is None:
        others = "".join(ch for ch in _SEPARATORS if ch != delimiter)
        alternatives = []
        if delimiter in (" ", WHITESPACE):
            # A field of a blank-separated table never holds a tab either.
            others = others.replace("\t", "")
        if delimiter == " ":
            # Two spaces in a row align columns far more often than they enclose an
            # empty field: that reading is runs of blanks.
            alternatives.append("^$")
        alternatives.append(f"[{re.escape(others)}]")
        # A quote the reading left in place, other than one doubled inside text.
        alternatives.append(r'^"|"$' if quote != '"' else r'^"[^"]*$')
        alternatives.append(r"^'.*'$")
        pattern = re.compile("|".join(alternatives), re.S)
        _DIRTY[key] = pattern
    return pattern


def _present(text: str, delimiter: str) -> bool:
    if delimiter == WHITESPACE:
        return " " in text or "\t" in text
    return delimiter in text


def _best_delimiter(text: str, quote: Optional[str], lf: bool, comment: Optional[str]) -> Tuple[_Split, str]:
    best: Optional[_Split] = None
    best_delimiter = ","
    splits: Dict[str, _Split] = {}
    for delimiter in CANDIDATES:
        if not _present(text, delimiter):
            continue
        split = splits[delimiter] = _split(text, delimiter, quote, lf, comment)
        _measure(split, delimiter, quote)
        if best is None or split.score > best.score + 1e-9:
            best, best_delimiter = split, delimiter
    if best_delimiter == WHITESPACE:
        # Runs of blanks cut wherever a tab or a space does, and more. Where tabs alone
        # cut every row alike, the more cuts are blanks inside values; where single
        # spaces cut the same fields, the one-byte reading is the same table.
        tab, space = splits.get("\t"), splits.get(" ")
        if tab is not None and tab.width >= 2 and tab.regularity >= best.regularity:
            best, best_delimiter = tab, "\t"
        elif space is not None and space.width == best.width and space.regularity >= best.regularity:
            best, best_delimiter = space, " "
    if best is None or best.score == 0.0:
        # One column, or no reading better than none: read it as one column of the default.
        split = _split(text, ",", quote, lf, comment)
        _measure(split, ",", quote)
        return split, ","
    return best, best_delimiter


def _best_quote(text: str, split: _Split, delimiter: str, lf: bool, comment: Optional[str]) -> Tuple[_Split, Optional[str]]:
    """``"`` unless reading quotes as data, or ``'`` as the quote, reads the sample better."""
    best, best_quote = split, '"'
    others: List[Optional[str]] = []
    if '"' in text:
        others.append(None)
    opener = "(?:^|[\\r\\n]|[ \\t])'" if delimiter == WHITESPACE else f"(?:^|[\\r\\n]|{re.escape(delimiter)})'"
    if "'" in text and re.search(opener, text):
        others.append("'")
    for quote in others:
        other = _split(text, delimiter, quote, lf, comment)
        _measure(other, delimiter, quote)
        # Another quote must read the sample clearly better: "'" breaks apostrophes, and
        # no quote at all breaks every quoted delimiter.
        if other.width == best.width and other.consistency >= best.consistency and other.score > best.score + 1e-6:
            best, best_quote = other, quote
        elif other.consistency > best.consistency + 0.1 and other.score > best.score:
            best, best_quote = other, quote
    return best, best_quote


# ----------------------------------------------------------------------------------------
# The kinds of values, and where the table starts

_NA = frozenset(
    "na n/a nan null none nil - -- . ? #n/a #na missing inf -inf +inf #value! #div/0! #ref!".split()
)
_INTEGER = re.compile(r"[-+]?\d+")
_NUMBER = re.compile(
    r"[-+]?[$\xa3]?\s?(?:\d+(?:[.,]\d*)?|[.,]\d+|\d{1,3}(?:[,' ]\d{3})+(?:\.\d+)?)"
    r"(?:[eEdD][-+]?\d+)?\s?%?"
)
_MONTH = r"(?:jan|feb|mar|apr|may|jun|jul|aug|sep|sept|oct|nov|dec)[a-z]*\.?"
_DATE = re.compile(
    r"(?:\d{1,4}[-/.]\d{1,2}[-/.]\d{1,4}"
    rf"|\d{{1,2}}[-/ ]?{_MONTH}[-/ ,]*\d{{2,4}}"
    rf"|{_MONTH}[-/ ]\d{{1,2}}(?:[-/ ,]+\d{{2,4}})?"
    rf"|{_MONTH}[-/ ]\d{{4}}"
    r"|\d{4}[-/]?[qmw]\d{1,2}"
    r"|\d{4}[-/:]\d{1,2})?"
    r"(?:[ t]?\d{1,2}:\d{2}(?::\d{2}(?:[.,]\d+)?)?\s?(?:am|pm)?(?:z|[+-]\d{2}:?\d{2})?)?",
    re.I,
)
_BOOLEAN = frozenset("true false yes no".split())

# Whole numbers are a kind of their own: years as column names over columns of decimals.
EMPTY, INTEGER, NUMBER, DATE, BOOLEAN, TEXT = "e", "i", "n", "d", "b", "t"
_DATA_KINDS = frozenset((INTEGER, NUMBER, DATE, BOOLEAN))


def _kind(value: str, cache: Dict[str, str]) -> str:
    kind = cache.get(value)
    if kind is None:
        stripped = value.strip(" \t")
        lowered = stripped.lower()
        if not stripped or lowered in _NA:
            kind = EMPTY
        elif _INTEGER.fullmatch(stripped):
            kind = INTEGER
        elif _NUMBER.fullmatch(stripped):
            kind = NUMBER
        elif lowered in _BOOLEAN:
            kind = BOOLEAN
        elif any(ch.isdigit() for ch in stripped) and _DATE.fullmatch(stripped):
            kind = DATE
        else:
            kind = TEXT
        if len(cache) < 65536:
            cache[value] = kind
    return kind


class _Columns:
    """What each column of the table's body holds: the share of each kind of value."""

    def __init__(self, rows: Sequence[List[str]], width: int, cache: Dict[str, str]) -> None:
        self.width = width
        profiled = min(width, _PROFILE_COLUMNS)
        self.counts = [collections.Counter() for _ in range(profiled)]
        for row in rows:
            for index, value in enumerate(row[:profiled]):
                kind = _kind(value, cache)
                if kind != EMPTY:
                    self.counts[index][kind] += 1
        # Columns past the profiled ones count as empty: they say nothing.
        self.totals = [sum(counter.values()) for counter in self.counts] + [0] * (width - profiled)

    def fits(self, index: int, kind: str) -> bool:
        total = self.totals[index]
        return total == 0 or self.counts[index][kind] >= _FITS_SHARE * total


def _evidence(fields: Sequence[str], columns: _Columns, offset: int, cache: Dict[str, str]) -> Tuple[int, int, int]:
    """(name-like, data-like, empty) fields of a row read against the columns from ``offset`` on."""
    names = data = empty = 0
    for index, value in enumerate(fields[:_PROFILE_COLUMNS]):
        column = index + offset
        kind = _kind(value, cache)
        if kind == EMPTY:
            # An NA marker is no name, but an empty title is a header's habit ("", index).
            empty += 1
            continue
        if columns.totals[column] == 0:
            continue  # a column empty in the body says nothing either way
        if not columns.fits(column, kind):
            names += 1
        elif kind in _DATA_KINDS:
            data += 1
    return names, data, empty


def _reads_as_names(fields: Sequence[str], columns: _Columns, offset: int, cache: Dict[str, str]) -> bool:
    fields = fields[:_PROFILE_COLUMNS]
    names, data, _ = _evidence(fields, columns, offset, cache)
    if data:
        return False
    # Blank titles: one is a header's habit (an index column), more over columns that
    # hold values is a title or units line padded with delimiters.
    blanks = sum(
        1
        for index, value in enumerate(fields)
        if not value.strip(" \t") and (index + offset >= columns.width or columns.totals[index + offset])
    )
    if blanks > max(1, len(fields) // 2):
        return False
    kinds = [_kind(value, cache) for value in fields]
    if not names and all(kind in _DATA_KINDS or kind == EMPTY for kind in kinds):
        # Numbers alone are data, even with no values below to compare them with; and
        # a row of blanks names nothing.
        return False
    # Names over columns of values, or text over columns of text alone, where nothing
    # tells a header from a data row and a table's first row is its header.
    return True


def _names_of_words(fields: Sequence[str], columns: _Columns, cache: Dict[str, str]) -> bool:
    words = 0
    for index, value in enumerate(fields[:_PROFILE_COLUMNS]):
        kind = _kind(value, cache)
        if kind in _DATA_KINDS:
            return False
        if kind == TEXT and columns.totals[index] and not columns.fits(index, kind):
            words += 1
    return words > 0


def _reads_as_data(fields: Sequence[str], columns: _Columns, cache: Dict[str, str]) -> bool:
    names, data, _ = _evidence(fields, columns, 0, cache)
    return data > 0 and names <= min(len(fields), _PROFILE_COLUMNS) // 10


def _header_fits(fields: Sequence[str], following: Optional[Sequence[str]], width: int,
                 columns: _Columns, cache: Dict[str, str], words: bool, wider_rows: bool = False) -> bool:
    """Whether a row of the table's width, or one more or one less, is its header; or a
    wider one, where ``wider_rows`` says that rows below are as wide as it."""
    size = len(fields)
    # A header stands right above the table's rows, not above more preamble.
    if size == width:
        if not _reads_as_names(fields, columns, 0, cache):
            return False
        if following is None or _reads_as_data(following[:width], columns, cache):
            return True
        # Split at blanks, a line of prose is a row of words: over a row of names (words
        # where the columns hold numbers or dates) it is a title, and that the header.
        return width <= len(following) <= width + 1 and not (
            words
            and _names_of_words(following[:width], columns, cache)
            and _reads_as_names(following[:width], columns, 0, cache)
        )
    if following is None or not _reads_as_data(following[:width], columns, cache):
        return False
    if size == width - 1 and width > 2:
        # R's row names: the header leaves out their column.
        return _reads_as_names(fields, columns, 1, cache)
    if size == width + 1:
        # A header ending in a delimiter, or one name more than the short rows below.
        return _reads_as_names(fields[:width], columns, 0, cache)
    if size > width + 1 and wider_rows:
        # Columns added over the years: the early rows stop short of the header, later
        # ones are as wide as it (distro-info's releases gain "eol-lts" and "eol-elts").
        # Its names beyond the short rows' columns need only be there.
        return _reads_as_names(fields[:width], columns, 0, cache) and all(f.strip(" \t") for f in fields[width:])
    return False


_RULE = re.compile(r"[-=_*~+#.: ]{3,}")


def _following(rows: Sequence[List[str]], index: int) -> Optional[List[str]]:
    """The fields of the row after ``rows[index]``, over a rule of dashes or equals signs."""
    for row in rows[index + 1:index + 3]:
        if not (len(row) == 1 and _RULE.fullmatch(row[0])):
            return row
    return None


def _quoted_names(split: _Split, index: int, following: int, delimiter: str, quote: Optional[str],
                  cache: Dict[str, str]) -> bool:
    """Whether a row that reads as data is a header of numbers all the same: every field
    quoted, over a row whose numbers are not (R writes names so: "","1940","1945")."""
    if quote is None:
        return False
    plain = _RAW_FIELDS[(delimiter, quote)]
    names = plain(split.raw(index))
    if len(names) != len(split.fields[index]) or not all(len(n) >= 2 and n[0] == quote == n[-1] for n in names):
        return False
    values = plain(split.raw(following))
    if len(values) != len(split.fields[following]):
        return False
    numbers = [v for v in values if _kind(v, cache) in (INTEGER, NUMBER)]
    return bool(numbers)


class _RawFields:
    """Fields of one line with their quotes left on, split where the tokenizer splits."""

    def __init__(self, delimiter: str, quote: str) -> None:
        self.delimiter = delimiter
        self.quote = quote

    def __call__(self, line: str) -> List[str]:
        line = line.rstrip("\r\n")
        if self.delimiter == WHITESPACE:
            return _RUN_FIELDS[self.quote].findall(line)
        out, position = [], 0
        while True:
            start = position
            if line.startswith(self.quote, position):
                position = _after_closing_quote(line, position, self.quote)
            end = line.find(self.delimiter, position)
            if end < 0:
                out.append(line[start:])
                return out
            out.append(line[start:end])
            position = end + 1


def _after_closing_quote(line: str, start: int, quote: str) -> int:
    index = start + 1
    while True:
        index = line.find(quote, index)
        if index < 0:
            return len(line)
        if line.startswith(quote + quote, index):
            index += 2
        else:
            return index + 1


class _RawFieldsCache(dict):
    def __missing__(self, key):
        value = self[key] = _RawFields(*key)
        return value


_RAW_FIELDS = _RawFieldsCache()


def _find_table(
    split: _Split, skip_rows: Optional[int], header: Optional[bool], words: bool = False,
    delimiter: str = ",", quote: Optional[str] = '"',
) -> Tuple[Optional[int], bool]:
    """(index of the header or first data row, whether it is a header)."""
    rows = split.fields
    first = 0
    if skip_rows is not None:
        while first < len(rows) and split.lines[first] < skip_rows:
            first += 1
    if first >= len(rows):
        return None, bool(header)
    candidates = rows[first:]
    width = _dominant_width(candidates)
    cache: Dict[str, str] = {}
    # The body: rows of the table's width from the lower three quarters of the sample,
    # where no preamble stands.
    lower = candidates[len(candidates) // 4:] if len(candidates) > 4 else candidates[1:]
    body = list(itertools.islice((row for row in lower if len(row) == width), _PROFILE_ROWS))
    if not body:
        body = list(itertools.islice((row for row in candidates[1:] if len(row) == width), _PROFILE_ROWS))
    columns = _Columns(body, width, cache)

    if skip_rows is not None:
        # The table starts where it was said to.
        if header is None:
            fields = rows[first]
            header = not (len(fields) == width and _reads_as_data(fields, columns, cache))
        return first, header

    if header is False:
        # No header: the table's rows are data from the first one of its width on.
        for index in range(first, len(rows)):
            if len(rows[index]) == width:
                return index, False

    for index in range(first, len(rows)):
        fields = rows[index]
        following = _following(rows, index)
        wider_rows = len(fields) > width + 1 and any(len(row) == len(fields) for row in rows[index + 1:])
        if header is not False and _header_fits(fields, following, width, columns, cache, words, wider_rows):
            return index, True
        if len(fields) == width and _reads_as_data(fields, columns, cache):
            if header is None:
                if index + 1 < len(rows) and _quoted_names(split, index, index + 1, delimiter, quote, cache):
                    return index, True
                if (
                    index > first
                    and width - 1 <= len(rows[index - 1]) <= width + 1
                    and _quoted_names(split, index - 1, index, delimiter, quote, cache)
                ):
                    return index - 1, True
            if header:
                # Said to have a header: the row above the data is it.
                return (index - 1, True) if index > first else (index, True)
            return index, False
    # Nothing reads as names or as data (columns of text alone, say): the first row
    # of about the table's width that is not all blank starts it.
    for index in range(first, len(rows)):
        fields = rows[index]
        if width - 1 <= len(fields) <= width and any(value.strip(" \t") for value in fields):
            if header is None:
                # With nothing to compare it with, a row of numbers alone is data.
                return index, any(_kind(value, cache) == TEXT for value in fields[:_PROFILE_COLUMNS])
            return index, header
    return first, header is not False


def _guess_encoding(raw_names: Sequence[str], data: bytes) -> str:
    raw = "".join(raw_names).encode("latin-1")
    try:
        raw.decode("utf-8")
        return "utf-8"
    except UnicodeDecodeError:
        pass
    # Western single-byte files: cp1252 unless the sample holds a byte it leaves undefined.
    if _CP1252_HOLES.isdisjoint(data):
        return "cp1252"
    return "latin-1"
