"""The fast matcher as Python sees it: same counts, mended faults, clean errors."""

import subprocess
import sys

import pytest

import velmira
import velmira_ext


def counts_of(runner, data, patterns, multithreading, na=frozenset()):
    inf, _ = runner.run(data, patterns=patterns, na=na, multithreading=multithreading)
    return inf.get_col_type_candidates()["h"]


# Each used to go wrong: the first two were rejected by Boost's start map before the matcher
# ran, so a matching field counted "other"; the third failed the whole pass when Boost's
# backtracking budget ran out, although the answer (no match) is definite.
@pytest.mark.parametrize(
    "pattern,data,expected",
    [
        (r"\Z.", b"h\n\x0c\n", {"t": 1, "other": 0, "NA": 0}),
        (r"\X\n", b'h\n"a\n"\n', {"t": 1, "other": 0, "NA": 0}),
        ("(a+)+b", b"h\n" + b"a" * 64 + b"\n" + b"a" * 30 + b"b\n", {"t": 1, "other": 1, "NA": 0}),
    ],
    ids=["backslash-Z-dot-form-feed", "backslash-X-newline", "catastrophic-answered"],
)
def test_matching_faults_mended(runner, multithreading, pattern, data, expected):
    assert counts_of(runner, data, {"t": [pattern]}, multithreading) == expected


# Boost quotes the pattern around the error and can cut a UTF-8 character in half there;
# whatever the cut, an invalid pattern raises RuntimeError, never UnicodeDecodeError.
@pytest.mark.parametrize("pad", range(14))
def test_invalid_pattern_message_is_always_decoded(pad):
    pattern = "é" + "a" * pad + "("
    with pytest.raises(RuntimeError):
        velmira_ext.Inf("", ",", {"t": [pattern]}, set(), False, False, "", 1)
    inf = velmira_ext.Inf("", ",", {}, set(), False, False, "", 1)
    with pytest.raises(RuntimeError):
        inf.set_col_type_patterns({"t": [pattern]})
    with pytest.raises(velmira.PatternError, match="type 'accents'"):
        velmira.check_types({"accents": [pattern]})


# A pattern on PCRE2 and the same pattern kept on Boost (an inert (?i) on a digit-only
# pattern) count the same fields the same way, in both threading modes.
def test_both_engines_count_alike(runner, multithreading):
    texts = ["12", "-7", "", "1 2", "x1", "0012", "9" * 300, "12\r", "3\f4", "5\x0b", "é1", "+", "1e3"]
    data = "h\n" + "\n".join(f'"{t}"' for t in texts) + "\n"
    fast = counts_of(runner, data, {"n": [r"[+-]?\d+"], "s": [r"\S*[^\d\s]\S*"]}, multithreading)
    slow = counts_of(runner, data, {"n": [r"(?i)[+-]?\d+"], "s": [r"(?i)\S*[^\d\s]\S*"]}, multithreading)
    assert fast == slow
    assert (fast["n"], fast["s"], fast["other"]) == (4, 4, 5)


# The default library is written in constructs both engines read alike: every pattern of it
# runs on PCRE2 (a pattern that slipped to Boost would be several times slower).
@pytest.mark.parametrize("compact", [False, True], ids=["default", "compact-dates"])
def test_every_default_pattern_runs_on_pcre2(compact):
    engines = velmira.pattern_engines(velmira.default_types(compact_dates=compact))
    on_boost = [(name, pattern, why) for name, patterns in engines.items()
                for pattern, engine, why in patterns if engine != "pcre2-jit"]
    assert on_boost == []


def test_pattern_engines_say_why_a_pattern_stays_on_boost():
    engines = velmira.pattern_engines({"t": [r"[0-9]+", r"(a)\1", r"(?i)abc"]})["t"]
    assert [(p, e) for p, e, _ in engines] == [(r"[0-9]+", "pcre2-jit"), (r"(a)\1", "boost"),
                                              (r"(?i)abc", "boost")]
    assert engines[1][2].endswith(r"the escape \1 at offset 3")
    with pytest.raises(velmira.PatternError, match="type 't'"):
        velmira.pattern_engines({"t": ["("]})


def test_patterns_command(tmp_path):
    types = tmp_path / "t.json"
    types.write_text('{"num": ["[0-9]+"], "ref": ["(a)\\\\1"]}')
    result = subprocess.run([sys.executable, "-m", "velmira", "patterns", "-t", str(types)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[0] == "num\tpcre2-jit\t[0-9]+"
    assert result.stdout.splitlines()[1].startswith("ref\tboost\t(a)\\1\tnot on the list")
