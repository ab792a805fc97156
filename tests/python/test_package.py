"""How the package is put together: its modules in layers, and its calls into the engine,
which compile each table once, classify texts without a temporary file, and never go
through velmira_ext."""
import json
import subprocess
import sys

import pytest

import velmira
from velmira import _native
from velmira.explain import explain

PACKAGE = {"velmira._native", "velmira.types", "velmira.profile", "velmira.source", "velmira.inference",
           "velmira.many", "velmira.values", "velmira.schema", "velmira.explain", "velmira.cli"}


def loaded_by(module):
    """The package's modules that importing `module` loads, in a fresh interpreter."""
    script = (f"import importlib, json, sys; importlib.import_module({module!r}); "
              "print(json.dumps(sorted(m for m in sys.modules if m.startswith('velmira'))))")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return set(json.loads(result.stdout))


@pytest.mark.parametrize("module,below", [
    pytest.param("velmira.types", {"velmira.types"}, id="types-stand-alone"),
    pytest.param("velmira.profile", {"velmira.types", "velmira.profile"}, id="profile-no-engine-no-io"),
    pytest.param("velmira.inference", {"velmira._native", "velmira.types", "velmira.profile", "velmira.source",
                                       "velmira.inference"}, id="inference-on-the-model"),
    pytest.param("velmira.many", {"velmira._native", "velmira.types", "velmira.profile", "velmira.source",
                                  "velmira.inference", "velmira.many"}, id="many-on-inference"),
    pytest.param("velmira.explain", PACKAGE - {"velmira.many", "velmira.schema", "velmira.cli"},
                 id="explain-on-inference-and-values"),
])
def test_each_module_loads_only_the_layers_below_it(module, below):
    assert loaded_by(module) & PACKAGE == below


