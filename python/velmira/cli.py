"""The ``velmira`` command: profile a CSV file and print a table, JSON or a schema.

``velmira explain FILE... COLUMN`` says why one column got its verdict (over
several files, the merged column's);
``velmira patterns`` lists which engine (PCRE2's JIT or Boost.Regex) runs each
pattern of the types. ``velmira convert FILE... -o OUT`` writes the files' typed
values to Parquet or Arrow IPC.

FILE may be compressed (gzip, zstd, bzip2, xz) or ``-`` for standard input. On
a terminal, a pass over more than a few MB shows its progress on stderr.
Several files (or a quoted glob such as ``'exports/*.csv.gz'``) are profiled
in parallel and merged into one table, with a line for each file whose
columns or verdicts differ; a file that fails is reported on stderr and makes
the status 1, but does not lose the others.

Exit status: 0 on success, 1 when the input cannot be profiled, 2 for a bad
command line, 130 when interrupted (Ctrl-C). Every problem is one line on
stderr, and nothing is printed on stdout then.
"""

from __future__ import annotations

import argparse
import contextlib
import glob
import importlib
import json
import math
import os
import stat
import sys
import threading
import time
import warnings
from collections import Counter
from typing import Any, Callable, Dict, Iterator, List, NoReturn, Optional, Sequence, Tuple

from ._native import FieldTooLongError
from .explain import explain
from .inference import DEFAULT_MAX_FIELD_SIZE, HeaderEncodingError, check_types, excerpt, infer, pattern_engines
from .many import ManyProfiles, infer_many
from .dialect import WHITESPACE, HeaderEncodingWarning
from .profile import Profile
from .source import FileCounter, ProgressBar, name_of
from .schema import DIALECTS
from .types import default_types

PROG = "velmira"


class _Failure(Exception):
    """A problem with the user's input, reported as one line."""


@contextlib.contextmanager
def _reported(source: Optional[str] = None) -> Iterator[None]:
    """Turn every error that the user's files, types or options can cause into a
    _Failure of one line. Those of one file's pass begin with ``source``, its name.
    Any other exception is a fault of velmira's own, and goes on as it is."""
    where = "" if source is None else f"{source}: "
    try:
        yield
    except OSError as exc:
        raise _Failure(_os_message(exc)) from None
    except HeaderEncodingError as exc:  # it names the file itself, and says how to mend it
        raise _Failure(str(exc)) from None
    except FieldTooLongError as exc:
        raise _Failure(f"{where}{exc}; if the file really holds such fields, raise the limit "
                       "with --max-field-size") from None
    except (ImportError, TypeError, ValueError, RuntimeError) as exc:
        raise _Failure(f"{where}{_one_line(exc)}") from None


class _Parser(argparse.ArgumentParser):
    """The parser of one command; its ``run`` default is the function that carries the
    command out. Its errors are one line, and :meth:`parse` also refuses, through
    ``check``, what argparse cannot express."""

    def __init__(self, check: Optional[Callable[[_Parser, argparse.Namespace], None]] = None,
                 intermixed: bool = False, **kwargs: Any) -> None:
        super().__init__(**kwargs)
        self._check = check
        self._intermixed = intermixed

    def parse(self, argv: Sequence[str]) -> argparse.Namespace:
        args = self.parse_intermixed_args(argv) if self._intermixed else self.parse_args(argv)
        if self._check is not None:
            self._check(self, args)
        return args

    def error(self, message: str) -> NoReturn:
        # One line like every other error; the usage is one --help away.
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def main(argv: Optional[Sequence[str]] = None) -> int:
    # File names and texts that are not UTF-8 come in as surrogate escapes; they go out as
    # the bytes they were.
    for stream in (sys.stdout, sys.stderr):
        if stream is not None and hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="surrogateescape")
    if sys.stdout is None:  # started with standard output closed
        _say("error: standard output is closed; nowhere to write the result")
        return 1
    try:
        return _main(argv)
    except KeyboardInterrupt:
        # One line, no traceback, and the status a shell gives a command ended by SIGINT.
        _say("interrupted")
        return 130


