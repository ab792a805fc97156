"""Construct an Inf, change every setting, and read each one back."""
import velmira_ext

inf = velmira_ext.Inf(
    filepath="examples/sample.csv",
    delimiter=",",
    col_type_patterns={"integer": [r"-?\d+"], "word": [r"[a-z]+"]},
    na_values={"", "NA"},
    multithreading=False,
    save_types_file=False,
    types_filepath="",
    rolling_cache_window=1000,
)


def show(title):
    print(title)
    for name in ("filepath", "delimiter", "col_type_patterns", "na_values",
                 "multithreading", "save_types_file", "types_filepath",
                 "rolling_cache_window"):
        value = getattr(inf, "get_" + name)()
        if isinstance(value, dict):
            value = {k: value[k] for k in sorted(value)}
        elif isinstance(value, set):
            value = sorted(value)
        print(f"  {name:22} {value!r}")


show("as constructed:")
inf.set_filepath("data/other.tsv")
inf.set_delimiter("\t")
inf.set_col_type_patterns({"date": [r"\d{4}-\d{2}-\d{2}"], "decimal": [r"-?\d+\.\d+", r"-?\d+"]})
inf.set_na_values({"", "null"})
inf.set_multithreading(True)
inf.set_save_types_file(True)
inf.set_types_filepath("types.csv")
inf.set_rolling_cache_window(-1)
show("after every setter:")
