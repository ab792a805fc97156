"""velmira.dialect.detect: the delimiter, quote, line ending, header row and header encoding
of a file, found from its first bytes; on files written for each case and on real ones."""

import csv
import io
import time
import warnings
from pathlib import Path

import pytest

from velmira.dialect import SETTINGS, WHITESPACE, Dialect, HeaderEncodingWarning, detect

REAL = Path(__file__).resolve().parent / "data" / "real"


def check(dialect, expected):
    got = {key: getattr(dialect, key) for key in expected}
    assert got == expected, dialect.summary()


def names(*values):
    return tuple(values)


def lines(*rows, end="\n"):
    return "".join(row + end for row in rows).encode()


NUMBERS = [f"{i},{i * 1.5},{i * 7 % 11}" for i in range(1, 30)]

SYNTHETIC = [
    # data, arguments, expected (the Dialect's fields that matter for the case)
    pytest.param(lines("a,b,c", *NUMBERS), {},
                 dict(delimiter=",", quote='"', header_row=0, skipped_lines=0, width=3, names=names("a", "b", "c")),
                 id="plain-comma"),
    # Lines above the header.
    pytest.param(lines("Quarterly report", "a,b,c", *NUMBERS), {},
                 dict(delimiter=",", header_row=1, skipped_lines=1, width=3), id="title-line"),
    pytest.param(lines("ASTM G173 reference spectra,,", "a,b,c", *NUMBERS), {},
                 dict(delimiter=",", header_row=1, width=3), id="title-padded-with-delimiters"),
    pytest.param(lines("Station: Mauna Loa", "Latitude: 19.5 N", "Elevation: 3397 m", "", "day;temp;flag",
                       *[f"2004-01-{d:02};{d / 3:.2f};{d % 2}" for d in range(1, 29)]), {},
                 dict(delimiter=";", header_row=4, skipped_lines=4, width=3), id="station-metadata"),
    pytest.param(lines("# Data source: https://example.org", "# fetched 2024-01-01", "Date,IBM,AAPL",
                       *[f"1990-01-{d:02},{d * 1.1:.3f},{d * 0.2:.3f}" for d in range(1, 29)]), {},
                 dict(comment="#", header_row=2, skipped_lines=2, width=3), id="comment-lines"),
    pytest.param(lines(*[f"Report line {i} of the preamble" for i in range(1, 10)], "id;name;value",
                       *[f"{i};item {i};{i},5" for i in range(1, 30)]), {},
                 dict(delimiter=";", header_row=9, skipped_lines=9, width=3, names=names("id", "name", "value")),
                 id="nine-line-report-preamble"),
    pytest.param(lines("", "a,b,c", *NUMBERS), {}, dict(header_row=1, skipped_lines=1, width=3),
                 id="empty-first-line"),
    # Columns added later: the early rows stop short of a header two names wider.
    pytest.param(lines("version,codename,created,eol,eol-lts",
                       *[f"{i}.0,Name{i},19{70 + i}-01-0{i % 9 + 1}" for i in range(1, 12)],
                       *[f"{i}.0,Name{i},20{i}-01-01,20{i + 3}-01-01,20{i + 5}-06-30" for i in range(12, 17)]), {},
                 dict(header_row=0, skipped_lines=0, width=5, names=names("version", "codename", "created", "eol",
                                                                          "eol-lts")),
                 id="header-wider-than-the-early-rows"),
    pytest.param(lines("", "", "  ", "a,b,c", *NUMBERS), {}, dict(header_row=3, width=3), id="blank-lines-first"),
    pytest.param(lines("Dataset Name:,RT331601", "Title:,\"Area, 1996:\nScotland\"", "", ",Area,People",
                       *[f"Region {i},{i * 10}.00,{i * 3}.00" for i in range(1, 20)]), {},
                 dict(header_row=4, skipped_lines=4, width=3, names=names("", "Area", "People")),
                 id="metadata-with-a-quoted-line-break"),
    pytest.param(lines("<1960 Q1>", "invest income cons", *[f"{i * 3} {i * 5} {i * 7}" for i in range(1, 30)]),
                 {}, dict(delimiter=" ", header_row=1, width=3), id="marker-line-above-header"),
    pytest.param(lines("/* quarterly data", "source: the central bank", "*/", "invest   income   cons",
                       *[f"{i * 3:<8} {i * 5:<8} {i * 7}" for i in range(1, 30)]), {},
                 dict(delimiter=WHITESPACE, header_row=3, width=3), id="prose-words-of-the-table-width-above"),
    pytest.param(lines("Name,Vac,Pso", "Units,V,W", "[0],inv_vac,inv_pso",
                       *[f"Inverter {i},{200 + i},{i * 1.5}" for i in range(1, 30)]), {},
                 dict(header_row=0, width=3), id="units-line-under-header"),
    pytest.param(lines("   MONTHLY MEAN", "=" * 30, "Year   Jan   Feb", "-" * 30,
                       *[f"{1749 + i}   {i * 1.5:5.1f} {i * 2.5:5.1f}" for i in range(1, 30)]), {},
                 dict(delimiter=WHITESPACE, header_row=2, width=3), id="rules-around-header"),
    # Blank-separated files.
    pytest.param(lines("popul TVnews selfLR ClinLR", *[f"{i * 7} {i % 7} {i % 5} {i % 3}" for i in range(30)]), {},
                 dict(delimiter=" ", header_row=0, width=4, names=names("popul", "TVnews", "selfLR", "ClinLR")),
                 id="space-delimited"),
    pytest.param(lines("Chins Situps Jumps", "5 162 60", "2 110 60", "12 101 101", "12 105 37"), {},
                 dict(delimiter=" ", header_row=0, width=3), id="chins-situps-jumps"),
    pytest.param(lines(*[f"{i:3} {i * i:4} {i ** 3:6}" for i in range(12)]), {},
                 dict(delimiter=WHITESPACE, header_row=None, width=3, names=names("column_1", "column_2", "column_3")),
                 id="aligned-numbers-no-header"),
    pytest.param(lines(" YR   MON  NINO1+2  ANOM", *[f"1950   {m:2}   {20 + m:.2f}   -{m / 10:.2f}" for m in range(1, 13)]),
                 {}, dict(delimiter=WHITESPACE, header_row=0, width=4, names=names("YR", "MON", "NINO1+2", "ANOM")),
                 id="aligned-with-leading-blank"),
    pytest.param(lines("id\t  size   subs", *[f"{i}   \t{i * 4}\t   {i % 3}" for i in range(1, 20)]), {},
                 dict(delimiter=WHITESPACE, width=3, names=names("id", "size", "subs")), id="tabs-and-spaces-mixed"),
    pytest.param(lines('"A" "B" "C"', *[f'"row {i}" {i} {i * 2.5}' for i in range(20)]), {},
                 dict(delimiter=" ", quote='"', width=3, names=names("A", "B", "C")), id="space-with-quoted-blanks"),
    pytest.param(lines("'OBS' 'GPA' 'TUCE'", *[f"{i} {2 + i / 10} {i + 20}" for i in range(1, 30)]), {},
                 dict(delimiter=" ", quote="'", names=names("OBS", "GPA", "TUCE")), id="single-quoted-names"),
    pytest.param(lines(' Dp     R', *[f"{i / 100:<10} {i / 1000}" for i in range(1, 30)]), {},
                 dict(delimiter=WHITESPACE, header_row=0, width=2), id="two-aligned-columns"),
    # One-byte delimiters chosen by the consistency of the rows, quotes respected.
    pytest.param(lines("id|data|tag", *[f'{i}|{{"a":{i},"b":[{i},{i + 1}]{",c:1" * (i % 3)}}}|t{i}' for i in range(30)]),
                 {}, dict(delimiter="|", width=3), id="pipe-with-json-commas"),
    pytest.param(lines("id;price;rate", *[f"{i};{i},50;0,{i}" for i in range(1, 30)]), {},
                 dict(delimiter=";", width=3), id="semicolon-with-decimal-commas"),
    pytest.param(lines("name\tcity\tn", *[f"Smith, John {i}\tNew York\t{i}" for i in range(20)]), {},
                 dict(delimiter="\t", width=3), id="tab-with-commas-and-spaces"),
    pytest.param(lines("name,notes,n", *[f'item {i},"a; b, c | d",{i}' for i in range(20)]), {},
                 dict(delimiter=",", width=3), id="quoted-fields-hold-other-delimiters"),
    pytest.param(lines("time,value", *[f"2020-01-01T{h:02}:{h:02}:00,{h}.5" for h in range(24)]), {},
                 dict(delimiter=",", width=2), id="colons-in-times-are-no-delimiter"),
    pytest.param(lines("dates, cpi, predict", *[f"1950:{q}, 28.{q}, 29.{q}" for q in range(1, 5)] * 5), {},
                 dict(delimiter=",", header_row=0, width=3, names=names("dates", " cpi", " predict")),
                 id="comma-and-space"),
    # Line endings.
    pytest.param(lines("a,b", *[f"{i},x{i}" for i in range(20)], end="\r\n"), {},
                 dict(line_ending="crlf", width=2), id="crlf"),
    pytest.param(lines("a,b", *[f"{i},x{i}" for i in range(20)], end="\r"), {},
                 dict(line_ending="crlf", width=2, header_row=0), id="cr-only"),
    pytest.param(lines("a,b,c", *[f"{i},line\rbreak,{i}" for i in range(20)]), {},
                 dict(line_ending="lf", width=3, header_row=0), id="lone-cr-inside-unquoted-field"),
    # Headers.
    pytest.param(lines("a,b,c", *NUMBERS[:5], "a,b,c", *NUMBERS[5:15], "a,b,c", *NUMBERS[15:]), {},
                 dict(header_row=0, width=3), id="header-repeated-inside-data"),
    pytest.param(lines("a,b,c", *NUMBERS[:5], "", "", *NUMBERS[5:]), {},
                 dict(header_row=0, width=3), id="blank-lines-inside-data"),
    pytest.param(lines(*NUMBERS), {}, dict(header_row=None, skipped_lines=0, width=3), id="numbers-no-header"),
    pytest.param(lines("569,30,malignant,benign", *[f"{i}.5,{i},{i * 3}.25,{i % 2},{i}.0" for i in range(30)]), {},
                 dict(header_row=None, skipped_lines=1, width=5), id="counts-line-no-header"),
    pytest.param(lines('"","1940","1945","1950"', '"Food",22.2,44.5,59.6', '"Household",10.5,15.5,29',
                       '"Medical",3.53,5.76,9.71'), {}, dict(header_row=0, width=4), id="quoted-numbers-as-names"),
    pytest.param(lines("Country,Code,1960,1961,1962", *[f"Land {i},L{i},{i}.5,{i}.25,{i}.75" for i in range(20)]), {},
                 dict(header_row=0, width=5), id="years-as-names"),
    pytest.param(lines('"x","y","z"', *[f'"{i}",{i * 2.5},{i % 3}' for i in range(1, 20)]), {},
                 dict(header_row=0, width=3), id="r-index-column-quoted"),
    pytest.param(lines('"Weight","Feed","Time"', *[f'"{i}",{i * 2.5},{i}.5,{i % 3}' for i in range(1, 20)]), {},
                 dict(header_row=0, width=4, names=names("Weight", "Feed", "Time")), id="r-row-names-untitled"),
    pytest.param(lines("Series id,Year,Value,", *[f"LNS{i},19{50 + i},{i}.5" for i in range(20)]), {},
                 dict(header_row=0, width=4), id="header-ends-in-delimiter"),
    pytest.param(lines("name,city", "Ann,Paris", "Bob,Rome", "Eve,Oslo"), {},
                 dict(header_row=0, width=2), id="text-columns-first-row-is-header"),
    pytest.param(lines("id,name"), {}, dict(header_row=0, width=2, names=names("id", "name")), id="header-only"),
    pytest.param(lines("1,2,3"), {}, dict(header_row=None, width=3), id="one-row-of-numbers"),
    pytest.param(lines("#,Name,Type", *[f"{i},Mon{i},Grass" for i in range(1, 20)]), {},
                 dict(comment=None, header_row=0, names=names("#", "Name", "Type")), id="hash-as-a-column-name"),
    pytest.param(b"", {}, dict(header_row=None, width=0, names=()), id="empty"),
    # Settings given are taken as they are.
    pytest.param(lines("junk", "more junk", "a;b", "1;2", "3;4"), dict(skip_rows=2),
                 dict(delimiter=";", header_row=2, skipped_lines=2, width=2), id="skip-rows-given"),
    pytest.param(lines("a,b,c", *NUMBERS), dict(header=False),
                 dict(header_row=None, skipped_lines=0, width=3, names=names("column_1", "column_2", "column_3")),
                 id="header-false"),
    pytest.param(lines(*NUMBERS), dict(header=True), dict(header_row=0, names=names("1", "1.5", "7")),
                 id="header-true"),
    pytest.param(lines("% note", "a,b", "1,2", "% another", "3,4"), dict(comment="%"),
                 dict(comment="%", header_row=1, width=2), id="comment-given"),
    pytest.param(lines("a b,c", "1 2,3"), dict(delimiter=" "), dict(delimiter=" ", width=2), id="delimiter-given"),
    pytest.param(lines('a,"b', 'c",d'), dict(quote=""), dict(quote=None, header_row=0, width=2),
                 id="no-quote-given"),
    pytest.param(lines("a b  c", "1 2  3"), dict(delimiter=WHITESPACE), dict(width=3, names=names("a", "b", "c")),
                 id="runs-of-blanks-given"),
]