def _main(argv: Optional[Sequence[str]]) -> int:
    argv = _jobs_option(list(sys.argv[1:] if argv is None else argv))
    command = _COMMANDS.get(argv[0]) if argv else None
    args = command().parse(argv[1:]) if command is not None else _profile_parser().parse(argv)
    try:
        output, failed = args.run(args)
    except _Failure as exc:
        _say(f"error: {exc}")
        return 1
    try:
        sys.stdout.write(output)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (velmira ... | head): what it did not read is not wanted.
        # Python's own flush at exit must not complain about it once more.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except OSError as exc:
        _say(f"error: cannot write the result: {exc.strerror or exc}")
        return 1
    return 1 if failed else 0


def _jobs_option(argv: List[str]) -> List[str]:
    """-j alone turns on worker threads, as it always has; -j N (or -jN) asks for N workers."""
    out: List[str] = []
    i = 0
    while i < len(argv):
        arg = argv[i]
        if arg == "-j" and i + 1 < len(argv) and argv[i + 1].isdigit():
            out += ["--jobs", argv[i + 1]]
            i += 2
            continue
        if arg.startswith("-j") and arg[2:].isdigit():
            out += ["--jobs", arg[2:]]
        elif arg == "--":
            out += argv[i:]
            break
        else:
            out.append(arg)
        i += 1
    return out



def format_table(profile: Profile) -> str:
    """The profile as aligned text: a title, a heading, then one line per column."""
    head = ("column", "type", "best", "share", "NA", "counts")
    rows = [head] + [
        (
            _printable(column.name),
            column.type,
            column.best_type or "-",
            _percent(column.share) if column.best_type else "-",
            str(column.missing),
            _counts(column.counts),
        )
        for column in profile.columns
    ]
    widths = [max(len(row[i]) for row in rows) for i in range(len(head) - 1)]
    lines = [f"{profile.path}: {_plural(profile.rows, 'row')}, {_plural(len(profile.columns), 'column')}"]
    for row in rows:
        cells = [
            cell.rjust(width) if i in (3, 4) else cell.ljust(width)
            for i, (cell, width) in enumerate(zip(row, widths))
        ]
        lines.append("  ".join(cells + [row[-1]]).rstrip())
    # Below the table, so that its lines stay one per column.
    lines += [f"note: {_printable(c.name)}: {c.note}" for c in profile.columns if c.note]
    return "\n".join(lines) + "\n"



def _profile_parser() -> _Parser:
    parser = _Parser(
        check=_check_profile_args,
        prog=PROG,
        description="Infer the type of every column of a CSV file from regular expressions. "
                    "'velmira explain FILE COLUMN' says why a column got its type; "
                    "'velmira convert FILE... -o OUT' writes the typed values to Parquet or Arrow IPC.",
    )
    parser.add_argument(
        "files", metavar="FILE", nargs="+",
        help="the CSV file, '-' for standard input, compressed or not (gzip, zstd, bzip2, xz); "
             "its first row names the columns. Several files, or a quoted glob pattern, are "
             "profiled in parallel and merged",
    )
    _add_profile_options(parser)
    parser.add_argument("--save-types", metavar="OUT", help="write the type of every field, row by row, to OUT")
    parser.add_argument(
        "-f", "--format", choices=("table", "json", "schema", "sql", "jsonschema", "arrow"), default="table",
        help="table (default), json (the whole profile), schema (a Frictionless Table Schema), "
             "sql (CREATE TABLE, with --dialect), jsonschema (JSON Schema of a row) or arrow (an Arrow schema); "
             "sql and arrow take lengths, ranges and zones from what the pass measured (with types of "
             "your own they read the file a second time)",
    )
    parser.add_argument("--dialect", choices=DIALECTS, help="the SQL dialect of -f sql")
    parser.add_argument("--table", metavar="NAME", help="the table name of -f sql (default: the file's name)")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    parser.set_defaults(run=_profile_command)
    return parser