def test_the_package_never_imports_velmira_ext(tmp_path):
    path = tmp_path / "in.csv"
    path.write_text("n,w\n1,x\n2,y\n")
    script = f"""
import sys

class Refuse:
    def find_spec(self, name, path=None, target=None):
        if name == "velmira_ext":
            raise ImportError("the package imported velmira_ext")

sys.meta_path.insert(0, Refuse())
import velmira, velmira.cli, velmira.explain
types = {{"int": [r"\\d+"], "word": ["[a-z]+"]}}
profile = velmira.infer({str(path)!r}, types=types)
velmira.check_types(types)
velmira.pattern_engines()
velmira.check_exclusive(types, ["1", "x"])
velmira.explain.explain(profile, "w")
velmira.infer_many([{str(path)!r}, {str(path)!r}], types=types, jobs=1)
list(velmira.read_rows(profile))
velmira.cli.main(["patterns"])
print("velmira_ext" in sys.modules)
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "False"


TYPES = {"int": [r"\d+"], "hex": ["[0-9a-f]+", "0x[0-9a-f]+"], "word": ["[a-z]+"]}


@pytest.fixture
def compiled(monkeypatch):
    """Every table that the engine is asked to compile, in order."""
    tables = []
    compile_types = _native.compile_types

    def counting(types):
        tables.append({name: list(patterns) for name, patterns in types.items()})
        return compile_types(types)

    monkeypatch.setattr(_native, "compile_types", counting)
    return tables


def column_file(tmp_path, values):
    path = tmp_path / "in.csv"
    path.write_text("v\n" + "".join(f"{value}\n" for value in values))
    return path


@pytest.mark.parametrize("call", [
    pytest.param(lambda path: velmira.infer(path, types=TYPES, delimiter=","), id="infer"),
    pytest.param(lambda path: velmira.infer(path, types=TYPES), id="infer-guessing-the-delimiter"),
    pytest.param(lambda path: velmira.infer(path, types=TYPES, types_file=path.with_name("t.csv"),
                                            multithreading=True), id="infer-threads-and-types-file"),
    pytest.param(lambda path: velmira.check_types(TYPES), id="check-types"),
    pytest.param(lambda path: velmira.pattern_engines(TYPES), id="pattern-engines"),
    pytest.param(lambda path: velmira.check_exclusive(TYPES, ["12", "ff", "zz"] * 1000), id="check-exclusive"),
])
def test_each_call_compiles_the_table_once(tmp_path, compiled, call):
    call(column_file(tmp_path, ["12", "ff", "zz", "x1"]))
    assert compiled == [TYPES]


def test_explain_compiles_the_table_once_for_all_its_batches(tmp_path, monkeypatch):
    # More distinct texts than one batch holds, none of them typed: every batch is classified.
    path = column_file(tmp_path, [f"x{i}_" for i in range(2500)])
    profile = velmira.infer(path, types=TYPES, delimiter=",")
    tables = []
    compile_types = _native.compile_types
    monkeypatch.setattr(_native, "compile_types", lambda types: tables.append(dict(types)) or compile_types(types))
    assert len(explain(profile, "v", limit=3000).others) == 2500
    assert tables == [TYPES]


@pytest.mark.parametrize("call", [
    pytest.param(lambda path: velmira.check_exclusive(TYPES, ["12", "ff", "a,b", 'say "hi"']),
                 id="check-exclusive"),
    pytest.param(lambda path: explain(velmira.infer(path, types=TYPES, delimiter=","), "v"), id="explain"),
])
def test_texts_are_classified_without_a_temporary_file(tmp_path, monkeypatch, call):
    path = column_file(tmp_path, ["12", "zz_", "a b"])
    # A temporary file or folder would have to be made in a folder that does not exist.
    missing = tmp_path / "no-such-folder"
    monkeypatch.setenv("TMPDIR", str(missing))
    monkeypatch.setattr("tempfile.tempdir", str(missing))
    empty = tmp_path / "empty"
    empty.mkdir()
    monkeypatch.chdir(empty)
    call(path)
    assert list(empty.iterdir()) == []


ANYTHING = {"anything": [r"(?s).*"], "comma": [r"(?s).*,.*"], "quote": [r'(?s).*".*'], "break": [r"(?s).*[\r\n].*"]}


@pytest.mark.parametrize("types,texts,expected", [
    pytest.param({"int": [r"\d+"], "hex": ["[0-9a-f]+"]}, ["12", "ff", "zz"], {"12": ["int", "hex"]},
                 id="types-in-the-table-order"),
    pytest.param({"hex": ["[0-9a-f]+"], "int": [r"\d+"]}, ["12", "ff", "zz"], {"12": ["hex", "int"]},
                 id="types-in-the-table-order-reversed"),
    pytest.param({"z": ["a"], "m": ["a+"], "b": ["[a]"], "y": ["a|b"], "c": ["b"]}, ["a", "b"],
                 {"a": ["z", "m", "b", "y"], "b": ["y", "c"]}, id="many-types-in-the-table-order"),
    pytest.param({"int": [r"\d+"], "hex": ["[0-9a-f]+"]}, ["12", "ab", "12"], {"12": ["int", "hex"]},
                 id="a-repeated-text-once"),
    pytest.param(ANYTHING, ["a,b", 'say "hi"', "two\nlines", "cr\ronly", '","', "", "plain"],
                 {"a,b": ["anything", "comma"], 'say "hi"': ["anything", "quote"],
                  "two\nlines": ["anything", "break"], "cr\ronly": ["anything", "break"],
                  '","': ["anything", "comma", "quote"]}, id="texts-that-a-csv-file-would-quote"),
    pytest.param({"int": [r"\d+"]}, ["1", "x"], {}, id="one-type-cannot-overlap"),
    pytest.param({"int": [r"\d+"], "hex": ["[0-9a-f]+"]}, [], {}, id="no-texts"),
])
def test_check_exclusive(types, texts, expected):
    assert velmira.check_exclusive(types, texts) == expected


@pytest.mark.parametrize("types,texts,error,message", [
    pytest.param({"int": [r"\d+"]}, ["1", "\ud800"], ValueError, "holds a lone surrogate", id="lone-surrogate"),
    pytest.param({"int": [r"\d+"]}, ["1", 2], TypeError, "must be a string, not int", id="not-a-string"),
    pytest.param({"int": ["("]}, ["1"], velmira.PatternError, "type 'int': invalid pattern", id="invalid-pattern"),
    pytest.param({"NA": ["x"]}, ["1"], ValueError, "reserved", id="reserved-type-name"),
])
def test_check_exclusive_refuses(types, texts, error, message):
    with pytest.raises(error, match=message):
        velmira.check_exclusive(types, texts)


@pytest.mark.parametrize("types,bad", [
    pytest.param({"a": ["("], "b": ["["]}, ("a", "("), id="first-type-listed"),
    pytest.param({"b": ["["], "a": ["("]}, ("b", "["), id="first-type-listed-reversed"),
    pytest.param({"t": ["x", "(", "["]}, ("t", "("), id="first-pattern-of-a-type"),
    pytest.param({"ok": ["x"], "fine": ["y"], "t": ["z", "a{2,1}"]}, ("t", "a{2,1}"), id="after-good-types"),
])
@pytest.mark.parametrize("call", [
    pytest.param(lambda types, path: velmira.check_types(types), id="check-types"),
    pytest.param(lambda types, path: velmira.infer(path, types=types), id="infer"),
    pytest.param(lambda types, path: velmira.pattern_engines(types), id="pattern-engines"),
    pytest.param(lambda types, path: velmira.check_exclusive(types, ["x"]), id="check-exclusive"),
])
def test_the_first_invalid_pattern_is_named(tmp_path, types, bad, call):
    with pytest.raises(velmira.PatternError) as caught:
        call(types, column_file(tmp_path, ["1"]))
    error = caught.value
    assert (error.type_name, error.pattern) == bad
    assert error.reason and "\n" not in str(error)
    assert str(error) == f"type {bad[0]!r}: invalid pattern {bad[1]!r}: {error.reason}"
    assert isinstance(error, ValueError)


def test_pattern_engines_keep_the_order_of_the_table():
    types = {"zeta": ["z", "z"], "alpha": [r"(a)\1"], "mid": ["[0-9]+", "x"], "beta": ["b"]}
    engines = velmira.pattern_engines(types)
    assert list(engines) == list(types)
    assert {name: [pattern for pattern, _, _ in found] for name, found in engines.items()} == types
    assert [engine for _, engine, _ in engines["alpha"]] == ["boost"]


@pytest.mark.parametrize("lines,limit,others", [
    pytest.param(["1", '"a,b"', '"say ""hi"""', '"two\nlines"', "2", "NA", '"a,b"'], 5,
                 ("a,b", 'say "hi"', "two\nlines"), id="texts-that-a-csv-file-quotes"),
    pytest.param([str(i) for i in range(1500)] + ["x", "y"], 5, ("x", "y"), id="others-after-the-first-batch"),
    pytest.param(["x", "1", "y", "z"], 2, ("x", "y"), id="stops-at-the-limit"),
    pytest.param(["1", "2", "NA"], 5, (), id="no-others"),
])
def test_explain_finds_the_texts_no_type_took(tmp_path, lines, limit, others):
    path = tmp_path / "in.csv"
    path.write_text("v\n" + "".join(f"{line}\n" for line in lines))
    profile = velmira.infer(path, types={"int": [r"\d+"]}, delimiter=",")
    assert explain(profile, "v", limit=limit).others == others