@pytest.mark.parametrize("data,arguments,expected", SYNTHETIC)
def test_detect(data, arguments, expected):
    check(detect(data, complete=True, **arguments), expected)


def test_settings_given_are_not_guessed():
    dialect = detect(lines("a;b", "1;2"), delimiter=";", quote='"', skip_rows=0, comment="",
                     header=True, encoding="utf-8", line_ending="crlf", complete=True)
    assert dialect.guessed == frozenset()
    guessed = detect(lines("a;b", "1;2"), complete=True)
    assert guessed.guessed == frozenset(SETTINGS)
    assert guessed.was_guessed("delimiter")
    with pytest.raises(ValueError, match="unknown setting"):
        guessed.was_guessed("width")


ENCODINGS = [
    # header bytes, encoding guessed, names
    pytest.param("Quartier;Ann\xe9e;Occupancy rate\n".encode("cp1252"), "cp1252",
                 names("Quartier", "Année", "Occupancy rate"), id="latin-1-accent"),
    pytest.param("Name\xa0;Price\xa0;Rate\xa0\n".encode("cp1252"), "cp1252",
                 names("Name\xa0", "Price\xa0", "Rate\xa0"), id="non-breaking-space-after-each-name"),
    pytest.param("Prix \u20ac;Caf\xe9;N\xb0\n".encode("cp1252"), "cp1252", names("Prix €", "Café", "N°"),
                 id="cp1252-euro-sign"),
    pytest.param(b"Stra\xdfe;Gr\xf6\xdfe;\x81x\n", "latin-1", names("Straße", "Größe", "\x81x"),
                 id="byte-cp1252-leaves-undefined"),
]


