"""Build an Inf, show its settings, then infer the types of examples/people.csv."""
from pathlib import Path

import velmira_ext

here = Path(__file__).resolve().parent
inf = velmira_ext.Inf(
    filepath=str(here / "people.csv"),
    delimiter=",",
    col_type_patterns={
        "integer": [r"-?\d+"],
        "decimal": [r"-?\d+\.\d+"],
        "date": [r"\d{4}-\d{2}-\d{2}"],
        "word": [r"[a-z]+"],
    },
    na_values={"", "NA"},
    multithreading=False,
    save_types_file=False,
    types_filepath="",
    rolling_cache_window=100_000,
)

print("settings:")
for name in ("filepath", "delimiter", "col_type_patterns", "na_values", "multithreading",
             "save_types_file", "types_filepath", "rolling_cache_window"):
    value = getattr(inf, "get_" + name)()
    if isinstance(value, dict):
        value = {k: value[k] for k in sorted(value)}
    elif isinstance(value, set):
        value = sorted(value)
    print(f"  {name:22} {value!r}")

inf.infer_types()
counts = inf.get_col_type_candidates()
types = sorted(inf.get_col_type_patterns()) + ["other", "NA"]
print(f"\n{inf.num_rows} data rows; fields per type in each column:")
print(f"  {'column':12}" + "".join(f"{t:>9}" for t in types))
for column in inf.col_names:
    print(f"  {column:12}" + "".join(f"{counts[column][t]:>9}" for t in types))