def _check_profile_args(parser: _Parser, args: argparse.Namespace) -> None:
    if (args.format == "sql") != (args.dialect is not None):
        message = "-f sql needs --dialect" if args.format == "sql" else "--dialect goes with -f sql"
        parser.error(f"{message} ({', '.join(DIALECTS)})")


def _explain_parser() -> _Parser:
    parser = _Parser(
        check=_check_explain_args,
        intermixed=True,  # options may stand between the files and COLUMN
        prog=f"{PROG} explain",
        description="Say why COLUMN got its type: its counts, the share of its best type, and the first "
                    "distinct texts that no type took. Those texts are found by a second pass over the "
                    "file, which stops as soon as it has found them. Over several files (or a quoted glob) "
                    "it explains the merged column.",
    )
    parser.add_argument(
        "files", metavar="FILE", nargs="+",
        help="the CSV file, compressed or not; its first row names the columns. Several files, or a "
             "quoted glob pattern, are profiled in parallel and merged",
    )
    parser.add_argument("column", metavar="COLUMN", help="the column's name")
    _add_profile_options(parser)
    parser.add_argument(
        "--show", metavar="N", type=_count, default=5,
        help="how many distinct texts counted as other to show (default: 5)",
    )
    parser.set_defaults(run=_explain_command)
    return parser


def _check_explain_args(parser: _Parser, args: argparse.Namespace) -> None:
    if "-" in args.files:  # refused before anything is read
        parser.error("explain reads the file a second time, so it cannot read standard input; "
                     "save it to a file first")


def _patterns_parser() -> _Parser:
    parser = _Parser(
        prog=f"{PROG} patterns",
        description="List each pattern of the types with the engine that runs it: pcre2-jit for patterns "
                    "built only of constructs PCRE2 and Boost.Regex read alike (much faster), boost for the "
                    "others, with the reason. Both give Boost's answers.",
    )
    parser.add_argument(
        "-t", "--types", metavar="PATTERNS",
        help="JSON or TOML (.toml) file mapping type names to lists of patterns (default: the default types)",
    )
    parser.add_argument("--compact-dates", action="store_true", help="the default types with compact dates")
    parser.set_defaults(run=_patterns_command)
    return parser


#: The outputs of ``velmira convert``, by the target's extension.
CONVERT_FORMATS = {".parquet": "parquet", ".arrow": "arrow", ".feather": "arrow", ".ipc": "arrow"}


def _convert_parser() -> _Parser:
    parser = _Parser(
        check=_check_convert_args,
        intermixed=True,
        prog=f"{PROG} convert",
        description="Profile the files and write their typed values to OUT: Parquet (.parquet) or Arrow IPC "
                    "(.arrow, .feather), through pyarrow. Several files (or a quoted glob) make one table with "
                    "the union of their columns, each typed by the merged verdict; a column a file lacks is "
                    "null there. OUT appears only when the whole conversion succeeds.",
    )
    parser.add_argument("files", metavar="FILE", nargs="+",
                        help="the CSV files, compressed or not; several, or a quoted glob, make one table")
    parser.add_argument("-o", "--output", metavar="OUT", required=True,
                        help="the file to write: .parquet, or .arrow/.feather for Arrow IPC")
    _add_profile_options(parser)
    parser.add_argument(
        "--on-error", choices=("null", "raise"), default="null",
        help="what a value its column's type does not take becomes (only under --threshold below 1): "
             "null, counted and reported (default), or an error",
    )
    parser.add_argument(
        "--decimals", choices=("float", "exact"), default="float",
        help="decimal and percentage columns as float64 (default), or as decimal128 with the digits their "
             "values need (exact; float64 where a value has an exponent or more than 38 digits)",
    )
    parser.set_defaults(run=_convert_command)
    return parser


def _check_convert_args(parser: _Parser, args: argparse.Namespace) -> None:
    if os.path.splitext(args.output)[1].lower() not in CONVERT_FORMATS:
        parser.error(f"the output's name must end in {', '.join(CONVERT_FORMATS)}, not {excerpt(args.output)}")
    if "-" in args.files:
        parser.error("convert reads each file a second time, so it cannot read standard input; save it to a file first")