@pytest.mark.parametrize("header,encoding,expected", ENCODINGS)
def test_single_byte_header_is_decoded_with_a_warning(header, encoding, expected):
    data = header + lines(*[f"A{i};{i};{i},5" for i in range(20)])
    with pytest.warns(HeaderEncodingWarning, match=encoding):
        dialect = detect(data, complete=True)
    assert (dialect.encoding, dialect.names) == (encoding, expected)
    assert dialect.was_guessed("encoding")


def test_utf8_header_warns_nothing_and_bom_is_left_out():
    data = "\ufeffCafé,Größe\n1,2\n".encode("utf-8")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        dialect = detect(data, complete=True)
    assert (dialect.encoding, dialect.names, dialect.bom, dialect.header_row) == ("utf-8", ("Café", "Größe"), True, 0)


def test_encoding_given_decodes_the_names():
    data = "Όνομα;Ηλικία\nA;2\n".encode("iso-8859-7")
    dialect = detect(data, encoding="iso-8859-7", complete=True)
    assert dialect.names == ("Όνομα", "Ηλικία") and not dialect.was_guessed("encoding")
    with pytest.raises(UnicodeDecodeError):
        detect("Größe;x\n1;2\n".encode("latin-1"), encoding="utf-8", complete=True)


def test_last_line_of_a_cut_sample_is_left_out():
    # The sample ends inside a row: that row is short and must not count.
    data = lines("a,b,c", *NUMBERS) + b"30,45"
    assert detect(data).width == 3
    assert detect(data + b".0,1\n").width == 3
    assert detect(b"a,b,c", complete=True).names == ("a", "b", "c")


