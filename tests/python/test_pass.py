"""Whole inference passes: counts, names, row counts and the types file."""
import os

import pytest



def zeros(*types):
    return {t: 0 for t in (*types, "other", "NA")}


def counts(**kw):
    table = zeros("integer", "word")
    table.update(kw)
    return table


def test_worked_example(runner, multithreading):
    inf, types = runner.run("id,name\n1,ann\n2,\n,bob\n", multithreading=multithreading)
    assert inf.col_names == ["id", "name"]
    assert inf.num_rows == 3
    assert inf.get_col_type_candidates() == {
        "id": counts(integer=2, NA=1),
        "name": counts(word=2, NA=1),
    }
    assert types == "id,name\ninteger,word\ninteger,NA\nNA,word\n"


SHAPES = [
    # (input, rows, names, candidates, types file)
    ("a,b\n", 0, ["a", "b"], {"a": counts(), "b": counts()}, "a,b\n"),
    ("a,b", 0, ["a", "b"], {"a": counts(), "b": counts()}, "a,b\n"),
    ("", 0, [], {}, ""),
    ('""', 0, [], {}, ""),
    ("a,b\n1\n", 1, ["a", "b"], {"a": counts(integer=1), "b": counts()}, "a,b\ninteger\n"),
    ("a,b\n1,x,2,3\n", 1, ["a", "b"], {"a": counts(integer=1), "b": counts(word=1)},
     "a,b\ninteger,word\n"),
    ("a,b\n1,x\n\n2,y\n", 3, ["a", "b"], {"a": counts(integer=2, NA=1), "b": counts(word=2)},
     "a,b\ninteger,word\nNA\ninteger,word\n"),
    ("a;b\r\n1;x\r\n", 1, ["a;b"], {"a;b": counts(other=1)}, "a;b\nother\n"),
    ("a,a\n1,x\n2,3\n", 2, ["a", "a"], {"a": counts(integer=3, word=1)},
     "a,a\ninteger,word\ninteger,integer\n"),
    (',x,\n1,2,3\n', 1, ["Unitled_1", "x", "Unitled_2"],
     {"Unitled_1": counts(integer=1), "x": counts(integer=1), "Unitled_2": counts(integer=1)},
     "Unitled_1,x,Unitled_2\ninteger,integer,integer\n"),
    (" ,x\n1,2\n", 1, [" ", "x"], {" ": counts(integer=1), "x": counts(integer=1)},
     " ,x\ninteger,integer\n"),
]


@pytest.mark.parametrize("data,rows,names,candidates,types_text", SHAPES,
                         ids=["header-only", "header-no-eol", "empty", "two-quotes", "short-row",
                              "wide-row", "empty-line", "other-delimiter", "duplicate-names",
                              "untitled", "blank-name"])
def test_shapes(runner, multithreading, data, rows, names, candidates, types_text):
    inf, types = runner.run(data, multithreading=multithreading)
    assert inf.num_rows == rows
    assert inf.col_names == names
    assert inf.get_col_type_candidates() == candidates
    assert types == types_text


def test_tab_delimited_input_gives_comma_separated_types_file(runner):
    inf, types = runner.run("a\tb\n1\tx\n", delimiter="\t")
    assert types == "a,b\ninteger,word\n"


@pytest.mark.parametrize(
    "na,row,expected",
    [
        ({""}, ",x", ["NA", "word"]),
        (set(), ",x", ["other", "word"]),
        ({"NA"}, "NA,x", ["NA", "word"]),
        ({"1"}, "1,2", ["NA", "integer"]),  # a marker wins over a matching pattern
        ({"na"}, "na,na", ["NA", "NA"]),
        ({"NA"}, " NA,NA ", ["other", "other"]),  # no trimming
    ],
    ids=["empty-marker", "no-markers", "NA", "marker-beats-pattern", "word-marker", "blanks"],
)
def test_missing_value_markers(runner, multithreading, na, row, expected):
    _, types = runner.run(f"a,b\n{row}\n", na=na, multithreading=multithreading)
    assert types.splitlines()[1].split(",") == expected