#: The commands named by their first argument; with any other, the arguments are the main command's.
_COMMANDS: Dict[str, Callable[[], _Parser]] = {"explain": _explain_parser, "patterns": _patterns_parser,
                                               "convert": _convert_parser}


def _add_profile_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "-t", "--types", metavar="PATTERNS",
        help="JSON or TOML (.toml) file mapping type names to lists of patterns; replaces the default types",
    )
    parser.add_argument(
        "--compact-dates", action="store_true",
        help="with the default types, read 8-digit texts such as 20230115 as dates (YYYYMMDD), not integers",
    )
    parser.add_argument(
        "--month-first", action="store_true",
        help="read a column whose dates all have day and month of 12 or less (01/02/2023) month-first, "
             "not day-first",
    )
    parser.add_argument(
        "-n", "--na", metavar="TEXT", action="append",
        help="a text that means a missing value; repeat for more; replaces the default markers",
    )
    parser.add_argument(
        "-d", "--delimiter", metavar="CHAR", type=_delimiter,
        help=r"the field delimiter, '\t' or 'tab' for a tab, 'whitespace' for runs of blanks between "
             "aligned columns (default: guessed from the file)",
    )
    parser.add_argument(
        "--quote", metavar="CHAR", type=_quote,
        help="the quote character, '\"' or \"'\", or '' for none (default: guessed)",
    )
    parser.add_argument(
        "--skip-rows", metavar="N", type=_count,
        help="the lines above the table's header (titles, metadata) to skip (default: found from the file)",
    )
    parser.add_argument(
        "--comment", metavar="CHAR", type=_comment,
        help="lines starting with CHAR are comments, '' for none (default: '#' when the file shows such lines)",
    )
    parser.add_argument(
        "--no-header", action="store_true",
        help="the table has no header row: columns are named column_1, column_2, ... (default: found from the file)",
    )
    parser.add_argument(
        "--encoding", metavar="NAME",
        help="the encoding of the header's names (default: UTF-8, else cp1252 or latin-1, with a warning)",
    )
    parser.add_argument(
        "--threshold", metavar="SHARE", type=_share, default=1.0,
        help="share of the non-missing values that a type must cover to be the column's type (default: 1.0)",
    )
    parser.add_argument(
        "-j", "--multithreading", action="store_true",
        help="classify on worker threads, each taking whole columns of a batch of rows (-j N: see --jobs)",
    )
    parser.add_argument(
        "--jobs", metavar="N", type=_jobs, default=None,
        help="worker processes for several files (default: one per processor); with one file, "
             "-j N classifies on worker threads",
    )
    parser.add_argument(
        "--cache-window", metavar="ROWS", type=_window, default=100_000,
        help="empty the value cache every ROWS rows (default: 100000)",
    )
    parser.add_argument(
        "--no-progress", action="store_true",
        help="show no progress bar (one is shown on a terminal for inputs of more than a few MB)",
    )
    parser.add_argument(
        "--max-field-size", metavar="BYTES", type=_bytes_count, default=DEFAULT_MAX_FIELD_SIZE,
        help="stop at a field (or a header row) longer than this, e.g. 512M or 2G (default: 128M)",
    )



#: What a command gives back: its output, and whether a file failed (the exit status is then 1).
_Outcome = Tuple[str, bool]
#: Turns the profile into a command's output; for several files, it is also given what infer_many found.
_Render = Callable[[argparse.Namespace, Profile, Optional[ManyProfiles]], str]


def _profile_command(args: argparse.Namespace) -> _Outcome:
    _import_meanwhile({"sql": ("sqlalchemy", f"sqlalchemy.dialects.{_sql_module(args.dialect)}"),
                       "arrow": ("pyarrow",)}.get(args.format, ()))
    return _profiled(args, _formatted, types_file=args.save_types)


def _sql_module(dialect: Optional[str]) -> str:
    return "postgresql" if dialect in ("duckdb", "postgres", None) else dialect