@pytest.mark.parametrize("data,expected", [
    pytest.param(b"a,b\n1,x\ry\n", [["a", "b"], ["1", "x\ry"]], id="lf-cr-is-data"),
    pytest.param(b'a,"b\r\nc"\n', [["a", "b\r\nc"]], id="quoted-crlf-is-data"),
    pytest.param(b"a,b\r\n1,2\r\n", [["a", "b\r"], ["1", "2\r"]], id="lf-crlf-keeps-cr"),
])
def test_lf_line_ending_reading(data, expected):
    # What "lf" means for the tokenizer: rows end at LF alone, every CR is data.
    from velmira.dialect import _restore, _split

    split = _split(data.decode("latin-1"), ",", '"', True, None)
    assert [[_restore(field) for field in row] for row in split.fields] == expected


RUNS = [
    # line, fields
    pytest.param("a b", ["a", "b"], id="one-space"),
    pytest.param("  a \t  b  ", ["a", "b"], id="leading-and-trailing-blanks-ignored"),
    pytest.param('"a b"  c', ["a b", "c"], id="quoted-blanks"),
    pytest.param('"a ""b"""  c', ['a "b"', "c"], id="doubled-quotes"),
    pytest.param('x"y z', ['x"y', "z"], id="quote-inside-a-field-is-data"),
    pytest.param('"ab"cd e', ["abcd", "e"], id="bytes-after-closing-quote-appended"),
    pytest.param('"" x', ["", "x"], id="quoted-empty-field"),
    pytest.param("a\x0bb\xa0c", ["a\x0bb\xa0c"], id="only-space-and-tab-are-blanks"),
]


