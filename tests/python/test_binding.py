"""The Python face of velmira_ext.Inf: construction, settings, conversions, errors."""
import pytest

import velmira_ext

ARGS = dict(
    filepath="data.csv",
    delimiter=",",
    col_type_patterns={"int": [r"\d+"]},
    na_values={"NA"},
    multithreading=False,
    save_types_file=False,
    types_filepath="",
    rolling_cache_window=1,
)


def make(**overrides):
    return velmira_ext.Inf(**{**ARGS, **overrides})


def test_module_doc_and_single_class():
    assert velmira_ext.__doc__ == "The velmira Python interface"
    public = [name for name in dir(velmira_ext) if not name.startswith("_")]
    assert public == ["Inf"]


def test_construct_positionally_without_touching_the_file(tmp_path):
    inf = velmira_ext.Inf(str(tmp_path / "missing.csv"), ",", {}, set(), False, False, "", 1)
    assert inf.get_filepath() == str(tmp_path / "missing.csv")


def test_construct_by_keyword_in_any_order():
    inf = velmira_ext.Inf(**dict(reversed(list(ARGS.items()))))
    assert inf.get_col_type_patterns() == {"int": [r"\d+"]}


@pytest.mark.parametrize("missing", list(ARGS))
def test_every_constructor_argument_is_required(missing):
    args = {k: v for k, v in ARGS.items() if k != missing}
    with pytest.raises(TypeError):
        velmira_ext.Inf(**args)


def test_methods_refuse_keywords():
    inf = make()
    with pytest.raises(TypeError):
        inf.set_filepath(filepath="x")
    inf.set_filepath("x")
    assert inf.get_filepath() == "x"


def test_no_dynamic_attributes():
    with pytest.raises(AttributeError):
        make().anything = 1


ROUND_TRIPS = [
    ("filepath", "other.csv"),
    ("filepath", ""),
    ("delimiter", ";"),
    ("delimiter", '"'),
    ("multithreading", True),
    ("save_types_file", True),
    ("types_filepath", "/tmp/types.csv"),
    ("rolling_cache_window", -5),
    ("rolling_cache_window", 0),
    ("rolling_cache_window", 2**31 - 1),
    ("rolling_cache_window", -(2**31)),
    ("na_values", set()),
    ("na_values", {"", "NA", " NA "}),
    ("col_type_patterns", {}),
    ("col_type_patterns", {"empty": []}),
    ("col_type_patterns", {"int": [r"\d+", r"\d+", r"-\d+"], "": ["x"]}),
    ("col_type_patterns", {"ünï": ["[ä-ö]+"]}),
]


@pytest.mark.parametrize("name,value", ROUND_TRIPS, ids=[f"{n}={v!r}" for n, v in ROUND_TRIPS])
def test_setter_getter_round_trip(name, value):
    inf = make()
    getattr(inf, "set_" + name)(value)
    assert getattr(inf, "get_" + name)() == value


@pytest.mark.parametrize(
    "given,stored",
    [("\t", "\t"), (b";", ";"), ("\u00e9", "\u00e9"), ("\u00ff", "\u00ff"), ("\x00", "\x00")],
    ids=["tab", "bytes", "e-acute", "y-diaeresis", "nul"],
)
def test_delimiter_conversions(given, stored):
    inf = make()
    inf.set_delimiter(given)
    assert inf.get_delimiter() == stored
    assert make(delimiter=given).get_delimiter() == stored


@pytest.mark.parametrize(
    "given,message",
    [
        ("", "Cannot convert empty string to a character"),
        (None, "Cannot convert None to a character"),
        ("ab", "Expected a character, but multi-character string found"),
        ("\u20ac", "Character code point not in range(0x100)"),
    ],
    ids=["empty", "none", "two-chars", "euro"],
)
def test_delimiter_refusals(given, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        make().set_delimiter(given)
    with pytest.raises(ValueError):
        make(delimiter=given)


@pytest.mark.parametrize(
    "method,value",
    [
        ("set_na_values", ["NA"]),
        ("set_na_values", ("NA",)),
        ("set_na_values", "NA"),
        ("set_col_type_patterns", {"int": r"\d+"}),
        ("set_col_type_patterns", [("int", [r"\d+"])]),
        ("set_col_type_patterns", {1: [r"\d+"]}),
        ("set_rolling_cache_window", 2**31),
        ("set_rolling_cache_window", -(2**31) - 1),
        ("set_rolling_cache_window", 1.0),
        ("set_rolling_cache_window", "1"),
        ("set_multithreading", "yes"),
        ("set_multithreading", [True]),
        ("set_filepath", 3),
        ("set_filepath", None),
    ],
    ids=lambda v: repr(v)[:30],
)
def test_conversion_refusals_change_nothing(method, value):
    inf = make()
    before = (inf.get_na_values(), inf.get_col_type_patterns(), inf.get_rolling_cache_window(),
              inf.get_multithreading(), inf.get_filepath())
    with pytest.raises(TypeError):
        getattr(inf, method)(value)
    after = (inf.get_na_values(), inf.get_col_type_patterns(), inf.get_rolling_cache_window(),
             inf.get_multithreading(), inf.get_filepath())
    assert after == before


def test_frozenset_is_accepted_as_a_set():
    # pybind11 3 converts any set-like (set or frozenset); pinned so an upgrade that
    # changes it is noticed.
    inf = make()
    inf.set_na_values(frozenset({"x"}))
    assert inf.get_na_values() == {"x"}


@pytest.mark.parametrize(
    "value,expected", [(None, False), (0, False), (1, True), (0.5, True)], ids=repr
)
def test_bool_accepts_numeric_truth(value, expected):
    inf = make()
    inf.set_save_types_file(value)
    assert inf.get_save_types_file() is expected


def test_tuple_of_patterns_and_bytes_keys_are_accepted():
    inf = make()
    inf.set_col_type_patterns({b"int": (r"\d+", rb"-\d+")})
    assert inf.get_col_type_patterns() == {"int": [r"\d+", r"-\d+"]}


@pytest.mark.parametrize("bad", ["(", "[a-", "a{2,1}", "*"])
def test_invalid_pattern_fails_construction(bad):
    with pytest.raises(RuntimeError):
        make(col_type_patterns={"t": [bad]})


def test_failing_set_leaves_the_patterns_before_the_failure():
    inf = make()
    with pytest.raises(RuntimeError):
        inf.set_col_type_patterns({"t": ["a", "b", "(", "c"]})
    assert inf.get_col_type_patterns() == {"t": ["a", "b"]}
    # The object stays usable.
    inf.set_col_type_patterns({"u": ["x"]})
    assert inf.get_col_type_patterns() == {"u": ["x"]}


def test_results_are_copies():
    inf = make(col_type_patterns={"int": [r"\d+"]}, na_values={"NA"})
    patterns = inf.get_col_type_patterns()
    patterns["int"].append("x")
    patterns["new"] = []
    na = inf.get_na_values()
    na.add("more")
    assert inf.get_col_type_patterns() == {"int": [r"\d+"]}
    assert inf.get_na_values() == {"NA"}


def test_setters_replace_rather_than_merge():
    inf = make(col_type_patterns={"a": ["1"], "b": ["2"]}, na_values={"x", "y"})
    inf.set_col_type_patterns({"c": ["3"]})
    inf.set_na_values({"z"})
    assert inf.get_col_type_patterns() == {"c": ["3"]}
    assert inf.get_na_values() == {"z"}