def _import_meanwhile(modules: Sequence[str]) -> None:
    """Imports the output's library on a thread of its own while the pass runs, which
    releases the interpreter's lock: SQLAlchemy alone takes longer to import than the pass
    over a file of tens of megabytes. The thread first lets the main thread through the
    pass's few milliseconds of Python (the dialect, the table), which the import would
    otherwise hold up. A failed import is left for the output to report."""
    if not modules:
        return

    def run() -> None:
        time.sleep(0.05)
        for name in modules:
            try:
                importlib.import_module(name)
            except Exception:  # reported where the output imports it, in the main thread
                return

    threading.Thread(target=run, name="velmira-import", daemon=True).start()


def _explain_command(args: argparse.Namespace) -> _Outcome:
    return _profiled(args, _explained, types_file=None)


def _convert_command(args: argparse.Namespace) -> _Outcome:
    return _profiled(args, _converted, types_file=None)


def _converted(args: argparse.Namespace, profile: Profile, result: Optional[ManyProfiles]) -> str:
    """Writes the typed values of ``profile``'s files to ``args.output``; says what was written on stderr."""
    from .reader import ConversionWarning, Reader, replaced_atomically

    bar = None if args.no_progress or not sys.stderr.isatty() else ProgressBar(sys.stderr)
    kind = CONVERT_FORMATS[os.path.splitext(args.output)[1].lower()]
    try:
        with _reported(), warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", ConversionWarning)
            reader = Reader(profile, on_error=args.on_error, decimals=args.decimals, progress=bar,
                            max_field_size=args.max_field_size)
            if os.path.realpath(args.output) in {os.path.realpath(p.path) for p in profile.parts or (profile,)}:
                raise ValueError(f"the output {args.output} is an input file; writing it would destroy the data")
            pa = _import_pyarrow()
            rows = 0
            with replaced_atomically(args.output) as aside:
                if kind == "parquet":
                    import pyarrow.parquet as pq

                    writer: Any = pq.ParquetWriter(aside, reader.arrow_schema())
                else:
                    writer = pa.ipc.new_file(aside, reader.arrow_schema())
                with writer:
                    for batch in reader.to_batches():
                        writer.write_batch(batch)
                        rows += batch.num_rows
    finally:
        if bar is not None:
            bar.close()
    for name, note in reader.notes.items():
        _say(f"note: {_printable(name)}: {note}")
    for warning in caught:
        _say(f"warning: {warning.message}")
    _say(f"wrote {args.output}: {_plural(rows, 'row')}, {_plural(len(profile.columns), 'column')} ({kind})")
    return ""


def _import_pyarrow() -> Any:
    try:
        import pyarrow
    except ImportError:
        raise _Failure("convert needs pyarrow: pip install 'velmira[arrow]'") from None
    return pyarrow


def _patterns_command(args: argparse.Namespace) -> _Outcome:
    types = _load_types(args.types) if args.types is not None else default_types(compact_dates=args.compact_dates)
    lines = []
    for name, patterns in pattern_engines(types).items():
        for pattern, engine, why in patterns:
            lines.append(f"{name}\t{engine}\t{pattern}" + (f"\t{why}" if why else ""))
    return "\n".join(lines) + ("\n" if lines else ""), False


def _profiled(args: argparse.Namespace, render: _Render, types_file: Optional[str]) -> _Outcome:
    """Profile the files of ``args``, one or several, and render the profile."""
    if len(args.files) == 1 and not _is_glob(args.files[0]):
        profile = _infer_one(args, args.files[0], types_file)
        output = render(args, profile, None)
        # Said only once the output is ready, so that an error stays the one line.
        _say_how_it_was_read(args, profile)
        if profile.bom:
            _say(f"warning: {profile.path} starts with a UTF-8 byte order mark; it is left out of the first column name")
        for name, times in Counter(profile.column_names).items():
            if times > 1:
                _say(f"warning: {times} columns are named {name!r}; each reports the counts of all of them")
        return output, False
    if types_file:
        raise _Failure("--save-types takes one input file")
    profile, result = _infer_many(args)
    output = render(args, profile, result)
    if profile.merge_exact is False:
        _say("note: with types of your own, merged counts equal one pass over all the files only if no text "
             "matches two types (see velmira.check_exclusive)")
    return output, bool(result.failures)


