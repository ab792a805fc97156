"""The package pass's reading options: the lines above a table, a header a file lacks, the
quote byte, runs of blanks, rows ended by LF alone, and the rows whose width is odd."""

import io

import pytest

import velmira
from velmira import _native

INT = {"i": ["[0-9]+"]}


def run(data, *, skip=0, prepend=b"", delimiter=",", multithreading=False, **options):
    inp = _native.Input(io.BytesIO(data))
    try:
        assert inp.skip(skip) == skip
        if prepend:
            inp.prepend(prepend)
        shapes = {}
        names, counts, rows = _native.infer(inp, delimiter, INT, {""}, multithreading, None, 1000, None,
                                            shapes=shapes, **options)
    finally:
        inp.close()
    return [n.decode() for n in names], [c["i"] for c in counts], rows, shapes


READS = [
    pytest.param(b"title\n\nid,n\n1,2\n", dict(skip=7), ["id", "n"], [1, 1], 1, id="lines-above-the-table"),
    pytest.param(b"1,2\n3,4\n", dict(prepend=b"column_1,column_2\n"), ["column_1", "column_2"], [2, 2], 2,
                 id="no-header"),
    pytest.param(b"a;b\n'1;2';3\n", dict(delimiter=";", quote="'"), ["a", "b"], [0, 1], 1, id="single-quote"),
    pytest.param(b"  a   b\tc\n  1  22 \t 3  \n", dict(blank_runs=True), ["a", "b", "c"], [1, 1, 1], 1,
                 id="aligned-columns"),
    pytest.param(b'a b\n"x y" 1\n', dict(blank_runs=True), ["a", "b"], [0, 1], 1, id="quoted-blanks"),
    pytest.param(b"a,b\nx\ry,1\n2,3\r\n", dict(lf_rows=True), ["a", "b"], [1, 2], 2, id="lone-cr-is-text"),
    pytest.param(b"a,b\nx\ry,1\n", {}, ["a", "b"], [0, 1], 2, id="lone-cr-ends-a-row-by-default"),
]


@pytest.mark.parametrize("data,options,names,ints,rows", READS)
def test_reading_options(data, options, names, ints, rows, multithreading):
    got_names, got_ints, got_rows, _ = run(data, multithreading=multithreading, **options)
    assert (got_names, got_ints, got_rows) == (names, ints, rows)


def test_odd_rows_are_counted_never_dropped_silently(multithreading):
    # Fields beyond the header used to vanish with no word; blank lines counted as rows.
    data = b"a,b,c\n1,2,3\n\n4,5\n6,7,8,9,10\n\n11,12,13\n"
    for skip_blank, rows in ((False, 6), (True, 4)):
        _, ints, got_rows, shapes = run(data, multithreading=multithreading, skip_blank_lines=skip_blank)
        assert got_rows == rows
        assert shapes == {"wider": 1, "first_wider": 5, "widest": 5, "narrower": 1, "first_narrower": 4,
                          "blank": 2, "comments": 0}
        assert ints == [4, 4, 3]


def test_backslash_n_is_missing_by_default(tmp_path):
    # MySQL and PostgreSQL dumps write \N for a missing value; it used to make a column string.
    path = tmp_path / "dump.tsv"
    path.write_bytes(b"id\tyear\n1\t1999\n2\t\\N\n")
    column = velmira.infer(path, delimiter="\t").column("year")
    assert (column.type, column.missing) == ("integer", 1)