@pytest.mark.parametrize("line,fields", RUNS)
def test_runs_of_blanks_reading(line, fields):
    from velmira.dialect import _restore, _split

    for text in (line + "\n", line + "\nx y\n#c\n"):
        for comment in (None, "#"):
            split = _split(text, WHITESPACE, '"', False, comment)
            assert [_restore(field) for field in split.fields[0]] == fields


def test_runs_of_blanks_quoted_line_break_counts_lines():
    from velmira.dialect import _split

    split = _split('a b\n"x\ny" z\n\nc d\n', WHITESPACE, '"', False, None)
    assert split.fields == [["a", "b"], ["x\ny", "z"], ["c", "d"]]
    assert split.lines == [0, 1, 4]


def test_one_byte_delimiters_read_as_the_csv_module_reads():
    # The engine's tokenizer reads like the csv module with doubled quotes; a header
    # found here must have the names the engine will read.
    text = 'x,"a,b","c""d",e"f,"g"h\n1,2,3,4,5\n'
    dialect = detect(text.encode(), complete=True)
    assert list(dialect.names) == next(csv.reader(io.StringIO(text)))


def test_summary_says_what_was_found():
    data = b"".join(line.encode("cp1252") + b"\n" for line in
                    [*(f"preamble line {i}" for i in range(9)), "Quartier;Ann\xe9e;Rate",
                     *(f"A{i};{2000 + i};0,{i}" for i in range(20))])
    with pytest.warns(HeaderEncodingWarning):
        dialect = detect(data, complete=True)
    assert dialect.summary() == (
        "delimiter ';' (guessed), header on line 10 (9 lines skipped, guessed), 3 columns, "
        "header encoding cp1252 (guessed)"
    )
    assert detect(lines("1 2", "3 4"), delimiter=WHITESPACE, complete=True).summary() == (
        "delimiter runs of blanks (given), no header (guessed), data from line 1, 2 columns"
    )