def _say_how_it_was_read(args: argparse.Namespace, profile: Profile) -> None:
    """One line on how the file was read, when any of it was guessed, and one for each kind
    of row the header's width does not describe."""
    for message in getattr(args, "header_warnings", ()):
        _say(f"warning: {profile.path}: {message}")
    found = profile.dialect
    if found is not None and found.guessed:
        plain = found.width == 0 or (found.header_row == 0 and found.quote == '"' and found.line_ending == "crlf"
                                     and found.comment is None and found.encoding == "utf-8")
        plain = plain and profile.delimiter != WHITESPACE
        if plain and args.delimiter is None:
            _say(f"delimiter {profile.delimiter!r} (guessed; set it with -d)")
        elif not plain:
            _say(f"{found.summary()} (set with -d, --quote, --skip-rows, --no-header, --comment, --encoding)")
    shapes = profile.shapes
    if shapes.get("extra_columns"):
        _say(f"note: rows are wider than the header: their fields beyond it are the columns extra_1 to "
             f"extra_{shapes['extra_columns']}")
    if shapes.get("headers"):
        _say(f"note: the header is repeated {_plural(shapes['headers'], 'time')} inside the data (first on row "
             f"{shapes['first_header']}): not counted as rows")
    if shapes.get("wider"):
        _say(f"warning: {_plural(shapes['wider'], 'row')} wider than the header (the first is row "
             f"{shapes['first_wider']}, the widest has {shapes['widest']} fields): the fields beyond the "
             "header's columns are not typed")
    if shapes.get("narrower"):
        _say(f"note: {_plural(shapes['narrower'], 'row')} narrower than the header (the first is row "
             f"{shapes['first_narrower']}): their missing fields are not counted")
    if shapes.get("blank"):
        _say(f"note: {_plural(shapes['blank'], 'blank line')} not counted as rows")
    if shapes.get("comments"):
        _say(f"note: {_plural(shapes['comments'], 'comment line')} skipped")
    if len(profile.columns) == 1 and any(ch in profile.columns[0].name for ch in " \t;|:,"):
        _say("note: 1 column: is it delimited by blanks or another character? try -d whitespace or -d CHAR")


def _is_glob(file: str) -> bool:
    return glob.has_magic(file) and not os.path.exists(file)


def _types(args: argparse.Namespace) -> Optional[Dict[str, List[str]]]:
    """The types the options ask for; None for the default ones."""
    if args.types is None:
        return default_types(compact_dates=True) if args.compact_dates else None
    if args.compact_dates:
        raise _Failure("--compact-dates changes the default types; add a compact date type to your own types instead")
    return _load_types(args.types)


def _infer_one(args: argparse.Namespace, source: str, types_file: Optional[str]) -> Profile:
    types = _types(args)
    bar = None if args.no_progress or not sys.stderr.isatty() else ProgressBar(sys.stderr)
    try:
        with _reported(name_of(source)), warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", HeaderEncodingWarning)
            profile = infer(
                source,
                types=types,
                na_values=args.na,
                delimiter=args.delimiter,
                multithreading=args.multithreading or (args.jobs or 1) > 1,
                types_file=types_file,
                rolling_cache_window=args.cache_window,
                threshold=args.threshold,
                month_first=args.month_first,
                progress=bar,
                max_field_size=args.max_field_size,
                **_dialect_options(args),
            )
        # Said with the other lines about the file, once the output is ready.
        args.header_warnings = [str(w.message) for w in caught if issubclass(w.category, HeaderEncodingWarning)]
        return profile
    finally:
        if bar is not None:
            bar.close()


def _dialect_options(args: argparse.Namespace) -> Dict[str, Any]:
    return dict(quote=args.quote, skip_rows=args.skip_rows, comment=args.comment,
                header=False if args.no_header else None, encoding=args.encoding)