def test_empty_pattern_table_makes_everything_other(runner, multithreading):
    inf, types = runner.run("a\n1\nx\n\n", patterns={}, multithreading=multithreading)
    assert inf.get_col_type_candidates() == {"a": {"other": 2, "NA": 1}}


def test_type_with_no_patterns_never_matches(runner):
    inf, _ = runner.run("a\n1\n", patterns={"none": [], "integer": [r"\d+"]})
    assert inf.get_col_type_candidates() == {"a": {"none": 0, "integer": 1, "other": 0, "NA": 0}}


def test_second_pattern_of_a_type_matches(runner):
    inf, _ = runner.run("a\n1\nx\n", patterns={"t": ["[a-z]", r"\d"]})
    assert inf.get_col_type_candidates()["a"]["t"] == 2


def test_patterns_must_match_the_whole_field(runner):
    _, types = runner.run("a\n12x\n", patterns={"integer": [r"\d+"]})
    assert types.splitlines()[1] == "other"


def test_engine_names_used_as_type_names_share_the_key(runner):
    inf, _ = runner.run("a\nother\nNA\n", patterns={"other": ["other"], "NA": ["NA"]}, na=set())
    assert inf.get_col_type_candidates() == {"a": {"other": 1, "NA": 1}}


def test_empty_type_name_is_counted_and_never_cached(runner):
    # Column a learns to try "" first, column b to try y first. Were x cached as ""
    # from column a, column b would take that; uncached, b matches it as y.
    patterns = {"": ["x|e"], "y": ["x|y"]}
    inf, types = runner.run("a,b\ne,y\nx,x\n", patterns=patterns)
    assert types.splitlines()[1:] == [",y", ",y"]
    assert inf.get_col_type_candidates()["a"][""] == 2


# --- the value cache -------------------------------------------------------------------------

# Column X learns to try B first, column Y to try A first; "both" matches either type.
ORDERED = {"A": ["a|both"], "B": ["b|both"]}


def test_cached_type_carries_from_one_column_to_another(runner):
    _, types = runner.run("X,Y\nb,a\nboth,both\n", patterns=ORDERED, na=set())
    assert types.splitlines()[2] == "B,B"
    _, types = runner.run("Y,X\na,b\nboth,both\n", patterns=ORDERED, na=set())
    assert types.splitlines()[2] == "A,A"


@pytest.mark.parametrize(
    "window,k,flushed",
    [(1, 2, True), (1, 3, True), (2, 2, False), (2, 3, True), (3, 2, True), (3, 3, False),
     (0, 2, False), (-1, 3, False), (-2, 2, False), (2**31 - 1, 3, False)],
)
def test_rolling_cache_window(runner, multithreading, window, k, flushed):
    # Data row k has "both" in X (cached as B); row k + 1 has it in Y. The cache is
    # emptied after row n, counting the header as row 1, when n is a multiple of the window.
    rows = ["X,Y", "b,a"] + ["c,c"] * (k - 2) + ["both,c", "c,both"]
    _, types = runner.run("\n".join(rows) + "\n", patterns=ORDERED, na={"c"},
                          window=window, multithreading=multithreading)
    got = types.splitlines()[k + 1].split(",")[1]
    if flushed or not multithreading:
        assert got == ("A" if flushed else "B")
    else:
        # Workers own columns across a batch of rows, so Y's worker may meet the text
        # before X's has cached it: either column's verdict may reach the cache first.
        assert got in ("A", "B")


def test_cache_survives_passes_but_not_pattern_changes(runner):
    # A new table used to be answered from the cache the old one filled, counting a type
    # the table no longer has.
    inf = runner.inf(runner.write("c\nv\n"), patterns={"old": ["v"]})
    inf.infer_types()
    inf.set_col_type_patterns({"new": ["w"]})
    inf.infer_types()
    assert inf.get_col_type_candidates() == {"c": {"new": 0, "other": 1, "NA": 0}}