@pytest.mark.parametrize("arguments,message", [
    pytest.param(dict(delimiter=",,"), "delimiter", id="long-delimiter"),
    pytest.param(dict(delimiter='"'), "delimiter", id="quote-as-delimiter"),
    pytest.param(dict(quote="`"), "quote", id="backtick-quote"),
    pytest.param(dict(skip_rows=-1), "skip_rows", id="negative-skip"),
    pytest.param(dict(skip_rows=True), "skip_rows", id="bool-skip"),
    pytest.param(dict(comment="//"), "comment", id="two-char-comment"),
    pytest.param(dict(comment=",", delimiter=","), "comment", id="comment-is-delimiter"),
    pytest.param(dict(header="yes"), "header", id="header-string"),
    pytest.param(dict(encoding="klingon"), "encoding", id="unknown-encoding"),
    pytest.param(dict(line_ending="cr"), "line_ending", id="unknown-line-ending"),
])
def test_settings_that_cannot_be_used(arguments, message):
    with pytest.raises(ValueError, match=message):
        detect(b"a,b\n1,2\n", **arguments)


HOSTILE = [
    pytest.param(b'"a\n' * 21000, id="quote-a-lines"),
    pytest.param(b',"a\n' * 16000, id="comma-quote-a-lines"),
    pytest.param(b'"' * 64000, id="only-quotes"),
    pytest.param(b'"' + b"abc def " * 8000, id="one-open-quote"),
    pytest.param(b'"a b\n' * 13000, id="quote-with-blanks"),
    pytest.param(b"'a\n" * 21000, id="single-quote-lines"),
    pytest.param(b"a," * 32000, id="one-wide-row"),
    pytest.param(b" \t" * 32000, id="only-blanks"),
    pytest.param(b"1\n" * 32000, id="many-short-rows"),
    pytest.param(b"a\rb\n" * 16000, id="lone-crs"),
    pytest.param(b"#\n" * 32000, id="only-comment-marks"),
    pytest.param(b"\r" * 64000, id="only-crs"),
    pytest.param(bytes(range(256)) * 250, id="every-byte"),
]


@pytest.mark.parametrize("data", HOSTILE)
def test_hostile_samples_take_milliseconds(data):
    # Linear in the sample: about 10 ms for each of these; the bound leaves room for a busy machine.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", HeaderEncodingWarning)
        started = time.perf_counter()
        dialect = detect(data)
        elapsed = time.perf_counter() - started
    assert isinstance(dialect, Dialect)
    assert elapsed < 0.5