def _infer_many(args: argparse.Namespace) -> Tuple[Profile, ManyProfiles]:
    """The merged profile of several files, and what infer_many found; the files that
    failed are reported here, one line each."""
    types = _types(args)
    counter = None if args.no_progress or not sys.stderr.isatty() else FileCounter(sys.stderr)
    try:
        with _reported():
            result = infer_many(
                args.files, types=types, na_values=args.na, delimiter=args.delimiter,
                multithreading=args.multithreading, rolling_cache_window=args.cache_window,
                threshold=args.threshold, month_first=args.month_first, jobs=args.jobs, progress=counter,
                max_field_size=args.max_field_size, **_dialect_options(args),
            )
    finally:
        if counter is not None:
            counter.close()
    for name, why in result.failures.items():
        _say(f"error: {name}: {why}")
    if result.profile is None:
        raise _Failure("no file could be profiled")
    return result.profile, result


def _formatted(args: argparse.Namespace, profile: Profile, result: Optional[ManyProfiles]) -> str:
    """The profile in the format of -f. For several files, JSON holds each file's own
    profile too, and the table ends with a line for each file that differs."""
    with _reported():
        if args.format == "json":
            if result is not None:
                return json.dumps(result.to_dict(), indent=2, ensure_ascii=False) + "\n"
            return profile.to_json() + "\n"
        if args.format == "schema":
            return json.dumps(profile.to_table_schema(), indent=2, ensure_ascii=False) + "\n"
        if args.format == "jsonschema":
            return json.dumps(profile.to_json_schema(), indent=2, ensure_ascii=False) + "\n"
        if args.format == "sql":
            return profile.to_sql(args.dialect, table=args.table)
        if args.format == "arrow":
            return profile.to_arrow_schema().to_string(show_schema_metadata=False) + "\n"
        output = format_table(profile)
    if result is not None:
        lines = [f"{name}: {'; '.join(what)}" for name, what in result.differences().items()]
        if lines:
            output += "\nfiles that differ:\n" + "\n".join(lines) + "\n"
    return output


def _explained(args: argparse.Namespace, profile: Profile, result: Optional[ManyProfiles]) -> str:
    if args.column not in profile.column_names:
        where = (f"none of the {len(profile.parts)} files has a", "their") if profile.parts else \
            (f"{profile.path} has no", "its")
        raise _Failure(f"{where[0]} column named {args.column!r}; {where[1]} columns: "
                       f"{', '.join(map(repr, profile.column_names))}")
    with _reported():
        return explain(profile, args.column, limit=args.show).to_text()


#: The largest types file read: a table of patterns is a few KB; /dev/zero is endless.
MAX_TYPES_FILE = 16 << 20


def _load_types(path: str) -> Dict[str, List[str]]:
    toml = path.lower().endswith(".toml")
    try:
        with open(path, "rb") as f:
            st = os.fstat(f.fileno())
            if not stat.S_ISREG(st.st_mode):
                raise _Failure(f"types file {path} is not a regular file")
            data = f.read(MAX_TYPES_FILE + 1)
    except OSError as exc:
        raise _Failure(f"cannot read types file {_os_message(exc)}") from None
    if len(data) > MAX_TYPES_FILE:
        raise _Failure(f"types file {path} is larger than {MAX_TYPES_FILE >> 20} MiB; is it the right file?")
    try:
        text = data.decode("utf-8-sig")  # editors on Windows start files with a BOM
        table: Any = _toml_loads(text) if toml else json.loads(text)
    except ImportError:
        raise _Failure("reading a TOML types file needs the tomli package on Python < 3.11") from None
    except RecursionError:
        raise _Failure(f"types file {path} is nested too deeply to be a table of patterns") from None
    except ValueError as exc:  # also the decoders' own errors, which derive from it
        raise _Failure(f"types file {path} is not valid {'TOML' if toml else 'JSON'}: {_one_line(exc, 200)}") from None
    if not isinstance(table, dict):
        raise _Failure(f"types file {path} must map type names to lists of patterns")
    try:
        return check_types(table)
    except (TypeError, ValueError) as exc:
        raise _Failure(f"types file {path}: {_one_line(exc)}") from None