def test_set_col_type_patterns_empties_the_value_cache(runner, multithreading):
    # The second pass used to give {'int': 2, 'other': 1, 'digit': 0, 'word': 0}.
    inf = runner.inf(runner.write("c\n1\n2\nx\n"), patterns={"int": ["[0-9]+"]}, multithreading=multithreading)
    inf.infer_types()
    inf.set_col_type_patterns({"word": ["[a-z]+"], "digit": ["[0-9]"]})
    inf.infer_types()
    assert inf.get_col_type_candidates() == {"c": {"word": 1, "digit": 2, "other": 0, "NA": 0}}


def test_na_change_takes_effect_despite_the_cache(runner):
    inf = runner.inf(runner.write("c\n1\n"), na=set())
    inf.infer_types()
    inf.set_na_values({"1"})
    inf.infer_types()
    assert inf.get_col_type_candidates()["c"]["NA"] == 1


# --- the trial order ----------------------------------------------------------------------

def _model_types(values, order, swap):
    """Types given to `values` (each a set of matching type names) by a trial order."""
    order, out = list(order), []
    for matching in values:
        for i, t in enumerate(order):
            if t in matching:
                out.append(t)
                if swap:
                    order[0], order[i] = order[i], order[0]
                else:
                    order.insert(0, order.pop(i))
                break
        else:
            out.append("other")
    return out


def test_trial_order_swaps_the_match_with_the_front(runner):
    import itertools
    import random

    rng = random.Random(7)
    names = ["A", "B", "C", "D"]
    # Value "<letters>-<i>" matches exactly the types whose letter it holds; all distinct.
    patterns = {t: [f"[A-D]*{t}[A-D]*-[0-9]+"] for t in names}
    subsets = [frozenset(s) for r in (1, 2, 3) for s in itertools.combinations(names, r)]
    values = [rng.choice(subsets) for _ in range(300)]
    data = "col\n" + "".join(f"{''.join(sorted(s))}-{i}\n" for i, s in enumerate(values))
    _, types = runner.run(data, patterns=patterns)
    got = types.splitlines()[1:]
    orders = list(itertools.permutations(names))
    assert any(_model_types(values, o, swap=True) == got for o in orders)
    assert not any(_model_types(values, o, swap=False) == got for o in orders)


# --- passes over the same object ------------------------------------------------------------

def test_second_pass_counts_afresh(runner, multithreading):
    inf = runner.inf(runner.write("a\n1\n2\n"), multithreading=multithreading)
    inf.infer_types()
    inf.infer_types()
    assert inf.num_rows == 2
    assert inf.get_col_type_candidates() == {"a": counts(integer=2)}


def test_pass_over_other_columns_keeps_the_old_tables(runner):
    inf = runner.inf(runner.write("a\n1\n"))
    inf.infer_types()
    inf.set_filepath(str(runner.write("b\nx\n")))
    inf.infer_types()
    assert inf.col_names == ["b"]
    assert inf.get_col_type_candidates() == {"a": counts(integer=1), "b": counts(word=1)}


def test_untitled_counter_carries_over_between_passes(runner):
    inf = runner.inf(runner.write(",x,\n"))
    inf.infer_types()
    assert inf.col_names == ["Unitled_1", "x", "Unitled_2"]
    inf.infer_types()
    assert inf.col_names == ["Unitled_3", "x", "Unitled_4"]


def test_results_are_copies(runner):
    inf, _ = runner.run("a\n1\n")
    got = inf.get_col_type_candidates()
    got["a"]["integer"] = 99
    names = inf.col_names
    names.append("z")
    assert inf.get_col_type_candidates()["a"]["integer"] == 1
    assert inf.col_names == ["a"]


def test_fresh_object_reports_nothing_yet(runner):
    inf = runner.inf(runner.tmp_path / "never-read.csv")
    assert (inf.num_rows, inf.col_names, inf.get_col_type_candidates()) == (0, [], {})


@pytest.mark.parametrize("name", ["num_rows", "col_names"])
def test_results_are_read_only(runner, name):
    inf = runner.inf(runner.tmp_path / "x.csv")
    with pytest.raises(AttributeError):
        setattr(inf, name, 1)