# Real files shipped in PyPI packages (tests/python/data/real/README.md names each source):
# the first kilobytes of each, with the table a careful reader finds there.
REAL_FILES = [
    # file, delimiter, quote, header row (None: no header), lines skipped, width, first names
    ("matplotlib_stocks.csv", ",", '"', 1, 1, 11, ("Date", "IBM")),
    ("matplotlib_data_x_x2_x3.csv", WHITESPACE, '"', None, 0, 3, ()),
    ("pvlib_astmg173.csv", ",", '"', 1, 1, 4, ("wavelength", "extraterrestrial")),
    ("pvlib_723170tya.csv", ",", '"', 1, 1, 71, ("Date (MM/DD/YYYY)", "Time (HH:MM)")),
    ("pvlib_sam_cec_inverters.csv", ",", '"', 0, 0, 17, ("Name", "Vac")),
    ("statsmodels_scotland_population.csv", ",", '"', 17, 17, 14, ("              ", "Area (sq km)")),
    ("statsmodels_unemp.csv", ",", '"', 9, 9, 5, ("Series id", "Year")),
    ("statsmodels_sunspots_monthly.dat", WHITESPACE, '"', 2, 2, 13, ("Year", "Jan")),
    ("statsmodels_anes96_space.csv", " ", '"', 0, 0, 11, ("popul", "TVnews")),
    ("statsmodels_anes96_tab.csv", "\t", "'", 0, 0, 10, ("popul", "TVnews")),
    ("statsmodels_spector.csv", " ", "'", 0, 0, 5, ("OBS", "GPA")),
    ("statsmodels_committee.dat", WHITESPACE, '"', 0, 0, 10, ("SIZE", "SUBS")),
    ("statsmodels_cpunish.dat", WHITESPACE, '"', 0, 0, 14, ("STATE", "EXECUTIONS")),
    ("statsmodels_elnino.dat", WHITESPACE, '"', 0, 0, 10, ("YR", "MON")),
    ("statsmodels_scotvote.dat", " ", '"', 0, 0, 43, ("PrivateHousingStarts", "PublicHousingStarts")),
    ("statsmodels_modechoice.csv", ";", '"', 0, 0, 9, ("individual", "mode")),
    ("statsmodels_fertility.csv", ",", '"', 0, 0, 58, ("Country Name", "Country Code")),
    ("statsmodels_danish_data.csv", ",", '"', 0, 0, 6, ("period", "lrm")),
    ("statsmodels_star98.dat", "\t", '"', 0, 0, 81, ("CDS_CODE", "COUNTY")),
    ("statsmodels_jmulti_e1.dat", WHITESPACE, '"', 6, 6, 3, ("invest", "income")),
    ("statsmodels_arima212_forecast.csv", ",", '"', 0, 0, 6, ("dates", " cpi")),
    ("statsmodels_stl_test_results.csv", ",", '"', 0, 0, 5, (" scenario", "idx")),
    ("statsmodels_dietox.csv", ",", '"', 0, 0, 8, ("Weight", "Feed")),
    ("statsmodels_gee_poisson_1.csv", ",", '"', None, 0, 7, ()),
    ("sklearn_linnerud_exercise.csv", " ", '"', 0, 0, 3, ("Chins", "Situps")),
    ("sklearn_breast_cancer.csv", ",", '"', None, 1, 31, ()),
    ("lifelines_holly_molly_polly.tsv", " ", '"', 0, 0, 8, ("", "ID")),
    ("lifelines_canadian_senators.csv", ",", '"', 0, 0, 10, ("Name", "Political Affiliation at Appointment")),
    ("palmerpenguins_penguins_raw.csv", ",", '"', 0, 0, 17, ("studyName", "Sample Number")),
    ("frictionless_table_with_accents.csv", ";", '"', 0, 0, 8, ("Classement", "Quartier", "Date", "Année")),
    ("frictionless_issue_811.csv", ";", '"', 0, 0, 26,
     ("Codice Regione", "Codice dell'Unità territoriale sovracomunale \n(valida a fini statistici)")),
    ("frictionless_countries.csv", ",", '"', 1, 1, 4, ("id", "neighbor_id")),
    ("frictionless_skip_rows.csv", ",", '"', 1, 1, 2, ("id", "name")),
    ("frictionless_issue_1478.csv", "|", '"', None, 0, 4, ()),
    ("csvkit_datagov_fy10.csv", ",", '"', 2, 2, 9, ("State Name", "State Abbreviate")),
    ("csvkit_mac_newlines.csv", ",", '"', 0, 0, 3, ("a", "b")),
    ("csvkit_test_skip_lines.csv", ",", '"', 3, 3, 3, ("a", "b")),
    ("csvkit_event_notification.txt", "|", '"', 0, 0, 72, ("Event Desc", "En No")),
    # Still read wrong; see the README for why.
    pytest.param("statsmodels_maunaloa_c.dat", WHITESPACE, '"', None, 27, 5, (),
                 marks=pytest.mark.xfail(reason="a header over two lines")),
    pytest.param("sklearn_iris.csv", ",", '"', None, 1, 5, (),
                 marks=pytest.mark.xfail(reason="a counts line as wide as the table reads as names")),
    pytest.param("lifelines_divorce.dat", WHITESPACE, '"', 0, 0, 6, ("id", "heduc"),
                 marks=pytest.mark.xfail(reason="fixed-width columns whose values hold blanks")),
    pytest.param("frictionless_transpose.csv", ",", '"', 0, 0, 4, ("id", "1"),
                 marks=pytest.mark.xfail(reason="numbers as names, unquoted, over numbers")),
]


@pytest.mark.parametrize("name,delimiter,quote,header_row,skipped,width,first_names", REAL_FILES,
                         ids=[(param.values if hasattr(param, "values") else param)[0] for param in REAL_FILES])
def test_real_files(name, delimiter, quote, header_row, skipped, width, first_names):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", HeaderEncodingWarning)
        dialect = detect((REAL / name).read_bytes(), complete=True)
    check(dialect, dict(delimiter=delimiter, quote=quote, header_row=header_row, skipped_lines=skipped, width=width))
    assert dialect.names[:len(first_names)] == first_names


def test_every_real_file_is_in_the_table():
    listed = {param.values[0] if hasattr(param, "values") else param[0] for param in REAL_FILES}
    assert listed == {path.name for path in REAL.iterdir() if path.name != "README.md"}