def _toml_loads(text: str) -> Dict[str, Any]:
    # Imported here so that JSON users on Python < 3.11 do not need tomli.
    try:
        import tomllib
    except ModuleNotFoundError:
        import tomli as tomllib
    return tomllib.loads(text)


def _delimiter(text: str) -> str:
    if text in ("\\t", "tab"):
        return "\t"
    if text in ("whitespace", "blanks"):
        return WHITESPACE
    if len(text) != 1 or not text.isascii() or text in '"\r\n':
        raise argparse.ArgumentTypeError(f"expected one ASCII character other than a quote or line end, not {excerpt(text)}")
    return text


def _quote(text: str) -> str:
    if text not in ('"', "'", ""):
        raise argparse.ArgumentTypeError(f"expected '\"', \"'\" or '' for none, not {excerpt(text)}")
    return text


def _comment(text: str) -> str:
    if len(text) > 1 or not text.isascii() or text in "\r\n":
        raise argparse.ArgumentTypeError(f"expected one ASCII character, or '' for none, not {excerpt(text)}")
    return text


def _share(text: str) -> float:
    try:
        share = float(text)
    except ValueError:
        share = math.nan
    if not 0.0 <= share <= 1.0:
        raise argparse.ArgumentTypeError(f"expected a number from 0 to 1, not {excerpt(text)}")
    return share


def _count(text: str) -> int:
    if not text.isdigit():
        raise argparse.ArgumentTypeError(f"expected a whole number, not {excerpt(text)}")
    return int(text)


def _jobs(text: str) -> int:
    try:
        jobs = int(text)
    except ValueError:
        jobs = 0
    if jobs < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of 1 or more, not {excerpt(text)}")
    return jobs


def _bytes_count(text: str) -> int:
    units = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}
    number, unit = text.rstrip("KMGTkmgt"), text[len(text.rstrip("KMGTkmgt")):].upper()
    if number.isdigit() and unit in units and int(number) > 0:
        return int(number) * units[unit]
    raise argparse.ArgumentTypeError(f"expected a size in bytes such as 1000000, 512M or 2G, not {excerpt(text)}")


def _window(text: str) -> int:
    try:
        rows = int(text)
    except ValueError:
        rows = 0
    if not 1 <= rows < 2**31:
        raise argparse.ArgumentTypeError(f"expected a whole number from 1 to 2147483647, not {excerpt(text)}")
    return rows


def _counts(counts: Dict[str, int]) -> str:
    # Largest first; "other" last, as it is what no type explains.
    typed = sorted(((n, t) for t, n in counts.items() if n and t not in ("other", "NA")), key=lambda p: -p[0])
    parts = [f"{t} {n}" for n, t in typed]
    if counts.get("other"):
        parts.append(f"other {counts['other']}")
    return ", ".join(parts)


def _percent(share: float) -> str:
    # Rounded down, so that "100.0%" always means every value.
    tenths = 1000 if share >= 1.0 else min(math.floor(share * 1000 + 1e-9), 999)
    return f"{tenths / 10:.1f}%"


def _plural(count: int, noun: str) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def _printable(name: str) -> str:
    return name if name and name.isprintable() else repr(name)


def _os_message(exc: OSError) -> str:
    if exc.filename is not None and exc.strerror:
        return f"{exc.filename}: {exc.strerror}"
    return _one_line(exc)


def _one_line(exc: BaseException, limit: int = 500) -> str:
    # A message may quote what the user gave, which may be anything: at most a few lines' worth.
    text = " ".join(str(exc).split())
    return text if len(text) <= limit else text[: limit - 3] + "..."


def _say(message: str) -> None:
    print(f"{PROG}: {message}", file=sys.stderr)


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("velmira")
    except Exception:  # running from a source tree that was never installed
        return "unknown"