def test_infer_types_takes_no_argument(runner):
    with pytest.raises(TypeError):
        runner.inf(runner.write("a\n")).infer_types(1)


def test_invalid_utf8_header_fails_only_the_string_results(runner):
    inf, _ = runner.run(b"\xff\xfe,b\n1,2\n")
    assert inf.num_rows == 1
    with pytest.raises(UnicodeDecodeError):
        inf.col_names
    with pytest.raises(UnicodeDecodeError):
        inf.get_col_type_candidates()


# --- unreadable input ----------------------------------------------------------------------

def test_missing_file_raises_and_leaves_the_types_file_alone(runner, multithreading):
    inf, _ = runner.run("a\n1\n2\n", multithreading=multithreading)
    types_file = runner.tmp_path / "kept.csv"
    types_file.write_text("keep me")
    inf.set_filepath(str(runner.tmp_path / "missing.csv"))
    inf.set_types_filepath(str(types_file))
    with pytest.raises(RuntimeError, match="^Something is wrong with input stream$"):
        inf.infer_types()
    assert inf.num_rows == 0
    assert types_file.read_text() == "keep me"


def test_directory_raises(runner, multithreading):
    inf = runner.inf(runner.tmp_path, multithreading=multithreading)
    with pytest.raises(RuntimeError):
        inf.infer_types()


# --- the types file ------------------------------------------------------------------------

def test_types_file_is_truncated_by_each_pass(runner):
    path = runner.write("a\n1\n2\n")
    types_file = runner.tmp_path / "t.csv"
    types_file.write_text("old content that is longer than the new one\n" * 10)
    inf = runner.inf(path, types_file=types_file)
    inf.infer_types()
    inf.infer_types()
    assert types_file.read_text() == "a\ninteger\ninteger\n"


def test_empty_input_gives_an_empty_types_file(runner):
    _, types = runner.run("")
    assert types == ""


@pytest.mark.parametrize("where", ["missing-dir/t.csv", ""], ids=["missing-dir", "empty-path"])
def test_unwritable_types_file_is_ignored(runner, where, multithreading):
    inf = runner.inf(runner.write("a\n1\n"), multithreading=multithreading)
    inf.set_save_types_file(True)
    inf.set_types_filepath(str(runner.tmp_path / where) if where else "")
    inf.infer_types()
    assert inf.num_rows == 1
    assert not (runner.tmp_path / "missing-dir").exists()


def test_types_file_off_touches_nothing(runner):
    types_file = runner.tmp_path / "t.csv"
    types_file.write_text("keep")
    inf = runner.inf(runner.write("a\n1\n"))
    inf.set_types_filepath(str(types_file))
    inf.infer_types()
    assert types_file.read_text() == "keep"


def test_types_file_quotes_names_that_would_break_it(runner):
    data = '"a,b","say ""hi""","two\nlines",plain\n1,2,3,4\n'
    patterns = {"int,eger": [r"\d+"]}
    _, types = runner.run(data, patterns=patterns)
    assert types == ('"a,b","say ""hi""","two\nlines",plain\n'
                     '"int,eger","int,eger","int,eger","int,eger"\n')


@pytest.mark.parametrize("how", ["same-path", "other-spelling", "symlink", "hardlink"])
def test_types_file_naming_the_data_file_is_refused(runner, how, multithreading):
    data = "a\n1\n"
    path = runner.write(data, name="data.csv")
    target = {
        "same-path": path,
        "other-spelling": runner.tmp_path / "." / ".." / runner.tmp_path.name / "data.csv",
        "symlink": runner.tmp_path / "link.csv",
        "hardlink": runner.tmp_path / "hard.csv",
    }[how]
    if how == "symlink":
        os.symlink(path, target)
    elif how == "hardlink":
        os.link(path, target)
    inf = runner.inf(path, types_file=target, multithreading=multithreading)
    with pytest.raises(RuntimeError, match="types file"):
        inf.infer_types()
    assert path.read_text() == data
